// The schema operations: create and drop tables and indexes, add a column.
//
// Each writes the file first (inside the caller's transaction) and changes
// memory only once every write has succeeded, so a failed operation leaves
// the catalog as it was. A drop gives the dropped trees' pages back to the
// free list in the same transaction, after their schema rows are gone.
#include <string>
#include <unordered_set>
#include <utility>

#include "base/ascii.h"
#include "btree/btree.h"
#include "btree/index.h"
#include "catalog/catalog.h"
#include "catalog/index_contents.h"

namespace bkf {

Result<TableDef> Catalog::create_table(Pager& pager, std::string name, std::vector<Column> columns,
                                       std::optional<std::size_t> rowid_alias) {
  BKF_TRY(refresh(pager));
  if (state_.tables.contains(name)) return Error::schema("table \"" + name + "\" already exists");
  // A second column of the same name could never be read: every lookup
  // finds the first.
  std::unordered_set<std::string> seen;
  for (const Column& c : columns) {
    if (!seen.insert(ascii_lower(c.name)).second) return Error::schema("duplicate column name: " + c.name);
  }
  const std::int64_t key = BKF_TRY(new_schema_key(pager));
  const BTree tree = BKF_TRY(BTree::create(pager));
  TableDef def{rowid_alias, std::move(name), std::move(columns), key, tree.root()};
  BKF_TRY(write_schema_row(pager, key, def.to_row()));

  begin_change();
  state_.add_table(def);
  return def;
}

Result<IndexDef> Catalog::create_index(Pager& pager, std::string name, std::string table,
                                       std::vector<std::string> columns, bool unique) {
  BKF_TRY(refresh(pager));
  if (state_.indexes.contains(name)) return Error::schema("index \"" + name + "\" already exists");
  auto t = state_.tables.find(table);
  if (t == state_.tables.end()) return Error::schema("no such table: " + table);
  // A stored index of no columns would not load again.
  if (columns.empty()) return Error::schema("index \"" + name + "\" has no columns");
  std::vector<std::size_t> positions;
  positions.reserve(columns.size());
  for (const std::string& col : columns) {
    auto pos = t->second.column_index(col);
    if (!pos) return Error::schema("no such column: " + col);
    positions.push_back(*pos);
  }

  const std::int64_t key = BKF_TRY(new_schema_key(pager));
  IndexBTree tree = BKF_TRY(IndexBTree::create(pager));
  BKF_TRY(catalog::fill_or_free(pager, t->second, positions, unique, tree,
                                "UNIQUE constraint failed: duplicate value in " + name));
  IndexDef def{std::move(name), std::move(table), std::move(columns), std::move(positions), key, tree.root(), unique};
  BKF_TRY(write_schema_row(pager, key, def.to_row()));

  begin_change();
  state_.add_index(def);
  return def;
}

Result<bool> Catalog::drop_table(Pager& pager, std::string_view name_view) {
  BKF_TRY(refresh(pager));
  // A copy: the caller's name may be a view into the definition dropped.
  const std::string name(name_view);
  auto t = state_.tables.find(name);
  if (t == state_.tables.end()) return false;
  const std::vector<const IndexDef*> indexes = state_.indexes_of(name);
  for (const IndexDef* ix : indexes) {
    if (ix->table == name) BKF_TRY(delete_schema_row(pager, ix->schema_rowid));
  }
  BKF_TRY(delete_schema_row(pager, t->second.schema_rowid));
  for (const IndexDef* ix : indexes) {
    if (ix->table == name) BKF_TRY(free_tree_pages(pager, ix->root, TreeType::Index));
  }
  BKF_TRY(free_tree_pages(pager, t->second.root, TreeType::Table));

  begin_change();
  state_.remove_table(name);
  return true;
}

Result<bool> Catalog::drop_index(Pager& pager, std::string_view name_view) {
  BKF_TRY(refresh(pager));
  const std::string name(name_view);
  auto it = state_.indexes.find(name);
  if (it == state_.indexes.end()) return false;
  BKF_TRY(delete_schema_row(pager, it->second.schema_rowid));
  BKF_TRY(free_tree_pages(pager, it->second.root, TreeType::Index));

  begin_change();
  state_.remove_index(name);
  return true;
}

Status Catalog::add_column(Pager& pager, std::string_view table_view, Column column) {
  BKF_TRY(refresh(pager));
  const std::string table(table_view);
  auto t = state_.tables.find(table);
  if (t == state_.tables.end()) return Error::schema("no such table: " + table);
  if (t->second.column_index(column.name)) return Error::schema("duplicate column name: " + column.name);
  TableDef def = t->second;
  def.columns.push_back(std::move(column));
  BKF_TRY(delete_schema_row(pager, def.schema_rowid));
  BKF_TRY(write_schema_row(pager, def.schema_rowid, def.to_row()));

  begin_change();
  state_.tables.find(table)->second = std::move(def);
  return {};
}

}  // namespace bkf
