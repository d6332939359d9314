// The expression compiler: one Expr of the syntax tree into instructions
// that leave its value in a register.
//
// Two modes share one code generator:
//   - scan mode (compile_expr): column references resolve through the
//     query's Ctx into Column / Rowid reads of its cursors; an aggregate call
//     is an error ("aggregate functions are not allowed here"); a scalar
//     subquery becomes a correlated sub-program (subquery.h);
//   - group mode (the group phase of an aggregate query): an expression
//     equal to a GROUP BY expression reads its group-key register, an
//     aggregate call reads its accumulator's result register, a bare column
//     is an error, and subqueries are not accepted.
//
// Compilation is iterative (an explicit stack of frames), so an expression
// of any depth compiles without exhausting the machine stack. Operands are
// compiled first, left to right; the result register is allocated after
// them and never aliases an operand's register. Both operands of AND and
// OR are always evaluated.
//
// IN tests reach the compiler as the comparisons folding made of them: a
// tree of x = v1 OR x = v2 ... (x <> v AND ... for NOT IN) whose
// comparisons all have the same left operand x. Any such tree, however it
// was written, is compiled with x evaluated once. When two or more of its
// items are values fixed for the run (literals, negated number literals,
// `?` values, sub-program parameters), those are tested in one InSet; the
// other items keep their comparisons, joined to it by OR (or AND). The
// answer is the one the comparisons give: they are pure, and OR and AND are
// associative and commutative in three-valued logic.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/result.h"
#include "exec/compile/expr_util.h"
#include "exec/compile/gen.h"
#include "exec/compile/scope.h"
#include "sql/ast.h"

namespace bkf::compile {

// What the group phase of an aggregate query can read.
struct AggContext {
  const std::vector<ExprPtr>* group_by = nullptr;  // the GROUP BY expressions
  std::uint32_t key_start = 0;                     // K: the current group's key values
  std::uint32_t result_start = 0;                  // R: accumulator results, by index
  const std::vector<AggCall>* calls = nullptr;     // aggregate node -> accumulator index
};

class ExprCompiler {
 public:
  // Scan mode; ctx may be null (no FROM: every column reference fails).
  ExprCompiler(Gen& gen, const Ctx* ctx) : g_(gen), ctx_(ctx) {}
  // Group mode.
  ExprCompiler(Gen& gen, const AggContext& agg) : g_(gen), agg_(&agg) {}

  // References to levels after `level` fail with "ON clause refers to a
  // later table: {name}" (used while compiling an ON condition, whose later
  // tables are not positioned yet).
  void set_max_level(std::optional<std::uint32_t> level) { max_level_ = level; }

  // Compiles e; returns the register holding its value.
  Result<std::uint32_t> compile(const Expr& e);
  // Compiles e so that its value lands in `target`: a Null, integer, real or
  // string literal, a column, a `?` value or a sub-program parameter is
  // loaded straight into it, anything else is compiled and copied.
  Status compile_into(const Expr& e, std::uint32_t target);

 private:
  // compile() of a part of the tree compile() was given: a loop over an
  // explicit stack of the nodes being compiled (Walk), each step of which
  // one of the functions below takes.
  struct Walk;
  Result<std::uint32_t> compile_tree(const Expr& e);
  // A node without operands: a literal, column, aggregate result, subquery
  // or parameter. A literal that is an operand comes from the constant pool.
  Result<std::uint32_t> leaf(const Expr& e, bool is_operand);
  // An operator (unary, binary, IS NULL, function, CAST, LIKE): first its
  // operands, then the instruction.
  Status operator_step(Walk& w);
  // CASE, part by part.
  Status case_step(Walk& w);
  Status case_next_pair(Walk& w);
  Status case_end(Walk& w);
  Status check_level(std::uint32_t level) const;
  // The constant-pool register holding the value of a literal.
  std::uint32_t pooled_literal(const Expr& e);
  Result<std::uint32_t> column_ref(const Expr::Column& c);
  Status column_into(const Expr::Column& c, std::uint32_t target);
  Result<std::uint32_t> subquery(const SelectStmt& s);
  std::optional<std::uint32_t> group_key(const Expr& e) const;
  // An IN tree (InTrees) with its shared operand.
  Result<std::uint32_t> in_tree(const Expr& e, const Expr& operand);
  // A register holding the value of e (a part of the tree) for an operator
  // to read: a literal from the constant pool while it has room, anything
  // else compiled.
  Result<std::uint32_t> operand_reg(const Expr& e);

  Gen& g_;
  const Ctx* ctx_ = nullptr;
  const AggContext* agg_ = nullptr;
  std::optional<std::uint32_t> max_level_;
  InTrees in_trees_;
};

inline Status compile_into(Gen& gen, const Expr& e, const Ctx* ctx, std::uint32_t target) {
  return ExprCompiler(gen, ctx).compile_into(e, target);
}

// Loads a literal (Null, Integer, Real, Str, Blob) into `dest`; false when e
// is not such a literal.
bool load_literal(Gen& gen, const Expr& e, std::uint32_t dest);

}  // namespace bkf::compile
