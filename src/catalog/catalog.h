// Catalog: the schema of one open database, in memory, kept in step with the
// schema tree in the file.
//
// The database engine owns one Catalog per open database, made by
// Catalog::open right after the pager is opened. The query compiler reads it
// through get, get_index, indexes_for and TableDef::column_index; the engine
// changes it through the schema operations below, which write the schema
// tree and the in-memory catalog together. Table and index names are matched
// by their exact bytes, each in its own name space; column names ignoring
// ASCII case.
//
// ---------------------------------------------------------------------------
// What the engine calls, and when
// ---------------------------------------------------------------------------
// The pager undoes a rolled-back transaction in the file only; the catalog
// follows with the calls below. Each is cheap when there is nothing to do.
//
//  * Before compiling or running a statement, once the pager's lock is held
//    (after Pager::begin, or after Pager::read_lock for a read outside a
//    transaction): refresh(pager). Another connection's commit is noticed
//    by the pager only at begin and read_lock; refresh reloads the catalog
//    when the pager has adopted such a commit since the catalog was last
//    loaded. (The schema operations below also refresh by themselves before
//    they write, so they never act on a stale schema.)
//
//  * After every successful Pager::commit: discard(). After every
//    Pager::rollback (also the rollback that follows a failed commit, and
//    the automatic rollback of a failed statement outside BEGIN): restore().
//    The first write of a schema operation to the schema tree in a write
//    transaction is preceded by a snapshot of the catalog; restore puts that
//    snapshot back, so the catalog again names exactly the trees the file
//    names, and discard drops it. Without a snapshot (a transaction that
//    wrote no schema row) both do nothing. snapshot() may also be called
//    directly, e.g. at BEGIN; a second call in the same transaction does
//    nothing.
//
//  * generation() rises at every successful schema change (create, drop,
//    add_column, reindex), at every restore that put a snapshot back and at
//    every reload. A prepared statement remembers the generation it was
//    compiled at and is compiled again when the current generation differs.
//    The definitions handed out by get, get_index and indexes_for are views
//    into the catalog: they stay valid only while the generation is
//    unchanged.
//
//  * A failed schema operation leaves the in-memory catalog as it was: each
//    operation changes memory only after every write it makes succeeded.
//    Its writes stay in the caller's transaction, which the caller rolls
//    back (outside BEGIN at once; inside BEGIN at ROLLBACK, or never if the
//    user commits). When the failure came after the operation had already
//    changed the schema tree (a drop that deleted some rows, a reindex that
//    rewrote the first of two rows), the catalog counts as stale: the next
//    refresh loads it from the schema tree as the transaction now holds it,
//    so a COMMIT that follows keeps file and catalog in step, and a
//    ROLLBACK's restore returns to the snapshot.
//
// In code, for a statement outside BEGIN that writes (a read takes
// Pager::read_lock / read_unlock instead of begin / commit and needs neither
// discard nor restore):
//
//   BKF_TRY(pager.begin());
//   Status st = catalog.refresh(pager);
//   if (st.ok()) st = run(...);  // recompiles if catalog.generation() moved
//   if (st.ok()) st = pager.commit();
//   if (st.ok()) catalog.discard();
//   else { (void)pager.rollback(); catalog.restore(); }
//
// BEGIN is pager.begin() then refresh; each statement inside it refreshes
// (cheap: nothing can move while the transaction holds the lock) and runs;
// COMMIT is commit then discard (on failure rollback then restore); ROLLBACK
// is rollback then restore.
//
// Schema keys: a new table or index gets the key
// max(next_schema_rowid, largest key in the schema tree + 1), so even a
// catalog that has not yet seen another connection's definitions never
// reuses one of their keys. Keys only grow while the database is open.
//
// integrity_check and reload only read: the caller holds the pager's read
// lock or a write transaction around them (the pager's read_lock does not
// nest, so they take none themselves). The schema operations run inside the
// caller's write transaction. Only open takes locks and begins a
// transaction of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "btree/node.h"
#include "catalog/defs.h"
#include "catalog/schema_state.h"
#include "pager/pager.h"

