// Program and Op: one compiled statement for the virtual machine.
//
// A Program is a flat list of instructions (Op) plus the settings the
// database engine applies to the result rows after the run (ORDER BY keys,
// DISTINCT, OFFSET, LIMIT; see post_run.h). A program is never changed by
// running it, so one program can be run any number of times.
//
// Representation. An Op is a 24-byte trivially copyable record: a one-byte
// tag (OpKind), one byte for an enum or bool operand, up to five 32-bit
// operand slots a..e, and an 8-byte immediate (the i64 or f64 constant of
// Integer / Real) that shares its storage with slots d and e. Operands fill
// the slots a, b, c, d, e in their declared order; enum and bool operands go
// to `flag`; strings, byte strings, lists and the items of IN tests live in
// side tables of the Program (`strings`, `reg_lists`, `flag_lists`,
// `param_lists`, `in_sets`) and the op holds their index (and, for lists,
// offset and count). The factories below
// (Op::goto_, Op::binop, ...) are the one place that knows which operand
// goes to which slot; the virtual machine reads the same slots.
//
// Jump targets are instruction indexes; a target equal to ops.size() ends
// the run like Halt. Forward jumps are emitted with a placeholder and filled
// in with Program::patch, which writes the operand fixed by the kind:
//   first operand:  Goto, AggRewind, SpoolRewind
//   second operand: IfFalse, IfTrue, Rewind, Next, IdxNext
//   third operand:  SeekRowid, Seek, IdxConflictJump, RowidExistsJump,
//                   IdxSeek, IdxPrefixGuard, IdxRangeGuard
// AggNext and SpoolNext jump backwards and are never patched.
//
// Validation. Program::validate() checks every register, register run,
// cursor slot, side-table index, sub-program, aggregate index, enum byte and
// jump target once, recursively through the sub-programs, and records the
// program's shape. The virtual machine re-checks a program whose shape changed
// since (or that was never validated) before running it, so its dispatch
// loop indexes registers and slots without bounds checks and a faulty
// program is an internal error rather than memory corruption. Code that
// rewrites operands of already emitted ops in place (other than through
// patch) must call validate() again.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "exec/op_kinds.h"
#include "exec/value_set.h"
#include "sql/cast_type.h"

namespace bkf::vm {

// The instruction kinds, tag = position. 0..59 are the core instruction
// set; 60..65 are the guards that let a statement check every constraint of
// a row before it writes anything, and the spool that lets a statement
// collect rows in a first pass and write them in a second; 66 tests an
// operand against the items of an IN at once.
enum class OpKind : std::uint8_t {
  Halt = 0,
  IfFalse = 1,
  IfTrue = 2,
  Goto = 3,
  NullRow = 4,
  Integer = 5,
  Real = 6,
  Str = 7,
  Blob = 8,
  Null = 9,
  Copy = 10,
  OpenRead = 11,
  OpenWrite = 12,
  Rewind = 13,
  Next = 14,
  SeekRowid = 15,
  CursorSetRowid = 16,
  Seek = 17,
  Rowid = 18,
  Column = 19,
  Count = 20,
  ResultRow = 21,
  Binop = 22,
  Un = 23,
  IsNull = 24,
  MakeRecord = 25,
  MakeUpdatedRecord = 26,
  NewRowid = 27,
  Insert = 28,
  DeleteCurrent = 29,
  TruncateFrom = 30,
  UpdateCurrent = 31,
  ApplyDeferred = 32,
  OpenIndex = 33,
  MakeIndexKey = 34,
  MakeIndexPrefix = 35,
  IdxInsert = 36,
  IdxInsertUnique = 37,
  IdxConflictJump = 38,
  RowidExistsJump = 39,
  IdxDelete = 40,
  NotNullGuard = 41,
  IdxSeek = 42,
  IdxNext = 43,
  IdxRowid = 44,
  IdxPrefixGuard = 45,
  MakeBoundKey = 46,
  IdxRangeGuard = 47,
  AggStart = 48,
  AggStep = 49,
  AggRewind = 50,
  AggNext = 51,
  AggResult = 52,
  Func = 53,
  Cast = 54,
  Affinity = 55,
  Like = 56,
  Param = 57,
  Bind = 58,
  ScalarSub = 59,
  // Fails with Constraint "UNIQUE constraint failed: {column}" when the
  // index holds a key that begins with the prefix and carries a row id other
  // than the one in rowid_reg (Null there: any such key conflicts).
  IdxUniqueGuard = 60,
  // Fails with Constraint "UNIQUE constraint failed: {column}" when the
  // cursor's table holds a row under the Int in key_reg.
  RowidGuard = 61,
  // Fails with the index B-tree's "index key too large ({} bytes)" when the
  // key in key_reg could not be inserted into the cursor's index.
  IdxKeyGuard = 62,
  // Appends registers start..start+count-1 to the run's spool. The first
  // register of a spooled row holds a row id.
  SpoolRow = 63,
  // Loads the first spooled row into dest..; jumps when the spool is empty.
  // Rows are replayed in ascending row-id order, whatever order they were
  // spooled in (so a data change writes its rows in the same order whether
  // an index or a row-id scan found them), and a row id spooled twice is
  // replayed once.
  SpoolRewind = 64,
  // Loads the next spooled row and jumps back; falls through at the end.
  SpoolNext = 65,
  // dest = the OR of a = v over the items v of the program's in_sets[set]
  // (Int 1, Int 0 or Null, as those comparisons give), negated with NOT
  // when the flag is set. The items fixed at compile time are looked up in
  // their ValueSet; `?` values and sub-program parameters among the items
  // are read into a second set the first time the run needs it.
  InSet = 66,
};

inline constexpr int kOpKindCount = 67;

// The name of an instruction kind ("Halt", "IfFalse", ...).
const char* op_kind_name(OpKind k) noexcept;

// Aggregate accumulator kinds. The syntax tree numbers its aggregate
// functions differently (count 0, sum 1, ...); the compiler maps them.
enum class AggKind : std::uint8_t {
  CountStar = 0,
  Count = 1,
  Sum = 2,
  Avg = 3,
  Min = 4,
  Max = 5,
  Any = 6,  // the first value of the group (bare columns of a GROUP BY query)
};

// One aggregate accumulator of a program.
struct AggSpec {
  bool distinct = false;  // only distinct non-Null values count
  AggKind kind = AggKind::CountStar;

