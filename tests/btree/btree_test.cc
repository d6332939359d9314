#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <random>
#include <string>

#include "btree/btree.h"
#include "btree/cursor.h"
#include "tree_test_util.h"

namespace bkf {
namespace {

using testing::TestDb;
using testing::TreeCheck;
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

std::string payload_of(std::size_t n, std::uint64_t seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    s[i] = static_cast<char>(seed >> 56);
  }
  return s;
}

// Scans the whole tree with a cursor and compares it, search by search and
// in order, with the model; also the count and the largest row id.
void expect_matches(Pager& pager, PageId root, const std::map<std::int64_t, std::string>& model) {
  BTree t(pager, root);
  Cursor c(pager, root);
  ASSERT_TRUE(c.rewind().ok());
  std::string buf;
  auto it = model.begin();
  for (;;) {
    auto r = c.next_into(buf);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    if (!*r) break;
    ASSERT_NE(it, model.end()) << "extra row " << **r;
    ASSERT_EQ(**r, it->first);
    ASSERT_EQ(buf, it->second) << "row " << it->first;
    ++it;
  }
  EXPECT_EQ(it, model.end()) << "rows missing from the scan";
  EXPECT_EQ(*t.count(), model.size());
  auto last = t.last_rowid();
  ASSERT_TRUE(last.ok());
  if (model.empty()) {
    EXPECT_FALSE(last->has_value());
  } else {
    EXPECT_EQ(**last, model.rbegin()->first);
  }
  TreeCheck check;
  testing::check_tree(pager, root, TreeType::Table, check);
  EXPECT_EQ(check.rowids.size(), model.size());
}

TEST(BTreeTest, EmptyTree) {
  TestDb db(4096);
  db.begin();
  BTree t = *BTree::create(db.pager());
  EXPECT_FALSE(t.search(1)->has_value());
  EXPECT_FALSE(*t.remove(1));
  EXPECT_FALSE(t.last_rowid()->has_value());
  EXPECT_EQ(*t.count(), 0u);
  EXPECT_EQ(*t.truncate_from(kMin), 0u);
  Cursor c(db.pager(), t.root());
  ASSERT_TRUE(c.rewind().ok());
  EXPECT_FALSE(c.next()->has_value());
  ASSERT_TRUE(c.seek(5).ok());
  EXPECT_FALSE(c.next()->has_value());
  db.commit();
}

TEST(BTreeTest, ReplaceFreesTheOldOverflowChain) {
  TestDb db(4096);
  db.begin();
  BTree t = *BTree::create(db.pager());
  const std::size_t ml = t.max_local();
  ASSERT_EQ(ml, 1978u);
  ASSERT_TRUE(t.insert(7, payload_of(ml + 4092 + 1, 1)).ok());  // two overflow pages
  const std::uint32_t pages = db.pager().page_count();
  ASSERT_TRUE(t.insert(7, "short").ok());
  EXPECT_EQ(*t.count(), 1u);
  EXPECT_EQ(**t.search(7), "short");
  EXPECT_EQ(db.pager().header().freelist_count, 2u);
  // Exactly max_local stays local; one byte more overflows into one page.
  ASSERT_TRUE(t.insert(8, payload_of(ml, 2)).ok());
  EXPECT_EQ(db.pager().page_count(), pages);
  ASSERT_TRUE(t.insert(9, payload_of(ml + 1, 3)).ok());
  EXPECT_EQ(db.pager().header().freelist_count, 1u);
  EXPECT_EQ(**t.search(9), payload_of(ml + 1, 3));
  TreeCheck check;
  testing::check_tree(db.pager(), t.root(), TreeType::Table, check);
  testing::expect_pages_accounted(db.pager(), check.pages);
  db.commit();
}

// The byte-balanced point can overfill the left page: with 4096-byte pages a
// leaf of cells of 1058, 1982 and 1038 bytes receiving a 1058-byte cell in
// front gives k = 3 and 4104 bytes on the left. The split must move k.
TEST(BTreeSplitRegression, BalancedPointThatOverfillsTheLeft) {
  TestDb db(4096);
  db.begin();
  BTree t = *BTree::create(db.pager());
  // Leaf cells: 5 head bytes (2-byte T and L, 1-byte row id) + payload.
  ASSERT_TRUE(t.insert(10, payload_of(1053, 10)).ok());
  ASSERT_TRUE(t.insert(20, payload_of(1977, 20)).ok());
  ASSERT_TRUE(t.insert(30, payload_of(1033, 30)).ok());
  TreeCheck before;
  testing::check_tree(db.pager(), t.root(), TreeType::Table, before);
  ASSERT_EQ(before.pages.size(), 1u) << "the three cells should share one full leaf";
  ASSERT_TRUE(t.insert(5, payload_of(1053, 5)).ok());
  std::map<std::int64_t, std::string> model = {{5, payload_of(1053, 5)},
                                               {10, payload_of(1053, 10)},
                                               {20, payload_of(1977, 20)},
                                               {30, payload_of(1033, 30)}};
  expect_matches(db.pager(), t.root(), model);
  db.commit();
}

// Growing a middle row of a full leaf to max_local forces a split around a
// large cell; whatever the neighbours, no row may be lost.
TEST(BTreeSplitRegression, GrowMiddleRowOfFullLeafToMaxLocal) {
  for (std::uint32_t ps : {512u, 4096u}) {
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
      TestDb db(ps);
      db.begin();
      BTree t = *BTree::create(db.pager());
      std::mt19937_64 rng(seed);
      std::map<std::int64_t, std::string> model;
      // Fill one leaf close to full with cells of varied sizes.
      std::size_t used = 0;
      for (std::int64_t r = 1;; ++r) {
        std::size_t len = rng() % (t.max_local() / 2);
        if (used + len + 10 > ps - 12 - 40) break;
        model[r] = payload_of(len, rng());
        ASSERT_TRUE(t.insert(r, model[r]).ok());
        used += len + 10;
      }
      std::int64_t mid = static_cast<std::int64_t>(model.size() / 2 + 1);
      model[mid] = payload_of(t.max_local(), 99);
      ASSERT_TRUE(t.insert(mid, model[mid]).ok());
      expect_matches(db.pager(), t.root(), model);
      db.commit();
    }
  }
}

