#include "record/sort.h"

#include <algorithm>
#include <cstdint>

namespace bkf {

Ordering compare_rows(std::span<const Value> a, std::span<const Value> b, std::span<const SortKey> keys) noexcept {
  static const Value kNull;
  for (const SortKey& k : keys) {
    const Value& x = k.column < a.size() ? a[k.column] : kNull;
    const Value& y = k.column < b.size() ? b[k.column] : kNull;
    Ordering o = cmp_sort_value(x, y);
    if (o == Ordering::Equal) continue;
    if (k.descending) o = o == Ordering::Less ? Ordering::Greater : Ordering::Less;
    return o;
  }
  return Ordering::Equal;
}

void sort_rows(std::vector<Row>& rows, std::span<const SortKey> keys) {
  stable_merge_sort(rows, [keys](const Row& a, const Row& b) { return compare_rows(a, b, keys); });
}

void select_first_rows(std::vector<Row>& rows, std::span<const SortKey> keys, std::size_t k,
                       std::vector<Row>& spare) {
  const std::size_t n = rows.size();
  if (k >= n) {
    sort_rows(rows, keys);
    return;
  }
  // Row positions ordered by the keys and then by position, which is the
  // stable sort's order. compare_rows is a strict weak order, so this is a
  // strict total order and the standard heap and sort algorithms may use it.
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
}

void sort_rows_first(std::vector<Row>& rows, std::span<const SortKey> keys, std::size_t k) {
  std::vector<Row> spare;
  select_first_rows(rows, keys, k, spare);
  if (rows.size() > k) rows.resize(k);
}

}  // namespace bkf
