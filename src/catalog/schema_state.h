// The in-memory schema of one database, without the file behind it.
//
// SchemaState is everything a snapshot copies and a restore puts back: the
// three maps, the next schema key and the schema tree's root. It knows how
// to build itself from schema rows and how to apply a schema change that has
// already been written to the file; it never reads or writes pages. Catalog
// (catalog.h) pairs it with the pager.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/result.h"
#include "catalog/defs.h"
#include "catalog/names.h"

namespace bkf::catalog {

template <class T>
using ExactNameMap = std::unordered_map<std::string, T, ExactNameHash, std::equal_to<>>;

struct SchemaState {
  // Table name -> definition.
  ExactNameMap<TableDef> tables;
  // Index name -> definition.
  ExactNameMap<IndexDef> indexes;
  // Table name -> names of the table's indexes in creation order (ascending
  // schema key). Only indexes whose table exists are listed, each once. A
  // table without indexes has no entry, or an empty list once its last
  // index was dropped.
  ExactNameMap<std::vector<std::string>> table_indexes;
  // The key the next table or index gets (see Catalog for how a new key is
  // chosen).
  std::int64_t next_schema_rowid = 1;
  // Root page of the schema tree.
  std::uint32_t schema_root = 0;

  // ---- loading: one call of load_row per schema row in ascending key
  // order, then finish_load.

  // Decodes one schema row and stores the definition, replacing an earlier
  // one of the same name. Errors of from_row are returned.
  Status load_row(std::int64_t key, std::span<const Value> row);
  // The same for a row still encoded as a record (decoded into scratch,
  // whose buffers are reused from row to row). Decoding errors are Corrupt.
  Status load_record(std::int64_t key, std::string_view record, std::vector<Value>& scratch);
  // Resolves the column positions of every index whose table exists, lists
  // those indexes under their tables in ascending key order, and sets
  // next_schema_rowid to one more than the largest key seen (1 when there
  // was none). The largest key being INT64_MAX is Corrupt: no key would be
  // left to hand out.
  Status finish_load();

  // ---- schema changes, applied only after the file holds them.

  // Stores a created table and moves next_schema_rowid past its key.
  void add_table(TableDef def);
  // Stores a created index, lists it last under its table, moves
  // next_schema_rowid past its key.
  void add_index(IndexDef def);
  // Removes a table, its index list and the indexes on that list.
  void remove_table(std::string_view name);
  // Removes an index and every entry of it in its table's list.
  void remove_index(std::string_view name);

  // The definitions of a table's indexes, in list order; names without a
  // definition are left out.
  std::vector<const IndexDef*> indexes_of(std::string_view table) const;
  // Every index definition in ascending schema key order.
  std::vector<const IndexDef*> indexes_by_key() const;

 private:
  std::int64_t max_key_ = 0;
  bool any_key_ = false;
};

}  // namespace bkf::catalog
