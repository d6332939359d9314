#include "record/compare.h"

#include <algorithm>
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

}  // namespace bkf
