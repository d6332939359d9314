#include "exec/numeric_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/ascii.h"
#include "exec/unicode.h"
#include "record/value.h"

namespace bkf {

namespace {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether t[i..] starts with the lower-case ASCII word w, ignoring ASCII case.
bool starts_with_word(std::string_view t, std::size_t i, std::string_view w) {
  if (t.size() - i < w.size()) return false;
  for (std::size_t k = 0; k < w.size(); ++k) {
    if (ascii_lower(t[i + k]) != w[k]) return false;
  }
  return true;
}

}  // namespace

NumericPrefix scan_numeric_prefix(std::string_view t) noexcept {
  NumericPrefix p;
  const std::size_t n = t.size();
  std::size_t i = 0;
  if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
  if (i < n && (t[i] == 'i' || t[i] == 'I' || t[i] == 'n' || t[i] == 'N')) {
    if (starts_with_word(t, i, "infinity")) p.len = i + 8;
    else if (starts_with_word(t, i, "inf") || starts_with_word(t, i, "nan")) p.len = i + 3;
    return p;
  }
  const std::size_t int_start = i;
  while (i < n && is_digit(t[i])) ++i;
  const bool has_int = i > int_start;
  if (has_int) {
    p.len = i;
    p.integer = true;
  }
  if (i < n && t[i] == '.') {
    ++i;
    const std::size_t frac_start = i;
    while (i < n && is_digit(t[i])) ++i;
    if (!has_int && i == frac_start) return p;  // "." alone is no number
    p.len = i;
    p.integer = false;
  } else if (!has_int) {
    return p;
  }
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < n && (t[j] == '+' || t[j] == '-')) ++j;
    const std::size_t exp_start = j;
    while (j < n && is_digit(t[j])) ++j;
    if (j > exp_start) {
      p.len = j;
      p.integer = false;
    }
  }
  return p;
}

double decimal_float_value(std::string_view number) noexcept {
  bool negative = false;
  std::size_t i = 0;
  if (!number.empty() && (number[0] == '+' || number[0] == '-')) {
    negative = number[0] == '-';
    i = 1;
  }
  std::string_view body = number.substr(i);
  if (!body.empty() && !is_digit(body[0]) && body[0] != '.') {
    // inf, infinity or nan.
    double v = ascii_lower(body[0]) == 'n' ? std::numeric_limits<double>::quiet_NaN()
                                           : std::numeric_limits<double>::infinity();
    return negative ? -v : v;
  }
  // Up to 18 digits fit a 64-bit integer, whose conversion to double is
  // correctly rounded: the common short-integer case skips the general parser.
  if (body.size() <= 18) {
    std::uint64_t acc = 0;
    std::size_t k = 0;
    while (k < body.size() && is_digit(body[k])) acc = acc * 10 + static_cast<unsigned>(body[k++] - '0');
    if (k == body.size() && k > 0) {
      double v = static_cast<double>(acc);
      return negative ? -v : v;
    }
  }
  double v = 0.0;
  auto res = std::from_chars(body.data(), body.data() + body.size(), v, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    // Beyond the double range in one direction or the other: estimate the
    // decimal magnitude (position of the first significant digit plus the
    // exponent) to tell overflow from underflow.
    std::int64_t magnitude = 0;
    std::size_t k = 0;
    while (k < body.size() && body[k] == '0') ++k;
    std::size_t int_digits = 0;
    while (k < body.size() && is_digit(body[k])) ++k, ++int_digits;
    if (int_digits > 0) {
      magnitude = static_cast<std::int64_t>(int_digits);
      if (k < body.size() && body[k] == '.') ++k;
      while (k < body.size() && is_digit(body[k])) ++k;
    } else if (k < body.size() && body[k] == '.') {
      ++k;
      std::int64_t zeros = 0;
      while (k < body.size() && body[k] == '0') ++k, ++zeros;
      while (k < body.size() && is_digit(body[k])) ++k;
      magnitude = -zeros;
    }
    if (k < body.size() && (body[k] == 'e' || body[k] == 'E')) {
      ++k;
      bool exp_negative = false;
      if (k < body.size() && (body[k] == '+' || body[k] == '-')) exp_negative = body[k++] == '-';
      std::int64_t exp = 0;
      while (k < body.size() && is_digit(body[k])) {
        if (exp < 1000000000) exp = exp * 10 + (body[k] - '0');
        ++k;
      }
      magnitude += exp_negative ? -exp : exp;
    }
    v = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -v : v;
}

double num_from_text(std::string_view s) noexcept {
  std::string_view t = trim_white_space(s);
  NumericPrefix p = scan_numeric_prefix(t);
  return p.len == 0 ? 0.0 : decimal_float_value(t.substr(0, p.len));
}

std::optional<double> parse_decimal_float(std::string_view s) noexcept {
  NumericPrefix p = scan_numeric_prefix(s);
  if (p.len == 0 || p.len != s.size()) return std::nullopt;
  return decimal_float_value(s);
}

std::optional<std::int64_t> parse_i64(std::string_view s) noexcept {
  std::size_t i = 0;
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    i = 1;
  }
  if (i == s.size()) return std::nullopt;
  // Accumulate the magnitude as unsigned so that -9223372036854775808 fits.
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  std::uint64_t acc = 0;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return std::nullopt;
    unsigned d = static_cast<unsigned>(s[i] - '0');
    if (acc > (limit - d) / 10) return std::nullopt;
    acc = acc * 10 + d;
  }
  // Two's-complement negation of the magnitude; well defined in unsigned.
  return static_cast<std::int64_t>(negative ? 0 - acc : acc);
}

std::int64_t saturating_i64(double v) noexcept {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (v <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);  // in range: truncates toward zero
}

std::size_t format_int(std::int64_t v, char* buf) noexcept {
  auto res = std::to_chars(buf, buf + 20, v);
  return static_cast<std::size_t>(res.ptr - buf);
}

std::size_t format_real_display(double v, char* buf) noexcept {
  char* p = buf;
  if (std::isnan(v)) {
    std::memcpy(p, "NaN", 3);
    return 3;
  }
  if (std::isinf(v)) {
    if (v < 0) *p++ = '-';
    std::memcpy(p, "inf", 3);
    return static_cast<std::size_t>(p + 3 - buf);
  }
  ShortestDecimal d = shortest_decimal(v);
  if (d.negative) *p++ = '-';
  const int n = d.ndigits;
  const int e = d.exponent;  // value = d1.d2d3... * 10^e
  if (e < 0) {
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', static_cast<std::size_t>(-e - 1));
    p += -e - 1;
    std::memcpy(p, d.digits, static_cast<std::size_t>(n));
    p += n;
  } else if (e + 1 >= n) {
    std::memcpy(p, d.digits, static_cast<std::size_t>(n));
    p += n;
    std::memset(p, '0', static_cast<std::size_t>(e + 1 - n));
    p += e + 1 - n;
  } else {
    std::memcpy(p, d.digits, static_cast<std::size_t>(e + 1));
    p += e + 1;
    *p++ = '.';
    std::memcpy(p, d.digits + e + 1, static_cast<std::size_t>(n - e - 1));
    p += n - e - 1;
  }
  return static_cast<std::size_t>(p - buf);
}

}  // namespace bkf
