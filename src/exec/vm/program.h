// Program: one compiled statement for the virtual machine.
//
// A Program is a flat list of instructions (Op, op.h) plus the settings the
// database engine applies to the result rows after the run (ORDER BY keys,
// DISTINCT, OFFSET, LIMIT; see post_run.h). A program is never changed by
// running it, so one program can be run any number of times. Strings, byte
// strings, lists and the items of IN tests live in side tables of the
// program (`strings`, `reg_lists`, `flag_lists`, `param_lists`, `in_sets`,
// `unique_specs`), which the instructions name by index.
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
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "catalog/unique_probe.h"
#include "exec/value_set.h"
#include "exec/vm/op.h"

namespace bkf::vm {

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

// The items of one InSet: the values known when the program was compiled,
// and the `?` values and sub-program parameters (by number; past the end
// reads Null) that each run reads once.
struct InSetSpec {
  ValueSet values;
  std::vector<std::uint32_t> binds;
  std::vector<std::uint32_t> params;

  bool reads_run_values() const noexcept { return !binds.empty() || !params.empty(); }
};

// What the UNIQUE instructions (op.h) need of one index besides its cursor:
// the name their error shows, and where the rows behind its entries are
// read back to compare values (catalog/unique_probe.h).
struct UniqueSpec {
  std::string label;
  catalog::IndexedRows rows;
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
  std::vector<UniqueSpec> unique_specs;    // the indexes of UNIQUE instructions

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
  // Appends what a UNIQUE instruction needs of its index; returns its index.
  std::uint32_t add_unique_spec(UniqueSpec spec);

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
    std::size_t ops, agg_specs, subprograms, strings, reg_lists, flag_lists, param_lists, in_sets, unique_specs;
    std::uint32_t nregs, ncursors, nindex_cursors;
    friend bool operator==(const Shape&, const Shape&) = default;
  };
  Shape shape() const noexcept;
  std::optional<Shape> validated_;
};

}  // namespace bkf::vm
