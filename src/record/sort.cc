#include "record/sort.h"

namespace bkf {

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

}  // namespace bkf
