#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "record/sort.h"

namespace bkf {
namespace {

// Items carry their input position so stability can be checked.
struct Item {
  Value v;
  std::size_t pos = 0;
};

// Values with NaNs and integers and reals around 2^53 (where cmp_value is
// no strict weak order): the sort keeps every item exactly once. Without
// those the order is consistent, and the sort must be exact and stable.
TEST(MergeSortTest, NaNsAndMixedNumbersNear2To53) {
#ifdef BKF_SANITIZED
  const std::size_t n = 20000;
#else
  const std::size_t n = 100000;
#endif
  std::mt19937_64 rng(7);
  const std::int64_t base = 1ll << 53;
  std::vector<Item> items(n), clean;
  for (std::size_t i = 0; i < n; ++i) {
    switch (rng() % 6) {
      case 0: items[i].v = Value::real(std::nan("")); break;
      case 1: items[i].v = Value::integer(base + static_cast<std::int64_t>(rng() % 9) - 4); break;
      case 2: items[i].v = Value::real(static_cast<double>(base) + static_cast<double>(rng() % 5) * 2 - 4); break;
      case 3: items[i].v = Value::integer(static_cast<std::int64_t>(rng() % 100)); break;
      case 4: items[i].v = Value::text(std::string(1, static_cast<char>('a' + rng() % 3))); break;
      default: break;
    }
    items[i].pos = i;
    const Value& v = items[i].v;
    if (!(v.is_real() && std::isnan(v.real_value())) && !(v.is_int() && v.int_value() > base)) clean.push_back(items[i]);
  }
  auto by_value = [](const Item& a, const Item& b) { return cmp_value(a.v, b.v); };
  std::vector<Item> sorted = items;
  stable_merge_sort(sorted, by_value);
  ASSERT_EQ(sorted.size(), n);
  std::vector<bool> seen(n);
  for (const Item& it : sorted) {
    ASSERT_LT(it.pos, n);
    EXPECT_FALSE(seen[it.pos]);
    seen[it.pos] = true;
    EXPECT_TRUE(it.v.identical(items[it.pos].v));
  }
  stable_merge_sort(clean, by_value);
  for (std::size_t i = 1; i < clean.size(); ++i) {
    const Ordering o = cmp_value(clean[i - 1].v, clean[i].v);
    ASSERT_NE(o, Ordering::Greater) << i;
    if (o == Ordering::Equal) {
      EXPECT_LT(clean[i - 1].pos, clean[i].pos) << "not stable at " << i;
    }
  }
}

// A comparator that answers at random still leaves a permutation.
TEST(MergeSortTest, AdversarialComparatorsStayInBounds) {
  std::mt19937_64 rng(3);
  for (std::size_t n : {0u, 1u, 2u, 23u, 24u, 25u, 100u, 1000u}) {
    std::vector<int> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<int>(i);
    stable_merge_sort(v, [&](int, int) { return static_cast<Ordering>(static_cast<int>(rng() % 3) - 1); });
    std::sort(v.begin(), v.end());
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(v[i], static_cast<int>(i));
  }
}

TEST(SortRowsTest, KeysDirectionsAndStability) {
  auto row = [](Value a, const char* b, std::int64_t tag) { return Row{std::move(a), Value::text(b), Value::integer(tag)}; };
  // Real 1.0 and Int 1 are equal keys: input order stays.
  std::vector<Row> rows = {row(Value::integer(2), "x", 0), row(Value::integer(1), "y", 1), row(Value::real(2.0), "a", 2),
                           row(Value::real(1.0), "y", 3), row(Value::integer(3), "b", 4), row(Value::null(), "c", 5)};
  const SortKey keys[] = {{0, false}, {1, true}};
  sort_rows(rows, keys);
  std::vector<std::int64_t> tags;
  for (const Row& r : rows) tags.push_back(r[2].int_value());
  EXPECT_EQ(tags, (std::vector<std::int64_t>{5, 1, 3, 0, 2, 4}));
}

}  // namespace
}  // namespace bkf
