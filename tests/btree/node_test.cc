#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "btree/cell.h"
#include "btree/node.h"
#include "btree/tree_core.h"
#include "support/hex.h"
#include "tree_test_util.h"

namespace bkf {
namespace {

using testing::hex;

std::span<std::uint8_t> span_of(std::vector<std::uint8_t>& page) { return {page.data(), page.size()}; }

std::string leaf_cell(std::int64_t rowid, std::size_t payload_len) {
  std::string c;
  cell::encode_leaf(c, rowid, payload_len, std::string(payload_len, 'p'), std::nullopt);
  return c;
}

// Leaf cells: T, L, the zigzag row id, the local bytes, the overflow page.
TEST(NodeTest, LeafCellLayout) {
  EXPECT_EQ(hex(leaf_cell(-1, 0)), "000001");
  EXPECT_EQ(hex(leaf_cell(1, 0)), "000002");
  std::string c;
  cell::encode_leaf(c, 3, 5000, "ab", 0x01020304u);
  EXPECT_EQ(hex(c), "8827" "02" "06" "6162" "01020304");
}

TEST(NodeViewTest, RejectsDamagedHeads) {
  struct Case {
    const char* what;
    std::size_t page_size;
    TreeType type;
    std::vector<std::pair<std::size_t, std::uint8_t>> bytes;  // on a fresh table leaf
  };
  const Case cases[] = {
      {"index kind in a table tree", 4096, TreeType::Table, {{0, 4}}},
      {"table kind in an index tree", 4096, TreeType::Index, {{0, 2}}},
      {"kind 0", 4096, TreeType::Table, {{0, 0}}},
      {"kind 5", 4096, TreeType::Index, {{0, 5}}},
      {"pointer array past the page", 512, TreeType::Table, {{1, 0x01}, {2, 0x00}}},
      {"content start 0 on a small page", 4096, TreeType::Table, {{3, 0}, {4, 0}}},
      {"content start past the page", 4096, TreeType::Table, {{3, 0x10}, {4, 0x01}}},
      {"content start inside the pointers", 4096, TreeType::Table, {{2, 3}, {3, 0}, {4, 14}}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> page(c.page_size);
    NodeMut::init(span_of(page), node::kTableLeaf);
    for (auto [at, b] : c.bytes) page[at] = b;
    auto v = NodeView::open(span_of(page), c.type);
    ASSERT_FALSE(v.ok()) << c.what;
    EXPECT_EQ(v.error().kind(), ErrorKind::Corrupt) << c.what;
  }
}

// A cell pointer below the content start, a local length past the page, L
// greater than T, a varint running to the end of the page and one of ten
// bytes too many.
TEST(NodeViewTest, RejectsDamagedCells) {
  std::vector<std::uint8_t> page(512);
  std::string scratch;
  NodeMut m = NodeMut::init(span_of(page), node::kTableLeaf);
  ASSERT_TRUE(*m.insert_cell(0, leaf_cell(1, 10), scratch));
  const std::size_t off = m.content_start();
  struct Case {
    std::vector<std::pair<std::size_t, std::uint8_t>> bytes;
    const char* error;  // nullptr: any
  };
  const Case cases[] = {
      {{{12, 0}, {13, 20}}, nullptr},
      {{{off, 0x7f}, {off + 1, 0x7f}}, nullptr},
      {{{off, 5}, {off + 1, 6}}, nullptr},
      {{{12, 0x01}, {13, 0xfd}, {0x1fd, 0xff}, {0x1fe, 0xff}, {0x1ff, 0xff}}, "truncated uvarint"},
      {{{off, 0xff}, {off + 1, 0xff}, {off + 2, 0xff}, {off + 3, 0xff}, {off + 4, 0xff}, {off + 5, 0xff},
        {off + 6, 0xff}, {off + 7, 0xff}, {off + 8, 0xff}, {off + 9, 0xff}},
       "uvarint overflow / overlong"},
  };
  const std::vector<std::uint8_t> good = page;
  for (const Case& c : cases) {
    page = good;
    for (auto [at, b] : c.bytes) page[at] = b;
    auto r = NodeView::open(span_of(page), TreeType::Table)->cell(0);
    ASSERT_FALSE(r.ok()) << c.bytes[0].first;
    EXPECT_EQ(r.error().kind(), ErrorKind::Corrupt);
    EXPECT_EQ(c.error ? r.error().message() : "", c.error ? c.error : "");
  }
}

// The inline varint reader agrees with the record layer's on value, length
// and failure, for every length up to ten bytes and for cut-off input.
TEST(CellTest, FastVarintReaderAgreesWithTheCheckedOne) {
  std::mt19937_64 rng(5);
  std::uint8_t buf[16];
  for (int round = 0; round < 200000; ++round) {
    const std::size_t len = 1 + rng() % 11;  // continuation bytes before the last
    for (std::size_t i = 0; i < sizeof buf; ++i) buf[i] = static_cast<std::uint8_t>(rng() | 0x80);
    buf[len - 1] = static_cast<std::uint8_t>(len == 10 ? rng() % 3 : rng() % 0x80);
    const std::size_t n = rng() % 3 == 0 ? rng() % (len + 1) : len + rng() % 3;
    std::uint64_t a = 0, b = 0;
    std::size_t pos = 0;
    bool ok = cell::read_varint_fast(buf, n, pos, a);
    int got = get_uvarint(buf, n, b);
    ASSERT_EQ(ok, got > 0) << round;
    if (ok) {
      EXPECT_EQ(std::pair(a, pos), std::pair(b, static_cast<std::size_t>(got))) << round;
    }
  }
}

// Cells measured by the page view agree with cell_len (length or fault) for
// every kind of page, on pages of random bytes under a valid head.
TEST(NodeViewTest, CellLengthsAgreeWithCellLen) {
  std::mt19937_64 rng(9);
  std::vector<std::uint8_t> page(512);
  for (int round = 0; round < 4000; ++round) {
    const std::uint8_t kind = static_cast<std::uint8_t>(1 + round % 4);
    for (auto& b : page) b = static_cast<std::uint8_t>(rng() % 3 == 0 ? rng() % 4 : rng());
    const std::size_t n = 1 + rng() % 40;
    page[0] = kind;
    store_be16(&page[1], static_cast<std::uint16_t>(n));
    const std::size_t cs = 12 + 2 * n + rng() % 100;
    store_be16(&page[3], static_cast<std::uint16_t>(cs));
    for (std::size_t i = 0; i < n; ++i) store_be16(&page[12 + 2 * i], static_cast<std::uint16_t>(cs + rng() % (page.size() - cs)));
    const TreeType type = kind <= 2 ? TreeType::Table : TreeType::Index;
    NodeView v = *NodeView::open(span_of(page), type);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t off = load_be16(&page[12 + 2 * i]);
      auto want = cell::cell_len(kind, page.data() + off, page.size() - off);
      auto got = v.cell(i);
      ASSERT_EQ(want.ok(), got.ok()) << round << " " << i;
      if (want.ok()) {
        EXPECT_EQ(*want, got->size());
        EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(got->data()), page.data() + off);
      } else {
        EXPECT_EQ(want.error().message(), got.error().message());
      }
    }
  }
}

// The inline head parser of the scan loop accepts exactly what the checked
// one accepts, and reads it the same way: random bytes, and real cells cut
// short or with bytes changed.
TEST(CellTest, FastHeadParserAgreesWithTheCheckedOne) {
  std::mt19937_64 rng(11);
  std::vector<std::uint8_t> buf(64);
  std::string c;
  for (int round = 0; round < 200000; ++round) {
    std::size_t n;
    if (round % 2 == 0) {
      n = rng() % buf.size();
      for (std::size_t i = 0; i < n; ++i) buf[i] = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() % 3 : rng());
    } else {
      std::int64_t rowid = static_cast<std::int64_t>(rng()) >> (rng() % 64);
      std::size_t len = rng() % 40;
      std::uint64_t total = rng() % 3 == 0 ? len + rng() % 300 : len;
      cell::encode_leaf(c, rowid, total, std::string(len, 'v'), total > len ? std::optional<std::uint32_t>(7) : std::nullopt);
      n = std::min(c.size(), buf.size());
      std::copy_n(c.begin(), n, buf.begin());
      if (rng() % 3 == 0) n = rng() % (n + 1);
      if (rng() % 3 == 0 && n > 0) buf[rng() % n] = static_cast<std::uint8_t>(rng());
    }
    cell::LeafHead fast;
    bool ok = cell::parse_leaf_head_fast(buf.data(), n, fast);
    auto slow = cell::parse_leaf_head(buf.data(), n);
    ASSERT_EQ(ok, slow.ok()) << round;
    if (ok) {
      EXPECT_EQ(std::tuple(fast.total, fast.local, fast.rowid, fast.head_len),
                std::tuple(slow->total, slow->local, slow->rowid, slow->head_len));
    }
  }
}

