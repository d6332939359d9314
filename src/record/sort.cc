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

Ordering compare_rows(const Row& a, const Row& b, std::span<const SortKey> keys) noexcept {
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

bool sort_rows_first(std::vector<Row>& rows, std::span<const SortKey> keys, std::size_t k) {
  const std::size_t n = rows.size();
  // Row positions ordered by the keys and then by position, which is the
  // stable sort's order. Over orderly values compare_rows is a strict weak
  // order, so this is a strict total order and the standard heap and sort
  // algorithms may use it.
  auto before = [&](std::uint32_t a, std::uint32_t b) {
    const Ordering o = compare_rows(rows[a], rows[b], keys);
    return o == Ordering::Less || (o == Ordering::Equal && a < b);
  };
  auto row_orderly = [&](const Row& r) {
    for (const SortKey& key : keys) {
      if (key.column < r.size() && !orderly(r[key.column])) return false;
    }
    return true;
  };
  // A max-heap of the k first positions seen so far: its top is the one a
  // better row pushes out.
  std::vector<std::uint32_t> heap;
  heap.reserve(std::min(k, n));
  for (std::size_t i = 0; i < n; ++i) {
    if (!row_orderly(rows[i])) return false;
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
  std::vector<Row> first;
  first.reserve(heap.size());
  for (std::uint32_t pos : heap) first.push_back(std::move(rows[pos]));
  rows.swap(first);
  return true;
}

}  // namespace bkf
