// Correlated scalar subqueries as sub-programs with parameters.
//
// A scalar subquery still in the tree when a query is compiled (the engine
// folds the ones that run on their own) is compiled into a separate program
// that knows nothing of the enclosing query. Before that, every reference of
// the subquery to a table of an enclosing query becomes a numbered
// sub-program parameter (Expr::SubParam), and a parameter list records, in
// parameter order, where the enclosing program finds each value when its
// ScalarSub instruction runs: a cursor's row id or column, or one of its own
// parameters (for subqueries nested several levels deep).
//
// Rules of the rewrite (subst_select / subst_expr):
//   - an unqualified column reference stays: it resolves inside the
//     subquery only;
//   - a reference q.c whose qualifier names a FROM entry of the subquery or
//     of a subquery between it and the enclosing query (the shadow list,
//     ASCII case folding) stays;
//   - any other q.c is resolved in the enclosing Ctx (its error is the
//     statement's error) and becomes a parameter keyed "{q}.{c}", both
//     lower-cased in ASCII, so q.c and Q.C share one parameter;
//   - a sub-program parameter i of the enclosing query (the enclosing query
//     is itself a sub-program) becomes a parameter keyed "$p{i}";
//   - nested subqueries are rewritten with the shadow list extended by their
//     own FROM names; CASE is rewritten like every other node;
//   - an IN list becomes the chain of comparisons the engine's folding
//     builds (a balanced tree of x = item joined by OR, or x <> item joined
//     by AND for NOT IN).
// Parts are rewritten in this order, which numbers the parameters: result
// items, ON conditions, WHERE, GROUP BY, HAVING, ORDER BY, LIMIT, OFFSET.
// A subquery with UNION members is refused.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/result.h"
#include "exec/compile/gen.h"
#include "exec/compile/scope.h"
#include "sql/ast.h"

namespace bkf::compile {

using ParamMap = std::unordered_map<std::string, std::uint32_t>;

// The index of `key`: its existing one, or a new one (the list's length)
// after appending `src` to the list.
std::uint32_t intern(ParamMap& map, std::vector<ParamSrc>& list, std::string key, const ParamSrc& src);

Result<SelectStmt> subst_select(const SelectStmt& s, const std::vector<std::string>& shadow, const Ctx& ctx,
                                std::vector<ParamSrc>& list, ParamMap& map);
Result<ExprPtr> subst_expr(const Expr& e, const std::vector<std::string>& shadow, const Ctx& ctx,
                           std::vector<ParamSrc>& list, ParamMap& map);

struct CorrelatedSub {
  Program program;
  std::vector<ParamSrc> params;
};

// Rewrites the subquery against the enclosing context and compiles it.
Result<CorrelatedSub> compile_correlated_subquery(const SelectStmt& s, const Ctx& ctx);

// The comparison chain an IN list stands for: operand = item for each item
// joined by OR (operand <> item joined by AND when negated), as a balanced
// tree in item order; an empty list gives 0 (IN) or 1 (NOT IN).
ExprPtr in_list_chain(const Expr::InList& in);

}  // namespace bkf::compile
