#include "exec/unicode.h"

#include <algorithm>

#include "base/ascii.h"
#include "exec/unicode_case_data.h"

namespace bkf {

namespace {

using unicode_data::CaseClassRun;
using unicode_data::CaseMulti;
using unicode_data::CaseRun;

constexpr char32_t kMalformed = 0x110000;

inline bool is_cont(unsigned char c) { return (c & 0xC0) == 0x80; }

inline bool all_ascii(std::string_view s) {
  unsigned char acc = 0;
  for (char c : s) acc |= static_cast<unsigned char>(c);
  return acc < 0x80;
}

// Length of the White_Space character starting at s[i], or 0.
std::size_t white_space_at(std::string_view s, std::size_t i) {
  std::size_t len;
  char32_t cp = utf8_decode(s, i, len);
  return is_white_space(cp) ? len : 0;
}

// Length of the White_Space character that ends just before s[end], or 0.
// Every White_Space character starts with a byte that is never a
// continuation byte, so a match here is also a character boundary of the
// forward decoding.
std::size_t white_space_before(std::string_view s, std::size_t end) {
  for (std::size_t len = 1; len <= 3 && len <= end; ++len) {
    unsigned char lead = static_cast<unsigned char>(s[end - len]);
    if (len < 3 && is_cont(lead)) continue;
    std::size_t got;
    char32_t cp = utf8_decode(s, end - len, got);
    return (got == len && is_white_space(cp)) ? len : 0;
  }
  return 0;
}

bool map_single(const CaseRun* runs, std::size_t n, char32_t cp, char32_t& out) {
  const CaseRun* end = runs + n;
  const CaseRun* it =
      std::upper_bound(runs, end, cp, [](char32_t c, const CaseRun& r) { return c < r.first; });
  if (it == runs) return false;
  --it;
  if (cp > it->last || (cp - it->first) % it->stride != 0) return false;
  out = static_cast<char32_t>(static_cast<std::int64_t>(cp) + it->delta);
  return true;
}

const CaseMulti* find_multi(const CaseMulti* table, std::size_t n, char32_t cp) {
  const CaseMulti* end = table + n;
  const CaseMulti* it =
      std::lower_bound(table, end, cp, [](const CaseMulti& m, char32_t c) { return m.cp < c; });
  return (it != end && it->cp == cp) ? it : nullptr;
}

std::uint8_t case_class(char32_t cp) {
  if (cp < 0x80) {
    char c = static_cast<char>(cp);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return unicode_data::kCased;
  }
  const CaseClassRun* runs = unicode_data::kCaseClassRuns;
  const CaseClassRun* end = runs + unicode_data::kCaseClassRuns_size;
  const CaseClassRun* it = std::upper_bound(
      runs, end, cp, [](char32_t c, const CaseClassRun& r) { return c < r.first; });
  if (it == runs) return 0;
  --it;
  return cp <= it->last ? it->cls : 0;
}

// Appends the character at s[i..i+len) (code point cp) mapped through one
// direction's tables.
void append_mapped(std::string& out, std::string_view s, std::size_t i, std::size_t len,
                   char32_t cp, const CaseRun* runs, std::size_t nruns, const CaseMulti* multi,
                   std::size_t nmulti) {
  if (cp < kMalformed) {
    if (const CaseMulti* m = find_multi(multi, nmulti, cp)) {
      for (char32_t c : m->to) {
        if (c) utf8_append(out, c);
      }
      return;
    }
    char32_t mapped;
    if (map_single(runs, nruns, cp, mapped)) {
      utf8_append(out, mapped);
      return;
    }
  }
  out.append(s.data() + i, len);
}

// True when the text from s[i] on starts, after case-ignorable characters,
// with a cased character.
bool cased_follows(std::string_view s, std::size_t i) {
  while (i < s.size()) {
    std::size_t len;
    char32_t cp = utf8_decode(s, i, len);
    std::uint8_t cls = case_class(cp);
    if (cls != unicode_data::kCaseIgnorable) return cls == unicode_data::kCased;
    i += len;
  }
  return false;
}

}  // namespace

char32_t utf8_decode(std::string_view s, std::size_t i, std::size_t& len) noexcept {
  const std::size_t n = s.size();
  const unsigned char b0 = static_cast<unsigned char>(s[i]);
  len = 1;
  if (b0 < 0x80) return b0;
  auto at = [&](std::size_t k) -> unsigned char {
    return i + k < n ? static_cast<unsigned char>(s[i + k]) : 0;
  };
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    unsigned char b1 = at(1);
    if (!is_cont(b1)) return kMalformed + b0;
    len = 2;
    return (static_cast<char32_t>(b0 & 0x1F) << 6) | (b1 & 0x3F);
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    unsigned char b1 = at(1), b2 = at(2);
    unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
    unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
    if (b1 < lo || b1 > hi || !is_cont(b2)) return kMalformed + b0;
    len = 3;
    return (static_cast<char32_t>(b0 & 0x0F) << 12) | (static_cast<char32_t>(b1 & 0x3F) << 6) |
           (b2 & 0x3F);
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    unsigned char b1 = at(1), b2 = at(2), b3 = at(3);
    unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
    unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
    if (b1 < lo || b1 > hi || !is_cont(b2) || !is_cont(b3)) return kMalformed + b0;
    len = 4;
    return (static_cast<char32_t>(b0 & 0x07) << 18) | (static_cast<char32_t>(b1 & 0x3F) << 12) |
           (static_cast<char32_t>(b2 & 0x3F) << 6) | (b3 & 0x3F);
  }
  return kMalformed + b0;
}

