#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "btree/cell.h"
#include "btree/node.h"
#include "test_util.h"

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

TEST(NodeTest, RemoveAndTruncateLeaveCellBytesAsDeadSpace) {
  std::vector<std::uint8_t> page(512);
  std::string scratch;
  NodeMut m = NodeMut::init(span_of(page), node::kTableLeaf);
  for (std::int64_t r = 1; r <= 4; ++r) ASSERT_TRUE(*m.insert_cell(m.cell_count(), leaf_cell(r, 10), scratch));
  std::size_t cs = m.content_start();
  m.remove_cell(3);
  EXPECT_EQ(m.cell_count(), 3u);
  EXPECT_EQ(m.content_start(), cs);
  m.truncate_cells(1);
  EXPECT_EQ(*m.table_key(0), 1);
  auto reopened = NodeView::open(span_of(page), TreeType::Table);
  ASSERT_TRUE(reopened.ok());
  EXPECT_EQ(reopened->cell_count(), 1u);
}

TEST(NodeTest, InteriorSlotsAndSearch) {
  std::vector<std::uint8_t> page(4096);
  std::string scratch, c;
  NodeMut m = NodeMut::init(span_of(page), node::kTableInterior);
  m.set_right_child(99);
  for (std::int64_t k : {10, 20, 30}) {
    cell::encode_interior(c, static_cast<std::uint32_t>(k), k);
    ASSERT_TRUE(*m.insert_cell(m.cell_count(), c, scratch));
  }
  EXPECT_EQ(*m.child_at(3), 99u);
  EXPECT_EQ(*m.child_at(1), 20u);
  EXPECT_EQ(*m.interior_child_index(20), 1u);  // equal key: left subtree
  EXPECT_EQ(*m.interior_child_index(21), 2u);
  EXPECT_EQ(*m.interior_child_index(31), 3u);
  EXPECT_EQ(*m.interior_child_index(-5), 0u);
  ASSERT_TRUE(m.redirect_child(1, 55).ok());
  ASSERT_TRUE(m.redirect_child(3, 77).ok());
  EXPECT_EQ(*m.child_at(1), 55u);
  EXPECT_EQ(m.right_child(), 77u);
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

// Random damage to valid pages of every kind: every operation of the view
// either works or reports Corrupt, and never touches bytes outside the page
// (the page lives in its own allocation so the sanitizers see any stray
// access).
TEST(NodeViewTest, DamagedPageFuzz) {
  std::mt19937_64 rng(1234);
#ifdef BKF_SANITIZED
  const int rounds = 3000;
#else
  const int rounds = 20000;
#endif
  std::string scratch, c;
  for (int round = 0; round < rounds; ++round) {
    const std::size_t p = round % 3 == 0 ? 512 : 4096;
    const std::uint8_t kind = static_cast<std::uint8_t>(1 + rng() % 4);
    const TreeType type = kind <= 2 ? TreeType::Table : TreeType::Index;
    auto page = std::make_unique<std::uint8_t[]>(p);
    std::span<std::uint8_t> s(page.get(), p);
    NodeMut m = NodeMut::init(s, kind);
    m.set_right_child(7);
    for (int i = 0, n = static_cast<int>(rng() % 40); i < n; ++i) {
      std::int64_t k = static_cast<std::int64_t>(rng() % 1000) - 500;
      std::string key(rng() % 60, static_cast<char>(rng()));
      switch (kind) {
        case 1: cell::encode_interior(c, static_cast<std::uint32_t>(rng()), k); break;
        case 2: c = leaf_cell(k, rng() % 80); break;
        case 3: cell::encode_index_interior(c, 9, key); break;
        default: cell::encode_index_leaf(c, key); break;
      }
      (void)m.insert_cell(rng() % (m.cell_count() + 1), c, scratch);
      if (rng() % 5 == 0 && m.cell_count()) m.remove_cell(rng() % m.cell_count());
    }
    for (int k = 0, n = 1 + static_cast<int>(rng() % 6); k < n; ++k) page[rng() % p] = static_cast<std::uint8_t>(rng());

    auto v = NodeMut::open(s, type);
    if (!v.ok()) {
      EXPECT_EQ(v.error().kind(), ErrorKind::Corrupt);
      continue;
    }
    NodeMut& d = *v;
    auto check = [](const auto& r) {
      if (!r.ok()) {
        EXPECT_EQ(r.error().kind(), ErrorKind::Corrupt);
      }
    };
    for (std::size_t i = 0; i < d.cell_count(); ++i) {
      check(d.cell(i));
      if (type == TreeType::Table) check(d.table_key(i));
      else check(d.index_key(i));
      if (!d.is_leaf()) check(d.child_at(i));
    }
    if (type == TreeType::Table) {
      check(d.leaf_find(static_cast<std::int64_t>(rng() % 1000) - 500));
      check(d.interior_child_index(static_cast<std::int64_t>(rng() % 1000) - 500));
    } else {
      check(d.leaf_find(std::string(rng() % 5, 'a')));
      check(d.interior_child_index(std::string(rng() % 5, 'b')));
    }
    check(d.cells_bytes());
    std::string cell_bytes(rng() % 300, 'z');
    auto ins = d.insert_cell(rng() % (d.cell_count() + 1), cell_bytes, scratch);
    check(ins);
    if (d.cell_count()) {
      check(d.overwrite_cell(rng() % d.cell_count(), ""));
      if (!d.is_leaf()) check(d.redirect_child(rng() % (d.cell_count() + 1), 3));
      d.remove_cell(rng() % d.cell_count());
    }
  }
}

}  // namespace
}  // namespace bkf
