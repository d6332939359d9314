// Op: one instruction of the virtual machine, and its kinds.
//
// OpKind and the table of every kind's operands are generated from the one
// list of op_list.h. An Op is a 24-byte trivially copyable record: a
// one-byte tag (OpKind), one byte for an enum or bool operand, up to five
// 32-bit operand slots a..e, and an 8-byte immediate (the i64 or f64
// constant of Integer / Real) that shares its storage with slots d and e.
// Operands fill the slots a, b, c, d, e in their declared order; enum and
// bool operands go to `flag`; strings, byte strings, lists and the items of
// IN tests live in side tables of the Program (program.h) and the op holds
// their index (and, for lists, offset and count). The factories below
// (Op::goto_, Op::binop, ...) are the one place that knows which operand
// goes to which slot; the list of op_list.h describes the same slots for
// validation and the debug form, and the virtual machine reads them.
//
// Jump targets are instruction indexes; a target equal to the number of
// instructions ends the run like Halt. A forward jump is emitted with a
// placeholder and filled in by Program::patch, which writes the operand
// patch_slot() names: the kind's Target operand. AggNext and SpoolNext jump
// backwards to a place known when they are emitted (BackTarget) and are
// never patched.
#pragma once

#include <cstdint>
#include <cstring>

#include "exec/op_kinds.h"
#include "exec/vm/op_list.h"
#include "sql/cast_type.h"

namespace bkf::vm {

// The instruction kinds, tag = position in BKF_OP_LIST.
enum class OpKind : std::uint8_t {
#define BKF_OP_ENUM(name, tag, ...) name = tag,
  BKF_OP_LIST(BKF_OP_ENUM)
#undef BKF_OP_ENUM
};

#define BKF_OP_COUNT(name, tag, ...) +1
inline constexpr int kOpKindCount = 0 BKF_OP_LIST(BKF_OP_COUNT);
#undef BKF_OP_COUNT

namespace detail {
// Whether the list gives the tags 0, 1, 2, ... in order, so that tables
// generated from it and indexed by tag find each kind's own entry.
constexpr bool op_tags_in_order() {
  int position = 0;
  bool in_order = true;
#define BKF_OP_TAG(name, tag, ...) in_order = in_order && (tag) == position++;
  BKF_OP_LIST(BKF_OP_TAG)
#undef BKF_OP_TAG
  return in_order;
}
}  // namespace detail
static_assert(detail::op_tags_in_order(), "BKF_OP_LIST must list the kinds in tag order, from 0");

// IdxProbe's mode bits (its flag byte).
inline constexpr std::uint8_t kProbeLower = 1;             // the keys hold a lower bound of the next column
inline constexpr std::uint8_t kProbeUpper = 2;             // the keys end with an upper bound of it
inline constexpr std::uint8_t kProbeSkipEmptyRegions = 4;  // skip ranges in regions holding no entry
inline constexpr std::uint8_t kProbeModeMask = 7;

// The name of an instruction kind and its operands, in declared order.
struct OpInfo {
  static constexpr int kMaxOperands = 6;
  const char* name;
  oplist::OperandInfo operands[kMaxOperands];

  int operand_count() const noexcept {
    int n = 0;
    while (n < kMaxOperands && operands[n].name != nullptr) ++n;
    return n;
  }
};

// The entry of kind k; nullptr for a tag past the last kind.
const OpInfo* op_info(OpKind k) noexcept;

// The jump operand of kind k that Program::patch fills in (its Target): 0,
// 1 or 2 for slot a, b or c; -1 when the kind has none.
int patch_slot(OpKind k) noexcept;
// The slot of kind k's jump target of either sort (Target or BackTarget), -1
// when it has none.
int jump_slot(OpKind k) noexcept;

// One instruction. See the file comment for the layout; the comment on each
// factory lists the operands in declared order with their slots.
struct Op {
  OpKind kind = OpKind::Halt;
  std::uint8_t flag = 0;  // BinKind / UnKind / CastType / ScalarKind / bool
  std::uint16_t reserved_ = 0;
  std::uint32_t a = 0;
  std::uint32_t b = 0;
  std::uint32_t c = 0;
  std::uint64_t x = 0;  // slots d (low half) and e (high half), or the immediate

