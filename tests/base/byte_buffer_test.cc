// The reused buffers' growth and giving back (base/kept_buffer.h,
// base/byte_buffer.h): needs within the bound settle at the bound at most
// and are kept, so transactions of a few megabytes take no storage after
// the first ones; storage beyond it is exactly what was asked, leaves the
// process when given back, and the buffer is usable again afterwards.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "base/byte_buffer.h"
#include "base/kept_buffer.h"

namespace bkf::testing {
namespace {

// Needs of 2.4 and 2.9 MB in turn (two sizes of transaction), then the
// bound itself and a small one: after the first growths, one storage
// serves them all, and it is never given back.
TEST(ByteBuffer, NeedsWithinTheBoundSettleWithinItAndAreKept) {
  ByteBuffer b;
  b.resize(2'400'000);
  b.resize(2'900'000);
  EXPECT_EQ(b.capacity(), kKeptBufferBytes);
  const std::uint8_t* storage = b.data();
  for (std::size_t need : {std::size_t{2'400'000}, std::size_t{2'900'000}, kKeptBufferBytes, std::size_t{1}}) {
    b.resize(need);
    EXPECT_EQ(b.size(), need);
    release_if_large(b);
    EXPECT_EQ(b.data(), storage) << need;
  }
  // A small buffer doubles as it grows, within the bound.
  ByteBuffer small;
  small.resize(1000);
  small.resize(1500);
  EXPECT_EQ(small.capacity(), 2000u);
}

// Whether any byte of [p, p + n) is not mapped in this process.
bool unmapped(const std::uint8_t* p, std::size_t n, std::vector<unsigned char>& pages) {
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(p) / page * page;
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(p) + n;
  pages.resize((end - start + page - 1) / page);
  return ::mincore(reinterpret_cast<void*>(start), end - start, pages.data()) != 0 && errno == ENOMEM;
}

// A need beyond the bound gets exactly that much, all of it usable; given
// back, it leaves the process (no longer mapped), and the buffer grows
// again from nothing, small or large.
TEST(ByteBuffer, StorageBeyondTheBoundIsGivenBackAndTakenAgain) {
  std::vector<unsigned char> pages;
  pages.reserve(4096);
  ByteBuffer b;
  b.resize(1000);
  const std::size_t over = kKeptBufferBytes + 12345;
  for (int round = 0; round < 2; ++round) {
    b.resize(over);
    EXPECT_EQ(b.capacity(), over);
    std::memset(b.data(), 0x5A, b.size());
    EXPECT_EQ(b.data()[over - 1], 0x5A);
    const std::uint8_t* storage = b.data();
    EXPECT_FALSE(unmapped(storage, over, pages));
    release_if_large(b);
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_EQ(b.capacity(), 0u);
    EXPECT_TRUE(unmapped(storage, over, pages)) << "storage given back is still mapped";
    b.resize(100);
    std::memset(b.data(), 1, b.size());
    EXPECT_EQ(b.capacity(), 100u);
  }
}

// Storage the system refuses: std::bad_alloc, as from operator new, and the
// buffer is left empty and usable.
TEST(ByteBuffer, AMappingThatFailsThrowsAndLeavesTheBufferEmpty) {
  ByteBuffer b;
  b.resize(100);
  EXPECT_THROW(b.resize(std::size_t{1} << 62), std::bad_alloc);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b.capacity(), 0u);
  b.resize(100);
  b.data()[99] = 7;
  EXPECT_EQ(b.data()[99], 7);
}

// The lists of pages a commit sorts (vectors of ids or pointers) grow by
// the same rule.
TEST(ReserveKept, VectorsGrowWithinTheBoundAndExactlyBeyondIt) {
  std::vector<void*> v;
  const std::size_t bound = kKeptBufferBytes / sizeof(void*);
  reserve_kept(v, bound * 6 / 10);
  reserve_kept(v, bound * 7 / 10);
  EXPECT_EQ(v.capacity(), bound);
  v.assign(bound / 2, nullptr);
  reserve_kept(v, bound + 10);
  EXPECT_EQ(v.capacity(), bound + 10);
  EXPECT_EQ(v.size(), bound / 2);  // a vector keeps its elements
  release_if_large(v);
  EXPECT_EQ(v.capacity(), 0u);
}

}  // namespace
}  // namespace bkf::testing
