#include "exec/scalar_funcs.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "exec/date_parts.h"
#include "exec/numeric_text.h"
#include "exec/unicode.h"
#include "exec/value_ops.h"

namespace bkf {

namespace {

constexpr double kTwoTo52 = 4503599627370496.0;
constexpr double kTwoTo63 = 9223372036854775808.0;

struct NameEntry {
  std::string_view name;
  ScalarKind kind;
};

constexpr NameEntry kNames[] = {
    {"ABS", ScalarKind::Abs},
    {"LENGTH", ScalarKind::Length},
    {"CHAR_LENGTH", ScalarKind::Length},
    {"CHARACTER_LENGTH", ScalarKind::Length},
    {"UPPER", ScalarKind::Upper},
    {"UCASE", ScalarKind::Upper},
    {"LOWER", ScalarKind::Lower},
    {"LCASE", ScalarKind::Lower},
    {"COALESCE", ScalarKind::Coalesce},
    {"TYPEOF", ScalarKind::Typeof},
    {"SUBSTR", ScalarKind::Substr},
    {"SUBSTRING", ScalarKind::Substr},
    {"ROUND", ScalarKind::Round},
    {"REPLACE", ScalarKind::Replace},
    {"TRIM", ScalarKind::Trim},
    {"LTRIM", ScalarKind::Ltrim},
    {"RTRIM", ScalarKind::Rtrim},
    {"IFNULL", ScalarKind::Ifnull},
    {"NULLIF", ScalarKind::Nullif},
    {"CONCAT", ScalarKind::Concat},
    {"YEAR", ScalarKind::Year},
    {"MONTH", ScalarKind::Month},
    {"DAY", ScalarKind::Day},
    {"DAYOFMONTH", ScalarKind::Day},
    {"HOUR", ScalarKind::Hour},
    {"MINUTE", ScalarKind::Minute},
    {"SECOND", ScalarKind::Second},
    {"WEEK", ScalarKind::Week},
    {"WEEKOFYEAR", ScalarKind::Week},
    {"DAYOFWEEK", ScalarKind::DayOfWeek},
    {"DAYOFYEAR", ScalarKind::DayOfYear},
};

// Argument i, or nullptr when the call has fewer arguments.
inline const Value* arg(std::span<const Value> args, std::size_t i) {
  return i < args.size() ? &args[i] : nullptr;
}

inline bool missing_or_null(const Value* v) { return v == nullptr || v->is_null(); }

inline void copy_into(Value& out, const Value& v) {
  if (&out != &v) out.assign(v);
}

// Builds a text result. The text is written straight into out's buffer,
// unless out is also an argument that the builder still reads.
template <class Build>
void emit_text(std::span<const Value> args, Value& out, Build build) {
  bool aliased = false;
  for (const Value& a : args) aliased |= &a == &out;
  if (aliased) {
    std::string buf;
    build(buf);
    out = Value::text(std::move(buf));
  } else {
    build(out.reset_text());
  }
}

// ---- string functions ---------------------------------------------------

void fn_length(std::span<const Value> args, Value& out) {
  const Value* x = arg(args, 0);
  if (missing_or_null(x)) return out.set_null();
  if (x->is_blob()) return out.set_int(static_cast<std::int64_t>(x->bytes().size()));
  if (x->is_text()) return out.set_int(static_cast<std::int64_t>(utf8_length(x->bytes())));
  TextForm t(*x);  // numbers: ASCII, so bytes are characters
  out.set_int(static_cast<std::int64_t>(t.view().size()));
}

void fn_case(std::span<const Value> args, Value& out, bool upper) {
  const Value* x = arg(args, 0);
  if (x == nullptr) return out.set_null();
  if (!x->is_text()) return copy_into(out, *x);
  emit_text(args, out, [&](std::string& buf) {
    if (upper) {
      append_upper(buf, x->bytes());
    } else {
      append_lower(buf, x->bytes());
    }
  });
}

// An Int argument, or a Real truncated toward zero (saturating); nothing
// for any other kind or a missing argument.
std::optional<std::int64_t> integral_arg(const Value* v) {
  if (v == nullptr) return std::nullopt;
  if (v->is_int()) return v->int_value();
  if (v->is_real()) return saturating_i64(v->real_value());
  return std::nullopt;
}

// Byte offset of character number k (k <= number of characters).
std::size_t char_offset(std::string_view s, std::size_t k) {
  std::size_t i = 0;
  for (; k > 0 && i < s.size(); --k) i = utf8_next(s, i);
  return i;
}

void fn_substr(std::span<const Value> args, Value& out) {
  const Value* s = arg(args, 0);
  if (missing_or_null(s)) return out.set_null();
  TextForm form(*s);
  std::string_view text = form.view();
  // Positions are computed in 128 bits: p + L + 1 and start + n cannot
  // overflow there for any 64-bit p and n.
  const std::size_t chars = utf8_length(text);
  const __int128 len = static_cast<__int128>(chars);
  __int128 start = 0;
  if (auto p = integral_arg(arg(args, 1))) {
    __int128 pos = *p;
    if (pos < 0) pos += len + 1;
    if (pos < 1) pos = 1;
    start = std::min<__int128>(pos - 1, len);
  }
  __int128 end = len;
  if (auto n = integral_arg(arg(args, 2))) {
    __int128 count = std::max<std::int64_t>(*n, 0);
    end = std::min<__int128>(len, start + count);
  }
  std::size_t from, to;
  if (chars == text.size()) {  // one byte per character
    from = static_cast<std::size_t>(start);
    to = static_cast<std::size_t>(end);
  } else {
    from = char_offset(text, static_cast<std::size_t>(start));
    to = from + char_offset(text.substr(from), static_cast<std::size_t>(end - start));
  }
  std::string_view slice = text.substr(from, to - from);
  emit_text(args, out, [&](std::string& buf) { buf.append(slice); });
}

void fn_replace(std::span<const Value> args, Value& out) {
  const Value* s = arg(args, 0);
  if (missing_or_null(s)) return out.set_null();
  const Value* from = arg(args, 1);
  const Value* to = arg(args, 2);
  TextForm text(*s);
  if (missing_or_null(from) || missing_or_null(to)) {
    emit_text(args, out, [&](std::string& buf) { buf.append(text.view()); });
    return;
  }
  TextForm needle(*from), repl(*to);
  std::string_view hay = text.view(), pat = needle.view(), with = repl.view();
  emit_text(args, out, [&](std::string& buf) {
    if (pat.empty()) {
      buf.append(hay);
      return;
    }
    std::size_t i = 0;
    for (std::size_t at; (at = hay.find(pat, i)) != std::string_view::npos; i = at + pat.size()) {
      buf.append(hay.substr(i, at - i));
      buf.append(with);
    }
    buf.append(hay.substr(i));
  });
}

// The set of characters TRIM removes. An all-ASCII set is a bitmap; any
// other is a sorted list of code points, so membership stays logarithmic
// however long the set text is.
class CharSet {
 public:
  explicit CharSet(std::string_view chars) {
    ascii_ = true;
    for (char c : chars) {
      if (static_cast<unsigned char>(c) >= 0x80) ascii_ = false;
    }
    if (ascii_) {
      for (char c : chars) set_bit(static_cast<unsigned char>(c));
      return;
    }
    for (std::size_t i = 0; i < chars.size();) {
      std::size_t len;
      cps_.push_back(utf8_decode(chars, i, len));
      i += len;
    }
    std::sort(cps_.begin(), cps_.end());
  }

