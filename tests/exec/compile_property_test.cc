// Randomized comparison of an indexed table with an unindexed copy: every
// comparison a query can make must return the same rows whether an index
// path or a full scan serves it, over data of every kind (-0.0, NaN, the
// infinities, integers beyond 2^53, numeric and non-numeric texts, blobs,
// NULLs, row ids at the limits), for single tables, joins, LEFT joins and
// index-only counts.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "compile_test_util.h"

namespace bkf::testing {
namespace {

using vm::OpKind;

std::vector<Value> value_pool() {
  const std::int64_t two53 = std::int64_t{1} << 53;
  const double inf = std::numeric_limits<double>::infinity();
  return {
      Value::null(),
      Value::integer(0), Value::integer(1), Value::integer(-1), Value::integer(2), Value::integer(10),
      Value::integer(two53), Value::integer(two53 + 1), Value::integer(-(two53 + 1)),
      Value::integer(std::numeric_limits<std::int64_t>::max()), Value::integer(std::numeric_limits<std::int64_t>::min()),
      Value::real(0.0), Value::real(-0.0), Value::real(1.0), Value::real(1.5), Value::real(-1.5),
      Value::real(static_cast<double>(two53)), Value::real(1e300), Value::real(inf), Value::real(-inf),
      Value::real(std::nan("")), Value::real(-std::nan("")), Value::real(9223372036854775808.0),
      Value::text(""), Value::text("0"), Value::text("1"), Value::text(" 1"), Value::text("1.0"), Value::text("1abc"),
      Value::text("abc"), Value::text("nan"), Value::text("-0"), Value::text("9007199254740993"), Value::text("b"),
      Value::text("A"), Value::text("1.5e0"), Value::text(" +3 "), Value::text("-"),
      Value::blob(""), Value::blob(std::string("\0", 1)), Value::blob("1"), Value::blob("\xff"),
  };
}

class PropertyTest : public CompileTest {
 protected:
  void SetUp() override {
    CompileTest::SetUp();
    const char* cols = "(id INTEGER PRIMARY KEY, a, b, n INT, s TEXT)";
    ok(std::string("CREATE TABLE ix ") + cols + "; CREATE TABLE nx " + cols +
       "; CREATE INDEX ix_a ON ix (a); CREATE INDEX ix_ab ON ix (a, b); CREATE INDEX ix_n ON ix (n);"
       "CREATE INDEX ix_s ON ix (s); CREATE TABLE p (id INTEGER PRIMARY KEY, v)");
    pool_ = value_pool();
    std::vector<std::int64_t> ids;
    for (std::int64_t i = 1; i <= 240; ++i) ids.push_back(i * 3);
    ids.push_back(std::numeric_limits<std::int64_t>::max());
    ids.push_back(std::numeric_limits<std::int64_t>::min());
    ids.push_back(-7);
    ids.push_back((std::int64_t{1} << 53) + 1);
    ok("BEGIN");
    for (std::int64_t id : ids) {
      std::vector<Value> row = {Value::integer(id), pick(), pick(), pick(), pick()};
      // The extreme row ids share the key 1, which the literal comparisons
      // below bound from both sides: a bound must not drop them.
      if (id == std::numeric_limits<std::int64_t>::max() || id == std::numeric_limits<std::int64_t>::min()) {
        row[1] = Value::integer(1);
      }
      ok("INSERT INTO ix VALUES (?, ?, ?, ?, ?)", row);
      ok("INSERT INTO nx VALUES (?, ?, ?, ?, ?)", row);
    }
    for (std::size_t i = 0; i < pool_.size(); ++i) ok("INSERT INTO p VALUES (?, ?)", {Value::integer(i + 1), pool_[i]});
    ok("COMMIT");
  }

