// The orders of values.
//
// cmp_value, the value order of the comparisons: Null < numbers < text <
// blob. Integers and reals compare by numeric value (the integer is rounded
// to the nearest double); a NaN compares Equal to every number. Text and
// blobs compare bytewise, shorter first on a common prefix. Because of NaN
// and of integers beyond 2^53 this order is not a strict weak order: never
// use it as the comparator of std::sort, std::map or std::set.
//
// cmp_sort_value, the order rows are sorted by (ORDER BY): the same kinds in
// the same places, but a total order. Integers and reals compare by exact
// mathematical value, without rounding either (so 2^53 + 1 sorts after the
// real 2^53, and 2^63 - 1 before the real 2^63); -0.0, 0.0 and 0 are equal;
// every NaN sorts after every number, before the texts, and all NaNs are
// equal whatever their sign or payload. Where cmp_value does not answer
// Equal, the two agree.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "record/value.h"

namespace bkf {

enum class Ordering : signed char { Less = -1, Equal = 0, Greater = 1 };

Ordering cmp_value(const Value& a, const Value& b) noexcept;

// The byte order of two strings as a negative, zero or positive number
// (bytes unsigned, shorter first on a common prefix), with the sign
// std::string_view::compare gives. Inline, for the texts a query compares
// row after row: most pairs differ in their first 8 bytes, which one word
// comparison settles for less than a library call costs, and a common part
// shorter than a word goes byte by byte. Past equal first words the pair may
// share a long prefix (URLs, paths, keys with a fixed head), where memcmp's
// wide steps beat any word loop, so memcmp takes the whole common part (it
// compares the first 8 bytes again for less than moving the pointers past
// them would cost).
inline int compare_bytes(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  const auto* p = reinterpret_cast<const unsigned char*>(a.data());
  const auto* q = reinterpret_cast<const unsigned char*>(b.data());
  if (n >= 8) {
    std::uint64_t x, y;
    std::memcpy(&x, p, 8);
    std::memcpy(&y, q, 8);
    if (x != y) {
      // Big-endian words order as their bytes do.
      if constexpr (std::endian::native == std::endian::little) {
        x = __builtin_bswap64(x);
        y = __builtin_bswap64(y);
      }
      return x < y ? -1 : 1;
    }
    const int c = std::memcmp(p, q, n);
    if (c != 0) return c;
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      if (p[i] != q[i]) return p[i] < q[i] ? -1 : 1;
    }
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// cmp_sort_value for the pairs it does not settle inline.
Ordering cmp_sort_value_other(const Value& a, const Value& b) noexcept;

// Inline for the pairs a sort meets most: two integers, two reals that are
// not NaNs, two texts and two blobs.
inline Ordering cmp_sort_value(const Value& a, const Value& b) noexcept {
  const ValueKind ka = a.kind(), kb = b.kind();
  if (ka == ValueKind::Int && kb == ValueKind::Int) {
    const std::int64_t x = a.int_value(), y = b.int_value();
    return x < y ? Ordering::Less : x > y ? Ordering::Greater : Ordering::Equal;
  }
  if (ka == ValueKind::Real && kb == ValueKind::Real) {
    const double x = a.real_value(), y = b.real_value();
    if (x < y) return Ordering::Less;
    if (x > y) return Ordering::Greater;
    if (x == y) return Ordering::Equal;  // -0.0 and 0.0 too
  }
  if (ka == kb && (ka == ValueKind::Text || ka == ValueKind::Blob)) {
    const int c = compare_bytes(a.bytes(), b.bytes());
    return c < 0 ? Ordering::Less : c > 0 ? Ordering::Greater : Ordering::Equal;
  }
  return cmp_sort_value_other(a, b);
}

}  // namespace bkf
