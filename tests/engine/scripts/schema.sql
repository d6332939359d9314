-- Schema statements: columns, defaults, the row-id alias and automatic
-- indexes.

-- Defaults take the column's affinity; the first DEFAULT wins.
CREATE TABLE d (id INTEGER PRIMARY KEY, a INT DEFAULT '42', b INT DEFAULT ' 42 ', c INT DEFAULT '4x',
                e REAL DEFAULT '1e3', f TEXT DEFAULT 5, g VARCHAR(10) DEFAULT '7', h INT DEFAULT 1 DEFAULT 2,
                k INT, n NUMERIC DEFAULT '2.5', p INT DEFAULT NULL);
> ok
INSERT INTO d (id) VALUES (1);
> affected 1
SELECT a, b, c, e, f, g, h, k, n, p FROM d;
> [a, b, c, e, f, g, h, k, n, p] (42, 42, '4x', 1000.0, 5, '7', 1, NULL, 2.5, NULL)
-- Texts that only partly or not at all read as numbers stay texts; the type
-- name picks the affinity by what it contains (POINT holds INT).
CREATE TABLE aff (id INTEGER PRIMARY KEY, a integer DEFAULT ' 	42
', b INT DEFAULT '+7', c INT DEFAULT '-7', d INT DEFAULT '1.5', e INT DEFAULT '', f INT DEFAULT '-',
                  g INT DEFAULT '9223372036854775808', h BIGINT DEFAULT '-9223372036854775808', i POINT DEFAULT '3',
                  j DOUBLE DEFAULT ' .5 ', k FLOAT DEFAULT '-Infinity', l REAL DEFAULT 'nan', m DECIMAL DEFAULT '2',
                  n NUMERIC DEFAULT '2.5x', o TEXT DEFAULT '5', p INT DEFAULT 2.5, r TEXT DEFAULT 5, s DEFAULT '7');
> ok
INSERT INTO aff (id) VALUES (1);
> affected 1
SELECT a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, r, s FROM aff;
> [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, r, s] (42, 7, -7, '1.5', '', '-', '9223372036854775808', -9223372036854775808, 3, 0.5, -inf, NaN, 2.0, '2.5x', '5', 2.5, 5, '7')
-- A type naming both a text and a numeric word: a default reads only the
-- numeric word, a written value stops at the text word.
CREATE TABLE mixed (id INTEGER PRIMARY KEY, a CHARNUM DEFAULT '7', b CHARNUM);
> ok
INSERT INTO mixed (id, b) VALUES (1, '7');
> affected 1
SELECT a, b FROM mixed;
> [a, b] (7.0, '7')

-- An INTEGER PRIMARY KEY is the row id, without an index. It is NOT NULL,
-- yet left out of an INSERT it takes the next row id; listed, it must be
-- an integer.
CREATE TABLE t1 (id INTEGER PRIMARY KEY, x TEXT);
> ok
INSERT INTO t1 (x) VALUES ('a');
> affected 1
INSERT INTO t1 VALUES (7, 'b');
> affected 1
INSERT INTO t1 (x) VALUES ('c');
> affected 1
INSERT INTO t1 VALUES ('9', 'd');
> affected 1
INSERT INTO t1 VALUES (NULL, 'e');
> !execution error: expected an integer, found Null
SELECT id, rowid, x FROM t1;
> [id, rowid, x] (1, 1, 'a') (7, 7, 'b') (8, 8, 'c') (9, 9, 'd')
PRAGMA reindex = t1;
> [reindex] ('rebuilt 0 index(es)')
CREATE TABLE t1b (id BIGINT PRIMARY KEY);
> ok
CREATE TABLE t1c (id int primary key);
> ok
PRAGMA reindex = t1c;
> [reindex] ('rebuilt 0 index(es)')

-- A text key is NOT NULL and unique, through an automatic index.
CREATE TABLE t2 (code TEXT PRIMARY KEY, v INT);
> ok
INSERT INTO t2 VALUES ('a', 1);
> affected 1
INSERT INTO t2 VALUES ('a', 2);
> !constraint violation: UNIQUE constraint failed: t2__code__unique
INSERT INTO t2 VALUES (NULL, 3);
> !constraint violation: NOT NULL constraint failed: code
DROP INDEX t2__code__unique;
> ok
INSERT INTO t2 VALUES ('a', 2);
> affected 1