  Value pick() { return pool_[rng_() % pool_.size()]; }
  const char* op() {
    static const char* ops[] = {"=", "<", "<=", ">", ">="};
    return ops[rng_() % 5];
  }
  // The same query on both tables ({T} is replaced) must give the same rows,
  // in the same order when `ordered`.
  void same(const std::string& pattern, const std::vector<Value>& binds, bool ordered = false) {
    auto on = [&](const char* t) {
      std::string q = pattern;
      for (std::size_t p; (p = q.find("{T}")) != std::string::npos;) q.replace(p, 3, t);
      return q;
    };
    std::string with_index = ordered ? rows(on("ix"), binds) : sorted_rows(on("ix"), binds);
    std::string without = ordered ? rows(on("nx"), binds) : sorted_rows(on("nx"), binds);
    std::string keys;
    for (const Value& v : binds) keys += value_debug(v) + " ";
    ASSERT_EQ(with_index, without) << pattern << "  with " << keys;
    ++checked_;
  }

  std::vector<Value> pool_;
  std::mt19937_64 rng_{20260607};
  int checked_ = 0;
};

TEST_F(PropertyTest, SingleTableComparisons) {
  // The indexed table really is read through its indexes.
  EXPECT_TRUE(has_op(program("SELECT id FROM ix WHERE a = ?"), OpKind::IdxProbe));
  EXPECT_TRUE(has_op(program("SELECT id FROM ix WHERE a = ? AND b > ?"), OpKind::IdxProbe));
  EXPECT_FALSE(has_op(program("SELECT id FROM nx WHERE a = ?"), OpKind::IdxProbe));

  const char* cols[] = {"a", "n", "s"};
  for (int i = 0; i < 400; ++i) {
    const char* c = cols[rng_() % 3];
    switch (rng_() % 5) {
      case 0: same(std::string("SELECT id FROM {T} WHERE ") + c + " " + op() + " ?", {pick()}); break;
      case 1: same(std::string("SELECT id FROM {T} WHERE ? ") + op() + " " + c, {pick()}); break;
      case 2:
        same(std::string("SELECT id FROM {T} WHERE ") + c + " " + op() + " ? AND " + c + " " + op() + " ?",
             {pick(), pick()});
        break;
      case 3: same(std::string("SELECT id FROM {T} WHERE a = ? AND b ") + op() + " ?", {pick(), pick()}); break;
      case 4: same("SELECT id, a, b FROM {T} WHERE a = ? AND b = ?", {pick(), pick()}); break;
    }
  }
  // Literal keys take the same paths as bound ones.
  const char* literals[] = {"0", "-0.0", "1", "'1'", "' 1'", "'abc'", "''", "x'00'", "NULL", "1.5", "'nan'",
                            "9007199254740993", "9007199254740992.0", "CAST('nan' AS REAL)", "1e999"};
  for (const char* lit : literals) {
    for (const char* o : {"=", "<", "<=", ">", ">="}) {
      for (const char* c : cols) same(std::string("SELECT id FROM {T} WHERE ") + c + " " + o + " " + lit, {});
    }
  }
  EXPECT_GT(checked_, 600);
}

TEST_F(PropertyTest, RowidComparisons) {
  // `id + 0` is no column reference, so it is scanned.
  for (int i = 0; i < 200; ++i) {
    std::string o = op();
    Value k = pick();
    std::string a = sorted_rows("SELECT id FROM ix WHERE id " + o + " ?", {k});
    std::string b = sorted_rows("SELECT id FROM ix WHERE id + 0 " + o + " ?", {k});
    ASSERT_EQ(a, b) << "id " << o << " " << value_debug(k);
  }
  for (int i = 0; i < 100; ++i) {
    Value lo = pick(), hi = pick();
    std::string o1 = rng_() % 2 ? ">" : ">=", o2 = rng_() % 2 ? "<" : "<=";
    ASSERT_EQ(sorted_rows("SELECT id FROM ix WHERE id " + o1 + " ? AND id " + o2 + " ?", {lo, hi}),
              sorted_rows("SELECT id FROM ix WHERE id + 0 " + o1 + " ? AND id + 0 " + o2 + " ?", {lo, hi}))
        << value_debug(lo) << " " << value_debug(hi);
  }
  // A real above 2^53 compares equal to every integer that rounds to it, so
  // a row-id seek on it must start below them (`id >= 2^60` as a real finds
  // the row 2^60 - 1).
  ok("INSERT INTO ix (id) VALUES (9007199254740991), (9007199254740992), (1152921504606846975), "
     "(1152921504606846976), (1152921504606846977), (4611686018427387903), (9223372036854775806)");
  std::vector<double> reals = {std::nan(""), std::numeric_limits<double>::infinity()};
  for (int e : {53, 60, 62, 63}) {
    for (double k : {std::ldexp(1.0, e), std::nextafter(std::ldexp(1.0, e), 0.0),
                     std::nextafter(std::ldexp(1.0, e), reals[1])}) {
      reals.push_back(k);
      reals.push_back(-k);
    }
  }
  reals.push_back(-reals[1]);
  for (double k : reals) {
    char lit[64];
    std::snprintf(lit, sizeof lit, "%.1f", k);
    for (const std::string o : {"=", "<", "<=", ">", ">="}) {
      const std::string want = sorted_rows("SELECT id FROM ix WHERE id + 0 " + o + " ?", {Value::real(k)});
      ASSERT_EQ(sorted_rows("SELECT id FROM ix WHERE id " + o + " ?", {Value::real(k)}), want) << o << " " << lit;
      if (std::isfinite(k)) {
        ASSERT_EQ(sorted_rows("SELECT id FROM ix WHERE id " + o + " " + lit), want) << o << " " << lit;
      }
    }
  }
  // Joins probing by row id: a row SeekRowid finds enters the body past
  // the ON test, which must change nothing against the same test written
  // as `(test) = 1`, which no access path uses (and which keeps the column
  // affinities of the comparison, unlike `id + 0`).
  ok("INSERT INTO p (v) VALUES (3), (6.0), ('9'), (12), (-7), (9223372036854775807), (2.5), (X'33')");
  const char* joins[] = {
      "SELECT p.id, x.id FROM p JOIN ix AS x ON {x.id = p.v}",
      "SELECT p.id, x.id FROM p LEFT JOIN ix AS x ON {p.v = x.id}",
      "SELECT y.id, x.id FROM ix AS y LEFT JOIN ix AS x ON {x.id = y.n}",
      "SELECT y.id, x.id FROM ix AS y LEFT JOIN ix AS x ON {x.id >= y.n AND x.id < y.n + 7}",
      "SELECT y.id, x.id FROM ix AS y LEFT JOIN ix AS x ON {x.id <= y.a}",
      "SELECT y.id, x.id FROM ix AS y JOIN ix AS x ON {x.id = y.n}",
      "SELECT y.id, x.a FROM ix AS y JOIN ix AS x ON {x.id = y.id}",
      "SELECT p.id, x.id FROM p JOIN ix AS x ON {x.id = ?}",
  };
  for (const char* j : joins) {
    for (int i = 0; i < 8; ++i) {
      Value k = i == 0 ? Value::integer(6) : pick();
      std::string seek = j, scan = j;
      seek.erase(seek.find('{'), 1);
      seek.erase(seek.find('}'), 1);
      scan.replace(scan.find('{'), 1, "(");
      scan.replace(scan.find('}'), 1, ") = 1");
      ASSERT_EQ(sorted_rows(seek, {k}), sorted_rows(scan, {k})) << seek << " with " << value_debug(k);
    }
  }
  EXPECT_EQ(rows("SELECT id FROM ix WHERE id = 9223372036854775807"), "9223372036854775807");
  EXPECT_EQ(rows("SELECT id FROM ix WHERE id >= 9223372036854775807"), "9223372036854775807");
  EXPECT_EQ(rows("SELECT id FROM ix WHERE id > 9223372036854775806 AND id <= 9223372036854775807"),
            "9223372036854775807");
}

TEST_F(PropertyTest, JoinsAndIndexOnlyCounts) {
  EXPECT_TRUE(has_op(program("SELECT count(*) FROM p JOIN ix AS x ON x.a = p.v"), OpKind::CursorSetRowid));
  const char* queries[] = {
      "SELECT p.id, x.id FROM p JOIN {T} AS x ON x.a = p.v",
      "SELECT p.id, x.id FROM p JOIN {T} AS x ON p.v = x.n",
      "SELECT p.id, x.id FROM p JOIN {T} AS x ON x.s = p.v",
      "SELECT p.id, x.id FROM p, {T} AS x WHERE x.a = p.v",
      "SELECT p.id, x.id FROM p LEFT JOIN {T} AS x ON x.a = p.v",
      "SELECT p.id, x.id FROM p JOIN {T} AS x ON x.a > p.v AND x.a <= p.v + 1",
      "SELECT count(*) FROM p JOIN {T} AS x ON x.a = p.v",
      "SELECT count(*) FROM p JOIN {T} AS x ON x.n = p.v",
      "SELECT p.id, count(x.id) FROM p LEFT JOIN {T} AS x ON x.a = p.v GROUP BY p.id",
      "SELECT p.id, count(*) FROM p LEFT JOIN {T} AS x ON x.s = p.v GROUP BY p.id",
      "SELECT count(*) FROM p LEFT JOIN {T} AS x ON x.a = p.v WHERE x.id IS NULL",
      "SELECT p.id FROM p LEFT JOIN {T} AS x ON x.a = p.v WHERE x.rowid IS NULL",
      "SELECT p.id, y.id FROM p JOIN {T} AS x ON x.a = p.v JOIN {T} AS y ON y.a = x.b",
      "SELECT p.id, x.id, y.id FROM p LEFT JOIN {T} AS x ON x.a = p.v LEFT JOIN {T} AS y ON y.s = x.b",
      "SELECT p.id, x.id, y.id FROM p LEFT JOIN {T} AS x ON x.n = p.v JOIN {T} AS y ON y.a = x.a",
      "SELECT p.id, x.id FROM p JOIN {T} AS x ON x.a = p.v AND x.b = p.v",
      "SELECT p.id, x.id FROM p LEFT JOIN {T} AS x ON x.a = p.v AND x.b >= p.v",
      "SELECT p.id, count(*) FROM p LEFT JOIN {T} AS x ON x.a = p.v AND x.b < p.v GROUP BY p.id",
      "SELECT y.id, x.id FROM {T} AS y LEFT JOIN {T} AS x ON x.a = y.n",
      "SELECT y.id, x.id FROM {T} AS y LEFT JOIN {T} AS x ON x.n = y.b AND x.a > y.a",
      // Correlated subqueries probe with the caller's values as parameters.
      "SELECT p.id, (SELECT count(*) FROM {T} AS x WHERE x.a = p.v) FROM p",
      "SELECT p.id, (SELECT max(x.id) FROM {T} AS x WHERE x.a = p.v AND x.b <= p.v) FROM p",
  };
  for (const char* q : queries) same(q, {});
  for (int i = 0; i < 60; ++i) {
    same(std::string("SELECT count(*) FROM p JOIN {T} AS x ON x.a = p.v WHERE p.v ") + op() + " ?", {pick()});
  }
  // WHERE terms must see a LEFT JOIN's null row, so they never choose the
  // inner table's access path: with no ON term to probe by, it is scanned in
  // row-id order, and rows that tie on ORDER BY come out as a plain scan's.
  const char* inner[] = {"x.a", "x.n", "x.s", "x.id", "x.b"};
  for (int i = 0; i < 120; ++i) {
    std::string where = std::string(inner[rng_() % 5]) + " " + op() + " ?";
    if (rng_() % 3 == 0) where += std::string(" AND ") + inner[rng_() % 5] + " " + op() + " p.v";
    if (rng_() % 4 == 0) where = "(" + where + ") OR x.id IS NULL";
    same("SELECT p.id, x.id FROM p LEFT JOIN {T} AS x ON x.b = p.v WHERE " + where + " ORDER BY p.id" +
             (rng_() % 2 ? "" : " DESC"),
         {pick()}, true);
  }
  // Without ORDER BY, as multisets: LEFT levels that probe by ON (an index
  // equality or range, a row-id seek) or scan, under WHERE shapes that the
  // null row may pass (IS NULL tests, terms OR-ed with one, coalesce over
  // inner columns). A WHERE term choosing the inner path shows only in the
  // order above: the terms a path is chosen by compare an inner column, so
  // they reject the null row along with every row the path would skip.
  const char* ons[] = {"x.b = p.v", "x.a = p.v", "x.n >= p.v", "x.s = p.v AND x.a < p.id", "x.id = p.id * 3"};
  auto term = [&]() -> std::string {
    const std::string c = inner[rng_() % 5];
    switch (rng_() % 6) {
      case 0:
      case 1: return c + " " + op() + " ?";
      case 2: return c + " " + op() + " p.v";
      case 3: return c + " IS NULL";
      case 4: return "coalesce(" + c + ", ?) " + op() + " ?";
      default: return "(" + c + " " + op() + " ? OR " + inner[rng_() % 5] + " IS NULL)";
    }
  };
  for (int i = 0; i < 120; ++i) {
    std::string where = term();
    for (int more = static_cast<int>(rng_() % 3); more > 0; --more) where += " AND " + term();
    if (rng_() % 4 == 0) where = "(" + where + ") OR x.id IS NULL";
    std::vector<Value> binds;
    for (char ch : where) {
      if (ch == '?') binds.push_back(pick());
    }
    same(std::string("SELECT p.id, x.id, x.a FROM p LEFT JOIN {T} AS x ON ") + ons[rng_() % 5] + " WHERE " + where,
         binds);
  }
}

TEST_F(PropertyTest, InTestsAnswerAsTheirComparisons) {
  // Tested at once, with a correlated operand compiled (and run) once.
  const std::string x = "(SELECT q.v FROM p AS q WHERE q.id = o.id)";
  vm::Program in = program("SELECT id FROM p AS o WHERE " + x + " = 1 OR " + x + " = 2 OR " + x + " = ?");
  EXPECT_TRUE(has_op(in, OpKind::InSet));
  EXPECT_EQ(in.subprograms.size(), 1u);

  // Each IN against the chain of its comparisons written `v = x`, which
  // nothing recognises as an IN: items folded from a subquery, `?` values,
  // literals, and (inside a correlated subquery) parameters of the caller.
  const char* literals[] = {"0", "-0.0", "1", "'1'", "' 1'", "'abc'", "''", "x'00'", "NULL", "1.5", "'nan'",
                            "-1", "9007199254740993", "9007199254740992.0", "1e999", "-9223372036854775807"};
  for (int i = 0; i < 120; ++i) {
    std::vector<Value> items(1 + rng_() % 6);
    std::string ids, marks, chain, lits, lit_chain, sub_chain = "o.v = q.v";
    for (std::size_t j = 0; j < items.size(); ++j) {
      const std::size_t at = rng_() % pool_.size();
      const char* lit = literals[rng_() % std::size(literals)];
      items[j] = pool_[at];
      const std::string sep = j ? ", " : "";
      ids += sep + std::to_string(at + 1);
      marks += sep + "?";
      lits += sep + lit;
      chain += (j ? " OR " : "") + std::string("? = v");
      lit_chain += (j ? " OR " : "") + std::string(lit) + " = v";
      sub_chain += " OR ? = q.v";
    }
    const std::string no = rng_() % 2 ? "NOT " : "";
    const std::string want = sorted_rows("SELECT id FROM p WHERE " + no + "(" + chain + ")", items);
    ASSERT_EQ(sorted_rows("SELECT id FROM p WHERE v " + no + "IN (SELECT v FROM p WHERE id IN (" + ids + "))"), want)
        << ids;
    ASSERT_EQ(sorted_rows("SELECT id FROM p WHERE v " + no + "IN (" + marks + ")", items), want) << ids;
    ASSERT_EQ(sorted_rows("SELECT id FROM p WHERE v " + no + "IN (" + lits + ")"),
              sorted_rows("SELECT id FROM p WHERE " + no + "(" + lit_chain + ")"))
        << lits;
    ASSERT_EQ(sorted_rows("SELECT id, (SELECT count(*) FROM p AS q WHERE q.v " + no + "IN (o.v, " + marks +
                              ")) FROM p AS o",
                          items),
              sorted_rows("SELECT id, (SELECT count(*) FROM p AS q WHERE " + no + "(" + sub_chain + ")) FROM p AS o",
                          items))
        << ids;
  }
}

}  // namespace
}  // namespace bkf::testing
