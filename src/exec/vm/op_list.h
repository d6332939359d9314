// The instruction set of the virtual machine, in one list.
//
// BKF_OP_LIST(X) expands X(Name, tag, operand...) once per instruction kind,
// in tag order. Everything that depends on the set of kinds is generated
// from it: the OpKind enumeration (op.h), the operand table that validation
// and the debug form read (op.cc), and the dispatch table of the machine's
// loop (vm_exec.cc). A kind's tag is its position in the list, which op.h
// checks at compile time. Tags are part of what programs and tests use and
// never change: a new kind is appended.
//
// Each operand is written {name, type, slot} or, for a register run, a list
// and the like, {name, type, slot, slot of its length}, in the operand order
// of the kind. The slots A..E are those of Op (op.h); operands kept in Op's
// flag byte (Bool, BinOp, UnOp, CastTo, Scalar, ProbeMode) or in its
// immediate (Int, Real) have no slot. The operand names are those of the
// debug form ("IfFalse { reg: 3, target: 9 }").
//
// Kinds 0-59 are the core instruction set. 60-62 are the guards that let a
// statement check every constraint of a row before it writes anything,
// 63-65 the spool that lets a statement collect rows in a first pass and
// write them in a second, 66 tests an operand against the items of an IN at
// once, 67 walks the key ranges of an index probe, and 68 walks the rows
// that a row's values conflict with in a UNIQUE index.
#pragma once

#include <cstdint>

namespace bkf::vm::oplist {

// What an operand is, for validation and for the debug form.
enum class OperandType : std::uint8_t {
  Reg,          // one register
  Run,          // the first register of a run; its length is in the aux slot
  Count,        // a count (the length of a run)
  Cursor,       // a table-cursor slot
  IndexCursor,  // an index-cursor slot
  Target,       // a jump target, filled in by Program::patch once known
  BackTarget,   // a jump target known when the instruction is emitted
  Root,         // a root page
  Col,          // a column position
  Text,         // an entry of Program::strings, as text
  Bytes,        // an entry of Program::strings, as bytes
  RegList,      // an offset into Program::reg_lists; length in the aux slot
  FlagList,     // an offset into Program::flag_lists; length in the aux slot
  ParamList,    // an offset into Program::param_lists; length in the aux slot
  Unique,       // an index into Program::unique_specs; aux: the slot of the
                // count of the values checked, which is the index's column count
  Agg,          // an accumulator index
  Number,       // a parameter or bind number (past the end reads Null)
  Sub,          // a sub-program index
  InSet,        // an index into Program::in_sets
  ProbeState,   // the first of IdxProbe's three state registers (op.h)
  Bool,         // the flag byte as a bool
  BinOp,        // the flag byte as a BinKind
  UnOp,         // the flag byte as an UnKind
  CastTo,       // the flag byte as a CastType
  Scalar,       // the flag byte as a ScalarKind
  ProbeMode,    // the flag byte as IdxProbe's mode bits (op.h); aux: the slot of its key count
  Int,          // the immediate as an integer
  Real,         // the immediate as a real
};

// The operand slots of Op.
inline constexpr std::uint8_t A = 0, B = 1, C = 2, D = 3, E = 4;

// One operand of an instruction kind.
struct OperandInfo {
  const char* name = nullptr;
  OperandType type = OperandType::Reg;
  std::uint8_t slot = 0;
  // Run, RegList, FlagList, ParamList: the slot of the length; ProbeMode:
  // the slot of the key count; Unique: the slot of the value count.
  std::uint8_t aux = 0;
};

}  // namespace bkf::vm::oplist

