#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <string>

#include "btree/btree.h"
#include "btree/cursor.h"
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
  // Seeks forward and backward within and across leaves (the same-leaf path
  // and the full descent) agree with a fresh cursor.
  for (std::int64_t t : {500, 505, 510, 400, 1990, 15, 15, 16}) {
    ASSERT_TRUE(c.seek(t).ok());
    Cursor fresh(db_.pager(), tree_);
    ASSERT_TRUE(fresh.seek(t).ok());
    EXPECT_EQ((*c.next())->first, (*fresh.next())->first) << t;
  }
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

}  // namespace
}  // namespace bkf
