// OpenTable<Slot, Traits>: the slot array of an open-addressing hash table,
// for the lookups that run once per page access or per input row.
//
// The table is a flat array of slots with a power-of-two capacity, at most
// half full, probed linearly from the home slot of a 64-bit hash: its top
// bits, so a hash that is a key times an odd constant (multiplicative
// hashing) spreads well. Removal shifts later members of the probe run back
// into the hole, so there are no tombstones and lookups never slow down
// after many removals.
//
// The table knows nothing of keys. Every call passes the key's hash and,
// where a key must be matched, a callback `eq(const Slot&) -> bool`; so keys
// can live in the slot, or elsewhere (a slot may hold a hash and a number
// that leads to the key). eq sees every slot a probe passes, free ones too,
// and must reject a free one: a lookup that hits its home slot then costs one
// test. What a slot holds is the caller's:
//
//   struct Traits {
//     static bool empty(const Slot&) noexcept;           // true for Slot{},
//                                                        // a constant expression
//     static std::uint64_t hash(const Slot&) noexcept;   // of an occupied slot
//   };
//
// Traits::hash must give the hash the slot was added under: it places the
// slot again when the table grows and when removal shifts it back.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace bkf {

template <class Slot, class Traits>
class OpenTable {
 public:
  OpenTable() = default;
  OpenTable(const OpenTable&) = delete;
  OpenTable& operator=(const OpenTable&) = delete;
  OpenTable(OpenTable&& o) noexcept { take(o); }
  OpenTable& operator=(OpenTable&& o) noexcept {
    if (this != &o) take(o);
    return *this;
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // The occupied slot of hash h that eq accepts, or nullptr.
  template <class Eq>
  Slot* find(std::uint64_t h, Eq&& eq) noexcept {
    for (std::size_t i = home(h);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (eq(s)) return &s;
      if (Traits::empty(s)) return nullptr;
    }
  }
  template <class Eq>
  const Slot* find(std::uint64_t h, Eq&& eq) const noexcept {
    return const_cast<OpenTable*>(this)->find(h, std::forward<Eq>(eq));
  }

  // The occupied slot of hash h that eq accepts, and false; or, when there
  // is none, a free slot that now counts as occupied, and true: the caller
  // must fill it so that it is no longer Traits::empty, under hash h.
  template <class Eq>
  std::pair<Slot*, bool> find_or_add(std::uint64_t h, Eq&& eq) {
    if (size_ == limit_) grow();
    for (std::size_t i = home(h);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (eq(s)) return {&s, false};
      if (Traits::empty(s)) {
        ++size_;
        return {&s, true};
      }
    }
  }

  // Adds an occupied slot of hash h whose key is not in the table.
  void insert(std::uint64_t h, const Slot& slot) {
    if (size_ == limit_) grow();
    place(h, slot);
    ++size_;
  }

  // Removes the occupied slot of hash h that eq accepts; false when none.
  template <class Eq>
  bool erase(std::uint64_t h, Eq&& eq) {
    std::size_t i = home(h);
    for (;; i = (i + 1) & mask_) {
      if (eq(slots_[i])) break;
      if (Traits::empty(slots_[i])) return false;
    }
    // Backward shift: pull later members of the probe run into the hole when
    // their home position allows it.
    std::size_t j = i;
    for (;;) {
      j = (j + 1) & mask_;
      if (Traits::empty(slots_[j])) break;
      const std::size_t hj = home(Traits::hash(slots_[j]));
      if (((j - hj) & mask_) >= ((j - i) & mask_)) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = Slot{};
    --size_;
    return true;
  }

  // Makes room for `more` adds, so that none of them allocates (or fails).
  void reserve(std::size_t more) {
    while (limit_ - size_ < more) grow();
  }

  // Empties the table; a large one gives its storage back.
  void clear() noexcept {
    if (size_ == 0) return;
    if (capacity() > kKeepCapacity) {
      release();
    } else {
      std::fill(slots_, slots_ + capacity(), Slot{});
      size_ = 0;
    }
  }

  // Calls f(slot) for every occupied slot, in slot order.
  template <class F>
  void for_each(F&& f) const {
    for (const Slot *s = slots_, *end = slots_ + capacity(); s != end; ++s) {
      if (!Traits::empty(*s)) f(*s);
    }
  }

 private:
  static constexpr std::size_t kMinCapacity = 16;
  static constexpr std::size_t kKeepCapacity = 4096;
  // A table without storage probes these two free slots; they are never
  // written, since limit_ 0 makes the first add allocate. So an unused table
  // costs no allocation, and a lookup needs no test for one.
  static constexpr Slot kUnused[2] = {};

  std::size_t capacity() const noexcept { return mask_ + 1; }
  std::size_t home(std::uint64_t h) const noexcept { return static_cast<std::size_t>(h >> shift_); }

  void place(std::uint64_t h, const Slot& slot) {
    std::size_t i = home(h);
    while (!Traits::empty(slots_[i])) i = (i + 1) & mask_;
    slots_[i] = slot;
  }

  // Moves the occupied slots into new storage of twice the capacity (the
  // least capacity at first). The new storage is allocated before anything
  // changes, so when that allocation fails the table is as it was.
  void grow() {
    const std::size_t old_capacity = owned_ ? capacity() : 0;
    const std::size_t capacity = owned_ ? 2 * old_capacity : kMinCapacity;
    std::unique_ptr<Slot[]> fresh = std::make_unique<Slot[]>(capacity);
    std::unique_ptr<Slot[]> old = std::move(owned_);
    owned_ = std::move(fresh);
    slots_ = owned_.get();
    mask_ = capacity - 1;
    limit_ = capacity / 2;
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
    for (std::size_t i = 0; i < old_capacity; ++i) {
      if (!Traits::empty(old[i])) place(Traits::hash(old[i]), old[i]);
    }
  }

  // Back to no storage and no slots.
  void release() noexcept {
    owned_.reset();
    slots_ = const_cast<Slot*>(kUnused);
    mask_ = 1;
    limit_ = 0;
    size_ = 0;
    shift_ = 63;
  }

  void take(OpenTable& o) noexcept {
    owned_ = std::move(o.owned_);
    slots_ = owned_ ? owned_.get() : const_cast<Slot*>(kUnused);
    mask_ = o.mask_;
    limit_ = o.limit_;
    size_ = o.size_;
    shift_ = o.shift_;
    o.release();
  }

  std::unique_ptr<Slot[]> owned_;
  Slot* slots_ = const_cast<Slot*>(kUnused);
  std::size_t mask_ = 1;
  std::size_t limit_ = 0;  // adds allowed before the table grows: half its capacity
  std::size_t size_ = 0;
  int shift_ = 63;  // home() takes the top log2(capacity) bits of a hash
};

}  // namespace bkf
