// The dispatch loop and the instructions that need no B-tree: control flow,
// constants and registers, expressions, records, grouping and aggregates,
// the spool and correlated subqueries.
#include "exec/vm/vm.h"

#include <algorithm>
#include <limits>

#include "btree/keyenc.h"
#include "exec/scalar_funcs.h"
#include "exec/value_ops.h"
#include "exec/vm/internal.h"
#include "exec/vm/post_run.h"
#include "exec/vm/slots.h"
#include "record/record.h"

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
    first_.keep_all = first_.dropped = first_.restart = false;
    first_.live = 0;
    first_.emitted = 0;
  }
  BKF_TRY(init_run(p));
  Status st = exec(p);
  if (st.ok() && first_.on && first_.restart) {
    // A key value the selection cannot order came after rows were dropped:
    // a query reads and writes nothing else, so running it again keeping
    // every row gives the rows a plain run gives.
    rows_.clear();
    first_.keep_all = true;
    first_.dropped = first_.restart = false;
    first_.live = 0;
    first_.emitted = 0;
    BKF_TRY(init_run(p));
    st = exec(p);
  }
  if (first_.on) rows_.resize(first_.live);
  if (!st.ok() && !deferred_.empty()) {
    // The rows behind these records already have their new index keys.
    if (Status applied = apply_deferred(deferred_cur_); !applied.ok()) return applied;
  }
  return st;
}

