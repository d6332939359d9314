// The machine's life: making it, running a program (with the rows a run
// keeps under keep_first_rows), rearming it for another run, and the state
// each run starts from. The dispatch loop is in vm_exec.cc.
#include "exec/vm/vm.h"

#include <algorithm>

#include "exec/vm/internal.h"
#include "exec/vm/post_run.h"
#include "exec/vm/slots.h"

namespace bkf::vm {

Error internal_error(std::string_view what) {
  std::string msg = "internal error: ";
  msg += what;
  return Error::exec(msg);
}

Vm::Vm(Pager& pager, std::span<const Value> binds) : pager_(pager), binds_(binds) {}

Vm::~Vm() = default;

void Vm::check_only(std::span<const std::int64_t> gone) {
  check_only_ = true;
  gone_ = gone;
}

bool Vm::is_gone(std::int64_t rowid) const noexcept {
  return std::find(gone_.begin(), gone_.end(), rowid) != gone_.end();
}

void Vm::rearm(std::span<const Value> binds) {
  binds_ = binds;
  ran_ = false;
  check_only_ = false;
  gone_ = {};
  rows_.clear();
  deferred_.clear();
  deferred_ascending_ = true;
  params_.clear();
  changes_ = 0;
  last_rowid_ = 0;
  row_cap_ = ~std::uint64_t{0};
  first_.on = false;
  subquery_cache_.clear();
  subquery_runs_ = 0;
  subquery_cache_hits_ = 0;
}

void Vm::release_pages() noexcept {
  binds_ = {};
  for (auto& t : tables_) {
    if (t) t->cursor.reset();
  }
  for (auto& x : indexes_) {
    if (x) x->cursor.reopen(x->root);
  }
  for (auto& child : children_) {
    if (child) child->release_pages();
  }
}

void Vm::keep_first_rows(std::uint64_t k) {
  // Beyond this many the kept rows would hold most rows anyway.
  constexpr std::uint64_t kMaxKept = std::uint64_t{1} << 20;
  first_.on = k <= kMaxKept;
  first_.k = static_cast<std::size_t>(k);
}

Status Vm::run(const Program& p) {
  if (ran_) return internal_error("a machine runs only once");
  ran_ = true;
  if (!p.is_validated()) BKF_TRY(p.check());
  if (first_.on) {
    first_.keys.clear();  // the sort keys of PostRun::of(p), in kept storage
    for (std::size_t i = 0; i < p.order_desc.size(); ++i) first_.keys.push_back(SortKey{p.visible + i, p.order_desc[i]});
    first_.on = !first_.keys.empty() && !p.distinct;
    first_.dropped = false;
    first_.live = 0;
    first_.emitted = 0;
  }
  BKF_TRY(init_run(p));
  Status st = exec(p);
  if (first_.on) rows_.resize(first_.live);
  if (!st.ok() && !deferred_.empty()) {
    // The rows behind these records already have their new index keys.
    if (Status applied = apply_deferred(deferred_cur_); !applied.ok()) return applied;
  }
  return st;
}

void Vm::keep_row(const Value* values, std::uint32_t count) {
  FirstRows& f = first_;
  ++f.emitted;
  if (f.k == 0) return;  // nothing is kept
  const std::span<const Value> row(values, count);
  // Emitted after every kept row, so on equal keys it comes after them.
  if (f.dropped && compare_rows(row, rows_[f.k - 1], f.keys) != Ordering::Less) return;
  if (f.live < rows_.size()) rows_[f.live].assign(values, values + count);  // reuses the row's storage
  else rows_.emplace_back(values, values + count);
  ++f.live;
  if (f.live >= std::max<std::size_t>(2 * f.k, f.k + 64)) {
    rows_.resize(f.live);
    select_first_rows(rows_, f.keys, f.k, f.spare);
    f.live = f.k;
    f.dropped = true;
  }
}

Status Vm::init_run(const Program& p) {
  // Registers start as Null; a machine that ran before keeps their buffers.
  const std::size_t nregs = p.nregs == 0 ? 1 : p.nregs;
  regs_.resize(nregs);
  for (Value& v : regs_) v.set_null();
  agg_specs_ = &p.agg_specs;
  // Slots of an earlier run are kept closed (without a position or a page)
  // until the program opens them.
  for (auto& t : tables_) {
    if (t) {
      t->open = false;
      t->cursor.reset();
    }
  }
  for (auto& x : indexes_) {
    if (x) {
      x->open = false;
      x->cursor.reopen(x->root);
    }
  }
  tables_.resize(p.ncursors);
  indexes_.resize(p.nindex_cursors);
  groups_.clear();
  cur_accs_ = nullptr;
  group_map_.clear();
  int_group_map_.clear();
  group_order_.clear();
  group_pos_ = 0;
  has_group_ = false;
  key_scratch_.clear();
  spool_values_.clear();
  spool_starts_.clear();
  spool_pos_ = 0;
  // IN items read from the run's values are read again (kept storage).
  if (run_sets_.size() < p.in_sets.size()) run_sets_.resize(p.in_sets.size());
  for (RunSet& rs : run_sets_) rs.built = false;
  return {};
}

// The destination buffer of an instruction that builds a Blob in `dest` from
// registers start..start+count-1 (and `also`). Normally the register's own
// buffer, cleared, so its capacity is reused; when dest is one of the
// sources, a scratch buffer that finish_blob_dest swaps in afterwards.
std::string& Vm::blob_dest(std::uint32_t dest, std::uint32_t start, std::uint32_t count, std::uint32_t also) {
  blob_via_scratch_ = (dest >= start && dest - start < count) || dest == also;
  if (blob_via_scratch_) {
    bytes_scratch_.clear();
    return bytes_scratch_;
  }
  return regs_[dest].reset_blob();
}

void Vm::finish_blob_dest(std::uint32_t dest) {
  if (!blob_via_scratch_) return;
  std::string& buf = regs_[dest].reset_blob();
  buf.swap(bytes_scratch_);
}

// ---- IN ----

const ValueSet& Vm::run_set(const InSetSpec& spec, std::uint32_t set) {
  RunSet& rs = run_sets_[set];
  if (rs.built) return rs.values;
  rs.values.clear();
  for (std::uint32_t i : spec.binds) rs.values.add(i < binds_.size() ? binds_[i] : Value());
  for (std::uint32_t i : spec.params) rs.values.add(i < params_.size() ? params_[i] : Value());
  rs.values.finish();
  rs.built = true;
  return rs.values;
}

}  // namespace bkf::vm
