// Every page of a B-tree: its node pages and, in a table tree, the overflow
// pages of its rows. The integrity check accounts for the pages of the file
// with walk_tree_pages; free_tree gives a whole tree back to the free list
// (a dropped table or index, an index replaced by a rebuild).
//
// walk_tree_pages reads the whole tree depth-first in key order, each node
// page before its children and each row's overflow chain right after its
// leaf page. Damage does not end the walk: a page that cannot be read or is
// not a node of the tree's type, a cell that cannot be read, a broken
// overflow chain and a tree deeper than any valid one are handed to the
// visitor, and the walk goes on with the next cell or child. Damage is an
// error of kind Corrupt, InvalidPage or ShortRead; any other error (I/O)
// ends the walk and is returned. The walk only reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "btree/node.h"
#include "pager/pager.h"
#include "base/result.h"

namespace bkf {

// The kinds of error that damaged file content gives when read.
inline bool is_damage(const Error& e) {
  return e.is(ErrorKind::Corrupt) || e.is(ErrorKind::InvalidPage) || e.is(ErrorKind::ShortRead);
}

class TreePageVisitor {
 public:
  virtual ~TreePageVisitor() = default;
  // A page the tree points at, read without error: a node page before it is
  // opened, an overflow page as its chain is followed. A node page for which
  // this returns false (the visitor met it before) is not entered, so a page
  // graph that loops or shares subtrees is walked only once.
  virtual bool page(PageId id) = 0;
  // Damage at node page `page`: in the page itself, or, with a row id, in
  // that row's payload (its cell or its overflow chain).
  virtual void damage(PageId page, std::optional<std::int64_t> rowid, const Error& error) = 0;
  // Table trees: every row with its whole payload, when wants_rows().
  virtual bool wants_rows() const { return false; }
  virtual void row(std::int64_t /*rowid*/, std::string_view /*payload*/) {}
};

Status walk_tree_pages(Pager& pager, PageId root, TreeType type, TreePageVisitor& visitor);

// Frees every page of the tree at root, the root included, and every
// overflow chain in it, once a walk has read the whole tree and found it
// sound: no damage and no page reached twice. A damaged tree frees nothing
// and gives false; its pages stay allocated, and the integrity check
// reports them as used by nothing. Inside a write transaction.
Result<bool> free_tree(Pager& pager, PageId root, TreeType type);

}  // namespace bkf
