#include "btree/keyenc.h"

#include <bit>
#include <cstring>

namespace bkf::keyenc {

namespace {

inline void put_be64(char* buf, std::uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(buf, &v, 8);
}

void append_be64(std::string& out, std::uint64_t v) {
  char buf[8];
  put_be64(buf, v);
  out.append(buf, 8);
}

// A number's encoding: its tag and the eight bytes of its transform, appended
// at once.
void append_number(std::string& out, double d) {
  char buf[9];
  buf[0] = static_cast<char>(kNumberTag);
  put_be64(buf + 1, number_transform(d));
  out.append(buf, 9);
}

void encode_bytes(std::string& out, std::uint8_t tag, std::string_view bytes) {
  out.push_back(static_cast<char>(tag));
  escape_into(out, bytes);
}

}  // namespace

std::uint64_t number_transform(double x) noexcept {
  std::uint64_t b = std::bit_cast<std::uint64_t>(x);
  return (b >> 63) ? ~b : (b | (1ull << 63));
}

void escape_into(std::string& out, std::string_view bytes) {
  // Copy runs without zero bytes whole.
  const char* p = bytes.data();
  const char* end = p + bytes.size();
  while (p < end) {
    const char* z = static_cast<const char*>(std::memchr(p, 0, static_cast<std::size_t>(end - p)));
    if (!z) {
      out.append(p, end);
      break;
    }
    out.append(p, z + 1);
    out.push_back(static_cast<char>(0xff));
    p = z + 1;
  }
  out.push_back('\0');
  out.push_back('\0');
}

void encode_value(std::string& out, const Value& v) {
  switch (v.kind()) {
    case ValueKind::Null: out.push_back(static_cast<char>(kNullTag)); return;
    case ValueKind::Int: append_number(out, static_cast<double>(v.int_value())); return;
    case ValueKind::Real: append_number(out, v.real_value()); return;
    case ValueKind::Text: encode_bytes(out, kTextTag, v.bytes()); return;
    case ValueKind::Blob: encode_bytes(out, kBlobTag, v.bytes()); return;
  }
}

void encode_index_key_into(std::string& out, std::span<const Value> values, std::int64_t rowid) {
  out.clear();
  for (const Value& v : values) encode_value(out, v);
  append_be64(out, static_cast<std::uint64_t>(rowid) ^ (1ull << 63));
}

std::string encode_index_key(std::span<const Value> values, std::int64_t rowid) {
  std::string out;
  encode_index_key_into(out, values, rowid);
  return out;
}

void encode_key_prefix_into(std::string& out, std::span<const Value> values) {
  out.clear();
  for (const Value& v : values) encode_value(out, v);
}

std::string encode_key_prefix(std::span<const Value> values) {
  std::string out;
  encode_key_prefix_into(out, values);
  return out;
}

void encode_bound_key_into(std::string& out, std::span<const Value> values, bool pad) {
  encode_key_prefix_into(out, values);
  if (pad) out.append(kBoundPadLen, static_cast<char>(0xff));
}

Result<std::int64_t> key_rowid(std::string_view key) {
  if (key.size() < kRowidSuffixLen) return Error::corrupt("index key shorter than its row id");
  std::uint64_t u = 0;
  const auto* p = reinterpret_cast<const std::uint8_t*>(key.data() + key.size() - kRowidSuffixLen);
  for (std::size_t i = 0; i < kRowidSuffixLen; ++i) u = (u << 8) | p[i];
  return static_cast<std::int64_t>(u ^ (1ull << 63));
}

void encode_identity_value(std::string& out, const Value& v) {
  double d;
  int remainder = 0;
  switch (v.kind()) {
    case ValueKind::Int: {
      std::int64_t n = v.int_value();
      d = static_cast<double>(n);
      // Integers up to 2^53 in magnitude are exact doubles. Beyond, |d| <=
      // 2^63, so d is an exact integer that __int128 holds; the rounding
      // error of an int64 to a double is at most 512.
      constexpr std::int64_t kExact = std::int64_t{1} << 53;
      if (n < -kExact || n > kExact) remainder = static_cast<int>(static_cast<__int128>(n) - static_cast<__int128>(d));
      break;
    }
    case ValueKind::Real: d = v.real_value(); break;
    default: encode_value(out, v); return;
  }
  if (d == 0.0) d = 0.0;  // -0.0 and 0.0 are one value
  char buf[11];
  buf[0] = static_cast<char>(kNumberTag);
  put_be64(buf + 1, number_transform(d));
  unsigned r = static_cast<unsigned>(remainder + 0x8000);
  buf[9] = static_cast<char>(r >> 8);
  buf[10] = static_cast<char>(r & 0xff);
  out.append(buf, 11);
}

void encode_identity_key_into(std::string& out, std::span<const Value> values) {
  out.clear();
  for (const Value& v : values) encode_identity_value(out, v);
}

std::string encode_identity_key(std::span<const Value> values) {
  std::string out;
  encode_identity_key_into(out, values);
  return out;
}

}  // namespace bkf::keyenc
