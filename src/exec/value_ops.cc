#include "exec/value_ops.h"

#include <cmath>

#include "base/ascii.h"
#include "exec/unicode.h"

namespace bkf {

namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;

inline double int_as_double(std::int64_t v) { return static_cast<double>(v); }

inline Ordering cmp_doubles(double a, double b) {
  if (a < b) return Ordering::Less;
  if (a > b) return Ordering::Greater;
  return Ordering::Equal;  // equal, or either side NaN
}

// Shared shape of +, - and *: exact on two integers, reals otherwise.
template <class Checked, class OnReals>
inline void arith(const Value& a, const Value& b, Value& out, Checked checked, OnReals on_reals) {
  if (a.is_null() || b.is_null()) {
    out.set_null();
    return;
  }
  if (a.is_int() && b.is_int()) {
    std::int64_t r;
    if (!checked(a.int_value(), b.int_value(), &r)) {
      out.set_int(r);
    } else {
      out.set_real(on_reals(int_as_double(a.int_value()), int_as_double(b.int_value())));
    }
    return;
  }
  out.set_real(on_reals(num_value(a), num_value(b)));
}

// Shared shape of / and %: Null for a Null operand or a zero divisor (one
// whose num_value is 0.0, which every Blob has); on_ints gets two Ints with
// a nonzero divisor, on_reals the numeric values otherwise.
template <class OnInts, class OnReals>
inline void divide(const Value& a, const Value& b, Value& out, OnInts on_ints, OnReals on_reals) {
  if (a.is_null() || b.is_null()) return out.set_null();
  if (a.is_int() && b.is_int()) {
    if (b.int_value() == 0) return out.set_null();
    return on_ints(a.int_value(), b.int_value(), out);
  }
  const double y = num_value(b);
  if (y == 0.0) return out.set_null();
  out.set_real(on_reals(num_value(a), y));
}

inline void set_bool(Value& out, bool v) { out.set_int(v ? 1 : 0); }

// Shared shape of the six comparisons.
template <class Test>
inline void compare_op(const Value& a, const Value& b, Value& out, Test test) {
  if (a.is_null() || b.is_null()) {
    out.set_null();
    return;
  }
  set_bool(out, test(compare_operands(a, b)));
}

// Copies v into out unless they are the same object.
inline void copy_into(Value& out, const Value& v) {
  if (&out != &v) out.assign(v);
}

}  // namespace

// ---- conversions --------------------------------------------------------

namespace {

// The numeric value of a number; a text read by `from_text`; 0.0 otherwise.
template <class FromText>
inline double number_of(const Value& v, FromText from_text) noexcept {
  switch (v.kind()) {
    case ValueKind::Int: return int_as_double(v.int_value());
    case ValueKind::Real: return v.real_value();
    case ValueKind::Text: return from_text(v.bytes());
    case ValueKind::Null:
    case ValueKind::Blob: break;
  }
  return 0.0;
}

}  // namespace

double num_value(const Value& v) noexcept { return number_of(v, num_from_text); }

double to_number(const Value& v) noexcept {
  return number_of(v, [](std::string_view t) { return parse_decimal_float(trim_white_space(t)).value_or(0.0); });
}

TextForm::TextForm(const Value& v) noexcept {
  switch (v.kind()) {
    case ValueKind::Int: view_ = std::string_view(buf_, format_int(v.int_value(), buf_)); break;
    case ValueKind::Real:
      view_ = std::string_view(buf_, format_real_display(v.real_value(), buf_));
      break;
    case ValueKind::Text: view_ = v.bytes(); break;
    case ValueKind::Null:
    case ValueKind::Blob: break;
  }
}

void append_text_form(std::string& out, const Value& v) { out.append(TextForm(v).view()); }

// ---- truth and comparison -----------------------------------------------

Truth truth(const Value& v) noexcept {
  switch (v.kind()) {
    case ValueKind::Null: return Truth::Unknown;
    case ValueKind::Int: return v.int_value() != 0 ? Truth::True : Truth::False;
    case ValueKind::Real: return v.real_value() != 0.0 ? Truth::True : Truth::False;
    case ValueKind::Text: return num_from_text(v.bytes()) != 0.0 ? Truth::True : Truth::False;
    case ValueKind::Blob: return Truth::False;
  }
  return Truth::False;
}

