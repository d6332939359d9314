// Node pages: the one layout of every B-tree page, and the checked view
// through which every reader and writer of such a page goes.
//
// Layout (big-endian):
//   0      kind: 1 table interior, 2 table leaf, 3 index interior, 4 index leaf
//   1-2    cell count n
//   3-4    content start cs: lowest byte used by cells; P on a fresh page,
//          stored as 0 when it is 65536 (only on 65536-byte pages)
//   5-6    zero
//   7-10   right child (interior pages; 0 on leaves)
//   11     zero
//   12..   n cell pointers (u16 offsets), in key order
//   cs..P  the cells, packed towards the end of the page
// The bytes between the pointer array and cs are the free gap. Space of a
// removed cell is not tracked; a compaction repacks the cells (cell 0 ending
// at P, each next one just below) when the gap is too small but the page as a
// whole has room.
//
// Interior pages: cell i = (child, key) covers the keys greater than cell
// i-1's key and at most its own; the right child covers the keys above the
// last cell's. A search takes the first cell whose key is at least the
// target, else the right child, so a key equal to a separator lies left.
//
// Damage. Pages come from a file and may be anything. NodeView::open checks
// the kind against the tree type (a table tree accepts only kinds 1 and 2, an
// index tree only 3 and 4), the cell count (the pointer array must fit) and
// the content start (12 + 2n <= cs <= P). Each cell's pointer (cs <= ptr < P)
// and length (within the page, its varints well-formed) are checked when the
// cell is read, and operations that move every cell (compaction) check every
// cell first. Every fault is a Corrupt error; no operation here can read or
// write outside the page, however damaged it is.
//
// A view does not own the page; it caches the count and content start, so
// the page must be changed only through one NodeMut while views of it live.
// Nothing here touches the pager's dirty flag: the caller sets it.
//
// Views opened from a cached page (open(const PageRef&, ...)) remember in
// the page's memo (pager/page_cache.h) the head they checked and, once a
// search asked for them, a table page's first and last keys; both are
// trusted only while the page's version is the one they were derived at, so
// they are derived once per load or change, not per visit. Table searches
// use the two keys to place their first probe by interpolation (a leaf of
// consecutive row ids is searched with one probe) and to answer keys
// outside the page's range without probing at all. Every probe still reads
// its cell through the checks above.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"
#include "btree/cell.h"
#include "pager/page_cache.h"

namespace bkf {

enum class TreeType : std::uint8_t { Table, Index };

namespace node {

inline constexpr std::uint8_t kTableInterior = 1;
inline constexpr std::uint8_t kTableLeaf = 2;
inline constexpr std::uint8_t kIndexInterior = 3;
inline constexpr std::uint8_t kIndexLeaf = 4;

inline constexpr std::size_t kHeadSize = 12;
inline constexpr std::size_t kPointerSize = 2;

inline constexpr std::uint8_t leaf_kind(TreeType t) noexcept { return t == TreeType::Table ? kTableLeaf : kIndexLeaf; }
inline constexpr std::uint8_t interior_kind(TreeType t) noexcept {
  return t == TreeType::Table ? kTableInterior : kIndexInterior;
}

// Largest table payload kept wholly in a leaf cell: 186 bytes for 512-byte
// pages, 1978 for 4096, 32698 for 65536.
inline constexpr std::size_t max_local(std::size_t page_size) noexcept { return (page_size - 12) / 2 - 64; }

// Largest index key: 242 bytes for 512-byte pages, 2034 for 4096, 32754 for
// 65536. An index leaf cell of such a key fits an empty page, and two
// interior cells of such keys fit one page.
inline constexpr std::size_t max_index_key(std::size_t page_size) noexcept { return (page_size - 12) / 2 - 8; }

// Bytes available to cells and their pointers on a page.
inline constexpr std::size_t usable(std::size_t page_size) noexcept { return page_size - kHeadSize; }

}  // namespace node

// Result of a search within a leaf: the cell's index when found, else the
// number of cells with a smaller key (where the key would be inserted).
struct LeafPos {
  std::size_t index;
  bool found;
};

class NodeView {
 public:
  // An empty view (no page); assign the result of open() to it.
  NodeView() = default;
  // Checks the head of a page for a tree of the given type.
  static Result<NodeView> open(std::span<const std::uint8_t> page, TreeType type);
  // The same for a cached page, through its memo (see above). For reading:
  // NodeMut::open is the way to change a page.
  static Result<NodeView> open(const PageRef& page, TreeType type);

  std::uint8_t kind() const noexcept { return kind_; }
  bool is_leaf() const noexcept { return kind_ == node::kTableLeaf || kind_ == node::kIndexLeaf; }
  std::size_t page_size() const noexcept { return size_; }
  std::size_t cell_count() const noexcept { return n_; }
  std::size_t content_start() const noexcept { return cs_; }
  std::uint32_t right_child() const noexcept { return cell::get_u32(p_ + 7); }
  // Bytes of the free gap between the pointer array and the cells.
  std::size_t gap() const noexcept { return cs_ - node::kHeadSize - node::kPointerSize * n_; }

