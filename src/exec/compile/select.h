// SELECT compilation: one query core (its UNION members are the engine's)
// into a Program.
//
// The program emits one row per result; ORDER BY keys trail the visible
// columns, and ORDER BY, DISTINCT, OFFSET and LIMIT are recorded in the
// program for the post-run step that sorts, de-duplicates and cuts the rows.
// When nothing reorders or drops rows (no ORDER BY, DISTINCT or
// SQL_CALC_FOUND_ROWS) the program stops by itself after OFFSET + LIMIT rows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "catalog/catalog.h"
#include "exec/compile/gen.h"
#include "exec/compile/loops.h"
#include "exec/compile/scope.h"
#include "sql/ast.h"

namespace bkf::compile {

struct SelectOptions {
  // The program serves a scalar subquery: only its first row (after OFFSET)
  // is ever used, so it may stop there.
  bool first_row_only = false;
};

Result<Program> compile_select(const SelectStmt& s, const Catalog& catalog);
Result<Program> compile_select_with(const SelectStmt& s, const Catalog& catalog, const SelectOptions& opts);

// The value of a LIMIT or OFFSET: none when absent, the value of an integer
// literal, otherwise Exec "LIMIT must be a constant integer".
Result<std::optional<std::int64_t>> const_limit(const ExprPtr& e);

// ---- shared by the plain and the aggregate query compilers ----

// The scopes of a FROM list ("no such table: {}" for a missing table).
Result<Ctx> make_scopes(const std::vector<JoinedTable>& from, const Catalog& catalog);

// The result items after `*` and `t.*` expansion, with their names.
struct ResultItem {
  ExprPtr owned;            // expansion of a star
  const Expr* expr = nullptr;
  std::string name;
};
Result<std::vector<ResultItem>> expand_items(const SelectStmt& s, const Ctx* ctx);

// Marks the levels that can be served from an index alone: an index path
// driven by the level's ON condition, a single equality, while no part of
// the statement reads a column of that table other than its row id.
void mark_index_only(const SelectStmt& s, const Ctx& ctx, LoopNest& nest);

// How many rows the program needs before it may stop, or none.
std::optional<std::uint64_t> rows_needed(const SelectStmt& s, std::optional<std::int64_t> limit,
                                         std::optional<std::int64_t> offset, const SelectOptions& opts);

// LIMIT and OFFSET of a query with FROM. Their errors are reported after
// the code's (by finish_query), but the early stop needs their values
// before the loops are emitted.
struct QueryLimits {
  Result<std::optional<std::int64_t>> limit;
  Result<std::optional<std::int64_t>> offset;
  std::optional<std::uint64_t> needed;  // rows_needed, when both are valid
};
QueryLimits query_limits(const SelectStmt& s, const SelectOptions& opts);

// Ends a query with FROM: records LIMIT and OFFSET (or fails with their
// error), the result column names, the ORDER BY directions, the cursor
// count, the visible width and DISTINCT, then finishes the program.
Result<Program> finish_query(Gen& g, const SelectStmt& s, QueryLimits& limits, std::vector<ResultItem>& items,
                             const Ctx& ctx);

// Emits the row counter for an early stop: init() before the loops, after_row()
// after every ResultRow (jumping to `stop` once `needed` rows were emitted).
class RowLimiter {
 public:
  RowLimiter(Gen& g, std::optional<std::uint64_t> needed) : g_(g), needed_(needed) {}
  void init(Label& stop);
  void after_row(Label& stop);

 private:
  Gen& g_;
  std::optional<std::uint64_t> needed_;
  std::uint32_t counter_ = 0;
};

}  // namespace bkf::compile
