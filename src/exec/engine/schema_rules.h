// How column definitions become catalog columns: declared types, defaults
// and the automatic index names.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "catalog/defs.h"
#include "record/value.h"
#include "sql/ast.h"

namespace bkf::engine {

// The numeric affinity of a declared type, read with ASCII letters
// upper-cased: Integer when it contains "INT" anywhere (so "POINT" too);
// otherwise Real when it contains "REAL", "FLOA", "DOUB", "DEC" or "NUM";
// otherwise none (text types, "BLOB", the empty type).
enum class NumericAffinity : unsigned char { None = 0, Integer = 1, Real = 2 };
NumericAffinity numeric_affinity(std::string_view decl_type);

// A value converted the way a column of the declared type stores it: text
// that is a whole signed 64-bit integer (white space trimmed) becomes Int
// under Integer affinity, text that is a whole decimal float (or inf,
// infinity, nan) becomes Real under Real affinity; everything else is
// returned unchanged, non-text values always.
Value coerce_affinity(std::string_view decl_type, Value v);
// The same in place, for an affinity already looked up.
void apply_numeric_affinity(NumericAffinity a, Value& v);

// Whether a declared type makes a PRIMARY KEY column the row-id alias: the
// type, ASCII letters upper-cased, is exactly one of INT, INT2, INT4, INT8,
// BIGINT, INTEGER, TINYINT, SMALLINT, MEDIUMINT.
bool is_integer_type(std::string_view decl_type);

// The default of a column definition: its first DEFAULT clause, whose
// literal becomes a value (Integer, Real and string literals their value,
// anything else NULL) converted by coerce_affinity; none without DEFAULT.
std::optional<Value> column_default(const ColumnDef& def);

// A column of ALTER TABLE ADD COLUMN: NOT NULL and UNIQUE as written;
// PRIMARY KEY and AUTO_INCREMENT have no effect there.
Column plain_column(const ColumnDef& def);

// Names of the indexes the engine makes by itself:
//   "{table}__{column}__unique" for a UNIQUE column;
//   "{table}__{name}" for a key declared with a name in CREATE TABLE, and
//   "{table}__{table}__idx{position}" for an unnamed one.
std::string unique_column_index_name(std::string_view table, std::string_view column);
std::string table_key_index_name(std::string_view table, const std::optional<std::string>& name,
                                 std::size_t position);

}  // namespace bkf::engine
