-- Transactions and the statement frame.

CREATE TABLE t (id INTEGER PRIMARY KEY, u TEXT UNIQUE);
> ok

BEGIN;
> ok
BEGIN;
> !transaction error: a transaction is already active
COMMIT;
> ok
COMMIT;
> !transaction error: no active transaction to commit
ROLLBACK;
> !transaction error: no active transaction to roll back

START TRANSACTION; INSERT INTO t VALUES (1, 'a'); ROLLBACK;
> ok / affected 1 / ok
SELECT count(*) FROM t;
> [count(*)] (0)

-- Outside BEGIN a statement failing on its third row leaves none of it.
INSERT INTO t VALUES (1, 'a'), (2, 'b'), (3, 'a');
> !constraint violation: UNIQUE constraint failed: t__u__unique
SELECT count(*) FROM t;
> [count(*)] (0)
-- Inside BEGIN its first rows stay in the open transaction.
BEGIN;
> ok
INSERT INTO t VALUES (1, 'a'), (2, 'b'), (3, 'a');
> !constraint violation: UNIQUE constraint failed: t__u__unique
SELECT id FROM t ORDER BY id;
> [id] (1) (2)
ROLLBACK;
> ok
SELECT count(*) FROM t;
> [count(*)] (0)
-- So are the rows an UPDATE finished before a failing row: each whole, its
-- record (rewritten in place, or grown and written after the scan) and its
-- index keys alike, and COMMIT keeps them so.
CREATE TABLE w (id INTEGER PRIMARY KEY, k INTEGER UNIQUE, u VARCHAR(20) NOT NULL UNIQUE);
INSERT INTO w VALUES (1, 1, 'a'), (2, 2, 'c'), (3, 3, 'e');
> ok / affected 3
BEGIN; UPDATE w SET u = 'aaaa';
> !constraint violation: UNIQUE constraint failed: w__u__unique
UPDATE w SET k = CASE WHEN id = 2 THEN 3 ELSE k + 10 END;
> !constraint violation: UNIQUE constraint failed: w__k__unique
UPDATE w SET k = k + 20, u = CASE WHEN id = 3 THEN NULL ELSE CONCAT(u, 'b') END WHERE k > 0;
> !constraint violation: NOT NULL constraint failed: u
COMMIT; SELECT * FROM w ORDER BY id; PRAGMA integrity_check;
> ok / [id, k, u] (1, 31, 'aaaab') (2, 22, 'cb') (3, 3, 'e') / [integrity_check] ('ok')
SELECT id FROM w WHERE k = 31; SELECT id FROM w WHERE u = 'cb'; INSERT INTO w VALUES (4, 11, 'z');
> [id] (1) / [id] (2) / affected 1
-- Rows change in row-id order whether an index or a scan finds them: here
-- row 1 takes 4 before row 2 takes 3, either way.
CREATE TABLE ord (id INTEGER PRIMARY KEY, a INT NOT NULL UNIQUE);
INSERT INTO ord VALUES (1, 3), (2, 2);
> ok / affected 2
UPDATE ord SET a = a + 1 WHERE a > 0; UPDATE ord SET a = a + 1 WHERE a > 0 OR a = 0;
> affected 2 / affected 2
SELECT * FROM ord ORDER BY id;
> [id, a] (1, 5) (2, 4)
UPDATE ord SET a = a - 1 WHERE a >= 4; DELETE FROM ord WHERE a > 0; PRAGMA integrity_check;
> !constraint violation: UNIQUE constraint failed: ord__a__unique
UPDATE ord SET a = 10 - a WHERE a >= 4; SELECT * FROM ord ORDER BY id;
> affected 2 / [id, a] (1, 5) (2, 6)
DROP TABLE w; DROP TABLE ord;
> ok / ok

-- A text stops at its first failure; what ran before it stays.
INSERT INTO t VALUES (10, 'x'); INSERT INTO nope VALUES (1); INSERT INTO t VALUES (11, 'y');
> !execution error: no such table: nope
SELECT id FROM t;
> [id] (10)
-- A parse error anywhere runs nothing.
INSERT INTO t VALUES (12, 'z'); SELEC 1;
> !parse error at byte 32: expected a statement, found Ident("SELEC")
SELECT id FROM t;
> [id] (10)
-- An empty text runs nothing and says nothing.
;
>

-- The catalog follows ROLLBACK: the table made inside is gone, the name free.
BEGIN; CREATE TABLE z (a INT); ROLLBACK; CREATE TABLE z (b INT); PRAGMA integrity_check;
> ok / ok / ok / ok / [integrity_check] ('ok')
INSERT INTO z VALUES (7); SELECT * FROM z;
> affected 1 / [b] (7)
BEGIN; DROP TABLE t; ROLLBACK;
> ok / ok / ok
SELECT id FROM t;
> [id] (10)
BEGIN; ALTER TABLE t ADD COLUMN extra INT; INSERT INTO t VALUES (20, 'q', 5); ROLLBACK;
> ok / ok / affected 1 / ok
SELECT * FROM t;
> [id, u] (10, 'x')
BEGIN; CREATE INDEX t_u2 ON t (u); ROLLBACK; CREATE INDEX t_u2 ON t (u);
> ok / ok / ok / ok
PRAGMA integrity_check;
> [integrity_check] ('ok')

-- A schema statement that fails outside BEGIN leaves nothing behind.
CREATE INDEX x__c__unique ON t (u);
> ok
CREATE TABLE x (c TEXT UNIQUE);
> !schema error: index "x__c__unique" already exists
SELECT * FROM x;
> !execution error: no such table: x
CREATE TABLE x (c TEXT);
> ok
-- Inside BEGIN the table made before the failing index stays until ROLLBACK.
CREATE INDEX y__c__unique ON t (u);
> ok
BEGIN;
> ok
CREATE TABLE y (c TEXT UNIQUE);
> !schema error: index "y__c__unique" already exists
SELECT * FROM y;
> [c]
ROLLBACK;
> ok
SELECT * FROM y;
> !execution error: no such table: y

-- A second connection on the same file: each sees the other's tables, and
-- both survive a reopen.
@use other
SELECT id FROM t;
> [id] (10)
CREATE TABLE from_other (v INT);
> ok
INSERT INTO from_other VALUES (1);
> affected 1
@use main
INSERT INTO from_other VALUES (2);
> affected 1
CREATE TABLE from_main (w INT);
> ok
@use other
INSERT INTO from_main VALUES (3);
> affected 1
DROP TABLE z;
> ok
@use main
SELECT * FROM z;
> !execution error: no such table: z
CREATE TABLE z (again INT);
> ok
-- Existence checks are made against the schema as the file holds it, even
-- when this connection has not looked since the other changed it.
@use other
CREATE TABLE late (v INT);
> ok
@use main
CREATE TABLE IF NOT EXISTS late (w INT);
> ok
INSERT INTO late (v) VALUES (1);
> affected 1
@use other
DROP TABLE late;
> ok
@use main
DROP TABLE IF EXISTS late;
> ok
@use other
CREATE TABLE late (v INT);
> ok
@use main
CREATE TABLE late (x INT);
> !schema error: table "late" already exists
@use other
CREATE INDEX late_v ON late (v);
> ok
DROP TABLE late;
> ok
@use main
DROP INDEX late_v;
> !schema error: no such index: late_v
@reopen
SELECT v FROM from_other ORDER BY v;
> [v] (1) (2)
SELECT w FROM from_main;
> [w] (3)
SELECT * FROM z;
> [again]
PRAGMA integrity_check;
> [integrity_check] ('ok')
