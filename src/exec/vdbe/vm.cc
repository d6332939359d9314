// The dispatch loop and the instructions that need no B-tree: control flow,
// constants and registers, expressions, records, grouping and aggregates,
// the spool and correlated subqueries.
#include "exec/vdbe/vm.h"

#include <algorithm>

#include "btree/keyenc.h"
#include "exec/scalar_funcs.h"
#include "exec/value_ops.h"
#include "exec/vdbe/internal.h"
#include "exec/vdbe/post_run.h"
#include "exec/vdbe/slots.h"
#include "record/record.h"

namespace bkf::vdbe {

Error internal_error(std::string_view what) {
  std::string msg = "internal error: ";
  msg += what;
  return Error::exec(msg);
}

Vm::Vm(Pager& pager, std::span<const Value> binds) : pager_(pager), binds_(binds) {}

Vm::~Vm() = default;

void Vm::rearm(std::span<const Value> binds) {
  binds_ = binds;
  ran_ = false;
  rows_.clear();
  deferred_.clear();
  params_.clear();
  changes_ = 0;
  last_rowid_ = 0;
  row_cap_ = ~std::uint64_t{0};
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

Status Vm::run(const Program& p) {
  if (ran_) return internal_error("a machine runs only once");
  ran_ = true;
  if (!p.is_validated()) BKF_TRY(p.check());
  BKF_TRY(init_run(p));
  return exec(p);
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
  group_order_.clear();
  group_pos_ = 0;
  has_group_ = false;
  key_scratch_.clear();
  spool_values_.clear();
  spool_starts_.clear();
  spool_pos_ = 0;
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

Status Vm::exec(const Program& p) {
  const Op* const ops = p.ops.data();
  const std::size_t n = p.ops.size();
  Value* const r = regs_.data();
  std::size_t pc = 0;
  bool flag = false;

  while (pc < n) {
    const Op& op = ops[pc++];
    switch (op.kind) {
      // ---- control flow ----
      case OpKind::Halt:
        return {};
      case OpKind::IfFalse:
        if (!is_truthy(r[op.a])) pc = op.b;
        break;
      case OpKind::IfTrue:
        if (is_truthy(r[op.a])) pc = op.b;
        break;
      case OpKind::Goto:
        pc = op.a;
        break;

      // ---- constants and registers ----
      case OpKind::Integer:
        r[op.a].set_int(op.imm_int());
        break;
      case OpKind::Real:
        r[op.a].set_real(op.imm_real());
        break;
      case OpKind::Str:
        r[op.b].set_text(p.strings[op.a]);
        break;
      case OpKind::Blob:
        r[op.b].set_blob(p.strings[op.a]);
        break;
      case OpKind::Null:
        r[op.a].set_null();
        break;
      case OpKind::Copy:
        if (op.a != op.b) r[op.b].assign(r[op.a]);
        break;
      case OpKind::Param:
        if (op.a < params_.size()) r[op.b].assign(params_[op.a]);
        else r[op.b].set_null();
        break;
      case OpKind::Bind:
        if (op.a < binds_.size()) r[op.b].assign(binds_[op.a]);
        else r[op.b].set_null();
        break;

      // ---- table cursors ----
      case OpKind::OpenRead:
      case OpKind::OpenWrite:
        BKF_TRY(open_table(op.a, op.b));
        break;
      case OpKind::NullRow:
        BKF_TRY(null_row(op.a));
        break;
      case OpKind::Rewind:
        BKF_TRY(rewind(op.a, flag));
        if (flag) pc = op.b;
        break;
      case OpKind::Next: {
        // The common step inline: the next row lies in the cursor's current
        // leaf (see Vm::next for every other case).
        TableSlot* t = tables_[op.a].get();
        std::int64_t id;
        if (t != nullptr && t->open && !t->null_row && t->cursor.next_local(t->row, id)) {
          t->current = id;
          t->has_current = t->row_loaded = t->row_read = true;
          t->cols.reset(t->row);
          pc = op.b;
          break;
        }
        BKF_TRY(next(op.a, flag));
        if (flag) pc = op.b;
        break;
      }
      case OpKind::SeekRowid:
        BKF_TRY(seek_rowid(op.a, r[op.b], flag));
        if (!flag) pc = op.c;
        break;
      case OpKind::CursorSetRowid:
        BKF_TRY(cursor_set_rowid(op.a, r[op.b]));
        break;
      case OpKind::Seek:
        BKF_TRY(seek(op.a, r[op.b], flag));
        if (!flag) pc = op.c;
        break;
      case OpKind::Rowid:
        BKF_TRY(read_rowid(op.a, r[op.b]));
        break;
      case OpKind::Column: {
        // The common case inline: an open cursor on a row it has read.
        TableSlot* t = tables_[op.a].get();
        if (t != nullptr && t->open && !t->null_row && t->has_current && t->row_loaded) {
          if (!t->cols.read_fast(op.b, r[op.c])) BKF_TRY(t->cols.read_into(op.b, r[op.c]));
        } else {
          BKF_TRY(read_column(op.a, op.b, r[op.c]));
        }
        break;
      }
      case OpKind::Count:
        BKF_TRY(count_rows(op.a, r[op.b]));
        break;

      case OpKind::ResultRow:
        rows_.emplace_back(r + op.a, r + op.a + op.b);
        if (rows_.size() >= row_cap_) return {};
        break;

      // ---- expressions ----
      case OpKind::Binop:
        apply_bin(static_cast<BinKind>(op.flag), r[op.a], r[op.b], r[op.c]);
        break;
      case OpKind::Un:
        apply_un(static_cast<UnKind>(op.flag), r[op.a], r[op.b]);
        break;
      case OpKind::IsNull:
        is_null_op(r[op.a], op.flag != 0, r[op.b]);
        break;
      case OpKind::Func: {
        const std::uint32_t* args = p.reg_lists.data() + op.a;
        const std::uint32_t count = op.b;
        // Arguments in consecutive registers (what the compiler emits) are
        // passed in place; others are gathered into reused scratch values.
        bool contiguous = true;
        for (std::uint32_t i = 1; i < count && contiguous; ++i) contiguous = args[i] == args[0] + i;
        if (count == 0) {
          eval_scalar(static_cast<ScalarKind>(op.flag), std::span<const Value>(), r[op.c]);
        } else if (contiguous) {
          eval_scalar(static_cast<ScalarKind>(op.flag), std::span<const Value>(r + args[0], count), r[op.c]);
        } else {
          if (args_scratch_.size() < count) args_scratch_.resize(count);
          for (std::uint32_t i = 0; i < count; ++i) args_scratch_[i].assign(r[args[i]]);
          eval_scalar(static_cast<ScalarKind>(op.flag), std::span<const Value>(args_scratch_.data(), count), r[op.c]);
        }
        break;
      }
      case OpKind::Cast:
        cast_value(r[op.a], static_cast<CastType>(op.flag), r[op.b]);
        break;
      case OpKind::Affinity:
        apply_affinity(r[op.a], op.flag != 0);
        break;
      case OpKind::Like:
        like_op(r[op.a], r[op.b], op.flag != 0, r[op.c]);
        break;

      // ---- records and row changes ----
      case OpKind::MakeRecord: {
        std::string& out = blob_dest(op.c, op.a, op.b);
        encode_record_into(out, std::span<const Value>(r + op.a, op.b));
        finish_blob_dest(op.c);
        break;
      }
      case OpKind::MakeUpdatedRecord:
        BKF_TRY(make_updated_record(p, op));
        break;
      case OpKind::NewRowid:
        BKF_TRY(new_rowid(op.a, r[op.b]));
        break;
      case OpKind::Insert:
        BKF_TRY(insert(op.a, r[op.b], r[op.c]));
        break;
      case OpKind::DeleteCurrent:
        BKF_TRY(delete_current(op.a));
        break;
      case OpKind::TruncateFrom:
        BKF_TRY(truncate_from(op.a, r[op.b]));
        break;
      case OpKind::UpdateCurrent:
        BKF_TRY(update_current(op.a, r[op.b]));
        break;
      case OpKind::ApplyDeferred:
        BKF_TRY(apply_deferred(op.a));
        break;

      // ---- index keys and index cursors ----
      case OpKind::OpenIndex:
        BKF_TRY(open_index(op.a, op.b));
        break;
      case OpKind::MakeIndexKey: {
        std::int64_t rowid = BKF_TRY(as_int(r[op.c]));
        std::string& out = blob_dest(op.d(), op.a, op.b, op.c);
        keyenc::encode_index_key_into(out, std::span<const Value>(r + op.a, op.b), rowid);
        finish_blob_dest(op.d());
        break;
      }
      case OpKind::MakeIndexPrefix: {
        std::string& out = blob_dest(op.c, op.a, op.b);
        keyenc::encode_key_prefix_into(out, std::span<const Value>(r + op.a, op.b));
        finish_blob_dest(op.c);
        break;
      }
      case OpKind::MakeBoundKey: {
        std::string& out = blob_dest(op.c, op.a, op.b);
        keyenc::encode_bound_key_into(out, std::span<const Value>(r + op.a, op.b), op.flag != 0);
        finish_blob_dest(op.c);
        break;
      }
      case OpKind::IdxInsert:
        BKF_TRY(idx_insert(op.a, r[op.b]));
        break;
      case OpKind::IdxInsertUnique:
        BKF_TRY(idx_insert_unique(op.a, r[op.b], r[op.c], p.strings[op.d()]));
        break;
      case OpKind::IdxConflictJump:
        if (BKF_TRY(idx_has_prefix(op.a, r[op.b]))) pc = op.c;
        break;
      case OpKind::RowidExistsJump:
        if (BKF_TRY(rowid_exists(op.a, r[op.b]))) pc = op.c;
        break;
      case OpKind::IdxDelete:
        BKF_TRY(idx_delete(op.a, r[op.b]));
        break;
      case OpKind::IdxSeek:
        BKF_TRY(idx_seek(op.a, r[op.b], flag));
        if (!flag) pc = op.c;
        break;
      case OpKind::IdxNext:
        BKF_TRY(idx_next(op.a, flag));
        if (flag) pc = op.b;
        break;
      case OpKind::IdxRowid:
        BKF_TRY(idx_rowid(op.a, r[op.b]));
        break;
      case OpKind::IdxPrefixGuard:
        if (!BKF_TRY(idx_prefix_matches(op.a, r[op.b]))) pc = op.c;
        break;
      case OpKind::IdxRangeGuard:
        if (!BKF_TRY(idx_below_bound(op.a, r[op.b]))) pc = op.c;
        break;

      // ---- constraint guards ----
      case OpKind::NotNullGuard:
        if (r[op.a].is_null()) return Error::constraint("NOT NULL constraint failed: " + p.strings[op.b]);
        break;
      case OpKind::IdxUniqueGuard:
        BKF_TRY(idx_unique_guard(op.a, r[op.b], r[op.c], p.strings[op.d()]));
        break;
      case OpKind::RowidGuard:
        if (r[op.b].is_int() && BKF_TRY(rowid_exists(op.a, r[op.b]))) {
          return Error::constraint("UNIQUE constraint failed: " + p.strings[op.c]);
        }
        break;
      case OpKind::IdxKeyGuard:
        BKF_TRY(idx_key_guard(op.a, r[op.b]));
        break;

      // ---- grouping and aggregates ----
      case OpKind::AggStart:
        // Without grouping keys every row stays in the one group.
        if (op.b == 0 && has_group_ && groups_[current_group_]->key.empty()) break;
        BKF_TRY(agg_start(op.a, op.b));
        break;
      case OpKind::AggStep:
        if (!has_group_) return internal_error("AggStep before any AggStart");
        cur_accs_[op.a].step(r[op.b]);
        break;
      case OpKind::AggRewind:
        BKF_TRY(agg_rewind(op, pc));
        break;
      case OpKind::AggNext:
        if (++group_pos_ < group_order_.size()) {
          load_group_key(op.b, op.c);
          pc = op.a;
        }
        break;
      case OpKind::AggResult:
        if (group_pos_ >= group_order_.size()) return internal_error("AggResult outside the walk over the groups");
        groups_[group_order_[group_pos_]]->accs[op.a].finalize(r[op.b]);
        break;

      // ---- correlated subqueries ----
      case OpKind::ScalarSub:
        BKF_TRY(scalar_sub(p, op));
        break;

      // ---- spool ----
      case OpKind::SpoolRow:
        spool_starts_.push_back(spool_values_.size());
        spool_values_.insert(spool_values_.end(), r + op.a, r + op.a + op.b);
        break;
      case OpKind::SpoolRewind:
        spool_pos_ = 0;
        if (spool_starts_.empty()) pc = op.a;
        else spool_load(op.b, op.c);
        break;
      case OpKind::SpoolNext:
        if (spool_pos_ < spool_starts_.size() && ++spool_pos_ < spool_starts_.size()) {
          spool_load(op.b, op.c);
          pc = op.a;
        }
        break;
    }
  }
  return {};
}

// ---- grouping ----

Status Vm::agg_start(std::uint32_t key_start, std::uint32_t key_count) {
  // Without grouping keys every row belongs to the one group with the empty
  // key.
  if (key_count == 0 && has_group_ && groups_[current_group_]->key.empty()) return {};
  keyenc::encode_identity_key_into(key_scratch_, std::span<const Value>(regs_.data() + key_start, key_count));
  // Input that arrives grouped stays on its group without a map lookup.
  if (has_group_ && GroupIndex::same(groups_[current_group_]->key, key_scratch_)) return {};
  auto key_of = [this](std::uint32_t g) { return std::string_view(groups_[g]->key); };
  const std::uint64_t h = GroupIndex::hash(key_scratch_);
  const std::uint32_t found = group_map_.find(key_scratch_, h, key_of);
  if (found != GroupIndex::kNone) {
    current_group_ = found;
    cur_accs_ = groups_[current_group_]->accs.data();
    has_group_ = true;
    return {};
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
  return {};
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

// ---- spool ----

void Vm::spool_load(std::uint32_t dest, std::uint32_t count) {
  std::size_t begin = spool_starts_[spool_pos_];
  std::size_t end = spool_pos_ + 1 < spool_starts_.size() ? spool_starts_[spool_pos_ + 1] : spool_values_.size();
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

}  // namespace bkf::vdbe
