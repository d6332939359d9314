#include "support/alloc_failure.h"

#include <cstdlib>
#include <new>

namespace bkf::testing {
namespace {

// The arming thread's counter; zero `fail_at` means disarmed.
thread_local std::uint64_t fail_at = 0;
thread_local std::uint64_t counted = 0;
thread_local bool failed = false;

// True when this allocation is the one to fail.
bool must_fail() noexcept {
  if (fail_at == 0) return false;
  if (++counted != fail_at) return false;
  failed = true;
  return true;
}

void* allocate(std::size_t size) noexcept {
  if (must_fail()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* allocate_aligned(std::size_t size, std::align_val_t align) noexcept {
  if (must_fail()) return nullptr;
  const std::size_t a = static_cast<std::size_t>(align) < sizeof(void*) ? sizeof(void*) : static_cast<std::size_t>(align);
  void* p = nullptr;
  if (::posix_memalign(&p, a, size == 0 ? 1 : size) != 0) return nullptr;
  return p;
}

}  // namespace

void fail_allocation_at(std::uint64_t n) {
  counted = 0;
  failed = false;
  fail_at = n;
}

std::uint64_t stop_failing_allocations() {
  fail_at = 0;
  return counted;
}

bool allocation_failed() { return failed; }

}  // namespace bkf::testing

using bkf::testing::allocate;
using bkf::testing::allocate_aligned;

void* operator new(std::size_t size) {
  if (void* p = allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t align) {
  if (void* p = allocate_aligned(size, align)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
  if (void* p = allocate_aligned(size, align)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return allocate_aligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return allocate_aligned(size, align);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
