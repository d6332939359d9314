// PageMap<V>: a hash map keyed by page number.
//
// Page lookup is the hottest path of the engine, so the map is an OpenTable
// (base/open_table.h: flat slots, linear probing, backward-shift removal)
// of (page, value) slots, hashed by multiplying the page number by an odd
// constant. Key 0 marks an empty slot: page 0 does not exist.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "base/open_table.h"

namespace bkf {

template <class V>
class PageMap {
 public:
  std::size_t size() const { return table_.size(); }
  bool empty() const { return table_.empty(); }

  V* find(std::uint32_t key) {
    assert(key != 0);
    Slot* s = table_.find(hash(key), [key](const Slot& s) { return s.key == key; });
    return s ? &s->value : nullptr;
  }

  // Inserts `key` or overwrites its value.
  void put(std::uint32_t key, V value) {
    assert(key != 0);
    Slot* s = table_.find_or_add(hash(key), [key](const Slot& s) { return s.key == key; }).first;
    s->key = key;
    s->value = value;
  }

  // Makes room for `more` new keys: put() of that many cannot fail.
  void reserve(std::size_t more) { table_.reserve(more); }

  bool erase(std::uint32_t key) {
    assert(key != 0);
    return table_.erase(hash(key), [key](const Slot& s) { return s.key == key; });
  }

  // Empties the map, keeping a modest amount of storage.
  void clear() { table_.clear(); }

  template <class F>
  void for_each(F&& f) const {
    table_.for_each([&f](const Slot& s) { f(s.key, s.value); });
  }

 private:
  struct Slot {
    std::uint32_t key = 0;
    V value{};
  };
  static std::uint64_t hash(std::uint32_t key) noexcept { return std::uint64_t{key} * 0x9E3779B97F4A7C15ull; }
  struct Traits {
    static bool empty(const Slot& s) noexcept { return s.key == 0; }
    static std::uint64_t hash(const Slot& s) noexcept { return PageMap::hash(s.key); }
  };

  OpenTable<Slot, Traits> table_;
};

}  // namespace bkf
