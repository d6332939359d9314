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

// Runs op and checks that it freed no page twice (unless the free list is
// itself damaged: a page freed by a damaged operation can be reused by the
// other tree).
template <class Op>
void checked(Pager& pager, Op&& op) {
  auto before = testing::free_list_pages(pager);
  op();
  auto after = testing::free_list_pages(pager);
  if (!before || !after) return;
  std::map<std::uint32_t, int> added;
  for (std::uint32_t page : *after) ++added[page];
  for (std::uint32_t page : *before) --added[page];
  for (auto [page, n] : added) EXPECT_LE(n, 1) << "page " << page << " freed twice by one operation";
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

// Hand-made damage of the page graph of a table tree (200 rows and one with
// three overflow pages on 512-byte pages): walks stop with Corrupt and
// nothing is freed twice.
class DamagedGraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.begin();
    BTree t = *BTree::create(db_.pager());
    root_ = t.root();
    for (std::int64_t r = 1; r <= 200; ++r) ASSERT_TRUE(t.insert(r, std::string(40, 'r')).ok());
    ASSERT_TRUE(t.insert(500, std::string(1700, 'o')).ok());
    db_.commit();
    db_.begin();
  }
  void TearDown() override { db_.rollback(); }

  NodeMut root_node() {
    root_ref_ = *db_.pager().get_page(root_);
    return *NodeMut::open({root_ref_.mutable_data(), root_ref_.size()}, TreeType::Table);
  }
  template <class T>
  static void expect_corrupt(const Result<T>& r, const char* what) {
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
    const auto before = db_.pager().header().freelist_count;
    expect_corrupt(t.truncate_from(0), "truncate_from");
    EXPECT_TRUE(testing::free_list_distinct(db_.pager()));
    EXPECT_GE(db_.pager().header().freelist_count, before);
  }

  TestDb db_{512};
  PageId root_ = 0;
  PageRef root_ref_;
};

// A child slot of the root (the first, or the right-most) points back to it.
TEST_F(DamagedGraphTest, ChildPointsBackToTheRoot) {
  for (bool rightmost : {false, true}) {
    SCOPED_TRACE(rightmost);
    ASSERT_TRUE(root_node().redirect_child(rightmost ? root_node().cell_count() : 0, root_).ok());
    BTree t(db_.pager(), root_);
    expect_corrupt(t.search(rightmost ? 1000 : 1), "search");
    expect_corrupt(t.insert(rightmost ? 1000 : 1, "x"), "insert");
    if (rightmost) {
      expect_corrupt(t.last_rowid(), "last_rowid");
      AppendHint hint;
      expect_corrupt(t.insert_fast(1000, "x", hint), "insert_fast");
    }
    expect_every_walk_corrupt();
    db_.rollback();
    db_.begin();
  }
}

TEST_F(DamagedGraphTest, TwoSlotsShareOneSubtree) {
  // Every slot of the root names its first child: the scan and the count
  // are bounded, and freeing the shared subtree twice is refused.
  NodeMut m = root_node();
  ASSERT_GE(m.cell_count(), 2u);
  for (std::size_t i = 1; i <= m.cell_count(); ++i) ASSERT_TRUE(m.redirect_child(i, *m.child_at(0)).ok());
  BTree t(db_.pager(), root_);
  const auto before = db_.pager().header().freelist_count;
  expect_corrupt(t.free_subtree(root_), "free_subtree");
  EXPECT_TRUE(testing::free_list_distinct(db_.pager()));
  EXPECT_GT(db_.pager().header().freelist_count, before);
}

TEST_F(DamagedGraphTest, OverflowChainThatLoops) {
  // The second overflow page of row 500 points back to the first; the
  // overflow pages are the only ones that are not table pages.
  TreeCheck check;
  testing::check_tree(db_.pager(), root_, TreeType::Table, check);
  ASSERT_EQ(check.overflow_pages, 3u);
  auto it = std::find_if(check.pages.begin(), check.pages.end(), [&](std::uint32_t p) {
    auto ref = db_.pager().get_page(p);
    return ref->data()[0] != node::kTableLeaf && ref->data()[0] != node::kTableInterior;
  });
  ASSERT_NE(it, check.pages.end());
  cell::put_u32(db_.pager().get_page(*(it + 1))->mutable_data(), *it);
  BTree t(db_.pager(), root_);
  expect_corrupt(t.search(500), "search");
  const auto before = db_.pager().header().freelist_count;
  expect_corrupt(t.remove(500), "remove");
  EXPECT_EQ(db_.pager().header().freelist_count, before) << "a damaged chain must free nothing";
  EXPECT_TRUE(t.search(200)->has_value());
}

// Regression: the root is also on the free list; the split of a full leaf
// below it must not be handed the root.
TEST_F(DamagedGraphTest, FreeListHandsOutAPageOfTheTree) {
  const PageId spare = *db_.pager().alloc_page();
  ASSERT_TRUE(db_.pager().free_page(spare).ok());  // the free list's trunk
  ASSERT_TRUE(db_.pager().free_page(root_).ok());  // a leaf of it, handed out first
  BTree t(db_.pager(), root_);
  Status st;
  for (std::int64_t r = 1000; st.ok() && r < 1100; ++r) st = t.insert(r, std::string(40, 'n'));
  expect_corrupt(st, "insert");
}

TEST(DamagedPageFuzz, TableAndIndexPages) {
#ifdef BKF_SANITIZED
  const int rounds = 600;
#else
  const int rounds = 6000;
#endif
  fuzz(512, 1, rounds);
  fuzz(4096, 2, rounds);
}

}  // namespace
}  // namespace bkf
