// Short value constructors and a kind-and-payload comparison for
// table-driven tests over values.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "record/value.h"

namespace bkf::testing {

inline constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
inline constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
inline const double kNaN = std::numeric_limits<double>::quiet_NaN();
inline const double kInf = std::numeric_limits<double>::infinity();

inline Value N() { return Value::null(); }
inline Value I(std::int64_t v) { return Value::integer(v); }
inline Value R(double v) { return Value::real(v); }
inline Value T(std::string_view s) { return Value::text(s); }
inline Value B(std::string_view s) { return Value::blob(s); }

// Same kind and payload; reals bit for bit (so -0.0 differs from 0.0),
// except that any NaN matches any NaN.
inline ::testing::AssertionResult same_value(const Value& got, const Value& want) {
  bool ok = got.kind() == want.kind() &&
            (got.identical(want) || (got.is_real() && std::isnan(got.real_value()) &&
                                     std::isnan(want.real_value())));
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << value_debug(got) << ", want " << value_debug(want);
}

}  // namespace bkf::testing
