// The engine's calls of the statement compiler: a statement's syntax tree
// (folded, see folding.h) into a validated program for the machine.
#pragma once

#include "base/result.h"
#include "catalog/catalog.h"
#include "exec/vm/program.h"
#include "sql/ast.h"

namespace bkf::engine {

using vm::Program;

// Compiles a SELECT (without its UNION members), a plain or IGNORE
// INSERT ... VALUES, an UPDATE or a DELETE; any other statement is Exec
// "only SELECT/INSERT/UPDATE/DELETE can be prepared".
Result<Program> compile_statement(const Catalog& catalog, const Statement& st);
// Compiles one query core (its UNION members are not read).
// first_row_only: only the first row is wanted (a scalar subquery), so the
// program may stop there.
Result<Program> compile_query(const Catalog& catalog, const SelectStmt& s, bool first_row_only = false);

}  // namespace bkf::engine
