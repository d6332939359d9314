// Damaged pages: random bytes of valid table and index pages are changed,
// then every kind of operation runs over them. Each must succeed or fail
// with Corrupt or InvalidPage; none may crash, hang, touch memory outside a
// page (the sanitizer build checks that) or free one page twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>

#include "btree/btree.h"
#include "btree/cursor.h"
#include "btree/index.h"
#include "tree_test_util.h"

namespace bkf {
namespace {

using testing::TestDb;
using testing::TreeCheck;

void expect_damage_error(const Error& e, const char* what) {
  EXPECT_TRUE(e.is(ErrorKind::Corrupt) || e.is(ErrorKind::InvalidPage)) << what << ": " << e.to_string();
}
template <class T>
bool ok_or_damage(const Result<T>& r, const char* what) {
  if (!r.ok()) expect_damage_error(r.error(), what);
  return r.ok();
}

// The free list as a multiset of pages, or nothing when it is itself damaged
// (a page freed by a damaged operation can be reused by the other tree).
std::optional<std::map<std::uint32_t, int>> free_list(Pager& pager) {
  std::map<std::uint32_t, int> out;
  std::uint32_t trunk = pager.header().freelist_head;
  std::uint32_t trunks = 0;
  while (trunk != 0) {
    if (trunk < 2 || trunk > pager.page_count() || ++trunks > pager.page_count()) return std::nullopt;
    ++out[trunk];
    auto ref = pager.get_page(trunk);
    if (!ref.ok()) return std::nullopt;
    const std::uint8_t* p = ref->data();
    std::uint32_t n = cell::get_u32(p + 4);
    if (n > (pager.page_size() - 8) / 4) return std::nullopt;
    for (std::uint32_t i = 0; i < n; ++i) ++out[cell::get_u32(p + 8 + 4 * i)];
    trunk = cell::get_u32(p);
  }
  return out;
}

// Runs op and checks that it freed no page twice.
template <class Op>
void checked(Pager& pager, Op&& op) {
  auto before = free_list(pager);
  op();
  auto after = free_list(pager);
  if (!before || !after) return;
  for (auto [page, n] : *after) {
    auto it = before->find(page);
    int was = it == before->end() ? 0 : it->second;
    EXPECT_LE(n - was, 1) << "page " << page << " freed twice by one operation";
  }
}

void fuzz(std::uint32_t page_size, std::uint64_t seed, int rounds) {
  TestDb db(page_size);
  std::mt19937_64 rng(seed);
  db.begin();
  PageId troot = BTree::create(db.pager())->root();
  PageId iroot = IndexBTree::create(db.pager())->root();
  {
    BTree t(db.pager(), troot);
    IndexBTree ix(db.pager(), iroot);
    for (std::int64_t r = 0; r < 400; ++r) {
      std::size_t len = r % 23 == 0 ? page_size * 2 : rng() % 60;
      ASSERT_TRUE(t.insert(r * 3, std::string(len, static_cast<char>('a' + r % 26))).ok());
      std::string key(1 + rng() % 40, static_cast<char>(rng()));
      ASSERT_TRUE(ix.insert(key).ok());
    }
  }
  db.commit();
  std::vector<std::uint32_t> pages;
  {
    TreeCheck a, b;
    testing::check_tree(db.pager(), troot, TreeType::Table, a);
    testing::check_tree(db.pager(), iroot, TreeType::Index, b);
    pages = a.pages;
    pages.insert(pages.end(), b.pages.begin(), b.pages.end());
  }
  Pager& pager = db.pager();
  std::string buf;
  for (int round = 0; round < rounds; ++round) {
    db.begin();
    for (int k = 0, n = 1 + static_cast<int>(rng() % 3); k < n; ++k) {
      auto ref = pager.get_page(pages[rng() % pages.size()]);
      ASSERT_TRUE(ref.ok());
      std::uint8_t* p = ref->mutable_data();
      for (int b = 0, m = 1 + static_cast<int>(rng() % 6); b < m; ++b) {
        // Mostly the head and pointer array, where damage matters most.
        std::size_t at = rng() % 2 ? rng() % 64 : rng() % page_size;
        p[at] = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() % 5 : rng());
      }
    }
    BTree t(pager, troot);
    IndexBTree ix(pager, iroot);
    for (int op = 0; op < 12; ++op) {
      std::int64_t r = static_cast<std::int64_t>(rng() % 1300) - 50;
      switch (rng() % 13) {
        case 0: ok_or_damage(t.search(r), "search"); break;
        case 1: checked(pager, [&] {
          std::size_t len = rng() % 3 == 0 ? page_size * 2 : rng() % 50;
          ok_or_damage(t.insert(r, std::string(len, 'x')), "insert");
        }); break;
        case 2: checked(pager, [&] { ok_or_damage(t.remove(r), "remove"); }); break;
        case 3: ok_or_damage(t.count(), "count"); break;
        case 4: ok_or_damage(t.last_rowid(), "last_rowid"); break;
        case 5: checked(pager, [&] { ok_or_damage(t.truncate_from(r), "truncate_from"); }); break;
        case 6: checked(pager, [&] {
          // A scan that deletes and rewrites rows as it goes.
          Cursor c(pager, troot);
          if (!ok_or_damage(c.rewind(), "rewind")) return;
          for (int i = 0; i < 100000; ++i) {
            auto row = c.next_into(buf);
            if (!ok_or_damage(row, "next") || !*row) return;
            if (**row % 4 == 0 && !ok_or_damage(c.delete_current(), "delete_current")) return;
            if (**row % 4 == 1 && !ok_or_damage(c.update_current_inplace(**row, "u"), "update")) return;
          }
          ADD_FAILURE() << "scan did not end";
        }); break;
        case 7: {
          Cursor c(pager, troot);
          if (!ok_or_damage(c.seek(r), "seek")) break;
          for (int i = 0; i < 50; ++i) {
            auto row = c.next();
            if (!ok_or_damage(row, "next") || !*row) break;
            if (!ok_or_damage(c.seek(r + i), "seek")) break;
          }
          break;
        }
        case 8: checked(pager, [&] {
          AppendHint hint;
          for (std::int64_t k = 0; k < 30; ++k)
            if (!ok_or_damage(t.insert_fast(2000 + k, "appended", hint), "insert_fast")) break;
        }); break;
        case 9: ok_or_damage(ix.insert(std::string(1 + rng() % 60, static_cast<char>(rng()))), "index insert"); break;
        case 10: ok_or_damage(ix.remove(std::string(1 + rng() % 40, static_cast<char>(rng()))), "index remove"); break;
        case 11: ok_or_damage(ix.contains_prefix(std::string(rng() % 3, static_cast<char>(rng()))), "contains_prefix"); break;
        default: {
          IndexCursor c(pager, iroot);
          if (!ok_or_damage(c.seek(std::string(1, static_cast<char>(rng()))), "index seek")) break;
          for (int i = 0; i < 100000; ++i) {
            auto k = c.next_into(buf);
            if (!ok_or_damage(k, "index next") || !*k) break;
          }
          ok_or_damage(ix.count(), "index count");
          break;
        }
      }
    }
    db.rollback();
  }
}

// Hand-made damage of the page graph: every walk must stop with Corrupt.
class DamagedGraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.begin();
    BTree t = *BTree::create(db_.pager());
    root_ = t.root();
    for (std::int64_t r = 1; r <= 200; ++r) ASSERT_TRUE(t.insert(r, std::string(40, 'r')).ok());
    ASSERT_TRUE(t.insert(500, std::string(1700, 'o')).ok());  // three overflow pages
    TreeCheck check;
    testing::check_tree(db_.pager(), root_, TreeType::Table, check);
    pages_ = check.pages;
    db_.commit();
    db_.begin();
  }
  void TearDown() override { db_.rollback(); }

  // Sets child slot i of interior page id.
  void set_child(PageId id, std::size_t i, PageId child) {
    auto ref = db_.pager().get_page(id);
    auto m = NodeMut::open({ref->mutable_data(), ref->size()}, TreeType::Table);
    ASSERT_TRUE(m.ok());
    ASSERT_TRUE(m->redirect_child(i, child).ok());
  }
  std::uint32_t child(PageId id, std::size_t i) {
    auto ref = db_.pager().get_page(id);
    return *NodeView::open({ref->data(), ref->size()}, TreeType::Table)->child_at(i);
  }
  template <class T>
  void expect_corrupt(const Result<T>& r, const char* what) {
    ASSERT_FALSE(r.ok()) << what;
    EXPECT_EQ(r.error().kind(), ErrorKind::Corrupt) << what << ": " << r.error().to_string();
  }
  void expect_every_walk_corrupt() {
    BTree t(db_.pager(), root_);
    expect_corrupt(t.count(), "count");
    Cursor c(db_.pager(), root_);
    Status st = c.rewind();
    for (int i = 0; st.ok() && i < 100000; ++i) {
      auto r = c.next();
      if (!r.ok()) st = Status(r.error());
      else if (!*r) break;
    }
    expect_corrupt(st, "scan");
    auto before = db_.pager().header().freelist_count;
    expect_corrupt(t.truncate_from(0), "truncate_from");
    // Nothing may be freed twice: the free list holds distinct pages.
    auto fl = testing::free_list_pages(db_.pager());
    std::sort(fl.begin(), fl.end());
    EXPECT_TRUE(std::adjacent_find(fl.begin(), fl.end()) == fl.end());
    EXPECT_GE(db_.pager().header().freelist_count, before);
  }

  TestDb db_{512};
  PageId root_ = 0;
  std::vector<std::uint32_t> pages_;
};

