// ByteBuffer: bytes that a connection reuses from one transaction to the
// next (base/kept_buffer.h), in storage that is never initialised.
//
// Every user writes the bytes it asks for before it reads them (a journal's
// image, a commit's log frames, a run of pages read from a file), so growing
// neither fills the new storage with zeros nor copies the old bytes into it,
// as a vector's growth does: for a buffer of megabytes that would be most of
// the cost of taking it.
//
// Storage within kKeptBufferBytes comes from operator new, as every other
// allocation of the engine, and fails the same way. Larger storage is only
// ever held for one transaction (the owner gives it back when the
// transaction ends: release_if_large). It is mapped from the operating
// system directly and unmapped when given back, so that the memory leaves
// the process: freed into the C library's allocator, a block that large
// may stay in its heap, resident, after a large free has raised the size
// from which the allocator maps blocks of its own. A mapping that fails
// throws std::bad_alloc, as operator new does.
//
// In debug builds new storage is filled with a pattern, so that a reader of
// bytes nobody wrote meets garbage rather than the zeros a fresh mapping or
// page happens to hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "base/kept_buffer.h"

namespace bkf {

class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;
  ~ByteBuffer() { reset(); }
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      reset();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  std::uint8_t* data() noexcept { return data_; }
  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  // A contiguous range, so that it converts to std::span.
  std::uint8_t* begin() noexcept { return data_; }
  std::uint8_t* end() noexcept { return data_ + size_; }
  const std::uint8_t* begin() const noexcept { return data_; }
  const std::uint8_t* end() const noexcept { return data_ + size_; }

  // Makes size() `n`. Within capacity() the storage stays, and so do its
  // bytes: the first min(n, old size) as they were, the rest as an earlier
  // use left them. Beyond it, the old storage is freed and new storage of
  // kept_growth(capacity(), n) bytes taken, whose bytes are unspecified:
  // none of the old ones is kept. When that allocation fails
  // (std::bad_alloc), the buffer is left empty, with no storage.
  void resize(std::size_t n) {
    if (n > capacity_) grow(n);
    size_ = n;
  }

  // Frees the storage: empty, with no capacity.
  void reset() noexcept;

 private:
  void grow(std::size_t n);

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // mapped storage when over kKeptBufferBytes
};

// Frees `b`'s storage when it holds more than kKeptBufferBytes (which gives
// it back to the operating system); otherwise leaves it as it is.
inline void release_if_large(ByteBuffer& b) noexcept {
  if (b.capacity() > kKeptBufferBytes) b.reset();
}

}  // namespace bkf
