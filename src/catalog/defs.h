// The definitions the catalog holds: tables with their columns, and indexes.
//
// These are plain values. The catalog owns one of each per table and per
// index; the query compiler and the database engine read them through the
// catalog's lookups (catalog.h) and never change them.
//
// Every definition is stored as one row of the schema tree (a table B-tree
// keyed by `schema_rowid`). to_row and from_row convert between a definition
// and the list of values of that row; the layouts are part of the file
// format:
//
//   table row, 5 + 4n values for n columns (column k at fields 5+4k..8+4k):
//     0 Text "table"   1 Text name   2 Int root   3 Int row-id alias or -1
//     4 Int n
//     5+4k Text column name   6+4k Text declared type
//     7+4k Int flags (1 = NOT NULL, 2 = UNIQUE, 4 = has a default)
//     8+4k the default value, Null when there is none (always written)
//
//   index row, 6 + n values for n columns:
//     0 Text "index"   1 Text name   2 Int root   3 Text table
//     4 Int 1 when UNIQUE else 0   5 Int n   6+k Text name of column k
//
// A row whose first value is the text "index" (exact bytes) is an index row;
// every other row is a table row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "record/value.h"

namespace bkf {

// One column of a table.
struct Column {
  // The name as written when the column was created.
  std::string name;
  // The declared type as written (empty when none); never interpreted here.
  std::string decl_type;
  bool not_null = false;
  bool unique = false;
  // The default value; absent when the column has none. A present default
  // may itself be Null (DEFAULT NULL written out).
  std::optional<Value> default_value;
};

// Same name bytes, type bytes, flags, and defaults both absent or identical.
bool operator==(const Column& a, const Column& b);

// One table.
struct TableDef {
  // Position in `columns` of the column that aliases the row id, if any. The
  // database engine chooses it; the catalog stores it. A loaded definition
  // always has it inside the column list.
  std::optional<std::size_t> rowid_alias;
  // The name as written at creation; matched by exact bytes.
  std::string name;
  // Declaration order; a column's position here is its position in every row
  // record of the table.
  std::vector<Column> columns;
  // Key of the table's row in the schema tree.
  std::int64_t schema_rowid = 0;
  // Root page of the table B-tree; fixed for the table's life.
  std::uint32_t root = 0;

  // The position of the first column whose name equals `column_name`
  // ignoring ASCII case (see catalog/names.h); none when no column matches.
  std::optional<std::size_t> column_index(std::string_view column_name) const;

  // The schema row of this definition.
  std::vector<Value> to_row() const;

  // The definition stored in a schema row under `key`, or an error:
  //   Schema "schema row: expected text at field {}" /
  //          "schema row: expected integer at field {}" for the first field
  //          (in the reading order: 1, 2, 3, 4, then per column its flags,
  //          its default when the flags announce one, name, type) that is
  //          missing or of the wrong kind. A negative column count reads
  //          columns until a field is missing; a count larger than the row
  //          holds fails at the first missing field. Nothing is reserved
  //          from the count before the fields are found.
  //   Corrupt when the layout is whole but the content is impossible: a
  //          default announced in a field the row does not have, a root
  //          outside 2..2^32-1, a row-id alias outside the column list.
  static Result<TableDef> from_row(std::int64_t key, std::span<const Value> row);
};

bool operator==(const TableDef& a, const TableDef& b);

// One index.
struct IndexDef {
  // Matched by exact bytes, in a name space of its own (a table and an index
  // may share a name).
  std::string name;
  // The indexed table's name exactly as stored.
  std::string table;
  // The indexed column names as written at creation, case unchanged.
  std::vector<std::string> columns;
  // Positions of those columns in the table, in index-column order. Never
  // stored: resolved at creation and at every load. A loaded index leaves
  // out the names its table does not have, so this may be shorter than
  // `columns`; it is empty when the table itself is missing.
  std::vector<std::size_t> column_positions;
  // Key of the index's row in the schema tree.
  std::int64_t schema_rowid = 0;
  // Root page of the index B-tree; changes only when the index is rebuilt.
  std::uint32_t root = 0;
  bool unique = false;

  std::vector<Value> to_row() const;

  // The inverse of to_row, with `column_positions` left empty. Errors:
  //   Schema "schema row: expected text at field {}" /
  //          "schema row: expected integer at field {}" for the first field
  //          (1, 2, 3, 4, 5, then 6 onwards) missing or of the wrong kind;
  //          a negative count reads names until a field is missing.
  //   Corrupt for a root outside 2..2^32-1 and for an index of no columns.
  static Result<IndexDef> from_row(std::int64_t key, std::span<const Value> row);
};

bool operator==(const IndexDef& a, const IndexDef& b);

}  // namespace bkf
