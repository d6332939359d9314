// Small facts about expressions that the statement compilers share: which
// expressions are constants, the top-level AND conjuncts of a condition,
// result-column names, aggregate search and rewriting, and which FROM levels
// an expression reads. Every function here walks iteratively (expr_walk.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "exec/compile/scope.h"
#include "sql/ast.h"

namespace bkf::compile {

// IN tests as folding leaves them: a tree of x = v1 OR x = v2 OR ... (for
// NOT IN, x <> v1 AND x <> v2 AND ...) whose comparisons all have the same
// left operand x (equal with RealEq::Bits), however the tree was written.
// The answers kept name nodes by address: one InTrees serves one tree, while
// that tree lives.
class InTrees {
 public:
  // For an OR or AND node: x when the tree under it is such a test, else
  // null. Answers are kept, so asking about every node of a tree from the
  // top down (not descending into the IN trees found) costs linear time.
  const Expr* operand(const Expr& e);
  // The right sides of the comparisons of such a tree, left to right.
  static std::vector<const Expr*> items(const Expr& e);

 private:
  std::unordered_map<const Expr*, const Expr*> known_;
};

// The top-level conjuncts of a condition: AND nodes split into their
// operands, left before right ((a AND b) AND c gives a, b, c). A NOT IN
// (see InTrees) stays one conjunct, to be tested at once.
std::vector<const Expr*> conjuncts(const Expr& e);

// The result-column name of an expression item without alias: a column
// reference gives its name, count(x) "count(x)", count(*) "count(*)",
// any(x) the name of x; everything else "expr".
std::string expr_name(const Expr& e);

// An aggregate call at the top or inside unary and binary operators, IS
// [NOT] NULL, function arguments, CAST and LIKE (not CASE, subqueries or IN).
bool expr_has_agg(const Expr& e);

// Appends to `list` every aggregate call of e (through operators, function
// arguments, CAST, LIKE and every part of CASE; never into an aggregate's
// argument, subqueries or IN forms) that is not equal (eq with RealEq::Bits)
// to an entry already there. `index_of` receives, for every call met (also
// duplicates), the call's node and its position in the list.
struct AggCall {
  const Expr* node;
  std::uint32_t index;
};
void collect_aggs(const Expr& e, std::vector<const Expr*>& list, std::vector<AggCall>& index_of);

// A copy of e in which every column reference outside an aggregate call
// that is not equal (eq with RealEq::Bits) to one of the GROUP BY expressions
// becomes any(col).
// Walks unary and binary operators, IS [NOT] NULL, CAST, LIKE and function
// arguments; every other kind is copied unchanged.
ExprPtr wrap_bare_columns(const Expr& e, const std::vector<ExprPtr>& group_by);

// Whether a subquery anywhere inside e names the table `table` (exact
// bytes) in a FROM clause, at any nesting depth.
bool expr_reads_table(const Expr& e, std::string_view table);
bool select_reads_table(const SelectStmt& s, std::string_view table);

// The levels an expression reads, by resolving its column references (also
// inside CASE, function arguments and aggregate arguments).
struct LevelUse {
  int deepest = -1;          // deepest level read, -1 when none
  bool subquery = false;     // holds a scalar subquery or IN (subquery)
  bool unresolved = false;   // a reference that does not resolve
};
LevelUse level_use(const Expr& e, const Ctx& ctx);

// Whether e reads a column of `level` other than its row id (a subquery, or
// a reference that does not resolve, counts as reading it).
bool reads_level_columns(const Expr& e, const Ctx& ctx, std::uint32_t level);

}  // namespace bkf::compile
