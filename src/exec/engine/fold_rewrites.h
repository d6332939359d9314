// The tree rewrites of subquery folding, and the tests that decide when
// folding runs. Nothing here runs a query; folding.h does, with these.
//
// The compiler never meets an uncorrelated subquery or an IN test. Before
// compiling, the engine (fold_statement, folding.h) runs every scalar
// subquery that stands on its own and puts a literal of its value in its
// place, runs every IN (subquery) and puts the comparisons against the
// values it returned in its place, and turns every IN list into comparisons
// against its items. A scalar subquery that cannot run on its own (it
// refers to the enclosing query) stays, and the compiler makes a
// sub-program of it.
//
// The comparisons of an IN test form a balanced tree: x IN (a, b, c, d)
// becomes ((x = a OR x = b) OR (x = c OR x = d)), x NOT IN (...) the same
// with <> and AND. OR and AND are associative in three-valued logic and the
// machine evaluates both operands of each, so the shape changes nothing but
// the depth, which stays logarithmic: an IN over 200,000 values compiles
// and runs like one over ten. An empty IN gives 0, an empty NOT IN 1.
//
// Everything here walks expression trees iteratively (a WHERE may be a
// chain of a hundred thousand ORs); only nesting through subqueries, which
// the parser bounds, costs recursion.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "record/value.h"
#include "sql/ast.h"

namespace bkf::engine {

// Calls f(slot) for every expression root of the statement's own clauses,
// in the order folding runs their subqueries: a SELECT's items, ON
// conditions, WHERE, GROUP BY, HAVING, ORDER BY, LIMIT and OFFSET, then
// its UNION members' (an INSERT's SELECT source alike); an INSERT's VALUES
// and its ON DUPLICATE KEY UPDATE expressions; an UPDATE's SET expressions
// and WHERE; a DELETE's WHERE. Nested queries are not entered.
void for_each_expr_root(Statement& st, const std::function<void(ExprPtr&)>& f);
void for_each_expr_root(SelectStmt& s, const std::function<void(ExprPtr&)>& f);

// The expression holds a scalar subquery, an IN (subquery) or an IN list,
// at any depth (outside nested subqueries, which count as the subquery).
bool expr_has_subquery(const Expr& e);

// The statement is to be folded: always a SELECT; an INSERT with a SELECT
// source, or whose VALUES or ON DUPLICATE KEY UPDATE expressions hold a
// subquery or IN test; an UPDATE or DELETE whose SET or WHERE expressions
// do; never any other kind.
bool stmt_has_subquery(const Statement& st);

// Some expression of the statement (its UNION members included, nested
// queries not) holds a scalar subquery, an IN (subquery) or an IN list.
bool stmt_has_fold_targets(const Statement& st);

// One more than the largest `?` ordinal anywhere in the statement, nested
// queries included; 0 without any.
std::size_t count_params(const Statement& st);

// Turns every IN list outside subqueries into its comparisons (balanced).
// Pure: nothing runs.
void rewrite_in_lists(Statement& st);

// Inside every subquery of the statement (at any depth), replaces each `?`
// by a literal of its value: binds[i] for ordinal i, NULL past the end.
// The `?` of the statement's own expressions stay.
void bind_params_in_subqueries(Statement& st, std::span<const Value> binds);

// The comparisons an IN test stands for, as a balanced tree (see above);
// the operand is copied into every comparison.
ExprPtr in_comparisons(ExprPtr operand, std::vector<ExprPtr> items, bool negated);

// The literal that stands for a value: NULL, integer, real (same bits),
// string or blob literal.
ExprPtr value_to_expr(const Value& v);

// The value of a literal: Integer, Real, Str and Blob give their value;
// every other expression, NULL among them, gives Null.
Value literal_value(const Expr& e);

}  // namespace bkf::engine
