#include "record/utf8.h"

#include <cstdint>
#include <cstring>

namespace bkf {

std::size_t valid_utf8_prefix(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  // All ASCII, the common case, tested a word at a time with no byte loop:
  // short texts by two overlapping loads, longer ones by words and a last
  // (overlapping) word.
  auto ascii4 = [p](std::size_t at) {
    std::uint32_t w;
    std::memcpy(&w, p + at, 4);
    return (w & 0x80808080u) == 0;
  };
  auto ascii8 = [p](std::size_t at) {
    std::uint64_t w;
    std::memcpy(&w, p + at, 8);
    return (w & 0x8080808080808080ull) == 0;
  };
  if (n >= 8) {
    std::size_t k = 0;
    while (k + 8 <= n && ascii8(k)) k += 8;
    if (k + 8 > n && ascii8(n - 8)) return n;
  } else if (n >= 4) {
    if (ascii4(0) && ascii4(n - 4)) return n;
  }
  while (i < n) {
    // ASCII runs, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const Utf8Step step = utf8_step(s, i);
    if (!step.complete) return i;
    i += step.length;
  }
  return n;
}

Utf8Step utf8_step(std::string_view s, std::size_t i) noexcept {
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  const std::size_t n = s.size();
  const std::uint8_t b = p[i];
  if (b < 0x80) return {1, true};
  std::size_t len;
  std::uint8_t lo = 0x80, hi = 0xbf;  // allowed range of the second byte
  if (b >= 0xc2 && b <= 0xdf) {
    len = 2;
  } else if (b >= 0xe0 && b <= 0xef) {
    len = 3;
    if (b == 0xe0) lo = 0xa0;       // overlong below U+0800
    else if (b == 0xed) hi = 0x9f;  // surrogates
  } else if (b >= 0xf0 && b <= 0xf4) {
    len = 4;
    if (b == 0xf0) lo = 0x90;       // overlong below U+10000
    else if (b == 0xf4) hi = 0x8f;  // above U+10FFFF
  } else {
    return {1, false};  // continuation byte, C0/C1 overlong lead, or F5..FF
  }
  std::size_t k = 1;
  if (i + 1 < n && p[i + 1] >= lo && p[i + 1] <= hi) {
    k = 2;
    while (k < len && i + k < n && (p[i + k] & 0xc0) == 0x80) ++k;
  }
  return {k, k == len};
}

}  // namespace bkf