  bool contains(char32_t cp) const {
    if (ascii_) return cp < 128 && (bits_[cp >> 6] >> (cp & 63) & 1) != 0;
    return std::binary_search(cps_.begin(), cps_.end(), cp);
  }

 private:
  void set_bit(unsigned c) { bits_[c >> 6] |= std::uint64_t{1} << (c & 63); }

  bool ascii_ = true;
  std::uint64_t bits_[2] = {0, 0};
  std::vector<char32_t> cps_;
};

void fn_trim(std::span<const Value> args, Value& out, bool left, bool right) {
  const Value* s = arg(args, 0);
  if (missing_or_null(s)) return out.set_null();
  const Value* chars = arg(args, 1);
  TextForm text(*s);
  std::string_view t = text.view();
  std::optional<TextForm> set_text;
  if (!missing_or_null(chars)) set_text.emplace(*chars);
  CharSet set(set_text ? set_text->view() : std::string_view(" \t\n\r"));

  std::size_t b = 0, e = t.size();
  if (left) {
    while (b < e) {
      std::size_t len;
      if (!set.contains(utf8_decode(t, b, len))) break;
      b += len;
    }
  }
  if (right) {
    // Walk forward and remember where the final run of set characters
    // starts: stepping backwards through UTF-8 could split a malformed
    // sequence differently from the forward reading.
    std::size_t run_start = e;
    for (std::size_t i = b; i < e;) {
      std::size_t len;
      bool in = set.contains(utf8_decode(t, i, len));
      if (!in) {
        run_start = e;
      } else if (run_start == e) {
        run_start = i;
      }
      i += len;
    }
    e = run_start;
  }
  std::string_view slice = t.substr(b, e - b);
  emit_text(args, out, [&](std::string& buf) { buf.append(slice); });
}

void fn_concat(std::span<const Value> args, Value& out) {
  for (const Value& a : args) {
    if (a.is_null()) return out.set_null();
  }
  emit_text(args, out, [&](std::string& buf) {
    for (const Value& a : args) append_text_form(buf, a);
  });
}

void fn_typeof(std::span<const Value> args, Value& out) {
  static constexpr std::string_view kNames[] = {"null", "integer", "real", "text", "blob"};
  const Value* x = arg(args, 0);
  out.set_text(kNames[x ? static_cast<std::size_t>(x->kind()) : 0]);
}

// ---- numeric functions --------------------------------------------------

void fn_abs(std::span<const Value> args, Value& out) {
  const Value* x = arg(args, 0);
  if (x == nullptr) return out.set_null();
  if (x->is_int()) {
    std::int64_t v = x->int_value();
    if (v == INT64_MIN) return out.set_real(kTwoTo63);  // like negation, the magnitude as a real
    return out.set_int(v < 0 ? -v : v);
  }
  if (x->is_real()) return out.set_real(std::fabs(x->real_value()));
  out.set_null();
}

// 10^d by square-and-multiply (exact up to d = 22, infinity on overflow).
double power_of_ten(std::uint32_t d) {
  double f = 1.0, base = 10.0;
  while (d != 0) {
    if (d & 1) f *= base;
    base *= base;
    d >>= 1;
  }
  return f;
}

void fn_round(std::span<const Value> args, Value& out) {
  const Value* x = arg(args, 0);
  if (missing_or_null(x)) return out.set_null();
  double v = to_number(*x);
  std::int32_t digits = 0;
  if (const Value* d = arg(args, 1); d && d->is_int()) {
    // The count is the low 32 bits, read as signed.
    digits = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(d->int_value())));
    if (digits < 0) digits = 0;
  }
  if (!std::isfinite(v)) return out.set_real(v);
  double f = power_of_ten(static_cast<std::uint32_t>(digits));
  double scaled = v * f;
  // Past 2^52 a double has no fractional digits at this scale (and when the
  // scale overflows there is nothing to round): the value is already its
  // own rounding, and dividing would only produce NaN or infinity.
  if (!std::isfinite(f) || !(std::fabs(scaled) < kTwoTo52)) return out.set_real(v);
  out.set_real(std::round(scaled) / f);
}

