-- UNION and UNION ALL.

SELECT 1 UNION SELECT 1;
> [expr] (1)
SELECT 1 UNION ALL SELECT 1;
> [expr] (1) (1)
-- One plain UNION member de-duplicates the whole result.
SELECT 1 UNION ALL SELECT 1 UNION SELECT 2;
> [expr] (1) (2)
-- 1 and 1.0 stay apart.
SELECT 1 UNION SELECT 1.0;
> [expr] (1) (1.0)

CREATE TABLE t (a INT, b TEXT);
> ok
INSERT INTO t VALUES (3, 'c'), (1, 'a'), (2, 'b');
> affected 3
CREATE TABLE u (x INT, y TEXT);
> ok
INSERT INTO u VALUES (5, 'e'), (1, 'a'), (4, 'd');
> affected 3

-- The first core names the columns; ORDER BY names and positions.
SELECT a AS v, b FROM t UNION SELECT x, y FROM u ORDER BY V DESC;
> [v, b] (5, 'e') (4, 'd') (3, 'c') (2, 'b') (1, 'a')
SELECT a, b FROM t UNION ALL SELECT x, y FROM u ORDER BY 2, a DESC;
> [a, b] (1, 'a') (1, 'a') (2, 'b') (3, 'c') (4, 'd') (5, 'e')
SELECT a FROM t UNION SELECT x FROM u ORDER BY t.a LIMIT 2 OFFSET 1;
> [a] (2) (3)
SELECT a FROM t UNION ALL SELECT x FROM u LIMIT 2;
> [a] (3) (1)

-- Equal keys keep the members' order.
SELECT 'first', 1 UNION ALL SELECT 'second', 1 UNION ALL SELECT 'third', 0 ORDER BY 2;
> [expr, expr] ('third', 0) ('first', 1) ('second', 1)

-- LIMIT and OFFSET of a UNION are any constant expression.
SELECT a FROM t UNION SELECT x FROM u ORDER BY 1 LIMIT 1 + 1;
> [a] (1) (2)
SELECT a FROM t UNION SELECT x FROM u ORDER BY 1 LIMIT '3';
> [a] (1) (2) (3)
SELECT a FROM t UNION SELECT x FROM u ORDER BY 1 LIMIT 2.9;
> [a] (1) (2)
SELECT a FROM t UNION SELECT x FROM u ORDER BY 1 LIMIT NULL;
> [a]
SELECT a FROM t UNION SELECT x FROM u ORDER BY 1 LIMIT -1;
> [a]
SELECT a FROM t UNION SELECT x FROM u ORDER BY 1 LIMIT 2 OFFSET -5;
> [a] (1) (2)
SELECT a FROM t UNION SELECT x FROM u LIMIT a;
> !execution error: no such column: a

-- A member's own clauses apply to its own rows.
SELECT a FROM t UNION ALL SELECT DISTINCT x FROM u WHERE x > 1;
> [a] (3) (1) (2) (5) (4)

-- Errors.
SELECT a FROM t UNION SELECT x, y FROM u;
> !execution error: each UNION branch must return the same number of columns
SELECT a FROM t UNION SELECT x FROM missing;
> !execution error: no such table: missing
SELECT a FROM t UNION SELECT x FROM u ORDER BY 2;
> !execution error: UNION ORDER BY must reference an output column by name or position
SELECT a FROM t UNION SELECT x FROM u ORDER BY a + 1;
> !execution error: UNION ORDER BY must reference an output column by name or position
SELECT a FROM t UNION SELECT x FROM u ORDER BY -1;
> !execution error: UNION ORDER BY must reference an output column by name or position
SELECT a FROM t UNION SELECT x FROM u ORDER BY y;
> !execution error: ORDER BY y: no such output column in UNION

-- A UNION never changes FOUND_ROWS().
SELECT SQL_CALC_FOUND_ROWS a FROM t LIMIT 1;
> [a] (3)
SELECT SQL_CALC_FOUND_ROWS a FROM t UNION SELECT x FROM u LIMIT 1;
> [a] (3)
SELECT FOUND_ROWS();
> [FOUND_ROWS()] (3)

-- A UNION as the source of INSERT runs every member.
CREATE TABLE all_v (v INT);
> ok
INSERT INTO all_v SELECT a FROM t UNION SELECT x FROM u;
> affected 5
SELECT v FROM all_v ORDER BY v;
> [v] (1) (2) (3) (4) (5)

-- ... and so does a UNION inside a subquery.
SELECT (SELECT a FROM t UNION SELECT x FROM u ORDER BY 1 DESC LIMIT 1);
> [expr] (5)
SELECT a FROM t WHERE a IN (SELECT x FROM u UNION SELECT 3) ORDER BY a;
> [a] (1) (3)
SELECT count(*) FROM u WHERE x NOT IN (SELECT a FROM t UNION ALL SELECT 4);
> [count(*)] (1)
