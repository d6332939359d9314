// Name resolution: the FROM scopes of one query and how column references
// find their table.
//
// A TableScope is one FROM entry: the name the query uses for it (its alias,
// else its table name, kept as written), the table definition and its level,
// which is also the number of the table cursor that reads it. Qualifiers,
// column names and the word "rowid" match ignoring ASCII case only (A-Z
// equal a-z, every other byte must be equal), the same folding the catalog
// uses for column names; table names themselves are looked up exactly.
//
// A Ctx is the resolution context of one query: its scopes and the catalog
// (handed on to the compilation of correlated subqueries). It has no link to
// an enclosing query: references to enclosing queries are replaced by
// sub-program parameters before a subquery is compiled (subquery.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "base/result.h"
#include "catalog/catalog.h"
#include "sql/ast.h"

namespace bkf::compile {

struct TableScope {
  std::string name;  // alias, else table name, as written
  const TableDef* table = nullptr;
  std::uint32_t level = 0;  // position in FROM = table cursor number
};

// What a column reference resolves to: a column position of a level's
// table, or (column empty) the row id of that level.
struct Resolved {
  std::uint32_t level = 0;
  std::optional<std::uint32_t> column;
  bool is_rowid() const noexcept { return !column.has_value(); }
};

struct Ctx {
  std::vector<TableScope> scopes;
  const Catalog* catalog = nullptr;

  // Resolves `qualifier.name` (or `name`) against the scopes. Errors (Exec):
  // "no such table: {q}", "ambiguous rowid; qualify it with a table",
  // "ambiguous column: {name}", "no such column: {name}".
  Result<Resolved> resolve(const std::optional<std::string>& qualifier, std::string_view name) const;
  Result<Resolved> resolve(const Expr::Column& c) const { return resolve(c.table, c.name); }
};

bool is_rowid_word(std::string_view name) noexcept;

}  // namespace bkf::compile