Ordering compare_operands(const Value& a, const Value& b) noexcept {
  if (a.is_number() && b.is_text()) return cmp_doubles(num_value(a), num_from_text(b.bytes()));
  if (a.is_text() && b.is_number()) return cmp_doubles(num_from_text(a.bytes()), num_value(b));
  return cmp_value(a, b);
}

// ---- operators ----------------------------------------------------------

namespace value_ops {

void add(const Value& a, const Value& b, Value& out) noexcept {
  arith(
      a, b, out, [](std::int64_t x, std::int64_t y, std::int64_t* r) { return __builtin_add_overflow(x, y, r); },
      [](double x, double y) { return x + y; });
}

void sub(const Value& a, const Value& b, Value& out) noexcept {
  arith(
      a, b, out, [](std::int64_t x, std::int64_t y, std::int64_t* r) { return __builtin_sub_overflow(x, y, r); },
      [](double x, double y) { return x - y; });
}

void mul(const Value& a, const Value& b, Value& out) noexcept {
  arith(
      a, b, out, [](std::int64_t x, std::int64_t y, std::int64_t* r) { return __builtin_mul_overflow(x, y, r); },
      [](double x, double y) { return x * y; });
}

void div(const Value& a, const Value& b, Value& out) noexcept {
  divide(a, b, out, [](std::int64_t x, std::int64_t y, Value& o) {
    if (y == -1 && x == INT64_MIN) o.set_real(kTwoTo63);
    else o.set_int(x / y);
  }, [](double x, double y) { return x / y; });
}

void rem(const Value& a, const Value& b, Value& out) noexcept {
  divide(a, b, out, [](std::int64_t x, std::int64_t y, Value& o) {
    o.set_int(y == -1 ? 0 : x % y);  // -1 also for INT64_MIN, whose quotient would overflow
  }, [](double x, double y) { return std::fmod(x, y); });
}

void eq(const Value& a, const Value& b, Value& out) noexcept {
  compare_op(a, b, out, [](Ordering o) { return o == Ordering::Equal; });
}
void ne(const Value& a, const Value& b, Value& out) noexcept {
  compare_op(a, b, out, [](Ordering o) { return o != Ordering::Equal; });
}
void lt(const Value& a, const Value& b, Value& out) noexcept {
  compare_op(a, b, out, [](Ordering o) { return o == Ordering::Less; });
}
void le(const Value& a, const Value& b, Value& out) noexcept {
  compare_op(a, b, out, [](Ordering o) { return o != Ordering::Greater; });
}
void gt(const Value& a, const Value& b, Value& out) noexcept {
  compare_op(a, b, out, [](Ordering o) { return o == Ordering::Greater; });
}
void ge(const Value& a, const Value& b, Value& out) noexcept {
  compare_op(a, b, out, [](Ordering o) { return o != Ordering::Less; });
}

void and_(const Value& a, const Value& b, Value& out) noexcept {
  Truth x = truth(a), y = truth(b);
  if (x == Truth::False || y == Truth::False) {
    out.set_int(0);
  } else if (x == Truth::True && y == Truth::True) {
    out.set_int(1);
  } else {
    out.set_null();
  }
}

void or_(const Value& a, const Value& b, Value& out) noexcept {
  Truth x = truth(a), y = truth(b);
  if (x == Truth::True || y == Truth::True) {
    out.set_int(1);
  } else if (x == Truth::False && y == Truth::False) {
    out.set_int(0);
  } else {
    out.set_null();
  }
}

void neg(const Value& a, Value& out) noexcept {
  switch (a.kind()) {
    case ValueKind::Null: out.set_null(); return;
    case ValueKind::Int:
      if (a.int_value() == INT64_MIN) {
        out.set_real(kTwoTo63);
      } else {
        out.set_int(-a.int_value());
      }
      return;
    case ValueKind::Real: out.set_real(-a.real_value()); return;
    case ValueKind::Text: out.set_real(-num_from_text(a.bytes())); return;
    case ValueKind::Blob: out.set_real(-0.0); return;
  }
}

void not_(const Value& a, Value& out) noexcept {
  switch (a.kind()) {
    case ValueKind::Null: out.set_null(); return;
    case ValueKind::Int: set_bool(out, a.int_value() == 0); return;
    case ValueKind::Real: set_bool(out, a.real_value() == 0.0); return;
    case ValueKind::Text: set_bool(out, num_from_text(a.bytes()) == 0.0); return;
    case ValueKind::Blob: out.set_int(1); return;
  }
}

}  // namespace value_ops

