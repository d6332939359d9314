// Fixtures and structural checks shared by the B-tree tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
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
// across leaves, overflow chains of the length their cells give. Collects
// every page (tree and overflow) and the keys in order (row ids of a table
// tree, key bytes of an index tree).
struct TreeCheck {
  std::vector<std::uint32_t> pages;
  std::vector<std::int64_t> rowids;
  std::vector<std::string> keys;
  std::uint64_t overflow_pages = 0;
};

inline void check_tree(Pager& pager, std::uint32_t root, TreeType type, TreeCheck& out) {
  using Key = std::variant<std::int64_t, std::string>;  // a row id or index key bytes
  struct Frame {
    std::uint32_t page;
    std::optional<Key> lo, hi;  // lo exclusive, hi inclusive
  };
  std::vector<Frame> todo = {{root, {}, {}}};
  std::optional<Key> last;
  while (!todo.empty()) {
    const Frame f = todo.back();
    todo.pop_back();
    out.pages.push_back(f.page);
    auto ref = pager.get_page(f.page);
    ASSERT_TRUE(ref.ok());
    auto v = NodeView::open({ref->data(), ref->size()}, type);
    ASSERT_TRUE(v.ok()) << "page " << f.page << ": " << v.error().to_string();
    ASSERT_TRUE(v->cells_bytes().ok());
    const std::size_t n = v->cell_count();
    auto key = [&](std::size_t i) -> Key {
      return type == TreeType::Table ? Key(*v->table_key(i)) : Key(std::string(*v->index_key(i)));
    };
    if (!v->is_leaf()) {
      // Children right to left, so that they come off the stack in key order.
      for (std::size_t i = n + 1; i-- > 0;) {
        todo.push_back({*v->child_at(i), i > 0 ? key(i - 1) : f.lo, i < n ? key(i) : f.hi});
      }
      continue;
    }
    for (std::size_t i = 0; i < n; ++i) {
      std::string_view c;
      auto h = type == TreeType::Table ? v->leaf_head(i, &c) : Result<cell::LeafHead>(cell::LeafHead{});
      ASSERT_TRUE(h.ok());
      const Key k = type == TreeType::Table ? Key(h->rowid) : Key(std::string(*v->index_key(i)));
      EXPECT_TRUE(!f.lo || k > *f.lo) << "page " << f.page << " cell " << i << " below its bound";
      EXPECT_TRUE(!f.hi || k <= *f.hi) << "page " << f.page << " cell " << i << " above its bound";
      EXPECT_TRUE(!last || k > *last) << "page " << f.page << " cell " << i << " out of order";
      last = k;
      if (type == TreeType::Index) {
        out.keys.push_back(std::get<std::string>(k));
        continue;
      }
      out.rowids.push_back(h->rowid);
      if (!h->has_overflow()) continue;
      std::uint32_t id = cell::leaf_overflow(ubytes(c), *h);
      for (std::uint64_t j = 0; j < overflow::pages_needed(h->total, h->local, pager.page_size()); ++j) {
        out.pages.push_back(id);
        ++out.overflow_pages;
        auto op = pager.get_page(id);
        ASSERT_TRUE(op.ok());
        id = cell::get_u32(op->data());
      }
      EXPECT_EQ(id, 0u) << "overflow chain of row " << h->rowid;
    }
  }
}

// The pages on the free list, or nothing when the list itself is damaged.
inline std::optional<std::vector<std::uint32_t>> free_list_pages(Pager& pager) {
  std::vector<std::uint32_t> out;
  for (std::uint32_t trunk = pager.header().freelist_head; trunk != 0;) {
    if (trunk < 2 || trunk > pager.page_count() || out.size() > pager.page_count()) return std::nullopt;
    out.push_back(trunk);
    auto ref = pager.get_page(trunk);
    if (!ref.ok()) return std::nullopt;
    const std::uint8_t* p = ref->data();
    const std::uint32_t n = cell::get_u32(p + 4);
    if (n > (pager.page_size() - 8) / 4) return std::nullopt;
    for (std::uint32_t i = 0; i < n; ++i) out.push_back(cell::get_u32(p + 8 + 4 * i));
    trunk = cell::get_u32(p);
  }
  return out;
}

// No page is on the free list twice.
inline bool free_list_distinct(Pager& pager) {
  auto fl = free_list_pages(pager);
  if (!fl) return false;
  std::sort(fl->begin(), fl->end());
  return std::adjacent_find(fl->begin(), fl->end()) == fl->end();
}

// Every page of the file (2..page_count) is used exactly once: by one of the
// trees (tree and overflow pages) or by the free list.
inline void expect_pages_accounted(Pager& pager, const std::vector<std::uint32_t>& tree_pages) {
  std::vector<std::uint32_t> all = tree_pages;
  auto fl = free_list_pages(pager);
  ASSERT_TRUE(fl) << "damaged free list";
  all.insert(all.end(), fl->begin(), fl->end());
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
