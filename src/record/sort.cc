#include "record/sort.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace bkf {

namespace {

// Whether v orders consistently against every other orderly value: not a
// NaN (equal to every number), not an integer that the conversion to a
// double, used against reals, would merge with its neighbours.
bool orderly(const Value& v) noexcept {
  constexpr std::int64_t kExact = std::int64_t{1} << 53;
  if (v.is_real()) return !std::isnan(v.real_value());
  if (v.is_int()) return v.int_value() >= -kExact && v.int_value() <= kExact;
  return true;
}

}  // namespace

Ordering compare_rows(std::span<const Value> a, std::span<const Value> b, std::span<const SortKey> keys) noexcept {
  static const Value kNull;
  for (const SortKey& k : keys) {
    const Value& x = k.column < a.size() ? a[k.column] : kNull;
    const Value& y = k.column < b.size() ? b[k.column] : kNull;
    Ordering o = cmp_value(x, y);
    if (o == Ordering::Equal) continue;
    if (k.descending) o = o == Ordering::Less ? Ordering::Greater : Ordering::Less;
    return o;
  }
  return Ordering::Equal;
}

void sort_rows(std::vector<Row>& rows, std::span<const SortKey> keys) {
  stable_merge_sort(rows, [keys](const Row& a, const Row& b) { return compare_rows(a, b, keys); });
}

bool orderly_keys(std::span<const Value> row, std::span<const SortKey> keys) noexcept {
  for (const SortKey& key : keys) {
    if (key.column < row.size() && !orderly(row[key.column])) return false;
  }
  return true;
}

bool select_first_rows(std::vector<Row>& rows, std::span<const SortKey> keys, std::size_t k,
                       std::vector<Row>& spare) {
  const std::size_t n = rows.size();
  for (const Row& r : rows) {
    if (!orderly_keys(r, keys)) return false;
  }
  if (k >= n) {
    sort_rows(rows, keys);
    return true;
  }
  // Row positions ordered by the keys and then by position, which is the
  // stable sort's order. Over orderly values compare_rows is a strict weak
  // order, so this is a strict total order and the standard heap and sort
  // algorithms may use it.
  auto before = [&](std::uint32_t a, std::uint32_t b) {
    const Ordering o = compare_rows(rows[a], rows[b], keys);
    return o == Ordering::Less || (o == Ordering::Equal && a < b);
  };
  // A max-heap of the k first positions seen so far: its top is the one a
  // better row pushes out.
  std::vector<std::uint32_t> heap;
  heap.reserve(k);
  for (std::size_t i = 0; i < n; ++i) {
    const auto pos = static_cast<std::uint32_t>(i);
    if (heap.size() < k) {
      heap.push_back(pos);
      std::push_heap(heap.begin(), heap.end(), before);
    } else if (k > 0 && before(pos, heap.front())) {
      std::pop_heap(heap.begin(), heap.end(), before);
      heap.back() = pos;
      std::push_heap(heap.begin(), heap.end(), before);
    }
  }
  std::sort(heap.begin(), heap.end(), before);
  // Rows are moved, never copied: the first k in order, then the others.
  std::vector<std::uint8_t> taken(n, 0);
  spare.resize(n);
  std::size_t out = 0;
  for (std::uint32_t pos : heap) {
    taken[pos] = 1;
    spare[out++] = std::move(rows[pos]);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!taken[i]) spare[out++] = std::move(rows[i]);
  }
  rows.swap(spare);
  return true;
}

bool sort_rows_first(std::vector<Row>& rows, std::span<const SortKey> keys, std::size_t k) {
  std::vector<Row> spare;
  if (!select_first_rows(rows, keys, k, spare)) return false;
  if (rows.size() > k) rows.resize(k);
  return true;
}

}  // namespace bkf
