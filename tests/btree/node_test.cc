#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

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

TEST(NodeTest, FreshPageHeads) {
  std::vector<std::uint8_t> page(4096, 0xee);
  NodeMut::init(span_of(page), node::kTableLeaf);
  EXPECT_EQ(hex(std::string_view(reinterpret_cast<char*>(page.data()), 12)), "020000100000000000000000");

  std::vector<std::uint8_t> big(65536, 0xee);
  NodeMut::init(span_of(big), node::kIndexInterior);
  EXPECT_EQ(hex(std::string_view(reinterpret_cast<char*>(big.data()), 12)), "030000000000000000000000");
  auto v = NodeView::open(span_of(big), TreeType::Index);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v->content_start(), 65536u);
  EXPECT_EQ(v->gap(), 65536u - 12);
}

TEST(NodeTest, LargestCellOnAnEmptyPage) {
  std::string scratch;
  for (std::size_t p : {512u, 4096u, 65536u}) {
    std::vector<std::uint8_t> page(p);
    NodeMut m = NodeMut::init(span_of(page), node::kIndexLeaf);
    std::string too_big(p - 12 - 2 + 1, 'x');
    EXPECT_FALSE(*m.insert_cell(0, too_big, scratch));
    std::string fits(p - 12 - 2, 'x');
    ASSERT_TRUE(*m.insert_cell(0, fits, scratch));
    EXPECT_EQ(m.cell_count(), 1u);
    EXPECT_EQ(m.gap(), 0u);
  }
}

TEST(NodeTest, CompactionKeepsPointerOrderAndPacksFromTheEnd) {
  std::vector<std::uint8_t> page(4096);
  std::string scratch;
  NodeMut m = NodeMut::init(span_of(page), node::kTableLeaf);
  // Insert out of place so pointer order differs from placement order.
  std::vector<std::int64_t> ids;
  for (std::int64_t r = 0; r < 38; ++r) {
    auto pos = m.leaf_find(r * 7 % 38);
    ASSERT_TRUE(pos.ok());
    ASSERT_TRUE(*m.insert_cell(pos->index, leaf_cell(r * 7 % 38, 100), scratch));
  }
  // Full: a 100-byte-payload cell no longer fits the gap.
  EXPECT_LT(m.gap(), leaf_cell(99, 100).size() + 2);
  for (std::size_t i = 0; i < 10; ++i) m.remove_cell(5);  // removes ids 5..14
  std::string big = leaf_cell(10, 900);
  ASSERT_TRUE(*m.insert_cell(5, big, scratch));
  ASSERT_EQ(m.cell_count(), 29u);
  std::vector<std::int64_t> want;
  for (std::int64_t r = 0; r < 5; ++r) want.push_back(r);
  want.push_back(10);
  for (std::int64_t r = 15; r < 38; ++r) want.push_back(r);
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(*m.table_key(i), want[i]);
  // The compacted cells lie in pointer order from the end; the new one below.
  std::size_t end = 4096;
  for (std::size_t i = 0; i < 29; ++i) {
    if (i == 5) continue;
    std::string_view c = *m.cell(i);
    std::size_t off = static_cast<std::size_t>(reinterpret_cast<const std::uint8_t*>(c.data()) - page.data());
    EXPECT_EQ(off + c.size(), end) << i;
    end = off;
  }
  EXPECT_EQ(m.content_start(), end - big.size());
}

TEST(NodeTest, ZigzagRowidsInLeafCells) {
  EXPECT_EQ(hex(leaf_cell(-1, 0)), "000001");
  EXPECT_EQ(hex(leaf_cell(1, 0)), "000002");
  std::string c;
  cell::encode_leaf(c, 3, 5000, "ab", 0x01020304u);
  EXPECT_EQ(hex(c), "8827" "02" "06" "6162" "01020304");
  auto h = cell::parse_leaf_head(reinterpret_cast<const std::uint8_t*>(c.data()), c.size());
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h->total, 5000u);
  EXPECT_EQ(h->local, 2u);
  EXPECT_EQ(h->rowid, 3);
  EXPECT_EQ(h->cell_len(), c.size());
  EXPECT_EQ(cell::leaf_overflow(reinterpret_cast<const std::uint8_t*>(c.data()), *h), 0x01020304u);
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

