#include "btree/key_ranges.h"

#include <cmath>
#include <limits>
#include <utility>

#include "btree/keyenc.h"

namespace bkf::keyenc {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kExactInts = std::int64_t{1} << 53;

const Value kNull = Value::null();
const Value kEmptyText = Value::text("");
const Value kEmptyBlob = Value::blob("");

// The bound key of prefix followed by one value encoding, padded so that it
// sorts after every key with those leading values, or not.
void bound(std::string& out, const std::string& prefix, const Value& v, bool pad) {
  out = prefix;
  encode_value(out, v);
  if (pad) out.append(kBoundPadLen, static_cast<char>(0xff));
}

void number_bound(std::string& out, const std::string& prefix, double x, bool pad) {
  bound(out, prefix, Value::real(x), pad);
}

// The padded prefix alone: above every key that extends it.
void prefix_end(std::string& out, const std::string& prefix) {
  out = prefix;
  out.append(kBoundPadLen, static_cast<char>(0xff));
}

// The number v compares as against a number.
double number_of(const ProbeValue& p) {
  switch (p.value->kind()) {
    case ValueKind::Int: return static_cast<double>(p.value->int_value());
    case ValueKind::Real: return p.value->real_value();
    default: return p.text_number;
  }
}

// The numbers equal to x: x itself, both zeros for a zero, all for NaN.
struct NumberSpan {
  double lo, hi;
};
NumberSpan equal_numbers(double x) {
  if (std::isnan(x)) return {-kInf, kInf};
  if (x == 0.0) return {-0.0, 0.0};
  return {x, x};
}

bool is_inexact_int(const Value& v) {
  return v.is_int() && (v.int_value() <= -kExactInts || v.int_value() >= kExactInts);
}

}  // namespace

KeyRange region_range(ValueRegion r) {
  KeyRange out;
  const std::string none;
  switch (r) {
    case ValueRegion::NegativeNaN:
      bound(out.lo, none, kNull, true);
      number_bound(out.hi, none, -kInf, false);
      break;
    case ValueRegion::Number:
      number_bound(out.lo, none, -kInf, false);
      number_bound(out.hi, none, kInf, true);
      break;
    case ValueRegion::PositiveNaN:
      number_bound(out.lo, none, kInf, true);
      bound(out.hi, none, kEmptyText, false);
      break;
    case ValueRegion::Text:
      bound(out.lo, none, kEmptyText, false);
      bound(out.hi, none, kEmptyBlob, false);
      break;
    case ValueRegion::Blob:
      bound(out.lo, none, kEmptyBlob, false);
      prefix_end(out.hi, none);
      break;
  }
  out.first_regions = region_bit(r);
  return out;
}

KeyRange& ProbeRanges::add(std::uint8_t first_regions) {
  if (count_ == ranges_.size()) ranges_.emplace_back();
  KeyRange& r = ranges_[count_++];
  r.lo.clear();
  r.hi.clear();
  r.exact = false;
  r.first_regions = first_regions;
  return r;
}

