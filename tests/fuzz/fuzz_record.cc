// Records and index keys: arbitrary bytes decoded as a record (whole, column
// by column, and spliced), and the values of every record that decodes
// checked against their encodings: a record encodes back to values
// identical to the decoded ones, and index keys and identity keys order
// pairs of values as cmp_value does, apart from the documented exceptions.

#include <cmath>
#include <string>
#include <vector>

#include "btree/keyenc.h"
#include "fuzz/fuzz_common.h"
#include "record/compare.h"
#include "record/record.h"

namespace bkf::fuzz {

namespace {

int sign(int c) { return (c > 0) - (c < 0); }
int sign(Ordering o) { return o == Ordering::Less ? -1 : o == Ordering::Greater ? 1 : 0; }

bool is_nan(const Value& v) { return v.kind() == ValueKind::Real && std::isnan(v.real_value()); }
bool is_big_int(const Value& v) {
  return v.kind() == ValueKind::Int &&
         (v.int_value() > (std::int64_t{1} << 53) || v.int_value() < -(std::int64_t{1} << 53));
}
bool is_negative_zero(const Value& v) {
  return v.kind() == ValueKind::Real && v.real_value() == 0.0 && std::signbit(v.real_value());
}

void check_orders(const Value& a, const Value& b) {
  if (is_nan(a) || is_nan(b)) return;  // NaN equals every number but sorts at one end
  const int want = sign(cmp_value(a, b));
  const Value pair[] = {a, b};
  // Index keys round integers beyond 2^53 to doubles and put -0.0 first.
  if (!is_big_int(a) && !is_big_int(b) && !is_negative_zero(a) && !is_negative_zero(b)) {
    const int got = sign(keyenc::compare_keys(keyenc::encode_key_prefix(std::span(pair, 1)),
                                              keyenc::encode_key_prefix(std::span(pair + 1, 1))));
    if (got != want) fail("index key order of " + value_debug(a) + " and " + value_debug(b));
  }
  // Identity keys are exact where cmp_value compares through doubles only
  // between an integer and a real.
  const bool mixed = (a.kind() == ValueKind::Real && b.kind() == ValueKind::Int) ||
                     (a.kind() == ValueKind::Int && b.kind() == ValueKind::Real);
  if (!(mixed && (is_big_int(a) || is_big_int(b)))) {
    const int got = sign(keyenc::compare_keys(keyenc::encode_identity_key(std::span(pair, 1)),
                                              keyenc::encode_identity_key(std::span(pair + 1, 1))));
    if (got != want) fail("identity key order of " + value_debug(a) + " and " + value_debug(b));
  }
}

}  // namespace

int record_input(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  (void)keyenc::key_rowid(bytes);
  RecordColumns cols;
  cols.reset(bytes);
  (void)cols.column_count();
  for (std::size_t i = 0; i < 6; ++i) {
    (void)decode_column(bytes, i);
    (void)cols.read(5 - i);
  }
  std::string spliced;
  const Value fresh[] = {Value::integer(7), Value::text("x"), Value::null()};
  const bool keep[] = {true, false, true};
  (void)splice_record_into(spliced, bytes, fresh, std::span<const bool>(keep));

  auto values = decode_record(bytes);
  if (!values) return 0;
  const std::string again = encode_record(*values);
  auto round = decode_record(again);
  if (!round || round->size() != values->size()) fail("a decoded record does not encode back");
  for (std::size_t i = 0; i < values->size(); ++i) {
    if (!(*round)[i].identical((*values)[i])) fail("column " + std::to_string(i) + " changes through encoding");
  }
  const std::size_t n = std::min<std::size_t>(values->size(), 8);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) check_orders((*values)[i], (*values)[j]);
  }
  if (n > 0) {
    const std::string key = keyenc::encode_index_key(std::span(values->data(), n), -5);
    auto rowid = keyenc::key_rowid(key);
    if (!rowid || *rowid != -5) fail("the row id of an index key does not come back");
  }
  return 0;
}

}  // namespace bkf::fuzz

#ifdef BKF_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return bkf::fuzz::record_input(data, size);
}
#endif
