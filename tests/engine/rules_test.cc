// The engine's pure rules where the end-to-end scripts cannot reach every
// case (the affinity of defaults is the schema script's): integer key
// types, the keys of files made before every PRIMARY KEY column was NOT
// NULL (the schema script covers keys made now), row counts of UNION
// limits, the shape of IN comparison trees, and row de-duplication against
// the record encoding as the model.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/engine_testing.h"
#include "support/temp_dir.h"
#include "support/values.h"
#include "exec/engine/engine.h"
#include "exec/engine/fold_rewrites.h"
#include "exec/engine/row_set.h"
#include "exec/engine/schema_rules.h"
#include "exec/engine/select_rules.h"
#include "record/record.h"

namespace bkf::testing {
namespace {

TEST(SchemaRules, IntegerTypes) {
  for (const char* t : {"INT", "int", "Int2", "INT4", "int8", "BIGINT", "INTEGER", "tinyint", "SMALLINT",
                        "MediumInt"}) {
    EXPECT_TRUE(engine::is_integer_type(t)) << t;
  }
  for (const char* t : {"", "INTEGERS", " INT", "INT ", "UNSIGNED", "INT UNSIGNED", "NUMBER", "TEXT", "POINT"}) {
    EXPECT_FALSE(engine::is_integer_type(t)) << t;
  }
}

// A file made before every PRIMARY KEY column was NOT NULL, written as the
// engine wrote it then. A one-column key was NOT NULL and UNIQUE already,
// its index named after the column even when the key had a name. A key
// over several columns was a UNIQUE index whose columns carry no NOT NULL
// flag: all that a UNIQUE key over those columns stores too. So the rows
// keep their NULLs, and that key goes on taking them, while each key
// refuses duplicates under the name its file stores.
TEST(SchemaRules, FileMadeBeforeKeyColumnsWereNotNull) {
  TempDir dir;
  const std::string path = dir.file("old.db");
  {
    auto opened = engine::Engine::open(nullptr, path);
    ASSERT_TRUE(opened.ok()) << opened.error().to_string();
    engine::Session& session = (*opened)->session();
    Status made = session.autocommit([&]() -> Status {
      Catalog& catalog = session.catalog();
      Pager& pager = session.pager();
      auto column = [](const char* name, const char* type, bool key) {
        Column c;
        c.name = name;
        c.decl_type = type;
        c.not_null = c.unique = key;
        return c;
      };
      // CREATE TABLE pair (a INT, b TEXT, v INT, PRIMARY KEY (a, b))
      BKF_TRY(catalog.create_table(pager, "pair", {column("a", "INT", false), column("b", "TEXT", false),
                                                   column("v", "INT", false)}, std::nullopt));
      BKF_TRY(catalog.create_index(pager, "pair__pair__idx0", "pair", {"a", "b"}, true));
      // CREATE TABLE one (code TEXT, CONSTRAINT pk PRIMARY KEY (code))
      BKF_TRY(catalog.create_table(pager, "one", {column("code", "TEXT", true)}, std::nullopt));
      BKF_TRY(catalog.create_index(pager, "one__code__unique", "one", {"code"}, true));
      return {};
    });
    ASSERT_TRUE(made.ok()) << made.error().to_string();
    ASSERT_TRUE((*opened)->execute("INSERT INTO pair VALUES (NULL, NULL, 1), (1, NULL, 2), (1, 'x', 3)").ok());
  }
  Database db = open_db(path);
  EXPECT_EQ(run_sql(db, "SELECT a, b, v FROM pair"), "[a, b, v] (NULL, NULL, 1) (1, NULL, 2) (1, 'x', 3)");
  EXPECT_EQ(run_sql(db, "INSERT INTO pair VALUES (2, NULL, 4)"), "affected 1");
  EXPECT_EQ(run_sql(db, "INSERT INTO pair VALUES (1, 'x', 5)"),
            "!constraint violation: UNIQUE constraint failed: pair__pair__idx0");
  EXPECT_EQ(run_sql(db, "INSERT INTO one VALUES ('k'), ('k')"),
            "!constraint violation: UNIQUE constraint failed: one__code__unique");
  EXPECT_EQ(run_sql(db, "INSERT INTO one VALUES (NULL)"), "!constraint violation: NOT NULL constraint failed: code");
  EXPECT_EQ(run_sql(db, "PRAGMA integrity_check"), "[integrity_check] ('ok')");
}

TEST(SelectRules, RowCounts) {
  const std::pair<Value, std::int64_t> cases[] = {
      {I(-3), -3}, {R(2.9), 2}, {R(-2.9), -2}, {R(1e300), kMax}, {R(kNaN), 0}, {T(" 12 "), 12}, {T("12x"), 0},
      {T("1.5"), 0}, {N(), 0}, {B("7"), 0},
  };
  for (const auto& [v, want] : cases) EXPECT_EQ(engine::val_to_i64(v), want) << value_debug(v);
}

// Depth of an expression tree along Binary nodes, and its comparisons'
// right-hand integers from left to right.
void shape(const Expr& e, int depth, int& max_depth, std::vector<std::int64_t>& items) {
  max_depth = std::max(max_depth, depth);
  const auto& b = e.as<Expr::Binary>();
  if (b.op == BinaryOp::Eq || b.op == BinaryOp::Ne) {
    items.push_back(b.right->as<Expr::Integer>().value);
    return;
  }
  shape(*b.left, depth + 1, max_depth, items);
  shape(*b.right, depth + 1, max_depth, items);
}

TEST(Folding, InComparisonsFormABalancedTreeInItemOrder) {
  for (std::size_t n : {1u, 2u, 3u, 5u, 8u, 1000u, 200000u}) {
    std::vector<ExprPtr> items;
    for (std::size_t i = 0; i < n; ++i) items.push_back(make_expr(Expr::Integer{static_cast<std::int64_t>(i)}));
    ExprPtr chain = engine::in_comparisons(make_expr(Expr::Column{std::nullopt, "x"}), std::move(items), n % 2 == 0);
    int depth = 0;
    std::vector<std::int64_t> got;
    shape(*chain, 0, depth, got);
    ASSERT_EQ(got.size(), n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(got[i], static_cast<std::int64_t>(i));
    EXPECT_LE(depth, static_cast<int>(std::ceil(std::log2(static_cast<double>(n)))));
  }
  EXPECT_EQ(engine::in_comparisons(make_expr(Expr::Null{}), {}, false)->as<Expr::Integer>().value, 0);
  EXPECT_EQ(engine::in_comparisons(make_expr(Expr::Null{}), {}, true)->as<Expr::Integer>().value, 1);
}

// Row de-duplication against the definition: equal record bytes.
TEST(RowSet, MatchesRecordBytes) {
  const std::vector<Value> pool = {Value::null(),      Value::integer(1),   Value::real(1.0),  Value::real(0.0),
                                   Value::real(-0.0),  Value::integer(0),   Value::text("1"),  Value::blob("1"),
                                   Value::text(""),    Value::blob(""),     Value::real(NAN),  Value::integer(-1),
                                   Value::integer(std::numeric_limits<std::int64_t>::max())};
  std::mt19937_64 rng(7);
  for (int round = 0; round < 300; ++round) {
    const std::size_t width = 1 + rng() % 3;
    const std::size_t n = rng() % 200;
    std::vector<Row> rows;
    for (std::size_t i = 0; i < n; ++i) {
      Row r;
      for (std::size_t j = 0; j < width; ++j) r.push_back(pool[rng() % (round % 2 ? 4 : pool.size())]);
      rows.push_back(std::move(r));
    }
    std::vector<Row> want;
    std::set<std::string> seen;
    for (const Row& r : rows) {
      if (seen.insert(encode_record(r)).second) want.push_back(r);
    }
    std::vector<Row> got = rows;
    engine::dedup_rows(got);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(encode_record(got[i]), encode_record(want[i]));
  }
}

}  // namespace
}  // namespace bkf::testing
