// Stable sorting of rows.
//
// stable_merge_sort asks only for a three-way comparison and stays in bounds
// and terminates whatever the comparison answers; when the comparison is
// consistent the result is sorted, and items that compare Equal keep their
// input order (stable). So it may be handed even cmp_value, which is no
// strict weak order (a NaN equals every number; integers beyond 2^53 equal
// reals that integers next to them differ from).
//
// Rows sort by cmp_sort_value (record/compare.h), a total order: NaNs after
// every number, integers and reals by exact value. Every ORDER BY and UNION
// sort of the engine goes through sort_rows, sort_rows_first or
// select_first_rows, and the bounded selection of a run that keeps only the
// first rows compares with compare_rows: all of them one order.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "record/compare.h"
#include "record/value.h"

namespace bkf {

// Sorts items by cmp(a, b) -> Ordering, stably. scratch is working storage
// (its contents are replaced; reuse it across calls to avoid allocation).
// T must be default-constructible and movable.
template <class T, class Cmp>
void stable_merge_sort(std::vector<T>& items, Cmp&& cmp, std::vector<T>& scratch) {
  const std::size_t n = items.size();
  if (n < 2) return;
  // Short runs by insertion sort: moves an item left only past items that
  // compare Greater, so Equal items keep their order.
  constexpr std::size_t kRun = 24;
  for (std::size_t lo = 0; lo < n; lo += kRun) {
    std::size_t hi = lo + kRun < n ? lo + kRun : n;
    for (std::size_t i = lo + 1; i < hi; ++i) {
      if (cmp(items[i - 1], items[i]) != Ordering::Greater) continue;
      T x = std::move(items[i]);
      std::size_t j = i;
      do {
        items[j] = std::move(items[j - 1]);
        --j;
      } while (j > lo && cmp(items[j - 1], x) == Ordering::Greater);
      items[j] = std::move(x);
    }
  }
  if (n <= kRun) return;
  scratch.resize(n);
  std::vector<T>* src = &items;
  std::vector<T>* dst = &scratch;
  for (std::size_t width = kRun; width < n; width *= 2) {
    for (std::size_t lo = 0; lo < n; lo += 2 * width) {
      std::size_t mid = lo + width < n ? lo + width : n;
      std::size_t hi = lo + 2 * width < n ? lo + 2 * width : n;
      std::size_t a = lo, b = mid, k = lo;
      // Take from the right run only when it is strictly smaller: stable.
      while (a < mid && b < hi) {
        if (cmp((*src)[b], (*src)[a]) == Ordering::Less) (*dst)[k++] = std::move((*src)[b++]);
        else (*dst)[k++] = std::move((*src)[a++]);
      }
      while (a < mid) (*dst)[k++] = std::move((*src)[a++]);
      while (b < hi) (*dst)[k++] = std::move((*src)[b++]);
    }
    std::swap(src, dst);
  }
  if (src != &items) {
    for (std::size_t i = 0; i < n; ++i) items[i] = std::move((*src)[i]);
  }
}

template <class T, class Cmp>
void stable_merge_sort(std::vector<T>& items, Cmp&& cmp) {
  std::vector<T> scratch;
  stable_merge_sort(items, std::forward<Cmp>(cmp), scratch);
}

// One term of a row ordering: the column compared and its direction.
struct SortKey {
  std::size_t column;
  bool descending = false;
};

using Row = std::vector<Value>;

// Compares two rows term by term with cmp_sort_value (reversed for
// descending terms); the first term that differs decides. A column a row
// lacks counts as Null. A strict weak order of rows, whose ties are the rows
// equal on every term.
Ordering compare_rows(std::span<const Value> a, std::span<const Value> b, std::span<const SortKey> keys) noexcept;

// Stable sort of rows by keys (ORDER BY; UNION sorts by every column).
void sort_rows(std::vector<Row>& rows, std::span<const SortKey> keys);

// The first k rows of sort_rows' order, in that order, without sorting the
// others: rows becomes exactly what sort_rows followed by cutting to k rows
// gives, in O(n log k) comparisons.
void sort_rows_first(std::vector<Row>& rows, std::span<const SortKey> keys, std::size_t k);

// The same selection, keeping every row: the first k (in sort_rows' order)
// move to the front and the others follow in no particular order. spare is
// working storage, reused from call to call.
void select_first_rows(std::vector<Row>& rows, std::span<const SortKey> keys, std::size_t k,
                       std::vector<Row>& spare);

}  // namespace bkf
