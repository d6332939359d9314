#include "record/serial.h"

#include <bit>
#include <cstring>

#include "record/utf8.h"

namespace bkf::serial {

namespace {

// Serial type 1..6 for an integer other than 0 and 1.
std::uint64_t int_type(std::int64_t v) noexcept {
  if (v >= -128 && v <= 127) return 1;
  if (v >= -32768 && v <= 32767) return 2;
  if (v >= -8388608 && v <= 8388607) return 3;
  if (v >= -2147483648LL && v <= 2147483647LL) return 4;
  if (v >= -140737488355328LL && v <= 140737488355327LL) return 5;
  return 6;
}

void put_be(std::uint8_t* dst, std::uint64_t v, std::size_t width) noexcept {
  for (std::size_t i = 0; i < width; ++i) dst[i] = static_cast<std::uint8_t>(v >> (8 * (width - 1 - i)));
}

}  // namespace

std::uint64_t type_of(const Value& v) noexcept {
  switch (v.kind()) {
    case ValueKind::Null: return 0;
    case ValueKind::Int: {
      std::int64_t i = v.int_value();
      if (i == 0) return 8;
      if (i == 1) return 9;
      return int_type(i);
    }
    case ValueKind::Real: return 7;
    case ValueKind::Text: return 2 * static_cast<std::uint64_t>(v.bytes().size()) + 13;
    case ValueKind::Blob: return 2 * static_cast<std::uint64_t>(v.bytes().size()) + 12;
  }
  return 0;
}

std::size_t value_body_len(const Value& v) noexcept {
  switch (v.kind()) {
    case ValueKind::Null: return 0;
    case ValueKind::Int: {
      std::int64_t i = v.int_value();
      if (i == 0 || i == 1) return 0;
      return static_cast<std::size_t>(body_len(int_type(i)));
    }
    case ValueKind::Real: return 8;
    case ValueKind::Text:
    case ValueKind::Blob: return v.bytes().size();
  }
  return 0;
}

void write_body(std::uint8_t* dst, const Value& v) noexcept {
  switch (v.kind()) {
    case ValueKind::Null: return;
    case ValueKind::Int: {
      std::int64_t i = v.int_value();
      if (i == 0 || i == 1) return;
      put_be(dst, static_cast<std::uint64_t>(i), static_cast<std::size_t>(body_len(int_type(i))));
      return;
    }
    case ValueKind::Real:
      put_be(dst, std::bit_cast<std::uint64_t>(v.real_value()), 8);
      return;
    case ValueKind::Text:
    case ValueKind::Blob:
      if (!v.bytes().empty()) std::memcpy(dst, v.bytes().data(), v.bytes().size());
      return;
  }
}

void encode_body(std::string& out, const Value& v) {
  std::size_t n = value_body_len(v);
  std::size_t at = out.size();
  out.resize(at + n);
  write_body(reinterpret_cast<std::uint8_t*>(out.data()) + at, v);
}

Status decode_body_into(std::uint64_t type, std::string_view body, Value& out) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(body.data());
  switch (type) {
    case 0: out.set_null(); return {};
    case 8: out.set_int(0); return {};
    case 9: out.set_int(1); return {};
    case 1: case 2: case 3: case 4: case 5: case 6: {
      std::size_t w = static_cast<std::size_t>(body_len(type));
      // The slice given is the body; its length is checked by the record
      // readers, and a wrong one here is a caller error caught as corruption.
      if (body.size() != w) return Error::corrupt("record body exceeds buffer");
      std::uint64_t u = 0;
      for (std::size_t i = 0; i < w; ++i) u = (u << 8) | p[i];
      // Sign-extend from the top bit of the first byte.
      unsigned shift = static_cast<unsigned>(64 - 8 * w);
      std::int64_t v = static_cast<std::int64_t>(u << shift) >> shift;
      out.set_int(v);
      return {};
    }
    case 7: {
      if (body.size() != 8) return Error::corrupt("float body must be 8 bytes");
      std::uint64_t u = 0;
      for (std::size_t i = 0; i < 8; ++i) u = (u << 8) | p[i];
      out.set_real(std::bit_cast<double>(u));
      return {};
    }
    case 10:
    case 11: return Error::corrupt("reserved serial type");
    default: break;
  }
  if (type % 2 == 0) {
    out.set_blob(body);
    return {};
  }
  if (!is_valid_utf8(body)) return Error::corrupt("text body is not valid UTF-8");
  out.set_text(body);
  return {};
}

Result<Value> decode_body(std::uint64_t type, std::string_view body) {
  Value v;
  BKF_TRY(decode_body_into(type, body, v));
  return v;
}

}  // namespace bkf::serial
