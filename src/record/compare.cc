#include "record/compare.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace bkf {

namespace {

int rank(ValueKind k) {
  switch (k) {
    case ValueKind::Null: return 0;
    case ValueKind::Int:
    case ValueKind::Real: return 1;
    case ValueKind::Text: return 2;
    case ValueKind::Blob: return 3;
  }
  return 0;
}

Ordering cmp_real(double a, double b) {
  if (a < b) return Ordering::Less;
  if (a > b) return Ordering::Greater;
  return Ordering::Equal;  // equal, or either side NaN
}

// A real against a real in the sort order: NaNs after every number and
// equal among themselves; -0.0 == 0.0.
Ordering cmp_real_sorted(double a, double b) {
  if (a < b) return Ordering::Less;
  if (a > b) return Ordering::Greater;
  if (a == b) return Ordering::Equal;
  const bool na = std::isnan(a), nb = std::isnan(b);
  return na == nb ? Ordering::Equal : na ? Ordering::Greater : Ordering::Less;
}

// An integer against a real that is not a NaN, by exact value.
Ordering cmp_int_real_exact(std::int64_t i, double d) {
  constexpr std::int64_t kExact = std::int64_t{1} << 53;
  constexpr double kExactReal = 9007199254740992.0;  // 2^53
  constexpr double kTwo63 = 9223372036854775808.0;   // 2^63
  // Up to 2^53 in magnitude the integer is an exact double.
  if (i >= -kExact && i <= kExact) return cmp_real(static_cast<double>(i), d);
  // Beyond, a real nearer zero than 2^53 is on the zero side of it.
  if (d > -kExactReal && d < kExactReal) return i > 0 ? Ordering::Greater : Ordering::Less;
  // A real of magnitude 2^53 or more is an integer, exact as an int64
  // inside [-2^63, 2^63).
  if (d >= kTwo63) return Ordering::Less;
  if (d < -kTwo63) return Ordering::Greater;
  const auto j = static_cast<std::int64_t>(d);
  return i < j ? Ordering::Less : i > j ? Ordering::Greater : Ordering::Equal;
}

Ordering reversed(Ordering o) {
  return static_cast<Ordering>(-static_cast<int>(o));
}

Ordering cmp_bytes(std::string_view a, std::string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
  if (c < 0) return Ordering::Less;
  if (c > 0) return Ordering::Greater;
  if (a.size() < b.size()) return Ordering::Less;
  if (a.size() > b.size()) return Ordering::Greater;
  return Ordering::Equal;
}

}  // namespace

Ordering cmp_value(const Value& a, const Value& b) noexcept {
  ValueKind ka = a.kind(), kb = b.kind();
  if (ka == kb) {
    switch (ka) {
      case ValueKind::Null: return Ordering::Equal;
      case ValueKind::Int:
        return a.int_value() < b.int_value()   ? Ordering::Less
               : a.int_value() > b.int_value() ? Ordering::Greater
                                               : Ordering::Equal;
      case ValueKind::Real: return cmp_real(a.real_value(), b.real_value());
      case ValueKind::Text:
      case ValueKind::Blob: return cmp_bytes(a.bytes(), b.bytes());
    }
  }
  if (ka == ValueKind::Int && kb == ValueKind::Real)
    return cmp_real(static_cast<double>(a.int_value()), b.real_value());
  if (ka == ValueKind::Real && kb == ValueKind::Int)
    return cmp_real(a.real_value(), static_cast<double>(b.int_value()));
  return rank(ka) < rank(kb) ? Ordering::Less : Ordering::Greater;
}

Ordering cmp_sort_value_other(const Value& a, const Value& b) noexcept {
  const ValueKind ka = a.kind(), kb = b.kind();
  if (ka == kb) {
    switch (ka) {
      case ValueKind::Null: return Ordering::Equal;
      case ValueKind::Int: return cmp_value(a, b);
      case ValueKind::Real: return cmp_real_sorted(a.real_value(), b.real_value());
      // cmp_sort_value settles two texts or two blobs inline before it
      // comes here; this gives the same answer.
      case ValueKind::Text:
      case ValueKind::Blob: return cmp_bytes(a.bytes(), b.bytes());
    }
  }
  if (ka == ValueKind::Int && kb == ValueKind::Real) {
    return std::isnan(b.real_value()) ? Ordering::Less : cmp_int_real_exact(a.int_value(), b.real_value());
  }
  if (ka == ValueKind::Real && kb == ValueKind::Int) {
    return std::isnan(a.real_value()) ? Ordering::Greater
                                      : reversed(cmp_int_real_exact(b.int_value(), a.real_value()));
  }
  return rank(ka) < rank(kb) ? Ordering::Less : Ordering::Greater;
}

}  // namespace bkf