  friend bool operator==(const AggSpec&, const AggSpec&) = default;
};

// Where one parameter of a correlated sub-program comes from when ScalarSub
// runs in the calling program.
struct ParamSrc {
  enum class Kind : std::uint8_t { Rowid = 0, Column = 1, Param = 2 };

  Kind kind = Kind::Rowid;
  std::uint32_t cursor = 0;  // Rowid, Column: a table cursor of the caller
  std::uint32_t column = 0;  // Column: column position
  std::uint32_t index = 0;   // Param: the caller's own parameter number

  static ParamSrc rowid(std::uint32_t cur) { return {Kind::Rowid, cur, 0, 0}; }
  static ParamSrc col(std::uint32_t cur, std::uint32_t column) { return {Kind::Column, cur, column, 0}; }
  static ParamSrc param(std::uint32_t idx) { return {Kind::Param, 0, 0, idx}; }

  friend bool operator==(const ParamSrc&, const ParamSrc&) = default;
};

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
  void set_d(std::uint32_t v) noexcept { x = (x & 0xFFFFFFFF00000000ull) | v; }
  void set_e(std::uint32_t v) noexcept { x = (x & 0xFFFFFFFFull) | (std::uint64_t{v} << 32); }
  std::int64_t imm_int() const noexcept { return static_cast<std::int64_t>(x); }
  double imm_real() const noexcept {
    double r;
    std::memcpy(&r, &x, sizeof r);
    return r;
  }
  bool flag_set() const noexcept { return flag != 0; }

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
  // cur (a), key_reg (b), prefix_reg (c), column (d: index into Program::strings)
  static Op idx_insert_unique(std::uint32_t cur, std::uint32_t key_reg, std::uint32_t prefix_reg,
                              std::uint32_t column_idx) {
    return make(OpKind::IdxInsertUnique, cur, key_reg, prefix_reg, column_idx);
  }
  // cur (a), prefix_reg (b), target (c)
  static Op idx_conflict_jump(std::uint32_t cur, std::uint32_t prefix_reg, std::uint32_t target) {
    return make(OpKind::IdxConflictJump, cur, prefix_reg, target);
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
  // cur (a: index cursor), prefix_reg (b), rowid_reg (c), column (d: index into Program::strings)
  static Op idx_unique_guard(std::uint32_t cur, std::uint32_t prefix_reg, std::uint32_t rowid_reg,
                             std::uint32_t column_idx) {
    return make(OpKind::IdxUniqueGuard, cur, prefix_reg, rowid_reg, column_idx);
  }
  // cur (a: table cursor), key_reg (b), column (c: index into Program::strings)
  static Op rowid_guard(std::uint32_t cur, std::uint32_t key_reg, std::uint32_t column_idx) {
    return make(OpKind::RowidGuard, cur, key_reg, column_idx);
  }
  // cur (a: index cursor), key_reg (b)
  static Op idx_key_guard(std::uint32_t cur, std::uint32_t key_reg) { return make(OpKind::IdxKeyGuard, cur, key_reg); }
  // start (a), count (b)
  static Op spool_row(std::uint32_t start, std::uint32_t count) { return make(OpKind::SpoolRow, start, count); }
  // empty_target (a), dest (b), count (c)
  static Op spool_rewind(std::uint32_t empty_target, std::uint32_t dest, std::uint32_t count) {
    return make(OpKind::SpoolRewind, empty_target, dest, count);
  }
  // row_target (a), dest (b), count (c)
  static Op spool_next(std::uint32_t row_target, std::uint32_t dest, std::uint32_t count) {
    return make(OpKind::SpoolNext, row_target, dest, count);
  }
  // set (a: index into Program::in_sets), a (b), negated (flag), dest (c)
  static Op in_set(std::uint32_t set, std::uint32_t src, bool negated, std::uint32_t dest) {
    return make(OpKind::InSet, set, src, dest, 0, 0, negated);
  }
};

static_assert(sizeof(Op) == 24, "Op is meant to stay a compact 24-byte record");

// The jump operand of an instruction kind that Program::patch fills in: 0, 1
// or 2 for the first, second or third operand (slots a, b, c); -1 when the
// kind has no patchable target.
int patch_slot(OpKind k) noexcept;

// The items of one InSet: the values known when the program was compiled,
// and the `?` values and sub-program parameters (by number; past the end
// reads Null) that each run reads once.
struct InSetSpec {
  ValueSet values;
  std::vector<std::uint32_t> binds;
  std::vector<std::uint32_t> params;

