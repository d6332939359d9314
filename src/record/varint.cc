#include "record/varint.h"

namespace bkf {

Error varint_error(int code) {
  return Error::corrupt(code == kVarintOverlong ? "uvarint overflow / overlong" : "truncated uvarint");
}

int get_uvarint_multi(const std::uint8_t* p, std::size_t n, std::uint64_t& out) noexcept {
  std::uint64_t v = 0;
  // Bytes 1..9 carry seven bits each.
  for (std::size_t i = 0; i < 9; ++i) {
    if (i >= n) return kVarintTruncated;
    std::uint8_t b = p[i];
    v |= static_cast<std::uint64_t>(b & 0x7f) << (7 * i);
    if (b < 0x80) {
      out = v;
      return static_cast<int>(i + 1);
    }
  }
  // The ninth byte had bit 7 set: a tenth byte supplies bit 63 alone.
  if (n < 10) return kVarintTruncated;
  if (p[9] > 1) return kVarintOverlong;
  out = v | (static_cast<std::uint64_t>(p[9]) << 63);
  return 10;
}

Result<std::pair<std::uint64_t, std::size_t>> read_uvarint_slow(std::string_view bytes) {
  std::uint64_t v;
  int n = get_uvarint(ubytes(bytes), bytes.size(), v);
  if (n <= 0) return varint_error(n);
  return std::pair<std::uint64_t, std::size_t>(v, static_cast<std::size_t>(n));
}

}  // namespace bkf
