#include "exec/date_parts.h"

#include "exec/numeric_text.h"
#include "exec/unicode.h"

namespace bkf {

namespace {

constexpr std::int64_t kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr std::int64_t kWeekdayOffset[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};

// Two's-complement wrapping arithmetic, defined for every input.
inline std::int64_t wrap_add(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
inline std::int64_t wrap_sub(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

inline std::size_t clamped_month_index(std::int64_t month) {
  if (month < 1) return 0;
  if (month > 12) return 11;
  return static_cast<std::size_t>(month - 1);
}

// Takes the next separator-delimited field off the front of rest; returns
// false when rest is already used up.
bool next_field(std::string_view& rest, bool& exhausted, char sep, std::string_view& field) {
  if (exhausted) return false;
  std::size_t at = rest.find(sep);
  if (at == std::string_view::npos) {
    field = rest;
    exhausted = true;
  } else {
    field = rest.substr(0, at);
    rest.remove_prefix(at + 1);
  }
  return true;
}

}  // namespace

std::optional<DateTimeParts> parse_datetime(std::string_view text) noexcept {
  std::string_view t = trim_white_space(text);
  std::size_t split = t.find_first_of("T ");
  std::string_view date = split == std::string_view::npos ? t : t.substr(0, split);

  DateTimeParts d;
  std::string_view rest = date, field;
  bool exhausted = false;
  std::int64_t* date_fields[3] = {&d.year, &d.month, &d.day};
  for (std::int64_t* target : date_fields) {
    if (!next_field(rest, exhausted, '-', field)) return std::nullopt;
    auto v = parse_i64(field);
    if (!v) return std::nullopt;
    *target = *v;
  }

  if (split != std::string_view::npos) {
    rest = t.substr(split + 1);
    exhausted = false;
    if (next_field(rest, exhausted, ':', field)) d.hour = parse_i64(field).value_or(0);
    if (next_field(rest, exhausted, ':', field)) d.minute = parse_i64(field).value_or(0);
    if (next_field(rest, exhausted, ':', field)) {
      field = trim_white_space(field);
      field = field.substr(0, field.find('.'));
      d.second = parse_i64(field).value_or(0);
    }
  }
  return d;
}

bool is_leap_year(std::int64_t year) noexcept {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

std::int64_t day_of_year(const DateTimeParts& d) noexcept {
  std::int64_t doy = wrap_add(kDaysBeforeMonth[clamped_month_index(d.month)], d.day);
  if (d.month >= 3 && is_leap_year(d.year)) doy = wrap_add(doy, 1);
  return doy;
}

std::int64_t week_of_year(const DateTimeParts& d) noexcept {
  return wrap_add(day_of_year(d), 6) / 7;
}

std::int64_t day_of_week(const DateTimeParts& d) noexcept {
  std::int64_t y = d.month < 3 ? wrap_sub(d.year, 1) : d.year;
  std::int64_t s = wrap_add(y, y / 4);
  s = wrap_sub(s, y / 100);
  s = wrap_add(s, y / 400);
  s = wrap_add(s, kWeekdayOffset[clamped_month_index(d.month)]);
  s = wrap_add(s, d.day);
  return s % 7 + 1;
}

}  // namespace bkf
