#include "record/value.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace bkf {

bool Value::identical(const Value& other) const noexcept {
  if (kind_ != other.kind_) return false;
  switch (kind_) {
    case ValueKind::Null: return true;
    case ValueKind::Int: return num_.i == other.num_.i;
    case ValueKind::Real: return std::memcmp(&num_.r, &other.num_.r, sizeof(double)) == 0;
    case ValueKind::Text:
    case ValueKind::Blob: return bytes_ == other.bytes_;
  }
  return false;
}

ShortestDecimal shortest_decimal(double v) {
  ShortestDecimal d{};
  d.negative = std::signbit(v);
  double a = std::fabs(v);
  if (!std::isfinite(a)) return d;  // no digits
  if (a == 0.0) {
    d.digits[0] = '0';
    d.ndigits = 1;
    d.exponent = 0;
    return d;
  }
  // Scientific form with the shortest round-trip digits: "d.ddde[+-]xx".
  char buf[40];
  auto res = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific);
  char* end = res.ptr;
  char* e = static_cast<char*>(std::memchr(buf, 'e', static_cast<std::size_t>(end - buf)));
  int n = 0;
  for (char* p = buf; p < e; ++p) {
    if (*p != '.') d.digits[n++] = *p;
  }
  while (n > 1 && d.digits[n - 1] == '0') --n;
  d.ndigits = n;
  int exp = 0;
  std::from_chars(e + 1 + (e[1] == '+' ? 1 : 0), end, exp);
  d.exponent = exp;
  return d;
}

void append_real_debug(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
    return;
  }
  if (std::isinf(v)) {
    out += v < 0 ? "-inf" : "inf";
    return;
  }
  ShortestDecimal d = shortest_decimal(v);
  if (d.negative) out += '-';
  double a = std::fabs(v);
  if (a == 0.0) {
    out += "0.0";
    return;
  }
  if (a >= 1e-4 && a < 1e16) {
    if (d.exponent >= 0) {
      // Integer part: the first exponent+1 digits, padded with zeros.
      for (int i = 0; i <= d.exponent; ++i) out += i < d.ndigits ? d.digits[i] : '0';
      out += '.';
      if (d.ndigits > d.exponent + 1) {
        out.append(d.digits + d.exponent + 1, static_cast<std::size_t>(d.ndigits - d.exponent - 1));
      } else {
        out += '0';
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
      out.append(d.digits, static_cast<std::size_t>(d.ndigits));
    }
    return;
  }
  out += d.digits[0];
  if (d.ndigits > 1) {
    out += '.';
    out.append(d.digits + 1, static_cast<std::size_t>(d.ndigits - 1));
  }
  out += 'e';
  char buf[8];
  auto res = std::to_chars(buf, buf + sizeof buf, d.exponent);
  out.append(buf, res.ptr);
}

namespace {

void append_hex(std::string& out, unsigned cp) {
  char buf[16];
  auto res = std::to_chars(buf, buf + sizeof buf, cp, 16);
  out += "\\u{";
  out.append(buf, res.ptr);
  out += '}';
}

void append_text_debug(std::string& out, std::string_view s) {
  out += '"';
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7f) {
      append_hex(out, c);
    } else if (c == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(s[i + 1]) <= 0x9f) {
      // U+0080..U+009F: C1 control characters, encoded as C2 80..C2 9F.
      append_hex(out, static_cast<unsigned char>(s[i + 1]));
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

}  // namespace

void append_value_debug(std::string& out, const Value& v) {
  switch (v.kind()) {
    case ValueKind::Null: out += "Null"; return;
    case ValueKind::Int: {
      char buf[24];
      auto res = std::to_chars(buf, buf + sizeof buf, v.int_value());
      out += "Int(";
      out.append(buf, res.ptr);
      out += ')';
      return;
    }
    case ValueKind::Real:
      out += "Real(";
      append_real_debug(out, v.real_value());
      out += ')';
      return;
    case ValueKind::Text:
      out += "Text(";
      append_text_debug(out, v.bytes());
      out += ')';
      return;
    case ValueKind::Blob: {
      out += "Blob([";
      std::string_view b = v.bytes();
      for (std::size_t i = 0; i < b.size(); ++i) {
        if (i) out += ", ";
        char buf[4];
        auto res = std::to_chars(buf, buf + sizeof buf, static_cast<unsigned char>(b[i]));
        out.append(buf, res.ptr);
      }
      out += "])";
      return;
    }
  }
}

std::string value_debug(const Value& v) {
  std::string out;
  append_value_debug(out, v);
  return out;
}

}  // namespace bkf
