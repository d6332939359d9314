// Index cursors, index probes, index maintenance and UNIQUE checks.
#include <cstring>

#include "btree/keyenc.h"
#include "exec/value_ops.h"
#include "exec/vm/internal.h"
#include "exec/vm/slots.h"
#include "exec/vm/vm.h"

namespace bkf::vm {

namespace {

Error not_open(std::uint32_t cur) {
  return internal_error("index cursor " + std::to_string(cur) + " is not open");
}

Error unique_failed(std::string_view label) {
  std::string msg = "UNIQUE constraint failed: ";
  msg += label;
  return Error::constraint(msg);
}

bool starts_with(std::string_view key, std::string_view prefix) {
  return key.size() >= prefix.size() && std::memcmp(key.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

IndexSlot* Vm::index(std::uint32_t cur) {
  IndexSlot* s = indexes_[cur].get();
  return s != nullptr && s->open ? s : nullptr;
}

Status Vm::open_index(std::uint32_t cur, std::uint32_t root) {
  if (indexes_[cur]) indexes_[cur]->reopen(root);
  else indexes_[cur].reset(new IndexSlot(pager_, root));
  return {};
}

Status Vm::idx_insert(std::uint32_t cur, const Value& key) {
  IndexSlot* s = index(cur);
  if (!s) return not_open(cur);
  std::string_view k = BKF_TRY(as_blob_ref(key));
  return IndexBTree(pager_, s->root, &s->scratch).insert(k);
}

Result<std::optional<std::int64_t>> Vm::next_conflict(IndexSlot& slot, IndexCursor& entries, const Program& p,
                                                      const Op& op, bool restart, std::optional<std::int64_t> own) {
  // values (c), count (d), unique (e): validated to match.
  const UniqueSpec& spec = p.unique_specs[op.e()];
  if (restart) BKF_TRY(slot.unique.start(entries, std::span<const Value>(regs_.data() + op.c, op.d())));
  for (;;) {
    const std::optional<std::int64_t> id = BKF_TRY(slot.unique.next(entries));
    if (!id) return id;
    if ((own && *id == *own) || is_gone(*id)) continue;
    if (BKF_TRY(slot.unique.conflicts(pager_, spec.rows, *id, pending_record(spec.rows.table_root, *id)))) return id;
  }
}

Status Vm::idx_insert_unique(const Program& p, const Op& op) {
  IndexSlot* s = index(op.a);
  if (!s) return not_open(op.a);
  std::string_view k = BKF_TRY(as_blob_ref(regs_[op.b]));
  IndexCursor entries(pager_, s->root);
  if (BKF_TRY(next_conflict(*s, entries, p, op, true, std::nullopt))) return unique_failed(p.unique_specs[op.e()].label);
  return IndexBTree(pager_, s->root, &s->scratch).insert(k);
}

Result<bool> Vm::idx_has_conflict(const Program& p, const Op& op) {
  IndexSlot* s = index(op.a);
  if (!s) return not_open(op.a);
  IndexCursor entries(pager_, s->root);
  return BKF_TRY(next_conflict(*s, entries, p, op, true, std::nullopt)).has_value();
}

Status Vm::idx_unique_guard(const Program& p, const Op& op) {
  IndexSlot* s = index(op.a);
  if (!s) return not_open(op.a);
  // The row itself (an UPDATE that keeps its value) is no conflict.
  const Value& rowid = regs_[op.b];
  std::optional<std::int64_t> own;
  if (!rowid.is_null()) own = BKF_TRY(as_int(rowid));
  // A cursor of its own: the slot's may be walking the index for the
  // statement's loop.
  IndexCursor entries(pager_, s->root);
  if (BKF_TRY(next_conflict(*s, entries, p, op, true, own))) return unique_failed(p.unique_specs[op.e()].label);
  return {};
}

Status Vm::idx_next_conflict(const Program& p, const Op& op) {
  IndexSlot* s = index(op.a);
  if (!s) return not_open(op.a);
  s->valid = false;  // the slot's cursor moves without reading keys for IdxRowid
  const std::optional<std::int64_t> id = BKF_TRY(next_conflict(*s, s->cursor, p, op, op.flag != 0, std::nullopt));
  if (id) regs_[op.b].set_int(*id);
  else regs_[op.b].set_null();
  return {};
}

Status Vm::idx_delete(std::uint32_t cur, const Value& key) {
  IndexSlot* s = index(cur);
  if (!s) return not_open(cur);
  std::string_view k = BKF_TRY(as_blob_ref(key));
  BKF_TRY(IndexBTree(pager_, s->root, &s->scratch).remove(k));  // a missing key is no error
  return {};
}

Status Vm::idx_seek(std::uint32_t cur, const Value& prefix, bool& found) {
  IndexSlot* s = index(cur);
  if (!s) return not_open(cur);
  std::string_view p = BKF_TRY(as_blob_ref(prefix));
  s->valid = false;
  BKF_TRY(s->cursor.seek(p));
  // The key found need not begin with the prefix; a guard decides.
  s->valid = BKF_TRY(s->cursor.next_into(s->key));
  found = s->valid;
  return {};
}

Status Vm::idx_next(std::uint32_t cur, bool& has_key) {
  IndexSlot* s = index(cur);
  if (!s) return not_open(cur);
  s->valid = false;
  s->valid = BKF_TRY(s->cursor.next_into(s->key));
  has_key = s->valid;
  return {};
}

Status Vm::idx_rowid(std::uint32_t cur, Value& out) {
  IndexSlot* s = index(cur);
  if (!s) return not_open(cur);
  if (!s->valid) {
    out.set_null();
    return {};
  }
  std::int64_t id = BKF_TRY(keyenc::key_rowid(s->key));
  out.set_int(id);
  return {};
}

Result<bool> Vm::idx_prefix_matches(std::uint32_t cur, const Value& prefix) {
  IndexSlot* s = index(cur);
  if (!s) return not_open(cur);
  std::string_view p = BKF_TRY(as_blob_ref(prefix));
  return s->valid && starts_with(s->key, p);
}

Result<bool> Vm::idx_below_bound(std::uint32_t cur, const Value& bound) {
  IndexSlot* s = index(cur);
  if (!s) return not_open(cur);
  std::string_view b = BKF_TRY(as_blob_ref(bound));
  // Bytewise over the common length, the shorter first on a tie.
  return s->valid && std::string_view(s->key) < b;
}

Status Vm::idx_key_guard(std::uint32_t cur, const Value& key) {
  IndexSlot* s = index(cur);
  if (!s) return not_open(cur);
  std::string_view k = BKF_TRY(as_blob_ref(key));
  if (k.size() > IndexBTree::max_key_len(pager_.page_size())) {
    return Error::exec("index key too large (" + std::to_string(k.size()) + " bytes)");
  }
  return {};
}

Status Vm::idx_probe(const Op& op, bool& found) {
  IndexSlot* s = index(op.a);
  if (!s) return not_open(op.a);
  Value* state = regs_.data() + op.b;  // next range, its upper bound, exact
  if (!state[0].is_int() || state[0].int_value() < 0) return internal_error("IdxProbe state holds no range number");
  const auto next = static_cast<std::uint64_t>(state[0].int_value());
  if (next == 0) {
    const Value* keys = regs_.data() + op.d();
    const std::uint32_t count = op.e();
    s->probe_values.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      s->probe_values[i] = keyenc::ProbeValue{&keys[i], keys[i].is_text() ? num_value(keys[i]) : 0.0};
    }
    const bool lower = (op.flag & kProbeLower) != 0, upper = (op.flag & kProbeUpper) != 0;
    const std::uint32_t eq = count - lower - upper;
    keyenc::IndexProbe probe{std::span<const keyenc::ProbeValue>(s->probe_values.data(), eq)};
    if (lower) probe.lower = &s->probe_values[eq];
    if (upper) probe.upper = &s->probe_values[count - 1];
    s->probe.compute(probe);
  }
  const bool skip_empty = (op.flag & kProbeSkipEmptyRegions) != 0;
  if (skip_empty && !s->regions_known) BKF_TRY(find_regions_with_entries(*s));
  const std::span<const keyenc::KeyRange> ranges = s->probe.ranges();
  for (std::size_t i = next; i < ranges.size(); ++i) {
    const keyenc::KeyRange& r = ranges[i];
    if (skip_empty && (r.first_regions & s->regions_with_entries) == 0) continue;
    s->valid = false;
    BKF_TRY(s->cursor.seek(r.lo));
    s->valid = BKF_TRY(s->cursor.next_into(s->key));
    if (!s->valid || keyenc::compare_keys(s->key, r.hi) >= 0) continue;
    state[0].set_int(static_cast<std::int64_t>(i + 1));
    state[1].set_blob(r.hi);
    state[2].set_int(r.exact ? 1 : 0);
    found = true;
    return {};
  }
  state[0].set_int(static_cast<std::int64_t>(ranges.size()));
  found = false;
  return {};
}

Status Vm::find_regions_with_entries(IndexSlot& slot) {
  slot.regions_with_entries = 0;
  for (int r = 0; r < keyenc::kValueRegionCount; ++r) {
    const keyenc::KeyRange region = keyenc::region_range(static_cast<keyenc::ValueRegion>(r));
    slot.valid = false;
    BKF_TRY(slot.cursor.seek(region.lo));
    if (BKF_TRY(slot.cursor.next_into(slot.key)) && keyenc::compare_keys(slot.key, region.hi) < 0) {
      slot.regions_with_entries |= region.first_regions;
    }
  }
  slot.regions_known = true;
  return {};
}

}  // namespace bkf::vm
