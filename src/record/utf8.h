// Strict UTF-8 validation.
//
// Accepts exactly the shortest encodings of the scalar values U+0000 to
// U+10FFFF: no overlong forms, no surrogates (U+D800..U+DFFF), nothing above
// U+10FFFF, no stray continuation bytes, no truncated sequences.
#pragma once

#include <cstddef>
#include <string_view>

namespace bkf {

bool is_valid_utf8(std::string_view s) noexcept;
// Length of the longest valid prefix: s.size() exactly when s is valid, else
// the offset of the sequence that is not.
std::size_t valid_utf8_prefix(std::string_view s) noexcept;

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
