// How the catalog compares names.
//
// Table and index names are exact byte strings: "Users" and "users" are two
// tables. Column names match ignoring ASCII case only (ascii_iequal of
// base/ascii.h): A-Z and a-z are folded, every other byte (each byte of a
// multi-byte UTF-8 character included) must be equal, so the two names must
// also have the same length in bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace bkf::catalog {

// Hash for the exact-name maps; transparent so that lookups by string_view
// do not build a std::string.
struct ExactNameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

}  // namespace bkf::catalog
