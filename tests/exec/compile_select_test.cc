// SELECT compilation end to end: result names, star expansion, every
// resolution error, the access path each query gets (read from the
// program), limits, and very long expression chains.
#include "compile_test_util.h"

namespace bkf::testing {
namespace {

using vm::OpKind;

class SelectTest : public CompileTest {
 protected:
  void SetUp() override {
    CompileTest::SetUp();
    ok("CREATE TABLE t (id INTEGER PRIMARY KEY, a INT, b TEXT, c REAL);"
       "CREATE TABLE a (x INT, y INT);"
       "CREATE TABLE b (x INT, z TEXT);"
       "INSERT INTO t VALUES (1, 10, 'p', 1.5), (2, 20, 'q', 2.5), (3, 10, 'r', NULL), (5, 30, 's', 4.0);"
       "INSERT INTO a VALUES (1, 2), (3, 4);"
       "INSERT INTO b VALUES (1, 'one'), (3, 'three'), (3, 'drei')");
  }
};

TEST_F(SelectTest, ResultNames) {
  // A bare column that does not exist is still rejected in a grouped query.
  EXPECT_EQ(err("SELECT a, any_alias FROM t GROUP BY a"), "execution error: no such column: any_alias");
  QueryResult r = ok("SELECT a, t.b, count(*), max(c), a + 1, upper(b), id AS k FROM t GROUP BY a");
  EXPECT_EQ(r.columns, (std::vector<std::string>{"a", "b", "count(*)", "max(c)", "expr", "expr", "k"}));
  r = ok("SELECT a, b, sum(DISTINCT c), count(b) FROM t GROUP BY a");
  EXPECT_EQ(r.columns, (std::vector<std::string>{"a", "b", "sum(c)", "count(b)"}));
  EXPECT_EQ(ok("SELECT 1 + 1, 'x' AS y").columns, (std::vector<std::string>{"expr", "y"}));
  EXPECT_EQ(ok("SELECT count(*) AS n FROM t").columns, (std::vector<std::string>{"n"}));
  EXPECT_EQ(ok("SELECT count(*) FROM t").columns, (std::vector<std::string>{"count(*)"}));
}

TEST_F(SelectTest, StarExpansion) {
  EXPECT_EQ(ok("SELECT * FROM a, b").columns, (std::vector<std::string>{"x", "y", "x", "z"}));
  EXPECT_EQ(sorted_rows("SELECT * FROM a JOIN b ON a.x = b.x"), "1|2|1|one;3|4|3|drei;3|4|3|three");
  EXPECT_EQ(ok("SELECT b.*, a.y FROM a, b").columns, (std::vector<std::string>{"x", "z", "y"}));
  EXPECT_EQ(rows("SELECT A.* FROM a ORDER BY x"), "1|2;3|4");  // qualifier folds ASCII case
  EXPECT_EQ(rows("SELECT * FROM t AS q WHERE q.id = 2"), "2|20|q|2.5");
  EXPECT_EQ(rows("SELECT q.* FROM t AS q WHERE id = 3"), "3|10|r|NULL");
  EXPECT_EQ(rows("SELECT * FROM t WHERE id = 1"), "1|10|p|1.5");
  // A self-join without aliases makes every expanded reference ambiguous.
  EXPECT_EQ(err("SELECT * FROM a JOIN a ON 1"), "execution error: ambiguous column: x");
  EXPECT_EQ(rows("SELECT count(*), t.* FROM t WHERE id = 5"), "1|5|30|s|4.0");
}

TEST_F(SelectTest, ResolutionAndCompileErrors) {
  const std::pair<const char*, const char*> cases[] = {
      {"SELECT zz FROM t", "no such column: zz"},
      {"SELECT q.a FROM t", "no such table: q"},
      {"SELECT t.a FROM t AS q", "no such table: t"},
      {"SELECT * FROM t AS q WHERE t.rowid = 5", "no such table: t"},
      {"SELECT * FROM t AS q WHERE t.id >= 2", "no such table: t"},
      {"SELECT rowid FROM a, b", "ambiguous rowid; qualify it with a table"},
      {"SELECT x FROM a, b", "ambiguous column: x"},
      {"SELECT * FROM missing", "no such table: missing"},
      {"SELECT * FROM T", "no such table: T"},
      {"SELECT x.* FROM a", "unknown table in x.*"},
      {"SELECT 1 WHERE 1", "WHERE/ORDER BY require a FROM clause"},
      {"SELECT 1 ORDER BY 1", "WHERE/ORDER BY require a FROM clause"},
      {"SELECT *", "SELECT * requires a FROM clause"},
      {"SELECT count(*)", "aggregate query needs a FROM clause"},
      {"SELECT a FROM t WHERE count(*) > 1", "aggregate functions are not allowed here"},
      {"SELECT sum(count(a)) FROM t", "aggregate functions are not allowed here"},
      {"SELECT a FROM t ORDER BY max(a)", "aggregate functions are not allowed here"},
      {"SELECT foo(1)", "unknown function FOO"},
      {"SELECT a FROM t LIMIT 'x'", "LIMIT must be a constant integer"},
      {"SELECT a FROM t LIMIT 1 + 1", "LIMIT must be a constant integer"},
      {"SELECT a FROM t LIMIT 1 OFFSET ?", "LIMIT must be a constant integer"},
      {"SELECT CASE WHEN b > '' THEN 1 END FROM t GROUP BY a", "column \"b\" must appear in GROUP BY or an aggregate"},
      {"SELECT (SELECT 1)", "subquery requires a FROM context"},
      {"SELECT a FROM t WHERE a IN (1, 2)", "IN(...) must be folded before compilation"},
      {"SELECT a, (SELECT 1 FROM a) FROM t GROUP BY a", "subquery/IN not supported in this position"},
      {"SELECT a.x FROM a JOIN b ON b.x = t.id JOIN t ON 1", "ON clause refers to a later table: t"},
      {"SELECT a.x FROM a JOIN b ON id = 1 JOIN t ON 1", "ON clause refers to a later table: t"},
      {"SELECT a.x FROM a JOIN b ON (SELECT 1 FROM a AS w WHERE w.x = t.a) JOIN t ON 1",
       "ON clause refers to a later table: t"},
      {"SELECT (SELECT count(*) FROM b WHERE b.x = zz.y) FROM a", "no such table: zz"},
      {"SELECT (SELECT count(*) FROM b WHERE b.x = y) FROM a", "no such column: y"},
      {"SELECT (SELECT x FROM b UNION SELECT 1) FROM a", "UNION is not supported in a correlated subquery"},
      {"SELECT a FROM t ORDER BY zz", "no such column: zz"},
      {"INSERT INTO missing VALUES (1)", "no such table: missing"},
      {"INSERT INTO t (zz) VALUES (1)", "no such column: zz"},
      {"INSERT INTO t VALUES (1)", "table t expects 4 values, got 1"},
      {"INSERT INTO t (a, b) VALUES (1, 2, 3)", "table t expects 2 values, got 3"},
      {"INSERT INTO t (a) VALUES (zz)", "no such column: zz"},
      {"INSERT INTO t (a) VALUES ((SELECT 1 FROM a))", "subquery requires a FROM context"},
      {"UPDATE missing SET a = 1", "no such table: missing"},
      {"UPDATE t SET zz = 1", "no such column: zz"},
      {"UPDATE t SET rowid = 1", "no such column: rowid"},
      {"UPDATE t SET ID = 7", "cannot update the row id column ID"},
      {"UPDATE t SET a = upper(zz)", "no such column: zz"},
      {"UPDATE t SET a = VALUES(a)", "unknown function VALUES"},
      {"DELETE FROM missing", "no such table: missing"},
      {"DELETE FROM t WHERE zz.rowid > 5", "no such table: zz"},
      {"DELETE FROM a WHERE zz.rowid > 5", "no such table: zz"},
  };
  for (const auto& [sql, error] : cases) EXPECT_EQ(compile_err(sql), std::string("execution error: ") + error) << sql;
}

TEST_F(SelectTest, RowidNames) {
  ok("CREATE TABLE r (rowid TEXT, v INT); INSERT INTO r VALUES ('text', 7)");
  EXPECT_EQ(rows("SELECT rowid, RowId, r.ROWID, v FROM r"), "1|1|1|7");
  // The alias column is read as the row id.
  vm::Program p = program("SELECT id FROM t");
  EXPECT_TRUE(has_op(p, OpKind::Rowid));
  EXPECT_FALSE(has_op(p, OpKind::Column));
  EXPECT_EQ(rows("SELECT T.ID, A FROM t WHERE id = 2"), "2|20");
}

TEST_F(SelectTest, AccessPaths) {
  ok("CREATE TABLE m (id INTEGER PRIMARY KEY, a INT, b INT, c TEXT);"
     "CREATE INDEX m_a ON m (a); CREATE INDEX m_ab ON m (a, b); CREATE INDEX m_c ON m (c)");
  for (int i = 1; i <= 40; ++i) {
    ok("INSERT INTO m VALUES (?, ?, ?, ?)", {Value::integer(i), Value::integer(i % 7), Value::integer(i % 3),
                                              Value::text("c" + std::to_string(i % 5))});
  }
  const IndexDef* m_a = db_->catalog().get_index("m_a");
  const IndexDef* m_ab = db_->catalog().get_index("m_ab");
  ASSERT_TRUE(m_a && m_ab);
  auto opened_index = [](const vm::Program& p) -> std::uint32_t {
    for (const vm::Op& op : p.ops) {
      if (op.kind == OpKind::OpenIndex) return op.b;
    }
    return 0;
  };
  struct Case {
    const char* sql;
    OpKind must;
    OpKind must_not;
  } cases[] = {
      {"SELECT * FROM m WHERE id = 5", OpKind::SeekRowid, OpKind::Rewind},
      {"SELECT * FROM m WHERE 5 = id", OpKind::SeekRowid, OpKind::Rewind},
      {"SELECT * FROM m WHERE id = ?", OpKind::SeekRowid, OpKind::Rewind},
      {"SELECT * FROM m WHERE rowid = 5 AND c = 'c0'", OpKind::SeekRowid, OpKind::Rewind},
      {"SELECT * FROM m WHERE rowid >= 10", OpKind::Seek, OpKind::Rewind},
      {"SELECT * FROM m WHERE 10 < rowid AND rowid < ?", OpKind::Seek, OpKind::Rewind},
      {"SELECT * FROM m WHERE rowid < 10", OpKind::Rewind, OpKind::IdxProbe},
      {"SELECT * FROM m WHERE a = 3", OpKind::IdxProbe, OpKind::Rewind},
      {"SELECT * FROM m WHERE a = ?", OpKind::IdxProbe, OpKind::Rewind},
      {"SELECT * FROM m WHERE a > 2 AND a <= ?", OpKind::IdxRangeGuard, OpKind::Rewind},
      {"SELECT * FROM m WHERE c = 'c3'", OpKind::IdxProbe, OpKind::Rewind},
      {"SELECT * FROM m WHERE b = 2", OpKind::Rewind, OpKind::IdxProbe},
      {"SELECT * FROM m WHERE a + 0 = 3", OpKind::Rewind, OpKind::IdxProbe},
      {"SELECT * FROM m WHERE a = b", OpKind::Rewind, OpKind::IdxProbe},
      {"SELECT * FROM m", OpKind::Rewind, OpKind::IdxProbe},
      {"SELECT count(*) FROM m WHERE id = ?", OpKind::SeekRowid, OpKind::Rewind},
      {"SELECT a, count(*) FROM m WHERE a = ? GROUP BY a", OpKind::IdxProbe, OpKind::Rewind},
      {"UPDATE m SET c = 'z' WHERE id = ?", OpKind::SeekRowid, OpKind::Rewind},
      {"DELETE FROM m WHERE id >= ? AND id < ?", OpKind::Seek, OpKind::Rewind},
      {"DELETE FROM m WHERE a = ?", OpKind::IdxProbe, OpKind::Rewind},
  };
  for (const Case& c : cases) {
    vm::Program p = program(c.sql);
    EXPECT_TRUE(has_op(p, c.must)) << c.sql << "\n" << p.debug();
    EXPECT_FALSE(has_op(p, c.must_not)) << c.sql << "\n" << p.debug();
  }
  // More bound leading columns win; with equal scores the older index wins.
  EXPECT_EQ(opened_index(program("SELECT * FROM m WHERE a = 1 AND b = 2")), m_ab->root);
  EXPECT_EQ(opened_index(program("SELECT * FROM m WHERE b = 2 AND a = 1")), m_ab->root);
  EXPECT_EQ(opened_index(program("SELECT * FROM m WHERE a = 1")), m_a->root);
  // An index path deletes in two passes: collect the rows, then delete.
  EXPECT_TRUE(has_op(program("DELETE FROM m WHERE a = 3"), OpKind::SpoolRow));
  EXPECT_FALSE(has_op(program("DELETE FROM m WHERE id = 3"), OpKind::SpoolRow));
}

TEST_F(SelectTest, JoinAccessPaths) {
  ok("CREATE TABLE u (id INTEGER PRIMARY KEY, k INT, v TEXT); CREATE INDEX u_k ON u (k);"
     "INSERT INTO u VALUES (1, 1, 'u1'), (2, 3, 'u2'), (3, 3, 'u3')");
  struct Case {
    const char* sql;
    OpKind must;
    const char* rows;
  } cases[] = {
      {"SELECT a.x, u.v FROM a JOIN u ON u.id = a.x", OpKind::SeekRowid, "1|u1;3|u3"},
      {"SELECT a.x, u.v FROM a, u WHERE u.id = a.x", OpKind::SeekRowid, "1|u1;3|u3"},
      {"SELECT a.x, u.v FROM a JOIN u ON a.x = u.k", OpKind::IdxProbe, "1|u1;3|u2;3|u3"},
      {"SELECT a.x, u.v FROM a LEFT JOIN u ON u.k = a.y", OpKind::IdxProbe, "1|NULL;3|NULL"},
      {"SELECT a.x, count(u.v) FROM a LEFT JOIN u ON u.k = a.x GROUP BY a.x", OpKind::IdxProbe, "1|1;3|2"},
      {"SELECT count(*) FROM a JOIN u ON u.k = a.x", OpKind::CursorSetRowid, "3"},
  };
  for (const Case& c : cases) {
    vm::Program p = program(c.sql);
    EXPECT_TRUE(has_op(p, c.must)) << c.sql << "\n" << p.debug();
    EXPECT_EQ(sorted_rows(c.sql), c.rows) << c.sql;
  }
  // Reading a column of the probed table turns the index-only level off.
  EXPECT_FALSE(has_op(program("SELECT count(u.v) FROM a JOIN u ON u.k = a.x"), OpKind::CursorSetRowid));
  EXPECT_FALSE(has_op(program("SELECT count(*) FROM a JOIN u ON u.k = a.x AND u.v > ''"), OpKind::CursorSetRowid));
}

TEST_F(SelectTest, LimitsAndEarlyStop) {
  // Plain cuts are in the ordering script; these are the forms it lacks.
  EXPECT_EQ(rows("SELECT 1 LIMIT 1 OFFSET 1"), "");
  EXPECT_EQ(err("SELECT id FROM t LIMIT -1"), "execution error: LIMIT must be a constant integer");
  EXPECT_EQ(rows("SELECT DISTINCT a FROM t LIMIT 2"), "10;20");
  EXPECT_EQ(rows("SELECT a, count(*) FROM t GROUP BY a LIMIT 1 OFFSET 1"), "20|1");
  EXPECT_EQ(rows("SELECT count(*) FROM t LIMIT 0"), "");
  // Without ORDER BY or DISTINCT the program stops by itself: its raw rows
  // stop at OFFSET + LIMIT.
  QueryResult raw = run("SELECT id FROM t LIMIT 2 OFFSET 1");
  EXPECT_EQ(rows_text(raw.rows), "2;3");
  EXPECT_EQ(raw.emitted, 3u);
  EXPECT_EQ(run("SELECT id FROM t ORDER BY id LIMIT 1").emitted, 4u);
}

TEST_F(SelectTest, LongChainsCompileWithoutRecursion) {
  constexpr int kTerms = 100000;
  std::string ors = "SELECT id FROM t WHERE a = -1";
  std::string sum = "SELECT 0";
  for (int i = 0; i < kTerms; ++i) {
    ors += " OR a = " + std::to_string(i % 50 == 0 ? 20 : -2);
    sum += " + 1";
  }
  EXPECT_EQ(rows(ors), "2");
  EXPECT_EQ(rows(sum), std::to_string(kTerms));
  EXPECT_EQ(rows(sum + " AS s FROM t WHERE id = 1"), std::to_string(kTerms));
  // The same chains inside an aggregate and a correlated subquery.
  std::string agg = "SELECT sum(a";
  for (int i = 0; i < kTerms; ++i) agg += " + 0";
  EXPECT_EQ(rows(agg + ") FROM t"), "70");
  std::string in = "SELECT (SELECT count(*) FROM a WHERE a.x = t.id AND a.y IN (-5";
  for (int i = 0; i < kTerms; ++i) in += ", " + std::to_string(i % 1000 == 999 ? 2 : -1);
  EXPECT_EQ(rows(in + ")) FROM t WHERE id <= 3"), "1;0;0");
  // A chain through the operands of IN (subquery) inside a correlated
  // subquery: rewritten without recursion, then refused.
  std::string chain = "SELECT (SELECT count(*) FROM a WHERE a.x = t.id AND a.y";
  for (int i = 0; i < kTerms; ++i) chain += " IN (SELECT 1)";
  EXPECT_EQ(err(chain + ") FROM t"), "execution error: IN(...) must be folded before compilation");
}

}  // namespace
}  // namespace bkf::testing
