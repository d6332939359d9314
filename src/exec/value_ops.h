// What the SQL operators compute on values at run time: conversion to
// numbers and text, truth, arithmetic, comparison, three-valued AND/OR/NOT,
// LIKE, CAST, column affinity, and the register type checks of the machine.
//
// Every operator is a pure function of its operands and never fails: wrong
// kinds, overflow, division by zero and unreadable text all have defined
// results. Operators write their result into a destination value, so a
// register is overwritten in place and keeps its text buffer; integer and
// real results never allocate, and numbers are turned into text in stack
// buffers. The destination may be the same object as an operand. A
// value-returning form of each is provided for callers outside hot loops.
//
// Conversions used throughout:
//   num(v)       Int as the nearest double, Real itself, Text through
//                num_from_text (longest numeric prefix), Blob 0.0.
//   text form    Int in decimal, Real in the real display format, Text
//                itself, Blob the empty text.
//   to_number(v) like num(v), but text must be a number as a whole
//                (trimmed); used by ROUND.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"
#include "exec/numeric_text.h"
#include "exec/op_kinds.h"
#include "record/compare.h"
#include "record/value.h"
#include "sql/cast_type.h"

namespace bkf {

// ---- conversions --------------------------------------------------------

// num(v); a Null reads as 0.0 (the operators handle Null before asking).
double num_value(const Value& v) noexcept;

// Int as float, Real itself, Text trimmed and read whole as a decimal float
// (0.0 when it is not one), Null and Blob 0.0.
double to_number(const Value& v) noexcept;

// The text form of a value without allocating: numbers are formatted into
// the object's own buffer, text and blobs are viewed in place (so the value
// must outlive the view). A Null or a Blob gives the empty text.
class TextForm {
 public:
  explicit TextForm(const Value& v) noexcept;
  TextForm(const TextForm&) = delete;
  TextForm& operator=(const TextForm&) = delete;
  std::string_view view() const noexcept { return view_; }

