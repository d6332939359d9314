// The machinery shared by table and index B-trees: descent, cell placement
// with splits, and forward walks. Generic over the key kind through a small
// traits type (TableKeys: row ids; IndexKeys: byte strings), so both trees
// split, descend and walk through the same code.
//
// This header is internal to the B-tree layer; other layers use btree.h,
// cursor.h and index.h.
//
// Damage. Every page is read through the checked page view (node.h), which
// rejects pages of the other tree type. Every descent checks that a child is
// not already on its path and that the path stays under kMaxTreeDepth levels;
// walks over many leaves stop with Corrupt once they have entered more leaves
// than the file has pages (a page graph that shares subtrees). So damage
// gives Corrupt, never a loop, a deep recursion or an out-of-bounds access.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/result.h"
#include "btree/node.h"
#include "btree/page_set.h"
#include "pager/pager.h"

namespace bkf {

// Deeper than any tree a file of 2^32 pages can hold (interior pages have at
// least two children except in rare one-sided splits).
inline constexpr std::size_t kMaxTreeDepth = 64;

inline std::span<const std::uint8_t> page_bytes(const PageRef& p) { return {p.data(), p.size()}; }
// Marks the page dirty.
inline std::span<std::uint8_t> page_bytes_mut(PageRef& p) { return {p.mutable_data(), p.size()}; }

// The cells of a page being split, copied back to back into one reusable
// buffer with the new cell in its place.
class SplitArena {
 public:
  // Copies every cell of v (each one checked) with extra inserted at index at.
  Status load(const NodeView& v, std::size_t at, std::string_view extra);
  std::size_t count() const { return ends_.size(); }
  std::string_view cell(std::size_t i) const {
    std::size_t begin = i ? ends_[i - 1] : 0;
    return std::string_view(bytes_.data() + begin, ends_[i] - begin);
  }
  // Bytes of cells [0, k) with their pointers.
  std::size_t prefix_cost(std::size_t k) const { return (k ? ends_[k - 1] : 0) + node::kPointerSize * k; }

 private:
  // Copies go to bytes_[0, used_); bytes_ only grows, so a split allocates
  // nothing once the arena has seen a page.
  void add(std::string_view c) {
    if (c.size() > bytes_.size() - used_) bytes_.resize(std::max(2 * bytes_.size(), used_ + c.size()));
    if (!c.empty()) std::memcpy(bytes_.data() + used_, c.data(), c.size());
    used_ += c.size();
    ends_.push_back(static_cast<std::uint32_t>(used_));
  }
  std::string bytes_;
  std::size_t used_ = 0;
  std::vector<std::uint32_t> ends_;
};

// Working storage of tree changes. Reused from operation to operation, it
// makes inserts and splits allocation-free once grown; B-tree handles keep
// one, or borrow a longer-lived one from their caller.
struct TreeScratch {
  SplitArena arena;
  std::string cell;      // the cell being inserted
  std::string sep;       // separator key part carried up a level
  std::string next_sep;
  std::string interior;  // interior cell under construction
  std::string compact;   // copy used by page compaction
};

// Split points that keep both pages within the page (each cell and its
// pointer counted). Leaf: k cells stay left, the rest go right, 1 <= k < n;
// starts from the byte-balanced point and moves outward until both sides fit.
// Interior: cell m goes up, [0, m) stay left and (m, n) go right; starts from
// n / 2, prefers 1 <= m <= n - 2, and falls back to a one-sided split only
// when nothing else fits (two near-limit separators on a 65536-byte page).
// Corrupt when no point fits, which only damaged cells can cause.
Result<std::size_t> choose_leaf_split(const SplitArena& a, std::size_t page_size);
Result<std::size_t> choose_interior_split(const SplitArena& a, std::size_t page_size);

// Row-id keys of table trees. The key part of an interior cell (what follows
// its child number) is the zigzag varint of the key.
struct TableKeys {
  static constexpr TreeType kType = TreeType::Table;
  using Key = std::int64_t;
  // The key part of the separator made from a leaf cell (its row id).
  static Status separator_of_leaf_cell(std::string_view cell, std::string& out);
};

// Byte-string keys of index trees. The key part of an interior cell is the
// varint length and the key bytes, just like a whole index leaf cell.
struct IndexKeys {
  static constexpr TreeType kType = TreeType::Index;
  using Key = std::string_view;
  static Status separator_of_leaf_cell(std::string_view cell, std::string& out);
};

// A root-to-leaf path of pinned pages: the interior pages with the slot taken
// in each, then the leaf.
struct TreePath {
  std::array<PageRef, kMaxTreeDepth> pages;
  std::array<std::size_t, kMaxTreeDepth> slots{};
  std::size_t depth = 0;
  PageRef leaf;

