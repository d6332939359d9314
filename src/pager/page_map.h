// PageMap<V>: an open-addressing hash map keyed by page number.
//
// Page lookup is the hottest path of the engine, so the map is a flat array
// of (key, value) slots with linear probing, a multiplicative hash and
// backward-shift deletion (no tombstones, so lookups never slow down after
// many removals). Key 0 marks an empty slot: page 0 does not exist.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace bkf {

template <class V>
class PageMap {
 public:
  struct Slot {
    std::uint32_t key = 0;
    V value{};
  };

  PageMap() { rehash(16); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  V* find(std::uint32_t key) {
    assert(key != 0);
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.key == key) return &s.value;
      if (s.key == 0) return nullptr;
    }
  }

  // Inserts `key` or overwrites its value.
  void put(std::uint32_t key, V value) {
    assert(key != 0);
    if ((size_ + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.key == key) {
        s.value = value;
        return;
      }
      if (s.key == 0) {
        s.key = key;
        s.value = value;
        ++size_;
        return;
      }
    }
  }

  bool erase(std::uint32_t key) {
    std::size_t i = home(key);
    for (;; i = (i + 1) & mask_) {
      if (slots_[i].key == key) break;
      if (slots_[i].key == 0) return false;
    }
    // Backward shift: pull later members of the probe run into the hole when
    // their home position allows it.
    std::size_t j = i;
    for (;;) {
      j = (j + 1) & mask_;
      if (slots_[j].key == 0) break;
      std::size_t h = home(slots_[j].key);
      if (((j - h) & mask_) >= ((j - i) & mask_)) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = Slot{};
    --size_;
    return true;
  }

  // Empties the map, keeping a modest amount of storage.
  void clear() {
    if (slots_.size() > 4096) {
      rehash_empty(16);
    } else {
      for (Slot& s : slots_) s = Slot{};
    }
    size_ = 0;
  }

  template <class F>
  void for_each(F&& f) const {
    for (const Slot& s : slots_) {
      if (s.key != 0) f(s.key, s.value);
    }
  }

 private:
  std::size_t home(std::uint32_t key) const {
    return static_cast<std::size_t>((std::uint64_t{key} * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  void rehash_empty(std::size_t capacity) {
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
  }

  void rehash(std::size_t capacity) {
    std::vector<Slot> old;
    old.swap(slots_);
    rehash_empty(capacity);
    for (const Slot& s : old) {
      if (s.key == 0) continue;
      std::size_t i = home(s.key);
      while (slots_[i].key != 0) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
  int shift_ = 64;
};

}  // namespace bkf
