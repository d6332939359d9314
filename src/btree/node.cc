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

// What a view keeps in a cached page's memo: the checked head and, with
// kHasBounds, a table page's first and last keys.
struct NodeMemo {
  static constexpr std::uint8_t kHasBounds = 1;
  std::uint8_t kind;
  std::uint8_t flags;
  std::uint16_t count;
  std::uint32_t content_start;
  std::int64_t first;
  std::int64_t last;
};
static_assert(sizeof(NodeMemo) == PageMemo::kSize);

inline NodeMemo load_memo(const PageMemo& m) noexcept {
  NodeMemo nm;
  std::memcpy(&nm, m.bytes, sizeof nm);
  return nm;
}
inline void store_memo(PageMemo& m, const NodeMemo& nm) noexcept { std::memcpy(m.bytes, &nm, sizeof nm); }

// The next probe of a search for target between two known keys: klo at
// index plo (below the target) and khi at index phi (above it, or at least
// it); the probe lies strictly between the two indexes (plo + 1 < phi is the
// caller's). Interpolation assumes row ids spread evenly over the page,
// which holds exactly for a leaf of consecutive row ids; `round_up` places a
// first-key-at-least search on the slot that ends it.
inline std::size_t interpolate(std::int64_t target, std::int64_t klo, std::size_t plo, std::int64_t khi,
                               std::size_t phi, bool round_up) noexcept {
  // Differences of two keys fit 64 bits unsigned.
  const std::uint64_t dist = static_cast<std::uint64_t>(target) - static_cast<std::uint64_t>(klo);
  const std::uint64_t den = static_cast<std::uint64_t>(khi) - static_cast<std::uint64_t>(klo);
  const std::uint64_t width = phi - plo;
  std::size_t step;
  // A page holds fewer than 2^16 cells, so below 2^37 the product is below
  // 2^53: both operands are exact in a double, and the quotient's floor (or
  // ceiling) is the exact one, without a slow integer division.
  if (dist < (std::uint64_t{1} << 37) && den < (std::uint64_t{1} << 53)) {
    const double q = static_cast<double>(dist * width) / static_cast<double>(den);
    step = static_cast<std::size_t>(q);
    if (round_up && static_cast<double>(step) < q) ++step;
  } else {
    const auto num = static_cast<unsigned __int128>(dist) * width;
    step = static_cast<std::size_t>(round_up ? (num + den - 1) / den : num / den);
  }
  if (step < 1) step = 1;
  if (step > phi - plo - 1) step = phi - plo - 1;
  return plo + step;
}

// Interpolation probes before a search falls back to halving, which bounds
// the probes of pages whose keys are spread unevenly.
constexpr int kInterpolationProbes = 2;

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

Result<NodeView> NodeView::open(const PageRef& page, TreeType type) {
  PageMemo& memo = page.memo();
  const std::uint64_t version = page.version();
  if (memo.stamp == version) {
    const NodeMemo nm = load_memo(memo);
    if (nm.kind == node::leaf_kind(type) || nm.kind == node::interior_kind(type)) {
      NodeView v;
      v.p_ = page.data();
      v.size_ = page.size();
      v.kind_ = nm.kind;
      v.n_ = nm.count;
      v.cs_ = nm.content_start;
      v.memo_ = &memo;
      v.stamp_ = version;
      return v;
    }
    // A page of the other tree type: the checked open reports it.
  }
  NodeView v = BKF_TRY(open(std::span<const std::uint8_t>(page.data(), page.size()), type));
  NodeMemo nm{};
  nm.kind = v.kind_;
  nm.count = static_cast<std::uint16_t>(v.n_);
  nm.content_start = static_cast<std::uint32_t>(v.cs_);
  store_memo(memo, nm);
  memo.stamp = version;
  v.memo_ = &memo;
  v.stamp_ = version;
  return v;
}