TEST_F(DamagedGraphTest, ChildPointsBackToTheRoot) {
  set_child(root_, 0, root_);
  expect_every_walk_corrupt();
  BTree t(db_.pager(), root_);
  expect_corrupt(t.search(1), "search");
  expect_corrupt(t.insert(1, "x"), "insert");
}

TEST_F(DamagedGraphTest, RightChildPointsBackToTheRoot) {
  set_child(root_, db_.pager().get_page(root_)->data()[2], root_);
  BTree t(db_.pager(), root_);
  expect_corrupt(t.last_rowid(), "last_rowid");
  expect_corrupt(t.search(1000), "search");
  AppendHint hint;
  expect_corrupt(t.insert_fast(1000, "x", hint), "insert_fast");
  expect_every_walk_corrupt();
}

TEST_F(DamagedGraphTest, TwoSlotsShareOneSubtree) {
  // Every slot of the root names its first child: the scan and the count
  // are bounded, and freeing the shared subtree twice is refused.
  const std::size_t n = db_.pager().get_page(root_)->data()[2];
  ASSERT_GE(n, 2u);
  for (std::size_t i = 1; i <= n; ++i) set_child(root_, i, child(root_, 0));
  BTree t(db_.pager(), root_);
  auto before = db_.pager().header().freelist_count;
  expect_corrupt(t.free_subtree(root_), "free_subtree");
  auto fl = testing::free_list_pages(db_.pager());
  std::sort(fl.begin(), fl.end());
  EXPECT_TRUE(std::adjacent_find(fl.begin(), fl.end()) == fl.end());
  EXPECT_GT(db_.pager().header().freelist_count, before);
}

