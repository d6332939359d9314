// Cursor: a forward walk over a table B-tree in row-id order.
//
// Serves full scans, scans from a row id, single-row lookups by seek, and the
// changes a scan makes to the row it has just read (delete it, rewrite it in
// place). It keeps only page numbers between calls (the path from the root
// and the current leaf with the index of the next cell) and fetches its leaf
// again on every call.
//
// Calling order: rewind() or seek(), then next()/next_into() repeatedly;
// delete_current() and update_current_inplace() only right after a next that
// returned a row. Calling either without such a row is a programming error
// (asserted). The position survives those two calls, since neither frees,
// merges or reorders pages; any other change to the tree while a cursor is
// in use (an insert that splits, a truncation, a delete through another
// handle) invalidates it, and callers defer such changes until the scan ends.
//
// Errors: pager errors pass through; damage (a bad page or cell, a page graph
// that loops back or shares subtrees) is Corrupt. After an error the cursor
// must not be used further except to rewind or seek it again.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/result.h"
#include "btree/tree_core.h"
#include "pager/pager.h"

namespace bkf {

class Cursor {
 public:
  // An unpositioned cursor over the tree at root; the pager must outlive it.
  Cursor(Pager& pager, PageId root) : walk_(pager, root) {}

  PageId root() const { return walk_.root(); }
  bool positioned() const { return walk_.positioned(); }

  // Unpositioned, with an empty path.
  void reset() { walk_.reset(); }
  // Unpositioned, over the tree at root (same pager): what a new cursor on
  // root is, keeping this one's buffers.
  void reopen(PageId root) { walk_.reset(root); }
  // reset(), then before the first row of the tree.
  Status rewind() {
    walk_.reset();
    return walk_.descend_leftmost(walk_.root());
  }
  // Before the first row of the subtree at page; the path is not emptied
  // first (rewind() does that for the whole tree).
  Status descend_leftmost(PageId page) { return walk_.descend_leftmost(page); }

  // The next row returned is the first whose row id is at least rowid. When
  // the cursor sits in a leaf whose row ids span rowid, it moves within that
  // leaf without descending from the root (a lookup per outer row of a join
  // stays on one leaf while it can).
  Status seek(std::int64_t rowid);

  // The next row: (row id, whole payload), or nothing at the end (where the
  // cursor stays).
  Result<std::optional<std::pair<std::int64_t, std::string>>> next();
  // The next row's id, its payload written into the caller's buffer (emptied
  // first; its capacity is kept, so a scan allocates nothing per row unless
  // payloads grow); nothing at the end, the buffer then untouched.
  Result<std::optional<std::int64_t>> next_into(std::string& payload);

  // The common step of a scan, inline: when the cursor's kept leaf holds
  // the next row in a well-formed cell without overflow, reads it as
  // next_into() would (row id out, payload into the buffer) and returns
  // true; otherwise returns false having changed nothing, and next_into()
  // takes the step.
  bool next_local(std::string& payload, std::int64_t& rowid) {
    const NodeView* v = walk_.kept_view();
    cell::LeafHead h;
    const std::uint8_t* c;
    if (v == nullptr || !v->leaf_head_fast(walk_.idx(), h, c) || h.has_overflow()) return false;
    walk_.set_idx(walk_.idx() + 1);
    const std::size_t n = static_cast<std::size_t>(h.local);
    if (payload.capacity() >= n) {
      payload.resize(n);
      if (n != 0) std::memcpy(payload.data(), c + h.head_len, n);
    } else {
      payload.assign(reinterpret_cast<const char*>(c) + h.head_len, n);
    }
    rowid = h.rowid;
    return true;
  }

  // Moves to the first cell of the next leaf, or past the end.
  Status advance() { return walk_.advance(); }

  // Removes the row last returned and frees its overflow chain; the next row
  // returned is the one that followed it. Pages are never freed or merged,
  // also when the leaf becomes empty.
  Status delete_current();

  // Rewrites the row last returned with payload, in place: true when done;
  // false, with nothing changed, when payload needs an overflow chain, the
  // old cell has one, the new cell would be longer than the old, or rowid is
  // not the row's id. The next row returned is still the one after it.
  Result<bool> update_current_inplace(std::int64_t rowid, std::string_view payload);

 private:
  TreeWalker<TableKeys> walk_;
  std::string cell_;     // the rewritten cell of update_current_inplace
  std::string compact_;  // compaction copy
};

}  // namespace bkf