// clang-format off
#define BKF_OP_LIST(X)                                                                                        \
  /* ---- control flow, constants and registers ---- */                                                       \
  X(Halt, 0)                                                                                                  \
  X(IfFalse, 1, {"reg", Reg, A}, {"target", Target, B})                                                       \
  X(IfTrue, 2, {"reg", Reg, A}, {"target", Target, B})                                                        \
  X(Goto, 3, {"target", Target, A})                                                                           \
  X(NullRow, 4, {"cur", Cursor, A})                                                                           \
  X(Integer, 5, {"v", Int}, {"dest", Reg, A})                                                                 \
  X(Real, 6, {"v", Real}, {"dest", Reg, A})                                                                   \
  X(Str, 7, {"v", Text, A}, {"dest", Reg, B})                                                                 \
  X(Blob, 8, {"v", Bytes, A}, {"dest", Reg, B})                                                               \
  X(Null, 9, {"dest", Reg, A})                                                                                \
  X(Copy, 10, {"src", Reg, A}, {"dest", Reg, B})                                                              \
  /* ---- table cursors ---- */                                                                               \
  X(OpenRead, 11, {"cur", Cursor, A}, {"root", Root, B})                                                      \
  X(OpenWrite, 12, {"cur", Cursor, A}, {"root", Root, B})                                                     \
  X(Rewind, 13, {"cur", Cursor, A}, {"empty_target", Target, B})                                              \
  X(Next, 14, {"cur", Cursor, A}, {"row_target", Target, B})                                                  \
  X(SeekRowid, 15, {"cur", Cursor, A}, {"key_reg", Reg, B}, {"notfound_target", Target, C})                   \
  X(CursorSetRowid, 16, {"cur", Cursor, A}, {"rowid_reg", Reg, B})                                            \
  X(Seek, 17, {"cur", Cursor, A}, {"key_reg", Reg, B}, {"empty_target", Target, C})                           \
  X(Rowid, 18, {"cur", Cursor, A}, {"dest", Reg, B})                                                          \
  X(Column, 19, {"cur", Cursor, A}, {"col", Col, B}, {"dest", Reg, C})                                        \
  X(Count, 20, {"cur", Cursor, A}, {"dest", Reg, B})                                                          \
  X(ResultRow, 21, {"start", Run, A, B}, {"count", Count, B})                                                 \
  /* ---- expressions and records ---- */                                                                     \
  X(Binop, 22, {"op", BinOp}, {"a", Reg, A}, {"b", Reg, B}, {"dest", Reg, C})                                 \
  X(Un, 23, {"op", UnOp}, {"a", Reg, A}, {"dest", Reg, B})                                                    \
  X(IsNull, 24, {"a", Reg, A}, {"negated", Bool}, {"dest", Reg, B})                                           \
  X(MakeRecord, 25, {"start", Run, A, B}, {"count", Count, B}, {"dest", Reg, C})                              \
  X(MakeUpdatedRecord, 26, {"cur", Cursor, A}, {"start", Run, B, D}, {"kept", FlagList, C, D},                \
    {"dest", Reg, E})                                                                                         \
  /* ---- row changes ---- */                                                                                 \
  X(NewRowid, 27, {"cur", Cursor, A}, {"dest", Reg, B})                                                       \
  X(Insert, 28, {"cur", Cursor, A}, {"record_reg", Reg, B}, {"rowid_reg", Reg, C})                            \
  X(DeleteCurrent, 29, {"cur", Cursor, A})                                                                    \
  X(TruncateFrom, 30, {"cur", Cursor, A}, {"key_reg", Reg, B})                                                \
  X(UpdateCurrent, 31, {"cur", Cursor, A}, {"record_reg", Reg, B})                                            \
  X(ApplyDeferred, 32, {"cur", Cursor, A})                                                                    \
  /* ---- index keys and index cursors ---- */                                                                \
  X(OpenIndex, 33, {"cur", IndexCursor, A}, {"root", Root, B})                                                \
  X(MakeIndexKey, 34, {"start", Run, A, B}, {"count", Count, B}, {"rowid_reg", Reg, C}, {"dest", Reg, D})     \
  X(MakeIndexPrefix, 35, {"start", Run, A, B}, {"count", Count, B}, {"dest", Reg, C})                         \
  X(IdxInsert, 36, {"cur", IndexCursor, A}, {"key_reg", Reg, B})                                              \
  X(IdxInsertUnique, 37, {"cur", IndexCursor, A}, {"key_reg", Reg, B}, {"values", Run, C, D},                 \
    {"count", Count, D}, {"unique", Unique, E, D})                                                            \
  X(IdxConflictJump, 38, {"cur", IndexCursor, A}, {"target", Target, B}, {"values", Run, C, D},               \
    {"count", Count, D}, {"unique", Unique, E, D})                                                            \
  X(RowidExistsJump, 39, {"cur", Cursor, A}, {"key_reg", Reg, B}, {"target", Target, C})                      \
  X(IdxDelete, 40, {"cur", IndexCursor, A}, {"key_reg", Reg, B})                                              \
  X(NotNullGuard, 41, {"reg", Reg, A}, {"column", Text, B})                                                   \
  X(IdxSeek, 42, {"cur", IndexCursor, A}, {"prefix_reg", Reg, B}, {"notfound_target", Target, C})             \
  X(IdxNext, 43, {"cur", IndexCursor, A}, {"row_target", Target, B})                                          \
  X(IdxRowid, 44, {"cur", IndexCursor, A}, {"dest", Reg, B})                                                  \
  X(IdxPrefixGuard, 45, {"cur", IndexCursor, A}, {"prefix_reg", Reg, B}, {"fail_target", Target, C})          \
  X(MakeBoundKey, 46, {"start", Run, A, B}, {"count", Count, B}, {"pad", Bool}, {"dest", Reg, C})             \
  X(IdxRangeGuard, 47, {"cur", IndexCursor, A}, {"bound_reg", Reg, B}, {"fail_target", Target, C})            \
  /* ---- grouping and aggregates ---- */                                                                     \
  X(AggStart, 48, {"key_start", Run, A, B}, {"key_count", Count, B})                                          \
  X(AggStep, 49, {"idx", Agg, A}, {"arg_reg", Reg, B})                                                        \
  X(AggRewind, 50, {"done_target", Target, A}, {"key_dest", Run, B, C}, {"key_count", Count, C},              \
    {"grouped", Bool})                                                                                        \
  X(AggNext, 51, {"row_target", BackTarget, A}, {"key_dest", Run, B, C}, {"key_count", Count, C})             \
  X(AggResult, 52, {"idx", Agg, A}, {"dest", Reg, B})                                                         \
  /* ---- functions, conversions, parameters, subqueries ---- */                                              \
  X(Func, 53, {"kind", Scalar}, {"args", RegList, A, B}, {"dest", Reg, C})                                    \
  X(Cast, 54, {"a", Reg, A}, {"to", CastTo}, {"dest", Reg, B})                                                \
  X(Affinity, 55, {"reg", Reg, A}, {"real", Bool})                                                            \
  X(Like, 56, {"a", Reg, A}, {"pat", Reg, B}, {"negated", Bool}, {"dest", Reg, C})                            \
  X(Param, 57, {"idx", Number, A}, {"dest", Reg, B})                                                          \
  X(Bind, 58, {"idx", Number, A}, {"dest", Reg, B})                                                           \
  X(ScalarSub, 59, {"sub", Sub, A}, {"params", ParamList, B, C}, {"dest", Reg, D})                            \
  /* ---- constraint guards ---- */                                                                           \
  X(IdxUniqueGuard, 60, {"cur", IndexCursor, A}, {"rowid_reg", Reg, B}, {"values", Run, C, D},                \
    {"count", Count, D}, {"unique", Unique, E, D})                                                            \
  X(RowidGuard, 61, {"cur", Cursor, A}, {"key_reg", Reg, B}, {"column", Text, C})                             \
  X(IdxKeyGuard, 62, {"cur", IndexCursor, A}, {"key_reg", Reg, B})                                            \
  /* ---- spool ---- */                                                                                       \
  X(SpoolRow, 63, {"start", Run, A, B}, {"count", Count, B})                                                  \
  X(SpoolRewind, 64, {"empty_target", Target, A}, {"dest", Run, B, C}, {"count", Count, C})                   \
  X(SpoolNext, 65, {"row_target", BackTarget, A}, {"dest", Run, B, C}, {"count", Count, C})                   \
  /* ---- IN and index probes ---- */                                                                         \
  X(InSet, 66, {"set", InSet, A}, {"a", Reg, B}, {"negated", Bool}, {"dest", Reg, C})                         \
  X(IdxProbe, 67, {"cur", IndexCursor, A}, {"state", ProbeState, B}, {"done_target", Target, C},              \
    {"keys", Run, D, E}, {"count", Count, E}, {"mode", ProbeMode, 0, E})                                    \
  /* ---- UNIQUE conflicts ---- */                                                                            \
  X(IdxNextConflict, 68, {"cur", IndexCursor, A}, {"dest", Reg, B}, {"values", Run, C, D},                    \
    {"count", Count, D}, {"unique", Unique, E, D}, {"restart", Bool})
// clang-format on