  // The bytes of cell i (i < cell_count()), pointer and length checked.
  Result<std::string_view> cell(std::size_t i) const;
  // The same for a well-formed cell without building a Result (loops over
  // every cell of a page): false whenever cell(i) would fail.
  bool cell_fast(std::size_t i, std::string_view& out) const noexcept;

  // Child of slot i of an interior page: the child of cell i for i below the
  // count, the right child for i equal to it.
  Result<std::uint32_t> child_at(std::size_t i) const;

  // Table pages: row id of a leaf cell, or key of an interior cell.
  Result<std::int64_t> table_key(std::size_t i) const;
  // The same for a well-formed cell without building a Result: false
  // whenever table_key might fail (it then reports why).
  bool table_key_fast(std::size_t i, std::int64_t& key) const noexcept;
  // Table leaf: the parsed head of cell i and the cell's bytes.
  Result<cell::LeafHead> leaf_head(std::size_t i, std::string_view* cell_bytes = nullptr) const;
  // The same for a well-formed cell without building a Result (a scan's
  // inner loop): false whenever leaf_head might fail, which then reports why.
  bool leaf_head_fast(std::size_t i, cell::LeafHead& h, const std::uint8_t*& cell) const noexcept {
    if (i >= n_) return false;
    const std::uint8_t* ptr = p_ + node::kHeadSize + node::kPointerSize * i;
    const std::size_t off = (std::size_t(ptr[0]) << 8) | ptr[1];
    if (off < cs_ || off >= size_ || !cell::parse_leaf_head_fast(p_ + off, size_ - off, h)) return false;
    cell = p_ + off;
    return true;
  }
  // Index pages: key bytes of cell i (leaf or interior).
  Result<std::string_view> index_key(std::size_t i) const;

  // Binary searches. interior_child_index: the first slot whose key is at
  // least the target, or the count (the right child). leaf_find: see LeafPos.
  Result<std::size_t> interior_child_index(std::int64_t rowid) const;
  Result<std::size_t> interior_child_index(std::string_view key) const;
  Result<LeafPos> leaf_find(std::int64_t rowid) const;
  Result<LeafPos> leaf_find(std::string_view key) const;

  // Sum of the lengths of all cells, each one checked.
  Result<std::size_t> cells_bytes() const;

  // Table pages with at least one cell, opened from a cached page: the keys
  // of the first and the last cell, kept in the page's memo. False for views
  // of plain byte spans, and when the keys cannot be read (a damaged cell;
  // the search then meets it on its own).
  bool table_bounds(std::int64_t& first, std::int64_t& last) const;

 protected:
  Result<std::size_t> cell_offset(std::size_t i) const;

  const std::uint8_t* p_ = nullptr;
  std::size_t size_ = 0;
  std::uint8_t kind_ = 0;
  std::size_t n_ = 0;
  std::size_t cs_ = 0;
  // The memo of the cached page this view was opened from, and the version
  // the view saw; nullptr for views of plain byte spans.
  PageMemo* memo_ = nullptr;
  std::uint64_t stamp_ = 0;
};

// A view that may change the page.
class NodeMut : public NodeView {
 public:
  static Result<NodeMut> open(std::span<std::uint8_t> page, TreeType type);
  // The writable view of a page whose head `checked` (a view of the same
  // bytes, unchanged since it was opened) has already checked: open()
  // without checking again.
  static NodeMut adopt(std::span<std::uint8_t> page, const NodeView& checked);
  // Initialises the page as an empty page of that kind and returns its view.
  static NodeMut init(std::span<std::uint8_t> page, std::uint8_t kind);

  // Places cell at index i (0..count; cells from i on move up one index).
  // true when placed; false when the page cannot hold it even after a
  // compaction (the caller splits), page unchanged. Compaction uses scratch
  // as working storage. Corrupt when a compaction finds a damaged cell or
  // cells that add up to more than the page.
  Result<bool> insert_cell(std::size_t i, std::string_view cell, std::string& scratch);

  // Appends a cell to a page being rebuilt from scratch (never compacts):
  // false when it does not fit the gap.
  bool push_cell(std::string_view cell);

  // Drops pointer i; the cell's bytes become dead space.
  void remove_cell(std::size_t i);
  // Keeps the first n cells.
  void truncate_cells(std::size_t n);
  // Copies bytes over cell i, whose length they must have (asserted).
  Status overwrite_cell(std::size_t i, std::string_view bytes);
  void set_right_child(std::uint32_t page);
  // Slot i of an interior page (a cell's child, or the right child when i is
  // the count) now names page.
  Status redirect_child(std::size_t i, std::uint32_t page);

 private:
  std::uint8_t* mp() const noexcept { return const_cast<std::uint8_t*>(p_); }
  void set_count(std::size_t n) noexcept;
  void set_content_start(std::size_t cs) noexcept;
  void set_pointer(std::size_t i, std::size_t off) noexcept;
  Status compact(std::string& scratch);
};

}  // namespace bkf
