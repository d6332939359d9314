// Page allocation, the free list and its damage checks, and the page cache.
#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

#include "pager/bytes.h"
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

  TempDir dir_;
  OsVfs vfs_;
  std::string path_ = dir_.file("t.db");
  std::unique_ptr<Pager> p_;
};

TEST_F(FreeListTest, FreedPagesComeBackLastFirstAndZeroed) {
  must(p_->begin());
  must(p_->free_page(5));
  EXPECT_EQ(p_->header().freelist_head, 5u);
  EXPECT_EQ(p_->header().freelist_count, 1u);
  {
    PageRef trunk = must(p_->get_page(5));
    EXPECT_EQ(load_be32(trunk.data()), 0u);
    EXPECT_EQ(load_be32(trunk.data() + 4), 0u);
  }
  EXPECT_EQ(must(p_->alloc_page()), 5u);
  EXPECT_EQ(p_->header().freelist_head, 0u);
  EXPECT_EQ(p_->header().freelist_count, 0u);
  PageRef page = must(p_->get_page(5));
  for (std::uint32_t i = 0; i < 512; ++i) ASSERT_EQ(page.data()[i], 0);

  for (PageId id : {5u, 6u, 7u}) must(p_->free_page(id));
  EXPECT_EQ(p_->header().freelist_count, 3u);
  {
    PageRef trunk = must(p_->get_page(5));
    EXPECT_EQ(load_be32(trunk.data() + 4), 2u);
    EXPECT_EQ(load_be32(trunk.data() + 8), 6u);
    EXPECT_EQ(load_be32(trunk.data() + 12), 7u);
  }
  EXPECT_EQ(alloc_n(4), (std::vector<PageId>{7, 6, 5, 202}));
  must(p_->commit());
}

TEST_F(FreeListTest, FullTrunkStartsANewOneAndTheListSurvivesReopen) {
  // 126 leaves fill a 512-byte trunk; the 127th freed page becomes the new
  // head trunk pointing at the old one.
  must(p_->begin());
  for (PageId id = 2; id <= 129; ++id) must(p_->free_page(id));
  EXPECT_EQ(p_->header().freelist_head, 129u);
  EXPECT_EQ(p_->header().freelist_count, 128u);
  {
    PageRef trunk = must(p_->get_page(129));
    EXPECT_EQ(load_be32(trunk.data()), 2u);
    EXPECT_EQ(load_be32(trunk.data() + 4), 0u);
    PageRef old = must(p_->get_page(2));
    EXPECT_EQ(load_be32(old.data() + 4), 126u);
    EXPECT_EQ(load_be32(old.data() + 8 + 4 * 125), 128u);
  }
  must(p_->commit());
  p_.reset();
  p_ = must(Pager::open(vfs_, path_));
  EXPECT_EQ(p_->header().freelist_count, 128u);
  must(p_->begin());
  std::vector<PageId> got = alloc_n(129);
  std::vector<PageId> want = {129};
  for (PageId id = 128; id >= 3; --id) want.push_back(id);
  want.push_back(2);
  want.push_back(202);
  EXPECT_EQ(got, want);
  EXPECT_EQ(p_->header().freelist_count, 0u);
  must(p_->commit());
}

// Damage written into the header or a trunk through a committed transaction
// (the pager trusts what it reads, so this is what a damaged file looks like).
TEST_F(FreeListTest, DamagedValuesAreCorrupt) {
  must(p_->begin());
  for (PageId id : {10u, 11u, 12u}) must(p_->free_page(id));  // trunk 10: leaves 11, 12
  must(p_->commit());
  const std::string clean = read_file(path_);

  struct Case {
    const char* name;
    std::size_t offset;  // into the file
    std::uint32_t value;
    bool on_alloc;       // fails at alloc_page, else at free_page(20)
  };
  const std::size_t trunk = 9 * 512;
  const Case cases[] = {
      {"head 1", 22, 1, true},
      {"head beyond count", 22, 202, true},
      {"count 0 with a head", 26, 0, true},
      {"leaf count too large", trunk + 4, 127, true},
      {"leaf 0", trunk + 12, 0, true},
      {"leaf 1", trunk + 12, 1, true},
      {"leaf beyond count", trunk + 12, 500, true},
      {"free count too large", 26, 201, false},
      {"free: leaf count too large", trunk + 4, 1000, false},
      {"free: head beyond count", 22, 0xFFFFFFFF, false},
  };
  for (const Case& c : cases) {
    std::string bytes = clean;
    put_be32(bytes, c.offset, c.value);
    write_file(path_, bytes);
    p_ = must(Pager::open(vfs_, path_));
    must(p_->begin());
    Status st;
    if (c.on_alloc) {
      Result<PageId> r = p_->alloc_page();
      if (!r.ok()) st = std::move(r).error();
    } else {
      st = p_->free_page(20);
    }
    ASSERT_FALSE(st.ok()) << c.name;
    EXPECT_EQ(st.error().kind(), ErrorKind::Corrupt) << c.name << ": " << st.error().to_string();
    must(p_->rollback());
  }
  // A trunk whose next pointer is out of range, reached once its leaves are used.
  std::string bytes = clean;
  put_be32(bytes, trunk, 7777);
  write_file(path_, bytes);
  p_ = must(Pager::open(vfs_, path_));
  must(p_->begin());
  EXPECT_EQ(alloc_n(2), (std::vector<PageId>{12, 11}));
  EXPECT_EQ(p_->alloc_page().error().to_string(), "corrupt data: free list: next trunk page 7777 is out of range");
  // Freeing the page that already heads the list.
  must(p_->rollback());
  write_file(path_, clean);
  p_ = must(Pager::open(vfs_, path_));
  must(p_->begin());
  EXPECT_EQ(p_->free_page(10).error().to_string(), "corrupt data: free list: page 10 is already its head");
  must(p_->rollback());
}

