#include "record/serial.h"

#include <bit>
#include <cstring>

#include "record/utf8.h"

namespace bkf::serial {

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
