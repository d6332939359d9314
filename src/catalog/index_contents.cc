// Index fill, rebuild and integrity check: the operations that compare an
// index with its table's rows (the check's page accounting is
// page_check.h).
#include "catalog/index_contents.h"

#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "btree/btree.h"
#include "btree/cursor.h"
#include "btree/index.h"
#include "btree/keyenc.h"
#include "btree/tree_pages.h"
#include "catalog/catalog.h"
#include "catalog/page_check.h"
#include "catalog/unique_probe.h"
#include "record/record.h"

namespace bkf {
namespace catalog {
namespace {

// At most this many orphaned or stale entries are reported per index; the
// count message follows regardless.
constexpr std::size_t kMaxProblemsPerIndex = 8;

}  // namespace

Status fill_index(Pager& pager, const TableDef& table, std::span<const std::size_t> positions, bool unique,
                  IndexBTree& index, const std::string& duplicate_message) {
  Cursor rows(pager, table.root);
  BKF_TRY(rows.rewind());
  std::string payload, key;
  std::vector<Value> row, values;
  const IndexedRows indexed{table.root, {positions.begin(), positions.end()}, table.rowid_alias};
  UniqueProbe probe;
  for (;;) {
    const std::optional<std::int64_t> rowid = BKF_TRY(rows.next_into(payload));
    if (!rowid) return {};
    BKF_TRY(decode_record_into(payload, row));
    pick_values(row, *rowid, table.rowid_alias, positions, values);
    if (unique) {
      // Against the rows before this one, whose entries are in the index.
      IndexCursor entries(pager, index.root());
      BKF_TRY(probe.start(entries, values));
      while (const std::optional<std::int64_t> other = BKF_TRY(probe.next(entries))) {
        if (BKF_TRY(probe.conflicts(pager, indexed, *other))) return Error::constraint(duplicate_message);
      }
    }
    keyenc::encode_index_key_into(key, values, *rowid);
    BKF_TRY(index.insert(key));
  }
}

Status fill_or_free(Pager& pager, const TableDef& table, std::span<const std::size_t> positions, bool unique,
                    IndexBTree& index, const std::string& duplicate_message) {
  Status st = fill_index(pager, table, positions, unique, index, duplicate_message);
  if (!st.ok()) (void)free_tree(pager, index.root(), TreeType::Index);
  return st;
}

}  // namespace catalog

Result<std::size_t> Catalog::reindex(Pager& pager, std::optional<std::string_view> table) {
  BKF_TRY(refresh(pager));
  std::vector<std::string> chosen;
  if (table) {
    const std::string name(*table);
    if (!state_.tables.contains(name)) return Error::schema("no such table: " + name);
    auto list = state_.table_indexes.find(name);
    if (list != state_.table_indexes.end()) chosen = list->second;
  } else {
    for (const IndexDef* ix : state_.indexes_by_key()) chosen.push_back(ix->name);
  }

  // Build every new tree and rewrite every schema row first; the catalog is
  // pointed at the new roots only when all of them exist, so a failure
  // leaves no definition naming a tree the caller's rollback discards.
  std::vector<PageId> new_roots;
  new_roots.reserve(chosen.size());
  auto rebuild = [&](const std::string& name) -> Status {
    auto ix = state_.indexes.find(name);
    if (ix == state_.indexes.end()) return Error::schema("no such index: " + name);
    auto t = state_.tables.find(ix->second.table);
    if (t == state_.tables.end()) return Error::schema("no such table: " + ix->second.table);
    IndexBTree tree = BKF_TRY(IndexBTree::create(pager));
    BKF_TRY(catalog::fill_or_free(pager, t->second, ix->second.column_positions, ix->second.unique, tree,
                                  "UNIQUE constraint failed: duplicate value rebuilding " + name));
    IndexDef rebuilt = ix->second;
    rebuilt.root = tree.root();
    BKF_TRY(delete_schema_row(pager, rebuilt.schema_rowid));
    BKF_TRY(write_schema_row(pager, rebuilt.schema_rowid, rebuilt.to_row()));
    new_roots.push_back(tree.root());
    // The row names the new tree now: the old one is given back.
    return free_tree_pages(pager, ix->second.root, TreeType::Index);
  };
  for (const std::string& name : chosen) {
    Status st = rebuild(name);
    if (!st.ok()) {
      // Rows rewritten before the failure name trees this call built: the
      // next refresh reads them back if the transaction goes on.
      if (!new_roots.empty()) unsure_ = true;
      return std::move(st).error();
    }
  }

  if (!chosen.empty()) {
    begin_change();
    for (std::size_t i = 0; i < chosen.size(); ++i) state_.indexes.find(chosen[i])->second.root = new_roots[i];
  }
  return chosen.size();
}

Result<std::vector<std::string>> Catalog::integrity_check(Pager& pager) const {
  catalog::PageCheck pages = BKF_TRY(catalog::check_pages(pager, state_));
  std::vector<std::string> messages;
  std::string key, expected, payload;
  std::vector<Value> row, values;
  for (const IndexDef* ix : state_.indexes_by_key()) {
    auto t = state_.tables.find(ix->table);
    if (t == state_.tables.end()) continue;
    // The page walk has named the damage of these trees already.
    if (pages.unsound_roots.contains(ix->root) || pages.unsound_roots.contains(t->second.root)) continue;
    BTree table(pager, t->second.root);
    IndexCursor entries(pager, ix->root);
    BKF_TRY(entries.seek(std::string_view()));
    std::uint64_t count = 0;
    std::size_t problems = 0;
    catalog::DuplicateFinder duplicates;
    auto report = [&](std::string message) {
      if (problems++ < catalog::kMaxProblemsPerIndex) messages.push_back("index " + ix->name + message);
    };
    while (BKF_TRY(entries.next_into(key))) {
      ++count;
      const std::int64_t rowid = BKF_TRY(keyenc::key_rowid(key));
      if (!BKF_TRY(table.search_into(rowid, payload))) {
        report(": orphaned entry for missing rowid " + std::to_string(rowid));
        continue;
      }
      BKF_TRY(decode_record_into(payload, row));
      catalog::pick_values(row, rowid, t->second.rowid_alias, ix->column_positions, values);
      expected.clear();
      keyenc::encode_index_key_into(expected, values, rowid);
      if (expected != key) {
        report(": stale entry for rowid " + std::to_string(rowid));
      } else if (ix->unique) {
        if (const std::optional<std::int64_t> other = duplicates.add(key, rowid, values)) {
          report(": rowids " + std::to_string(*other) + " and " + std::to_string(rowid) + " hold equal values");
        }
      }
    }
    const std::uint64_t rows = BKF_TRY(table.count());
    if (rows != count) {
      messages.push_back("index " + ix->name + ": " + std::to_string(count) + " entries but table " + t->second.name +
                         " has " + std::to_string(rows) + " rows");
    }
  }
  messages.insert(messages.end(), std::make_move_iterator(pages.messages.begin()),
                  std::make_move_iterator(pages.messages.end()));
  return messages;
}

}  // namespace bkf
