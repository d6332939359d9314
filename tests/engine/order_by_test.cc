// ORDER BY against a model sort written here, through SQL: keys that mix
// every kind of value, NaNs of both signs, both zeros and integers beyond
// 2^53 beside the reals nearest them among them; one key or two, ascending
// and descending; the whole result, or cut by LIMIT and OFFSET (where the
// machine keeps only the rows that can make the cut while it runs); in a
// UNION ALL; and in a scalar subquery.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/engine_testing.h"

namespace bkf::testing {
namespace {

using Row = std::vector<Value>;

// long double holds every 64-bit integer and every double exactly here, so
// two numbers compared as long doubles compare by their exact values.
static_assert(std::numeric_limits<long double>::digits >= 64, "the model needs a 64-bit mantissa");

// The order ORDER BY must give, as negative, zero or positive: Null, then
// numbers by exact value (-0.0 equal to 0.0), every NaN after every number
// and all NaNs equal, then texts, then blobs, both by unsigned bytes.
int model_order(const Value& a, const Value& b) {
  auto rank = [](const Value& v) {
    return v.is_null() ? 0 : v.is_number() ? 1 : v.is_text() ? 2 : 3;
  };
  if (rank(a) != rank(b)) return rank(a) < rank(b) ? -1 : 1;
  if (a.is_null()) return 0;
  if (a.is_number()) {
    const bool na = a.is_real() && std::isnan(a.real_value());
    const bool nb = b.is_real() && std::isnan(b.real_value());
    if (na || nb) return na == nb ? 0 : na ? 1 : -1;
    auto exact = [](const Value& v) {
      return v.is_int() ? static_cast<long double>(v.int_value()) : static_cast<long double>(v.real_value());
    };
    return exact(a) < exact(b) ? -1 : exact(a) > exact(b) ? 1 : 0;
  }
  const std::string_view x = a.bytes(), y = b.bytes();
  for (std::size_t i = 0; i < x.size() && i < y.size(); ++i) {
    const auto p = static_cast<unsigned char>(x[i]), q = static_cast<unsigned char>(y[i]);
    if (p != q) return p < q ? -1 : 1;
  }
  return x.size() < y.size() ? -1 : x.size() > y.size() ? 1 : 0;
}

// Values dense where the order is easy to get wrong.
std::vector<Value> hard_values() {
  constexpr std::int64_t p53 = std::int64_t{1} << 53;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const double d53 = static_cast<double>(p53), d63 = 9223372036854775808.0;
  return {
      Value::null(),
      Value::real(nan), Value::real(-nan), Value::real(0.0), Value::real(-0.0), Value::integer(0),
      Value::real(inf), Value::real(-inf), Value::real(1e300),
      Value::integer(1), Value::real(1.0), Value::real(1.5), Value::integer(-1), Value::real(-1.5),
      Value::integer(p53 - 1), Value::integer(p53), Value::integer(p53 + 1), Value::integer(p53 + 2),
      Value::real(d53 - 1), Value::real(d53), Value::real(d53 + 2),
      Value::integer(-p53 - 1), Value::integer(-p53), Value::real(-d53),
      Value::integer(kMax), Value::integer(kMax - 1), Value::real(d63), Value::real(std::nextafter(d63, 0.0)),
      Value::integer(kMin), Value::integer(kMin + 1), Value::real(-d63), Value::real(std::nextafter(-d63, -inf)),
      Value::text(""), Value::text("a"), Value::text("ab"), Value::text("5"), Value::text("\xc3\xa9"),
      Value::blob(""), Value::blob(std::string_view("\0", 1)), Value::blob("\xff"),
  };
}

struct Term {
  int column;  // 1: a, 2: b
  bool desc;
};

// The ids of `input` (rows id, a, b) sorted stably by the terms in the
// model's order, then cut.
std::vector<std::int64_t> model_ids(std::vector<Row> input, const std::vector<Term>& terms, std::size_t offset,
                                    std::size_t limit) {
  std::stable_sort(input.begin(), input.end(), [&](const Row& x, const Row& y) {
    for (const Term& t : terms) {
      const int c = model_order(x[t.column], y[t.column]);
      if (c != 0) return t.desc ? c > 0 : c < 0;
    }
    return false;
  });
  std::vector<std::int64_t> ids;
  for (std::size_t i = offset; i < input.size() && i - offset < limit; ++i) ids.push_back(input[i][0].int_value());
  return ids;
}

std::string order_clause(const std::vector<Term>& terms, bool by_position) {
  std::string s = " ORDER BY ";
  for (const Term& t : terms) {
    if (&t != &terms.front()) s += ", ";
    s += by_position ? std::to_string(t.column + 1) : t.column == 1 ? "a" : "b";
    if (t.desc) s += " DESC";
  }
  return s;
}

TEST(OrderByModelTest, MixedKindsNaNsZerosAndBigIntegersSortAsTheModel) {
  TempDir dir;
  Database db = open_db(dir.file("o.db"));
  ASSERT_EQ(run_sql(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, a, b)"), "ok");
  auto ins = db.prepare("INSERT INTO t (id, a, b) VALUES (?, ?, ?)");
  ASSERT_TRUE(ins.ok());
  const std::vector<Value> pool = hard_values();
  // Column b takes few values, so that ties on it leave the order to a, or
  // to the scan.
  const std::vector<Value> few = {Value::null(), Value::integer(1), Value::real(1.0), Value::real(-0.0),
                                  Value::real(std::numeric_limits<double>::quiet_NaN()), Value::text("x")};
  std::mt19937_64 rng(29);
  constexpr std::int64_t n = 1200;
  std::vector<Row> table;
  ASSERT_EQ(run_sql(db, "BEGIN"), "ok");
  for (std::int64_t id = 1; id <= n; ++id) {
    table.push_back({Value::integer(id), pool[rng() % pool.size()], few[rng() % few.size()]});
    ASSERT_TRUE(db.execute_prepared(*ins, table.back()).ok());
  }
  ASSERT_EQ(run_sql(db, "COMMIT"), "ok");
  // The UNION ALL below meets the rows from id 701 on first.
  std::vector<Row> union_input(table.begin() + 700, table.end());
  union_input.insert(union_input.end(), table.begin(), table.begin() + 700);

  int failures = 0;
  auto check = [&](const std::string& sql, const std::vector<std::int64_t>& want) {
    auto r = db.execute(sql);
    ASSERT_TRUE(r.ok()) << sql << ": " << r.error().to_string();
    std::vector<std::int64_t> got;
    for (const Row& row : r->back().rows) got.push_back(row.at(0).is_int() ? row[0].int_value() : 0);
    if (got == want) return;
    ++failures;
    std::size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    auto show = [&](const std::vector<std::int64_t>& ids) {
      if (i >= ids.size()) return std::string("no row");
      if (ids[i] < 1 || ids[i] > n) return "id " + std::to_string(ids[i]);
      const Row& row = table[static_cast<std::size_t>(ids[i] - 1)];
      return "id " + std::to_string(ids[i]) + " (a " + value_debug(row[1]) + ", b " + value_debug(row[2]) + ")";
    };
    ADD_FAILURE() << sql << "\nrows part at position " << i << ": got " << show(got) << ", want " << show(want);
  };
  for (int round = 0; round < 120 && failures < 5; ++round) {
    std::vector<Term> terms = {{1 + static_cast<int>(rng() % 2), rng() % 2 == 0}};
    if (rng() % 2) terms.push_back({3 - terms[0].column, rng() % 2 == 0});
    std::size_t offset = 0, limit = ~std::size_t{0};
    std::string cut;
    if (rng() % 4 != 0) {
      // Small cuts, where the machine drops rows as they come, and large
      // ones, reaching past the end.
      const bool small = rng() % 3 != 0;
      limit = small ? rng() % 40 : 1 + rng() % 700;
      offset = rng() % 2 ? 0 : small ? rng() % 60 : rng() % 1300;
      cut = " LIMIT " + std::to_string(limit) + " OFFSET " + std::to_string(offset);
    }
    check("SELECT id FROM t" + order_clause(terms, false) + cut, model_ids(table, terms, offset, limit));
    if (round % 4 == 0) {
      check("SELECT id, a, b FROM t WHERE id > 700 UNION ALL SELECT id, a, b FROM t WHERE id <= 700" +
                order_clause(terms, true) + cut,
            model_ids(union_input, terms, offset, limit));
    }
    if (round % 6 == 0) {
      // A scalar subquery's value is the first row of its own sort.
      const std::size_t at = rng() % n;
      check("SELECT (SELECT id FROM t" + order_clause(terms, false) + " LIMIT 1 OFFSET " + std::to_string(at) + ")",
            model_ids(table, terms, at, 1));
    }
  }
}

}  // namespace
}  // namespace bkf::testing
