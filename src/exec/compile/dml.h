// INSERT, UPDATE and DELETE compilation.
//
// compile_insert turns INSERT ... VALUES (plain or IGNORE) into a program
// that writes each row into the table and every index: defaults for the
// columns not listed, the listed values, column affinity, NOT NULL guards, a
// row id (the listed row-id alias value, or a fresh one), the UNIQUE and
// key-size checks of every index, and only then the table and index writes.
// Every index key holds the row id in the alias column's place, also when
// the alias is not listed and the record stores the column's default there
// (row_writes.h); CREATE INDEX and reindex key it the same way.
// A plain INSERT whose row id is taken fails with "UNIQUE constraint failed:
// {table}.{column}"; with IGNORE such a row, or one that collides with a
// UNIQUE index, is skipped.
//
// compile_update and compile_delete walk the rows of one table that satisfy
// WHERE, through the same access paths as queries (a prepared `WHERE id = ?`
// touches one row). UPDATE computes the new values from the old row, applies
// affinity, guards the assigned NOT NULL columns, probes the UNIQUE indexes
// for the new keys (ignoring the row itself), then replaces the index
// entries of the indexes over assigned columns and rewrites the row (in
// place, or after the scan when it grew). Assigning the row-id alias column
// is refused. DELETE removes index entries and the row; without indexes,
// DELETE with no WHERE or with a single `rowid >= N` / `rowid > N` removes a
// row-id range without visiting rows.
//
// A statement whose access path is an index, or whose WHERE or SET holds a
// subquery that reads the target table, runs in two passes: the first
// collects the row ids (and new values) without writing, the second applies
// them. So a subquery never sees the statement's own changes and an index
// walk never meets entries the statement wrote.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "catalog/catalog.h"
#include "exec/compile/gen.h"
#include "sql/ast.h"

namespace bkf::compile {

Result<Program> compile_insert(std::string_view table, const std::optional<std::vector<std::string>>& columns,
                               const std::vector<ExprPtr>& values, std::size_t width, bool ignore,
                               const Catalog& catalog);

Result<Program> compile_update(std::string_view table, const std::vector<Assignment>& assignments,
                               const Expr* where, const Catalog& catalog);

Result<Program> compile_delete(std::string_view table, const Expr* where, const Catalog& catalog);

}  // namespace bkf::compile
