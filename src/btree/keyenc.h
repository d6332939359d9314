// Order-preserving byte encodings of values.
//
// Index B-trees store opaque byte keys and order them bytewise (memcmp over
// the common length, the shorter first on a tie), so that nothing is decoded
// during a search. These encodings turn values into byte strings whose
// bytewise order follows the value order.
//
// One value (encode_value):
//   Null    00
//   Int n   10, then 8 bytes: the number transform of n rounded to a double
//   Real x  10, then 8 bytes: the number transform of x
//   Text s  20, then escape(s)
//   Blob b  30, then escape(b)
// Number transform: the 64 IEEE bits, all complemented when the sign bit is
// set, else with the sign bit set; big-endian. Escape: each byte copied, each
// 00 followed by FF, then the terminator 00 00. Every encoding is
// self-delimiting, so a sequence of values compares value by value.
//
// The stored order agrees with cmp_value except that -0.0 sorts before +0.0
// and Int 0, a NaN sits below -inf when its sign bit is set and above +inf
// when it is clear, and integers rounding to the same double (beyond 2^53)
// encode alike. Files depend on these bytes; they never change.
//
// Keys built here:
//   index key   encodings of the indexed values, then the row id with its top
//               bit inverted, 8 bytes big-endian (negative row ids first)
//   key prefix  the encodings alone: a UNIQUE probe or an equality seek
//   bound key   the encodings, optionally padded with 9 bytes FF so that it
//               sorts after every index key with those leading values, the
//               row id 9223372036854775807 included (a range bound; never
//               stored)
//   identity key an in-memory-only encoding (grouping, DISTINCT sets, caches)
//               that keeps the index order but never merges distinct values:
//               see encode_identity_value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"
#include "record/value.h"

namespace bkf::keyenc {

inline constexpr std::uint8_t kNullTag = 0x00;
inline constexpr std::uint8_t kNumberTag = 0x10;
inline constexpr std::uint8_t kTextTag = 0x20;
inline constexpr std::uint8_t kBlobTag = 0x30;

// Length of the row-id suffix of an index key.
inline constexpr std::size_t kRowidSuffixLen = 8;
// Length of the padding of a padded bound key; one more than the row-id
// suffix, so that the padded bound lies above every row id.
inline constexpr std::size_t kBoundPadLen = 9;

// The order of keys: unsigned bytes over the common length, then the shorter
// first. Negative, zero or positive like memcmp.
inline int compare_keys(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  const int c = n ? __builtin_memcmp(a.data(), b.data(), n) : 0;
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// Appends the encoding of v.
void encode_value(std::string& out, const Value& v);

// Appends bytes escaped and terminated (see above).
void escape_into(std::string& out, std::string_view bytes);

// The 8-byte number transform of a double, as an integer whose big-endian
// bytes are the encoding.
std::uint64_t number_transform(double x) noexcept;

// Index key of a row: the encodings of values, then the row-id suffix.
std::string encode_index_key(std::span<const Value> values, std::int64_t rowid);
void encode_index_key_into(std::string& out, std::span<const Value> values, std::int64_t rowid);

// Key prefix: the encodings of values alone.
std::string encode_key_prefix(std::span<const Value> values);
// Empties out (keeping its capacity) and writes the prefix.
void encode_key_prefix_into(std::string& out, std::span<const Value> values);

// Bound key of an index range: the key prefix of values, followed by
// kBoundPadLen bytes FF when pad is set. Unpadded, it sorts before every index
// key with those leading values; padded, after all of them. So an inclusive
// upper bound and an exclusive lower bound are padded, the other two not.
void encode_bound_key_into(std::string& out, std::span<const Value> values, bool pad);

// The row id of an index key, from its last 8 bytes. Corrupt when the key is
// shorter than 8 bytes (only a damaged page gives such a key).
Result<std::int64_t> key_rowid(std::string_view key);

// Identity keys: an exact, in-memory-only encoding for grouping keys,
// DISTINCT-aggregate sets and the correlated-subquery cache.
//
// Like encode_value, except for numbers: 10, the 8-byte number transform of
// the value rounded to a double with -0.0 taken as 0.0, then 2 bytes: the
// exact integer remainder (value minus that double, between -512 and 512;
// 0 for every real) plus 0x8000, big-endian. Hence bytewise order is the
// exact numeric order, Int 1 and Real 1.0 (and -0.0 and 0.0) have equal keys,
// and distinct 64-bit integers always have distinct keys, even where they
// round to the same double. NaNs encode by their bits as in index keys. These
// bytes are never written to a file.
void encode_identity_value(std::string& out, const Value& v);
// Empties out and appends the identity encodings of values.
void encode_identity_key_into(std::string& out, std::span<const Value> values);
std::string encode_identity_key(std::span<const Value> values);

}  // namespace bkf::keyenc