 private:
  std::string_view view_;
  char buf_[kNumberTextCapacity];
};

void append_text_form(std::string& out, const Value& v);

// ---- truth --------------------------------------------------------------

enum class Truth : std::uint8_t { False = 0, True = 1, Unknown = 2 };

// Int: non-zero; Real: not equal to 0.0 (NaN is true); Text: num_from_text
// is not 0.0 ('abc' false, '2x' true); Blob: false; Null: unknown.
Truth truth(const Value& v) noexcept;

// The test of the conditional jumps: true exactly when truth() is True.
// Numbers, what comparisons leave behind, are tested inline.
inline bool is_truthy(const Value& v) noexcept {
  if (v.is_int()) return v.int_value() != 0;
  if (v.is_real()) return v.real_value() != 0.0;
  return truth(v) == Truth::True;
}

// ---- comparison ---------------------------------------------------------

// The order the comparison operators use for two non-Null operands: a
// number against a text compares num() of both as doubles (NaN counts as
// equal); everything else follows cmp_value, so two texts compare as bytes.
Ordering compare_operands(const Value& a, const Value& b) noexcept;

// ---- operators ----------------------------------------------------------
// Results are Int 1 / Int 0 for true / false, Null for unknown.

namespace value_ops {

// Null if either side is Null; two Ints give the exact Int, or on overflow
// the Real of the operands as doubles; otherwise the Real num(a) op num(b).
void add(const Value& a, const Value& b, Value& out) noexcept;
void sub(const Value& a, const Value& b, Value& out) noexcept;
void mul(const Value& a, const Value& b, Value& out) noexcept;
// Two Ints: zero divisor Null, INT64_MIN / -1 the Real 2^63, else the
// quotient truncated toward zero. Otherwise a Blob divisor or a divisor
// whose num() is 0.0 gives Null, else the Real num(a) / num(b).
void div(const Value& a, const Value& b, Value& out) noexcept;
// As div; two Ints: divisor -1 gives 0, else the remainder with the sign of
// the dividend; otherwise the Real fmod(num(a), num(b)).
void rem(const Value& a, const Value& b, Value& out) noexcept;

void eq(const Value& a, const Value& b, Value& out) noexcept;
void ne(const Value& a, const Value& b, Value& out) noexcept;
void lt(const Value& a, const Value& b, Value& out) noexcept;
void le(const Value& a, const Value& b, Value& out) noexcept;
void gt(const Value& a, const Value& b, Value& out) noexcept;
void ge(const Value& a, const Value& b, Value& out) noexcept;

// Three-valued: AND is 0 when either side is false, 1 when both are true,
// else Null; OR is 1 when either side is true, 0 when both are false, else
// Null.
void and_(const Value& a, const Value& b, Value& out) noexcept;
void or_(const Value& a, const Value& b, Value& out) noexcept;

// Null stays Null; INT64_MIN gives the Real 2^63; a Real flips its sign bit;
// Text gives the Real -num_from_text; Blob the Real -0.0.
void neg(const Value& a, Value& out) noexcept;
// Null stays Null; otherwise 1 when the operand's numeric reading is zero
// (Int, Real, Text through num_from_text), 0 when it is not; Blob gives 1.
void not_(const Value& a, Value& out) noexcept;

}  // namespace value_ops

// The Binop and Un instructions.
void apply_bin(BinKind op, const Value& a, const Value& b, Value& out) noexcept;

// apply_bin for the operands a scan meets most, small enough to be inlined
// into the virtual machine's loop: two numbers (any operator but an integer
// result that overflows, which goes the long way to a real) and two texts
// (comparisons). Returns false, writing nothing, for anything else; where
// it answers, the answer is apply_bin's.
inline bool apply_bin_fast(BinKind op, const Value& a, const Value& b, Value& out) noexcept {
  if (a.is_int() && b.is_int()) {
    const std::int64_t x = a.int_value(), y = b.int_value();
    std::int64_t r;
    switch (op) {
      case BinKind::Add: if (__builtin_add_overflow(x, y, &r)) return false; out.set_int(r); return true;
      case BinKind::Sub: if (__builtin_sub_overflow(x, y, &r)) return false; out.set_int(r); return true;
      case BinKind::Mul: if (__builtin_mul_overflow(x, y, &r)) return false; out.set_int(r); return true;
      case BinKind::Div:
        if (y == 0) out.set_null();
        else if (y == -1) return false;  // INT64_MIN / -1 leaves the integers
        else out.set_int(x / y);
        return true;
      case BinKind::Mod:
        if (y == 0) out.set_null();
        else out.set_int(y == -1 ? 0 : x % y);
        return true;
      case BinKind::Eq: out.set_int(x == y); return true;
      case BinKind::Ne: out.set_int(x != y); return true;
      case BinKind::Lt: out.set_int(x < y); return true;
      case BinKind::Le: out.set_int(x <= y); return true;
      case BinKind::Gt: out.set_int(x > y); return true;
      case BinKind::Ge: out.set_int(x >= y); return true;
      case BinKind::And: out.set_int(x != 0 && y != 0); return true;
      case BinKind::Or: out.set_int(x != 0 || y != 0); return true;
    }
    return false;
  }
  if (a.is_number() && b.is_number()) {
    // An integer meets a real: both as doubles, as num() reads them; a NaN
    // compares equal to everything, as in cmp_value.
    const double x = a.is_int() ? static_cast<double>(a.int_value()) : a.real_value();
    const double y = b.is_int() ? static_cast<double>(b.int_value()) : b.real_value();
    switch (op) {
      case BinKind::Add: out.set_real(x + y); return true;
      case BinKind::Sub: out.set_real(x - y); return true;
      case BinKind::Mul: out.set_real(x * y); return true;
      case BinKind::Div:
        if (y == 0.0) out.set_null();
        else out.set_real(x / y);
        return true;
      case BinKind::Mod: return false;
      case BinKind::Eq: out.set_int(!(x < y) && !(x > y)); return true;
      case BinKind::Ne: out.set_int(x < y || x > y); return true;
      case BinKind::Lt: out.set_int(x < y); return true;
      case BinKind::Le: out.set_int(!(x > y)); return true;
      case BinKind::Gt: out.set_int(x > y); return true;
      case BinKind::Ge: out.set_int(!(x < y)); return true;
      case BinKind::And: out.set_int(x != 0.0 && y != 0.0); return true;
      case BinKind::Or: out.set_int(x != 0.0 || y != 0.0); return true;
    }
    return false;
  }
  if (a.is_text() && b.is_text()) {
    const int c = compare_bytes(a.bytes(), b.bytes());  // bytewise, shorter first
    switch (op) {
      case BinKind::Eq: out.set_int(c == 0); return true;
      case BinKind::Ne: out.set_int(c != 0); return true;
      case BinKind::Lt: out.set_int(c < 0); return true;
      case BinKind::Le: out.set_int(c <= 0); return true;
      case BinKind::Gt: out.set_int(c > 0); return true;
      case BinKind::Ge: out.set_int(c >= 0); return true;
      default: return false;
    }
  }
  return false;
}
void apply_un(UnKind op, const Value& a, Value& out) noexcept;

// IS NULL (IS NOT NULL when negated): always Int 1 or 0.
inline void is_null_op(const Value& a, bool negated, Value& out) noexcept {
  out.set_int((a.is_null() != negated) ? 1 : 0);
}

// ---- LIKE ---------------------------------------------------------------

// Byte-wise match with ASCII letters folded; "_" matches one byte, "%" any
// run of bytes; no escape character. One backtrack point (the latest "%"),
// so the work is at most |subject| * |pattern| steps.
bool like_match(std::string_view subject, std::string_view pattern) noexcept;

// Null when either side is Null, else Int 1 / 0 for a match on the text
// forms (inverted when negated).
void like_op(const Value& a, const Value& pattern, bool negated, Value& out) noexcept;

// ---- CAST and affinity --------------------------------------------------

// Null stays Null for every target.
// Integer: an Int stays unchanged; a Text whose longest numeric prefix is a
//   plain integer literal that fits 64 bits converts exactly; anything else
//   is num(v) truncated toward zero, saturating, NaN giving 0.
// Real: the Real num(v).
// Text: Int in decimal, Real in the real display format, Text unchanged, and
//   a Blob stays the same Blob.
void cast_value(const Value& v, CastType to, Value& out);

// Column affinity before a value is stored in a column with a numeric
// declared type; only Text is touched. Its text trimmed of Unicode white
// space becomes an Int (real clear) when it is a sign and digits that fit 64
// bits, or a Real (real set) when it is a decimal float; otherwise it stays.
void apply_affinity(Value& v, bool real);

// ---- register type checks -----------------------------------------------

// The Int payload, or Error::exec "expected an integer, found {debug form}".
Result<std::int64_t> as_int(const Value& v);
// A copy of / a view of the bytes of a Blob, or Error::exec
// "expected a record blob".
Result<std::string> as_blob(const Value& v);
Result<std::string_view> as_blob_ref(const Value& v);

// ---- value-returning forms ----------------------------------------------

inline Value apply_bin(BinKind op, const Value& a, const Value& b) {
  Value out;
  apply_bin(op, a, b, out);
  return out;
}
inline Value apply_un(UnKind op, const Value& a) {
  Value out;
  apply_un(op, a, out);
  return out;
}
inline Value like_op(const Value& a, const Value& pattern, bool negated) {
  Value out;
  like_op(a, pattern, negated, out);
  return out;
}
inline Value cast_value(const Value& v, CastType to) {
  Value out;
  cast_value(v, to, out);
  return out;
}
inline std::string text_form(const Value& v) {
  std::string out;
  append_text_form(out, v);
  return out;
}

}  // namespace bkf
