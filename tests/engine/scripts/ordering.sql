-- Ordering, DISTINCT, LIMIT/OFFSET and FOUND_ROWS().

SELECT FOUND_ROWS();
> [FOUND_ROWS()] (0)

CREATE TABLE t (a INT, b TEXT);
> ok
INSERT INTO t VALUES (1, 'x'), (2, 'y'), (1, 'z');
> affected 3

SELECT a, b FROM t ORDER BY a DESC, b;
> [a, b] (2, 'y') (1, 'x') (1, 'z')
SELECT a, b FROM t ORDER BY a DESC, b DESC;
> [a, b] (2, 'y') (1, 'z') (1, 'x')

-- Rows equal on every key keep the order the scan met them in.
SELECT b FROM t ORDER BY a;
> [b] ('x') ('z') ('y')

-- NULL sorts first ascending and last descending.
INSERT INTO t VALUES (NULL, 'n');
> affected 1
SELECT a FROM t ORDER BY a;
> [a] (NULL) (1) (1) (2)
SELECT a FROM t ORDER BY a DESC;
> [a] (2) (1) (1) (NULL)

-- DISTINCT after sorting: for each a the row first under b stays, in b order.
SELECT DISTINCT a FROM t ORDER BY b DESC;
> [a] (1) (2) (NULL)

-- An integer and the equal real are equal for ORDER BY but distinct rows
-- for DISTINCT; so are 0.0 and -0.0. Two NULL rows are duplicates.
CREATE TABLE m (k INT, v);
> ok
INSERT INTO m VALUES (1, 1), (2, 1.0), (3, 1), (4, 0.0), (5, -0.0), (6, NULL), (7, NULL);
> affected 7
SELECT DISTINCT v FROM m;
> [v] (1) (1.0) (0.0) (-0.0) (NULL)
SELECT k FROM m WHERE v = 1 ORDER BY v;
> [k] (1) (2) (3)
SELECT k FROM m WHERE v = 1 ORDER BY v DESC;
> [k] (1) (2) (3)
SELECT DISTINCT v, k > 3 FROM m WHERE k < 4;
> [v, expr] (1, 0) (1.0, 0)

-- OFFSET before LIMIT; negative counts.
CREATE TABLE n (i INTEGER PRIMARY KEY);
> ok
INSERT INTO n VALUES (1), (2), (3), (4), (5), (6), (7), (8), (9), (10);
> affected 10
SELECT i FROM n LIMIT 3 OFFSET 2;
> [i] (3) (4) (5)
SELECT i FROM n LIMIT 2, 3;
> [i] (3) (4) (5)
SELECT i FROM n ORDER BY i DESC LIMIT 2 OFFSET 1;
> [i] (9) (8)
SELECT i FROM n LIMIT 0;
> [i]
SELECT i FROM n LIMIT 3 OFFSET 10;
> [i]
SELECT i FROM n LIMIT 3 OFFSET 9;
> [i] (10)

-- FOUND_ROWS(): the count after DISTINCT, before OFFSET and LIMIT.
SELECT SQL_CALC_FOUND_ROWS i FROM n LIMIT 2;
> [i] (1) (2)
SELECT FOUND_ROWS();
> [FOUND_ROWS()] (10)
select found_rows() AS c;
> [c] (10)
SELECT FOUND_ROWS() FROM n;
> !execution error: unknown function FOUND_ROWS
SELECT FOUND_ROWS() WHERE 0;
> [FOUND_ROWS()] (10)
SELECT SQL_CALC_FOUND_ROWS i FROM n WHERE i > 3 ORDER BY i DESC LIMIT 1 OFFSET 2;
> [i] (8)
SELECT FOUND_ROWS();
> [FOUND_ROWS()] (7)
SELECT DISTINCT SQL_CALC_FOUND_ROWS a FROM t LIMIT 1;
> [a] (1)
SELECT FOUND_ROWS();
> [FOUND_ROWS()] (3)
-- A query without the flag, and a failing one, leave the count alone.
SELECT i FROM n LIMIT 1;
> [i] (1)
SELECT SQL_CALC_FOUND_ROWS nope FROM n;
> !execution error: no such column: nope
SELECT FOUND_ROWS();
> [FOUND_ROWS()] (3)
-- Not the FOUND_ROWS() form: compiled like any call.
SELECT FOUND_ROWS(1);
> !execution error: unknown function FOUND_ROWS
SELECT FOUND_ROWS() + 1;
> !execution error: unknown function FOUND_ROWS

-- A NaN sorts after every number and before the texts, all NaNs alike
-- (inf - inf and 'nan' read into a REAL column make NaNs that may differ in
-- their sign bit); the numbers on either side of it still come in order.
-- -0.0 and 0.0 are equal and keep the order the scan met them in.
CREATE TABLE fx (x REAL);
> ok
INSERT INTO fx VALUES (1.0), (2.0), (3.0), (4.0), (CAST('inf' AS REAL) - CAST('inf' AS REAL)), (0.0), (-0.0);
> affected 7
SELECT x FROM fx ORDER BY x;
> [x] (0.0) (-0.0) (1.0) (2.0) (3.0) (4.0) (NaN)
SELECT x FROM fx ORDER BY x DESC;
> [x] (NaN) (4.0) (3.0) (2.0) (1.0) (0.0) (-0.0)
SELECT x FROM fx ORDER BY x LIMIT 3;
> [x] (0.0) (-0.0) (1.0)
SELECT x FROM fx ORDER BY x DESC LIMIT 2 OFFSET 4;
> [x] (1.0) (0.0)
CREATE TABLE fa (a REAL);
> ok
INSERT INTO fa VALUES (3.0), (1.0), ('nan'), (2.0), (1.0), (3.0), (CAST('inf' AS REAL) - CAST('inf' AS REAL)), (2.0);
> affected 8
SELECT a FROM fa ORDER BY a;
> [a] (1.0) (1.0) (2.0) (2.0) (3.0) (3.0) (NaN) (NaN)
SELECT a FROM fa ORDER BY a DESC LIMIT 3;
> [a] (NaN) (NaN) (3.0)
SELECT a FROM fa UNION SELECT 'x' UNION SELECT NULL UNION SELECT CAST('-inf' AS REAL) ORDER BY 1;
> [a] (NULL) (-inf) (1.0) (2.0) (3.0) (NaN) (NaN) ('x')

-- Integers and reals sort by exact value, also beyond 2^53 where the
-- comparison operators round the integer: 2^53 + 1 after the real 2^53,
-- 2^63 - 1 before the real 2^63.
CREATE TABLE big (v);
> ok
INSERT INTO big VALUES (9007199254740993), (9007199254740992.0), (9223372036854775807), (9223372036854775808.0),
  (9007199254740992), (-9223372036854775807 - 1), (-9223372036854775808.0);
> affected 7
SELECT v FROM big ORDER BY v;
> [v] (-9223372036854775808) (-9.223372036854776e18) (9007199254740992.0) (9007199254740992) (9007199254740993) (9223372036854775807) (9.223372036854776e18)
SELECT v FROM big ORDER BY v DESC LIMIT 3;
> [v] (9.223372036854776e18) (9223372036854775807) (9007199254740993)
