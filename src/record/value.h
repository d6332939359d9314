// Value: one SQL value of the engine.
//
// What a record column decodes to, what index keys are made of, and what
// registers, bound parameters, column defaults and result rows hold. Five
// kinds, numbered in this order wherever a kind number is used.
//
// Text and blob share one byte buffer so that a value reassigned in place (a
// register, a reused row) keeps its capacity: set_text/set_blob/assign do not
// allocate when the buffer is already large enough. Text is always valid
// UTF-8; the layers that create text values guarantee it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace bkf {

enum class ValueKind : std::uint8_t { Null = 0, Int = 1, Real = 2, Text = 3, Blob = 4 };

class Value {
 public:
  Value() noexcept = default;  // Null

  static Value null() { return Value(); }
  static Value integer(std::int64_t v) {
    Value x;
    x.set_int(v);
    return x;
  }
  static Value real(double v) {
    Value x;
    x.set_real(v);
    return x;
  }
  static Value text(std::string_view s) {
    Value x;
    x.set_text(s);
    return x;
  }
  static Value text(const char* s) { return text(std::string_view(s)); }
  static Value text(std::string&& s) {
    Value x;
    x.kind_ = ValueKind::Text;
    x.bytes_ = std::move(s);
    return x;
  }
  static Value blob(std::string_view b) {
    Value x;
    x.set_blob(b);
    return x;
  }
  static Value blob(const char* b) { return blob(std::string_view(b)); }
  static Value blob(std::string&& b) {
    Value x;
    x.kind_ = ValueKind::Blob;
    x.bytes_ = std::move(b);
    return x;
  }

  ValueKind kind() const noexcept { return kind_; }
  bool is_null() const noexcept { return kind_ == ValueKind::Null; }
  bool is_int() const noexcept { return kind_ == ValueKind::Int; }
  bool is_real() const noexcept { return kind_ == ValueKind::Real; }
  bool is_text() const noexcept { return kind_ == ValueKind::Text; }
  bool is_blob() const noexcept { return kind_ == ValueKind::Blob; }
  bool is_number() const noexcept { return kind_ == ValueKind::Int || kind_ == ValueKind::Real; }

  // Payload accessors; calling the wrong one for the kind is a programming error.
  std::int64_t int_value() const noexcept { return num_.i; }
  double real_value() const noexcept { return num_.r; }
  // The bytes of a text or blob (empty for other kinds: the buffer a value
  // keeps after being set to a number is not its payload).
  std::string_view bytes() const noexcept {
    return kind_ == ValueKind::Text || kind_ == ValueKind::Blob ? std::string_view(bytes_) : std::string_view();
  }
  // The buffer of a text or blob; meaningful only for those kinds.
  const std::string& bytes_string() const noexcept { return bytes_; }
  // Direct access to the byte buffer of a text or blob, for building one in
  // place; the caller keeps text valid UTF-8.
  std::string& mutable_bytes() noexcept { return bytes_; }

  // In-place setters: keep the byte buffer's capacity.
  void set_null() noexcept { kind_ = ValueKind::Null; }
  void set_int(std::int64_t v) noexcept {
    kind_ = ValueKind::Int;
    num_.i = v;
  }
  void set_real(double v) noexcept {
    kind_ = ValueKind::Real;
    num_.r = v;
  }
  void set_text(std::string_view s) {
    kind_ = ValueKind::Text;
    copy_bytes(s);
  }
  void set_blob(std::string_view b) {
    kind_ = ValueKind::Blob;
    copy_bytes(b);
  }
  // Makes this an empty text or blob whose buffer the caller then fills.
  std::string& reset_text() {
    kind_ = ValueKind::Text;
    bytes_.clear();
    return bytes_;
  }
  std::string& reset_blob() {
    kind_ = ValueKind::Blob;
    bytes_.clear();
    return bytes_;
  }
  // Copies other into this value, reusing this value's buffer.
  void assign(const Value& other) {
    kind_ = other.kind_;
    num_ = other.num_;
    if (kind_ == ValueKind::Text || kind_ == ValueKind::Blob) bytes_.assign(other.bytes_);
  }

  // Same kind and same payload, reals compared bit for bit. This is identity,
  // not SQL equality (see cmp_value in record/compare.h for the order).
  bool identical(const Value& other) const noexcept;

 private:
  // bytes_ = s, which may lie inside bytes_. Within the buffer's capacity the
  // copy is a move of the bytes (a register rewritten row after row takes
  // this path); growing first keeps s in place, shrinking waits until after.
  void copy_bytes(std::string_view s) {
    const std::size_t n = s.size();
    if (n > bytes_.capacity()) {
      bytes_.assign(s.data(), n);
      return;
    }
    const char* src = s.data();
    if (n > bytes_.size()) bytes_.resize(n);
    if (n != 0) std::memmove(bytes_.data(), src, n);
    if (n < bytes_.size()) bytes_.resize(n);
  }

  ValueKind kind_ = ValueKind::Null;
  union Num {
    std::int64_t i;
    double r;
  } num_{0};
  std::string bytes_;
};

// The diagnostic (debug) form used in messages that show a value:
// Null, Int(-5), Real(2.0), Text("a\"b"), Blob([1, 2]).
std::string value_debug(const Value& v);
void append_value_debug(std::string& out, const Value& v);

// The shortest decimal digits that read back as the same finite double, from
// std::to_chars (never locale-dependent): digits holds 1..17 significant
// digits without trailing zeros (just "0" for zero; not NUL-terminated) and
// the magnitude is d1.d2d3... * 10^exponent; negative is the sign bit (so
// -0.0 is negative). NaN and infinities give no digits (ndigits 0).
struct ShortestDecimal {
  char digits[24];
  int ndigits;
  int exponent;  // decimal exponent of the first digit
  bool negative;
};
ShortestDecimal shortest_decimal(double v);

// The debug layout of a real: "1.0", "0.5", "1e16", "1.5e-5", "NaN", "inf",
// "-inf", "-0.0". Positional for 1e-4 <= |x| < 1e16, exponent form otherwise.
void append_real_debug(std::string& out, double v);

}  // namespace bkf
