// The small pure rules of SELECT handling: the FOUND_ROWS() form, UNION
// ORDER BY resolution and the integer reading of a UNION's LIMIT/OFFSET.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/result.h"
#include "record/value.h"
#include "sql/ast.h"

namespace bkf::engine {

// The result column name when the query is SELECT FOUND_ROWS() (any letter
// case, no arguments, optionally with an alias, no FROM, one item); nothing
// otherwise. The rest of such a query (WHERE, ORDER BY, ...) is ignored.
std::optional<std::string> found_rows_query(const SelectStmt& s);

// The 0-based output column a UNION's ORDER BY term names: a position 1..n,
// or a column name matched ignoring ASCII case against the output names
// (a qualifier is ignored). Errors: "ORDER BY {}: no such output column in
// UNION", "UNION ORDER BY must reference an output column by name or
// position".
Result<std::size_t> resolve_union_order_col(const Expr& e, std::span<const std::string> names);

// A value read as a row count: Int itself, Real truncated toward zero
// (saturating, NaN 0), Text trimmed of white space and read whole as a
// signed decimal integer (else 0), Null and Blob 0.
std::int64_t val_to_i64(const Value& v);

}  // namespace bkf::engine
