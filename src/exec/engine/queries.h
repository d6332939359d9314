// Queries: running a compiled query and post-processing its rows, UNION,
// SELECT FOUND_ROWS() and constant evaluation.
//
// A query program emits its rows in the order its loops meet them, each
// with its ORDER BY key values after the visible columns; run_query then
// sorts on those keys and cuts them off, removes duplicates for DISTINCT,
// records the found rows (before OFFSET and LIMIT) and applies OFFSET and
// LIMIT. Every query of the engine ends there: a statement's, a prepared
// statement's, a subquery folded into its value, the source rows of an
// INSERT ... SELECT.
//
// None of these functions takes a lock: the caller holds the one the
// statement needs (session.h).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/result.h"
#include "exec/engine/database.h"
#include "exec/vm/program.h"
#include "record/sort.h"
#include "record/value.h"
#include "sql/ast.h"

namespace bkf::vm {
class Vm;
}

namespace bkf::engine {

class Engine;

// The rows of a query with their column names.
struct QueryRows {
  std::vector<std::string> columns;
  std::vector<Row> rows;
};

// Runs a compiled query once and post-processes its rows (see above). With
// calc_found_rows the engine's found_rows becomes the count before OFFSET
// and LIMIT; a failed run leaves it. kept: a machine to rearm for the run
// instead of making a new one (it pins no page afterwards).
Result<std::vector<Row>> run_query(Engine& engine, const vm::Program& program, bool calc_found_rows,
                                   std::span<const Value> params, vm::Vm* kept = nullptr);

// Runs a whole (folded) query, UNION members included. UNION: every member
// runs on its own (its own DISTINCT, ORDER BY and LIMIT apply to its rows);
// the combined rows are de-duplicated once if any member is a plain UNION,
// then ordered, offset and limited; found_rows is never touched then.
// first_row_only: only the first row is wanted (a scalar subquery).
Result<QueryRows> run_select_rows(Engine& engine, const SelectStmt& s, bool calc_found_rows,
                                  bool first_row_only = false);

// A (folded) SELECT statement: SELECT FOUND_ROWS() answers the engine's
// found_rows; any other query runs through run_select_rows.
Result<ExecResult> run_select_statement(Engine& engine, const SelectStmt& s);

// The value of an expression evaluated without tables: a literal (or a
// minus before a numeric one) directly, anything else as a one-item query
// without FROM; NULL when it gives no row.
Result<Value> eval_const_expr(Engine& engine, const Expr& e);

}  // namespace bkf::engine
