// INSERT ... SELECT, REPLACE and INSERT ... ON DUPLICATE KEY UPDATE: the
// INSERT forms the compiler does not carry out alone.
//
// They run row by row inside the statement's one write transaction (the
// caller's autocommit frame), after folding. The source rows are computed
// first (a SELECT from the target table sees only the rows that were there
// before), then every row goes through programs compiled once per
// statement from syntax trees, so table and column names need no quoting:
//   - the row inserter: INSERT [IGNORE] INTO table (columns) VALUES (?0,
//     ..., ?n-1), the insert column list being the statement's or every
//     column of the table;
//   - for REPLACE and ON DUPLICATE KEY UPDATE, the conflict probe
//     (exec/compile/conflict_probe.h), which finds the rows the insert
//     would collide with the way the constraints themselves find them;
//   - DELETE FROM table WHERE rowid = ?0 for the rows REPLACE displaces,
//     and for ON DUPLICATE KEY UPDATE the UPDATE of the row found, by its
//     row id, with VALUES(c) reading the row's value of c.
// Each row is its own program run, so last_insert_id follows every row
// inserted, also in a statement that fails later.
#pragma once

#include <cstdint>

#include "base/result.h"
#include "sql/ast.h"

namespace bkf::engine {

class Engine;

// Runs the (folded) statement and returns the rows it counts: every source
// row REPLACE inserted (the rows it deleted are not counted), every row
// inserted or updated by ON DUPLICATE KEY UPDATE, every row INSERT ...
// SELECT inserted.
Result<std::uint64_t> run_insert_policy(Engine& engine, const Statement::Insert& ins);

}  // namespace bkf::engine
