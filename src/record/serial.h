// Serial types: how one column of a record is typed and stored.
//
//   0        Null                      no body
//   1..6     Int, signed big-endian    1, 2, 3, 4, 6, 8 bytes
//   7        Real, IEEE bits big-endian 8 bytes
//   8, 9     the integers 0 and 1      no body
//   10, 11   reserved: never written, length 0, an error to decode
//   even>=12 Blob of (N-12)/2 bytes
//   odd>=13  Text of (N-13)/2 bytes, valid UTF-8
//
// Writers pick the narrowest integer width that holds the value (negative
// numbers by their two's complement), always type 7 for reals (a whole real
// stays a real), 2L+13 for text and 2L+12 for blobs of L bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/result.h"
#include "record/value.h"

namespace bkf::serial {

namespace detail {

// Serial type 1..6 for an integer other than 0 and 1.
inline std::uint64_t int_type(std::int64_t v) noexcept {
  if (v >= -128 && v <= 127) return 1;
  if (v >= -32768 && v <= 32767) return 2;
  if (v >= -8388608 && v <= 8388607) return 3;
  if (v >= -2147483648LL && v <= 2147483647LL) return 4;
  if (v >= -140737488355328LL && v <= 140737488355327LL) return 5;
  return 6;
}

inline void put_be(std::uint8_t* dst, std::uint64_t v, std::size_t width) noexcept {
  for (std::size_t i = 0; i < width; ++i) dst[i] = static_cast<std::uint8_t>(v >> (8 * (width - 1 - i)));
}

}  // namespace detail

// The serial type a writer uses for v. (These and the body writers below
// are inline: encoding a record runs them for every value.)
inline std::uint64_t type_of(const Value& v) noexcept {
  switch (v.kind()) {
    case ValueKind::Null: return 0;
    case ValueKind::Int: {
      std::int64_t i = v.int_value();
      if (i == 0) return 8;
      if (i == 1) return 9;
      return detail::int_type(i);
    }
    case ValueKind::Real: return 7;
    case ValueKind::Text: return 2 * static_cast<std::uint64_t>(v.bytes().size()) + 13;
    case ValueKind::Blob: return 2 * static_cast<std::uint64_t>(v.bytes().size()) + 12;
  }
  return 0;
}

// Body length of a serial type (0 for the reserved types 10 and 11). Never
// fails; types from records read from a file can give lengths that do not
// fit the record, which the record readers check.
inline std::uint64_t body_len(std::uint64_t type) noexcept {
  static constexpr std::uint8_t kFixed[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
  if (type < 12) return kFixed[type];
  return (type - 12) / 2;
}

// Body length of v under type_of(v).
inline std::size_t value_body_len(const Value& v) noexcept {
  switch (v.kind()) {
    case ValueKind::Null: return 0;
    case ValueKind::Int: {
      std::int64_t i = v.int_value();
      if (i == 0 || i == 1) return 0;
      return static_cast<std::size_t>(body_len(detail::int_type(i)));
    }
    case ValueKind::Real: return 8;
    case ValueKind::Text:
    case ValueKind::Blob: return v.bytes().size();
  }
  return 0;
}

// Writes v's body (value_body_len(v) bytes) at dst.
inline void write_body(std::uint8_t* dst, const Value& v) noexcept {
  switch (v.kind()) {
    case ValueKind::Null: return;
    case ValueKind::Int: {
      std::int64_t i = v.int_value();
      if (i == 0 || i == 1) return;
      detail::put_be(dst, static_cast<std::uint64_t>(i), static_cast<std::size_t>(body_len(detail::int_type(i))));
      return;
    }
    case ValueKind::Real: {
      std::uint64_t u;
      const double d = v.real_value();
      std::memcpy(&u, &d, 8);
      u = __builtin_bswap64(u);
      std::memcpy(dst, &u, 8);
      return;
    }
    case ValueKind::Text:
    case ValueKind::Blob:
      if (!v.bytes().empty()) std::memcpy(dst, v.bytes().data(), v.bytes().size());
      return;
  }
}

// Appends v's body to out (nothing for Null and the integers 0 and 1).
void encode_body(std::string& out, const Value& v);

// Decodes the body of serial type 0..9 other than 7's float check: types 0,
// 8 and 9 read nothing; 1..6 read body_len(type) bytes at p and 7 eight,
// which the caller has checked lie within the record. The same values
// decode_body_into gives for those types.
inline void decode_number_body(std::uint64_t type, const std::uint8_t* p, Value& out) noexcept {
  auto be16 = [p] { return static_cast<std::uint64_t>((p[0] << 8) | p[1]); };
  auto be32 = [](const std::uint8_t* q) {
    std::uint32_t u;
    std::memcpy(&u, q, 4);
    return static_cast<std::uint64_t>(__builtin_bswap32(u));
  };
  auto be64 = [p] {
    std::uint64_t u;
    std::memcpy(&u, p, 8);
    return __builtin_bswap64(u);
  };
  switch (type) {
    case 0: out.set_null(); return;
    case 1: out.set_int(static_cast<std::int8_t>(p[0])); return;
    case 2: out.set_int(static_cast<std::int16_t>(be16())); return;
    case 3: out.set_int(static_cast<std::int64_t>(((be16() << 8) | p[2]) << 40) >> 40); return;
    case 4: out.set_int(static_cast<std::int32_t>(be32(p))); return;
    case 5: out.set_int(static_cast<std::int64_t>(((be16() << 32) | be32(p + 2)) << 16) >> 16); return;
    case 6: out.set_int(static_cast<std::int64_t>(be64())); return;
    case 7: {
      const std::uint64_t u = be64();
      double d;
      std::memcpy(&d, &u, sizeof d);
      out.set_real(d);
      return;
    }
    case 8: out.set_int(0); return;
    default: out.set_int(1); return;
  }
}

// Decodes one body of the given serial type into out, reusing out's buffer.
// body must be exactly the body's bytes. Errors (Corrupt): "float body must
// be 8 bytes", "reserved serial type", "text body is not valid UTF-8".
Status decode_body_into(std::uint64_t type, std::string_view body, Value& out);

// The same, returning a new value.
Result<Value> decode_body(std::uint64_t type, std::string_view body);

}  // namespace bkf::serial
