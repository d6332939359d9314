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

// A DEFAULT value converted to the column's declared type, as
// catalog::default_affinity reads it. Only text is converted: for integer
// affinity (so "POINT" too), text that is a whole signed 64-bit integer
// (white space trimmed) becomes Int; for real affinity, text that is a whole
// decimal float (or inf, infinity, nan) becomes Real. Everything else is
// returned unchanged, so a VARCHAR column keeps '7' as text.
Value coerce_affinity(std::string_view decl_type, Value v);

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
//   "{table}__{column}__unique" for a UNIQUE column, and for a one-column
//   PRIMARY KEY declared without a name;
//   "{table}__{name}" for a key declared with a name in CREATE TABLE
//   (`CONSTRAINT name PRIMARY KEY (...)`, `CONSTRAINT name UNIQUE (...)`,
//   `UNIQUE KEY name (...)`, `KEY name (...)`), one-column PRIMARY KEY
//   included, so that its UNIQUE errors name the key as it was declared;
//   "{table}__{table}__idx{position}" for an unnamed table-level key, by its
//   position among the table-level keys left after the parser folded the
//   one-column PRIMARY KEYs onto their columns.
// The names are stored in the index rows, so a file keeps the names its
// indexes were made with.
std::string unique_column_index_name(std::string_view table, std::string_view column);
std::string named_key_index_name(std::string_view table, std::string_view name);
std::string table_key_index_name(std::string_view table, const std::optional<std::string>& name,
                                 std::size_t position);

}  // namespace bkf::engine