TEST(NodeViewTest, RejectsDamagedCells) {
  std::vector<std::uint8_t> page(512);
  std::string scratch;
  NodeMut m = NodeMut::init(span_of(page), node::kTableLeaf);
  ASSERT_TRUE(*m.insert_cell(0, leaf_cell(1, 10), scratch));
  std::size_t off = m.content_start();
  // Pointer below the content start.
  page[12] = 0;
  page[13] = 20;
  EXPECT_FALSE(NodeView::open(span_of(page), TreeType::Table)->cell(0).ok());
  // Local length past the end of the page.
  page[12] = static_cast<std::uint8_t>(off >> 8);
  page[13] = static_cast<std::uint8_t>(off);
  page[off + 1] = 0x7f;
  page[off] = 0x7f;
  EXPECT_FALSE(NodeView::open(span_of(page), TreeType::Table)->cell(0).ok());
  // L greater than T.
  page[off] = 5;
  page[off + 1] = 6;
  EXPECT_FALSE(NodeView::open(span_of(page), TreeType::Table)->cell(0).ok());
  // A varint running to the end of the page, and one of ten bytes too many.
  page[12] = 0x01;
  page[13] = 0xfd;
  std::fill(page.begin() + 0x1fd, page.end(), 0xff);
  auto r = NodeView::open(span_of(page), TreeType::Table)->cell(0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "truncated uvarint");
  std::fill(page.begin() + static_cast<long>(off), page.end(), 0xff);
  page[12] = static_cast<std::uint8_t>(off >> 8);
  page[13] = static_cast<std::uint8_t>(off);
  r = NodeView::open(span_of(page), TreeType::Table)->cell(0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "uvarint overflow / overlong");
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
      EXPECT_EQ(a, b) << round;
      EXPECT_EQ(pos, static_cast<std::size_t>(got)) << round;
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
    page[1] = 0;
    page[2] = static_cast<std::uint8_t>(n);
    const std::size_t cs = 12 + 2 * n + rng() % 100;
    page[3] = static_cast<std::uint8_t>(cs >> 8);
    page[4] = static_cast<std::uint8_t>(cs);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t off = cs + rng() % (page.size() - cs);
      page[12 + 2 * i] = static_cast<std::uint8_t>(off >> 8);
      page[13 + 2 * i] = static_cast<std::uint8_t>(off);
    }
    const TreeType type = kind <= 2 ? TreeType::Table : TreeType::Index;
    NodeView v = *NodeView::open(span_of(page), type);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t off = (std::size_t{page[12 + 2 * i]} << 8) | page[13 + 2 * i];
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
      EXPECT_EQ(fast.total, slow->total);
      EXPECT_EQ(fast.local, slow->local);
      EXPECT_EQ(fast.rowid, slow->rowid);
      EXPECT_EQ(fast.head_len, slow->head_len);
    }
  }
}

