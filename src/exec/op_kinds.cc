#include "exec/op_kinds.h"

#include <iterator>

namespace bkf {

std::string_view bin_kind_name(BinKind k) noexcept {
  static constexpr std::string_view kNames[] = {"Add", "Sub", "Mul", "Div", "Mod", "Eq", "Ne",
                                                "Lt",  "Le",  "Gt",  "Ge",  "And", "Or"};
  auto i = static_cast<std::size_t>(k);
  return i < std::size(kNames) ? kNames[i] : "?";
}

std::string_view un_kind_name(UnKind k) noexcept {
  return k == UnKind::Not ? "Not" : k == UnKind::Neg ? "Neg" : "?";
}

std::string_view scalar_kind_name(ScalarKind k) noexcept {
  static constexpr std::string_view kNames[kScalarKindCount] = {
      "Abs",    "Length", "Upper",  "Lower", "Coalesce", "Typeof", "Substr", "Round",
      "Replace", "Trim",  "Ltrim",  "Rtrim", "Ifnull",   "Nullif", "Concat", "Year",
      "Month",  "Day",    "Hour",   "Minute", "Second",  "Week",   "DayOfWeek", "DayOfYear"};
  auto i = static_cast<std::size_t>(k);
  return i < std::size(kNames) ? kNames[i] : "?";
}

}  // namespace bkf
