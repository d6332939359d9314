// Index cursors, index maintenance and UNIQUE checks.
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

Error unique_failed(std::string_view column) {
  std::string msg = "UNIQUE constraint failed: ";
  msg += column;
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

Status Vm::idx_insert_unique(std::uint32_t cur, const Value& key, const Value& prefix, std::string_view column) {
  IndexSlot* s = index(cur);
  if (!s) return not_open(cur);
  std::string_view p = BKF_TRY(as_blob_ref(prefix));
  std::string_view k = BKF_TRY(as_blob_ref(key));
  IndexBTree tree(pager_, s->root, &s->scratch);
  if (BKF_TRY(tree.contains_prefix(p))) return unique_failed(column);
  return tree.insert(k);
}

Result<bool> Vm::idx_has_prefix(std::uint32_t cur, const Value& prefix) {
  IndexSlot* s = index(cur);
  if (!s) return not_open(cur);
  std::string_view p = BKF_TRY(as_blob_ref(prefix));
  return IndexBTree(pager_, s->root).contains_prefix(p);
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

Status Vm::idx_unique_guard(std::uint32_t cur, const Value& prefix, const Value& rowid, std::string_view column) {
  IndexSlot* s = index(cur);
  if (!s) return not_open(cur);
  std::string_view p = BKF_TRY(as_blob_ref(prefix));
  bool own = false;
  std::int64_t own_id = 0;
  if (!rowid.is_null()) {
    own_id = BKF_TRY(as_int(rowid));
    own = true;
  }
  // Walk the keys with the prefix on a cursor of its own; a key of the row
  // itself (an UPDATE that keeps its value) is no conflict.
  IndexCursor probe(pager_, s->root);
  BKF_TRY(probe.seek(p));
  while (BKF_TRY(probe.next_into(probe_)) && starts_with(probe_, p)) {
    std::int64_t id = BKF_TRY(keyenc::key_rowid(probe_));
    if ((!own || id != own_id) && !is_gone(id)) return unique_failed(column);
  }
  return {};
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

}  // namespace bkf::vm
