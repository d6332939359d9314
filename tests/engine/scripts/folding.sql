-- Subquery folding and constant evaluation.

SELECT (SELECT 7);
> [expr] (7)
CREATE TABLE t (a INT, b INT);
> ok
INSERT INTO t VALUES (1, 10), (2, 20), (3, 30);
> affected 3
SELECT (SELECT a FROM t WHERE 0);
> [expr] (NULL)
-- Ordering and limits of the subquery apply before its first row is taken.
SELECT (SELECT a, b FROM t ORDER BY a DESC LIMIT 1);
> [expr] (3)
SELECT (SELECT a FROM t ORDER BY a LIMIT 1 OFFSET 1) + 100;
> [expr] (102)

CREATE TABLE e (b INT);
> ok
SELECT 5 IN (SELECT b FROM e), 5 NOT IN (SELECT b FROM e), NULL IN (SELECT b FROM e), NULL NOT IN (SELECT b FROM e);
> [expr, expr, expr, expr] (0, 1, 0, 1)
SELECT a FROM t WHERE a IN (1, 3);
> [a] (1) (3)
SELECT a FROM t WHERE a NOT IN (1, 3);
> [a] (2)
SELECT a FROM t WHERE a IN (2);
> [a] (2)
SELECT 2 IN (1, NULL), 1 IN (1, NULL), 2 NOT IN (1, NULL);
> [expr, expr, expr] (NULL, 1, NULL)
SELECT a FROM t WHERE a IN (SELECT a FROM t WHERE b > 15) ORDER BY a DESC;
> [a] (3) (2)
SELECT a FROM t WHERE b = (SELECT max(b) FROM t);
> [a] (3)

-- Data changes fold the same way.
DELETE FROM t WHERE a IN (1, 2);
> affected 2
INSERT INTO t VALUES (4, 40), (5, 50);
> affected 2
UPDATE t SET b = 0 WHERE a NOT IN (3);
> affected 2
UPDATE t SET b = (SELECT max(a) FROM t) WHERE a = 3;
> affected 1
INSERT INTO t VALUES ((SELECT count(*) FROM t) + 10, 0);
> affected 1
SELECT a, b FROM t ORDER BY a;
> [a, b] (3, 5) (4, 0) (5, 0) (13, 0)
DELETE FROM t WHERE a > (SELECT min(a) FROM t);
> affected 3

-- Blobs fold to blob literals.
SELECT (SELECT X'01');
> [expr] (x'01')
SELECT X'01' IN (SELECT X'01'), X'01' IN (SELECT '01');
> [expr, expr] (1, 0)

-- A ? in a subquery of an executed text reads NULL.
SELECT (SELECT ?) IS NULL;
> [expr] (1)

-- A subquery with SQL_CALC_FOUND_ROWS leaves FOUND_ROWS() alone.
SELECT SQL_CALC_FOUND_ROWS a FROM t;
> [a] (3)
SELECT (SELECT SQL_CALC_FOUND_ROWS 1 UNION ALL SELECT 2 LIMIT 1), (SELECT SQL_CALC_FOUND_ROWS b FROM e);
> [expr, expr] (1, NULL)
SELECT FOUND_ROWS();
> [FOUND_ROWS()] (1)

-- An IN subquery that cannot run alone is not compiled.
SELECT a FROM t WHERE a IN (SELECT b FROM missing);
> !execution error: IN(...) must be folded before compilation
SELECT (SELECT b FROM missing);
> !execution error: subquery requires a FROM context
SELECT a, (SELECT b FROM missing) FROM t;
> !execution error: no such table: missing

-- A correlated subquery stays and runs per row.
CREATE TABLE u (k INT, v TEXT);
> ok
INSERT INTO u VALUES (1, 'one'), (2, 'two');
> affected 2
CREATE TABLE w (k INT);
> ok
INSERT INTO w VALUES (2), (1), (3);
> affected 3
SELECT k, (SELECT u.v FROM u WHERE u.k = w.k) FROM w;
> [k, expr] (2, 'two') (1, 'one') (3, NULL)
SELECT k FROM w WHERE (SELECT count(*) FROM u WHERE u.k = w.k AND u.v IN ('one', 'x')) = 1;
> [k] (1)

-- Expressions without tables.
SELECT 1 + 2, -5, CONCAT('a', 'b');
> [expr, expr, expr] (3, -5, 'ab')