  bool contains(PageId id) const {
    for (std::size_t i = 0; i < depth; ++i)
      if (pages[i].id() == id) return true;
    return false;
  }
};

// Descends from root to the leaf that holds or would hold key.
template <class K>
Status descend(Pager& pager, PageId root, typename K::Key key, TreePath& path);

// The same descent for lookups, which need only the leaf: the interior pages
// are not kept pinned, only their numbers for the cycle check.
template <class K>
Result<PageRef> descend_to_leaf(Pager& pager, PageId root, typename K::Key key);

// Places cell at index i of the path's leaf, splitting the leaf and then
// every full interior page up the path; a split of the root moves its
// contents to a new page so that the root keeps its number.
template <class K>
Status place_cell(Pager& pager, TreePath& path, std::size_t i, std::string_view cell, TreeScratch& s);

// The leaf reached from page by following right children.
Result<PageRef> rightmost_leaf(Pager& pager, PageId page, TreeType type);

// Number of leaf cells in the subtree at page.
Result<std::uint64_t> count_cells(Pager& pager, PageId page, TreeType type);

// The last leaf, in key order, of the subtree at page that holds a cell;
// empty when every leaf is empty.
Result<PageRef> last_nonempty_leaf(Pager& pager, PageId page, TreeType type);

// A forward walk over the leaves of a tree: the path stack of a cursor.
// Positioned means (leaf, idx): idx is the next cell of that leaf to return.
//
// The walker keeps its current leaf pinned, with the view it opened, so
// that reading a leaf row after row costs no page lookup. The pinned copy is
// used only while it is still the cache's copy of the page and its version
// is the one the view was opened at; otherwise (the page was changed, or
// the cache let go of it) the leaf is fetched and checked again, exactly as
// if it had not been kept.
template <class K>
class TreeWalker {
 public:
  TreeWalker(Pager& pager, PageId root) : pager_(&pager), root_(root) {}

  Pager& pager() const { return *pager_; }
  PageId root() const { return root_; }
  bool positioned() const { return positioned_; }
  PageId leaf() const { return leaf_; }
  std::size_t idx() const { return idx_; }
  void set_idx(std::size_t i) { idx_ = i; }

  // Unpositioned, with an empty stack, over the tree at root.
  void reset(PageId root) {
    root_ = root;
    reset();
  }
  // Unpositioned, with an empty stack, holding no page.
  void reset() {
    unposition();
    root_ref_ = PageRef();
    child_leaves_.clear();
  }
  // From page down child 0 to a leaf, pushing the interior pages passed;
  // positions before the leaf's first cell. The stack is not emptied first.
  Status descend_leftmost(PageId page);
  // Empties the stack and descends to the first cell whose key is at least
  // key (possibly one past the leaf's last cell).
  Status seek(typename K::Key key);
  // seek() without touching the pager, when it can: the tree's kept root
  // leads to a leaf kept from an earlier seek whose row ids are consecutive
  // (see ChildLeaf). True when positioned exactly as seek() would position;
  // false, having changed nothing, otherwise. Table trees only.
  bool seek_kept(std::int64_t key);
  // Moves to the first cell of the next leaf, or unpositions at the end.
  Status advance();
  // The view of the leaf holding the next cell, moving past exhausted and
  // empty leaves, or nullptr at the end (unpositioned). Valid until the
  // walker moves or the page is changed.
  Result<const NodeView*> current_view();
  // The view of the current leaf (idx may be at its end), or nullptr when
  // unpositioned.
  Result<const NodeView*> leaf_view();
  // The fast path of current_view(), for a scan's inner loop: the kept leaf
  // when it still holds the next cell, else nullptr (call current_view()).
  const NodeView* kept_view() const {
    return positioned_ && leaf_kept() && idx_ < leaf_view_.cell_count() ? &leaf_view_ : nullptr;
  }

