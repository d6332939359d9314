#include "btree/tree_pages.h"

#include <array>
#include <string>
#include <vector>

#include "btree/overflow.h"
#include "btree/page_set.h"
#include "btree/tree_core.h"
#include "record/varint.h"

namespace bkf {
namespace {

class Walk {
 public:
  Walk(Pager& pager, TreeType type, TreePageVisitor& v) : pager_(pager), type_(type), v_(v) {}

  Status run(PageId root) {
    struct Frame {
      PageId page;
      std::size_t next;  // next child slot; the cell count is the right child
    };
    std::array<Frame, kMaxTreeDepth> stack;
    std::size_t depth = 0;
    std::optional<PageId> pending = root;
    for (;;) {
      if (pending) {
        const PageId id = *pending;
        Result<PageRef> ref = pager_.get_page(id);
        if (!ref) {
          BKF_TRY(report(id, std::nullopt, ref.error()));
        } else if (v_.page(id)) {
          Result<NodeView> view = NodeView::open(*ref, type_);
          if (!view) {
            BKF_TRY(report(id, std::nullopt, view.error()));
          } else if (view->is_leaf()) {
            BKF_TRY(leaf(id, *view));
          } else if (depth == kMaxTreeDepth) {
            BKF_TRY(report(id, std::nullopt, Error::corrupt("b-tree deeper than any valid tree")));
          } else {
            stack[depth++] = Frame{id, 0};
          }
        }
        pending.reset();
      }
      // The next child of the deepest interior page that has one left. The
      // page read fine when it was entered and nothing changes it since.
      while (depth > 0 && !pending) {
        Frame& f = stack[depth - 1];
        Result<PageRef> ref = pager_.get_page(f.page);
        if (!ref) return std::move(ref).error();
        NodeView view = BKF_TRY(NodeView::open(*ref, type_));
        if (f.next > view.cell_count()) {
          --depth;
          continue;
        }
        Result<std::uint32_t> child = view.child_at(f.next++);
        if (child) pending = *child;
        else BKF_TRY(report(f.page, std::nullopt, child.error()));
      }
      if (!pending) return {};
    }
  }

 private:
  // Damage goes to the visitor; any other error ends the walk.
  Status report(PageId page, std::optional<std::int64_t> rowid, const Error& e) {
    if (!is_damage(e)) return e;
    v_.damage(page, rowid, e);
    return {};
  }

  Status leaf(PageId id, const NodeView& view) {
    for (std::size_t i = 0; i < view.cell_count(); ++i) {
      if (type_ == TreeType::Index) {
        Result<std::string_view> key = view.index_key(i);
        if (!key) BKF_TRY(report(id, std::nullopt, key.error()));
        continue;
      }
      std::string_view c;
      Result<cell::LeafHead> h = view.leaf_head(i, &c);
      if (!h) {
        BKF_TRY(report(id, std::nullopt, h.error()));
        continue;
      }
      const bool rows = v_.wants_rows();
      if (rows) payload_.assign(cell::leaf_local(ubytes(c), *h));
      const PageId first = h->has_overflow() ? cell::leaf_overflow(ubytes(c), *h) : 0;
      Status chain = overflow::visit_chain(pager_, h->total, h->local, first,
                                           [&](PageId page, std::string_view bytes) -> Status {
                                             v_.page(page);
                                             if (rows) payload_.append(bytes);
                                             return {};
                                           });
      if (!chain.ok()) {
        BKF_TRY(report(id, h->rowid, chain.error()));
        continue;
      }
      if (rows) v_.row(h->rowid, payload_);
    }
    return {};
  }

  Pager& pager_;
  TreeType type_;
  TreePageVisitor& v_;
  std::string payload_;
};

}  // namespace

Status walk_tree_pages(Pager& pager, PageId root, TreeType type, TreePageVisitor& visitor) {
  return Walk(pager, type, visitor).run(root);
}

Result<bool> free_tree(Pager& pager, PageId root, TreeType type) {
  struct Collect final : TreePageVisitor {
    bool page(PageId id) override {
      if (!seen.insert(id)) {
        sound = false;
        return false;
      }
      pages.push_back(id);
      return true;
    }
    void damage(PageId, std::optional<std::int64_t>, const Error&) override { sound = false; }
    std::vector<PageId> pages;
    PageIdSet seen;
    bool sound = true;
  } collect;
  BKF_TRY(walk_tree_pages(pager, root, type, collect));
  if (!collect.sound) return false;
  for (PageId id : collect.pages) BKF_TRY(pager.free_page(id));
  return true;
}

}  // namespace bkf
