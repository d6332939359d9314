// Table cursors and row changes.
#include <algorithm>
#include <cmath>
#include <limits>

#include "exec/numeric_text.h"
#include "exec/unicode.h"
#include "exec/value_ops.h"
#include "exec/vm/internal.h"
#include "exec/vm/slots.h"
#include "exec/vm/vm.h"

namespace bkf::vm {

void SlotDelete::operator()(TableSlot* t) const noexcept { delete t; }
void SlotDelete::operator()(IndexSlot* t) const noexcept { delete t; }

namespace {

constexpr std::int64_t kMaxRowid = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMinRowid = std::numeric_limits<std::int64_t>::min();
constexpr double kTwo63 = 9223372036854775808.0;

Error not_open(std::uint32_t cur) {
  return internal_error("table cursor " + std::to_string(cur) + " is not open");
}

// The row id SeekRowid looks for: an Int; a Real that is integral and within
// the row-id range, where 2^63 stands for the largest row id (it is what that
// row id reads as when compared with a real); a Text that is a decimal
// integer once trimmed. Anything else finds nothing, as `=` would.
std::optional<std::int64_t> exact_rowid_key(const Value& v) {
  switch (v.kind()) {
    case ValueKind::Int:
      return v.int_value();
    case ValueKind::Real: {
      double x = v.real_value();
      if (!std::isfinite(x) || std::trunc(x) != x || x < -kTwo63 || x > kTwo63) return std::nullopt;
      if (x == kTwo63) return kMaxRowid;
      return static_cast<std::int64_t>(x);
    }
    case ValueKind::Text:
      return parse_i64(trim_white_space(v.bytes()));
    default:
      return std::nullopt;
  }
}

// Where Seek starts: at an Int key; at the ceiling of a finite Real (clamped
// to the row-id range); at the first row for anything else. The program
// tests its condition on every row it reads, so starting early is safe.
std::int64_t seek_start(const Value& v) {
  if (v.is_int()) return v.int_value();
  if (v.is_real() && std::isfinite(v.real_value())) {
    double c = std::ceil(v.real_value());
    if (c >= kTwo63) return kMaxRowid;
    if (c <= -kTwo63) return kMinRowid;
    return static_cast<std::int64_t>(c);
  }
  return kMinRowid;
}

}  // namespace

TableSlot* Vm::table(std::uint32_t cur) {
  TableSlot* t = tables_[cur].get();
  return t != nullptr && t->open ? t : nullptr;
}

// Reads the next row of the slot's cursor into the slot; has tells whether
// there was one.
static Status read_row(TableSlot& t, bool& has) {
  t.clear_position();
  std::int64_t local_id;
  std::optional<std::int64_t> id;
  if (t.cursor.next_local(t.row, local_id)) id = local_id;
  else id = BKF_TRY(t.cursor.next_into(t.row));
  has = id.has_value();
  if (has) {
    t.current = *id;
    t.has_current = t.row_loaded = t.row_read = true;
    t.cols.reset(t.row);
  }
  return {};
}

Status Vm::open_table(std::uint32_t cur, std::uint32_t root) {
  if (tables_[cur]) tables_[cur]->reopen(root);
  else tables_[cur].reset(new TableSlot(pager_, root));
  return {};
}

Status Vm::null_row(std::uint32_t cur) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  t->null_row = true;
  return {};
}

Status Vm::rewind(std::uint32_t cur, bool& empty) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  t->null_row = false;
  t->clear_position();
  BKF_TRY(t->cursor.rewind());
  bool has = false;
  BKF_TRY(read_row(*t, has));
  empty = !has;
  return {};
}

Status Vm::next(std::uint32_t cur, bool& has_row) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  if (t->null_row) {
    // The loop body ran once on the null row; end the loop.
    t->null_row = false;
    has_row = false;
    return {};
  }
  return read_row(*t, has_row);
}