  bool reads_run_values() const noexcept { return !binds.empty() || !params.empty(); }
};

// The compiled statement.
class Program {
 public:
  // ---- settings applied after the run (post_run.h) ----
  std::optional<std::int64_t> limit;   // a negative LIMIT keeps no rows
  std::optional<std::int64_t> offset;  // a negative OFFSET drops nothing
  // ---- what the virtual machine runs ----
  std::vector<Op> ops;                 // execution starts at index 0
  std::vector<AggSpec> agg_specs;      // indexed by AggStep / AggResult
  std::vector<std::string> columns;    // names of the visible result columns
  std::vector<bool> order_desc;        // one flag per ORDER BY key (true = DESC)
  std::vector<Program> subprograms;    // correlated scalar subqueries (ScalarSub.sub)
  std::uint32_t nregs = 0;             // registers 0..nregs-1 (at least one exists)
  std::uint32_t ncursors = 0;          // table-cursor slots
  std::uint32_t nindex_cursors = 0;    // index-cursor slots
  std::uint32_t visible = 0;           // result columns the caller sees; ORDER BY keys trail them
  bool distinct = false;               // SELECT DISTINCT
  // ---- side tables referenced from ops ----
  std::vector<std::string> strings;        // Str / Blob constants and constraint names
  std::vector<std::uint32_t> reg_lists;    // Func arguments
  std::vector<std::uint8_t> flag_lists;    // MakeUpdatedRecord keep flags (0 / 1)
  std::vector<ParamSrc> param_lists;       // ScalarSub parameter sources
  std::vector<InSetSpec> in_sets;          // InSet items

  // Appends an instruction and returns its index.
  std::uint32_t emit(const Op& op);
  // Writes `target` into the jump operand of instruction `at` (see the file
  // comment). Patching an instruction without one is a programming error.
  void patch(std::uint32_t at, std::uint32_t target);
  // The index the next emitted instruction gets.
  std::uint32_t next_index() const noexcept { return static_cast<std::uint32_t>(ops.size()); }

  // Side-table entries; each returns the index (or list offset) to put in an op.
  std::uint32_t add_string(std::string_view s);
  std::uint32_t add_reg_list(std::span<const std::uint32_t> regs);
  std::uint32_t add_reg_list(std::initializer_list<std::uint32_t> regs) {
    return add_reg_list(std::span<const std::uint32_t>(regs.begin(), regs.size()));
  }
  std::uint32_t add_flag_list(const std::vector<bool>& flags);
  std::uint32_t add_flag_list(std::initializer_list<bool> flags) { return add_flag_list(std::vector<bool>(flags)); }
  std::uint32_t add_param_list(std::span<const ParamSrc> params);
  std::uint32_t add_param_list(std::initializer_list<ParamSrc> params) {
    return add_param_list(std::span<const ParamSrc>(params.begin(), params.size()));
  }
  // Appends a sub-program and returns its index for ScalarSub.
  std::uint32_t add_subprogram(Program sub);
  // Appends the items of an InSet (values finished) and returns their index.
  std::uint32_t add_in_set(InSetSpec items);

  // Checks the whole program (see the file comment) and, on success,
  // records its shape so that the virtual machine can skip the check.
  Status validate();
  // The same check without recording anything.
  Status check() const;
  // Whether validate() succeeded on this program as it now is (same shape).
  bool is_validated() const noexcept;

  // The debug form of instruction i, e.g. `IfFalse { reg: 3, target: 9 }`.
  std::string op_debug(std::size_t i) const;
  // A listing of every instruction, one per line, prefixed by its index,
  // followed by the sub-programs.
  std::string debug() const;

 private:
  struct Shape {
    std::size_t ops, agg_specs, subprograms, strings, reg_lists, flag_lists, param_lists, in_sets;
    std::uint32_t nregs, ncursors, nindex_cursors;
    friend bool operator==(const Shape&, const Shape&) = default;
  };
  Shape shape() const noexcept;
  std::optional<Shape> validated_;
};

}  // namespace bkf::vm
