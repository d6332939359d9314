// Making an allocation fail on purpose.
//
// The test binary that links alloc_failure.cc replaces the global operator
// new and delete (every form) with plain malloc/free that count: once armed
// with fail_allocation_at(n), the n-th allocation from then on, counted from
// 1 on the arming thread, throws std::bad_alloc (a nothrow form returns
// null), as when the process runs out of address space. Only that one
// allocation fails; later ones succeed, as they may once memory is given
// back. Every allocation of the process goes through the replacement, the
// engine's and the standard library's alike, so a test can walk n over every
// allocation a statement makes.
//
// Link alloc_failure.cc into the test executable itself (not through a
// library nobody references), or the replacement is not used. One thread
// drives an armed test; other threads' allocations are neither counted nor
// failed.
#pragma once

#include <cstdint>

namespace bkf::testing {

// From now on on this thread, the n-th allocation (n >= 1) fails.
void fail_allocation_at(std::uint64_t n);
// Disarms; returns how many allocations were counted since the arming.
std::uint64_t stop_failing_allocations();
// The armed failure has happened.
bool allocation_failed();

// What a test says when nothing it armed ever failed: a statement makes
// allocations, so the replacement is not in effect (a memory checker that
// replaces the allocator itself, say) and the test would pass having tested
// nothing.
inline constexpr const char* kAllocationFailureNotInEffect =
    "no allocation was made to fail: the replacement of operator new (support/alloc_failure.h) is not in "
    "effect in this process (a tool that replaces the allocator does that), so nothing was tested";

}  // namespace bkf::testing