bool Vm::keep_row(const Value* values, std::uint32_t count) {
  FirstRows& f = first_;
  ++f.emitted;
  if (f.k == 0) return true;  // nothing is kept
  const std::span<const Value> row(values, count);
  if (!f.keep_all && !orderly_keys(row, f.keys)) {
    if (f.dropped) {
      f.restart = true;
      return false;
    }
    f.keep_all = true;  // nothing dropped yet: keep every row from here on
  }
  // Emitted after every kept row, so on equal keys it comes after them.
  if (!f.keep_all && f.dropped && compare_rows(row, rows_[f.k - 1], f.keys) != Ordering::Less) return true;
  if (f.live < rows_.size()) rows_[f.live].assign(values, values + count);  // reuses the row's storage
  else rows_.emplace_back(values, values + count);
  ++f.live;
  if (!f.keep_all && f.live >= std::max<std::size_t>(2 * f.k, f.k + 64)) {
    // Every row here passed orderly_keys, so the selection succeeds.
    rows_.resize(f.live);
    (void)select_first_rows(rows_, f.keys, f.k, f.spare);
    f.live = f.k;
    f.dropped = true;
  }
  return true;
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

// Dispatch. With GCC and Clang every instruction ends in its own indirect
// jump to the next instruction's code (labels as values), so the processor
// predicts each jump from the history of that instruction kind instead of
// from one shared jump that every instruction passes through; elsewhere one
// switch in a loop does the same work. BKF_OP opens an instruction's code,
// BKF_NEXT ends it (the next instruction is ops[pc]; past the end the run is
// over).
#if defined(__GNUC__)
#define BKF_VM_THREADED 1
#define BKF_OP(kind) L_##kind:
#define BKF_NEXT()                                                  \
  {                                                                 \
    if (pc >= n) return {};                                         \
    op = ops + pc++;                                                \
    goto* kTargets[static_cast<std::size_t>(op->kind)];             \
  }
#else
#define BKF_OP(kind) case OpKind::kind:
#define BKF_NEXT() break
#endif

Status Vm::exec(const Program& p) {
  const Op* const ops = p.ops.data();
  const std::size_t n = p.ops.size();
  Value* const r = regs_.data();
  std::size_t pc = 0;
  bool flag = false;
  const Op* op = nullptr;

#ifdef BKF_VM_THREADED
  // The code of each kind, in tag order.
#define BKF_OP_TARGET(name, tag, ...) &&L_##name,
  static const void* const kTargets[] = {BKF_OP_LIST(BKF_OP_TARGET)};
#undef BKF_OP_TARGET
  static_assert(std::size(kTargets) == kOpKindCount);
  BKF_NEXT();
#else
  while (pc < n) {
    op = ops + pc++;
    switch (op->kind) {
#endif
    // ---- control flow ----
    BKF_OP(Halt)
      return {};
    BKF_OP(IfFalse)
      if (!is_truthy(r[op->a])) pc = op->b;
      BKF_NEXT();
    BKF_OP(IfTrue)
      if (is_truthy(r[op->a])) pc = op->b;
      BKF_NEXT();
    BKF_OP(Goto)
      pc = op->a;
      BKF_NEXT();

    // ---- constants and registers ----
    BKF_OP(Integer)
      r[op->a].set_int(op->imm_int());
      BKF_NEXT();
    BKF_OP(Real)
      r[op->a].set_real(op->imm_real());
      BKF_NEXT();
    BKF_OP(Str)
      r[op->b].set_text(p.strings[op->a]);
      BKF_NEXT();
    BKF_OP(Blob)
      r[op->b].set_blob(p.strings[op->a]);
      BKF_NEXT();
    BKF_OP(Null)
      r[op->a].set_null();
      BKF_NEXT();
    BKF_OP(Copy)
      if (op->a != op->b) r[op->b].assign(r[op->a]);
      BKF_NEXT();
    BKF_OP(Param)
      if (op->a < params_.size()) r[op->b].assign(params_[op->a]);
      else r[op->b].set_null();
      BKF_NEXT();
    BKF_OP(Bind)
      if (op->a < binds_.size()) r[op->b].assign(binds_[op->a]);
      else r[op->b].set_null();
      BKF_NEXT();

    // ---- table cursors ----
    BKF_OP(OpenRead)
    BKF_OP(OpenWrite)
      BKF_TRY(open_table(op->a, op->b));
      BKF_NEXT();
    BKF_OP(NullRow)
      BKF_TRY(null_row(op->a));
      BKF_NEXT();
    BKF_OP(Rewind)
      BKF_TRY(rewind(op->a, flag));
      if (flag) pc = op->b;
      BKF_NEXT();
    BKF_OP(Next) {
      // The common step inline: the next row lies in the cursor's current
      // leaf (see Vm::next for every other case).
      TableSlot* t = tables_[op->a].get();
      std::int64_t id;
      if (t != nullptr && t->open && !t->null_row && t->cursor.next_local(t->row, id)) {
        t->current = id;
        t->has_current = t->row_loaded = t->row_read = true;
        t->cols.reset(t->row);
        pc = op->b;
        BKF_NEXT();
      }
      BKF_TRY(next(op->a, flag));
      if (flag) pc = op->b;
      BKF_NEXT();
    }
    BKF_OP(SeekRowid)
      BKF_TRY(seek_rowid(op->a, r[op->b], flag));
      if (!flag) pc = op->c;
      BKF_NEXT();
    BKF_OP(CursorSetRowid)
      BKF_TRY(cursor_set_rowid(op->a, r[op->b]));
      BKF_NEXT();
    BKF_OP(Seek)
      BKF_TRY(seek(op->a, r[op->b], flag));
      if (!flag) pc = op->c;
      BKF_NEXT();
    BKF_OP(Rowid)
      BKF_TRY(read_rowid(op->a, r[op->b]));
      BKF_NEXT();
    BKF_OP(Column) {
      // The common case inline: an open cursor on a row it has read.
      TableSlot* t = tables_[op->a].get();
      if (t != nullptr && t->open && !t->null_row && t->has_current && t->row_loaded) {
        if (!t->cols.read_fast(op->b, r[op->c])) BKF_TRY(t->cols.read_into(op->b, r[op->c]));
      } else {
        BKF_TRY(read_column(op->a, op->b, r[op->c]));
      }
      BKF_NEXT();
    }
    BKF_OP(Count)
      BKF_TRY(count_rows(op->a, r[op->b]));
      BKF_NEXT();

    BKF_OP(ResultRow)
      if (first_.on) {
        if (!keep_row(r + op->a, op->b)) return {};  // run() starts over
        BKF_NEXT();
      }
      rows_.emplace_back(r + op->a, r + op->a + op->b);
      if (rows_.size() >= row_cap_) return {};
      BKF_NEXT();

    // ---- expressions ----
    BKF_OP(Binop)
      if (!apply_bin_fast(static_cast<BinKind>(op->flag), r[op->a], r[op->b], r[op->c])) {
        apply_bin(static_cast<BinKind>(op->flag), r[op->a], r[op->b], r[op->c]);
      }
      BKF_NEXT();
    BKF_OP(Un)
      apply_un(static_cast<UnKind>(op->flag), r[op->a], r[op->b]);
      BKF_NEXT();
    BKF_OP(IsNull)
      is_null_op(r[op->a], op->flag != 0, r[op->b]);
      BKF_NEXT();
    BKF_OP(Func) {
      const std::uint32_t* args = p.reg_lists.data() + op->a;
      const std::uint32_t count = op->b;
      // Arguments in consecutive registers (what the compiler emits) are
      // passed in place; others are gathered into reused scratch values.
      bool contiguous = true;
      for (std::uint32_t i = 1; i < count && contiguous; ++i) contiguous = args[i] == args[0] + i;
      if (count == 0) {
        eval_scalar(static_cast<ScalarKind>(op->flag), std::span<const Value>(), r[op->c]);
      } else if (contiguous) {
        eval_scalar(static_cast<ScalarKind>(op->flag), std::span<const Value>(r + args[0], count), r[op->c]);
      } else {
        if (args_scratch_.size() < count) args_scratch_.resize(count);
        for (std::uint32_t i = 0; i < count; ++i) args_scratch_[i].assign(r[args[i]]);
        eval_scalar(static_cast<ScalarKind>(op->flag), std::span<const Value>(args_scratch_.data(), count), r[op->c]);
      }
      BKF_NEXT();
    }
    BKF_OP(Cast)
      cast_value(r[op->a], static_cast<CastType>(op->flag), r[op->b]);
      BKF_NEXT();
    BKF_OP(Affinity)
      apply_affinity(r[op->a], op->flag != 0);
      BKF_NEXT();
    BKF_OP(Like)
      like_op(r[op->a], r[op->b], op->flag != 0, r[op->c]);
      BKF_NEXT();

    // ---- records and row changes ----
    BKF_OP(MakeRecord) {
      std::string& out = blob_dest(op->c, op->a, op->b);
      encode_record_into(out, std::span<const Value>(r + op->a, op->b));
      finish_blob_dest(op->c);
      BKF_NEXT();
    }
    BKF_OP(MakeUpdatedRecord)
      BKF_TRY(make_updated_record(p, *op));
      BKF_NEXT();
    BKF_OP(NewRowid)
      BKF_TRY(new_rowid(op->a, r[op->b]));
      BKF_NEXT();
    BKF_OP(Insert)
      if (check_only_) return {};  // the row passed every check
      BKF_TRY(insert(op->a, r[op->b], r[op->c]));
      BKF_NEXT();
    BKF_OP(DeleteCurrent)
      if (check_only_) return {};  // the row passed every check
      BKF_TRY(delete_current(op->a));
      BKF_NEXT();
    BKF_OP(TruncateFrom)
      if (check_only_) return {};  // the row passed every check
      BKF_TRY(truncate_from(op->a, r[op->b]));
      BKF_NEXT();
    BKF_OP(UpdateCurrent)
      if (check_only_) return {};  // the row passed every check
      BKF_TRY(update_current(op->a, r[op->b]));
      BKF_NEXT();
    BKF_OP(ApplyDeferred)
      if (check_only_) return {};  // the row passed every check
      BKF_TRY(apply_deferred(op->a));
      BKF_NEXT();

    // ---- index keys and index cursors ----
    BKF_OP(OpenIndex)
      BKF_TRY(open_index(op->a, op->b));
      BKF_NEXT();
    BKF_OP(MakeIndexKey) {
      std::int64_t rowid = BKF_TRY(as_int(r[op->c]));
      std::string& out = blob_dest(op->d(), op->a, op->b, op->c);
      keyenc::encode_index_key_into(out, std::span<const Value>(r + op->a, op->b), rowid);
      finish_blob_dest(op->d());
      BKF_NEXT();
    }
    BKF_OP(MakeIndexPrefix) {
      std::string& out = blob_dest(op->c, op->a, op->b);
      keyenc::encode_key_prefix_into(out, std::span<const Value>(r + op->a, op->b));
      finish_blob_dest(op->c);
      BKF_NEXT();
    }
    BKF_OP(MakeBoundKey) {
      std::string& out = blob_dest(op->c, op->a, op->b);
      keyenc::encode_bound_key_into(out, std::span<const Value>(r + op->a, op->b), op->flag != 0);
      finish_blob_dest(op->c);
      BKF_NEXT();
    }
    BKF_OP(IdxInsert)
      if (check_only_) return {};  // the row passed every check
      BKF_TRY(idx_insert(op->a, r[op->b]));
      BKF_NEXT();
    BKF_OP(IdxInsertUnique)
      if (check_only_) return {};  // the row passed every check
      BKF_TRY(idx_insert_unique(op->a, r[op->b], r[op->c], p.strings[op->d()]));
      BKF_NEXT();
    BKF_OP(IdxConflictJump)
      if (BKF_TRY(idx_has_prefix(op->a, r[op->b]))) pc = op->c;
      BKF_NEXT();
    BKF_OP(RowidExistsJump)
      if (BKF_TRY(rowid_exists(op->a, r[op->b]))) pc = op->c;
      BKF_NEXT();
    BKF_OP(IdxDelete)
      if (check_only_) return {};  // the row passed every check
      BKF_TRY(idx_delete(op->a, r[op->b]));
      BKF_NEXT();
    BKF_OP(IdxSeek)
      BKF_TRY(idx_seek(op->a, r[op->b], flag));
      if (!flag) pc = op->c;
      BKF_NEXT();
    BKF_OP(IdxNext)
      BKF_TRY(idx_next(op->a, flag));
      if (flag) pc = op->b;
      BKF_NEXT();
    BKF_OP(IdxRowid)
      BKF_TRY(idx_rowid(op->a, r[op->b]));
      BKF_NEXT();
    BKF_OP(IdxPrefixGuard)
      if (!BKF_TRY(idx_prefix_matches(op->a, r[op->b]))) pc = op->c;
      BKF_NEXT();
    BKF_OP(IdxRangeGuard)
      if (!BKF_TRY(idx_below_bound(op->a, r[op->b]))) pc = op->c;
      BKF_NEXT();

    // ---- constraint guards ----
    BKF_OP(NotNullGuard)
      if (r[op->a].is_null()) return Error::constraint("NOT NULL constraint failed: " + p.strings[op->b]);
      BKF_NEXT();
    BKF_OP(IdxUniqueGuard)
      BKF_TRY(idx_unique_guard(op->a, r[op->b], r[op->c], p.strings[op->d()]));
      BKF_NEXT();
    BKF_OP(RowidGuard)
      if (r[op->b].is_int() && !is_gone(r[op->b].int_value()) && BKF_TRY(rowid_exists(op->a, r[op->b]))) {
        return Error::constraint("UNIQUE constraint failed: " + p.strings[op->c]);
      }
      BKF_NEXT();
    BKF_OP(IdxKeyGuard)
      BKF_TRY(idx_key_guard(op->a, r[op->b]));
      BKF_NEXT();

    // ---- grouping and aggregates ----
    BKF_OP(AggStart)
      // Without grouping keys every row stays in the one group.
      if (op->b == 0 && has_group_ && groups_[current_group_]->key.empty()) BKF_NEXT();
      BKF_TRY(agg_start(op->a, op->b));
      BKF_NEXT();
    BKF_OP(AggStep)
      if (!has_group_) return internal_error("AggStep before any AggStart");
      cur_accs_[op->a].step(r[op->b]);
      BKF_NEXT();
    BKF_OP(AggRewind)
      BKF_TRY(agg_rewind(*op, pc));
      BKF_NEXT();
    BKF_OP(AggNext)
      if (++group_pos_ < group_order_.size()) {
        load_group_key(op->b, op->c);
        pc = op->a;
      }
      BKF_NEXT();
    BKF_OP(AggResult)
      if (group_pos_ >= group_order_.size()) return internal_error("AggResult outside the walk over the groups");
      groups_[group_order_[group_pos_]]->accs[op->a].finalize(r[op->b]);
      BKF_NEXT();

    // ---- correlated subqueries ----
    BKF_OP(ScalarSub)
      BKF_TRY(scalar_sub(p, *op));
      BKF_NEXT();

    // ---- IN ----
    BKF_OP(InSet) {
      const InSetSpec& spec = p.in_sets[op->a];
      Truth t = spec.values.test(r[op->b]);
      if (t != Truth::True && spec.reads_run_values()) {
        // Three-valued OR of the two halves of the items.
        const Truth u = run_set(spec, op->a).test(r[op->b]);
        if (u != Truth::False) t = u;
      }
      if (t == Truth::Unknown) r[op->c].set_null();
      else r[op->c].set_int((t == Truth::True) != (op->flag != 0) ? 1 : 0);
      BKF_NEXT();
    }

    // ---- spool ----
    BKF_OP(SpoolRow)
      spool_starts_.push_back(spool_values_.size());
      spool_values_.insert(spool_values_.end(), r + op->a, r + op->a + op->b);
      BKF_NEXT();
    BKF_OP(SpoolRewind)
      spool_pos_ = 0;
      spool_order_rows();
      if (spool_order_.empty()) pc = op->a;
      else spool_load(op->b, op->c);
      BKF_NEXT();
    BKF_OP(SpoolNext)
      if (spool_pos_ < spool_order_.size() && ++spool_pos_ < spool_order_.size()) {
        spool_load(op->b, op->c);
        pc = op->a;
      }
      BKF_NEXT();
#ifndef BKF_VM_THREADED
    }
  }
#endif
  return {};
}

#undef BKF_OP
#undef BKF_NEXT

// ---- grouping ----

Status Vm::agg_start(std::uint32_t key_start, std::uint32_t key_count) {
  // Without grouping keys every row belongs to the one group with the empty
  // key.
  if (key_count == 0 && has_group_ && groups_[current_group_]->key.empty()) return {};
  if (key_count == 1 && regs_[key_start].is_int()) {
    const std::int64_t k = regs_[key_start].int_value();
    if (const auto* slot = int_group_map_.find(k)) {
      current_group_ = slot->group;
      cur_accs_ = slot->accs;
      has_group_ = true;
      return {};
    }
    enter_group(key_start, key_count);
    int_group_map_.insert(k, current_group_, cur_accs_);
    return {};
  }
  enter_group(key_start, key_count);
  return {};
}

// The group of the key registers by their identity key, made when new.
void Vm::enter_group(std::uint32_t key_start, std::uint32_t key_count) {
  keyenc::encode_identity_key_into(key_scratch_, std::span<const Value>(regs_.data() + key_start, key_count));
  // Input that arrives grouped stays on its group without a map lookup.
  if (has_group_ && GroupIndex::same(groups_[current_group_]->key, key_scratch_)) return;
  auto key_of = [this](std::uint32_t g) { return std::string_view(groups_[g]->key); };
  const std::uint64_t h = GroupIndex::hash(key_scratch_);
  const std::uint32_t found = group_map_.find(key_scratch_, h, key_of);
  if (found != GroupIndex::kNone) {
    current_group_ = found;
    cur_accs_ = groups_[current_group_]->accs.data();
    has_group_ = true;
    return;
  }
  Group& g = *groups_.emplace_back(std::make_unique<Group>());
  g.key = key_scratch_;
  g.key_values.assign(regs_.begin() + key_start, regs_.begin() + key_start + key_count);
  g.accs.reserve(agg_specs_->size());
  for (const AggSpec& spec : *agg_specs_) g.accs.emplace_back(spec);
  current_group_ = static_cast<std::uint32_t>(groups_.size() - 1);
  cur_accs_ = g.accs.data();
  group_map_.insert(h, current_group_);
  has_group_ = true;
}

Status Vm::agg_rewind(const Op& op, std::size_t& pc) {
  if (groups_.empty() && op.flag == 0) {
    // Aggregates without GROUP BY yield one row even over no input.
    Group& g = *groups_.emplace_back(std::make_unique<Group>());
    for (const AggSpec& spec : *agg_specs_) g.accs.emplace_back(spec);
  }
  group_order_.resize(groups_.size());
  for (std::uint32_t i = 0; i < group_order_.size(); ++i) group_order_[i] = i;
  // Keys are unique, so the order is total; identity keys sort as values do.
  std::sort(group_order_.begin(), group_order_.end(),
            [this](std::uint32_t a, std::uint32_t b) { return groups_[a]->key < groups_[b]->key; });
  group_pos_ = 0;
  if (group_order_.empty()) {
    pc = op.a;
    return {};
  }
  load_group_key(op.b, op.c);
  return {};
}

void Vm::load_group_key(std::uint32_t dest, std::uint32_t count) {
  const Group& g = *groups_[group_order_[group_pos_]];
  for (std::uint32_t i = 0; i < count; ++i) {
    if (i < g.key_values.size()) regs_[dest + i].assign(g.key_values[i]);
    else regs_[dest + i].set_null();
  }
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

// ---- spool ----

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

// ---- correlated subqueries ----

Status Vm::scalar_sub(const Program& p, const Op& op) {
  const std::uint32_t sub = op.a;
  const ParamSrc* srcs = p.param_lists.data() + op.b;
  const std::uint32_t count = op.c;
  if (args_scratch_.size() < count) args_scratch_.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) BKF_TRY(param_value(srcs[i], args_scratch_[i]));
  // The key: the sub-program's number, then the record of the arguments,
  // whose bytes are equal exactly when the values are identical.
  std::string& key = sub_key_scratch_;
  key.assign(reinterpret_cast<const char*>(&sub), sizeof sub);
  encode_record_into(bytes_scratch_, std::span<const Value>(args_scratch_.data(), count));
  key += bytes_scratch_;
  auto hit = subquery_cache_.find(std::string_view(key));
  if (hit != subquery_cache_.end()) {
    ++subquery_cache_hits_;
    regs_[op.d()].assign(hit->second);
    return {};
  }

  const Program& child_program = p.subprograms[sub];
  PostRun post = PostRun::of(child_program);
  if (children_.size() <= sub) children_.resize(sub + 1);
  if (!children_[sub]) children_[sub] = std::make_unique<Vm>(pager_, binds_);
  else children_[sub]->rearm(binds_);
  Vm& child = *children_[sub];
  child.params_.assign(args_scratch_.begin(), args_scratch_.begin() + count);
  // Without sorting or DISTINCT only the first OFFSET + 1 rows can matter.
  if (child_program.order_desc.empty() && !child_program.distinct) {
    std::uint64_t skip = child_program.offset && *child_program.offset > 0
                             ? static_cast<std::uint64_t>(*child_program.offset)
                             : 0;
    if (skip < ~std::uint64_t{0}) child.row_cap_ = skip + 1;
  }
  ++subquery_runs_;
  BKF_TRY(child.run(child_program));
  std::vector<Row> rows = child.take_rows();
  apply_post_run(rows, post);
  Value result;
  if (!rows.empty() && !rows.front().empty()) result = std::move(rows.front().front());
  regs_[op.d()].assign(result);
  subquery_cache_.emplace(key, std::move(result));
  return {};
}

}  // namespace bkf::vm