// ---- null-handling functions --------------------------------------------

void fn_coalesce(std::span<const Value> args, Value& out) {
  for (const Value& a : args) {
    if (!a.is_null()) return copy_into(out, a);
  }
  out.set_null();
}

void fn_ifnull(std::span<const Value> args, Value& out) {
  const Value* a = arg(args, 0);
  if (a == nullptr) return out.set_null();
  if (!a->is_null()) return copy_into(out, *a);
  const Value* b = arg(args, 1);
  if (b == nullptr) return out.set_null();
  copy_into(out, *b);
}

void fn_nullif(std::span<const Value> args, Value& out) {
  const Value* a = arg(args, 0);
  if (a == nullptr) return out.set_null();
  const Value* b = arg(args, 1);
  if (b != nullptr && !a->is_null() && !b->is_null() &&
      compare_operands(*a, *b) == Ordering::Equal) {
    return out.set_null();
  }
  copy_into(out, *a);
}

// ---- date-part functions ------------------------------------------------

void fn_date_part(ScalarKind kind, std::span<const Value> args, Value& out) {
  const Value* x = arg(args, 0);
  if (missing_or_null(x)) return out.set_null();
  TextForm text(*x);
  std::optional<DateTimeParts> d = parse_datetime(text.view());
  if (!d) return out.set_null();
  switch (kind) {
    case ScalarKind::Year: return out.set_int(d->year);
    case ScalarKind::Month: return out.set_int(d->month);
    case ScalarKind::Day: return out.set_int(d->day);
    case ScalarKind::Hour: return out.set_int(d->hour);
    case ScalarKind::Minute: return out.set_int(d->minute);
    case ScalarKind::Second: return out.set_int(d->second);
    case ScalarKind::Week: return out.set_int(week_of_year(*d));
    case ScalarKind::DayOfWeek: return out.set_int(day_of_week(*d));
    case ScalarKind::DayOfYear: return out.set_int(day_of_year(*d));
    default: return out.set_null();
  }
}

}  // namespace

