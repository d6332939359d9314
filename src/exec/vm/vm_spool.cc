// The spool: rows of registers a statement keeps in its first pass and
// replays, in row-id order, in its second.
#include <algorithm>
#include <limits>

#include "exec/vm/vm.h"

namespace bkf::vm {

void Vm::spool_order_rows() {
  const std::size_t n = spool_starts_.size();
  spool_order_.resize(n);
  for (std::size_t i = 0; i < n; ++i) spool_order_[i] = i;
  // The row id a spooled row starts with; anything else sorts first.
  auto id_of = [&](std::size_t row) {
    const std::size_t at = spool_starts_[row];
    const bool has = at < (row + 1 < n ? spool_starts_[row + 1] : spool_values_.size());
    return has && spool_values_[at].is_int() ? spool_values_[at].int_value() : std::numeric_limits<std::int64_t>::min();
  };
  auto by_id = [&](std::size_t x, std::size_t y) { return id_of(x) < id_of(y); };
  // A row-id scan spools in order already; an index walk does not.
  if (!std::is_sorted(spool_order_.begin(), spool_order_.end(), by_id)) {
    std::stable_sort(spool_order_.begin(), spool_order_.end(), by_id);
  }
  auto same_id = [&](std::size_t x, std::size_t y) { return id_of(x) == id_of(y); };
  spool_order_.erase(std::unique(spool_order_.begin(), spool_order_.end(), same_id), spool_order_.end());
}

void Vm::spool_load(std::uint32_t dest, std::uint32_t count) {
  const std::size_t row = spool_order_[spool_pos_];
  std::size_t begin = spool_starts_[row];
  std::size_t end = row + 1 < spool_starts_.size() ? spool_starts_[row + 1] : spool_values_.size();
  for (std::uint32_t i = 0; i < count; ++i) {
    if (begin + i < end) regs_[dest + i].assign(spool_values_[begin + i]);
    else regs_[dest + i].set_null();
  }
}

}  // namespace bkf::vm
