// Page allocation, the free list and its damage checks, and the page cache.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <unordered_map>

#include "pager/page_map.h"
#include "pager_test_util.h"
#include "support/temp_dir.h"

namespace bkf::testing {
namespace {

class FreeListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    p_ = must(Pager::create(vfs_, path_, 512));
    append_pages(*p_, 200, 1);  // pages 2..201
  }
  std::vector<PageId> alloc_n(int n) {
    std::vector<PageId> out;
    for (int i = 0; i < n; ++i) out.push_back(must(p_->alloc_page()));
    return out;
  }
  void reopen() { p_ = must(Pager::open(vfs_, path_)); }

  TempDir dir_;
  OsVfs vfs_;
  std::string path_ = dir_.file("t.db");
  std::unique_ptr<Pager> p_;
};

// Freed pages come back last first and zeroed. 126 leaves fill a 512-byte
// trunk; the 127th freed page becomes the new head trunk pointing at the
// old one, and the list survives a reopen.
TEST_F(FreeListTest, FreedPagesComeBackLastFirstAndZeroed) {
  must(p_->begin());
  for (PageId id : {5u, 6u, 7u}) must(p_->free_page(id));
  EXPECT_EQ(alloc_n(4), (std::vector<PageId>{7, 6, 5, 202}));
  PageRef page = must(p_->get_page(5));
  for (std::uint32_t i = 0; i < 512; ++i) ASSERT_EQ(page.data()[i], 0);
  for (PageId id = 2; id <= 129; ++id) must(p_->free_page(id));
  EXPECT_EQ(p_->header().freelist_head, 129u);
  must(p_->commit());
  reopen();
  EXPECT_EQ(p_->header().freelist_count, 128u);
  must(p_->begin());
  std::vector<PageId> want = {129};
  for (PageId id = 128; id >= 2; --id) want.push_back(id);
  want.push_back(203);
  EXPECT_EQ(alloc_n(129), want);
  EXPECT_EQ(p_->header().freelist_count, 0u);
  must(p_->commit());
}

// Damage written into the header or a trunk of the file.
TEST_F(FreeListTest, DamagedValuesAreCorrupt) {
  must(p_->begin());
  for (PageId id : {10u, 11u, 12u}) must(p_->free_page(id));  // trunk 10: leaves 11, 12
  must(p_->commit());
  const std::string clean = read_file(path_);
  enum Op { kAlloc, kFree20, kFree10, kAllocThird };
  struct Case {
    std::vector<std::pair<std::size_t, std::uint32_t>> patches;  // offset into the file, value
    Op op;
    const char* error;  // the whole text, or "" for any corrupt-data error
  };
  const std::size_t trunk = 9 * 512, head = 22, count = 26;
  const Case cases[] = {
      {{{head, 1}}, kAlloc, ""},
      {{{head, 202}}, kAlloc, ""},  // beyond the page count
      {{{count, 0}}, kAlloc, ""},   // with a head
      {{{trunk + 4, 127}}, kAlloc, ""},  // leaf count too large for the page
      {{{trunk + 12, 0}}, kAlloc, ""},
      {{{trunk + 12, 1}}, kAlloc, ""},
      {{{trunk + 12, 500}}, kAlloc, ""},
      {{{count, 201}}, kFree20, ""},  // more free pages than pages
      {{{trunk + 4, 1000}}, kFree20, ""},
      {{{head, 0xFFFFFFFF}}, kFree20, ""},
      {{{trunk, 7777}}, kAllocThird, "corrupt data: free list: next trunk page 7777 is out of range"},
      {{}, kFree10, "corrupt data: free list: page 10 is already its head"},
      {{{head, 0}, {count, 0}, {18, 0xFFFFFFFF}}, kAlloc, ""},  // a page count beyond the file
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.patches.empty() ? 0 : c.patches[0].first);
    std::string bytes = clean;
    for (auto [offset, value] : c.patches) put_be32(bytes, offset, value);
    write_file(path_, bytes);
    reopen();
    must(p_->begin());
    if (c.op == kAllocThird) {
      EXPECT_EQ(alloc_n(2), (std::vector<PageId>{12, 11}));
    }
    const std::string got = c.op == kFree20   ? outcome(p_->free_page(20))
                            : c.op == kFree10 ? outcome(p_->free_page(10))
                                              : outcome(p_->alloc_page());
    EXPECT_EQ(got.substr(0, *c.error ? std::string::npos : 14), *c.error ? c.error : "corrupt data: ");
    must(p_->rollback());
  }
  std::string bytes = clean;
  put_be32(bytes, 18, 0);
  write_file(path_, bytes);
  EXPECT_EQ(Pager::open(vfs_, path_).error().kind(), ErrorKind::Corrupt);  // a page count of 0
}

