#include "ffi/cell_text.h"

#include <cmath>
#include <cstdint>

#include "exec/numeric_text.h"
#include "record/utf8.h"

namespace bkf::ffi {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Reals up to this magnitude that have no fractional part read as integers.
constexpr double kIntegralTextLimit = 1e15;

void append_real_text(std::string& out, double x) {
  char buf[kNumberTextCapacity];
  if (std::isfinite(x) && std::trunc(x) == x && std::fabs(x) < kIntegralTextLimit) {
    out.append(buf, format_int(static_cast<std::int64_t>(x), buf));
  } else {
    out.append(buf, format_real_display(x, buf));
  }
}

}  // namespace

void append_utf8_lossy(std::string& out, std::string_view in) {
  if (is_valid_utf8(in)) {
    out.append(in);
    return;
  }
  const auto* p = reinterpret_cast<const std::uint8_t*>(in.data());
  const std::size_t n = in.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t b = p[i];
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
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
      out.append(kReplacement);  // continuation byte or a byte no sequence starts with
      ++i;
      continue;
    }
    // Length of the well-formed prefix starting at i.
    std::size_t k = 1;
    if (i + 1 < n && p[i + 1] >= lo && p[i + 1] <= hi) {
      k = 2;
      while (k < len && i + k < n && (p[i + k] & 0xc0) == 0x80) ++k;
    }
    if (k == len) out.append(in.substr(i, len));
    else out.append(kReplacement);
    i += k;
  }
}

void cell_text(const Value& v, std::string& out) {
  out.clear();
  switch (v.kind()) {
    case ValueKind::Null:
      break;
    case ValueKind::Int: {
      char buf[24];
      out.append(buf, format_int(v.int_value(), buf));
      break;
    }
    case ValueKind::Real:
      append_real_text(out, v.real_value());
      break;
    case ValueKind::Text:
      out.append(v.bytes());
      break;
    case ValueKind::Blob:
      append_utf8_lossy(out, v.bytes());
      break;
  }
}

}  // namespace bkf::ffi
