#include "record/serial.h"

#include "record/utf8.h"

namespace bkf::serial {

void encode_body(std::string& out, const Value& v) {
  std::size_t n = value_body_len(v);
  std::size_t at = out.size();
  out.resize(at + n);
  write_body(reinterpret_cast<std::uint8_t*>(out.data()) + at, v);
}

Status decode_body_into(std::uint64_t type, std::string_view body, Value& out) {
  if (type <= 9) {
    // The record readers decode numbers inline and come here for the other
    // types; a body of the wrong length is a caller's error caught as
    // corruption.
    if (body.size() != body_len(type)) {
      return Error::corrupt(type == 7 ? "float body must be 8 bytes" : "record body exceeds buffer");
    }
    decode_number_body(type, reinterpret_cast<const std::uint8_t*>(body.data()), out);
    return {};
  }
  if (type == 10 || type == 11) return Error::corrupt("reserved serial type");
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