namespace bkf {

class Catalog {
 public:
  // Loads the catalog of an opened database. The schema tree is read between
  // Pager::read_lock and Pager::read_unlock. When the header has no schema
  // tree yet, a write transaction is begun, the header's schema root is read
  // again, and only if it is still 0 is the tree created (else another
  // connection created it meanwhile and the empty transaction is committed);
  // the catalog is then loaded. Errors of the pager, the B-trees and the
  // record decoder are returned unchanged; a malformed schema row fails the
  // open with the messages of TableDef::from_row / IndexDef::from_row.
  static Result<Catalog> open(Pager& pager);

  Catalog(Catalog&&) noexcept = default;
  Catalog& operator=(Catalog&&) noexcept = default;
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;

  // ---- Lookups (views valid while generation() is unchanged).

  // The table of exactly this name, or null.
  const TableDef* get(std::string_view name) const;
  // The index of exactly this name, or null.
  const IndexDef* get_index(std::string_view name) const;
  // The indexes of the table of exactly this name, in creation order; empty
  // for a table without indexes and for an unknown table.
  std::vector<const IndexDef*> indexes_for(std::string_view table) const;
  // The whole schema: the maps `tables`, `indexes`, `table_indexes` and
  // `next_schema_rowid`, `schema_root`.
  const catalog::SchemaState& state() const { return state_; }
  std::int64_t next_schema_rowid() const { return state_.next_schema_rowid; }
  std::uint32_t schema_root() const { return state_.schema_root; }

  // ---- Schema changes, inside the caller's write transaction.

  // Creates the table B-tree, writes the schema row, then registers the
  // table. Schema "table \"{}\" already exists", "duplicate column name:
  // {}" (the later of two names equal ignoring ASCII case), both before
  // anything is written. The alias is stored as given (the engine keeps it
  // inside the column list). Loading a stored table makes no such check, so
  // files written before it still open.
  Result<TableDef> create_table(Pager& pager, std::string name, std::vector<Column> columns,
                                std::optional<std::size_t> rowid_alias);

  // Creates the index B-tree, fills it from every row of the table in row-id
  // order (rows shorter than the table read Null for the missing columns,
  // the row-id alias column reads the row id: catalog/index_contents.h),
  // writes the schema row, then registers the index. Errors, tested in this
  // order before any page is written: Schema "index \"{}\" already exists",
  // "no such table: {}", "index \"{}\" has no columns", "no such column: {}"
  // (the first unknown name as written). While filling: Constraint "UNIQUE
  // constraint failed: duplicate value in {}" (index name) when a UNIQUE
  // index meets two rows with equal values (SQL `=`, Null equal to Null:
  // catalog/unique_probe.h; distinct integers that share a key are no
  // duplicates); Exec "index
  // key too large ({} bytes)" from the index B-tree, passed through; a
  // failed fill gives the new tree's pages back first.
  Result<IndexDef> create_index(Pager& pager, std::string name, std::string table, std::vector<std::string> columns,
                                bool unique);

  // Deletes the schema rows of the table's indexes (in creation order), then
  // the table's own row, gives the pages of all their trees back to the
  // free list (free_tree_pages below), then forgets them. False, with nothing
  // changed, when there is no such table.
  Result<bool> drop_table(Pager& pager, std::string_view name);

  // Deletes the index's schema row, gives its tree's pages back, then
  // forgets it. False when absent.
  Result<bool> drop_index(Pager& pager, std::string_view name);

  // Appends a column: rewrites the table's schema row under the same key,
  // then changes the definition. Stored rows are not touched, so they read
  // NULL in the new column (its default serves later inserts only). Schema
  // "no such table: {}", "duplicate column name: {}" (ASCII case ignored).
  Status add_column(Pager& pager, std::string_view table, Column column);

  // Rebuilds the indexes of one table (creation order) or, without a name,
  // every index (ascending schema key order) into new trees, rewrites their
  // schema rows, and only when all of them are rebuilt points the catalog at
  // the new roots. Returns the number rebuilt. Schema "no such table: {}"
  // (the given table, or a chosen index's table); Constraint "UNIQUE
  // constraint failed: duplicate value rebuilding {}"; index B-tree errors
  // such as "index key too large ({} bytes)" passed through. Each old tree's
  // pages go back to the free list once its row names the new tree; a tree
  // whose fill failed gives its pages back before the error is returned.
  Result<std::size_t> reindex(Pager& pager, std::optional<std::string_view> table);

