// Variable-length integers of records and B-tree cells.
//
// An unsigned varint is little-endian base-128: each byte carries seven bits,
// the least significant group first, and bit 7 is set on every byte but the
// last. Writers always produce the shortest form (1 byte below 2^7 ... 10
// bytes from 2^63). Readers accept at most 10 bytes and also accept
// non-shortest forms: bytes 1 to 9 give bits 0..62, and a tenth byte, read
// only when the ninth still has bit 7 set, must be 0 or 1 and gives bit 63.
//
// Signed row ids and interior keys are zigzag-mapped first (0, -1, 1, -2 ->
// 0, 1, 2, 3); records store only unsigned varints.
//
// Every reader first tests the first byte inline: below 0x80 it is the whole
// varint. Only longer varints take the out-of-line path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "base/result.h"

namespace bkf {

inline constexpr std::size_t kMaxVarintLen = 10;

// Outcome codes of the low-level reader: a positive length on success.
inline constexpr int kVarintTruncated = 0;
inline constexpr int kVarintOverlong = -1;

// The Corrupt error for a failed low-level read: "truncated uvarint" or
// "uvarint overflow / overlong".
Error varint_error(int code);

// Out-of-line part of get_uvarint for varints of two or more bytes.
int get_uvarint_multi(const std::uint8_t* p, std::size_t n, std::uint64_t& out) noexcept;

// Reads one varint from the n bytes at p. Returns its length (1..10) and
// stores the value in out, or returns kVarintTruncated when the bytes end
// inside the varint (also for n == 0) or kVarintOverlong when the tenth byte
// is 2 or more.
inline int get_uvarint(const std::uint8_t* p, std::size_t n, std::uint64_t& out) noexcept {
  if (n > 0 && p[0] < 0x80) {
    out = p[0];
    return 1;
  }
  return get_uvarint_multi(p, n, out);
}

// The same read with the result as (value, length) or a Corrupt error.
Result<std::pair<std::uint64_t, std::size_t>> read_uvarint_slow(std::string_view bytes);

// Number of bytes of the shortest form of v.
inline std::size_t uvarint_len(std::uint64_t v) noexcept {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

// Writes the shortest form of v at dst (room for kMaxVarintLen bytes is the
// caller's concern) and returns its length.
inline std::size_t put_uvarint(std::uint8_t* dst, std::uint64_t v) noexcept {
  std::size_t n = 0;
  while (v >= 0x80) {
    dst[n++] = static_cast<std::uint8_t>(v | 0x80);
    v >>= 7;
  }
  dst[n++] = static_cast<std::uint8_t>(v);
  return n;
}

inline void append_uvarint(std::string& out, std::uint64_t v) {
  std::uint8_t buf[kMaxVarintLen];
  std::size_t n = put_uvarint(buf, v);
  out.append(reinterpret_cast<const char*>(buf), n);
}

inline std::uint64_t zigzag_encode(std::int64_t v) noexcept {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}

inline std::int64_t zigzag_decode(std::uint64_t u) noexcept {
  return static_cast<std::int64_t>((u >> 1) ^ (0 - (u & 1)));
}

// Views of byte strings as unsigned bytes.
inline const std::uint8_t* ubytes(std::string_view s) noexcept {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

}  // namespace bkf