TEST_F(DamagedGraphTest, OverflowChainThatLoops) {
  // Make the second overflow page of row 500 point back to the first.
  BTree t(db_.pager(), root_);
  TreeCheck check;
  testing::check_tree(db_.pager(), root_, TreeType::Table, check);
  ASSERT_EQ(check.overflow_pages, 3u);
  // The overflow pages are listed in chain order; they are the only pages
  // that are neither table leaves nor table interior pages.
  auto it = std::find_if(check.pages.begin(), check.pages.end(), [&](std::uint32_t p) {
    auto ref = db_.pager().get_page(p);
    return ref->data()[0] != node::kTableLeaf && ref->data()[0] != node::kTableInterior;
  });
  ASSERT_NE(it, check.pages.end());
  std::uint32_t first = *it, second = *(it + 1);
  auto ref = db_.pager().get_page(second);
  cell::put_u32(ref->mutable_data(), first);
  expect_corrupt(t.search(500), "search");
  auto before = db_.pager().header().freelist_count;
  expect_corrupt(t.remove(500), "remove");
  EXPECT_EQ(db_.pager().header().freelist_count, before) << "a damaged chain must free nothing";
  EXPECT_TRUE(t.search(200)->has_value());
}

TEST_F(DamagedGraphTest, FreeListHandsOutAPageOfTheTree) {
  // The root is also on the free list: the split of a full leaf below it
  // must not be handed the root.
  const PageId spare = *db_.pager().alloc_page();
  ASSERT_TRUE(db_.pager().free_page(spare).ok());  // the free list's trunk
  ASSERT_TRUE(db_.pager().free_page(root_).ok());  // a leaf of it, handed out first
  BTree t(db_.pager(), root_);
  Status st;
  for (std::int64_t r = 1000; st.ok() && r < 1100; ++r) st = t.insert(r, std::string(40, 'n'));
  expect_corrupt(st, "insert");
}

TEST(DamagedPageFuzz, Pages512) {
#ifdef BKF_SANITIZED
  fuzz(512, 1, 600);
#else
  fuzz(512, 1, 6000);
#endif
}

TEST(DamagedPageFuzz, Pages4096) {
#ifdef BKF_SANITIZED
  fuzz(4096, 2, 600);
#else
  fuzz(4096, 2, 6000);
#endif
}

}  // namespace
}  // namespace bkf
