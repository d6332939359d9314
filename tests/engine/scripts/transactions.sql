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