// The cache drops the least recently used pages, never a held or a dirty
// one (inside a transaction it outgrows its capacity instead).
TEST(CacheTest, EvictionKeepsHeldAndDirtyPages) {
  TempDir dir;
  OsVfs vfs;
  const std::string path = dir.file("t.db");
  auto p = must(Pager::create(vfs, path, 512));
  append_pages(*p, 4200, 1);  // pages 2..4201
  p = must(Pager::open(vfs, path));
  must(p->read_lock());
  std::vector<PageRef> held;
  for (PageId id = 2; id <= 4001; ++id) {
    PageRef r = must(p->get_page(id));
    if (id % 500 == 0) held.push_back(r);
  }
  must(p->get_page(2));  // page 2 is now the most recently used
  must(p->get_page(4002));
  EXPECT_LT(p->cached_pages(), 4000u);
  EXPECT_TRUE(p->is_cached(2));
  EXPECT_FALSE(p->is_cached(3));
  for (const PageRef& r : held) EXPECT_TRUE(p->is_cached(r.id())) << r.id();
  held.clear();
  must(p->read_unlock());
  must(p->begin());
  for (PageId id = 2; id <= 4201; ++id) fill_page(*p, id, 2);
  for (int i = 0; i < 800; ++i) fill_page(*p, must(p->alloc_page()), 2);
  EXPECT_EQ(p->cached_pages(), 5000u);
  must(p->commit());
  p.reset();
  DbState s = capture_file(path);
  ASSERT_EQ(s.page_count, 5001u);
  for (PageId id : {2u, 3000u, 5001u}) EXPECT_EQ(static_cast<std::uint8_t>(s.pages[id - 2][0]), static_cast<std::uint8_t>(id * 31 + 14));
}

TEST(PageMapTest, BehavesLikeAHashMapUnderRandomUse) {
  std::mt19937 rng(7);
  PageMap<std::uint64_t> map;
  std::unordered_map<std::uint32_t, std::uint64_t> model;
  for (int step = 0; step < 200000; ++step) {
    const std::uint32_t key = 1 + rng() % 3000;
    if (const unsigned op = rng() % 3; op == 0) {
      map.put(key, step);
      model[key] = step;
    } else if (op == 1) {
      EXPECT_EQ(map.erase(key), model.erase(key) == 1);
    } else {
      std::uint64_t* v = map.find(key);
      ASSERT_EQ(v ? std::optional(*v) : std::nullopt,
                model.count(key) ? std::optional(model[key]) : std::nullopt) << key;
    }
    ASSERT_EQ(map.size(), model.size());
    if (step % 50000 == 49999) {
      std::size_t seen = 0;
      map.for_each([&](std::uint32_t k, std::uint64_t v) { seen += model.at(k) == v; });
      EXPECT_EQ(seen, model.size());
    }
  }
  // A large map moved and cleared gives its storage back and works again.
  for (std::uint32_t key = 1; key <= 5000; ++key) map.put(key, key);
  PageMap<std::uint64_t> moved(std::move(map));
  EXPECT_EQ(moved.size(), 5000u);
  EXPECT_EQ(*moved.find(4321), 4321u);
  moved.clear();
  EXPECT_TRUE(moved.empty());
  EXPECT_EQ(moved.find(4321), nullptr);
  moved.put(4321, 7);
  EXPECT_EQ(*moved.find(4321), 7u);
  EXPECT_FALSE(moved.erase(1));
}

}  // namespace
}  // namespace bkf::testing
