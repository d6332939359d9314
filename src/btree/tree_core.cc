#include "btree/tree_core.h"

#include <cassert>
#include <cstring>
#include <limits>

#include "btree/cell.h"
#include "record/varint.h"

namespace bkf {

namespace {

Error cycle_error() { return Error::corrupt("b-tree page refers back to a page on its own path"); }
Error depth_error() { return Error::corrupt("b-tree deeper than any valid tree"); }
Error shared_error() { return Error::corrupt("b-tree pages are shared between subtrees"); }

// Rebuilds a page from cells [from, to) of the arena.
Status rebuild(PageRef& page, std::uint8_t kind, const SplitArena& a, std::size_t from, std::size_t to,
               PageId right_child) {
  NodeMut m = NodeMut::init(page_bytes_mut(page), kind);
  if (kind == node::kTableInterior || kind == node::kIndexInterior) m.set_right_child(right_child);
  for (std::size_t j = from; j < to; ++j) {
    // The split point was chosen so that every cell fits; a cell that does
    // not is never dropped silently.
    if (!m.push_cell(a.cell(j))) return Error::corrupt("split produced a page that cannot hold its cells");
  }
  return {};
}

// Interior cell: child number, then the key part.
void make_interior(std::string& out, PageId child, std::string_view key_part) {
  out.resize(4);
  cell::put_u32(reinterpret_cast<std::uint8_t*>(out.data()), child);
  out.append(key_part);
}

}  // namespace

Status SplitArena::load(const NodeView& v, std::size_t at, std::string_view extra) {
  used_ = 0;
  ends_.clear();
  const std::size_t n = v.cell_count();
  // Room for a page of cells and the new one (the buffers are kept between
  // splits).
  if (bytes_.size() < v.page_size() + extra.size()) bytes_.resize(v.page_size() + extra.size());
  ends_.reserve(n + 1);
  for (std::size_t j = 0; j < n; ++j) {
    if (j == at) add(extra);
    std::string_view c;
    if (!v.cell_fast(j, c)) c = BKF_TRY(v.cell(j));
    add(c);
  }
  if (at >= n) add(extra);
  return {};
}

Result<std::size_t> choose_leaf_split(const SplitArena& a, std::size_t page_size) {
  const std::size_t n = a.count();
  const std::size_t cap = node::usable(page_size);
  const std::size_t total = a.prefix_cost(n);
  auto fits = [&](std::size_t k) { return a.prefix_cost(k) <= cap && total - a.prefix_cost(k) <= cap; };
  if (n < 2) return Error::corrupt("cannot split a page of fewer than two cells");
  // The byte-balanced point: the smallest k with twice the left bytes at
  // least the total, clamped so that both pages get a cell.
  std::size_t k0 = 1;
  while (k0 < n && 2 * a.prefix_cost(k0) < total) ++k0;
  if (k0 > n - 1) k0 = n - 1;
  for (std::size_t d = 0; d < n; ++d) {
    if (k0 >= d + 1 && k0 - d >= 1 && fits(k0 - d)) return k0 - d;
    if (d > 0 && k0 + d <= n - 1 && fits(k0 + d)) return k0 + d;
  }
  return Error::corrupt("page cells cannot be split into two pages");
}

Result<std::size_t> choose_interior_split(const SplitArena& a, std::size_t page_size) {
  const std::size_t n = a.count();
  const std::size_t cap = node::usable(page_size);
  const std::size_t total = a.prefix_cost(n);
  auto fits = [&](std::size_t m) { return a.prefix_cost(m) <= cap && total - a.prefix_cost(m + 1) <= cap; };
  if (n < 2) return Error::corrupt("cannot split a page of fewer than two cells");
  const std::size_t m0 = n / 2;
  if (n >= 3) {
    for (std::size_t d = 0; d < n; ++d) {
      if (m0 >= d && m0 - d >= 1 && m0 - d <= n - 2 && fits(m0 - d)) return m0 - d;
      if (d > 0 && m0 + d <= n - 2 && fits(m0 + d)) return m0 + d;
    }
  }
  // One side empty: the page keeps only a right child.
  if (fits(n - 1)) return n - 1;
  if (fits(0)) return std::size_t{0};
  return Error::corrupt("page cells cannot be split into two pages");
}

Status TableKeys::separator_of_leaf_cell(std::string_view c, std::string& out) {
  cell::LeafHead h = BKF_TRY(cell::parse_leaf_head(ubytes(c), c.size()));
  out.clear();
  append_uvarint(out, zigzag_encode(h.rowid));
  return {};
}

Status IndexKeys::separator_of_leaf_cell(std::string_view c, std::string& out) {
  // An index leaf cell is exactly the key part of an interior cell.
  out.assign(c);
  return {};
}

namespace {

// What a descent keeps of the interior pages it passes (depth of them so
// far): the whole path, pinned, for inserts and removals that may change
// those pages ...
struct PinnedTrail {
  TreePath& path;
  void keep(std::size_t depth, PageRef&& ref, PageId, std::size_t slot) {
    path.pages[depth] = std::move(ref);
    path.slots[depth] = slot;
    path.depth = depth + 1;
  }
  bool passed(std::size_t, PageId id) const { return path.contains(id); }
};

// ... or only their numbers, for lookups, which need just the leaf.
struct NumberTrail {
  std::array<PageId, kMaxTreeDepth> seen;
  void keep(std::size_t depth, PageRef&&, PageId id, std::size_t) { seen[depth] = id; }
  bool passed(std::size_t depth, PageId id) const {
    for (std::size_t i = 0; i < depth; ++i)
      if (seen[i] == id) return true;
    return false;
  }
};

// The descent from root, through the child that key selects on each interior
// page, to the leaf that holds or would hold key. A child already passed (a
// cycle) and a path deeper than any valid tree are damage.
template <class K, class Trail>
Result<PageRef> descend_along(Pager& pager, PageId root, typename K::Key key, Trail& trail) {
  PageId id = root;
  for (std::size_t depth = 0;; ++depth) {
    PageRef ref = BKF_TRY(pager.get_page(id));
    NodeView v = BKF_TRY(NodeView::open(ref, K::kType));
    if (v.is_leaf()) return ref;
    if (depth == kMaxTreeDepth) return depth_error();
    std::size_t c = BKF_TRY(v.interior_child_index(key));
    PageId child = BKF_TRY(v.child_at(c));
    trail.keep(depth, std::move(ref), id, c);
    if (trail.passed(depth + 1, child)) return cycle_error();
    id = child;
  }
}

}  // namespace

template <class K>
Status descend(Pager& pager, PageId root, typename K::Key key, TreePath& path) {
  path.depth = 0;
  path.leaf = PageRef();
  PinnedTrail trail{path};
  path.leaf = BKF_TRY(descend_along<K>(pager, root, key, trail));
  return {};
}

template <class K>
Result<PageRef> descend_to_leaf(Pager& pager, PageId root, typename K::Key key) {
  NumberTrail trail;
  return descend_along<K>(pager, root, key, trail);
}

template <class K>
Status place_cell(Pager& pager, TreePath& path, std::size_t i, std::string_view new_cell, TreeScratch& s) {
  const std::size_t page_size = pager.page_size();
  const std::uint8_t leaf_kind = node::leaf_kind(K::kType);
  const std::uint8_t interior_kind = node::interior_kind(K::kType);
  // A damaged free list can hand out a page that is in use. One of this
  // path would be zeroed and rebuilt under the split that is still reading
  // it.
  auto alloc_fresh = [&]() -> Result<PageId> {
    const PageId id = BKF_TRY(pager.alloc_page());
    if (id == path.leaf.id() || path.contains(id)) {
      return Error::corrupt("free list hands out page " + std::to_string(id) + " of the b-tree being split");
    }
    return id;
  };

  // The leaf.
  {
    NodeMut m = BKF_TRY(NodeMut::open(page_bytes_mut(path.leaf), K::kType));
    if (BKF_TRY(m.insert_cell(i, new_cell, s.compact))) return {};
    BKF_TRY(s.arena.load(m, i, new_cell));
  }
  std::size_t k = BKF_TRY(choose_leaf_split(s.arena, page_size));
  BKF_TRY(K::separator_of_leaf_cell(s.arena.cell(k - 1), s.sep));
  PageId right = BKF_TRY(alloc_fresh());
  {
    PageRef rref = BKF_TRY(pager.get_page(right));
    BKF_TRY(rebuild(path.leaf, leaf_kind, s.arena, 0, k, 0));
    BKF_TRY(rebuild(rref, leaf_kind, s.arena, k, s.arena.count(), 0));
  }
  PageId below = path.leaf.id();

  // Up the path: the page below split into (below, right) around s.sep.
  for (std::size_t level = path.depth; level-- > 0;) {
    PageRef& pref = path.pages[level];
    const std::size_t c = path.slots[level];
    make_interior(s.interior, below, s.sep);
    NodeMut m = BKF_TRY(NodeMut::open(page_bytes_mut(pref), K::kType));
    // The slot that named the split page now names its right half; the new
    // cell before it names the left half.
    BKF_TRY(m.redirect_child(c, right));
    if (BKF_TRY(m.insert_cell(c, s.interior, s.compact))) return {};

    BKF_TRY(s.arena.load(m, c, s.interior));
    const PageId old_right = m.right_child();
    std::size_t mid = BKF_TRY(choose_interior_split(s.arena, page_size));
    std::string_view up = s.arena.cell(mid);
    if (up.size() < 4) return Error::corrupt("interior cell shorter than its child number");
    const PageId mid_child = cell::get_u32(ubytes(up));
    s.next_sep.assign(up.substr(4));
    PageId new_right = BKF_TRY(alloc_fresh());
    PageRef rref = BKF_TRY(pager.get_page(new_right));
    BKF_TRY(rebuild(pref, interior_kind, s.arena, 0, mid, mid_child));
    BKF_TRY(rebuild(rref, interior_kind, s.arena, mid + 1, s.arena.count(), old_right));
    s.sep.swap(s.next_sep);
    right = new_right;
    below = pref.id();
  }

  // The root split: its contents (now the left half) move to a new page and
  // the root becomes an interior page over the two halves.
  PageRef& root = path.depth ? path.pages[0] : path.leaf;
  PageId left = BKF_TRY(alloc_fresh());
  PageRef lref = BKF_TRY(pager.get_page(left));
  std::memcpy(lref.mutable_data(), root.data(), page_size);
  NodeMut r = NodeMut::init(page_bytes_mut(root), interior_kind);
  r.set_right_child(right);
  make_interior(s.interior, left, s.sep);
  if (!r.push_cell(s.interior)) return Error::corrupt("separator does not fit an empty root");
  return {};
}

template Status descend<TableKeys>(Pager&, PageId, std::int64_t, TreePath&);
template Status descend<IndexKeys>(Pager&, PageId, std::string_view, TreePath&);
template Result<PageRef> descend_to_leaf<TableKeys>(Pager&, PageId, std::int64_t);
template Result<PageRef> descend_to_leaf<IndexKeys>(Pager&, PageId, std::string_view);
template Status place_cell<TableKeys>(Pager&, TreePath&, std::size_t, std::string_view, TreeScratch&);
template Status place_cell<IndexKeys>(Pager&, TreePath&, std::size_t, std::string_view, TreeScratch&);

Result<PageRef> rightmost_leaf(Pager& pager, PageId page, TreeType type) {
  std::array<PageId, kMaxTreeDepth> seen{};
  std::size_t depth = 0;
  for (;;) {
    PageRef ref = BKF_TRY(pager.get_page(page));
    NodeView v = BKF_TRY(NodeView::open(ref, type));
    if (v.is_leaf()) return ref;
    if (depth == kMaxTreeDepth) return depth_error();
    seen[depth++] = page;
    page = v.right_child();
    for (std::size_t i = 0; i < depth; ++i)
      if (seen[i] == page) return cycle_error();
  }
}

namespace {

// Depth-first walk over a subtree, children in slot order (or reversed),
// with the path checks of every descent and a bound on pages entered.
// fn(leaf ref, view) returns true to stop the walk.
template <class Fn>
Status walk_subtree(Pager& pager, PageId page, TreeType type, bool reverse, Fn&& fn) {
  struct Entry {
    PageId page;
    std::size_t next;   // children visited so far; all done when above count
    std::size_t count;  // the page's cell count (count + 1 children)
  };
  std::array<Entry, kMaxTreeDepth> stack{};
  std::size_t depth = 0;
  std::uint64_t entered = 0;
  const std::uint64_t limit = pager.page_count();
  PageId id = page;
  for (;;) {
    // Enter id.
    if (++entered > limit) return shared_error();
    PageRef ref = BKF_TRY(pager.get_page(id));
    NodeView v = BKF_TRY(NodeView::open(ref, type));
    if (v.is_leaf()) {
      if (BKF_TRY(fn(ref, v))) return {};
    } else {
      if (depth == kMaxTreeDepth) return depth_error();
      stack[depth++] = Entry{id, 0, v.cell_count()};
    }
    // Next child: pop exhausted pages.
    for (;;) {
      if (depth == 0) return {};
      Entry& e = stack[depth - 1];
      if (e.next > e.count) {
        --depth;
        continue;
      }
      std::size_t slot = reverse ? e.count - e.next : e.next;
      ++e.next;
      PageRef pref = BKF_TRY(pager.get_page(e.page));
      NodeView pv = BKF_TRY(NodeView::open(pref, type));
      if (pv.is_leaf() || pv.cell_count() != e.count) return Error::corrupt("b-tree page changed during a walk");
      id = BKF_TRY(pv.child_at(slot));
      for (std::size_t i = 0; i < depth; ++i)
        if (stack[i].page == id) return cycle_error();
      break;
    }
  }
}

}  // namespace

Result<std::uint64_t> count_cells(Pager& pager, PageId page, TreeType type) {
  std::uint64_t total = 0;
  BKF_TRY(walk_subtree(pager, page, type, false, [&](const PageRef&, const NodeView& v) -> Result<bool> {
    total += v.cell_count();
    return false;
  }));
  return total;
}

Result<PageRef> last_nonempty_leaf(Pager& pager, PageId page, TreeType type) {
  PageRef found;
  BKF_TRY(walk_subtree(pager, page, type, true, [&](const PageRef& ref, const NodeView& v) -> Result<bool> {
    if (v.cell_count() == 0) return false;
    found = ref;
    return true;
  }));
  return found;
}

template <class K>
Status TreeWalker<K>::enter_leaf(PageId id, PageRef&& ref, const NodeView& view) {
  if (++leaves_entered_ > pager_->page_count()) return shared_error();
  leaf_ = id;
  idx_ = 0;
  positioned_ = true;
  leaf_version_ = ref.version();
  leaf_ref_ = std::move(ref);
  leaf_view_ = view;
  return {};
}

template <class K>
Status TreeWalker<K>::descend_leftmost(PageId page) {
  for (;;) {
    PageRef ref = BKF_TRY(pager_->get_page(page));
    NodeView v = BKF_TRY(NodeView::open(ref, K::kType));
    if (v.is_leaf()) return enter_leaf(page, std::move(ref), v);
    if (depth_ == kMaxTreeDepth) return depth_error();
    stack_[depth_++] = Entry{page, 1};
    PageId child = BKF_TRY(v.child_at(0));
    if (on_stack(child)) return cycle_error();
    page = child;
  }
}

namespace {

// The index of the first key at least key (keys.size() when none), by
// halving without a branch on the comparisons: which half follows depends on
// the key sought, so predicted branches would miss half the time.
std::size_t first_at_least(const std::vector<std::int64_t>& keys, std::int64_t key) noexcept {
  std::size_t n = keys.size();
  if (n == 0) return 0;
  const std::int64_t* base = keys.data();
  while (n > 1) {
    const std::size_t half = n / 2;
    base = base[half] < key ? base + half : base;
    n -= half;
  }
  return static_cast<std::size_t>(base - keys.data()) + (*base < key ? 1 : 0);
}

// The same answer, found from a guess: separators of a tree filled in
// row-id order are evenly spaced, so the slot a key's distance from the
// first separator gives (times scale, the slots per unit of key) is the
// answer or next to it. A guess that a few steps do not settle falls back
// to halving.
std::size_t first_at_least_guessed(const std::vector<std::int64_t>& keys, std::int64_t key, double scale) noexcept {
  const std::size_t n = keys.size();
  if (n == 0 || key <= keys[0]) return 0;
  if (key > keys[n - 1]) return n;
  // The answer lies in [1, n - 1], and so does every c below: keys[c - 1]
  // at least key means an answer at most c - 1 (and at least 1, since
  // keys[0] < key); keys[c] below key an answer at least c + 1 (and at most
  // n - 1, since keys[n - 1] >= key).
  const double guess = static_cast<double>(static_cast<std::uint64_t>(key) - static_cast<std::uint64_t>(keys[0])) * scale;
  std::size_t c = guess < static_cast<double>(n - 1) ? static_cast<std::size_t>(guess) : n - 1;
  if (c < 1) c = 1;
  for (int step = 0; step < 4; ++step) {
    if (keys[c - 1] >= key) --c;
    else if (keys[c] < key) ++c;
    else return c;
  }
  return first_at_least(keys, key);
}

}  // namespace

template <class K>
Status TreeWalker<K>::seek(typename K::Key key) {
  unposition();
  PageId page = root_;
  std::size_t root_slot = kMaxChildLeaves;  // the kept root's slot taken, when the fast branch took one
  for (;;) {
    PageRef ref;
    NodeView v;
    if (page == root_ && root_kept()) {
      if constexpr (std::is_same_v<typename K::Key, std::int64_t>) {
        // The root's separators decoded into an array, built at the second
        // seek through the same kept root: the child is found by a search
        // of contiguous integers instead of cell by cell.
        if (!root_keys_tried_) build_root_keys();
        if (root_keys_ready_) {
          const std::size_t c = first_at_least_guessed(root_keys_, key, root_scale_);
          const PageId child = root_children_[c];
          stack_[depth_++] = Entry{page, c + 1};
          if (on_stack(child)) return cycle_error();
          page = child;
          root_slot = c;
          continue;
        }
      }
      v = root_view_;
    } else {
      ref = BKF_TRY(pager_->get_page(page));
      v = BKF_TRY(NodeView::open(ref, K::kType));
      if (page == root_ && !v.is_leaf()) {
        root_view_ = v;
        root_version_ = ref.version();
        root_ref_ = ref;
        root_keys_tried_ = root_keys_ready_ = false;
        child_leaves_.clear();
      }
    }
    if (v.is_leaf()) {
      LeafPos pos = BKF_TRY(v.leaf_find(key));
      if constexpr (std::is_same_v<typename K::Key, std::int64_t>) {
        if (root_slot < root_children_.size() && depth_ == 1) keep_child_leaf(root_slot, ref, v);
      }
      BKF_TRY(enter_leaf(page, std::move(ref), v));
      idx_ = pos.index;
      return {};
    }
    if (depth_ == kMaxTreeDepth) return depth_error();
    std::size_t c = BKF_TRY(v.interior_child_index(key));
    PageId child = BKF_TRY(v.child_at(c));
    stack_[depth_++] = Entry{page, c + 1};
    if (on_stack(child)) return cycle_error();
    page = child;
  }
}

template <class K>
void TreeWalker<K>::keep_child_leaf(std::size_t slot, const PageRef& ref, const NodeView& view) {
  if (root_children_.size() > kMaxChildLeaves) return;
  if (child_leaves_.size() != root_children_.size()) child_leaves_.resize(root_children_.size());
  ChildLeaf& e = child_leaves_[slot];
  e.ref = ref;
  e.view = view;
  e.version = ref.version();
  e.layout = ChildLeaf::kUnchecked;
}

template <class K>
bool TreeWalker<K>::seek_kept(std::int64_t key) {
  if constexpr (!std::is_same_v<typename K::Key, std::int64_t>) {
    return false;
  } else {
    if (!root_keys_ready_ || child_leaves_.empty() || !root_kept()) return false;
    const std::size_t c = first_at_least_guessed(root_keys_, key, root_scale_);
    ChildLeaf& e = child_leaves_[c];
    const PageId child = root_children_[c];
    if (!e.ref || e.ref.id() != child || child == root_ || !e.ref.attached() || e.ref.version() != e.version) {
      return false;
    }
    const NodeView& v = e.view;
    const std::size_t n = v.cell_count();
    if (e.layout == ChildLeaf::kUnchecked) {
      // Consecutive row ids, every cell well-formed: cell i holds first + i.
      e.layout = ChildLeaf::kSparse;
      std::int64_t first;
      if (n == 0 || !v.table_key_fast(0, first)) return false;
      if (first > std::numeric_limits<std::int64_t>::max() - static_cast<std::int64_t>(n - 1)) return false;
      for (std::size_t i = 1; i < n; ++i) {
        std::int64_t k;
        if (!v.table_key_fast(i, k) || k != first + static_cast<std::int64_t>(i)) return false;
      }
      e.first = first;
      e.layout = ChildLeaf::kDense;
    }
    if (e.layout != ChildLeaf::kDense) return false;
    // What leaf_find answers on such a leaf: the first cell whose row id is
    // at least key.
    std::size_t idx;
    if (key <= e.first) idx = 0;
    else if (static_cast<std::uint64_t>(key) - static_cast<std::uint64_t>(e.first) >= n) idx = n;
    else idx = static_cast<std::size_t>(static_cast<std::uint64_t>(key) - static_cast<std::uint64_t>(e.first));
    // The state seek() leaves: the root on the stack, the leaf entered.
    depth_ = 1;
    stack_[0] = Entry{root_, c + 1};
    leaves_entered_ = 1;
    positioned_ = true;
    leaf_ = child;
    idx_ = idx;
    if (!leaf_kept() || leaf_ref_.id() != child) {
      leaf_ref_ = e.ref;
      leaf_view_ = v;
      leaf_version_ = e.version;
    }
    return true;
  }
}

template <class K>
void TreeWalker<K>::build_root_keys() {
  root_keys_tried_ = true;
  root_keys_ready_ = false;
  const NodeView& v = root_view_;
  const std::size_t n = v.cell_count();
  root_keys_.resize(n);
  root_children_.resize(n + 1);
  for (std::size_t i = 0; i < n; ++i) {
    Result<std::int64_t> k = v.table_key(i);
    Result<std::uint32_t> c = v.child_at(i);
    if (!k.ok() || !c.ok()) return;
    // Only strictly ascending keys: there every search of the page gives
    // the first slot whose key is at least the one sought, as this one does.
    if (i > 0 && *k <= root_keys_[i - 1]) return;
    root_keys_[i] = *k;
    root_children_[i] = *c;
  }
  Result<std::uint32_t> right = v.child_at(n);
  if (!right.ok()) return;
  root_children_[n] = *right;
  root_scale_ = n > 1 ? static_cast<double>(n - 1) /
                            static_cast<double>(static_cast<std::uint64_t>(root_keys_[n - 1]) -
                                                static_cast<std::uint64_t>(root_keys_[0]))
                      : 0.0;
  root_keys_ready_ = true;
}

template <class K>
Status TreeWalker<K>::advance() {
  while (depth_ > 0) {
    Entry e = stack_[--depth_];
    PageRef ref = BKF_TRY(pager_->get_page(e.page));
    NodeView v = BKF_TRY(NodeView::open(ref, K::kType));
    if (v.is_leaf()) return Error::corrupt("b-tree interior page became a leaf during a walk");
    if (e.next > v.cell_count()) continue;  // every child visited
    PageId child = BKF_TRY(v.child_at(e.next));
    stack_[depth_++] = Entry{e.page, e.next + 1};
    if (on_stack(child)) return cycle_error();
    BKF_TRY(descend_leftmost(child));
    // A walk moving from leaf to leaf: ask for the bytes of the leaf after
    // this one now, so that they arrive while this one is read.
    if (e.next + 1 <= v.cell_count()) {
      Result<std::uint32_t> after = v.child_at(e.next + 1);
      if (after.ok()) pager_->prefetch(*after);
    }
    return {};
  }
  positioned_ = false;
  leaf_ref_ = PageRef();
  return {};
}

template <class K>
Result<const NodeView*> TreeWalker<K>::leaf_view() {
  if (!positioned_) return static_cast<const NodeView*>(nullptr);
  if (!leaf_kept()) {
    leaf_ref_ = PageRef();
    PageRef ref = BKF_TRY(pager_->get_page(leaf_));
    NodeView v = BKF_TRY(NodeView::open(ref, K::kType));
    if (!v.is_leaf()) return Error::corrupt("cursor's leaf is no longer a leaf");
    leaf_version_ = ref.version();
    leaf_ref_ = std::move(ref);
    leaf_view_ = v;
  }
  return static_cast<const NodeView*>(&leaf_view_);
}

template <class K>
Result<const NodeView*> TreeWalker<K>::current_view() {
  while (positioned_) {
    const NodeView* v = BKF_TRY(leaf_view());
    if (idx_ < v->cell_count()) return v;
    BKF_TRY(advance());
  }
  return static_cast<const NodeView*>(nullptr);
}

template class TreeWalker<TableKeys>;
template class TreeWalker<IndexKeys>;

}  // namespace bkf
