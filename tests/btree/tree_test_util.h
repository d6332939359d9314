// Fixtures and structural checks shared by the B-tree tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "btree/cell.h"
#include "btree/node.h"
#include "btree/overflow.h"
#include "pager/os_vfs.h"
#include "pager/pager.h"
#include "record/varint.h"
#include "support/temp_dir.h"

namespace bkf::testing {

// One database file in a fresh temporary directory.
class TestDb {
 public:
  explicit TestDb(std::uint32_t page_size) : path_(dir_.file("t.db")) {
    auto p = Pager::create(vfs_, path_, page_size);
    EXPECT_TRUE(p.ok());
    pager_ = std::move(p).value();
  }
  Pager& pager() { return *pager_; }
  void reopen() {
    pager_.reset();
    auto p = Pager::open(vfs_, path_);
    ASSERT_TRUE(p.ok()) << p.error().to_string();
    pager_ = std::move(p).value();
  }
  void begin() { ASSERT_TRUE(pager_->begin().ok()); }
  void commit() { ASSERT_TRUE(pager_->commit().ok()); }
  void rollback() { ASSERT_TRUE(pager_->rollback().ok()); }

 private:
  TempDir dir_;
  OsVfs vfs_;
  std::string path_;
  std::unique_ptr<Pager> pager_;
};

// Walks a whole tree checking its invariants: page kinds of the tree's type,
// every key within the bounds its separators give, keys strictly ascending
// across leaves. Collects every page (tree and overflow) into pages and the
// keys in order (row ids of a table tree, key bytes of an index tree).
struct TreeCheck {
  std::vector<std::uint32_t> pages;
  std::vector<std::int64_t> rowids;
  std::vector<std::string> keys;
  std::uint64_t overflow_pages = 0;
};

inline void check_tree(Pager& pager, std::uint32_t root, TreeType type, TreeCheck& out) {
  struct Frame {
    std::uint32_t page;
    std::optional<std::string> lo, hi;  // index bounds (lo exclusive, hi inclusive)
    std::optional<std::int64_t> rlo, rhi;
  };
  std::vector<Frame> todo = {{root, {}, {}, {}, {}}};
  std::vector<Frame> leaves;
  // Depth-first in key order: push children right to left.
  while (!todo.empty()) {
    Frame f = todo.back();
    todo.pop_back();
    out.pages.push_back(f.page);
    auto ref = pager.get_page(f.page);
    ASSERT_TRUE(ref.ok());
    auto v = NodeView::open({ref->data(), ref->size()}, type);
    ASSERT_TRUE(v.ok()) << "page " << f.page << ": " << v.error().to_string();
    const std::size_t n = v->cell_count();
    ASSERT_TRUE(v->cells_bytes().ok());
    if (v->is_leaf()) {
      for (std::size_t i = 0; i < n; ++i) {
        if (type == TreeType::Table) {
          std::string_view c;
          auto h = v->leaf_head(i, &c);
          ASSERT_TRUE(h.ok());
          if (f.rlo) { EXPECT_GT(h->rowid, *f.rlo); }
          if (f.rhi) { EXPECT_LE(h->rowid, *f.rhi); }
          if (!out.rowids.empty()) { EXPECT_GT(h->rowid, out.rowids.back()); }
          out.rowids.push_back(h->rowid);
          if (h->has_overflow()) {
            std::uint32_t id = cell::leaf_overflow(ubytes(c), *h);
            for (std::uint64_t k = 0; k < overflow::pages_needed(h->total, h->local, pager.page_size()); ++k) {
              out.pages.push_back(id);
              ++out.overflow_pages;
              auto op = pager.get_page(id);
              ASSERT_TRUE(op.ok());
              id = cell::get_u32(op->data());
            }
            EXPECT_EQ(id, 0u);
          }
        } else {
          auto k = v->index_key(i);
          ASSERT_TRUE(k.ok());
          std::string key(*k);
          if (f.lo) { EXPECT_GT(key, *f.lo); }
          if (f.hi) { EXPECT_LE(key, *f.hi); }
          if (!out.keys.empty()) { EXPECT_GT(key, out.keys.back()); }
          out.keys.push_back(key);
        }
      }
      continue;
    }
    std::vector<Frame> kids;
    Frame prev = f;
    for (std::size_t i = 0; i <= n; ++i) {
      Frame k;
      k.page = *v->child_at(i);
      k.lo = prev.lo;
      k.rlo = prev.rlo;
      if (i < n) {
        if (type == TreeType::Table) {
          k.rhi = *v->table_key(i);
          prev.rlo = k.rhi;
        } else {
          k.hi = std::string(*v->index_key(i));
          prev.lo = k.hi;
        }
      } else {
        k.hi = f.hi;
        k.rhi = f.rhi;
      }
      kids.push_back(k);
    }
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) todo.push_back(*it);
  }
}

// The pages on the free list.
inline std::vector<std::uint32_t> free_list_pages(Pager& pager) {
  std::vector<std::uint32_t> out;
  std::uint32_t trunk = pager.header().freelist_head;
  while (trunk != 0) {
    out.push_back(trunk);
    auto ref = pager.get_page(trunk);
    EXPECT_TRUE(ref.ok());
    if (!ref.ok()) break;
    const std::uint8_t* p = ref->data();
    std::uint32_t n = cell::get_u32(p + 4);
    for (std::uint32_t i = 0; i < n; ++i) out.push_back(cell::get_u32(p + 8 + 4 * i));
    trunk = cell::get_u32(p);
  }
  return out;
}

// Every page of the file (2..page_count) is used exactly once: by one of the
// trees (tree and overflow pages) or by the free list.
inline void expect_pages_accounted(Pager& pager, const std::vector<std::uint32_t>& tree_pages) {
  std::vector<std::uint32_t> all = tree_pages;
  std::vector<std::uint32_t> fl = free_list_pages(pager);
  all.insert(all.end(), fl.begin(), fl.end());
  std::sort(all.begin(), all.end());
  auto dup = std::adjacent_find(all.begin(), all.end());
  EXPECT_TRUE(dup == all.end()) << "page " << (dup == all.end() ? 0 : *dup) << " used twice";
  EXPECT_EQ(all.size(), pager.page_count() - 1u) << "pages leaked or out of range";
  if (!all.empty()) {
    EXPECT_EQ(all.front(), 2u);
    EXPECT_EQ(all.back(), pager.page_count());
  }
}

}  // namespace bkf::testing