void apply_bin(BinKind op, const Value& a, const Value& b, Value& out) noexcept {
  switch (op) {
    case BinKind::Add: value_ops::add(a, b, out); return;
    case BinKind::Sub: value_ops::sub(a, b, out); return;
    case BinKind::Mul: value_ops::mul(a, b, out); return;
    case BinKind::Div: value_ops::div(a, b, out); return;
    case BinKind::Mod: value_ops::rem(a, b, out); return;
    case BinKind::Eq: value_ops::eq(a, b, out); return;
    case BinKind::Ne: value_ops::ne(a, b, out); return;
    case BinKind::Lt: value_ops::lt(a, b, out); return;
    case BinKind::Le: value_ops::le(a, b, out); return;
    case BinKind::Gt: value_ops::gt(a, b, out); return;
    case BinKind::Ge: value_ops::ge(a, b, out); return;
    case BinKind::And: value_ops::and_(a, b, out); return;
    case BinKind::Or: value_ops::or_(a, b, out); return;
  }
  out.set_null();  // no such operator number; the compiler never emits one
}

void apply_un(UnKind op, const Value& a, Value& out) noexcept {
  if (op == UnKind::Neg) {
    value_ops::neg(a, out);
  } else {
    value_ops::not_(a, out);
  }
}

// ---- LIKE ---------------------------------------------------------------

bool like_match(std::string_view s, std::string_view p) noexcept {
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t si = 0, pi = 0;
  std::size_t star_pi = kNone, star_si = 0;
  while (si < s.size()) {
    if (pi < p.size()) {
      char pc = p[pi];
      if (pc == '%') {
        star_pi = pi++;
        star_si = si;
        continue;
      }
      if (pc == '_' || ascii_lower(pc) == ascii_lower(s[si])) {
        ++pi;
        ++si;
        continue;
      }
    }
    if (star_pi == kNone) return false;
    pi = star_pi + 1;
    si = ++star_si;
  }
  while (pi < p.size() && p[pi] == '%') ++pi;
  return pi == p.size();
}

void like_op(const Value& a, const Value& pattern, bool negated, Value& out) noexcept {
  if (a.is_null() || pattern.is_null()) {
    out.set_null();
    return;
  }
  TextForm subject(a), pat(pattern);
  set_bool(out, like_match(subject.view(), pat.view()) != negated);
}

// ---- CAST and affinity --------------------------------------------------

namespace {

std::int64_t text_to_integer(std::string_view s) {
  std::string_view t = trim_white_space(s);
  NumericPrefix p = scan_numeric_prefix(t);
  if (p.len == 0) return 0;
  std::string_view number = t.substr(0, p.len);
  if (p.integer) {
    // Exact when it fits: going through a double would change large ids.
    if (auto v = parse_i64(number)) return *v;
  }
  return saturating_i64(decimal_float_value(number));
}

}  // namespace

void cast_value(const Value& v, CastType to, Value& out) {
  if (v.is_null()) {
    out.set_null();
    return;
  }
  switch (to) {
    case CastType::Integer:
      switch (v.kind()) {
        case ValueKind::Int: out.set_int(v.int_value()); return;
        case ValueKind::Real: out.set_int(saturating_i64(v.real_value())); return;
        case ValueKind::Text: out.set_int(text_to_integer(v.bytes())); return;
        default: out.set_int(0); return;
      }
    case CastType::Real: out.set_real(num_value(v)); return;
    case CastType::Text:
      if (v.is_number()) {
        TextForm t(v);
        out.set_text(t.view());
      } else {
        copy_into(out, v);
      }
      return;
  }
  copy_into(out, v);  // no such target number; the parser never makes one
}

void apply_affinity(Value& v, bool real) {
  if (!v.is_text()) return;
  std::string_view t = trim_white_space(v.bytes());
  if (real) {
    if (auto d = parse_decimal_float(t)) v.set_real(*d);
  } else {
    if (auto i = parse_i64(t)) v.set_int(*i);
  }
}

// ---- register type checks -----------------------------------------------

Result<std::int64_t> as_int(const Value& v) {
  if (v.is_int()) return v.int_value();
  std::string msg = "expected an integer, found ";
  append_value_debug(msg, v);
  return Error::exec(msg);
}

Result<std::string> as_blob(const Value& v) {
  if (v.is_blob()) return v.bytes_string();
  return Error::exec("expected a record blob");
}

Result<std::string_view> as_blob_ref(const Value& v) {
  if (v.is_blob()) return v.bytes();
  return Error::exec("expected a record blob");
}

}  // namespace bkf
