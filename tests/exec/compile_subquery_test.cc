// Correlated scalar subqueries: parameters, the result cache, `?` values, the subquery's own ORDER BY/LIMIT, three nesting
// levels, shadowing, IN lists and statements whose subquery reads the table
// they change.
#include "compile_test_util.h"

namespace bkf::testing {
namespace {

using vm::OpKind;

class SubqueryTest : public CompileTest {
 protected:
  void SetUp() override {
    CompileTest::SetUp();
    ok("CREATE TABLE t (id INTEGER PRIMARY KEY, k INT, a INT);"
       "CREATE TABLE u (id INTEGER PRIMARY KEY, k INT, b INT, v INT);"
       "CREATE TABLE w (id INTEGER PRIMARY KEY, x INT, y INT);"
       "INSERT INTO t VALUES (1, 1, 10), (2, 2, 20), (3, 1, 30), (4, 3, 10), (5, 1, 50);"
       "INSERT INTO u VALUES (1, 1, 7, 100), (2, 1, 8, 300), (3, 2, 7, 200), (4, 1, 9, 50);"
       "INSERT INTO w VALUES (1, 10, 7), (2, 10, 8), (3, 30, 7), (4, 10, 7)");
  }
};

TEST_F(SubqueryTest, ParametersAndCache) {
  const char* q = "SELECT t.id, (SELECT count(*) FROM u WHERE u.k = t.k) FROM t";
  EXPECT_EQ(rows(q), "1|3;2|1;3|3;4|0;5|3");
  // One run per distinct argument: k = 1, 2, 3; the other two rows hit the cache.
  QueryResult r = run(q);
  EXPECT_EQ(r.subquery_runs, 3u);
  EXPECT_EQ(r.subquery_cache_hits, 2u);
  // T.K and t.k name one column: one run per distinct k.
  EXPECT_EQ(run("SELECT (SELECT max(u.v) FROM u WHERE u.k = T.K AND u.b > t.k) FROM t").subquery_runs, 3u);
  EXPECT_EQ(rows("SELECT (SELECT max(u.v) FROM u WHERE u.id = t.id AND u.k = T.K) FROM t"), "100;NULL;NULL;NULL;NULL");
  // Without outer references: one run.
  EXPECT_EQ(run("SELECT (SELECT count(*) FROM u) FROM t").subquery_runs, 1u);
  // The sub-program seeks with its parameter.
  vm::Program p = program("SELECT (SELECT v FROM u WHERE u.id = t.k) FROM t");
  ASSERT_EQ(p.subprograms.size(), 1u);
  EXPECT_TRUE(has_op(p.subprograms[0], OpKind::SeekRowid)) << p.debug();
  EXPECT_EQ(rows("SELECT (SELECT v FROM u WHERE u.id = t.k) FROM t"), "100;300;100;200;100");
}

TEST_F(SubqueryTest, CacheIsExactAndSeesTheBinds) {
  // 1 and 1.0, and integers beyond 2^53, are distinct arguments; NULL runs too.
  ok("CREATE TABLE one (z); INSERT INTO one VALUES (0); CREATE TABLE x (v);"
     "INSERT INTO x VALUES (1), (1), (1.0), (9007199254740993), (9007199254740992), (1), (NULL)");
  const char* q = "SELECT v, (SELECT x.v + ? FROM one) FROM x";
  QueryResult r = run(q, false, {Value::integer(100)});
  EXPECT_EQ(rows_text(r.rows),
            "1|101;1|101;1.0|101.0;9007199254740993|9007199254741093;9007199254740992|9007199254741092;1|101;NULL|NULL");
  EXPECT_EQ(r.subquery_runs, 5u);
  EXPECT_EQ(r.subquery_cache_hits, 2u);
}

TEST_F(SubqueryTest, BindsOrderAndLimit) {
  EXPECT_EQ(rows("SELECT (SELECT count(*) FROM u WHERE u.k = t.k AND u.v > ?) FROM t WHERE id < 3",
                 {Value::integer(60)}),
            "2;1");
  EXPECT_EQ(rows("SELECT (SELECT v FROM u WHERE u.k = t.k ORDER BY v DESC LIMIT 1) FROM t WHERE id <= 2"), "300;200");
  EXPECT_EQ(rows("SELECT (SELECT v FROM u WHERE u.k = t.k ORDER BY v LIMIT 1 OFFSET 1) FROM t WHERE id <= 2"),
            "100;NULL");
  EXPECT_EQ(rows("SELECT (SELECT v FROM u WHERE u.k = t.k LIMIT 0) FROM t WHERE id = 1"), "NULL");
  EXPECT_EQ(rows("SELECT (SELECT DISTINCT b FROM u WHERE u.k = t.k ORDER BY b DESC) FROM t WHERE id = 1"), "9");
  // The result of the subquery in WHERE, ORDER BY and inside expressions.
  EXPECT_EQ(rows("SELECT id FROM t WHERE (SELECT count(*) FROM u WHERE u.k = t.k) = 3 ORDER BY id DESC"), "5;3;1");
  EXPECT_EQ(rows("SELECT id FROM t ORDER BY (SELECT sum(v) FROM u WHERE u.k = t.k), id LIMIT 3"), "4;2;1");
  EXPECT_EQ(rows("SELECT k, count(*) FROM t WHERE a < (SELECT max(v) FROM u WHERE u.k = t.k) GROUP BY k"), "1|3;2|1");
}

TEST_F(SubqueryTest, NestingAndShadowing) {
  // Three levels: the innermost reads the outermost row through the middle.
  const char* q =
      "SELECT t.id, (SELECT sum((SELECT count(*) FROM w WHERE w.x = t.a AND w.y = u.b)) FROM u WHERE u.k = t.k) "
      "FROM t";
  EXPECT_EQ(rows(q), "1|3;2|0;3|1;4|NULL;5|0");
  // An inner alias hides the outer table of the same name.
  EXPECT_EQ(run("SELECT (SELECT count(*) FROM u AS t WHERE t.k = 1) FROM t").subquery_runs, 1u);
  EXPECT_EQ(rows("SELECT (SELECT count(*) FROM u AS T WHERE t.k = 1) FROM t WHERE id = 2"), "3");
  // Unqualified names resolve only inside the subquery.
  EXPECT_EQ(rows("SELECT (SELECT count(*) FROM u WHERE k = 2) FROM t WHERE id = 1"), "1");
  // Outer references inside CASE are passed like any other.
  EXPECT_EQ(rows("SELECT (SELECT count(*) FROM u WHERE u.k = CASE WHEN t.a > 15 THEN 2 ELSE t.k END) FROM t"),
            "3;1;1;0;1");
  // An IN list in a correlated subquery is a chain of comparisons.
  EXPECT_EQ(rows("SELECT (SELECT count(*) FROM u WHERE u.v IN (t.a * 10, 200, NULL)) FROM t"), "2;1;2;2;1");
  EXPECT_EQ(rows("SELECT (SELECT count(*) FROM u WHERE u.v NOT IN (t.a * 10, 200)) FROM t WHERE id = 1"), "2");
  // On the null row of a LEFT JOIN the parameters read NULL.
  EXPECT_EQ(sorted_rows("SELECT t.id, (SELECT count(*) FROM w WHERE w.y = u.b) FROM t LEFT JOIN u ON u.id = t.a"),
            "1|0;2|0;3|0;4|0;5|0");
  EXPECT_EQ(sorted_rows("SELECT t.id, (SELECT count(*) FROM w WHERE w.y = u.b OR u.b IS NULL) FROM t "
                        "LEFT JOIN u ON u.id = t.k AND t.k < 3"),
            "1|3;2|1;3|3;4|4;5|3");
}

TEST_F(SubqueryTest, WritesDoNotSeeTheirOwnChanges) {
  // Deletes the one row that has no smaller id; a one-pass delete would see
  // each next row become the smallest and delete them all.
  ok("DELETE FROM t WHERE (SELECT count(*) FROM t AS x WHERE x.id < t.id) = 0");
  EXPECT_EQ(rows("SELECT id FROM t"), "2;3;4;5");
  EXPECT_TRUE(has_op(program("DELETE FROM t WHERE (SELECT count(*) FROM t AS x WHERE x.id < t.id) = 0"),
                     OpKind::SpoolRow));
  // Every new value is computed from the table as it was.
  ok("UPDATE t SET a = (SELECT sum(x.a) FROM t AS x WHERE x.id < t.id)");
  EXPECT_EQ(rows("SELECT id, a FROM t"), "2|NULL;3|20;4|50;5|60");
  QueryResult r = ok("UPDATE t SET a = (SELECT max(x.id) FROM t AS x WHERE x.id < t.id) WHERE id >= 3");
  EXPECT_EQ(r.changes, 3u);
  EXPECT_EQ(rows("SELECT id, a FROM t"), "2|NULL;3|2;4|3;5|4");
  // A subquery over another table runs in one pass.
  EXPECT_FALSE(has_op(program("UPDATE t SET a = (SELECT max(v) FROM u WHERE u.k = t.k)"), OpKind::SpoolRow));
  ok("UPDATE t SET a = (SELECT max(v) FROM u WHERE u.k = t.k)");
  EXPECT_EQ(rows("SELECT id, a FROM t"), "2|200;3|300;4|NULL;5|300");
}

}  // namespace
}  // namespace bkf::testing
