#include "btree/index.h"

#include <string>

#include "btree/cell.h"

namespace bkf {

Result<IndexBTree> IndexBTree::create(Pager& pager, TreeScratch* scratch) {
  PageId id = BKF_TRY(pager.alloc_page());
  PageRef ref = BKF_TRY(pager.get_page(id));
  NodeMut::init(page_bytes_mut(ref), node::kIndexLeaf);
  return IndexBTree(pager, id, scratch);
}

Status IndexBTree::insert(std::string_view key) {
  if (key.size() > max_key_len(pager_->page_size())) {
    return Error::exec("index key too large (" + std::to_string(key.size()) + " bytes)");
  }
  TreeScratch& s = scratch();
  TreePath path;
  BKF_TRY(descend<IndexKeys>(*pager_, root_, key, path));
  NodeView v = BKF_TRY(NodeView::open(path.leaf, TreeType::Index));
  LeafPos pos = BKF_TRY(v.leaf_find(key));
  if (pos.found) return {};
  cell::encode_index_leaf(s.cell, key);
  return place_cell<IndexKeys>(*pager_, path, pos.index, s.cell, s);
}

Result<bool> IndexBTree::remove(std::string_view key) {
  TreePath path;
  BKF_TRY(descend<IndexKeys>(*pager_, root_, key, path));
  NodeView v = BKF_TRY(NodeView::open(path.leaf, TreeType::Index));
  LeafPos pos = BKF_TRY(v.leaf_find(key));
  if (!pos.found) return false;
  NodeMut m = BKF_TRY(NodeMut::open(page_bytes_mut(path.leaf), TreeType::Index));
  m.remove_cell(pos.index);
  return true;
}

Result<bool> IndexBTree::contains_prefix(std::string_view prefix) {
  TreeWalker<IndexKeys> walk(*pager_, root_);
  BKF_TRY(walk.seek(prefix));
  const NodeView* v = BKF_TRY(walk.current_view());
  if (v == nullptr) return false;
  std::string_view key = BKF_TRY(v->index_key(walk.idx()));
  return key.size() >= prefix.size() && key.substr(0, prefix.size()) == prefix;
}

Result<std::uint64_t> IndexBTree::count() { return count_cells(*pager_, root_, TreeType::Index); }

Status IndexCursor::seek(std::string_view key) {
  Status st = walk_.seek(key);
  if (!st.ok()) walk_.reset();
  return st;
}

Result<bool> IndexCursor::next_into(std::string& key) {
  const NodeView* v = BKF_TRY(walk_.current_view());
  if (v == nullptr) return false;
  std::string_view k = BKF_TRY(v->index_key(walk_.idx()));
  walk_.set_idx(walk_.idx() + 1);
  key.assign(k);
  return true;
}

Result<std::optional<std::string>> IndexCursor::next() {
  std::string key;
  if (!BKF_TRY(next_into(key))) return std::optional<std::string>();
  return std::optional<std::string>(std::move(key));
}

}  // namespace bkf
