// Placeholder for the cursor instructions until the B-tree layer is merged;
// every one of them reports an internal error. Replaced by vm_table.cc and
// vm_index.cc.
#include "exec/vdbe/internal.h"
#include "exec/vdbe/vm.h"

namespace bkf::vdbe {

struct TableSlot {};
struct IndexSlot {};

void SlotDelete::operator()(TableSlot* t) const noexcept { delete t; }
void SlotDelete::operator()(IndexSlot* t) const noexcept { delete t; }

namespace {
Error pending() { return internal_error("cursor instructions are not available"); }
}  // namespace

Status Vm::open_table(std::uint32_t, std::uint32_t) { return pending(); }
Status Vm::null_row(std::uint32_t) { return pending(); }
Status Vm::rewind(std::uint32_t, bool&) { return pending(); }
Status Vm::next(std::uint32_t, bool&) { return pending(); }
Status Vm::seek_rowid(std::uint32_t, const Value&, bool&) { return pending(); }
Status Vm::seek(std::uint32_t, const Value&, bool&) { return pending(); }
Status Vm::cursor_set_rowid(std::uint32_t, const Value&) { return pending(); }
Status Vm::read_rowid(std::uint32_t, Value&) { return pending(); }
Status Vm::read_column(std::uint32_t, std::uint32_t, Value&) { return pending(); }
Status Vm::count_rows(std::uint32_t, Value&) { return pending(); }
Status Vm::make_updated_record(const Program&, const Op&) { return pending(); }
Status Vm::new_rowid(std::uint32_t, Value&) { return pending(); }
Status Vm::insert(std::uint32_t, const Value&, const Value&) { return pending(); }
Status Vm::delete_current(std::uint32_t) { return pending(); }
Status Vm::truncate_from(std::uint32_t, const Value&) { return pending(); }
Status Vm::update_current(std::uint32_t, const Value&) { return pending(); }
Status Vm::apply_deferred(std::uint32_t) { return pending(); }
Result<bool> Vm::rowid_exists(std::uint32_t, const Value&) { return pending(); }
Status Vm::param_value(const ParamSrc& src, Value& out) {
  if (src.kind == ParamSrc::Kind::Param) {
    if (src.index < params_.size()) out.assign(params_[src.index]);
    else out.set_null();
    return {};
  }
  return pending();
}
Status Vm::open_index(std::uint32_t, std::uint32_t) { return pending(); }
Status Vm::idx_insert(std::uint32_t, const Value&) { return pending(); }
Status Vm::idx_insert_unique(std::uint32_t, const Value&, const Value&, std::string_view) { return pending(); }
Result<bool> Vm::idx_has_prefix(std::uint32_t, const Value&) { return pending(); }
Status Vm::idx_delete(std::uint32_t, const Value&) { return pending(); }
Status Vm::idx_seek(std::uint32_t, const Value&, bool&) { return pending(); }
Status Vm::idx_next(std::uint32_t, bool&) { return pending(); }
Status Vm::idx_rowid(std::uint32_t, Value&) { return pending(); }
Result<bool> Vm::idx_prefix_matches(std::uint32_t, const Value&) { return pending(); }
Result<bool> Vm::idx_below_bound(std::uint32_t, const Value&) { return pending(); }
Status Vm::idx_unique_guard(std::uint32_t, const Value&, const Value&, std::string_view) { return pending(); }
Status Vm::idx_key_guard(std::uint32_t, const Value&) { return pending(); }

}  // namespace bkf::vdbe