// Searches of a cached page go through its memo (first and last keys,
// interpolated probes); they must agree with the plain halving search of a
// view over the same bytes, for every key layout and every target. (That a
// changed page is searched afresh, the model tests check with a lookup
// right after each change.)
TEST(NodeViewTest, RememberedSearchesAgreeWithPlainSearches) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  auto run = [](std::int64_t from, std::int64_t step, int n) {
    std::vector<std::int64_t> k;
    for (int i = 0; i < n; ++i) k.push_back(from + step * i);
    return k;
  };
  std::mt19937_64 rng(7);
  std::vector<std::int64_t> random(150), powers;
  for (std::int64_t& k : random) k = static_cast<std::int64_t>(rng());
  std::sort(random.begin(), random.end());
  random.erase(std::unique(random.begin(), random.end()), random.end());
  for (int b = 62; b >= 0; --b) powers.push_back(-(std::int64_t{1} << b));
  for (int b = 0; b <= 62; ++b) powers.push_back(std::int64_t{1} << b);
  // One key; runs of consecutive keys (also up to the largest and from the
  // smallest); even keys; random ones; extremes and a cluster; powers of two.
  const std::vector<std::int64_t> layouts[] = {
      {42}, run(1, 1, 120), run(kMax - 119, 1, 120), run(kMin, 1, 120), run(-200, 2, 150), random,
      {kMin, kMin + 1, -3, -2, -1, 0, 1, 2, 3, kMax - 1, kMax}, powers};
  testing::TestDb db(4096);
  db.begin();
  for (const auto& keys : layouts) {
    std::vector<std::int64_t> targets = {kMin, kMin + 1, -1, 0, 1, kMax - 1, kMax};
    for (std::int64_t k : keys) {
      for (std::int64_t t : {k, k == kMin ? k : k - 1, k == kMax ? k : k + 1, k / 2 + 7}) targets.push_back(t);
    }
    for (std::uint8_t kind : {node::kTableLeaf, node::kTableInterior}) {
      SCOPED_TRACE(std::to_string(keys.size()) + " keys from " + std::to_string(keys[0]) + ", kind " + std::to_string(kind));
      PageRef ref = *db.pager().get_page(*db.pager().alloc_page());
      NodeMut m = NodeMut::init(page_bytes_mut(ref), kind);
      std::string c;
      for (std::size_t i = 0; i < keys.size(); ++i) {
        if (kind == node::kTableLeaf) cell::encode_leaf(c, keys[i], 3, "abc", std::nullopt);
        else cell::encode_interior(c, static_cast<std::uint32_t>(i + 2), keys[i]);
        ASSERT_TRUE(m.push_cell(c));
      }
      NodeView plain = *NodeView::open(page_bytes(ref), TreeType::Table);
      for (int pass = 0; pass < 2; ++pass) {  // the first open derives the memo, the second uses it
        NodeView kept = *NodeView::open(ref, TreeType::Table);
        for (std::int64_t t : targets) {
          if (kind == node::kTableLeaf) {
            LeafPos a = *kept.leaf_find(t), b = *plain.leaf_find(t);
            EXPECT_EQ(std::pair(a.index, a.found), std::pair(b.index, b.found)) << t;
          } else {
            EXPECT_EQ(*kept.interior_child_index(t), *plain.interior_child_index(t)) << t;
          }
        }
      }
    }
  }
  db.rollback();
}

}  // namespace
}  // namespace bkf
