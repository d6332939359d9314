// Index B-trees: sets of unique byte-string keys in bytewise order, and a
// forward cursor over them.
//
// Keys are the index keys of keyenc.h (encoded values, then the row id), so
// the tree never interprets them; it compares them as unsigned bytes over the
// common length, the shorter first on a tie. Keys are stored whole (never
// overflow): a key may be at most max_key_len(P) = (P - 12) / 2 - 8 bytes,
// 2034 for 4096-byte pages.
//
// Handles, transactions, damage and errors are as for table trees (btree.h):
// pager errors pass through, damage (including a table page met in an index
// tree) is Corrupt. Deletes never merge or free pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "btree/node.h"
#include "btree/tree_core.h"
#include "pager/pager.h"

namespace bkf {

class IndexBTree {
 public:
  IndexBTree(Pager& pager, PageId root, TreeScratch* scratch = nullptr)
      : pager_(&pager), root_(root), ext_(scratch) {}

  // Allocates an empty index leaf as the root of a new tree. Inside a write
  // transaction.
  static Result<IndexBTree> create(Pager& pager, TreeScratch* scratch = nullptr);

  static std::size_t max_key_len(std::size_t page_size) { return node::max_index_key(page_size); }

  PageId root() const { return root_; }

  // Adds the key; a key already present is left alone (its page not even
  // marked dirty). A key longer than max_key_len fails with Exec "index key
  // too large ({} bytes)" and changes nothing.
  Status insert(std::string_view key);

  // Removes the key; false when it was not present.
  Result<bool> remove(std::string_view key);

  // Whether some key begins with prefix (equal counts). Reads one key after
  // one descent: a prefix sorts before every key that extends it, so the
  // first key at or after it is the only candidate. Allocates nothing.
  Result<bool> contains_prefix(std::string_view prefix);

  // Number of keys.
  Result<std::uint64_t> count();

 private:
  TreeScratch& scratch() { return ext_ ? *ext_ : own_; }

  Pager* pager_;
  PageId root_;
  TreeScratch* ext_;
  TreeScratch own_;
};

class IndexCursor {
 public:
  // An unpositioned cursor over the tree at root; reads nothing until seek().
  IndexCursor(Pager& pager, PageId root) : walk_(pager, root) {}

  bool positioned() const { return walk_.positioned(); }
  // Unpositioned, over the tree at root (same pager): what a new cursor on
  // root is.
  void reopen(PageId root) { walk_.reset(root); }

  // Positions before the first key that is at least key. A seek that fails
  // leaves the cursor unpositioned.
  Status seek(std::string_view key);

  // The next key, or nothing at the end (and ever after, until a seek).
  Result<std::optional<std::string>> next();
  // The next key into the caller's buffer (emptied first): true, or false at
  // the end with the buffer untouched.
  Result<bool> next_into(std::string& key);

  // Moves to the first key of the next leaf, or ends the cursor.
  Status advance() { return walk_.advance(); }

 private:
  TreeWalker<IndexKeys> walk_;
};

}  // namespace bkf
