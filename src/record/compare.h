// The single total order of values.
//
// Null < numbers < text < blob. Integers and reals compare by numeric value
// (the integer is rounded to the nearest double); a NaN compares Equal to
// every number. Text and blobs compare bytewise, shorter first on a common
// prefix. Because of NaN and of integers beyond 2^53 this order is not a
// strict weak order: never use it as the comparator of std::sort, std::map
// or std::set.
#pragma once

#include "record/value.h"

namespace bkf {

enum class Ordering : signed char { Less = -1, Equal = 0, Greater = 1 };

Ordering cmp_value(const Value& a, const Value& b) noexcept;

}  // namespace bkf