// Searches of a cached page go through its memo (first and last keys,
// interpolated probes); they must agree with the plain halving search of a
// view over the same bytes, for every key layout and every target.
TEST(NodeViewTest, RememberedSearchesAgreeWithPlainSearches) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::mt19937_64 rng(7);
  std::vector<std::int64_t> sample;
  for (int i = 0; i < 150; ++i) sample.push_back(static_cast<std::int64_t>(rng()));
  std::sort(sample.begin(), sample.end());
  sample.erase(std::unique(sample.begin(), sample.end()), sample.end());
  struct Layout {
    const char* what;
    std::vector<std::int64_t> keys;
  };
  auto run = [](std::int64_t from, std::int64_t step, int n) {
    std::vector<std::int64_t> k;
    for (int i = 0; i < n; ++i) k.push_back(from + step * i);
    return k;
  };
  std::vector<Layout> layouts = {
      {"one key", {42}},
      {"consecutive", run(1, 1, 120)},
      {"consecutive up to the largest", run(kMax - 119, 1, 120)},
      {"consecutive from the smallest", run(kMin, 1, 120)},
      {"even", run(-200, 2, 150)},
      {"random", sample},
      {"extremes and a cluster", {kMin, kMin + 1, -3, -2, -1, 0, 1, 2, 3, kMax - 1, kMax}},
  };
  std::vector<std::int64_t> powers;
  for (int b = 62; b >= 0; --b) powers.push_back(-(std::int64_t{1} << b));
  for (int b = 0; b <= 62; ++b) powers.push_back(std::int64_t{1} << b);
  layouts.push_back({"powers of two", powers});

  testing::TestDb db(4096);
  db.begin();
  for (const Layout& l : layouts) {
    for (std::uint8_t kind : {node::kTableLeaf, node::kTableInterior}) {
      PageId id = *db.pager().alloc_page();
      PageRef ref = *db.pager().get_page(id);
      NodeMut m = NodeMut::init(page_bytes_mut(ref), kind);
      std::string c;
      for (std::size_t i = 0; i < l.keys.size(); ++i) {
        if (kind == node::kTableLeaf) cell::encode_leaf(c, l.keys[i], 3, "abc", std::nullopt);
        else cell::encode_interior(c, static_cast<std::uint32_t>(i + 2), l.keys[i]);
        ASSERT_TRUE(m.push_cell(c)) << l.what;
      }
      std::vector<std::int64_t> targets = {kMin, kMin + 1, -1, 0, 1, kMax - 1, kMax};
      for (std::int64_t k : l.keys) {
        targets.push_back(k);
        if (k > kMin) targets.push_back(k - 1);
        if (k < kMax) targets.push_back(k + 1);
        targets.push_back(k / 2 + 7);
      }
      NodeView plain = *NodeView::open(page_bytes(ref), TreeType::Table);
      // Twice: the first open derives the memo, the second uses it.
      for (int pass = 0; pass < 2; ++pass) {
        NodeView kept = *NodeView::open(ref, TreeType::Table);
        for (std::int64_t t : targets) {
          if (kind == node::kTableLeaf) {
            LeafPos a = *kept.leaf_find(t), b = *plain.leaf_find(t);
            EXPECT_EQ(a.index, b.index) << l.what << " leaf target " << t;
            EXPECT_EQ(a.found, b.found) << l.what << " leaf target " << t;
          } else {
            EXPECT_EQ(*kept.interior_child_index(t), *plain.interior_child_index(t))
                << l.what << " interior target " << t;
          }
        }
      }
    }
  }
  db.rollback();
}

// The memo describes the bytes of one version of a page: any change through
// a writable handle makes it stale.
TEST(NodeViewTest, ChangedPagesAreSearchedAfresh) {
  testing::TestDb db(512);
  db.begin();
  PageId id = *db.pager().alloc_page();
  PageRef ref = *db.pager().get_page(id);
  NodeMut m = NodeMut::init(page_bytes_mut(ref), node::kTableLeaf);
  std::string c, scratch;
  for (std::int64_t k = 10; k <= 20; ++k) {
    cell::encode_leaf(c, k, 1, "x", std::nullopt);
    ASSERT_TRUE(m.push_cell(c));
  }
  EXPECT_FALSE(NodeView::open(ref, TreeType::Table)->leaf_find(5)->found);
  EXPECT_TRUE(NodeView::open(ref, TreeType::Table)->leaf_find(20)->found);
  // New first and last keys, and a removed one.
  NodeMut w = *NodeMut::open(page_bytes_mut(ref), TreeType::Table);
  cell::encode_leaf(c, 5, 1, "x", std::nullopt);
  ASSERT_TRUE(*w.insert_cell(0, c, scratch));
  cell::encode_leaf(c, 30, 1, "x", std::nullopt);
  ASSERT_TRUE(*w.insert_cell(w.cell_count(), c, scratch));
  NodeView v = *NodeView::open(ref, TreeType::Table);
  EXPECT_EQ(v.cell_count(), 13u);
  EXPECT_TRUE(v.leaf_find(5)->found);
  EXPECT_TRUE(v.leaf_find(30)->found);
  EXPECT_FALSE(v.leaf_find(25)->found);
  EXPECT_EQ(v.leaf_find(25)->index, 12u);
  NodeMut::open(page_bytes_mut(ref), TreeType::Table)->remove_cell(12);
  EXPECT_FALSE(NodeView::open(ref, TreeType::Table)->leaf_find(30)->found);
  EXPECT_EQ(NodeView::open(ref, TreeType::Table)->leaf_find(30)->index, 12u);
  db.rollback();
}

}  // namespace
}  // namespace bkf
