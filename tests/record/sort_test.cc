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

// 100,000 values with NaNs and integers and reals around 2^53: the sort must
// finish, keep every item exactly once, order every pair of neighbours that
// involves no NaN (and is consistent), and keep equal items in input order.
TEST(MergeSortTest, NaNsAndMixedNumbersNear2To53) {
#ifdef BKF_SANITIZED
  const std::size_t n = 20000;
#else
  const std::size_t n = 100000;
#endif
  std::mt19937_64 rng(7);
  const std::int64_t base = 1ll << 53;
  std::vector<Item> items(n);
  for (std::size_t i = 0; i < n; ++i) {
    Value v;
    switch (rng() % 6) {
      case 0: v = Value::real(std::nan("")); break;
      case 1: v = Value::integer(base + static_cast<std::int64_t>(rng() % 9) - 4); break;
      case 2: v = Value::real(static_cast<double>(base) + static_cast<double>(rng() % 5) * 2 - 4); break;
      case 3: v = Value::integer(static_cast<std::int64_t>(rng() % 100)); break;
      case 4: v = Value::text(std::string(1, static_cast<char>('a' + rng() % 3))); break;
      default: v = Value::null(); break;
    }
    items[i] = Item{std::move(v), i};
  }
  std::vector<Item> sorted = items;
  stable_merge_sort(sorted, [](const Item& a, const Item& b) { return cmp_value(a.v, b.v); });

  ASSERT_EQ(sorted.size(), n);
  std::vector<bool> seen(n);
  for (const Item& it : sorted) {
    ASSERT_LT(it.pos, n);
    EXPECT_FALSE(seen[it.pos]);
    seen[it.pos] = true;
    EXPECT_TRUE(it.v.identical(items[it.pos].v));
  }

  // Without NaNs and integers above 2^53 (which compare unequal to each
  // other but equal to the same real) the comparison is consistent, so the
  // sort must be exact there.
  std::vector<Item> clean;
  for (const Item& it : items) {
    if (it.v.is_real() && std::isnan(it.v.real_value())) continue;
    if (it.v.is_int() && it.v.int_value() > base) continue;
    clean.push_back(it);
  }
  stable_merge_sort(clean, [](const Item& a, const Item& b) { return cmp_value(a.v, b.v); });
  for (std::size_t i = 1; i < clean.size(); ++i) {
    Ordering o = cmp_value(clean[i - 1].v, clean[i].v);
    ASSERT_NE(o, Ordering::Greater) << i;
    if (o == Ordering::Equal) {
      EXPECT_LT(clean[i - 1].pos, clean[i].pos) << "not stable at " << i;
    }
  }
}

TEST(MergeSortTest, AdversarialComparatorsStayInBounds) {
  std::mt19937_64 rng(3);
  for (std::size_t n : {0u, 1u, 2u, 23u, 24u, 25u, 100u, 1000u}) {
    std::vector<int> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<int>(i);
    stable_merge_sort(v, [&](int, int) { return static_cast<Ordering>(static_cast<int>(rng() % 3) - 1); });
    std::vector<int> s = v;
    std::sort(s.begin(), s.end());
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(s[i], static_cast<int>(i));
  }
}

TEST(SortRowsTest, KeysDirectionsAndStability) {
  auto row = [](std::int64_t a, const char* b, std::int64_t tag) {
    return Row{Value::integer(a), Value::text(b), Value::integer(tag)};
  };
  std::vector<Row> rows = {row(2, "x", 0), row(1, "y", 1), row(2, "a", 2), row(1, "y", 3), row(3, "b", 4)};
  const SortKey keys[] = {{0, false}, {1, true}};
  sort_rows(rows, keys);
  std::vector<std::int64_t> tags;
  for (const Row& r : rows) tags.push_back(r[2].int_value());
  EXPECT_EQ(tags, (std::vector<std::int64_t>{1, 3, 0, 2, 4}));

  // Real 1.0 and Int 1 are equal keys: input order stays.
  std::vector<Row> mixed = {{Value::real(1.0), Value::integer(0)}, {Value::integer(1), Value::integer(1)},
                            {Value::null(), Value::integer(2)}};
  const SortKey first[] = {{0, false}};
  sort_rows(mixed, first);
  EXPECT_TRUE(mixed[0][0].is_null());
  EXPECT_EQ(mixed[1][1].int_value(), 0);
  EXPECT_EQ(mixed[2][1].int_value(), 1);
}

}  // namespace
}  // namespace bkf
