// The built-in scalar functions: string (LENGTH, UPPER, LOWER, SUBSTR,
// REPLACE, TRIM, LTRIM, RTRIM, CONCAT, TYPEOF), numeric (ABS, ROUND),
// null-handling (COALESCE, IFNULL, NULLIF) and date-part functions (YEAR ...
// DAYOFYEAR).
//
// No function checks its number of arguments: a missing argument has a
// defined meaning (mostly a Null result or a default), and arguments beyond
// those a function reads are ignored. No function fails.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "exec/op_kinds.h"
#include "record/value.h"

namespace bkf {

// The function a name selects. Names arrive upper-cased by the parser and
// are compared exactly, so "upper" or "FOO" select nothing:
//   ABS; LENGTH, CHAR_LENGTH, CHARACTER_LENGTH; UPPER, UCASE; LOWER, LCASE;
//   COALESCE; TYPEOF; SUBSTR, SUBSTRING; ROUND; REPLACE; TRIM; LTRIM; RTRIM;
//   IFNULL; NULLIF; CONCAT; YEAR; MONTH; DAY, DAYOFMONTH; HOUR; MINUTE;
//   SECOND; WEEK, WEEKOFYEAR; DAYOFWEEK; DAYOFYEAR.
std::optional<ScalarKind> scalar_kind_from_name(std::string_view name) noexcept;

// Evaluates one call into out. The arguments are read in place (no copies);
// out may be one of them.
void eval_scalar(ScalarKind kind, std::span<const Value> args, Value& out);

inline Value eval_scalar(ScalarKind kind, std::span<const Value> args) {
  Value out;
  eval_scalar(kind, args, out);
  return out;
}

}  // namespace bkf
