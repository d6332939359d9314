// Numbers read from text and numbers written as text.
//
// Reading: a "decimal float" is an optional sign, then digits with an
// optional "." and optional further digits, or "." and at least one digit,
// then an optional exponent ("e" or "E", optional sign, at least one digit);
// or, after the optional sign, one of the words inf, infinity, nan in any
// ASCII case. Nothing else: no inner white space, no hexadecimal, no digit
// separators. Values are the correctly rounded nearest double; overflow
// gives an infinity, underflow a zero of the same sign.
//
// Writing: the real display format is the shortest digit string that reads
// back as the same double, written positionally and never with an exponent,
// without a fraction when the value is integral ("1", "2.5",
// "100000000000000000000", "0.0000001", "-0"); "inf", "-inf" and "NaN".
// Nothing here depends on the locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace bkf {

// The longest prefix of t that is a decimal float. Found in one left-to-
// right pass: the grammar is regular, so the scanner only remembers the last
// position where a complete number ended.
struct NumericPrefix {
  std::size_t len = 0;   // 0 when no prefix is a decimal float
  bool integer = false;  // the prefix is an optional sign and digits only
};
NumericPrefix scan_numeric_prefix(std::string_view t) noexcept;

// The value of text the scanner accepted as a decimal float (whole).
double decimal_float_value(std::string_view number) noexcept;

// Arithmetic's reading of text: trims Unicode white space, then reads the
// longest numeric prefix; 0.0 when there is none (' 12abc' is 12.0, '1e'
// 1.0, '0x1F' 0.0, 'Infinit' +inf).
double num_from_text(std::string_view s) noexcept;

// The whole of s (not trimmed) as a decimal float, or nothing.
std::optional<double> parse_decimal_float(std::string_view s) noexcept;

// The whole of s as an optional "+" or "-" followed by one or more ASCII
// digits whose value fits a signed 64-bit integer, or nothing.
std::optional<std::int64_t> parse_i64(std::string_view s) noexcept;

// Truncates toward zero, saturating at the 64-bit range; NaN gives 0.
std::int64_t saturating_i64(double v) noexcept;

// Longest real display form: sign, "0.", 323 zeros and 17 digits.
inline constexpr std::size_t kNumberTextCapacity = 352;

// Writes v in the real display format into buf (kNumberTextCapacity bytes)
// and returns the length.
std::size_t format_real_display(double v, char* buf) noexcept;
// Writes v in decimal into buf (at least 20 bytes) and returns the length.
std::size_t format_int(std::int64_t v, char* buf) noexcept;

}  // namespace bkf