-- AUTO_INCREMENT makes any key the alias, without an index.
CREATE TABLE t3 (id TEXT PRIMARY KEY AUTO_INCREMENT, v INT);
> ok
INSERT INTO t3 (v) VALUES (1), (2);
> affected 2
SELECT id, v FROM t3;
> [id, v] (1, 1) (2, 2)
PRAGMA reindex = t3;
> [reindex] ('rebuilt 0 index(es)')

-- A table has one PRIMARY KEY: a second one, however written, is refused
-- (it would hold duplicates), and nothing is made.
CREATE TABLE t4 (a INTEGER PRIMARY KEY, b INTEGER PRIMARY KEY);
> !schema error: table "t4" has more than one PRIMARY KEY
CREATE TABLE t4 (a INT PRIMARY KEY, b INT, PRIMARY KEY (b));
> !schema error: table "t4" has more than one PRIMARY KEY
CREATE TABLE t4 (a INT PRIMARY KEY, b INT, PRIMARY KEY (A));
> !schema error: table "t4" has more than one PRIMARY KEY
CREATE TABLE t4 (a INT, b INT, PRIMARY KEY (a, b), CONSTRAINT pk PRIMARY KEY (b));
> !schema error: table "t4" has more than one PRIMARY KEY
SELECT * FROM t4;
> !execution error: no such table: t4
CREATE TABLE t4 (a INTEGER PRIMARY KEY, b INTEGER);
> ok
INSERT INTO t4 (b) VALUES (1), (1);
> affected 2

-- Table-level keys: named by position or by their own name.
CREATE TABLE t5 (a INT, b INT, UNIQUE (a, b), KEY (b), INDEX named (a));
> ok
INSERT INTO t5 VALUES (1, 1), (1, 2);
> affected 2
INSERT INTO t5 VALUES (1, 2);
> !constraint violation: UNIQUE constraint failed: t5__t5__idx0
DROP INDEX t5__t5__idx0;
> ok
DROP INDEX t5__t5__idx1;
> ok
DROP INDEX t5__named;
> ok
DROP INDEX t5__named;
> !schema error: no such index: t5__named
-- A key on the alias column alone makes no index, whatever its case. (The
-- one-column PRIMARY KEY is folded onto its column by the parser, so the
-- UNIQUE keys are entries 0 and 1.)
CREATE TABLE t6 (id INTEGER, v INT, PRIMARY KEY (id), UNIQUE (ID), UNIQUE (v));
> ok
PRAGMA reindex = t6;
> [reindex] ('rebuilt 1 index(es)')
DROP INDEX t6__t6__idx1;
> ok
-- A unique column.
CREATE TABLE t7 (id INTEGER PRIMARY KEY, mail TEXT UNIQUE);
> ok
DROP INDEX t7__mail__unique;
> ok

-- Existence checks, exact names.
CREATE TABLE t1 (z INT);
> !schema error: table "t1" already exists
CREATE TABLE IF NOT EXISTS t1 (z INT);
> ok
SELECT * FROM t1 WHERE id = 7;
> [id, x] (7, 'b')
DROP TABLE T1;
> !schema error: no such table: T1
DROP TABLE IF EXISTS T1;
> ok
DROP INDEX nope;
> !schema error: no such index: nope
DROP INDEX IF EXISTS nope;
> ok
CREATE INDEX i1 ON t1 (x);
> ok
CREATE INDEX i1 ON t1 (id);
> !schema error: index "i1" already exists
CREATE INDEX IF NOT EXISTS i1 ON missing (a);
> ok
CREATE INDEX IF NOT EXISTS i2 ON missing (a);
> !schema error: no such table: missing
CREATE INDEX i3 ON t1 (nope);
> !schema error: no such column: nope
CREATE UNIQUE INDEX i4 ON t4 (b);
> !constraint violation: UNIQUE constraint failed: duplicate value in i4
DROP TABLE t1;
> ok
SELECT * FROM t1;
> !execution error: no such table: t1
DROP INDEX i1;
> !schema error: no such index: i1

