-- INSERT ... SELECT, REPLACE, ON DUPLICATE KEY UPDATE and INSERT IGNORE.

CREATE TABLE r (id INTEGER PRIMARY KEY, name TEXT UNIQUE, n INT);
> ok
INSERT INTO r VALUES (1, 'abc', 10), (2, 'def', 20);
> affected 2

-- Conflicts are found as the unique index finds them: 0 is no text.
REPLACE INTO r (name, n) VALUES (0, 3);
> affected 1
SELECT id, name, n FROM r ORDER BY id;
> [id, name, n] (1, 'abc', 10) (2, 'def', 20) (3, 0, 3)
-- A row that meets one row by id and another by name replaces both.
REPLACE INTO r VALUES (1, 'def', 99);
> affected 1
SELECT id, name, n FROM r ORDER BY id;
> [id, name, n] (1, 'def', 99) (3, 0, 3)
-- Later rows of one statement replace earlier ones.
REPLACE INTO r VALUES (5, 'p', 1), (5, 'q', 2);
> affected 2
SELECT id, name, n FROM r WHERE id = 5;
> [id, name, n] (5, 'q', 2)
-- A NULL key finds no row to replace; the unique index holds one NULL, so
-- the second row fails, and outside BEGIN the whole statement is undone.
REPLACE INTO r (name, n) VALUES (NULL, 1), (NULL, 2);
> !constraint violation: UNIQUE constraint failed: r__name__unique
SELECT count(*) FROM r WHERE name IS NULL;
> [count(*)] (0)
-- Without a listed key it is a plain insert.
REPLACE INTO r (n) VALUES (7);
> affected 1
SELECT count(*) FROM r;
> [count(*)] (4)
-- A row the insert refuses displaces nothing, also inside BEGIN; a row id
-- is found once the displaced last row is gone.
CREATE TABLE m (id INTEGER PRIMARY KEY, k TEXT UNIQUE, u INT UNIQUE DEFAULT 1, nn INT NOT NULL);
INSERT INTO m VALUES (9223372036854775807, 'a', 2, 0), (5, 'b', 1, 0);
> ok / affected 2
BEGIN; REPLACE INTO m (k, nn) VALUES ('a', NULL);
> !constraint violation: NOT NULL constraint failed: nn
REPLACE INTO m (id, k, nn) VALUES (6, 'a', 1);
> !constraint violation: UNIQUE constraint failed: m__u__unique
SELECT id FROM m ORDER BY id;
> [id] (5) (9223372036854775807)
REPLACE INTO m (k, u, nn) VALUES ('a', 3, 1); COMMIT; SELECT * FROM m ORDER BY id;
> affected 1 / ok / [id, k, u, nn] (5, 'b', 1, 0) (6, 'a', 3, 1)

-- Key values take the column's affinity first.
CREATE TABLE q (id INTEGER PRIMARY KEY, code INT UNIQUE, v TEXT);
> ok
INSERT INTO q VALUES (1, 5, 'a');
> affected 1
REPLACE INTO q VALUES (2, '5', 'b');
> affected 1
REPLACE INTO q VALUES ('2', 6, 'c');
> affected 1
SELECT id, code, v FROM q;
> [id, code, v] (2, 6, 'c')

-- Names that need quoting work: the statements are built as trees.
CREATE TABLE "my table" ("the id" INTEGER PRIMARY KEY, "select" TEXT UNIQUE);
> ok
REPLACE INTO "my table" VALUES (1, 'a'), (2, 'b');
> affected 2
REPLACE INTO "my table" ("select", "the id") VALUES ('a', 3);
> affected 1
SELECT "the id", "select" FROM "my table" ORDER BY 1;
> [the id, select] (2, 'b') (3, 'a')
INSERT INTO "my table" VALUES (2, 'z') ON DUPLICATE KEY UPDATE "select" = 'zz';
> affected 1
SELECT "select" FROM "my table" WHERE "the id" = 2;
> [select] ('zz')

-- A UNIQUE index not fully listed is no key: the insert meets it.
CREATE TABLE w (a INT UNIQUE DEFAULT 7, b INT);
> ok
REPLACE INTO w (b) VALUES (1);
> affected 1
REPLACE INTO w (b) VALUES (2);
> !constraint violation: UNIQUE constraint failed: w__a__unique
SELECT a, b FROM w;
> [a, b] (7, 1)

