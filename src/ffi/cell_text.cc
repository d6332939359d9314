#include "ffi/cell_text.h"

#include <cmath>
#include <cstdint>

#include "exec/numeric_text.h"
#include "exec/value_ops.h"
#include "record/utf8.h"

namespace bkf::ffi {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Reals up to this magnitude that have no fractional part read as integers.
constexpr double kIntegralTextLimit = 1e15;

void append_real_text(std::string& out, double x) {
  char buf[kNumberTextCapacity];
  if (std::isfinite(x) && std::trunc(x) == x && std::fabs(x) < kIntegralTextLimit) {
    out.append(buf, format_int(static_cast<std::int64_t>(x), buf));
  } else {
    out.append(buf, format_real_display(x, buf));
  }
}

}  // namespace

void append_utf8_lossy(std::string& out, std::string_view in) {
  if (is_valid_utf8(in)) {
    out.append(in);
    return;
  }
  for (std::size_t i = 0; i < in.size();) {
    const Utf8Step step = utf8_step(in, i);
    if (step.complete) out.append(in.substr(i, step.length));
    else out.append(kReplacement);
    i += step.length;
  }
}

void cell_text(const Value& v, std::string& out) {
  out.clear();
  if (v.is_real()) append_real_text(out, v.real_value());
  else if (v.is_blob()) append_utf8_lossy(out, v.bytes());
  else append_text_form(out, v);  // Int in decimal, Text as it is
}

}  // namespace bkf::ffi
