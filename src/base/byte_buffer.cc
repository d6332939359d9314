#include "base/byte_buffer.h"

#include <sys/mman.h>

#include <cstring>
#include <new>

namespace bkf {

namespace {

bool mapped(std::size_t capacity) { return capacity > kKeptBufferBytes; }

std::uint8_t* allocate(std::size_t capacity) {
  if (!mapped(capacity)) return static_cast<std::uint8_t*>(::operator new(capacity));
  // Every byte is written before it is read (the size is the need), so the
  // pages are made at once: one call instead of a fault for each page.
  void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return static_cast<std::uint8_t*>(p);
}

void deallocate(std::uint8_t* p, std::size_t capacity) noexcept {
  if (!mapped(capacity)) {
    ::operator delete(p);
  } else {
    // Fails only for a range that is not a mapping, which this one is.
    (void)::munmap(p, capacity);
  }
}

}  // namespace

void ByteBuffer::reset() noexcept {
  if (data_ != nullptr) deallocate(data_, capacity_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

void ByteBuffer::grow(std::size_t n) {
  const std::size_t capacity = kept_growth(capacity_, n);
  // The old bytes are not kept, so the old storage goes first: the two are
  // never held at once.
  reset();
  data_ = allocate(capacity);
  capacity_ = capacity;
#ifndef NDEBUG
  std::memset(data_, 0xA5, capacity_);
#endif
}

}  // namespace bkf