 private:
  struct Entry {
    PageId page;
    std::size_t next;  // next child slot to visit; count means the right child
  };
  bool on_stack(PageId id) const {
    for (std::size_t i = 0; i < depth_; ++i)
      if (stack_[i].page == id) return true;
    return false;
  }
  // Unpositioned, with an empty stack; an interior root stays kept.
  void unposition() {
    depth_ = 0;
    positioned_ = false;
    leaves_entered_ = 0;
    leaf_ref_ = PageRef();
  }
  Status enter_leaf(PageId id, PageRef&& ref, const NodeView& view);
  bool root_kept() const {
    return root_ref_ && root_ref_.id() == root_ && root_ref_.attached() && root_ref_.version() == root_version_;
  }
  bool leaf_kept() const {
    return leaf_ref_ && leaf_ref_.id() == leaf_ && leaf_ref_.attached() && leaf_ref_.version() == leaf_version_;
  }

  Pager* pager_;
  PageId root_;
  std::array<Entry, kMaxTreeDepth> stack_;  // entries [0, depth_) are set
  std::size_t depth_ = 0;
  bool positioned_ = false;
  PageId leaf_ = 0;
  std::size_t idx_ = 0;
  std::uint64_t leaves_entered_ = 0;
  PageRef leaf_ref_;  // the pinned current leaf (see above)
  NodeView leaf_view_;
  std::uint64_t leaf_version_ = 0;
  // An interior root, pinned with its view by seek(): every seek starts
  // there, so lookups one after another (a join's inner side) skip its page
  // lookup. Used under the same conditions as the kept leaf.
  PageRef root_ref_;
  NodeView root_view_;
  std::uint64_t root_version_ = 0;
  // Of a table tree's kept root: its separator keys in slot order and its
  // children (the right child last), read once per kept copy of the page
  // when they are all well-formed and strictly ascending.
  void build_root_keys();
  bool root_keys_tried_ = false;
  bool root_keys_ready_ = false;
  std::vector<std::int64_t> root_keys_;
  std::vector<PageId> root_children_;
  double root_scale_ = 0.0;  // slots per unit of key between the first and the last separator
  // Of a kept root with ready keys and at most kMaxChildLeaves children:
  // the leaf children seek() entered, by slot, pinned with their views, so
  // that probes one after another (a join's inner side) find their leaf
  // without a page lookup. An entry is used under the conditions of the
  // kept leaf, and only once its leaf is known to hold the consecutive row
  // ids first, first + 1, ... (checked at the second use, so a walker that
  // enters a leaf once pays nothing for it); there the position of a row id
  // is its distance from first.
  struct ChildLeaf {
    PageRef ref;
    NodeView view;
    std::uint64_t version = 0;
    std::int64_t first = 0;
    enum : std::uint8_t { kUnchecked, kDense, kSparse } layout = kUnchecked;
  };
  static constexpr std::size_t kMaxChildLeaves = 128;
  void keep_child_leaf(std::size_t slot, const PageRef& ref, const NodeView& view);
  std::vector<ChildLeaf> child_leaves_;
};

}  // namespace bkf
