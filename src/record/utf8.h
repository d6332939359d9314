// Strict UTF-8 validation.
//
// Accepts exactly the shortest encodings of the scalar values U+0000 to
// U+10FFFF: no overlong forms, no surrogates (U+D800..U+DFFF), nothing above
// U+10FFFF, no stray continuation bytes, no truncated sequences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace bkf {

// Length of the longest valid prefix: s.size() exactly when s is valid, else
// the offset of the sequence that is not.
std::size_t valid_utf8_prefix(std::string_view s) noexcept;

inline bool is_valid_utf8(std::string_view s) noexcept {
  // A short all-ASCII text, what a column read row after row mostly holds,
  // is settled here by a few word loads without a call.
  const std::size_t n = s.size();
  if (n >= 8 && n <= 32) {
    std::uint64_t any = 0;
    for (std::size_t k = 0; k + 8 <= n; k += 8) {
      std::uint64_t w;
      std::memcpy(&w, s.data() + k, 8);
      any |= w;
    }
    std::uint64_t last;
    std::memcpy(&last, s.data() + n - 8, 8);
    if (((any | last) & 0x8080808080808080ull) == 0) return true;
  }
  return valid_utf8_prefix(s) == n;
}

// The sequence that starts at s[i] (i < s.size()): `length` is how many of
// its bytes are well formed (at least 1), `complete` whether they are a
// whole encoded scalar value. A byte no sequence starts with has length 1
// and is not complete.
struct Utf8Step {
  std::size_t length;
  bool complete;
};
Utf8Step utf8_step(std::string_view s, std::size_t i) noexcept;

}  // namespace bkf
