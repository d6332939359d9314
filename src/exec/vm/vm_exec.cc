// The dispatch loop: one instruction after another, from the first until
// Halt, a jump to the end or the last instruction. Instructions that fit in
// a few lines run here; the others call the machine's helpers for table
// cursors (vm_table.cc), index cursors and probes (vm_index.cc), grouping
// (vm_group.cc), the spool (vm_spool.cc) and subqueries (vm_subquery.cc).
#include <iterator>

#include "btree/keyenc.h"
#include "exec/scalar_funcs.h"
#include "exec/value_ops.h"
#include "exec/vm/internal.h"
#include "exec/vm/slots.h"
#include "exec/vm/vm.h"
#include "record/record.h"

namespace bkf::vm {

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
        keep_row(r + op->a, op->b);
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
      BKF_TRY(idx_insert_unique(p, *op));
      BKF_NEXT();
    BKF_OP(IdxConflictJump)
      if (BKF_TRY(idx_has_conflict(p, *op))) pc = op->b;
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
      BKF_TRY(idx_unique_guard(p, *op));
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

    // ---- index probes ----
    BKF_OP(IdxProbe)
      BKF_TRY(idx_probe(*op, flag));
      if (!flag) pc = op->c;
      BKF_NEXT();

    // ---- UNIQUE conflicts ----
    BKF_OP(IdxNextConflict)
      BKF_TRY(idx_next_conflict(p, *op));
      BKF_NEXT();
#ifndef BKF_VM_THREADED
    }
  }
#endif
  return {};
}

#undef BKF_OP
#undef BKF_NEXT

}  // namespace bkf::vm