bool NodeView::table_bounds(std::int64_t& first, std::int64_t& last) const {
  assert(n_ > 0 && (kind_ == node::kTableLeaf || kind_ == node::kTableInterior));
  // Only a view of a cached page whose memo still describes it can keep the
  // keys; for any other view, reading them would cost more than it saves.
  if (memo_ == nullptr || memo_->stamp != stamp_) return false;
  NodeMemo nm = load_memo(*memo_);
  if (!(nm.flags & NodeMemo::kHasBounds)) {
    Result<std::int64_t> f = table_key(0);
    if (!f.ok()) return false;
    Result<std::int64_t> l = table_key(n_ - 1);
    if (!l.ok()) return false;
    nm.flags |= NodeMemo::kHasBounds;
    nm.first = *f;
    nm.last = *l;
    store_memo(*memo_, nm);
  }
  first = nm.first;
  last = nm.last;
  return true;
}

Result<std::size_t> NodeView::cell_offset(std::size_t i) const {
  assert(i < n_);
  std::size_t off = get_u16(p_ + node::kHeadSize + node::kPointerSize * i);
  if (off < cs_ || off >= size_) return Error::corrupt("cell pointer outside the page's cell area");
  return off;
}

bool NodeView::cell_fast(std::size_t i, std::string_view& out) const noexcept {
  if (i >= n_) return false;
  const std::size_t off = get_u16(p_ + node::kHeadSize + node::kPointerSize * i);
  if (off < cs_ || off >= size_) return false;
  const std::uint8_t* c = p_ + off;
  const std::size_t n = size_ - off;
  std::size_t pos = 0;
  std::uint64_t k;
  switch (kind_) {
    case node::kTableLeaf: {
      cell::LeafHead h;
      if (!cell::parse_leaf_head_fast(c, n, h)) return false;
      pos = h.cell_len();
      break;
    }
    case node::kTableInterior:
      pos = 4;
      if (n < 4 || !cell::read_varint_fast(c, n, pos, k)) return false;
      break;
    case node::kIndexLeaf:
      if (!cell::read_varint_fast(c, n, pos, k) || k > n - pos) return false;
      pos += static_cast<std::size_t>(k);
      break;
    default:
      pos = 4;
      if (n < 4 || !cell::read_varint_fast(c, n, pos, k) || k > n - pos) return false;
      pos += static_cast<std::size_t>(k);
      break;
  }
  out = std::string_view(reinterpret_cast<const char*>(c), pos);
  return true;
}

Result<std::string_view> NodeView::cell(std::size_t i) const {
  // Well-formed cells are measured inline; cell_len decides (and reports)
  // everything else.
  std::string_view fast;
  if (cell_fast(i, fast)) return fast;
  std::size_t off = BKF_TRY(cell_offset(i));
  std::size_t len = BKF_TRY(cell::cell_len(kind_, p_ + off, size_ - off));
  return std::string_view(reinterpret_cast<const char*>(p_) + off, len);
}

Result<std::uint32_t> NodeView::child_at(std::size_t i) const {
  assert(!is_leaf() && i <= n_);
  if (i == n_) return right_child();
  // Only the child number is read: its pointer and its four bytes must lie
  // in the page (the key after it is checked whenever a search reads it).
  std::size_t off = BKF_TRY(cell_offset(i));
  if (size_ - off < 4) return Error::corrupt("cell runs past the end of its page");
  return cell::get_u32(p_ + off);
}

Result<cell::LeafHead> NodeView::leaf_head(std::size_t i, std::string_view* cell_bytes) const {
  assert(kind_ == node::kTableLeaf);
  std::size_t off = BKF_TRY(cell_offset(i));
  cell::LeafHead h = BKF_TRY(cell::parse_leaf_head(p_ + off, size_ - off));
  if (cell_bytes) *cell_bytes = std::string_view(reinterpret_cast<const char*>(p_) + off, h.cell_len());
  return h;
}

