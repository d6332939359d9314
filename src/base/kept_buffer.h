// How much a reused buffer may keep between uses, and how it grows.
//
// Buffers that a connection reuses from one transaction to the next (a
// commit's journal image or log frames, runs of pages, the lists of pages a
// commit sorts) keep their capacity, so that a commit allocates nothing; but
// only up to kKeptBufferBytes. One that a large transaction grew beyond that
// is given back when the transaction ends, so that one import on a
// long-lived connection does not keep its size resident for the
// connection's life.
//
// Growth (kept_growth) doubles the capacity, as a vector's does, but never
// past the bound while the need stays within it: transactions of a few
// megabytes grow a buffer to the bound at most, where it is kept, instead of
// doubling it past the bound to have it given back and allocated again at
// every transaction. A need beyond the bound gets exactly what it asks:
// that storage is given back when the transaction ends, so room to grow
// would only be memory touched for nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace bkf {

inline constexpr std::size_t kKeptBufferBytes = std::size_t{4} << 20;

// Largest single read or write of a run of consecutive pages (a commit's
// dirty pages, a journal's, a checkpoint's): a run's buffer stays within
// what is kept, so it is never given back and grown again.
inline constexpr std::size_t kMaxRunBytes = kKeptBufferBytes;

// The capacity, in elements of `element_size` bytes, that a kept buffer of
// `capacity` elements grows to when it must hold `need` elements (more than
// `capacity`): twice its capacity, or `need` when that is more, up to the
// bound; `need` itself when that is beyond the bound.
constexpr std::size_t kept_growth(std::size_t capacity, std::size_t need, std::size_t element_size = 1) noexcept {
  const std::size_t bound = kKeptBufferBytes / element_size;
  if (need > bound) return need;
  return std::min(std::max(need, 2 * capacity), bound);
}

template <class T>
[[gnu::noinline]] void grow_kept(std::vector<T>& v, std::size_t n) {
  v.reserve(kept_growth(v.capacity(), n, sizeof(T)));
}

// Makes room in `v` for `n` elements, growing it by kept_growth: filling it
// with up to `n` elements then allocates nothing. Called once per commit
// for each list, so the check that almost always finds room is inline.
template <class T>
inline void reserve_kept(std::vector<T>& v, std::size_t n) {
  if (n > v.capacity()) [[unlikely]] grow_kept(v, n);
}

// Frees `v`'s storage when it holds more than kKeptBufferBytes; otherwise
// leaves it as it is. The contents are lost either way only when freed.
template <class T>
void release_if_large(std::vector<T>& v) noexcept {
  if (v.capacity() * sizeof(T) > kKeptBufferBytes) std::vector<T>().swap(v);
}

}  // namespace bkf
