#include "btree/node.h"

#include <cassert>
#include <cstring>

#include "btree/keyenc.h"
#include "record/varint.h"

namespace bkf {

namespace {

inline std::size_t get_u16(const std::uint8_t* p) noexcept { return (std::size_t(p[0]) << 8) | p[1]; }
inline void put_u16(std::uint8_t* p, std::size_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

}  // namespace

Result<NodeView> NodeView::open(std::span<const std::uint8_t> page, TreeType type) {
  assert(page.size() >= 512 && page.size() <= 65536);
  NodeView v;
  v.p_ = page.data();
  v.size_ = page.size();
  v.kind_ = page[0];
  if (v.kind_ != node::leaf_kind(type) && v.kind_ != node::interior_kind(type)) {
    return Error::corrupt(type == TreeType::Table ? "page is not a table b-tree page"
                                                  : "page is not an index b-tree page");
  }
  v.n_ = get_u16(v.p_ + 1);
  if (node::kHeadSize + node::kPointerSize * v.n_ > v.size_) return Error::corrupt("cell count exceeds page");
  std::size_t cs = get_u16(v.p_ + 3);
  if (cs == 0 && v.size_ == 65536) cs = 65536;
  if (cs < node::kHeadSize + node::kPointerSize * v.n_ || cs > v.size_) {
    return Error::corrupt("content start outside the page's cell area");
  }
  v.cs_ = cs;
  return v;
}

Result<std::size_t> NodeView::cell_offset(std::size_t i) const {
  assert(i < n_);
  std::size_t off = get_u16(p_ + node::kHeadSize + node::kPointerSize * i);
  if (off < cs_ || off >= size_) return Error::corrupt("cell pointer outside the page's cell area");
  return off;
}

Result<std::string_view> NodeView::cell(std::size_t i) const {
  std::size_t off = BKF_TRY(cell_offset(i));
  std::size_t len = BKF_TRY(cell::cell_len(kind_, p_ + off, size_ - off));
  return std::string_view(reinterpret_cast<const char*>(p_) + off, len);
}

Result<std::uint32_t> NodeView::child_at(std::size_t i) const {
  assert(!is_leaf() && i <= n_);
  if (i == n_) return right_child();
  std::string_view c = BKF_TRY(cell(i));
  return cell::get_u32(ubytes(c));
}

Result<cell::LeafHead> NodeView::leaf_head(std::size_t i, std::string_view* cell_bytes) const {
  assert(kind_ == node::kTableLeaf);
  std::size_t off = BKF_TRY(cell_offset(i));
  cell::LeafHead h = BKF_TRY(cell::parse_leaf_head(p_ + off, size_ - off));
  if (cell_bytes) *cell_bytes = std::string_view(reinterpret_cast<const char*>(p_) + off, h.cell_len());
  return h;
}

Result<std::int64_t> NodeView::table_key(std::size_t i) const {
  if (kind_ == node::kTableLeaf) {
    cell::LeafHead h = BKF_TRY(leaf_head(i));
    return h.rowid;
  }
  assert(kind_ == node::kTableInterior);
  std::size_t off = BKF_TRY(cell_offset(i));
  return cell::interior_key(p_ + off, size_ - off);
}

Result<std::string_view> NodeView::index_key(std::size_t i) const {
  std::size_t off = BKF_TRY(cell_offset(i));
  if (kind_ == node::kIndexLeaf) return cell::index_leaf_key(p_ + off, size_ - off);
  assert(kind_ == node::kIndexInterior);
  return cell::index_interior_key(p_ + off, size_ - off);
}

Result<std::size_t> NodeView::interior_child_index(std::int64_t rowid) const {
  std::size_t lo = 0, hi = n_;
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    std::int64_t k = BKF_TRY(table_key(mid));
    if (k < rowid) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

Result<std::size_t> NodeView::interior_child_index(std::string_view key) const {
  std::size_t lo = 0, hi = n_;
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    std::string_view k = BKF_TRY(index_key(mid));
    if (keyenc::compare_keys(k, key) < 0) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

Result<LeafPos> NodeView::leaf_find(std::int64_t rowid) const {
  std::size_t lo = 0, hi = n_;
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    std::int64_t k = BKF_TRY(table_key(mid));
    if (k == rowid) return LeafPos{mid, true};
    if (k < rowid) lo = mid + 1;
    else hi = mid;
  }
  return LeafPos{lo, false};
}

Result<LeafPos> NodeView::leaf_find(std::string_view key) const {
  std::size_t lo = 0, hi = n_;
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    std::string_view k = BKF_TRY(index_key(mid));
    int c = keyenc::compare_keys(k, key);
    if (c == 0) return LeafPos{mid, true};
    if (c < 0) lo = mid + 1;
    else hi = mid;
  }
  return LeafPos{lo, false};
}

Result<std::size_t> NodeView::cells_bytes() const {
  std::size_t total = 0;
  for (std::size_t i = 0; i < n_; ++i) {
    std::string_view c = BKF_TRY(cell(i));
    total += c.size();
  }
  return total;
}

Result<NodeMut> NodeMut::open(std::span<std::uint8_t> page, TreeType type) {
  NodeView v = BKF_TRY(NodeView::open(page, type));
  NodeMut m;
  static_cast<NodeView&>(m) = v;
  return m;
}

NodeMut NodeMut::init(std::span<std::uint8_t> page, std::uint8_t kind) {
  assert(page.size() >= 512 && page.size() <= 65536);
  std::memset(page.data(), 0, node::kHeadSize);
  page[0] = kind;
  NodeMut m;
  m.p_ = page.data();
  m.size_ = page.size();
  m.kind_ = kind;
  m.n_ = 0;
  m.set_content_start(page.size());
  return m;
}

void NodeMut::set_count(std::size_t n) noexcept {
  n_ = n;
  put_u16(mp() + 1, n);
}

void NodeMut::set_content_start(std::size_t cs) noexcept {
  cs_ = cs;
  put_u16(mp() + 3, cs & 0xffff);  // 65536 is stored as 0
}

void NodeMut::set_pointer(std::size_t i, std::size_t off) noexcept {
  put_u16(mp() + node::kHeadSize + node::kPointerSize * i, off);
}

Status NodeMut::compact(std::string& scratch) {
  // Copy every cell out in pointer order, then lay them down from the end of
  // the page: cell 0 ends at P, each next one just below the previous.
  std::size_t total = BKF_TRY(cells_bytes());
  if (total > size_ - node::kHeadSize - node::kPointerSize * n_) {
    return Error::corrupt("cells add up to more than the page");
  }
  // Each copy is preceded by its length (u16: a cell is shorter than a page).
  scratch.clear();
  scratch.reserve(total + node::kPointerSize * n_);
  for (std::size_t i = 0; i < n_; ++i) {
    std::string_view c = BKF_TRY(cell(i));
    char len[2] = {static_cast<char>(c.size() >> 8), static_cast<char>(c.size())};
    scratch.append(len, 2);
    scratch.append(c);
  }
  std::size_t off = size_;
  const std::uint8_t* src = ubytes(scratch);
  for (std::size_t i = 0; i < n_; ++i) {
    std::size_t len = get_u16(src);
    off -= len;
    std::memcpy(mp() + off, src + 2, len);
    set_pointer(i, off);
    src += 2 + len;
  }
  set_content_start(off);
  return {};
}

Result<bool> NodeMut::insert_cell(std::size_t i, std::string_view cell, std::string& scratch) {
  assert(i <= n_);
  const std::size_t need = cell.size() + node::kPointerSize;
  if (gap() < need) {
    std::size_t used = BKF_TRY(cells_bytes());
    std::size_t room = size_ - node::kHeadSize - node::kPointerSize * n_;
    if (used > room) return Error::corrupt("cells add up to more than the page");
    if (room - used < need) return false;
    BKF_TRY(compact(scratch));
    assert(gap() >= need);
  }
  std::size_t off = cs_ - cell.size();
  std::memcpy(mp() + off, cell.data(), cell.size());
  set_content_start(off);
  std::uint8_t* ptrs = mp() + node::kHeadSize;
  std::memmove(ptrs + node::kPointerSize * (i + 1), ptrs + node::kPointerSize * i, node::kPointerSize * (n_ - i));
  set_pointer(i, off);
  set_count(n_ + 1);
  return true;
}

bool NodeMut::push_cell(std::string_view cell) {
  if (gap() < cell.size() + node::kPointerSize) return false;
  std::size_t off = cs_ - cell.size();
  std::memcpy(mp() + off, cell.data(), cell.size());
  set_content_start(off);
  set_pointer(n_, off);
  set_count(n_ + 1);
  return true;
}

void NodeMut::remove_cell(std::size_t i) {
  assert(i < n_);
  std::uint8_t* ptrs = mp() + node::kHeadSize;
  std::memmove(ptrs + node::kPointerSize * i, ptrs + node::kPointerSize * (i + 1),
               node::kPointerSize * (n_ - i - 1));
  set_count(n_ - 1);
}

void NodeMut::truncate_cells(std::size_t n) {
  assert(n <= n_);
  set_count(n);
}

Status NodeMut::overwrite_cell(std::size_t i, std::string_view bytes) {
  std::size_t off = BKF_TRY(cell_offset(i));
  assert(bytes.size() <= size_ - off);
  std::memcpy(mp() + off, bytes.data(), bytes.size());
  return {};
}

void NodeMut::set_right_child(std::uint32_t page) { cell::put_u32(mp() + 7, page); }

Status NodeMut::redirect_child(std::size_t i, std::uint32_t page) {
  assert(!is_leaf() && i <= n_);
  if (i == n_) {
    set_right_child(page);
    return {};
  }
  std::size_t off = BKF_TRY(cell_offset(i));
  if (size_ - off < 4) return Error::corrupt("cell runs past the end of its page");
  cell::put_u32(mp() + off, page);
  return {};
}

}  // namespace bkf