  // Compares every index whose table exists with the table, in ascending
  // schema key order, and returns the problems found (empty when all
  // match). A row's expected key is the one fill_index builds
  // (catalog/index_contents.h), with the row id in the place of the row-id
  // alias column: an entry holding the value the record stores there
  // instead (Null for a row inserted without the alias) is stale, and
  // reindex rebuilds it. The entries of a UNIQUE index whose rows hold
  // equal values (as its UNIQUE checks decide: catalog/unique_probe.h) are
  // duplicates, while several entries of one key prefix for distinct
  // values are fine. Per index at most 8 of "index {}: orphaned entry for
  // missing rowid {}", "index {}: stale entry for rowid {}" and "index {}:
  // rowids {} and {} hold equal values" (an earlier entry's row id, then
  // this one's) in key order, then, when the numbers differ, "index {}: {}
  // entries but table {} has {} rows"; an index whose tree or table tree the page walk found
  // damaged is not compared. Then the messages of the page walk (page_check.h): damaged
  // pages and rows, pages used twice, pages used by nothing. An index key
  // too short to hold a row id is Corrupt; so are errors that are not
  // damage (I/O). Writes nothing.
  Result<std::vector<std::string>> integrity_check(Pager& pager) const;

  // ---- Keeping step with the file (see the top of this file).

  std::uint64_t generation() const { return generation_; }

  // Copies the current schema, unless a copy is already held.
  void snapshot();
  // Puts the held copy back and drops it; raises the generation. Nothing
  // without a copy. Call it after every Pager::rollback.
  void restore() noexcept;
  // Drops the held copy. Call it after every successful Pager::commit.
  void discard() noexcept;
  bool has_snapshot() const { return saved_.has_value(); }

  // True when the pager has adopted another connection's commit since the
  // catalog was last loaded, or when a schema operation failed after it had
  // written to the schema tree.
  bool is_stale(const Pager& pager) const;
  // Loads the catalog again from the schema tree and raises the generation.
  // Call it with the pager's read lock or a write transaction held. A held
  // snapshot is kept when it was taken since the last foreign commit (it
  // still describes the committed schema) and dropped otherwise. On error
  // the catalog is unchanged.
  Status reload(Pager& pager);
  // reload when is_stale.
  Status refresh(Pager& pager);

 private:
  Catalog() = default;

  // Reads every row of the schema tree at root, in key order.
  static Result<catalog::SchemaState> load(Pager& pager, PageId root);
  // The key of a new definition: max(next_schema_rowid, largest key in the
  // schema tree + 1). Corrupt when no key is left.
  Result<std::int64_t> new_schema_key(Pager& pager);
  // Store a schema row under key (replacing one there) / remove the row
  // under key, if there is one. Both take the transaction's snapshot first;
  // a failure marks the catalog stale, since part of the operation's
  // writes may have happened.
  Status write_schema_row(Pager& pager, std::int64_t key, std::span<const Value> row);
  Status delete_schema_row(Pager& pager, std::int64_t key);
  // Gives the pages of the tree at root back to the free list (free_tree in
  // btree/tree_pages.h): nothing when the tree is damaged, or when the
  // schema tree or another definition than the one being dropped or
  // rebuilt names the same root, which only a damaged file does (freeing
  // would break that tree). Call it after the operation's schema rows are
  // written: a failure marks the catalog stale.
  Status free_tree_pages(Pager& pager, PageId root, TreeType type);
  // Called by an operation whose writes all succeeded, right before it
  // changes memory: takes the transaction's snapshot when none is held and
  // raises the generation.
  void begin_change();

  catalog::SchemaState state_;
  std::optional<catalog::SchemaState> saved_;
  std::uint64_t generation_ = 1;
  // The pager's count of adopted foreign commits when the schema was loaded
  // and when the snapshot was taken.
  std::uint64_t loaded_at_ = 0;
  std::uint64_t saved_at_ = 0;
  // A schema operation failed after writing to the schema tree: memory may
  // differ from the tree until the next reload or restore.
  bool unsure_ = false;
};

}  // namespace bkf
