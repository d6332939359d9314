// Subquery folding: every subquery of a statement that can run on its own
// is run, under the statement's lock and right before it is compiled, and
// replaced by its value (a scalar subquery) or by comparisons against the
// values it returned (an IN (subquery)); IN lists become comparisons
// against their items. The tree rewrites are in fold_rewrites.h.
#pragma once

#include <span>

#include "base/result.h"
#include "record/value.h"
#include "sql/ast.h"

namespace bkf::engine {

class Engine;

// Folds every subquery of the statement; binds are put into the subqueries
// first (their `?` read these values; none: NULL). Subqueries run
// innermost first, in the order of for_each_expr_root, each UNION member
// included. A subquery that fails stays as written (the compiler makes a
// correlated sub-program of it, or reports why it cannot), unless it failed
// in the storage layer: that error is the statement's.
Result<Statement> fold_statement(Engine& engine, Statement st, std::span<const Value> binds);

}  // namespace bkf::engine
