// GroupIndex: finds the group of a GROUP BY key among the groups made so
// far. An OpenTable (base/open_table.h) of (hash, group number); the keys
// themselves stay with the groups, and the caller's key_of(number) gives
// them back for the comparison. Grouping looks a key up for every input row,
// so the table is flat and the hash cheap.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/open_table.h"

namespace bkf::vm {

class GroupIndex {
 public:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};

  static std::uint64_t hash(std::string_view key) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(key.data());
    const std::size_t n = key.size();
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      h = (h ^ load64(p + i)) * 0xff51afd7ed558ccdull;
      h ^= h >> 32;
    }
    if (i < n) {
      // The last bytes: the (overlapping) last word when there is one, else
      // byte by byte.
      std::uint64_t w = 0;
      if (n >= 8) {
        w = load64(p + n - 8);
      } else {
        for (std::size_t k = 0; k < n; ++k) w = (w << 8) | p[k];
      }
      h = (h ^ w) * 0xc4ceb9fe1a85ec53ull;
    }
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ull;
    return h ^ (h >> 32);
  }

  // Whether two keys are equal; grouping keys are short (a number's key
  // is 11 bytes), so they are compared in word loads, not by a library call.
  static bool same(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(a.data());
    const auto* q = reinterpret_cast<const unsigned char*>(b.data());
    if (n >= 8 && n <= 16) return load64(p) == load64(q) && load64(p + n - 8) == load64(q + n - 8);
    if (n < 8) {
      for (std::size_t i = 0; i < n; ++i)
        if (p[i] != q[i]) return false;
      return true;
    }
    return std::memcmp(p, q, n) == 0;
  }

  void clear() { table_.clear(); }

  // The group number stored for key (whose hash is h), or kNone.
  template <class KeyOf>
  std::uint32_t find(std::string_view key, std::uint64_t h, KeyOf&& key_of) const {
    const Slot* s = table_.find(h, [&](const Slot& s) {
      return s.hash == h && s.group != kNone && same(key_of(s.group), key);
    });
    return s ? s->group : kNone;
  }

  // Adds a group whose key (of hash h) is not in the table yet.
  void insert(std::uint64_t h, std::uint32_t group) { table_.insert(h, Slot{h, group}); }

 private:
  static std::uint64_t load64(const unsigned char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
  }

  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t group = kNone;
  };
  struct Traits {
    static bool empty(const Slot& s) noexcept { return s.group == kNone; }
    static std::uint64_t hash(const Slot& s) noexcept { return s.hash; }
  };

  OpenTable<Slot, Traits> table_;
};

// IntGroupIndex: the groups of single-Int keys by the integer itself, in
// front of GroupIndex. Grouping on one integer expression is the common case,
// and there the identity key, its hash and the comparison through the group's
// stored key are the main cost of a row; here a row costs one multiply and
// (usually) one slot. It only caches what GroupIndex decided: an integer
// missing here goes the general way, and its group is recorded afterwards,
// so Int 1 and Real 1.0 still meet in one group. Each slot also keeps the
// group's accumulators (which never move once the group is made), saving the
// walk through the group to them.
template <class Acc>
class IntGroupIndex {
 public:
  static constexpr std::uint32_t kNone = GroupIndex::kNone;

  void clear() { table_.clear(); }

  struct Slot {
    std::int64_t key = 0;
    std::uint32_t group = kNone;
    Acc* accs = nullptr;
  };

  // The slot of key, or nullptr.
  const Slot* find(std::int64_t key) const {
    return table_.find(hash(key), [key](const Slot& s) { return s.key == key && s.group != kNone; });
  }

  // Records the group of an integer not in the table yet.
  void insert(std::int64_t key, std::uint32_t group, Acc* accs) { table_.insert(hash(key), Slot{key, group, accs}); }

 private:
  static std::uint64_t hash(std::int64_t key) noexcept {
    return static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull;
  }
  struct Traits {
    static bool empty(const Slot& s) noexcept { return s.group == kNone; }
    static std::uint64_t hash(const Slot& s) noexcept { return IntGroupIndex::hash(s.key); }
  };

  OpenTable<Slot, Traits> table_;
};

}  // namespace bkf::vm