// The key of interior cell i when its pointer and key varint are
// well-formed; false otherwise (table_key then reports why).
inline bool interior_key_fast(const std::uint8_t* p, std::size_t size, std::size_t cs, std::size_t n,
                              std::size_t i, std::int64_t& key) noexcept {
  if (i >= n) return false;
  const std::size_t off = get_u16(p + node::kHeadSize + node::kPointerSize * i);
  std::size_t pos = 4;
  std::uint64_t z;
  if (off < cs || off >= size || size - off < 4 || !cell::read_varint_fast(p + off, size - off, pos, z)) return false;
  key = zigzag_decode(z);
  return true;
}

bool NodeView::table_key_fast(std::size_t i, std::int64_t& key) const noexcept {
  if (kind_ == node::kTableLeaf) {
    cell::LeafHead h;
    const std::uint8_t* c;
    if (!leaf_head_fast(i, h, c)) return false;
    key = h.rowid;
    return true;
  }
  return interior_key_fast(p_, size_, cs_, n_, i, key);
}

Result<std::int64_t> NodeView::table_key(std::size_t i) const {
  std::int64_t key;
  if (table_key_fast(i, key)) return key;
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
  std::int64_t first, last;
  if (n_ > 0 && table_bounds(first, last)) {
    if (rowid <= first) return std::size_t{0};
    if (rowid > last) return n_;
    // The answer lies in [1, n-1]: every slot below lo has a smaller key,
    // every slot from hi on a key at least rowid. klo and khi are the keys
    // of the slots plo = lo - 1 and phi = hi that bound the range.
    lo = 1;
    hi = n_ - 1;
    std::int64_t klo = first, khi = last;
    for (int probe = 0; lo < hi && probe < kInterpolationProbes; ++probe) {
      std::size_t mid = interpolate(rowid, klo, lo - 1, khi, hi, true);
      std::int64_t k;
      if (!interior_key_fast(p_, size_, cs_, n_, mid, k)) k = BKF_TRY(table_key(mid));
      if (k < rowid) {
        lo = mid + 1;
        klo = k;
      } else {
        hi = mid;
        khi = k;
      }
    }
  }
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    std::int64_t k;
    if (!interior_key_fast(p_, size_, cs_, n_, mid, k)) k = BKF_TRY(table_key(mid));
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
  std::int64_t first, last;
  if (n_ > 0 && table_bounds(first, last)) {
    if (rowid <= first) return LeafPos{0, rowid == first};
    if (rowid >= last) return rowid == last ? LeafPos{n_ - 1, true} : LeafPos{n_, false};
    // Strictly between the first and the last key: every slot below lo has
    // a smaller key, every slot from hi on a greater one; klo and khi are
    // the keys of slots lo - 1 and hi.
    lo = 1;
    hi = n_ - 1;
    std::int64_t klo = first, khi = last;
    for (int probe = 0; lo < hi && probe < kInterpolationProbes; ++probe) {
      std::size_t mid = interpolate(rowid, klo, lo - 1, khi, hi, false);
      std::int64_t k;
      if (!table_key_fast(mid, k)) k = BKF_TRY(table_key(mid));
      if (k == rowid) return LeafPos{mid, true};
      if (k < rowid) {
        lo = mid + 1;
        klo = k;
      } else {
        hi = mid;
        khi = k;
      }
    }
  }
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
    std::string_view c;
    if (!cell_fast(i, c)) c = BKF_TRY(cell(i));
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

NodeMut NodeMut::adopt(std::span<std::uint8_t> page, const NodeView& checked) {
  NodeMut m;
  static_cast<NodeView&>(m) = checked;
  assert(m.p_ == page.data() && m.size_ == page.size());
  (void)page;
  m.memo_ = nullptr;
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
    std::string_view c;
    if (!cell_fast(i, c)) c = BKF_TRY(cell(i));
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
