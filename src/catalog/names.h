// How the catalog compares names.
//
// Table and index names are exact byte strings: "Users" and "users" are two
// tables. Column names match ignoring ASCII case only: A-Z and a-z are folded,
// every other byte (each byte of a multi-byte UTF-8 character included) must
// be equal, so the two names must also have the same length in bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace bkf::catalog {

constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when a and b are equal after mapping A-Z to a-z.
constexpr bool ascii_iequal(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// Hash for the exact-name maps; transparent so that lookups by string_view
// do not build a std::string.
struct ExactNameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

}  // namespace bkf::catalog