-- ALTER TABLE ADD COLUMN: old rows read NULL (or nothing new is written).
CREATE TABLE a (id INTEGER PRIMARY KEY);
> ok
INSERT INTO a VALUES (1);
> affected 1
ALTER TABLE a ADD COLUMN c INT UNIQUE;
> ok
ALTER TABLE a ADD COLUMN p INT PRIMARY KEY;
> !schema error: cannot add a PRIMARY KEY column: p
ALTER TABLE a ADD COLUMN p INT;
> ok
ALTER TABLE a ADD COLUMN q TEXT DEFAULT 'dflt';
> ok
INSERT INTO a (id, c) VALUES (2, 5);
> affected 1
SELECT id, c, p, q FROM a;
> [id, c, p, q] (1, NULL, NULL, NULL) (2, 5, NULL, 'dflt')
INSERT INTO a (id, c) VALUES (3, 5);
> !constraint violation: UNIQUE constraint failed: a__c__unique
DROP INDEX a__c__unique;
> ok
ALTER TABLE a ADD COLUMN C INT;
> !schema error: duplicate column name: C
ALTER TABLE missing ADD COLUMN c INT;
> !schema error: no such table: missing
PRAGMA integrity_check;
> [integrity_check] ('ok')

-- Two columns of one name (ignoring ASCII case) are refused: the second
-- could never be read.
CREATE TABLE g (a INT, a TEXT);
> !schema error: duplicate column name: a
CREATE TABLE g (id INTEGER PRIMARY KEY, a INT, b INT, A TEXT);
> !schema error: duplicate column name: A
-- A key on a missing column is refused before anything is made, also
-- inside BEGIN.
CREATE TABLE g (a INT, PRIMARY KEY (zz));
> !schema error: no such column: zz
CREATE TABLE g (a INT, CONSTRAINT pk PRIMARY KEY (a, zz));
> !schema error: no such column: zz
BEGIN;
> ok
CREATE TABLE g (a INT, UNIQUE (zz));
> !schema error: no such column: zz
SELECT * FROM g;
> !execution error: no such table: g
ROLLBACK;
> ok

-- CONSTRAINT name before PRIMARY KEY or UNIQUE is that key, enforced; the
-- name names its index, so the key's errors name it as it was declared.
-- Every column of a PRIMARY KEY is NOT NULL, at column or table level, over
-- one column or several, named or not, also once the file is opened again;
-- a UNIQUE key over the same columns still takes NULL. A named key on the
-- row-id alias alone is still the alias.
CREATE TABLE c1 (id INTEGER PRIMARY KEY, email TEXT, CONSTRAINT uq UNIQUE (email));
> ok
INSERT INTO c1 (email) VALUES ('a@x'), ('b@x');
> affected 2
INSERT INTO c1 (email) VALUES ('a@x');
> !constraint violation: UNIQUE constraint failed: c1__uq
CREATE TABLE c2 (code TEXT, v INT, CONSTRAINT pk PRIMARY KEY (code));
> ok
INSERT INTO c2 VALUES ('k', 1);
> affected 1
INSERT INTO c2 VALUES ('k', 2);
> !constraint violation: UNIQUE constraint failed: c2__pk
INSERT INTO c2 VALUES (NULL, 3);
> !constraint violation: NOT NULL constraint failed: code
CREATE TABLE c3 (id INT, v INT, CONSTRAINT `pk` PRIMARY KEY (id));
> ok
INSERT INTO c3 (v) VALUES (1), (2);
> affected 2
SELECT id, v FROM c3;
> [id, v] (1, 1) (2, 2)
CREATE TABLE k1 (a INT, b TEXT, v INT, PRIMARY KEY (a, b));
> ok
CREATE TABLE k2 (a INT, b TEXT, CONSTRAINT pk_k2 PRIMARY KEY (b, a));
> ok
CREATE TABLE k3 (a INT, b INT, UNIQUE (a, b));
> ok
INSERT INTO k1 VALUES (1, 'x', 0), (1, 'y', 0);
> affected 2
INSERT INTO k1 VALUES (1, NULL, 0);
> !constraint violation: NOT NULL constraint failed: b
INSERT INTO k1 (b, v) VALUES ('z', 0);
> !constraint violation: NOT NULL constraint failed: a
UPDATE k1 SET b = NULL WHERE b = 'y';
> !constraint violation: NOT NULL constraint failed: b
INSERT INTO k1 VALUES (1, 'x', 1);
> !constraint violation: UNIQUE constraint failed: k1__k1__idx0
INSERT INTO k2 VALUES (1, 'x');
> affected 1
INSERT INTO k2 VALUES (NULL, 'x');
> !constraint violation: NOT NULL constraint failed: a
INSERT INTO k3 VALUES (NULL, NULL), (1, NULL);
> affected 2
@reopen
INSERT INTO k2 VALUES (2, NULL);
> !constraint violation: NOT NULL constraint failed: b
INSERT INTO k2 VALUES (1, 'x');
> !constraint violation: UNIQUE constraint failed: k2__pk_k2
INSERT INTO k3 VALUES (2, NULL);
> affected 1
SELECT a, b, v FROM k1;
> [a, b, v] (1, 'x', 0) (1, 'y', 0)
-- Foreign keys (named or not), FULLTEXT and SPATIAL keys and CHECK are
-- accepted and skipped: no index, nothing enforced.
CREATE TABLE c4 (a INT, b INT, CONSTRAINT fk FOREIGN KEY (a) REFERENCES c2 (code), FOREIGN KEY (b) REFERENCES c3 (id),
                 FULLTEXT KEY ft (a), SPATIAL INDEX (b), CONSTRAINT ck CHECK (a > 0));
