// Hexadecimal text of byte strings, for golden vectors in tests.
#pragma once

#include <string>
#include <string_view>

namespace bkf::testing {

inline std::string hex(std::string_view s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

inline std::string unhex(std::string_view h) {
  std::string out;
  auto nib = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (std::size_t i = 0; i + 1 < h.size();) {
    if (h[i] == ' ') {
      ++i;
      continue;
    }
    out += static_cast<char>(nib(h[i]) * 16 + nib(h[i + 1]));
    i += 2;
  }
  return out;
}

}  // namespace bkf::testing
