// Aggregate queries: GROUP BY, HAVING and aggregate calls.
//
// The program has two phases. The scan phase walks the FROM tables in
// nested loops (loops.h), tests WHERE and, per surviving row, selects the
// row's group (AggStart over the GROUP BY values) and feeds every
// accumulator (AggStep). The group phase walks the groups in key order
// (AggRewind / AggNext), reads the accumulators (AggResult), tests HAVING and
// emits one row per group.
//
// Before compiling, every result item, HAVING and every ORDER BY term is
// rewritten by wrap_bare_columns: a column outside an aggregate call that is
// not a GROUP BY expression becomes any(column), the value of the group's
// first row. The distinct aggregate calls of those trees, in first-seen
// order, become the program's accumulators; each call node keeps its
// accumulator index, so the group phase finds it without comparing trees.
#pragma once

#include "base/result.h"
#include "catalog/catalog.h"
#include "exec/compile/select.h"
#include "sql/ast.h"

namespace bkf::compile {

Result<Program> compile_aggregate(const SelectStmt& s, const Catalog& catalog, const SelectOptions& opts);

}  // namespace bkf::compile
