// A set of page numbers for the walks that must not visit or free a page
// twice. Small sets (the common case: a short overflow chain, a small
// subtree) live inline without allocating; larger ones spill to a hash set.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_set>

namespace bkf {

class PageIdSet {
 public:
  // Adds id; false when it was already present.
  bool insert(std::uint32_t id) {
    if (big_.empty()) {
      for (std::size_t i = 0; i < n_; ++i)
        if (small_[i] == id) return false;
      if (n_ < small_.size()) {
        small_[n_++] = id;
        return true;
      }
      big_.insert(small_.begin(), small_.end());
    }
    return big_.insert(id).second;
  }

  bool contains(std::uint32_t id) const {
    if (!big_.empty()) return big_.count(id) != 0;
    for (std::size_t i = 0; i < n_; ++i)
      if (small_[i] == id) return true;
    return false;
  }

  void clear() {
    n_ = 0;
    big_.clear();
  }

 private:
  std::array<std::uint32_t, 32> small_{};
  std::size_t n_ = 0;
  std::unordered_set<std::uint32_t> big_;
};

}  // namespace bkf
