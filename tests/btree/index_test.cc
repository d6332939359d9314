#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "btree/index.h"
#include "btree/keyenc.h"
#include "tree_test_util.h"

namespace bkf {
namespace {

using testing::TestDb;
using testing::TreeCheck;

std::vector<std::string> scan_from(Pager& pager, PageId root, std::string_view from,
                                   std::size_t limit = static_cast<std::size_t>(-1)) {
  IndexCursor c(pager, root);
  EXPECT_TRUE(c.seek(from).ok());
  std::vector<std::string> out;
  std::string buf;
  while (out.size() < limit) {
    auto r = c.next_into(buf);
    EXPECT_TRUE(r.ok());
    if (!r.ok() || !*r) break;
    out.push_back(buf);
  }
  return out;
}

void expect_matches(Pager& pager, PageId root, const std::set<std::string>& model) {
  std::vector<std::string> all = scan_from(pager, root, "");
  EXPECT_TRUE(std::equal(all.begin(), all.end(), model.begin(), model.end())) << all.size() << " vs " << model.size();
  EXPECT_EQ(*IndexBTree(pager, root).count(), model.size());
  TreeCheck check;
  testing::check_tree(pager, root, TreeType::Index, check);
  EXPECT_EQ(check.keys.size(), model.size());
}

TEST(IndexTest, EdgeCases) {
  TestDb db(4096);
  db.begin();
  IndexBTree t = *IndexBTree::create(db.pager());
  IndexCursor c(db.pager(), t.root());
  EXPECT_FALSE(c.next()->has_value());  // unpositioned
  ASSERT_TRUE(c.seek("zzz").ok());
  EXPECT_FALSE(c.next()->has_value());
  ASSERT_TRUE(t.insert(std::string(2034, 'k')).ok());
  auto too_big = t.insert(std::string(2035, 'k'));
  ASSERT_FALSE(too_big.ok());
  EXPECT_EQ(too_big.error().to_string(), "execution error: index key too large (2035 bytes)");
  db.commit();
  // A key already present changes nothing, not even its page's dirty state.
  db.begin();
  ASSERT_TRUE(t.insert(std::string(2034, 'k')).ok());
  EXPECT_FALSE(db.pager().get_page(t.root())->is_dirty());
  EXPECT_EQ(*t.count(), 1u);
  db.commit();
}

// Keys of the size limit make separators of the size limit: two of them
// exactly fill an interior page at 4096 bytes, and do not fit one at 65536.
TEST(IndexSplitRegression, NearLimitSeparators) {
  for (std::uint32_t ps : {4096u, 65536u}) {
    for (int order = 0; order < 3; ++order) {
      TestDb db(ps);
      db.begin();
      IndexBTree t = *IndexBTree::create(db.pager());
      const std::size_t limit = IndexBTree::max_key_len(ps);
      std::set<std::string> model;
      std::mt19937_64 rng(static_cast<std::uint64_t>(order) + ps);
      const int n = ps == 4096 ? 60 : 24;
      for (int i = 0; i < n; ++i) {
        int k = order == 0 ? i : order == 1 ? n - i : static_cast<int>(rng() % 1000);
        std::string key = std::to_string(1000 + k);
        key.resize(limit - (rng() % 3 == 0 ? rng() % 8 : 0), static_cast<char>('a' + i % 26));
        ASSERT_TRUE(t.insert(key).ok()) << ps << " " << i;
        model.insert(key);
      }
      expect_matches(db.pager(), t.root(), model);
      for (const std::string& k : model) EXPECT_TRUE(*t.contains_prefix(k));
      db.commit();
    }
  }
}

// The index tree against std::set: keys from 1 byte to the limit, inserts,
// deletes, prefix probes and seeks, batches committed, then reopened.
void run_model(std::uint32_t page_size, std::uint64_t seed) {
  TestDb db(page_size);
  db.begin();
  PageId root = IndexBTree::create(db.pager())->root();
  db.commit();
  std::set<std::string> model;
  std::mt19937_64 rng(seed);
  const std::size_t limit = IndexBTree::max_key_len(page_size);
  auto pick_key = [&]() -> std::string {
    if (!model.empty() && rng() % 4 == 0) {
      auto it = model.lower_bound(std::string(1, static_cast<char>(rng() % 4)));
      if (it != model.end()) return *it;
    }
    std::size_t len = rng() % 10 == 0 ? limit - rng() % 20 : 1 + rng() % 24;
    std::string k(len, '\0');
    for (char& ch : k) ch = static_cast<char>(rng() % 4);  // small alphabet: shared prefixes
    return k;
  };
#ifdef BKF_SANITIZED
  const int batches = 6, ops = 400;
#else
  const int batches = 16, ops = 2000;
#endif
  for (int b = 0; b < batches; ++b) {
    db.begin();
    IndexBTree t(db.pager(), root);
    for (int i = 0; i < ops; ++i) {
      std::string k = pick_key();
      int what = static_cast<int>(rng() % 10);
      if (what < 6) {
        ASSERT_TRUE(t.insert(k).ok());
        model.insert(k);
      } else if (what < 9) {
        EXPECT_EQ(*t.remove(k), model.erase(k) == 1);
      } else {
        std::string p = k.substr(0, rng() % (k.size() + 1));
        auto it = model.lower_bound(p);
        bool want = it != model.end() && it->compare(0, p.size(), p) == 0;
        EXPECT_EQ(*t.contains_prefix(p), want);
        // The first keys from the prefix on, across leaf boundaries.
        auto got = scan_from(db.pager(), root, p, 6);
        for (const std::string& k : got) {
          ASSERT_NE(it, model.end());
          EXPECT_EQ(k, *it++);
        }
        if (got.size() < 6) {
          EXPECT_EQ(it, model.end());
        }
      }
    }
    expect_matches(db.pager(), root, model);
    db.commit();
  }
  db.reopen();
  expect_matches(db.pager(), root, model);
  TreeCheck check;
  testing::check_tree(db.pager(), root, TreeType::Index, check);
  testing::expect_pages_accounted(db.pager(), check.pages);
}

TEST(IndexModelTest, AgainstASet) {
  for (auto [page_size, seed] : {std::pair{512u, 1u}, {512u, 2u}, {4096u, 3u}, {4096u, 4u}}) {
    SCOPED_TRACE(seed);
    run_model(page_size, seed);
  }
}

}  // namespace
}  // namespace bkf
