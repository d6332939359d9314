// Strict UTF-8 validation.
//
// Accepts exactly the shortest encodings of the scalar values U+0000 to
// U+10FFFF: no overlong forms, no surrogates (U+D800..U+DFFF), nothing above
// U+10FFFF, no stray continuation bytes, no truncated sequences.
#pragma once

#include <string_view>

namespace bkf {

bool is_valid_utf8(std::string_view s) noexcept;
// Length of the longest valid prefix: s.size() exactly when s is valid, else
// the offset of the sequence that is not.
std::size_t valid_utf8_prefix(std::string_view s) noexcept;

}  // namespace bkf
