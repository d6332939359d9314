#include "btree/btree.h"

#include <cassert>

#include "btree/cell.h"
#include "btree/node.h"
#include "btree/overflow.h"
#include "record/varint.h"

namespace bkf {

Status free_cell_overflow(Pager& pager, std::string_view c, PageIdSet* freed) {
  cell::LeafHead h = BKF_TRY(cell::parse_leaf_head(ubytes(c), c.size()));
  if (!h.has_overflow()) return {};
  return overflow::free_chain(pager, h.total, h.local, cell::leaf_overflow(ubytes(c), h), freed);
}

Result<BTree> BTree::create(Pager& pager, TreeScratch* scratch) {
  PageId id = BKF_TRY(pager.alloc_page());
  PageRef ref = BKF_TRY(pager.get_page(id));
  NodeMut::init(page_bytes_mut(ref), node::kTableLeaf);
  return BTree(pager, id, scratch);
}

std::size_t BTree::max_local() const { return node::max_local(pager_->page_size()); }

Result<bool> BTree::search_into(std::int64_t rowid, std::string& out) {
  PageRef leaf = BKF_TRY(descend_to_leaf<TableKeys>(*pager_, root_, rowid));
  NodeView v = BKF_TRY(NodeView::open(leaf, TreeType::Table));
  LeafPos pos = BKF_TRY(v.leaf_find(rowid));
  if (!pos.found) return false;
  std::string_view c;
  cell::LeafHead h = BKF_TRY(v.leaf_head(pos.index, &c));
  out.clear();
  BKF_TRY(overflow::append_payload(*pager_, h.total, cell::leaf_local(ubytes(c), h),
                                   h.has_overflow() ? cell::leaf_overflow(ubytes(c), h) : 0, out));
  return true;
}

Result<std::optional<std::string>> BTree::search(std::int64_t rowid) {
  std::string out;
  if (!BKF_TRY(search_into(rowid, out))) return std::optional<std::string>();
  return std::optional<std::string>(std::move(out));
}

Status BTree::make_cell(std::int64_t rowid, std::string_view payload) {
  TreeScratch& s = scratch();
  const std::size_t ml = max_local();
  if (payload.size() <= ml) {
    cell::encode_leaf(s.cell, rowid, payload.size(), payload, std::nullopt);
    return {};
  }
  PageId first = BKF_TRY(overflow::write_chain(*pager_, payload.substr(ml)));
  cell::encode_leaf(s.cell, rowid, payload.size(), payload.substr(0, ml), first);
  return {};
}

Status BTree::insert(std::int64_t rowid, std::string_view payload) {
  TreePath path;
  bool in_place;
  return insert_on_path(rowid, payload, path, in_place);
}

Status BTree::insert_on_path(std::int64_t rowid, std::string_view payload, TreePath& path, bool& in_place) {
  TreeScratch& s = scratch();
  BKF_TRY(make_cell(rowid, payload));
  BKF_TRY(descend<TableKeys>(*pager_, root_, rowid, path));
  NodeView v = BKF_TRY(NodeView::open(path.leaf, TreeType::Table));
  LeafPos pos = BKF_TRY(v.leaf_find(rowid));
  std::size_t gap = v.gap();
  if (pos.found) {
    // Replace: free the old chain first, so a failure leaves the row intact.
    std::string_view old = BKF_TRY(v.cell(pos.index));
    BKF_TRY(free_cell_overflow(*pager_, old));
    NodeMut m = BKF_TRY(NodeMut::open(page_bytes_mut(path.leaf), TreeType::Table));
    m.remove_cell(pos.index);
    gap = m.gap();
  }
  // A cell that fits the free gap is placed without compacting or splitting.
  in_place = gap >= s.cell.size() + node::kPointerSize;
  return place_cell<TableKeys>(*pager_, path, pos.index, s.cell, s);
}

Status BTree::insert_fast(std::int64_t rowid, std::string_view payload, AppendHint& hint) {
  if (hint.present && payload.size() <= max_local() && rowid > hint.last_rowid) {
    TreeScratch& s = scratch();
    PageRef ref = BKF_TRY(pager_->get_page(hint.leaf));
    // The page changes with every append, so its memo would not outlive
    // this call: the head is checked directly.
    Result<NodeView> v = NodeView::open(page_bytes(ref), TreeType::Table);
    std::int64_t last;
    if (v.ok() && v->kind() == node::kTableLeaf && v->cell_count() > 0 &&
        v->table_key_fast(v->cell_count() - 1, last) && last == hint.last_rowid) {
      cell::encode_leaf(s.cell, rowid, payload.size(), payload, std::nullopt);
      if (v->gap() >= s.cell.size() + node::kPointerSize) {
        // The cell fits the free gap: placed without compaction.
        NodeMut m = NodeMut::adopt(page_bytes_mut(ref), *v);
        if (BKF_TRY(m.insert_cell(m.cell_count(), s.cell, s.compact))) {
          hint.last_rowid = rowid;
          return {};
        }
      }
    }
  }
  TreePath path;
  bool in_place;
  BKF_TRY(insert_on_path(rowid, payload, path, in_place));
  // The hint names the rightmost leaf. The leaf just written is it when the
  // descent took the right child at every level and nothing split; else it
  // is found from the root.
  bool rightmost = in_place;
  for (std::size_t level = 0; rightmost && level < path.depth; ++level) {
    NodeView pv = BKF_TRY(NodeView::open(path.pages[level], TreeType::Table));
    rightmost = path.slots[level] == pv.cell_count();
  }
  PageRef leaf = rightmost ? std::move(path.leaf) : BKF_TRY(rightmost_leaf(*pager_, root_, TreeType::Table));
  NodeView lv = BKF_TRY(NodeView::open(leaf, TreeType::Table));
  if (lv.cell_count() == 0) {
    hint.clear();
    return {};
  }
  hint.last_rowid = BKF_TRY(lv.table_key(lv.cell_count() - 1));
  hint.leaf = leaf.id();
  hint.present = true;
  return {};
}

Result<bool> BTree::remove(std::int64_t rowid) {
  TreePath path;
  BKF_TRY(descend<TableKeys>(*pager_, root_, rowid, path));
  NodeView v = BKF_TRY(NodeView::open(path.leaf, TreeType::Table));
  LeafPos pos = BKF_TRY(v.leaf_find(rowid));
  if (!pos.found) return false;
  std::string_view old = BKF_TRY(v.cell(pos.index));
  BKF_TRY(free_cell_overflow(*pager_, old));
  NodeMut m = BKF_TRY(NodeMut::open(page_bytes_mut(path.leaf), TreeType::Table));
  m.remove_cell(pos.index);
  return true;
}

Result<std::optional<std::int64_t>> BTree::last_rowid() {
  PageRef leaf = BKF_TRY(rightmost_leaf(*pager_, root_, TreeType::Table));
  NodeView v = BKF_TRY(NodeView::open(leaf, TreeType::Table));
  if (v.cell_count() == 0) {
    // Deletes emptied the rightmost leaf: the largest row id is in the last
    // leaf, in key order, that still holds a row.
    leaf = BKF_TRY(last_nonempty_leaf(*pager_, root_, TreeType::Table));
    if (!leaf) return std::optional<std::int64_t>();
    v = BKF_TRY(NodeView::open(leaf, TreeType::Table));
  }
  std::int64_t last = BKF_TRY(v.table_key(v.cell_count() - 1));
  return std::optional<std::int64_t>(last);
}

Result<std::optional<std::int64_t>> BTree::last_rowid_hinted(const AppendHint& hint) {
  if (hint.present) {
    Result<PageRef> ref = pager_->get_page(hint.leaf);
    if (ref.ok()) {
      Result<NodeView> v = NodeView::open(*ref, TreeType::Table);
      std::int64_t last;
      if (v.ok() && v->kind() == node::kTableLeaf && v->cell_count() > 0 && v->table_key_fast(v->cell_count() - 1, last) &&
          last == hint.last_rowid) {
        return std::optional<std::int64_t>(last);
      }
    }
  }
  return last_rowid();
}

Result<std::uint64_t> BTree::count_subtree(PageId page) { return count_cells(*pager_, page, TreeType::Table); }

Result<std::uint64_t> BTree::free_subtree(PageId page) {
  PageIdSet freed;
  return free_subtree_into(page, freed);
}

Result<std::uint64_t> BTree::free_subtree_into(PageId page, PageIdSet& freed) {
  // Post-order: a page is freed after all its children. Every page entered
  // goes into freed first, so a page reached twice (a cycle, or two parents)
  // is reported instead of being freed twice.
  struct Entry {
    PageId page;
    std::size_t next;
  };
  std::array<Entry, kMaxTreeDepth> stack{};
  std::size_t depth = 0;
  std::uint64_t rows = 0;
  PageId id = page;
  for (;;) {
    if (!freed.insert(id)) return Error::corrupt("b-tree page is reachable twice");
    {
      PageRef ref = BKF_TRY(pager_->get_page(id));
      NodeView v = BKF_TRY(NodeView::open(ref, TreeType::Table));
      if (v.is_leaf()) {
        for (std::size_t i = 0; i < v.cell_count(); ++i) {
          std::string_view c = BKF_TRY(v.cell(i));
          BKF_TRY(free_cell_overflow(*pager_, c, &freed));
        }
        rows += v.cell_count();
        ref = PageRef();
        BKF_TRY(pager_->free_page(id));
      } else {
        if (depth == kMaxTreeDepth) return Error::corrupt("b-tree deeper than any valid tree");
        stack[depth++] = Entry{id, 0};
      }
    }
    // The next child to enter, freeing the pages whose children are done.
    for (;;) {
      if (depth == 0) return rows;
      Entry& e = stack[depth - 1];
      PageRef ref = BKF_TRY(pager_->get_page(e.page));
      NodeView v = BKF_TRY(NodeView::open(ref, TreeType::Table));
      if (e.next > v.cell_count()) {
        ref = PageRef();
        BKF_TRY(pager_->free_page(e.page));
        --depth;
        continue;
      }
      id = BKF_TRY(v.child_at(e.next));
      ++e.next;
      break;
    }
  }
}

Result<std::uint64_t> BTree::truncate_from(std::int64_t rowid) {
  TreePath path;
  BKF_TRY(descend<TableKeys>(*pager_, root_, rowid, path));
  PageIdSet freed;
  for (std::size_t i = 0; i < path.depth; ++i) freed.insert(path.pages[i].id());
  freed.insert(path.leaf.id());

  // The leaf: drop every cell from the first row id >= rowid on.
  std::uint64_t removed = 0;
  bool empty;
  {
    NodeView v = BKF_TRY(NodeView::open(path.leaf, TreeType::Table));
    LeafPos pos = BKF_TRY(v.leaf_find(rowid));
    for (std::size_t i = pos.index; i < v.cell_count(); ++i) {
      std::string_view c = BKF_TRY(v.cell(i));
      BKF_TRY(free_cell_overflow(*pager_, c, &freed));
    }
    removed += v.cell_count() - pos.index;
    if (pos.index < v.cell_count()) {
      NodeMut m = BKF_TRY(NodeMut::open(page_bytes_mut(path.leaf), TreeType::Table));
      m.truncate_cells(pos.index);
    }
    empty = pos.index == 0;
  }

  // Up the path: free the subtrees right of the path, then cut the page
  // after the path child (or before it, when the path child emptied).
  PageRef* below = &path.leaf;
  for (std::size_t level = path.depth; level-- > 0;) {
    PageRef& pref = path.pages[level];
    const std::size_t c = path.slots[level];
    NodeView v = BKF_TRY(NodeView::open(pref, TreeType::Table));
    const std::size_t n = v.cell_count();
    for (std::size_t slot = c + 1; slot <= n; ++slot) {
      PageId child = BKF_TRY(v.child_at(slot));
      removed += BKF_TRY(free_subtree_into(child, freed));
    }
    const PageId below_id = below->id();
    if (!empty) {
      if (c < n) {
        NodeMut m = BKF_TRY(NodeMut::open(page_bytes_mut(pref), TreeType::Table));
        m.truncate_cells(c);
        m.set_right_child(below_id);
      }
    } else {
      *below = PageRef();
      BKF_TRY(pager_->free_page(below_id));
      if (c == 0) {
        empty = true;  // nothing left on this page either
      } else {
        PageId left = BKF_TRY(v.child_at(c - 1));
        NodeMut m = BKF_TRY(NodeMut::open(page_bytes_mut(pref), TreeType::Table));
        m.truncate_cells(c - 1);
        m.set_right_child(left);
        empty = false;
      }
    }
    below = &pref;
  }
  if (empty && path.depth > 0) {
    // Everything went: the root becomes an empty leaf again.
    NodeMut::init(page_bytes_mut(path.pages[0]), node::kTableLeaf);
  }
  return removed;
}

}  // namespace bkf
