-- Pragmas.

PRAGMA synchronous;
> [synchronous] (2)
PRAGMA synchronous = OFF;
> [synchronous] (0)
PRAGMA synchronous = 3;
> !execution error: unsupported synchronous: 3
PRAGMA synchronous;
> [synchronous] (0)
PRAGMA synchronous = 'Normal';
> [synchronous] (1)
PRAGMA SYNCHRONOUS = full;
> [synchronous] (2)

PRAGMA journal_mode;
> [journal_mode] ('delete')
PRAGMA journal_mode = memory;
> !execution error: unsupported journal_mode: memory
CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT UNIQUE, w INT);
> ok
CREATE INDEX t_w ON t (w);
> ok
INSERT INTO t VALUES (1, 'a', 1), (2, 'b', 2);
> affected 2
PRAGMA JOURNAL_MODE = WAL;
> [journal_mode] ('wal')
INSERT INTO t VALUES (3, 'c', 3);
> affected 1
PRAGMA synchronous = 0;
> [synchronous] (0)
@reopen
PRAGMA journal_mode;
> [journal_mode] ('wal')
PRAGMA synchronous;
> [synchronous] (2)
SELECT count(*) FROM t;
> [count(*)] (3)
BEGIN;
> ok
PRAGMA journal_mode = delete;
> !transaction error: cannot change journal_mode inside a transaction
PRAGMA integrity_check;
> [integrity_check] ('ok')
ROLLBACK;
> ok
PRAGMA wal_checkpoint;
> ok
PRAGMA journal_mode = DELETE;
> [journal_mode] ('delete')
PRAGMA wal_checkpoint;
> ok
PRAGMA journal_mode = delete;
> [journal_mode] ('delete')
@reopen
PRAGMA journal_mode;
> [journal_mode] ('delete')
SELECT id, v, w FROM t;
> [id, v, w] (1, 'a', 1) (2, 'b', 2) (3, 'c', 3)

PRAGMA integrity_check;
> [integrity_check] ('ok')
PRAGMA integrity_check = 5;
> [integrity_check] ('ok')
PRAGMA reindex;
> [reindex] ('rebuilt 2 index(es)')
PRAGMA reindex = t;
> [reindex] ('rebuilt 2 index(es)')
PRAGMA reindex = T;
> !schema error: no such table: T
CREATE TABLE plain (x INT);
> ok
PRAGMA reindex = plain;
> [reindex] ('rebuilt 0 index(es)')
BEGIN; PRAGMA reindex; INSERT INTO t VALUES (4, 'd', 4); PRAGMA integrity_check; COMMIT;
> ok / [reindex] ('rebuilt 2 index(es)') / affected 1 / [integrity_check] ('ok') / ok
SELECT id FROM t WHERE v = 'd';
> [id] (4)
SELECT id FROM t WHERE w = 2;
> [id] (2)

PRAGMA cache_size;
> !execution error: unknown pragma: cache_size
PRAGMA Foo = 1;
> !execution error: unknown pragma: foo
