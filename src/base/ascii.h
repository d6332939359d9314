// ASCII case: the one place where the engine folds letter case outside the
// Unicode functions.
//
// Keywords, function names, column names, pragma names and values, declared
// types and LIKE patterns all ignore case for A-Z and a-z only: every other
// byte, each byte of a multi-byte UTF-8 character included, is left as it is
// and must match exactly. Nothing here depends on the C locale.
//
//   ascii_iequal("RowId", "rowid")   // true
//   ascii_upper("varchar(10)")       // "VARCHAR(10)"
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bkf {

constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char ascii_upper(char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when a and b are equal after mapping A-Z to a-z (so they also have
// the same length in bytes).
constexpr bool ascii_iequal(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// Copies of s with A-Z mapped to a-z, and a-z to A-Z.
inline std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

inline std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_upper(c);
  return out;
}

}  // namespace bkf