  std::uint32_t d() const noexcept { return static_cast<std::uint32_t>(x); }
  std::uint32_t e() const noexcept { return static_cast<std::uint32_t>(x >> 32); }
  // Slot a, b, c, d or e by number (0..4, oplist::A..E).
  std::uint32_t slot(std::uint8_t s) const noexcept {
    switch (s) {
      case 0: return a;
      case 1: return b;
      case 2: return c;
      case 3: return d();
      default: return e();
    }
  }
  std::int64_t imm_int() const noexcept { return static_cast<std::int64_t>(x); }
  double imm_real() const noexcept {
    double r;
    std::memcpy(&r, &x, sizeof r);
    return r;
  }

  // ---- factories: operands in declared order (slot) ----
  static Op make(OpKind k, std::uint32_t a = 0, std::uint32_t b = 0, std::uint32_t c = 0,
                 std::uint32_t d = 0, std::uint32_t e = 0, std::uint8_t flag = 0) {
    Op op;
    op.kind = k;
    op.flag = flag;
    op.a = a;
    op.b = b;
    op.c = c;
    op.x = (std::uint64_t{e} << 32) | d;
    return op;
  }

  static Op halt() { return make(OpKind::Halt); }
  // reg (a), target (b)
  static Op if_false(std::uint32_t reg, std::uint32_t target) { return make(OpKind::IfFalse, reg, target); }
  static Op if_true(std::uint32_t reg, std::uint32_t target) { return make(OpKind::IfTrue, reg, target); }
  // target (a)
  static Op goto_(std::uint32_t target) { return make(OpKind::Goto, target); }
  // cur (a)
  static Op null_row(std::uint32_t cur) { return make(OpKind::NullRow, cur); }
  // v (immediate), dest (a)
  static Op integer(std::int64_t v, std::uint32_t dest) {
    Op op = make(OpKind::Integer, dest);
    op.x = static_cast<std::uint64_t>(v);
    return op;
  }
  static Op real(double v, std::uint32_t dest) {
    Op op = make(OpKind::Real, dest);
    std::memcpy(&op.x, &v, sizeof v);
    return op;
  }
  // v (a: index into Program::strings), dest (b)
  static Op str(std::uint32_t text_idx, std::uint32_t dest) { return make(OpKind::Str, text_idx, dest); }
  static Op blob(std::uint32_t bytes_idx, std::uint32_t dest) { return make(OpKind::Blob, bytes_idx, dest); }
  // dest (a)
  static Op null(std::uint32_t dest) { return make(OpKind::Null, dest); }
  // src (a), dest (b)
  static Op copy(std::uint32_t src, std::uint32_t dest) { return make(OpKind::Copy, src, dest); }
  // cur (a), root (b)
  static Op open_read(std::uint32_t cur, std::uint32_t root) { return make(OpKind::OpenRead, cur, root); }
  static Op open_write(std::uint32_t cur, std::uint32_t root) { return make(OpKind::OpenWrite, cur, root); }
  // cur (a), empty_target (b)
  static Op rewind(std::uint32_t cur, std::uint32_t empty_target) { return make(OpKind::Rewind, cur, empty_target); }
  // cur (a), row_target (b)
  static Op next(std::uint32_t cur, std::uint32_t row_target) { return make(OpKind::Next, cur, row_target); }
  // cur (a), key_reg (b), notfound_target (c)
  static Op seek_rowid(std::uint32_t cur, std::uint32_t key_reg, std::uint32_t notfound_target) {
    return make(OpKind::SeekRowid, cur, key_reg, notfound_target);
  }
  // cur (a), rowid_reg (b)
  static Op cursor_set_rowid(std::uint32_t cur, std::uint32_t rowid_reg) {
    return make(OpKind::CursorSetRowid, cur, rowid_reg);
  }
  // cur (a), key_reg (b), empty_target (c)
  static Op seek(std::uint32_t cur, std::uint32_t key_reg, std::uint32_t empty_target) {
    return make(OpKind::Seek, cur, key_reg, empty_target);
  }
  // cur (a), dest (b)
  static Op rowid(std::uint32_t cur, std::uint32_t dest) { return make(OpKind::Rowid, cur, dest); }
  // cur (a), col (b), dest (c)
  static Op column(std::uint32_t cur, std::uint32_t col, std::uint32_t dest) {
    return make(OpKind::Column, cur, col, dest);
  }
  // cur (a), dest (b)
  static Op count(std::uint32_t cur, std::uint32_t dest) { return make(OpKind::Count, cur, dest); }
  // start (a), count (b)
  static Op result_row(std::uint32_t start, std::uint32_t count) { return make(OpKind::ResultRow, start, count); }
  // op (flag), a (a), b (b), dest (c)
  static Op binop(BinKind op, std::uint32_t lhs, std::uint32_t rhs, std::uint32_t dest) {
    return make(OpKind::Binop, lhs, rhs, dest, 0, 0, static_cast<std::uint8_t>(op));
  }
  // op (flag), a (a), dest (b)
  static Op un(UnKind op, std::uint32_t src, std::uint32_t dest) {
    return make(OpKind::Un, src, dest, 0, 0, 0, static_cast<std::uint8_t>(op));
  }
  // a (a), negated (flag), dest (b)
  static Op is_null(std::uint32_t src, bool negated, std::uint32_t dest) {
    return make(OpKind::IsNull, src, dest, 0, 0, 0, negated);
  }
  // start (a), count (b), dest (c)
  static Op make_record(std::uint32_t start, std::uint32_t count, std::uint32_t dest) {
    return make(OpKind::MakeRecord, start, count, dest);
  }
  // cur (a), start (b), kept (c: offset into Program::flag_lists, d: count), dest (e)
  static Op make_updated_record(std::uint32_t cur, std::uint32_t start, std::uint32_t kept_off,
                                std::uint32_t kept_count, std::uint32_t dest) {
    return make(OpKind::MakeUpdatedRecord, cur, start, kept_off, kept_count, dest);
  }
  // cur (a), dest (b)
  static Op new_rowid(std::uint32_t cur, std::uint32_t dest) { return make(OpKind::NewRowid, cur, dest); }
  // cur (a), record_reg (b), rowid_reg (c)
  static Op insert(std::uint32_t cur, std::uint32_t record_reg, std::uint32_t rowid_reg) {
    return make(OpKind::Insert, cur, record_reg, rowid_reg);
  }
  // cur (a)
  static Op delete_current(std::uint32_t cur) { return make(OpKind::DeleteCurrent, cur); }
  // cur (a), key_reg (b)
  static Op truncate_from(std::uint32_t cur, std::uint32_t key_reg) { return make(OpKind::TruncateFrom, cur, key_reg); }
  // cur (a), record_reg (b)
  static Op update_current(std::uint32_t cur, std::uint32_t record_reg) {
    return make(OpKind::UpdateCurrent, cur, record_reg);
  }
  // cur (a)
  static Op apply_deferred(std::uint32_t cur) { return make(OpKind::ApplyDeferred, cur); }
  // cur (a: index cursor), root (b)
  static Op open_index(std::uint32_t cur, std::uint32_t root) { return make(OpKind::OpenIndex, cur, root); }
  // start (a), count (b), rowid_reg (c), dest (d)
  static Op make_index_key(std::uint32_t start, std::uint32_t count, std::uint32_t rowid_reg, std::uint32_t dest) {
    return make(OpKind::MakeIndexKey, start, count, rowid_reg, dest);
  }
  // start (a), count (b), dest (c)
  static Op make_index_prefix(std::uint32_t start, std::uint32_t count, std::uint32_t dest) {
    return make(OpKind::MakeIndexPrefix, start, count, dest);
  }
  // cur (a), key_reg (b)
  static Op idx_insert(std::uint32_t cur, std::uint32_t key_reg) { return make(OpKind::IdxInsert, cur, key_reg); }
  // The UNIQUE instructions (IdxInsertUnique, IdxConflictJump,
  // IdxUniqueGuard, IdxNextConflict) check a row's indexed values, the
  // registers values..values+count-1 in index order, against the entries of
  // a UNIQUE index: an entry conflicts when its key begins with the values'
  // key prefix and its row holds values equal to them (catalog/unique_probe.h,
  // reading rows as the Program::unique_specs entry `unique` says). Rows in
  // the check_only() list count as deleted.
  //
  // Fails with Constraint "UNIQUE constraint failed: {label}" on a
  // conflicting entry, else inserts the key in key_reg.
  // cur (a), key_reg (b), values (c), count (d), unique (e)
  static Op idx_insert_unique(std::uint32_t cur, std::uint32_t key_reg, std::uint32_t values, std::uint32_t count,
                              std::uint32_t unique) {
    return make(OpKind::IdxInsertUnique, cur, key_reg, values, count, unique);
  }
  // Jumps to target when some entry conflicts.
  // cur (a), target (b), values (c), count (d), unique (e)
  static Op idx_conflict_jump(std::uint32_t cur, std::uint32_t target, std::uint32_t values, std::uint32_t count,
                              std::uint32_t unique) {
    return make(OpKind::IdxConflictJump, cur, target, values, count, unique);
  }
  // cur (a: table cursor), key_reg (b), target (c)
  static Op rowid_exists_jump(std::uint32_t cur, std::uint32_t key_reg, std::uint32_t target) {
    return make(OpKind::RowidExistsJump, cur, key_reg, target);
  }
  // cur (a), key_reg (b)
  static Op idx_delete(std::uint32_t cur, std::uint32_t key_reg) { return make(OpKind::IdxDelete, cur, key_reg); }
  // reg (a), column (b: index into Program::strings)
  static Op not_null_guard(std::uint32_t reg, std::uint32_t column_idx) {
    return make(OpKind::NotNullGuard, reg, column_idx);
  }
  // cur (a), prefix_reg (b), notfound_target (c)
  static Op idx_seek(std::uint32_t cur, std::uint32_t prefix_reg, std::uint32_t notfound_target) {
    return make(OpKind::IdxSeek, cur, prefix_reg, notfound_target);
  }
  // cur (a), row_target (b)
  static Op idx_next(std::uint32_t cur, std::uint32_t row_target) { return make(OpKind::IdxNext, cur, row_target); }
  // cur (a), dest (b)
  static Op idx_rowid(std::uint32_t cur, std::uint32_t dest) { return make(OpKind::IdxRowid, cur, dest); }
  // cur (a), prefix_reg (b), fail_target (c)
  static Op idx_prefix_guard(std::uint32_t cur, std::uint32_t prefix_reg, std::uint32_t fail_target) {
    return make(OpKind::IdxPrefixGuard, cur, prefix_reg, fail_target);
  }
  // start (a), count (b), pad (flag), dest (c)
  static Op make_bound_key(std::uint32_t start, std::uint32_t count, bool pad, std::uint32_t dest) {
    return make(OpKind::MakeBoundKey, start, count, dest, 0, 0, pad);
  }
  // cur (a), bound_reg (b), fail_target (c)
  static Op idx_range_guard(std::uint32_t cur, std::uint32_t bound_reg, std::uint32_t fail_target) {
    return make(OpKind::IdxRangeGuard, cur, bound_reg, fail_target);
  }
  // key_start (a), key_count (b)
  static Op agg_start(std::uint32_t key_start, std::uint32_t key_count) {
    return make(OpKind::AggStart, key_start, key_count);
  }
  // idx (a), arg_reg (b)
  static Op agg_step(std::uint32_t idx, std::uint32_t arg_reg) { return make(OpKind::AggStep, idx, arg_reg); }
  // done_target (a), key_dest (b), key_count (c), grouped (flag)
  static Op agg_rewind(std::uint32_t done_target, std::uint32_t key_dest, std::uint32_t key_count, bool grouped) {
    return make(OpKind::AggRewind, done_target, key_dest, key_count, 0, 0, grouped);
  }
  // row_target (a), key_dest (b), key_count (c)
  static Op agg_next(std::uint32_t row_target, std::uint32_t key_dest, std::uint32_t key_count) {
    return make(OpKind::AggNext, row_target, key_dest, key_count);
  }
  // idx (a), dest (b)
  static Op agg_result(std::uint32_t idx, std::uint32_t dest) { return make(OpKind::AggResult, idx, dest); }
  // kind (flag), args (a: offset into Program::reg_lists, b: count), dest (c)
  static Op func(ScalarKind kind, std::uint32_t args_off, std::uint32_t args_count, std::uint32_t dest) {
    return make(OpKind::Func, args_off, args_count, dest, 0, 0, static_cast<std::uint8_t>(kind));
  }
  // a (a), to (flag), dest (b)
  static Op cast(std::uint32_t src, CastType to, std::uint32_t dest) {
    return make(OpKind::Cast, src, dest, 0, 0, 0, static_cast<std::uint8_t>(to));
  }
  // reg (a), real (flag)
  static Op affinity(std::uint32_t reg, bool real) { return make(OpKind::Affinity, reg, 0, 0, 0, 0, real); }
  // a (a), pat (b), negated (flag), dest (c)
  static Op like(std::uint32_t src, std::uint32_t pat, bool negated, std::uint32_t dest) {
    return make(OpKind::Like, src, pat, dest, 0, 0, negated);
  }
  // idx (a), dest (b)
  static Op param(std::uint32_t idx, std::uint32_t dest) { return make(OpKind::Param, idx, dest); }
  static Op bind(std::uint32_t idx, std::uint32_t dest) { return make(OpKind::Bind, idx, dest); }
  // sub (a), params (b: offset into Program::param_lists, c: count), dest (d)
  static Op scalar_sub(std::uint32_t sub, std::uint32_t params_off, std::uint32_t params_count, std::uint32_t dest) {
    return make(OpKind::ScalarSub, sub, params_off, params_count, dest);
  }
  // Fails with Constraint "UNIQUE constraint failed: {label}" when an entry
  // of a row other than the one in rowid_reg (Null there: of any row)
  // conflicts with the values (see idx_insert_unique).
  // cur (a: index cursor), rowid_reg (b), values (c), count (d), unique (e)
  static Op idx_unique_guard(std::uint32_t cur, std::uint32_t rowid_reg, std::uint32_t values, std::uint32_t count,
                             std::uint32_t unique) {
    return make(OpKind::IdxUniqueGuard, cur, rowid_reg, values, count, unique);
  }
  // Fails with Constraint "UNIQUE constraint failed: {column}" when the
  // cursor's table holds a row under the Int in key_reg.
  // cur (a: table cursor), key_reg (b), column (c: index into Program::strings)
  static Op rowid_guard(std::uint32_t cur, std::uint32_t key_reg, std::uint32_t column_idx) {
    return make(OpKind::RowidGuard, cur, key_reg, column_idx);
  }
  // Fails with the index B-tree's "index key too large ({} bytes)" when the
  // key in key_reg could not be inserted into the cursor's index.
  // cur (a: index cursor), key_reg (b)
  static Op idx_key_guard(std::uint32_t cur, std::uint32_t key_reg) { return make(OpKind::IdxKeyGuard, cur, key_reg); }
  // Appends registers start..start+count-1 to the run's spool. The first
  // register of a spooled row holds a row id.
  // start (a), count (b)
  static Op spool_row(std::uint32_t start, std::uint32_t count) { return make(OpKind::SpoolRow, start, count); }
  // Loads the first spooled row into dest..; jumps when the spool is empty.
  // Rows are replayed in ascending row-id order, whatever order they were
  // spooled in (so a data change writes its rows in the same order whether
  // an index or a row-id scan found them), and a row id spooled twice is
  // replayed once.
  // empty_target (a), dest (b), count (c)
  static Op spool_rewind(std::uint32_t empty_target, std::uint32_t dest, std::uint32_t count) {
    return make(OpKind::SpoolRewind, empty_target, dest, count);
  }
  // Loads the next spooled row and jumps back; falls through at the end.
  // row_target (a), dest (b), count (c)
  static Op spool_next(std::uint32_t row_target, std::uint32_t dest, std::uint32_t count) {
    return make(OpKind::SpoolNext, row_target, dest, count);
  }
  // dest = the OR of a = v over the items v of the program's in_sets[set]
  // (Int 1, Int 0 or Null, as those comparisons give), negated with NOT
  // when the flag is set. The items fixed at compile time are looked up in
  // their ValueSet; `?` values and sub-program parameters among the items
  // are read into a second set the first time the run needs it.
  // set (a: index into Program::in_sets), a (b), negated (flag), dest (c)
  static Op in_set(std::uint32_t set, std::uint32_t src, bool negated, std::uint32_t dest) {
    return make(OpKind::InSet, set, src, dest, 0, 0, negated);
  }
  // Moves the index cursor to the first entry of the next key range of an
  // index probe that holds one, or jumps to done_target when no range is
  // left. The probe's values are in registers keys..keys+count-1: the values
  // of the leading index columns' equalities, then the next column's lower
  // bound (kProbeLower) and its upper bound (kProbeUpper). Its ranges are
  // keyenc::ProbeRanges of them (btree/key_ranges.h), computed when the
  // state says 0. Three state registers: state holds the number of the next
  // range to try (the compiler loads Int 0 before each probe), state + 1
  // receives the upper bound of the range entered (for IdxRangeGuard), state
  // + 2 Int 1 when every entry of that range satisfies the probe (else 0).
  // With kProbeSkipEmptyRegions, ranges whose entries would have their first
  // value in regions of the index that hold no entry are passed over without
  // a seek; the regions are looked at by the first probe after OpenIndex. A
  // probe is the loop
  //         Integer 0 -> state
  //   probe IdxProbe cur, state, done, keys, count, mode
  //   body  IdxRangeGuard cur, state + 1 -> probe
  //         ... the entry's row ...
  //         IdxNext cur -> body
  //         Goto probe
  //   done
  // cur (a: index cursor), state (b), done_target (c), keys (d), count (e), mode (flag)
  static Op idx_probe(std::uint32_t cur, std::uint32_t state, std::uint32_t done_target, std::uint32_t keys,
                      std::uint32_t count, std::uint8_t mode) {
    return make(OpKind::IdxProbe, cur, state, done_target, keys, count, mode);
  }
  // The row id of the next conflicting entry into dest, Null when there is
  // none (see idx_insert_unique): with restart, the first entry with the
  // values' prefix is the next; without, the one after the entry the
  // previous IdxNextConflict on this cursor found, the values unchanged.
  // Walks the index cursor itself.
  // cur (a), dest (b), values (c), count (d), unique (e), restart (flag)
  static Op idx_next_conflict(std::uint32_t cur, std::uint32_t dest, std::uint32_t values, std::uint32_t count,
                              std::uint32_t unique, bool restart) {
    return make(OpKind::IdxNextConflict, cur, dest, values, count, unique, restart);
  }
};

static_assert(sizeof(Op) == 24, "Op is meant to stay a compact 24-byte record");

}  // namespace bkf::vm