std::size_t utf8_length(std::string_view s) noexcept {
  std::size_t count = 0;
  for (std::size_t i = 0; i < s.size(); ++count) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
    } else {
      i = utf8_next(s, i);
    }
  }
  return count;
}

void utf8_append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    char b[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                 static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    char b[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                 static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

bool is_white_space(char32_t cp) noexcept {
  if (cp < 0x80) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
  switch (cp) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000: return true;
    default: return cp >= 0x2000 && cp <= 0x200A;
  }
}

std::string_view trim_white_space(std::string_view s) noexcept {
  std::size_t b = 0, e = s.size();
  while (b < e) {
    std::size_t len = white_space_at(s, b);
    if (len == 0) break;
    b += len;
  }
  while (e > b) {
    std::size_t len = white_space_before(s.substr(0, e), e);
    if (len == 0 || e - len < b) break;
    e -= len;
  }
  return s.substr(b, e - b);
}

void append_upper(std::string& out, std::string_view s) {
  if (all_ascii(s)) {
    std::size_t base = out.size();
    out.resize(base + s.size());
    char* dst = out.data() + base;
    for (std::size_t i = 0; i < s.size(); ++i) dst[i] = ascii_upper(s[i]);
    return;
  }
  for (std::size_t i = 0; i < s.size();) {
    char c = s[i];
    if (static_cast<unsigned char>(c) < 0x80) {
      out += ascii_upper(c);
      ++i;
      continue;
    }
    std::size_t len;
    char32_t cp = utf8_decode(s, i, len);
    append_mapped(out, s, i, len, cp, unicode_data::kUpperRuns, unicode_data::kUpperRuns_size,
                  unicode_data::kUpperMulti, unicode_data::kUpperMulti_size);
    i += len;
  }
}

void append_lower(std::string& out, std::string_view s) {
  if (all_ascii(s)) {
    std::size_t base = out.size();
    out.resize(base + s.size());
    char* dst = out.data() + base;
    for (std::size_t i = 0; i < s.size(); ++i) dst[i] = ascii_lower(s[i]);
    return;
  }
  // Cased-ness of the last character that was not case-ignorable.
  bool after_cased = false;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t len;
    char32_t cp = utf8_decode(s, i, len);
    if (cp == 0x03A3) {
      bool final_form = after_cased && !cased_follows(s, i + len);
      utf8_append(out, final_form ? 0x03C2 : 0x03C3);
    } else if (cp < 0x80) {
      out += ascii_lower(static_cast<char>(cp));
    } else {
      append_mapped(out, s, i, len, cp, unicode_data::kLowerRuns, unicode_data::kLowerRuns_size,
                    unicode_data::kLowerMulti, unicode_data::kLowerMulti_size);
    }
    std::uint8_t cls = case_class(cp);
    if (cls != unicode_data::kCaseIgnorable) after_cased = cls == unicode_data::kCased;
    i += len;
  }
}

}  // namespace bkf
