#include "btree/cursor.h"

#include <cassert>
#include <cstring>

#include "btree/btree.h"
#include "btree/cell.h"
#include "btree/node.h"
#include "btree/overflow.h"
#include "record/varint.h"

namespace bkf {

Status Cursor::seek(std::int64_t rowid) {
  if (walk_.seek_kept(rowid)) return {};
  if (walk_.positioned()) {
    // Same-leaf fast path: a row id within the current leaf's range moves
    // within the leaf. The leaf's bounds come from its memo, so a seek that
    // leaves the leaf costs no extra cell reads.
    Result<const NodeView*> v = walk_.leaf_view();
    if (v.ok() && (*v)->kind() == node::kTableLeaf && (*v)->cell_count() > 0) {
      // Already there: the row after the one last read (seeks in row-id
      // order, as a join's lookups often are) costs one key read.
      std::int64_t at;
      if (walk_.idx() < (*v)->cell_count() && (*v)->table_key_fast(walk_.idx(), at) && at == rowid) return {};
      std::int64_t first, last;
      if ((*v)->table_bounds(first, last) && first <= rowid && rowid <= last) {
        LeafPos pos = BKF_TRY((*v)->leaf_find(rowid));
        walk_.set_idx(pos.index);
        return {};
      }
    }
  }
  return walk_.seek(rowid);
}

Result<std::optional<std::int64_t>> Cursor::next_into(std::string& payload) {
  std::int64_t rowid;
  if (next_local(payload, rowid)) return std::optional<std::int64_t>(rowid);
  const NodeView* v = walk_.kept_view();
  if (v == nullptr) {
    v = BKF_TRY(walk_.current_view());
    if (v == nullptr) return std::optional<std::int64_t>();
  }
  cell::LeafHead h;
  const std::uint8_t* c;
  if (!v->leaf_head_fast(walk_.idx(), h, c)) {
    std::string_view cell_bytes;
    h = BKF_TRY(v->leaf_head(walk_.idx(), &cell_bytes));
    c = ubytes(cell_bytes);
  }
  walk_.set_idx(walk_.idx() + 1);
  if (!h.has_overflow()) {
    payload.assign(cell::leaf_local(c, h));
  } else {
    payload.clear();
    BKF_TRY(overflow::append_payload(walk_.pager(), h.total, cell::leaf_local(c, h), cell::leaf_overflow(c, h),
                                     payload));
  }
  return std::optional<std::int64_t>(h.rowid);
}

Result<std::optional<std::pair<std::int64_t, std::string>>> Cursor::next() {
  using Row = std::pair<std::int64_t, std::string>;
  std::string payload;
  std::optional<std::int64_t> rowid = BKF_TRY(next_into(payload));
  if (!rowid) return std::optional<Row>();
  return std::optional<Row>(Row(*rowid, std::move(payload)));
}

Status Cursor::delete_current() {
  assert(walk_.positioned() && walk_.idx() > 0 && "delete_current: no current row");
  PageRef ref = BKF_TRY(walk_.pager().get_page(walk_.leaf()));
  NodeView v = BKF_TRY(NodeView::open(ref, TreeType::Table));
  const std::size_t i = walk_.idx() - 1;
  if (!v.is_leaf() || i >= v.cell_count()) return Error::corrupt("cursor's row is no longer on its leaf");
  std::string_view c = BKF_TRY(v.cell(i));
  BKF_TRY(free_cell_overflow(walk_.pager(), c));
  NodeMut m = BKF_TRY(NodeMut::open(page_bytes_mut(ref), TreeType::Table));
  m.remove_cell(i);
  walk_.set_idx(i);
  return {};
}

Result<bool> Cursor::update_current_inplace(std::int64_t rowid, std::string_view payload) {
  Pager& pager = walk_.pager();
  if (payload.size() > node::max_local(pager.page_size())) return false;
  assert(walk_.positioned() && walk_.idx() > 0 && "update_current_inplace: no current row");
  PageRef ref = BKF_TRY(pager.get_page(walk_.leaf()));
  NodeView v = BKF_TRY(NodeView::open(ref, TreeType::Table));
  const std::size_t i = walk_.idx() - 1;
  if (!v.is_leaf() || i >= v.cell_count()) return Error::corrupt("cursor's row is no longer on its leaf");
  std::string_view old;
  cell::LeafHead h = BKF_TRY(v.leaf_head(i, &old));
  if (h.rowid != rowid || h.has_overflow()) return false;
  cell::encode_leaf(cell_, rowid, payload.size(), payload, std::nullopt);
  if (cell_.size() > old.size()) return false;
  NodeMut m = BKF_TRY(NodeMut::open(page_bytes_mut(ref), TreeType::Table));
  if (cell_.size() == old.size()) {
    BKF_TRY(m.overwrite_cell(i, cell_));
    return true;
  }
  // Shorter: the removed cell's bytes count as free space, so the new cell
  // always fits, after a compaction if need be.
  m.remove_cell(i);
  if (!BKF_TRY(m.insert_cell(i, cell_, compact_))) return Error::corrupt("page cannot hold a shorter cell");
  return true;
}

}  // namespace bkf
