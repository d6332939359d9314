// OpenTable against std::unordered_map under random use: adds, lookups,
// removals, growth, clearing and reuse. A second hash that sends every key
// to one of four homes makes long probe runs that wrap around the end of the
// slot array, where removal's backward shift is easiest to get wrong.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <unordered_map>
#include <utility>

#include "base/open_table.h"

namespace bkf::testing {
namespace {

struct Slot {
  std::uint32_t key = 0;  // 0: free
  std::uint64_t value = 0;
};

struct SpreadHash {
  static std::uint64_t of(std::uint32_t key) noexcept { return std::uint64_t{key} * 0x9E3779B97F4A7C15ull; }
};
// Four homes whatever the capacity: the first slot, a quarter in, the last
// slot, and a few slots before the last, so that runs merge across the end.
struct FourHomes {
  static std::uint64_t of(std::uint32_t key) noexcept {
    constexpr std::uint64_t kHomes[] = {0, std::uint64_t{1} << 62, ~std::uint64_t{0},
                                        ~std::uint64_t{0} - (std::uint64_t{1} << 59)};
    return kHomes[key % 4];
  }
};

template <class Hash>
struct Traits {
  static bool empty(const Slot& s) noexcept { return s.key == 0; }
  static std::uint64_t hash(const Slot& s) noexcept { return Hash::of(s.key); }
};

template <class Hash>
void check_against_model(std::uint32_t key_range, int steps, unsigned seed) {
  using Table = OpenTable<Slot, Traits<Hash>>;
  std::mt19937 rng(seed);
  Table table;
  std::unordered_map<std::uint32_t, std::uint64_t> model;
  auto is = [](std::uint32_t key) { return [key](const Slot& s) { return s.key == key; }; };
  auto expect_same = [&](const char* when, int step) {
    ASSERT_EQ(table.size(), model.size()) << when << " at step " << step;
    std::size_t seen = 0;
    table.for_each([&](const Slot& s) {
      auto it = model.find(s.key);
      ASSERT_TRUE(it != model.end() && it->second == s.value) << when << " at step " << step << ": " << s.key;
      ++seen;
    });
    EXPECT_EQ(seen, model.size()) << when << " at step " << step;
  };
  for (int step = 0; step < steps; ++step) {
    const std::uint32_t key = 1 + rng() % key_range;
    const std::uint64_t h = Hash::of(key);
    switch (rng() % 8) {
      case 0:
      case 1: {  // add or overwrite
        auto [slot, added] = table.find_or_add(h, is(key));
        ASSERT_EQ(added, model.count(key) == 0) << key;
        *slot = Slot{key, static_cast<std::uint64_t>(step)};
        model[key] = step;
        break;
      }
      case 2:  // add a key known to be missing
        if (model.count(key)) break;
        table.insert(h, Slot{key, static_cast<std::uint64_t>(step)});
        model[key] = step;
        break;
      case 3:
      case 4:
        ASSERT_EQ(table.erase(h, is(key)), model.erase(key) == 1) << key;
        break;
      default: {
        const Slot* s = std::as_const(table).find(h, is(key));
        const auto it = model.find(key);
        ASSERT_EQ(s ? std::optional(s->value) : std::nullopt,
                  it != model.end() ? std::optional(it->second) : std::nullopt)
            << key;
      }
    }
    ASSERT_EQ(table.size(), model.size());
    if (step % 5000 == 4999) {
      ASSERT_NO_FATAL_FAILURE(expect_same("walk", step));
    }
    if (step % 20000 == 19999) {
      // Emptied (a large table gives its storage back), then used again;
      // every key must be gone.
      table.clear();
      model.clear();
      EXPECT_TRUE(table.empty());
      for (std::uint32_t k = 1; k <= key_range; ++k) ASSERT_EQ(table.find(Hash::of(k), is(k)), nullptr) << k;
    }
  }
  // Moved out, the table keeps its members; the moved-from one is empty and
  // usable.
  Table moved(std::move(table));
  ASSERT_NO_FATAL_FAILURE(expect_same("after a move", steps));
  std::swap(table, moved);
  ASSERT_NO_FATAL_FAILURE(expect_same("after a swap", steps));
  EXPECT_TRUE(moved.empty());
  EXPECT_FALSE(moved.erase(Hash::of(1), is(1)));
  moved.insert(Hash::of(1), Slot{1, 5});
  EXPECT_EQ(moved.find(Hash::of(1), is(1))->value, 5u);
}

TEST(OpenTableTest, BehavesLikeAHashMapUnderRandomUse) {
  // Up to 6000 members: the table grows past the size that clear() keeps.
  check_against_model<SpreadHash>(6000, 120000, 11);
}

TEST(OpenTableTest, LongWrappingProbeRunsSurviveRemoval) {
  check_against_model<FourHomes>(400, 60000, 12);
}

// An unused table allocates nothing: lookups and removals probe the shared
// free slots and must leave them free.
TEST(OpenTableTest, UnusedTableAnswersAndStaysEmpty) {
  using Table = OpenTable<Slot, Traits<SpreadHash>>;
  Table a, b;
  auto is1 = [](const Slot& s) { return s.key == 1; };
  for (std::uint64_t h : {std::uint64_t{0}, ~std::uint64_t{0}}) {
    EXPECT_EQ(a.find(h, is1), nullptr);
    EXPECT_FALSE(a.erase(h, is1));
  }
  a.clear();
  EXPECT_TRUE(a.empty());
  b.insert(SpreadHash::of(1), Slot{1, 9});
  EXPECT_EQ(a.find(SpreadHash::of(1), is1), nullptr);
  EXPECT_EQ(b.find(SpreadHash::of(1), is1)->value, 9u);
}

}  // namespace
}  // namespace bkf::testing