Status Vm::seek_rowid(std::uint32_t cur, const Value& key, bool& found) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  t->null_row = false;
  t->clear_position();
  found = false;
  std::optional<std::int64_t> k = exact_rowid_key(key);
  if (!k) return {};
  BKF_TRY(t->cursor.seek(*k));
  bool has = false;
  BKF_TRY(read_row(*t, has));
  if (has && t->current == *k) {
    found = true;
  } else {
    t->clear_position();
  }
  return {};
}

Status Vm::seek(std::uint32_t cur, const Value& key, bool& found) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  // A seek starts a new loop over real rows, like Rewind and SeekRowid: a
  // null row left by an outer join's previous outer row must not hide them.
  t->null_row = false;
  t->clear_position();
  BKF_TRY(t->cursor.seek(seek_start(key)));
  return read_row(*t, found);
}

Status Vm::cursor_set_rowid(std::uint32_t cur, const Value& key) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  std::int64_t k = BKF_TRY(as_int(key));
  t->null_row = false;
  t->clear_position();
  t->current = k;
  t->has_current = true;  // a row id without its row: Column reads Null
  return {};
}

Status Vm::read_rowid(std::uint32_t cur, Value& out) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  if (t->null_row || !t->has_current) out.set_null();
  else out.set_int(t->current);
  return {};
}

Status Vm::read_column(std::uint32_t cur, std::uint32_t col, Value& out) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  if (t->null_row || !t->has_current || !t->row_loaded) {
    out.set_null();
    return {};
  }
  return t->cols.read_into(col, out);
}

Status Vm::count_rows(std::uint32_t cur, Value& out) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  std::uint64_t n = BKF_TRY(BTree(pager_, t->root).count());
  out.set_int(static_cast<std::int64_t>(n));
  return {};
}

Status Vm::param_value(const ParamSrc& src, Value& out) {
  if (src.kind == ParamSrc::Kind::Param) {
    if (src.index < params_.size()) out.assign(params_[src.index]);
    else out.set_null();
    return {};
  }
  if (src.kind == ParamSrc::Kind::Rowid) return read_rowid(src.cursor, out);
  return read_column(src.cursor, src.column, out);
}

Status Vm::make_updated_record(const Program& p, const Op& op) {
  // cur (a), start (b), kept (c: offset, d: count), dest (e)
  TableSlot* t = table(op.a);
  if (!t) return not_open(op.a);
  if (!t->has_current || !t->row_loaded) return internal_error("MakeUpdatedRecord without a current row");
  const std::uint32_t n = op.d();
  flags_scratch_.assign(p.flag_lists.begin() + op.c, p.flag_lists.begin() + op.c + n);
  std::string& out = blob_dest(op.e(), op.b, n);
  BKF_TRY(splice_record_into(out, t->row, std::span<const Value>(regs_.data() + op.b, n), flags_scratch_));
  finish_blob_dest(op.e());
  return {};
}

Status Vm::new_rowid(std::uint32_t cur, Value& out) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  std::optional<std::int64_t> last;
  // While the slot's append hint stands, it names the rightmost leaf and
  // its last row id, the largest of the table: one page confirms it instead
  // of a descent from the root.
  if (t->hint.present) last = BKF_TRY(BTree(pager_, t->root).last_rowid_hinted(t->hint));
  else last = BKF_TRY(BTree(pager_, t->root).last_rowid());
  if (!last) {
    out.set_int(1);
  } else if (*last == kMaxRowid) {
    // No successor exists; wrapping around would overwrite rows later. A
    // check of a row to be inserted once that last row is gone finds room.
    if (!is_gone(kMaxRowid)) return Error::exec("row id overflow");
    out.set_int(kMaxRowid);
  } else {
    out.set_int(*last + 1);
  }
  return {};
}

// A change to the tree at root through one slot makes the append hints of
// the other slots on it unreliable.
void Vm::forget_hints(PageId root, const TableSlot* except) {
  for (auto& s : tables_) {
    if (s && s->open && s.get() != except && s->root == root) s->hint.clear();
  }
}