void ProbeRanges::compute(const IndexProbe& probe) {
  count_ = 0;
  prefix_.clear();
  const bool has_bounds = probe.lower != nullptr || probe.upper != nullptr;
  if (!has_bounds && probe.eq.empty()) return;  // a probe of nothing finds nothing
  // The columns before the last probed one: each contributes the values
  // beside its own, then extends the prefix by its own value's encoding.
  const std::size_t leading = has_bounds ? probe.eq.size() : probe.eq.size() - 1;
  // The region of the first column's value, once it is in the prefix.
  std::uint8_t prefix_regions = 0;
  // Whether entries with the prefix's encodings have values equal to the
  // probe's (not so for an integer beyond 2^53).
  bool prefix_exact = true;
  auto regions = [&](ValueRegion own) { return prefix_.empty() ? region_bit(own) : prefix_regions; };

  for (std::size_t i = 0; i < leading; ++i) {
    const Value& v = *probe.eq[i].value;
    if (v.is_null()) {
      count_ = 0;
      return;
    }
    if (v.is_blob()) {
      if (prefix_.empty()) prefix_regions = region_bit(ValueRegion::Blob);
      encode_value(prefix_, v);
      continue;
    }
    const double n = number_of(probe.eq[i]);
    const bool nan = std::isnan(n);
    // The NaNs below -inf.
    KeyRange& below = add(regions(ValueRegion::NegativeNaN));
    bound(below.lo, prefix_, kNull, true);
    number_bound(below.hi, prefix_, -kInf, false);
    // The numbers equal to a text or a NaN; -0.0 beside a zero, whose own
    // encoding is 0.0's.
    if (v.is_text() || nan) {
      const NumberSpan span = equal_numbers(n);
      KeyRange& numbers = add(regions(ValueRegion::Number));
      number_bound(numbers.lo, prefix_, span.lo, false);
      number_bound(numbers.hi, prefix_, span.hi, true);
    } else if (n == 0.0) {
      KeyRange& negative_zero = add(regions(ValueRegion::Number));
      number_bound(negative_zero.lo, prefix_, -0.0, false);
      number_bound(negative_zero.hi, prefix_, -0.0, true);
    }
    // The NaNs above +inf, and every text beside a number.
    const std::uint8_t above_regions =
        v.is_text() ? region_bit(ValueRegion::PositiveNaN)
                    : region_bit(ValueRegion::PositiveNaN) | region_bit(ValueRegion::Text);
    KeyRange& above = add(prefix_.empty() ? above_regions : prefix_regions);
    number_bound(above.lo, prefix_, kInf, true);
    bound(above.hi, prefix_, v.is_text() ? kEmptyText : kEmptyBlob, false);
    if (nan && !v.is_text()) return;  // no encoding of its own for the later columns to extend
    if (prefix_.empty()) prefix_regions = region_bit(v.is_text() ? ValueRegion::Text : ValueRegion::Number);
    if (v.is_text()) encode_value(prefix_, v);
    else encode_value(prefix_, Value::real(n + 0.0));  // -0.0 + 0.0 is 0.0
    prefix_exact = prefix_exact && !is_inexact_int(v);
  }

  // The last probed column: its five regions, narrowed by the bounds (an
  // equality is a lower and an upper bound at once).
  const ProbeValue* lower = has_bounds ? probe.lower : &probe.eq.back();
  const ProbeValue* upper = has_bounds ? probe.upper : &probe.eq.back();
  if ((lower != nullptr && lower->value->is_null()) || (upper != nullptr && upper->value->is_null())) {
    count_ = 0;
    return;
  }
  // The five regions, written in place and then dropped when a bound rules
  // them out or leaves them empty.
  const std::size_t first = count_;
  for (int i = 0; i < kValueRegionCount; ++i) add(regions(static_cast<ValueRegion>(i)));
  KeyRange* r = &ranges_[first];
  KeyRange& negative_nan = r[0];
  KeyRange& numbers = r[1];
  KeyRange& positive_nan = r[2];
  KeyRange& texts = r[3];
  KeyRange& blobs = r[4];
  bool on[kValueRegionCount] = {true, true, true, true, true};
  bound(negative_nan.lo, prefix_, kNull, true);
  number_bound(negative_nan.hi, prefix_, -kInf, false);
  number_bound(numbers.lo, prefix_, -kInf, false);
  number_bound(numbers.hi, prefix_, kInf, true);
  number_bound(positive_nan.lo, prefix_, kInf, true);
  bound(positive_nan.hi, prefix_, kEmptyText, false);
  bound(texts.lo, prefix_, kEmptyText, false);
  bound(texts.hi, prefix_, kEmptyBlob, false);
  bound(blobs.lo, prefix_, kEmptyBlob, false);
  prefix_end(blobs.hi, prefix_);
  if (lower != nullptr) {
    const Value& v = *lower->value;
    if (v.is_blob()) {
      // Only blobs are at least a blob.
      on[0] = on[1] = on[2] = on[3] = false;
      bound(blobs.lo, prefix_, v, false);
    } else {
      number_bound(numbers.lo, prefix_, equal_numbers(number_of(*lower)).lo, false);
      if (v.is_text()) bound(texts.lo, prefix_, v, false);
    }
  }
  if (upper != nullptr) {
    const Value& v = *upper->value;
    if (v.is_blob()) {
      bound(blobs.hi, prefix_, v, true);
    } else {
      // A blob is above every number and text.
      number_bound(numbers.hi, prefix_, equal_numbers(number_of(*upper)).hi, true);
      on[4] = false;
      if (v.is_text()) bound(texts.hi, prefix_, v, true);
    }
  }
  if (!has_bounds && prefix_exact) {
    const Value& v = *probe.eq.back().value;
    negative_nan.exact = positive_nan.exact = blobs.exact = true;
    numbers.exact = !is_inexact_int(v);
    texts.exact = v.is_text();
  }
  std::size_t kept = first;
  for (std::size_t i = first; i < first + kValueRegionCount; ++i) {
    if (!on[i - first] || compare_keys(ranges_[i].lo, ranges_[i].hi) >= 0) continue;
    if (kept != i) std::swap(ranges_[kept], ranges_[i]);
    ++kept;
  }
  count_ = kept;
}

}  // namespace bkf::keyenc