TEST_F(FreeListTest, PageCountZeroIsCorrupt) {
  std::string bytes = read_file(path_);
  put_be32(bytes, 18, 0);
  write_file(path_, bytes);
  EXPECT_EQ(Pager::open(vfs_, path_).error().kind(), ErrorKind::Corrupt);
  put_be32(bytes, 18, 0xFFFFFFFF);
  write_file(path_, bytes);
  p_ = must(Pager::open(vfs_, path_));
  must(p_->begin());
  EXPECT_EQ(p_->alloc_page().error().kind(), ErrorKind::Corrupt);
  must(p_->rollback());
}

// ---------------------------------------------------------------- cache

class CacheTest : public ::testing::Test {
 protected:
  TempDir dir_;
  OsVfs vfs_;
  std::string path_ = dir_.file("t.db");
};

TEST_F(CacheTest, EvictionKeepsHeldAndDirtyPagesAndDropsTheLeastRecentlyUsed) {
  auto p = must(Pager::create(vfs_, path_, 512));
  append_pages(*p, 4200, 1);  // pages 2..4201
  p = must(Pager::open(vfs_, path_));
  must(p->read_lock());
  std::vector<PageRef> held;
  for (PageId id = 2; id <= 4001; ++id) {  // 4000 pages
    PageRef r = must(p->get_page(id));
    if (id % 500 == 0) held.push_back(r);
  }
  must(p->get_page(2));  // page 2 is now the most recently used
  EXPECT_EQ(p->cached_pages(), 4000u);
  must(p->get_page(4002));
  EXPECT_EQ(p->cached_pages(), 3601u);
  EXPECT_TRUE(p->is_cached(2));
  for (const PageRef& r : held) EXPECT_TRUE(p->is_cached(r.id())) << r.id();
  // The 400 least recently used unheld pages are 3..402 (2 was touched again).
  EXPECT_FALSE(p->is_cached(3));
  EXPECT_FALSE(p->is_cached(402));
  EXPECT_TRUE(p->is_cached(403));
  EXPECT_TRUE(p->is_cached(4001));
  held.clear();
  must(p->read_unlock());

  // Inside a transaction dirty pages stay, so the cache outgrows its capacity.
  must(p->begin());
  for (PageId id = 2; id <= 4201; ++id) fill_page(*p, id, 2);
  for (int i = 0; i < 800; ++i) fill_page(*p, must(p->alloc_page()), 2);
  EXPECT_EQ(p->cached_pages(), 5000u);
  must(p->commit());
  must(p->get_page(2));
  EXPECT_EQ(p->cached_pages(), 5000u);
  p.reset();
  DbState s = capture_file(path_);
  ASSERT_EQ(s.page_count, 5001u);
  EXPECT_EQ(static_cast<std::uint8_t>(s.pages[4999][0]), static_cast<std::uint8_t>(5001 * 31 + 14));
}

TEST(PageMapTest, BehavesLikeAHashMapUnderRandomUse) {
  std::mt19937 rng(7);
  PageMap<std::uint64_t> map;
  std::unordered_map<std::uint32_t, std::uint64_t> model;
  for (int step = 0; step < 200000; ++step) {
    std::uint32_t key = 1 + rng() % 3000;
    switch (rng() % 3) {
      case 0:
        map.put(key, step);
        model[key] = step;
        break;
      case 1:
        EXPECT_EQ(map.erase(key), model.erase(key) == 1);
        break;
      default: {
        std::uint64_t* v = map.find(key);
        auto it = model.find(key);
        ASSERT_EQ(v != nullptr, it != model.end()) << key;
        if (v) {
          ASSERT_EQ(*v, it->second);
        }
      }
    }
    ASSERT_EQ(map.size(), model.size());
    if (step % 50000 == 49999) {
      std::size_t seen = 0;
      map.for_each([&](std::uint32_t k, std::uint64_t v) {
        ++seen;
        EXPECT_EQ(model.at(k), v);
      });
      EXPECT_EQ(seen, model.size());
    }
  }
  map.clear();
  EXPECT_EQ(map.find(5), nullptr);
}

}  // namespace
}  // namespace bkf::testing
