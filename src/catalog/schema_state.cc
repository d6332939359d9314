#include "catalog/schema_state.h"

#include <algorithm>
#include <limits>

#include "record/record.h"

namespace bkf::catalog {

Status SchemaState::load_row(std::int64_t key, std::span<const Value> row) {
  if (!any_key_ || key > max_key_) max_key_ = key;
  any_key_ = true;
  if (!row.empty() && row[0].is_text() && row[0].bytes() == "index") {
    IndexDef def = BKF_TRY(IndexDef::from_row(key, row));
    std::string name = def.name;
    indexes.insert_or_assign(std::move(name), std::move(def));
  } else {
    TableDef def = BKF_TRY(TableDef::from_row(key, row));
    std::string name = def.name;
    tables.insert_or_assign(std::move(name), std::move(def));
  }
  return {};
}

Status SchemaState::load_record(std::int64_t key, std::string_view record, std::vector<Value>& scratch) {
  BKF_TRY(decode_record_into(record, scratch));
  return load_row(key, scratch);
}

Status SchemaState::finish_load() {
  // Keys handed out start at 1 even when every stored key is negative.
  const std::int64_t largest = std::max<std::int64_t>(max_key_, 0);
  if (largest == std::numeric_limits<std::int64_t>::max()) {
    return Error::corrupt("schema row key " + std::to_string(largest) + " leaves no key for a new definition");
  }
  next_schema_rowid = largest + 1;

  // Lists are rebuilt from the final definitions, so a name stored twice is
  // listed once, and an index whose table is missing is listed nowhere: it
  // stays in `indexes` only, where DROP INDEX can still find it.
  table_indexes.clear();
  for (const IndexDef* ix : indexes_by_key()) {
    IndexDef& def = indexes.find(ix->name)->second;
    def.column_positions.clear();
    auto t = tables.find(def.table);
    if (t == tables.end()) continue;
    for (const std::string& col : def.columns) {
      if (auto pos = t->second.column_index(col)) def.column_positions.push_back(*pos);
    }
    table_indexes[def.table].push_back(def.name);
  }
  return {};
}

void SchemaState::add_table(TableDef def) {
  next_schema_rowid = std::max(next_schema_rowid, def.schema_rowid + 1);
  std::string name = def.name;
  tables.insert_or_assign(std::move(name), std::move(def));
}

void SchemaState::add_index(IndexDef def) {
  next_schema_rowid = std::max(next_schema_rowid, def.schema_rowid + 1);
  table_indexes[def.table].push_back(def.name);
  std::string name = def.name;
  indexes.insert_or_assign(std::move(name), std::move(def));
}

void SchemaState::remove_table(std::string_view name) {
  auto t = tables.find(name);
  if (t == tables.end()) return;
  auto list = table_indexes.find(name);
  if (list != table_indexes.end()) {
    for (const std::string& ix : list->second) {
      auto it = indexes.find(ix);
      if (it != indexes.end() && it->second.table == name) indexes.erase(it);
    }
    table_indexes.erase(list);
  }
  tables.erase(t);
}

void SchemaState::remove_index(std::string_view name) {
  auto it = indexes.find(name);
  if (it == indexes.end()) return;
  auto list = table_indexes.find(it->second.table);
  if (list != table_indexes.end()) std::erase(list->second, name);
  indexes.erase(it);
}

std::vector<const IndexDef*> SchemaState::indexes_of(std::string_view table) const {
  std::vector<const IndexDef*> out;
  auto list = table_indexes.find(table);
  if (list == table_indexes.end()) return out;
  out.reserve(list->second.size());
  for (const std::string& name : list->second) {
    auto it = indexes.find(name);
    if (it != indexes.end()) out.push_back(&it->second);
  }
  return out;
}

std::vector<const IndexDef*> SchemaState::indexes_by_key() const {
  std::vector<const IndexDef*> out;
  out.reserve(indexes.size());
  for (const auto& [name, def] : indexes) out.push_back(&def);
  // Keys are unique among stored definitions; the name breaks ties all the
  // same so that the order never depends on the hash map.
  std::sort(out.begin(), out.end(), [](const IndexDef* a, const IndexDef* b) {
    return a->schema_rowid != b->schema_rowid ? a->schema_rowid < b->schema_rowid : a->name < b->name;
  });
  return out;
}

}  // namespace bkf::catalog
