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
#include <string>
#include <string_view>

#include "pager/result.h"
#include "record/value.h"

namespace bkf::serial {

// The serial type a writer uses for v.
std::uint64_t type_of(const Value& v) noexcept;

// Body length of a serial type (0 for the reserved types 10 and 11). Never
// fails; types from records read from a file can give lengths that do not
// fit the record, which the record readers check.
inline std::uint64_t body_len(std::uint64_t type) noexcept {
  static constexpr std::uint8_t kFixed[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
  if (type < 12) return kFixed[type];
  return (type - 12) / 2;
}

// Body length of v under type_of(v).
std::size_t value_body_len(const Value& v) noexcept;

// Writes v's body (value_body_len(v) bytes) at dst.
void write_body(std::uint8_t* dst, const Value& v) noexcept;

// Appends v's body to out (nothing for Null and the integers 0 and 1).
void encode_body(std::string& out, const Value& v);

// Decodes one body of the given serial type into out, reusing out's buffer.
// body must be exactly the body's bytes. Errors (Corrupt): "float body must
// be 8 bytes", "reserved serial type", "text body is not valid UTF-8".
Status decode_body_into(std::uint64_t type, std::string_view body, Value& out);

// The same, returning a new value.
Result<Value> decode_body(std::uint64_t type, std::string_view body);

}  // namespace bkf::serial