std::optional<ScalarKind> scalar_kind_from_name(std::string_view name) noexcept {
  for (const NameEntry& e : kNames) {
    if (e.name == name) return e.kind;
  }
  return std::nullopt;
}

void eval_scalar(ScalarKind kind, std::span<const Value> args, Value& out) {
  switch (kind) {
    case ScalarKind::Abs: return fn_abs(args, out);
    case ScalarKind::Length: return fn_length(args, out);
    case ScalarKind::Upper: return fn_case(args, out, true);
    case ScalarKind::Lower: return fn_case(args, out, false);
    case ScalarKind::Coalesce: return fn_coalesce(args, out);
    case ScalarKind::Typeof: return fn_typeof(args, out);
    case ScalarKind::Substr: return fn_substr(args, out);
    case ScalarKind::Round: return fn_round(args, out);
    case ScalarKind::Replace: return fn_replace(args, out);
    case ScalarKind::Trim: return fn_trim(args, out, true, true);
    case ScalarKind::Ltrim: return fn_trim(args, out, true, false);
    case ScalarKind::Rtrim: return fn_trim(args, out, false, true);
    case ScalarKind::Ifnull: return fn_ifnull(args, out);
    case ScalarKind::Nullif: return fn_nullif(args, out);
    case ScalarKind::Concat: return fn_concat(args, out);
    case ScalarKind::Year:
    case ScalarKind::Month:
    case ScalarKind::Day:
    case ScalarKind::Hour:
    case ScalarKind::Minute:
    case ScalarKind::Second:
    case ScalarKind::Week:
    case ScalarKind::DayOfWeek:
    case ScalarKind::DayOfYear: return fn_date_part(kind, args, out);
  }
  out.set_null();  // no such function number; the compiler never emits one
}

}  // namespace bkf
