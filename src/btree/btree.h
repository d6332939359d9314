// Table B-trees: the rows of one table (or the schema), keyed by row id.
//
// A B+tree: leaves hold (row id, payload) cells in ascending row-id order;
// interior pages hold separators and child page numbers (see node.h). The
// payload is opaque bytes (for tables, an encoded record); one longer than
// max_local keeps its first max_local bytes in the leaf and the rest in an
// overflow chain (overflow.h).
//
// A BTree is a short-lived handle of (pager, root page) made per operation;
// it holds no pages between calls. The root page number never changes: a
// root split moves the root's contents to a new page. Deletes never merge or
// free tree pages (a leaf may stay empty); only truncate_from shrinks a tree.
// Every change runs inside the caller's write transaction, which also makes a
// failed operation atomic: there is no undo inside the tree, and pages
// changed before a failure are discarded by the caller's rollback.
//
// Errors: the pager's (InvalidPage for a page number outside the file, I/O
// and short reads) pass through unchanged; a damaged page, cell or overflow
// chain, a page graph that loops back or shares subtrees, or a page of an
// index tree met in a table tree gives Corrupt. Nothing a file holds can
// crash, hang or make the tree free a page twice.
//
// Ownership: the handle borrows the pager, which must outlive it. Inserts use
// a TreeScratch (split arena and cell buffers): pass one the caller keeps (a
// table cursor of the virtual machine, say) to make a run of inserts
// allocation-free; without one the handle uses its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "btree/page_set.h"
#include "btree/tree_core.h"
#include "pager/pager.h"

namespace bkf {

// Where insert_fast appends: the rightmost leaf as last seen and the largest
// row id in it. The caller owns it (the virtual machine keeps one per table
// cursor, for one run of one statement) and starts with it absent.
struct AppendHint {
  bool present = false;
  PageId leaf = 0;
  std::int64_t last_rowid = 0;
  void clear() { present = false; }
};

class BTree {
 public:
  BTree(Pager& pager, PageId root, TreeScratch* scratch = nullptr)
      : pager_(&pager), root_(root), ext_(scratch) {}

  // Allocates an empty table leaf as the root of a new tree. Inside a write
  // transaction.
  static Result<BTree> create(Pager& pager, TreeScratch* scratch = nullptr);

  PageId root() const { return root_; }
  Pager& pager() const { return *pager_; }
  // Largest payload kept wholly in a leaf cell for this pager's page size.
  std::size_t max_local() const;

  // The row's whole payload (overflow included), or nothing.
  Result<std::optional<std::string>> search(std::int64_t rowid);
  // The same into the caller's buffer (emptied first): true when found, the
  // buffer untouched otherwise. Allocates nothing once the buffer has grown.
  Result<bool> search_into(std::int64_t rowid, std::string& out);

  // Stores the row, replacing a row with the same row id (whose overflow
  // chain is freed). A payload over max_local is first written to a new
  // overflow chain.
  Status insert(std::int64_t rowid, std::string_view payload);

  // Same effect as insert. When the hint is present, the row id is above the
  // hint's, the payload needs no overflow and the hinted page is still a
  // table leaf whose last row id is the hint's, the cell is appended to that
  // leaf if it fits the free gap: one page fetch, no descent, no split.
  // Otherwise insert runs and the hint is refreshed from the rightmost leaf
  // (absent when that leaf is empty). Correct only while nothing but
  // insert_fast with this hint has changed the tree since the hint was set,
  // which the caller guarantees; an absent hint is always valid.
  Status insert_fast(std::int64_t rowid, std::string_view payload, AppendHint& hint);

  // Removes the row and frees its overflow chain; false when there is none.
  Result<bool> remove(std::int64_t rowid);

  // The largest row id in the tree, or nothing when it holds no row. Found
  // even when trailing leaves were emptied by deletes. The caller deals with
  // a result of INT64_MAX (the next row id would not fit).
  Result<std::optional<std::int64_t>> last_rowid();
  // The same from an append hint that insert_fast keeps (under its
  // contract): the hinted leaf is read, and when it is still a table leaf
  // whose last row id is the hint's, that is the answer; otherwise
  // last_rowid() decides.
  Result<std::optional<std::int64_t>> last_rowid_hinted(const AppendHint& hint);

  // Rows in the subtree at page (the root: the table's row count).
  Result<std::uint64_t> count_subtree(PageId page);
  Result<std::uint64_t> count() { return count_subtree(root_); }

  // Frees every page of the subtree at page, the page itself included, and
  // every overflow chain in it; returns the rows it held. A page met twice
  // is Corrupt and never freed twice.
  Result<std::uint64_t> free_subtree(PageId page);

  // Removes every row whose row id is at least rowid and returns how many it
  // removed; subtrees wholly above rowid are freed, and when nothing is left
  // the root becomes an empty leaf (the root page itself is never freed).
  // truncate_from(INT64_MIN) empties the table.
  Result<std::uint64_t> truncate_from(std::int64_t rowid);

 private:
  TreeScratch& scratch() { return ext_ ? *ext_ : own_; }
  // Builds the leaf cell of a row into scratch().cell, writing its overflow
  // chain first when the payload needs one.
  Status make_cell(std::int64_t rowid, std::string_view payload);
  Result<std::uint64_t> free_subtree_into(PageId page, PageIdSet& freed);
  // insert(), leaving the path taken in path; in_place tells whether the
  // cell went into the leaf's free gap (no compaction, no split).
  Status insert_on_path(std::int64_t rowid, std::string_view payload, TreePath& path, bool& in_place);

  Pager* pager_;
  PageId root_;
  TreeScratch* ext_;
  TreeScratch own_;
};

// Frees the overflow chain of a table leaf cell, if it has one. freed: see
// overflow::free_chain.
Status free_cell_overflow(Pager& pager, std::string_view leaf_cell, PageIdSet* freed = nullptr);

}  // namespace bkf