> ok
INSERT INTO c4 VALUES (-1, 99), (-1, 99);
> affected 2
PRAGMA reindex = c4;
> [reindex] ('rebuilt 0 index(es)')
-- A quoted name at the start of an element is a column.
CREATE TABLE c5 (id INT, `foreign` INT, "constraint" TEXT, `fulltext` INT, "SPATIAL" INT, x INT);
> ok
INSERT INTO c5 VALUES (1, 2, 'c', 4, 5, 6);
> affected 1
SELECT * FROM c5;
> [id, foreign, constraint, fulltext, SPATIAL, x] (1, 2, 'c', 4, 5, 6)

-- ADD COLUMN cannot make a key, nor a NOT NULL column beside rows that
-- would read NULL in it; a refused ADD COLUMN adds nothing. Any other
-- DEFAULT serves rows inserted afterwards.
CREATE TABLE ac (id INTEGER PRIMARY KEY, v INT);
> ok
INSERT INTO ac VALUES (1, 1);
> affected 1
ALTER TABLE ac ADD COLUMN e INTEGER PRIMARY KEY;
> !schema error: cannot add a PRIMARY KEY column: e
ALTER TABLE ac ADD COLUMN e INT AUTO_INCREMENT;
> !schema error: cannot add an AUTO_INCREMENT column: e
ALTER TABLE ac ADD COLUMN d INT NOT NULL DEFAULT 7;
> !schema error: cannot add a NOT NULL column to a table that holds rows: d
SELECT * FROM ac;
> [id, v] (1, 1)
ALTER TABLE ac ADD COLUMN d INT DEFAULT 7;
> ok
INSERT INTO ac (id, v) VALUES (2, 2);
> affected 1
SELECT * FROM ac;
> [id, v, d] (1, 1, NULL) (2, 2, 7)
-- Rows added inside BEGIN count; once every row is deleted the table is
-- empty and takes a NOT NULL column.
BEGIN;
> ok
CREATE TABLE ac2 (id INTEGER PRIMARY KEY);
> ok
INSERT INTO ac2 VALUES (1);
> affected 1
ALTER TABLE ac2 ADD COLUMN n INT NOT NULL;
> !schema error: cannot add a NOT NULL column to a table that holds rows: n
ROLLBACK;
> ok
DELETE FROM ac;
> affected 2
ALTER TABLE ac ADD COLUMN n INT NOT NULL DEFAULT 3;
> ok
INSERT INTO ac (v) VALUES (5);
> affected 1
INSERT INTO ac (v, n) VALUES (6, NULL);
> !constraint violation: NOT NULL constraint failed: n
SELECT v, d, n FROM ac;
> [v, d, n] (5, 7, 3)
PRAGMA integrity_check;
> [integrity_check] ('ok')