-- Errors before any write.
REPLACE INTO w (a, b) VALUES (1, 2, 3);
> !execution error: INSERT into w expects 2 values, got 3
REPLACE INTO missing VALUES (1);
> !execution error: no such table: missing
INSERT INTO missing SELECT 1;
> !execution error: no such table: missing
INSERT INTO missing VALUES (1) ON DUPLICATE KEY UPDATE a = 1;
> !execution error: no such table: missing
REPLACE INTO w (nope) VALUES (1);
> !execution error: no such column: nope
-- A failing row outside BEGIN undoes the whole statement.
REPLACE INTO w VALUES (1, 1), (7, 2), (NULL, NULL), (8, 'x'), (8, 9);
> affected 5
SELECT a, b FROM w ORDER BY b;
> [a, b] (NULL, NULL) (1, 1) (7, 2) (8, 9)

-- ON DUPLICATE KEY UPDATE.
CREATE TABLE c (id INTEGER PRIMARY KEY, k TEXT UNIQUE, hits INT);
> ok
INSERT INTO c (k, hits) VALUES ('a', 1) ON DUPLICATE KEY UPDATE hits = hits + 1;
> affected 1
INSERT INTO c (k, hits) VALUES ('a', 1) ON DUPLICATE KEY UPDATE hits = hits + 1;
> affected 1
SELECT id, k, hits FROM c;
> [id, k, hits] (1, 'a', 2)
INSERT INTO c (k, hits) VALUES ('a', 10), ('b', 5) ON DUPLICATE KEY UPDATE hits = VALUES(hits) + hits;
> affected 2
SELECT id, k, hits FROM c;
> [id, k, hits] (1, 'a', 12) (2, 'b', 5)
-- VALUES() of a column not listed is NULL; VALUES() works inside any expression.
INSERT INTO c (k) VALUES ('b') ON DUPLICATE KEY UPDATE hits = VALUES(hits);
> affected 1
INSERT INTO c (k, hits) VALUES ('a', 3) ON DUPLICATE KEY UPDATE hits = CASE WHEN VALUES(hits) > 2 THEN -1 ELSE 0 END;
> affected 1
SELECT k, hits FROM c;
> [k, hits] ('a', -1) ('b', NULL)
-- The row id decides first.
INSERT INTO c VALUES (2, 'a', 0) ON DUPLICATE KEY UPDATE hits = 100;
> affected 1
SELECT id, k, hits FROM c;
> [id, k, hits] (1, 'a', -1) (2, 'b', 100)
-- An unknown column fails only when a duplicate is met.
INSERT INTO c (k) VALUES ('new') ON DUPLICATE KEY UPDATE nope = 1;
> affected 1
INSERT INTO c (k) VALUES ('new') ON DUPLICATE KEY UPDATE nope = 1;
> !execution error: no such column: nope
-- A NULL key never finds a duplicate: the row goes to the insert, which
-- meets the NULL already in the unique index.
INSERT INTO c (k, hits) VALUES (NULL, 1) ON DUPLICATE KEY UPDATE hits = 0;
> affected 1
INSERT INTO c (k, hits) VALUES (NULL, 1) ON DUPLICATE KEY UPDATE hits = 0;
> !constraint violation: UNIQUE constraint failed: c__k__unique
SELECT count(*), sum(hits) FROM c WHERE k IS NULL;
> [count(*), sum(hits)] (1, 1)
-- A blob key.
CREATE TABLE bk (b BLOB UNIQUE, n INT);
> ok
INSERT INTO bk VALUES (x'0001', 1) ON DUPLICATE KEY UPDATE n = n + 1;
> affected 1
INSERT INTO bk VALUES (x'0001', 1) ON DUPLICATE KEY UPDATE n = n + 1;
> affected 1
SELECT b, n FROM bk;
> [b, n] (x'0001', 2)

-- INSERT ... SELECT reads every source row before writing.
CREATE TABLE s (id INTEGER PRIMARY KEY, v TEXT);
> ok
INSERT INTO s (v) VALUES ('a'), ('b');
> affected 2
INSERT INTO s (v) SELECT v FROM s;
> affected 2
SELECT id, v FROM s;
> [id, v] (1, 'a') (2, 'b') (3, 'a') (4, 'b')
INSERT INTO s SELECT id FROM s;
> !execution error: INSERT into s expects 2 values, got 1
INSERT INTO s (v) SELECT v FROM s WHERE 0;
> affected 0
INSERT INTO s (nope) SELECT v FROM s WHERE 0;
> !execution error: no such column: nope
INSERT IGNORE INTO s SELECT id - 1, v FROM s;
> affected 1
SELECT id, v FROM s WHERE id = 0;
> [id, v] (0, 'a')
INSERT INTO s SELECT id + 10, v FROM s ORDER BY id DESC LIMIT 2;
> affected 2
SELECT id FROM s WHERE id > 10;
> [id] (13) (14)
INSERT INTO s SELECT 1, 'dup';
> !constraint violation: UNIQUE constraint failed: s.id