TEST(BTreeTest, LastRowidSkipsEmptiedRightmostLeaves) {
  TestDb db(512);
  db.begin();
  BTree t = *BTree::create(db.pager());
  for (std::int64_t r = 1; r <= 300; ++r) ASSERT_TRUE(t.insert(r, payload_of(30, 1)).ok());
  for (std::int64_t r = 150; r <= 300; ++r) ASSERT_TRUE(*t.remove(r));
  EXPECT_EQ(**t.last_rowid(), 149);
  for (std::int64_t r = 1; r <= 149; ++r) ASSERT_TRUE(*t.remove(r));
  EXPECT_FALSE(t.last_rowid()->has_value());
  EXPECT_EQ(*t.count(), 0u);
  db.commit();
}

TEST(BTreeTest, TruncateFrom) {
  TestDb db(512);
  db.begin();
  BTree t = *BTree::create(db.pager());
  std::map<std::int64_t, std::string> model;
  for (std::int64_t r = -200; r <= 200; ++r) {
    model[r] = payload_of(r % 17 == 0 ? 700 : 25, static_cast<std::uint64_t>(r));
    ASSERT_TRUE(t.insert(r, model[r]).ok());
  }
  // Above every row id: nothing.
  EXPECT_EQ(*t.truncate_from(201), 0u);
  // From the middle of a leaf, and where the path child empties.
  for (std::int64_t from : {150, 77, 0, -1, -150}) {
    std::uint64_t want = 0;
    for (auto it = model.lower_bound(from); it != model.end();) {
      ++want;
      it = model.erase(it);
    }
    EXPECT_EQ(*t.truncate_from(from), want) << from;
    expect_matches(db.pager(), t.root(), model);
    TreeCheck check;
    testing::check_tree(db.pager(), t.root(), TreeType::Table, check);
    testing::expect_pages_accounted(db.pager(), check.pages);
  }
  EXPECT_EQ(*t.truncate_from(kMin), model.size());
  model.clear();
  expect_matches(db.pager(), t.root(), model);
  auto ref = db.pager().get_page(t.root());
  EXPECT_EQ(ref->data()[0], node::kTableLeaf);
  TreeCheck check;
  testing::check_tree(db.pager(), t.root(), TreeType::Table, check);
  EXPECT_EQ(check.pages.size(), 1u);
  testing::expect_pages_accounted(db.pager(), check.pages);
  db.commit();
}

TEST(BTreeTest, InsertFastAppendsAndFallsBack) {
  TestDb db(4096);
  db.begin();
  BTree t = *BTree::create(db.pager());
  std::map<std::int64_t, std::string> model;
  AppendHint hint;
  for (std::int64_t r = 1; r <= 2000; ++r) {
    model[r] = payload_of(r % 50 == 0 ? 5000 : 40, static_cast<std::uint64_t>(r));
    ASSERT_TRUE(t.insert_fast(r, model[r], hint).ok());
  }
  EXPECT_TRUE(hint.present);
  EXPECT_EQ(hint.last_rowid, 2000);
  // Not above the hint: the general path, still correct.
  model[1000] = "replaced";
  ASSERT_TRUE(t.insert_fast(1000, "replaced", hint).ok());
  model[-5] = "negative";
  ASSERT_TRUE(t.insert_fast(-5, "negative", hint).ok());
  expect_matches(db.pager(), t.root(), model);

  // A stale hint whose leaf no longer ends with its row id is not trusted.
  AppendHint stale = hint;
  stale.last_rowid = hint.last_rowid - 1;
  model[5000] = "after stale";
  ASSERT_TRUE(t.insert_fast(5000, "after stale", stale).ok());
  // A hint naming a page of another kind is not trusted either.
  AppendHint wrong = hint;
  wrong.leaf = t.root();
  model[5001] = "after wrong";
  ASSERT_TRUE(t.insert_fast(5001, "after wrong", wrong).ok());
  expect_matches(db.pager(), t.root(), model);
  db.commit();
}

