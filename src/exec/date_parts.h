// The reading of date-time text behind YEAR, MONTH, DAY, HOUR, MINUTE,
// SECOND, WEEK, DAYOFWEEK and DAYOFYEAR.
//
// Text (trimmed of Unicode white space) is split at its first "T" or space
// into a date part and a time part. The date part is split at every "-"; its
// first three fields must each be a signed 64-bit decimal integer (sign and
// ASCII digits only) and are year, month and day; fewer fields or a bad one
// make the whole text unreadable. No range is checked ('2024-13-45' reads).
// The time part is split at every ":" into hour, minute and second (the
// second trimmed and cut at its first "."); a missing or unreadable field is
// 0, and so is all of it without a time part.
//
// The calendar arithmetic wraps on overflow like two's-complement integers;
// it is computed in unsigned 64-bit arithmetic so that extreme years are
// well defined rather than undefined behaviour.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace bkf {

struct DateTimeParts {
  std::int64_t year = 0, month = 0, day = 0;
  std::int64_t hour = 0, minute = 0, second = 0;
};

std::optional<DateTimeParts> parse_datetime(std::string_view text) noexcept;

// Divisible by 4 and not by 100, or by 400, on signed remainders (years 0
// and -400 are leap years).
bool is_leap_year(std::int64_t year) noexcept;

// Days of a common year before the month (clamped to 1..12), plus the day,
// plus 1 for a month (unclamped) of 3 or more in a leap year.
std::int64_t day_of_year(const DateTimeParts& d) noexcept;

// (day_of_year + 6) / 7, truncating.
std::int64_t week_of_year(const DateTimeParts& d) noexcept;

// 1 = Sunday ... 7 = Saturday for ordinary dates: with y the year (less one
// for a month below 3), s = y + y/4 - y/100 + y/400 + offset(month) + day,
// the result is s % 7 + 1 (the remainder keeps the sign of s).
std::int64_t day_of_week(const DateTimeParts& d) noexcept;

}  // namespace bkf
