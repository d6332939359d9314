#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "btree/cell.h"
#include "btree/node.h"
#include "support/hex.h"

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

}  // namespace
}  // namespace bkf
