// Joins (inner, LEFT with null rows, ON and WHERE placement) and aggregate
// queries (bare columns, HAVING, ORDER BY over groups, empty inputs,
// grouping against a model).
#include <cmath>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <tuple>

#include "compile_test_util.h"
#include "exec/compile/compiler.h"
#include "exec/compile/expr_walk.h"
#include "sql/parser.h"

namespace bkf::testing {
namespace {

class JoinAggTest : public CompileTest {
 protected:
  void SetUp() override {
    CompileTest::SetUp();
    ok("CREATE TABLE a (id INTEGER PRIMARY KEY, x INT, name TEXT);"
       "CREATE TABLE b (id INTEGER PRIMARY KEY, aid INT, v INT); CREATE INDEX b_aid ON b (aid);"
       "CREATE TABLE c (id INTEGER PRIMARY KEY, bid INT, w TEXT);"
       "CREATE TABLE e (id INTEGER PRIMARY KEY, z INT);"
       "INSERT INTO a VALUES (1, 10, 'one'), (2, 20, 'two'), (3, 10, 'three'), (4, NULL, 'four');"
       "INSERT INTO b VALUES (1, 1, 100), (2, 1, 200), (3, 3, 300), (4, NULL, 400), (5, 9, 500);"
       "INSERT INTO c VALUES (1, 1, 'c1'), (2, 3, 'c3'), (3, 3, 'c3b')");
  }
};

// A LEFT JOIN probing by row id whose outer row found nothing leaves the
// inner cursor reading as Nulls; the next outer row's key must still find
// its rows, whatever kind the key is (an integer, a NULL, a real that seeks
// a range of row ids) and whichever kind came before it.
TEST_F(JoinAggTest, LeftJoinByRowIdAfterUnmatchedRows) {
  ok("CREATE TABLE k (id INTEGER PRIMARY KEY, n);"
     "INSERT INTO k VALUES (1, 999), (2, 3.0), (3, 2), (4, NULL), (5, 3.0), (6, 'x'), (7, 1.0), (8, 9.5), (9, 2.0)");
  EXPECT_EQ(rows("SELECT k.id, b.id FROM k LEFT JOIN b ON b.id = k.n"),
            "1|NULL;2|3;3|2;4|NULL;5|3;6|NULL;7|1;8|NULL;9|2");
  EXPECT_EQ(rows("SELECT k.id, b.id FROM k LEFT JOIN b ON b.id > k.n AND b.id < k.n + 2"),
            "1|NULL;2|4;3|3;4|NULL;5|4;6|1;7|2;8|NULL;9|3");
  EXPECT_EQ(rows("SELECT k.id, b.id FROM k LEFT JOIN b ON (b.id > k.n AND b.id < k.n + 2) = 1"),
            "1|NULL;2|4;3|3;4|NULL;5|4;6|1;7|2;8|NULL;9|3");
}

TEST_F(JoinAggTest, InnerAndLeftJoins) {
  EXPECT_EQ(sorted_rows("SELECT a.id, b.v FROM a JOIN b ON b.aid = a.id"), "1|100;1|200;3|300");
  EXPECT_EQ(sorted_rows("SELECT a.id, b.v FROM a LEFT JOIN b ON b.aid = a.id"), "1|100;1|200;2|NULL;3|300;4|NULL");
  EXPECT_EQ(sorted_rows("SELECT b.v, a.name FROM a RIGHT JOIN b ON b.aid = a.id"),
            "100|one;200|one;300|three;400|NULL;500|NULL");
  // WHERE sees the null rows; a row that passes ON but fails WHERE still
  // counts as a match.
  EXPECT_EQ(sorted_rows("SELECT a.id FROM a LEFT JOIN b ON b.aid = a.id WHERE b.id IS NULL"), "2;4");
  EXPECT_EQ(sorted_rows("SELECT a.id FROM a LEFT JOIN b ON b.aid = a.id WHERE b.v IS NULL OR b.v > 150"),
            "1;2;3;4");
  EXPECT_EQ(sorted_rows("SELECT a.id FROM a LEFT JOIN b ON b.aid = a.id WHERE b.v > 250"), "3");
  // Three levels: inner level empty for some rows ends that pass; LEFT
  // null rows propagate.
  EXPECT_EQ(sorted_rows("SELECT a.id, b.id, c.w FROM a JOIN b ON b.aid = a.id JOIN c ON c.bid = b.id"),
            "1|1|c1;3|3|c3;3|3|c3b");
  EXPECT_EQ(sorted_rows("SELECT a.id, b.id, c.w FROM a LEFT JOIN b ON b.aid = a.id LEFT JOIN c ON c.bid = b.id"),
            "1|1|c1;1|2|NULL;2|NULL|NULL;3|3|c3;3|3|c3b;4|NULL|NULL");
  EXPECT_EQ(sorted_rows("SELECT a.id FROM a JOIN e ON 1"), "");
  EXPECT_EQ(sorted_rows("SELECT a.id, e.z FROM a LEFT JOIN e ON e.id = a.id"), "1|NULL;2|NULL;3|NULL;4|NULL");
  // Conjuncts are placed by the tables they read, including inside CASE.
  EXPECT_EQ(sorted_rows("SELECT a.id, b.v FROM a, b WHERE b.aid = a.id AND "
                        "CASE WHEN b.v > 150 THEN 1 ELSE 0 END = 1 AND a.x = 10"),
            "1|200;3|300");
  EXPECT_EQ(sorted_rows("SELECT a.id, b.id FROM a JOIN b ON b.aid = a.id AND b.v < 300 WHERE a.name <> 'x'"),
            "1|1;1|2");
  // A NULL key never matches NULL.
  EXPECT_EQ(sorted_rows("SELECT a.id, b.id FROM a JOIN b ON b.aid = a.x"), "");
  EXPECT_EQ(rows("SELECT count(*) FROM a JOIN b ON b.aid = a.x"), "0");
  ok("INSERT INTO a VALUES (5, NULL, 'five')");
  EXPECT_EQ(rows("SELECT count(*) FROM a AS p JOIN b ON b.aid = p.x"), "0");
  EXPECT_EQ(rows("SELECT count(*) FROM b AS p JOIN b ON b.aid = p.aid"), "6");
}

TEST_F(JoinAggTest, Aggregates) {
  EXPECT_EQ(rows("SELECT x, count(*), sum(id), min(name), max(name) FROM a GROUP BY x"),
            "NULL|1|4|four|four;10|2|4|one|three;20|1|2|two|two");
  // Bare columns take the group's first row.
  EXPECT_EQ(rows("SELECT x, name FROM a GROUP BY x"), "NULL|four;10|one;20|two");
  EXPECT_EQ(rows("SELECT x + 1, upper(name) FROM a GROUP BY x + 1"), "NULL|FOUR;11|ONE;21|TWO");
  EXPECT_EQ(rows("SELECT x FROM a GROUP BY x HAVING count(*) > 1"), "10");
  EXPECT_EQ(rows("SELECT x FROM a GROUP BY x HAVING name = 'two'"), "20");
  EXPECT_EQ(rows("SELECT x, count(*) AS n FROM a GROUP BY x ORDER BY count(*) DESC, x"), "10|2;NULL|1;20|1");
  EXPECT_EQ(ok("SELECT x, count(*) FROM a GROUP BY x ORDER BY count(*) DESC").columns.size(), 2u);
  EXPECT_EQ(rows("SELECT count(*), sum(x), avg(x), min(x) FROM a WHERE id > 100"), "0|NULL|NULL|NULL");
  EXPECT_EQ(rows("SELECT x, count(*) FROM a WHERE id > 100 GROUP BY x"), "");
  EXPECT_EQ(rows("SELECT count(*) FROM a HAVING count(*) = 0"), "");
  EXPECT_EQ(rows("SELECT count(*) FROM e HAVING count(*) = 0"), "0");
  EXPECT_EQ(rows("SELECT count(x), count(DISTINCT x), sum(DISTINCT x), count(*) FROM a"), "3|2|30|4");
  EXPECT_EQ(rows("SELECT CASE WHEN max(x) > 15 THEN 'big' END FROM a GROUP BY id % 2"), "big;NULL");
  EXPECT_EQ(rows("SELECT CASE WHEN x > 0 THEN 1 END FROM a GROUP BY x"), "NULL;1;1");
  // CASE x WHEN compares x with each value in turn; nested, and in groups.
  EXPECT_EQ(rows("SELECT id, CASE x WHEN 10 THEN 'ten' WHEN id * 10 THEN upper(name) ELSE concat(name, "
                 "CASE id % 2 WHEN 0 THEN '!' END) END FROM a WHERE id < 5 ORDER BY id"),
            "1|ten;2|TWO;3|ten;4|four!");
  EXPECT_EQ(rows("SELECT CASE count(*) WHEN 2 THEN x END FROM a GROUP BY x ORDER BY x"), "NULL;10;NULL");
  EXPECT_EQ(rows("SELECT sum(a.x), count(b.id) FROM a JOIN b ON b.aid = a.id"), "30|3");
  EXPECT_EQ(rows("SELECT a.id, count(b.id) FROM a LEFT JOIN b ON b.aid = a.id GROUP BY a.id"), "1|2;2|0;3|1;4|0");
  EXPECT_EQ(rows("SELECT count(*) FROM a LEFT JOIN b ON b.aid = a.id WHERE b.rowid IS NULL"), "2");
  EXPECT_EQ(rows("SELECT count(*) FROM a WHERE id = 3"), "1");
  // Groups of 1 and 1.0 are one group; -0.0 and 0.0 too.
  ok("CREATE TABLE g (k, v INT); INSERT INTO g VALUES (1, 1), (1.0, 2), (2, 3), (0.0, 4), (-0.0, 5)");
  EXPECT_EQ(rows("SELECT k, sum(v) FROM g GROUP BY k"), "0.0|9;1|3;2|3");
}

// Keys from a pool whose groups and order are known, against a model, then
// thousands of keys met in scattered order: each row lands in its own key's
// group however large the table of groups grows, groups come out in key
// order, and each shows the first key it met.
TEST_F(JoinAggTest, GroupingMatchesAModel) {
  const std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const std::pair<Value, int> pool[] = {  // (key, its group's rank in key order)
      {Value::null(), 0}, {Value::integer(kMin), 1}, {Value::integer(-5), 2}, {Value::real(-0.0), 3},
      {Value::integer(0), 3}, {Value::real(1.0), 4}, {Value::integer(1), 4}, {Value::integer(9007199254740992), 5},
      {Value::integer(9007199254740993), 6}, {Value::integer(kMax), 7}, {Value::text("a"), 8},
      {Value::text("a\x01"), 9}, {Value::blob(std::string("\0", 1)), 10}};
  ok("CREATE TABLE g (k, v INT)");
  std::mt19937_64 rng(7);
  for (int round = 0; round < 20; ++round) {
    ok("DELETE FROM g");
    std::map<int, std::tuple<Value, std::int64_t, std::int64_t>> model;  // first key, count, sum
    for (std::size_t n = rng() % 60; n > 0; --n) {
      const auto& [key, group] = pool[rng() % std::size(pool)];
      const std::int64_t v = static_cast<std::int64_t>(rng() % 2001) - 1000;
      ok("INSERT INTO g VALUES (?, ?)", {key, Value::integer(v)});
      auto [it, fresh] = model.try_emplace(group, key, 0, 0);
      ++std::get<1>(it->second);
      std::get<2>(it->second) += v;
    }
    std::string want;
    for (auto& [g, m] : model) {
      want += (want.empty() ? "" : ";") + value_text(std::get<0>(m)) + "|" + std::to_string(std::get<1>(m)) + "|" +
              std::to_string(std::get<2>(m));
    }
    EXPECT_EQ(rows("SELECT k, count(*), sum(v) FROM g GROUP BY k"), want) << "round " << round;
  }
  ok("DELETE FROM g; BEGIN");
  std::map<std::int64_t, int> ints;
  std::map<std::string, int> texts;
  for (std::int64_t i = 1; i <= 20000; ++i) {
    const std::int64_t k = (i * 7919) % 5003;
    const std::string t = "t" + std::to_string(k);
    ok("INSERT INTO g VALUES (?, 0)", {k % 2 ? Value::text(t) : Value::integer(k)});
    ++(k % 2 ? texts[t] : ints[k]);
  }
  ok("COMMIT");
  std::string want;
  for (auto& [k, n] : ints) want += std::to_string(k) + "|" + std::to_string(n) + ";";
  for (auto& [t, n] : texts) want += t + "|" + std::to_string(n) + ";";
  want.pop_back();
  EXPECT_EQ(rows("SELECT k, count(*) FROM g GROUP BY k"), want);
}

// Grouping on one key finds a whole-number key's group by the integer
// itself; a second, constant key takes every row the general way. Both must
// form the same groups: Int and Real of one value together (in either order
// of arrival), integers beyond 2^53 apart, texts and Nulls on their own.
TEST_F(JoinAggTest, SingleIntegerKeyGroupsAsTheGeneralWay) {
  const char* const keys[] = {"1", "1.0", "2", "-3", "-3.0", "0", "-0.0", "0.0", "9007199254740992",
                              "9007199254740993", "9007199254740992.0", "'1'", "NULL", "2.5", "-9223372036854775807 - 1"};
  std::mt19937 rng(12);
  for (int round = 0; round < 4; ++round) {
    ok("DROP TABLE IF EXISTS g; CREATE TABLE g (k, v INT)");
    std::string ins = "INSERT INTO g VALUES ";
    for (int i = 0; i < 300; ++i) {
      if (i > 0) ins += ", ";
      ins += "(" + std::string(keys[rng() % std::size(keys)]) + ", " + std::to_string(i) + ")";
    }
    ok(ins);
    EXPECT_EQ(rows("SELECT k, count(*), sum(v), min(v) FROM g GROUP BY k"),
              rows("SELECT k, count(*), sum(v), min(v) FROM g GROUP BY k, 'x'"))
        << "round " << round;
  }
}

TEST_F(JoinAggTest, AggregateCallsHoldingNaNFindTheirAccumulators) {
  // A NaN literal (the engine puts one in when a folded subquery yields NaN)
  // is not equal to itself; each call still reads its own accumulator.
  Result<std::vector<Statement>> sts = sql::parse("SELECT sum(x + 1.5), max(x + 1.5) + 1, sum(x + 1.5) FROM a");
  ASSERT_TRUE(sts.ok());
  SelectStmt& s = (*sts)[0].as<Statement::Select>().select;
  for (SelectItem& it : s.items) {
    compile::walk_slots(it.as<SelectItem::Expr>().expr, [](ExprPtr& slot) {
      if (auto* r = slot->get_if<Expr::Real>()) r->value = std::nan("");
      return compile::Walk::Descend;
    });
  }
  Result<vm::Program> p = compile::compile_select(s, db_->catalog());
  ASSERT_TRUE(p.ok()) << p.error().to_string();
  EXPECT_EQ(p->agg_specs.size(), 2u);  // the two sum calls share one accumulator
  Result<QueryResult> r = db_->run(*p, false);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(rows_text(r->rows), "NaN|NaN|NaN");
}

}  // namespace
}  // namespace bkf::testing
