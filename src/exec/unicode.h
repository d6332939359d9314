// UTF-8 and Unicode helpers of the value layer: character stepping and
// counting, the White_Space property used for trimming, and full,
// locale-independent case mapping for UPPER and LOWER.
//
// Text values are valid UTF-8, but nothing here relies on it: a byte that
// does not start a well-formed sequence counts as one character of its own
// and is copied through case mapping unchanged, so malformed input can never
// make these functions read out of bounds.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bkf {

// Decodes the character starting at s[i] (i < s.size()): returns its code
// point and sets len to its length in bytes. A malformed sequence decodes as
// the single byte, with len 1, and a code point above 0x10FFFF (0x110000 +
// byte) that matches no table.
char32_t utf8_decode(std::string_view s, std::size_t i, std::size_t& len) noexcept;

// Index just past the character that starts at s[i] (i < s.size()).
inline std::size_t utf8_next(std::string_view s, std::size_t i) noexcept {
  std::size_t len;
  utf8_decode(s, i, len);
  return i + len;
}

// Number of characters (as utf8_decode steps through them).
std::size_t utf8_length(std::string_view s) noexcept;

// Appends the UTF-8 encoding of a code point (<= 0x10FFFF).
void utf8_append(std::string& out, char32_t cp);

// The Unicode White_Space property: TAB, LF, VT, FF, CR, space, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool is_white_space(char32_t cp) noexcept;

// s without leading and trailing White_Space characters.
std::string_view trim_white_space(std::string_view s) noexcept;

// Appends s with the full Unicode upper-case mapping applied (one character
// may become several: U+00DF becomes "SS"). ASCII text takes a fast path.
void append_upper(std::string& out, std::string_view s);

// Appends s with the full Unicode lower-case mapping applied, including the
// final-sigma rule: a capital sigma preceded by a cased letter (ignoring
// case-ignorable characters in between) and not followed by one becomes the
// final form U+03C2.
void append_lower(std::string& out, std::string_view s);

}  // namespace bkf
