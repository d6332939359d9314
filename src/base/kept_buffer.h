// How much a reused buffer may keep between uses.
//
// Buffers that a connection reuses from one transaction to the next (a
// commit's journal image or log frames, runs of pages) keep their capacity,
// so that a commit allocates nothing; but only up to kKeptBufferBytes. One
// that a large transaction grew beyond that is given back when the
// transaction ends, so that one import on a long-lived connection does not
// keep its size resident for the connection's life.
#pragma once

#include <cstddef>
#include <vector>

namespace bkf {

inline constexpr std::size_t kKeptBufferBytes = std::size_t{4} << 20;

// Largest single read or write of a run of consecutive pages (a commit's
// dirty pages, a journal's, a checkpoint's): a run's buffer stays within
// what is kept, so it is never given back and grown again.
inline constexpr std::size_t kMaxRunBytes = kKeptBufferBytes;

// Frees `v`'s storage when it holds more than kKeptBufferBytes; otherwise
// leaves it as it is. The contents are lost either way only when freed.
template <class T>
void release_if_large(std::vector<T>& v) noexcept {
  if (v.capacity() * sizeof(T) > kKeptBufferBytes) std::vector<T>().swap(v);
}

}  // namespace bkf