// The table tree against std::map: row ids with negatives and extremes,
// payloads from 0 bytes to three pages, batches checked and committed, then
// the file reopened and checked again.
void run_model(std::uint32_t page_size, std::uint64_t seed) {
  TestDb db(page_size);
  db.begin();
  PageId root = BTree::create(db.pager())->root();
  db.commit();
  std::map<std::int64_t, std::string> model;
  std::mt19937_64 rng(seed);
  const std::int64_t extremes[] = {kMin, kMin + 1, -1, 0, 1, kMax - 1, kMax};
  auto pick_rowid = [&]() -> std::int64_t {
    switch (rng() % 8) {
      case 0: return extremes[rng() % std::size(extremes)];
      case 1:
      case 2:
        if (!model.empty()) {
          auto it = model.lower_bound(static_cast<std::int64_t>(rng() % 4000) - 2000);
          if (it != model.end()) return it->first;
        }
        [[fallthrough]];
      default: return static_cast<std::int64_t>(rng() % 4000) - 2000;
    }
  };
  auto pick_len = [&]() -> std::size_t {
    switch (rng() % 10) {
      case 0: return 0;
      case 1: return rng() % (3 * page_size);
      case 2: return node::max_local(page_size) + rng() % 3;
      default: return rng() % 80;
    }
  };
#ifdef BKF_SANITIZED
  const int batches = 8, ops = 300;
#else
  const int batches = 20, ops = 1500;
#endif
  std::string buf;
  // Lookups right after a change see it (pages remember their first and last
  // keys until they change).
  auto expect_search = [&](BTree& t, std::int64_t r) {
    auto got = t.search(r);
    ASSERT_TRUE(got.ok());
    auto it = model.find(r);
    ASSERT_EQ(got->has_value(), it != model.end()) << r;
    if (it != model.end()) {
      EXPECT_EQ(**got, it->second) << r;
    }
  };
  for (int b = 0; b < batches; ++b) {
    db.begin();
    BTree t(db.pager(), root);
    for (int i = 0; i < ops; ++i) {
      int what = static_cast<int>(rng() % 100);
      if (what < 60) {
        std::int64_t r = pick_rowid();
        std::string p = payload_of(pick_len(), rng());
        ASSERT_TRUE(t.insert(r, p).ok());
        model[r] = p;
        if (i % 3 == 0) expect_search(t, r);
      } else if (what < 85) {
        std::int64_t r = pick_rowid();
        auto gone = t.remove(r);
        ASSERT_TRUE(gone.ok());
        EXPECT_EQ(*gone, model.erase(r) == 1);
        if (i % 3 == 0) {
          expect_search(t, r);
          auto next = model.upper_bound(r);
          if (next != model.end()) expect_search(t, next->first);
        }
      } else if (what < 95) {
        // A run of appends through one hint.
        AppendHint hint;
        std::int64_t r = model.empty() ? 0 : model.rbegin()->first;
        for (int k = 0, n = static_cast<int>(rng() % 50); k < n && r < kMax - 3; ++k) {
          r += 1 + static_cast<std::int64_t>(rng() % 3);
          std::string p = payload_of(pick_len(), rng());
          ASSERT_TRUE(t.insert_fast(r, p, hint).ok());
          model[r] = p;
        }
      } else if (what < 97) {
        std::int64_t r = pick_rowid();
        std::uint64_t want = 0;
        for (auto it = model.lower_bound(r); it != model.end(); it = model.erase(it)) ++want;
        EXPECT_EQ(*t.truncate_from(r), want);
      } else {
        // A scan that deletes some rows and shrinks others in place.
        Cursor c(db.pager(), root);
        ASSERT_TRUE(c.rewind().ok());
        for (;;) {
          auto r = c.next_into(buf);
          ASSERT_TRUE(r.ok());
          if (!*r) break;
          std::int64_t id = **r;
          if (id % 5 == 0) {
            ASSERT_TRUE(c.delete_current().ok());
            model.erase(id);
          } else if (id % 3 == 0 && !buf.empty()) {
            std::string shorter = buf.substr(0, buf.size() / 2);
            auto done = c.update_current_inplace(id, shorter);
            ASSERT_TRUE(done.ok());
            if (*done) model[id] = shorter;
          }
        }
      }
      if (i % 97 == 0) expect_search(t, pick_rowid());
    }
    expect_matches(db.pager(), root, model);
    db.commit();
  }
  db.reopen();
  expect_matches(db.pager(), root, model);
  TreeCheck check;
  testing::check_tree(db.pager(), root, TreeType::Table, check);
  testing::expect_pages_accounted(db.pager(), check.pages);
}

TEST(BTreeModelTest, Pages512) {
  for (std::uint64_t seed : {1, 2, 3}) run_model(512, seed);
}
TEST(BTreeModelTest, Pages4096) {
  for (std::uint64_t seed : {4, 5}) run_model(4096, seed);
}

}  // namespace
}  // namespace bkf
