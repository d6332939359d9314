// The operand enumerations of the virtual machine's operator instructions.
// Their numbers are fixed (programs hold them). The expression compiler maps
// the syntax tree's operators to them one by one; the unary operators are
// numbered the other way round there.
#pragma once

#include <cstdint>
#include <string_view>

namespace bkf {

enum class BinKind : std::uint8_t {
  Add = 0, Sub = 1, Mul = 2, Div = 3, Mod = 4,
  Eq = 5, Ne = 6, Lt = 7, Le = 8, Gt = 9, Ge = 10,
  And = 11, Or = 12,
};

enum class UnKind : std::uint8_t { Not = 0, Neg = 1 };

// One built-in scalar function.
enum class ScalarKind : std::uint8_t {
  Abs = 0, Length = 1, Upper = 2, Lower = 3, Coalesce = 4, Typeof = 5,
  Substr = 6, Round = 7, Replace = 8, Trim = 9, Ltrim = 10, Rtrim = 11,
  Ifnull = 12, Nullif = 13, Concat = 14, Year = 15, Month = 16, Day = 17,
  Hour = 18, Minute = 19, Second = 20, Week = 21, DayOfWeek = 22, DayOfYear = 23,
};
inline constexpr int kScalarKindCount = 24;

// The enumerator names ("Add", "DayOfWeek", ...), for the debug form of
// instructions.
std::string_view bin_kind_name(BinKind k) noexcept;
std::string_view un_kind_name(UnKind k) noexcept;
std::string_view scalar_kind_name(ScalarKind k) noexcept;

}  // namespace bkf
