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

TEST_F(CursorTest, SeekPositions) {
  Cursor c(db_.pager(), tree_);
  ASSERT_TRUE(c.seek(std::numeric_limits<std::int64_t>::min()).ok());
  EXPECT_EQ((*c.next())->first, 10);
  ASSERT_TRUE(c.seek(2001).ok());
  EXPECT_FALSE(c.next()->has_value());
  EXPECT_FALSE(c.next()->has_value());
  // Between rows, and on each side of every leaf boundary.
  for (std::int64_t t = 5; t <= 2000; t += 7) {
    ASSERT_TRUE(c.seek(t).ok());
    auto r = c.next();
    ASSERT_TRUE(r.ok() && r->has_value()) << t;
    EXPECT_EQ((*r)->first, (t + 9) / 10 * 10) << t;
  }
  // Seeks in row-id order, each to the row after the one just read, and
  // each to a row id between two rows.
  for (std::int64_t t = 10; t <= 2000; t += 10) {
    ASSERT_TRUE(c.seek(t).ok());
    EXPECT_EQ((*c.next())->first, t);
    ASSERT_TRUE(c.seek(t + 5).ok());
    auto r = c.next();
    if (t < 2000) {
      EXPECT_EQ((*r)->first, t + 10);
    } else {
      EXPECT_FALSE(r->has_value());
    }
  }
  // Seeks forward and backward within and across leaves (the same-leaf path
  // and the full descent) agree with a fresh cursor.
  for (std::int64_t t : {500, 505, 510, 400, 1990, 15, 15, 16}) {
    ASSERT_TRUE(c.seek(t).ok());
    Cursor fresh(db_.pager(), tree_);
    ASSERT_TRUE(fresh.seek(t).ok());
    EXPECT_EQ((*c.next())->first, (*fresh.next())->first) << t;
  }
}

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

TEST_F(CursorTest, DeleteEveryRowDuringAScan) {
  Cursor c(db_.pager(), tree_);
  ASSERT_TRUE(c.rewind().ok());
  std::int64_t expect = 10;
  std::string buf;
  for (;;) {
    auto r = c.next_into(buf);
    ASSERT_TRUE(r.ok());
    if (!*r) break;
    EXPECT_EQ(**r, expect);
    expect += 10;
    ASSERT_TRUE(c.delete_current().ok());
  }
  EXPECT_EQ(expect, 2010);
  BTree t(db_.pager(), tree_);
  EXPECT_EQ(*t.count(), 0u);
  EXPECT_FALSE(t.last_rowid()->has_value());
}

TEST_F(CursorTest, UpdateInPlace) {
  Cursor c(db_.pager(), tree_);
  ASSERT_TRUE(c.seek(100).ok());
  ASSERT_EQ((*c.next())->first, 100);
  // Same length: rewritten in place.
  EXPECT_TRUE(*c.update_current_inplace(100, std::string(40, 'b')));
  // Shorter: rewritten; the next row is still the one after it.
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
  Cursor c2(db_.pager(), tree_);
  ASSERT_TRUE(c2.seek(105).ok());
  ASSERT_EQ((*c2.next())->first, 105);
  EXPECT_FALSE(*c2.update_current_inplace(105, "tiny"));
  EXPECT_EQ(**t.search(105), std::string(1000, 'o'));
}

// A cursor keeps its current leaf pinned between calls; what it reads must
// still be what the cache holds when the page was changed behind it, when a
// rollback dropped the page, or when another connection's commit emptied
// the cache.
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
