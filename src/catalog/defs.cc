#include "catalog/defs.h"

#include "base/ascii.h"

namespace bkf {

std::optional<std::size_t> TableDef::column_index(std::string_view column_name) const {
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (ascii_iequal(columns[i].name, column_name)) return i;
  }
  return std::nullopt;
}

bool operator==(const Column& a, const Column& b) {
  if (a.name != b.name || a.decl_type != b.decl_type || a.not_null != b.not_null || a.unique != b.unique) {
    return false;
  }
  if (a.default_value.has_value() != b.default_value.has_value()) return false;
  return !a.default_value || a.default_value->identical(*b.default_value);
}

bool operator==(const TableDef& a, const TableDef& b) {
  return a.rowid_alias == b.rowid_alias && a.name == b.name && a.columns == b.columns &&
         a.schema_rowid == b.schema_rowid && a.root == b.root;
}

bool operator==(const IndexDef& a, const IndexDef& b) {
  return a.name == b.name && a.table == b.table && a.columns == b.columns &&
         a.column_positions == b.column_positions && a.schema_rowid == b.schema_rowid && a.root == b.root &&
         a.unique == b.unique;
}

}  // namespace bkf
