#include <gtest/gtest.h>

#include <limits>
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
  EXPECT_EQ(*t.last_rowid(), model.empty() ? std::nullopt : std::optional(model.rbegin()->first));
  TreeCheck check;
  testing::check_tree(pager, root, TreeType::Table, check);
  EXPECT_EQ(check.rowids.size(), model.size());
}

// The byte-balanced point can overfill the left page: with 4096-byte pages a
// leaf of cells of 1058, 1982 and 1038 bytes receiving a 1058-byte cell in
// front gives k = 3 and 4104 bytes on the left. The split must move k.
TEST(BTreeSplitRegression, BalancedPointThatOverfillsTheLeft) {
  TestDb db(4096);
  db.begin();
  BTree t = *BTree::create(db.pager());
  // Leaf cells: 5 head bytes (2-byte T and L, 1-byte row id) + payload.
  std::map<std::int64_t, std::string> model;
  for (auto [r, len] : {std::pair{10, 1053}, {20, 1977}, {30, 1033}, {5, 1053}}) {
    if (r == 5) {
      TreeCheck before;
      testing::check_tree(db.pager(), t.root(), TreeType::Table, before);
      ASSERT_EQ(before.pages.size(), 1u) << "the three cells should share one full leaf";
    }
    model[r] = payload_of(len, r);
    ASSERT_TRUE(t.insert(r, model[r]).ok());
  }
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

// The model test appends through good hints; a hint that does not fit
// (below the last row, stale, naming a page of another kind) must not be
// trusted.
TEST(BTreeTest, InsertFastFallsBackOnHintsThatDoNotFit) {
  TestDb db(4096);
  db.begin();
  BTree t = *BTree::create(db.pager());
  std::map<std::int64_t, std::string> model;
  AppendHint hint;
  for (std::int64_t r = 1; r <= 2000; ++r) {
    model[r] = payload_of(r % 50 == 0 ? 5000 : 40, static_cast<std::uint64_t>(r));
    ASSERT_TRUE(t.insert_fast(r, model[r], hint).ok());
  }
  ASSERT_TRUE(hint.present);
  AppendHint stale = hint, wrong = hint;
  stale.last_rowid = hint.last_rowid - 1;
  wrong.leaf = t.root();
  const std::pair<std::int64_t, AppendHint*> inserts[] = {{1000, &hint}, {-5, &hint}, {5000, &stale}, {5001, &wrong}};
  for (auto [r, h] : inserts) {
    model[r] = "row " + std::to_string(r);
    ASSERT_TRUE(t.insert_fast(r, model[r], *h).ok());
  }
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
  expect_matches(db.pager(), root, model);  // the empty tree
  std::string buf;
  // Lookups right after a change see it (pages remember their first and last
  // keys until they change).
  auto expect_search = [&](BTree& t, std::int64_t r) {
    EXPECT_EQ(*t.search(r), model.count(r) ? std::optional(model.at(r)) : std::nullopt) << r;
  };
  for (int b = 0; b < batches; ++b) {
    db.begin();
    BTree t(db.pager(), root);
    for (int i = 0; i < ops; ++i) {
      int what = static_cast<int>(rng() % 100);
      if (what < 60) {
        const std::int64_t r = pick_rowid();
        model[r] = payload_of(pick_len(), rng());
        ASSERT_TRUE(t.insert(r, model[r]).ok());
        if (i % 3 == 0) expect_search(t, r);
      } else if (what < 85) {
        const std::int64_t r = pick_rowid();
        EXPECT_EQ(*t.remove(r), model.erase(r) == 1);
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
          model[r] = payload_of(pick_len(), rng());
          ASSERT_TRUE(t.insert_fast(r, model[r], hint).ok());
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
          const std::int64_t id = **r;
          if (id % 5 == 0) {
            ASSERT_TRUE(c.delete_current().ok());
            model.erase(id);
          } else if (id % 3 == 0 && !buf.empty() && *c.update_current_inplace(id, buf.substr(0, buf.size() / 2))) {
            model[id] = buf.substr(0, buf.size() / 2);
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

TEST(BTreeModelTest, AgainstAMap) {
  for (auto [page_size, seed] : {std::pair{512u, 1u}, {512u, 2u}, {512u, 3u}, {4096u, 4u}, {4096u, 5u}}) {
    SCOPED_TRACE(seed);
    run_model(page_size, seed);
  }
}

// ---------------------------------------------------------------- cursors
class CursorTest : public ::testing::Test {
 protected:
  // Rows 10, 20, ..., 2000 on 512-byte pages: many leaves.
  void SetUp() override {
    db_.begin();
    tree_ = BTree::create(db_.pager())->root();
    BTree t(db_.pager(), tree_);
    for (std::int64_t r = 10; r <= 2000; r += 10) ASSERT_TRUE(t.insert(r, std::string(40, 'a')).ok());
  }
  void TearDown() override { db_.commit(); }

  TestDb db_{512};
  PageId tree_ = 0;
};

// Seeks land on the first row at or after their target: at the ends,
// between rows, on each side of every leaf boundary, in row-id order right
// after the row just read (the same-leaf path), and backwards.
TEST_F(CursorTest, SeekPositions) {
  std::vector<std::int64_t> targets = {kMin, 2001, 2001};
  for (std::int64_t t = 5; t <= 2000; t += 7) targets.push_back(t);
  for (std::int64_t t = 10; t <= 2005; t += 5) targets.push_back(t);
  for (std::int64_t t : {500, 505, 510, 400, 1990, 15, 15, 16}) targets.push_back(t);
  Cursor c(db_.pager(), tree_);
  for (std::int64_t t : targets) {
    ASSERT_TRUE(c.seek(t).ok());
    auto r = c.next();
    ASSERT_TRUE(r.ok());
    const std::int64_t want = t <= 10 ? 10 : (t + 9) / 10 * 10;
    EXPECT_EQ(*r ? (*r)->first : -1, want <= 2000 ? want : -1) << t;
  }
}

// Deleting the current row as a scan goes, and rewriting it in place.
TEST_F(CursorTest, DeleteAndUpdateDuringAScan) {
  Cursor c(db_.pager(), tree_);
  ASSERT_TRUE(c.seek(100).ok());
  ASSERT_EQ((*c.next())->first, 100);
  EXPECT_TRUE(*c.update_current_inplace(100, std::string(40, 'b')));  // same length
  EXPECT_TRUE(*c.update_current_inplace(100, "short"));
  // Longer, over max_local, or another row id: refused, nothing changed.
  EXPECT_FALSE(*c.update_current_inplace(100, std::string(41, 'c')));
  EXPECT_FALSE(*c.update_current_inplace(100, std::string(500, 'c')));
  EXPECT_FALSE(*c.update_current_inplace(101, "x"));
  EXPECT_EQ((*c.next())->first, 110);
  BTree t(db_.pager(), tree_);
  EXPECT_EQ(**t.search(100), "short");
  // A row with an overflow chain is never rewritten in place.
  ASSERT_TRUE(t.insert(105, std::string(1000, 'o')).ok());
  ASSERT_TRUE(c.seek(105).ok());
  ASSERT_EQ((*c.next())->first, 105);
  EXPECT_FALSE(*c.update_current_inplace(105, "tiny"));
  EXPECT_EQ(**t.search(105), std::string(1000, 'o'));
  // Every row deleted during one scan.
  ASSERT_TRUE(c.rewind().ok());
  std::int64_t seen = 0;
  for (auto r = c.next(); r.ok() && *r; r = c.next(), ++seen) ASSERT_TRUE(c.delete_current().ok());
  EXPECT_EQ(seen, 201);
  EXPECT_EQ(*t.count(), 0u);
  EXPECT_FALSE(t.last_rowid()->has_value());
}

// A cursor keeps its current leaf pinned between calls; what it reads must
// still be what the cache holds when the page was changed behind it, when a
// rollback dropped the page, or when another connection's commit emptied
// the cache.
// One cursor seeks at random while the tree grows (leaf splits, root
// splits that move the root's contents) and shrinks through another handle:
// every seek lands where a model's lower_bound says, whether it descends
// from a root page it kept from the seek before or fetches it again.
TEST(CursorSeekModelTest, SeeksFollowChangesOfTheTree) {
  TestDb db{512};
  db.begin();
  const PageId root = BTree::create(db.pager())->root();
  BTree t(db.pager(), root);
  std::map<std::int64_t, std::string> model;
  Cursor c(db.pager(), root);
  std::mt19937 rng(7);
  for (int step = 0; step < 6000; ++step) {
    const std::int64_t k = static_cast<std::int64_t>(rng() % 3000);
    if (rng() % 3 == 0) {
      const std::string v(10 + rng() % 60, static_cast<char>('a' + step % 26));
      ASSERT_TRUE(t.insert(k, v).ok());
      model[k] = v;
    } else if (rng() % 4 == 0) {
      ASSERT_TRUE(t.remove(k).ok());
      model.erase(k);
    }
    for (int s = 0; s < 3; ++s) {
      const std::int64_t q = static_cast<std::int64_t>(rng() % 3100);
      ASSERT_TRUE(c.seek(q).ok());
      auto got = c.next();
      ASSERT_TRUE(got.ok());
      auto want = model.lower_bound(q);
      if (want == model.end()) {
        EXPECT_FALSE(got->has_value()) << "seek " << q << " at step " << step;
      } else {
        ASSERT_TRUE(got->has_value()) << "seek " << q << " at step " << step;
        EXPECT_EQ((*got)->first, want->first);
        EXPECT_EQ((*got)->second, want->second);
      }
    }
  }
  db.commit();
}

// Seeks answered from the kept root's leaves of consecutive row ids must
// agree with a model while such leaves turn sparse (deletes, gaps filled
// again) and change behind the cursor, and a scan from the seek must cross
// into the following leaves as after any seek.
TEST(CursorSeekModelTest, KeptLeavesOfConsecutiveRowIds) {
  TestDb db{4096};
  db.begin();
  const PageId root = BTree::create(db.pager())->root();
  BTree t(db.pager(), root);
  std::map<std::int64_t, std::string> model;
  for (std::int64_t id = 100; id < 6100; ++id) {
    const std::string v = "row" + std::to_string(id) + std::string(12, 'x');
    ASSERT_TRUE(t.insert(id, v).ok());
    model[id] = v;
  }
  Cursor c(db.pager(), root);
  std::mt19937 rng(11);
  for (int step = 0; step < 4000; ++step) {
    if (step % 50 == 49) {
      const std::int64_t k = 100 + static_cast<std::int64_t>(rng() % 6000);
      if (rng() % 2 == 0) {
        ASSERT_TRUE(t.remove(k).ok());
        model.erase(k);
      } else {
        const std::string v = "new" + std::to_string(step);
        ASSERT_TRUE(t.insert(k, v).ok());
        model[k] = v;
      }
    }
    const std::int64_t q = 90 + static_cast<std::int64_t>(rng() % 6030);
    ASSERT_TRUE(c.seek(q).ok());
    auto want = model.lower_bound(q);
    const int reads = step % 7 == 0 ? 300 : 2;
    for (int r = 0; r < reads; ++r, ++want) {
      auto got = c.next();
      ASSERT_TRUE(got.ok());
      if (want == model.end()) {
        ASSERT_FALSE(got->has_value()) << "seek " << q << " at step " << step;
        break;
      }
      ASSERT_TRUE(got->has_value()) << "seek " << q << " at step " << step;
      ASSERT_EQ((*got)->first, want->first) << "seek " << q << " read " << r << " at step " << step;
      ASSERT_EQ((*got)->second, want->second);
    }
  }
  db.commit();
}

TEST(CursorPinTest, ReadsWhatTheCacheHolds) {
  testing::TempDir dir;
  OsVfs vfs;
  const std::string path = dir.file("p.db");
  auto a = std::move(Pager::create(vfs, path, 512)).value();
  ASSERT_TRUE(a->begin().ok());
  PageId root = BTree::create(*a)->root();
  for (std::int64_t r = 1; r <= 5; ++r) ASSERT_TRUE(BTree(*a, root).insert(r, "old").ok());
  IndexBTree ix = *IndexBTree::create(*a);
  for (const char* k : {"a", "b", "c"}) ASSERT_TRUE(ix.insert(k).ok());
  ASSERT_TRUE(a->commit().ok());
  std::string buf;

  // Another connection commits while this one's cursors sit on the leaves.
  ASSERT_TRUE(a->read_lock().ok());
  Cursor c(*a, root);
  ASSERT_TRUE(c.rewind().ok());
  ASSERT_EQ(**c.next_into(buf), 1);
  IndexCursor ic(*a, ix.root());
  ASSERT_TRUE(ic.seek("").ok());
  ASSERT_TRUE(*ic.next_into(buf));
  EXPECT_EQ(buf, "a");
  ASSERT_TRUE(a->read_unlock().ok());
  {
    auto b = std::move(Pager::open(vfs, path)).value();
    ASSERT_TRUE(b->begin().ok());
    ASSERT_TRUE(BTree(*b, root).insert(2, "new").ok());
    ASSERT_TRUE(BTree(*b, root).remove(3).ok());
    ASSERT_TRUE(IndexBTree(*b, ix.root()).remove("b").ok());
    ASSERT_TRUE(b->commit().ok());
  }
  ASSERT_TRUE(a->read_lock().ok());
  ASSERT_EQ(**c.next_into(buf), 2);
  EXPECT_EQ(buf, "new");
  EXPECT_EQ(**c.next_into(buf), 4);
  ASSERT_TRUE(*ic.next_into(buf));
  EXPECT_EQ(buf, "c");
  ASSERT_TRUE(a->read_unlock().ok());

  // A change through another handle, then a rollback that drops the page.
  ASSERT_TRUE(a->begin().ok());
  ASSERT_TRUE(c.rewind().ok());
  ASSERT_EQ(**c.next_into(buf), 1);
  ASSERT_TRUE(BTree(*a, root).insert(2, "changed").ok());
  ASSERT_EQ(**c.next_into(buf), 2);
  EXPECT_EQ(buf, "changed");
  ASSERT_TRUE(a->rollback().ok());
  ASSERT_TRUE(a->read_lock().ok());
  ASSERT_EQ(**c.next_into(buf), 4);
  ASSERT_TRUE(c.seek(2).ok());
  ASSERT_EQ(**c.next_into(buf), 2);
  EXPECT_EQ(buf, "new");
  ASSERT_TRUE(a->read_unlock().ok());
}

}  // namespace
}  // namespace bkf