// After pages of the tree at root were freed or split, no cursor on it may
// keep its position.
void Vm::reset_cursors(PageId root) {
  for (auto& s : tables_) {
    if (s && s->open && s->root == root) {
      s->cursor.reset();
      s->clear_position();
      s->hint.clear();
    }
  }
}

Status Vm::insert(std::uint32_t cur, const Value& record, const Value& rowid) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  std::int64_t id = BKF_TRY(as_int(rowid));
  std::string_view rec = BKF_TRY(as_blob_ref(record));
  BKF_TRY(BTree(pager_, t->root, &t->scratch).insert_fast(id, rec, t->hint));
  forget_hints(t->root, t);
  ++changes_;
  last_rowid_ = id;
  return {};
}

Status Vm::delete_current(std::uint32_t cur) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  if (!t->row_read) return internal_error("DeleteCurrent without a row read by the cursor");
  BKF_TRY(t->cursor.delete_current());
  t->row_read = false;  // the cursor now stands before the following row
  forget_hints(t->root, nullptr);
  ++changes_;
  return {};
}

Status Vm::truncate_from(std::uint32_t cur, const Value& key) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  std::int64_t k = BKF_TRY(as_int(key));
  std::uint64_t removed = BKF_TRY(BTree(pager_, t->root, &t->scratch).truncate_from(k));
  reset_cursors(t->root);
  changes_ += removed;
  return {};
}

Status Vm::update_current(std::uint32_t cur, const Value& record) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  std::string_view rec = BKF_TRY(as_blob_ref(record));
  if (!t->has_current || !t->row_read) return internal_error("UpdateCurrent without a row read by the cursor");
  bool done = BKF_TRY(t->cursor.update_current_inplace(t->current, rec));
  if (done) {
    ++changes_;
  } else {
    // Rewritten after the scan, so the scan never meets a split of its own.
    if (!deferred_.empty() && deferred_.back().first >= t->current) deferred_ascending_ = false;
    deferred_.emplace_back(t->current, std::string(rec));
    deferred_cur_ = cur;
  }
  return {};
}

Status Vm::apply_deferred(std::uint32_t cur) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  if (deferred_.empty()) return {};
  BTree tree(pager_, t->root, &t->scratch);
  std::size_t done = 0;
  Status st;
  for (; done < deferred_.size(); ++done) {
    st = tree.insert(deferred_[done].first, deferred_[done].second);
    if (!st.ok()) break;
    ++changes_;
  }
  // What failed stays pending (a failure here is the file's, which spoils
  // the transaction anyway).
  deferred_.erase(deferred_.begin(), deferred_.begin() + static_cast<std::ptrdiff_t>(done));
  if (deferred_.empty()) deferred_ascending_ = true;
  reset_cursors(t->root);
  return st;
}

std::optional<std::string_view> Vm::pending_record(PageId root, std::int64_t rowid) const {
  if (deferred_.empty()) return std::nullopt;
  const TableSlot* t = tables_[deferred_cur_].get();
  if (t == nullptr || t->root != root) return std::nullopt;
  if (deferred_ascending_) {
    auto at = std::lower_bound(deferred_.begin(), deferred_.end(), rowid,
                               [](const auto& d, std::int64_t id) { return d.first < id; });
    if (at != deferred_.end() && at->first == rowid) return std::string_view(at->second);
    return std::nullopt;
  }
  // The latest record of the row is the one that counts.
  for (auto d = deferred_.rbegin(); d != deferred_.rend(); ++d) {
    if (d->first == rowid) return std::string_view(d->second);
  }
  return std::nullopt;
}

Result<bool> Vm::rowid_exists(std::uint32_t cur, const Value& key) {
  TableSlot* t = table(cur);
  if (!t) return not_open(cur);
  if (!key.is_int()) return false;
  // A lookup of its own, so the slot's scan position stays where it is.
  return BTree(pager_, t->root).search_into(key.int_value(), probe_);
}

}  // namespace bkf::vm
