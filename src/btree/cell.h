// Cells: the entries of B-tree pages.
//
//   table leaf (kind 2)      uvarint T (whole payload length), uvarint L
//                            (bytes kept in the cell), zigzag row id, L
//                            payload bytes, and when T > L a u32 first
//                            overflow page
//   table interior (kind 1)  u32 child page, zigzag key (a row id)
//   index leaf (kind 4)      uvarint K, K key bytes
//   index interior (kind 3)  u32 child page, uvarint K, K key bytes
//
// Integers of fixed width are big-endian. Index keys are always stored whole;
// only table payloads overflow (beyond max_local bytes, see node.h).
//
// The parsers take the bytes from the cell's start to the end of the page
// (or of the slice the caller has) and fail with Corrupt when the cell runs
// past them: a cut-off or too-long varint gives "truncated uvarint" or
// "uvarint overflow / overlong", anything else a message naming the fault.
// The encoders write into a caller's buffer, emptied first (its capacity is
// kept, so building a cell per row allocates nothing once it has grown).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace bkf::cell {

inline std::uint32_t get_u32(const std::uint8_t* p) noexcept {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}
inline void put_u32(std::uint8_t* p, std::uint32_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

// The head of a table leaf cell.
struct LeafHead {
  std::uint64_t total = 0;   // T
  std::uint64_t local = 0;   // L
  std::int64_t rowid = 0;
  std::size_t head_len = 0;  // bytes of the three varints
  bool has_overflow() const noexcept { return total > local; }
  // Whole cell: head, local bytes, and the overflow page number if any.
  std::size_t cell_len() const noexcept {
    return head_len + static_cast<std::size_t>(local) + (has_overflow() ? 4 : 0);
  }
};

// Parses a table leaf cell's head from the n bytes at p and checks that the
// whole cell lies within them and that L <= T.
Result<LeafHead> parse_leaf_head(const std::uint8_t* p, std::size_t n);

// Reads a varint at p[pos] (n bytes in all) and moves pos past it: the same
// value and length as get_uvarint, inline, with short varints (lengths, row
// ids below 2^20) taken without a loop. False when it is cut off or
// overlong (the callers' checked paths then report the error).
inline bool read_varint_fast(const std::uint8_t* p, std::size_t n, std::size_t& pos, std::uint64_t& v) noexcept {
  if (pos < n && p[pos] < 0x80) {
    v = p[pos++];
    return true;
  }
  if (pos + 1 < n && p[pos + 1] < 0x80) {
    v = (p[pos] & 0x7fu) | (std::uint64_t{p[pos + 1]} << 7);
    pos += 2;
    return true;
  }
  if (pos + 2 < n && p[pos + 1] >= 0x80 && p[pos + 2] < 0x80) {
    v = (p[pos] & 0x7fu) | (std::uint64_t{p[pos + 1] & 0x7fu} << 7) | (std::uint64_t{p[pos + 2]} << 14);
    pos += 3;
    return true;
  }
  std::uint64_t x = 0;
  std::size_t at = pos;
  for (unsigned shift = 0; shift <= 56; shift += 7) {
    if (at >= n) return false;
    const std::uint8_t b = p[at++];
    x |= static_cast<std::uint64_t>(b & 0x7f) << shift;
    if (b < 0x80) {
      v = x;
      pos = at;
      return true;
    }
  }
  // Nine bytes with bit 7 set: a tenth byte gives bit 63 alone.
  if (at >= n || p[at] > 1) return false;
  v = x | (static_cast<std::uint64_t>(p[at]) << 63);
  pos = at + 1;
  return true;
}

// parse_leaf_head without building a Result: true with the head
// parse_leaf_head gives, false exactly when it would fail (call it then for
// the error).
inline bool parse_leaf_head_fast(const std::uint8_t* p, std::size_t n, LeafHead& h) noexcept {
  std::size_t pos = 0;
  std::uint64_t z;
  if (!read_varint_fast(p, n, pos, h.total) || !read_varint_fast(p, n, pos, h.local) ||
      !read_varint_fast(p, n, pos, z)) {
    return false;
  }
  h.rowid = static_cast<std::int64_t>((z >> 1) ^ (0 - (z & 1)));
  h.head_len = pos;
  if (h.local > h.total) return false;
  const std::uint64_t rest = n - pos;
  return h.local <= rest && (h.total == h.local || rest - h.local >= 4);
}

// Length of the cell of a page of the given kind at p (n bytes to the end).
// kind must be one of the four page kinds.
Result<std::size_t> cell_len(std::uint8_t kind, const std::uint8_t* p, std::size_t n);

// The local payload bytes of a table leaf cell described by head.
inline std::string_view leaf_local(const std::uint8_t* cell, const LeafHead& head) noexcept {
  return {reinterpret_cast<const char*>(cell) + head.head_len, static_cast<std::size_t>(head.local)};
}
// The first overflow page of a table leaf cell that has one.
inline std::uint32_t leaf_overflow(const std::uint8_t* cell, const LeafHead& head) noexcept {
  return get_u32(cell + head.head_len + head.local);
}

// Key of a table interior cell (n bytes available, at least 4).
Result<std::int64_t> interior_key(const std::uint8_t* p, std::size_t n);
// Key bytes of an index leaf or index interior cell.
Result<std::string_view> index_leaf_key(const std::uint8_t* p, std::size_t n);
Result<std::string_view> index_interior_key(const std::uint8_t* p, std::size_t n);

// Encoders. encode_leaf writes the overflow page only when one is given; the
// caller passes one exactly when total > local.size().
void encode_leaf(std::string& out, std::int64_t rowid, std::uint64_t total, std::string_view local,
                 std::optional<std::uint32_t> overflow);
void encode_interior(std::string& out, std::uint32_t child, std::int64_t key);
void encode_index_leaf(std::string& out, std::string_view key);
void encode_index_interior(std::string& out, std::uint32_t child, std::string_view key);

}  // namespace bkf::cell
