#include "exec/scalar_funcs.h"

#include <gtest/gtest.h>

#include <vector>

#include "value_testing.h"

namespace bkf {
namespace {

using namespace bkf::testing;

constexpr double k2p63 = 9223372036854775808.0;

struct Case {
  ScalarKind kind;
  std::vector<Value> args;
  Value want;
};

void run_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    Value out = T("stale register contents");
    eval_scalar(c.kind, c.args, out);
    std::string call(scalar_kind_name(c.kind));
    call += "(";
    for (std::size_t i = 0; i < c.args.size(); ++i) call += (i ? ", " : "") + value_debug(c.args[i]);
    call += ")";
    EXPECT_TRUE(same_value(out, c.want)) << call;
  }
}

TEST(ScalarNameTest, EveryNameAndNothingElse) {
  const std::pair<const char*, ScalarKind> names[] = {
      {"ABS", ScalarKind::Abs},           {"LENGTH", ScalarKind::Length},
      {"CHAR_LENGTH", ScalarKind::Length}, {"CHARACTER_LENGTH", ScalarKind::Length},
      {"UPPER", ScalarKind::Upper},       {"UCASE", ScalarKind::Upper},
      {"LOWER", ScalarKind::Lower},       {"LCASE", ScalarKind::Lower},
      {"COALESCE", ScalarKind::Coalesce}, {"TYPEOF", ScalarKind::Typeof},
      {"SUBSTR", ScalarKind::Substr},     {"SUBSTRING", ScalarKind::Substr},
      {"ROUND", ScalarKind::Round},       {"REPLACE", ScalarKind::Replace},
      {"TRIM", ScalarKind::Trim},         {"LTRIM", ScalarKind::Ltrim},
      {"RTRIM", ScalarKind::Rtrim},       {"IFNULL", ScalarKind::Ifnull},
      {"NULLIF", ScalarKind::Nullif},     {"CONCAT", ScalarKind::Concat},
      {"YEAR", ScalarKind::Year},         {"MONTH", ScalarKind::Month},
      {"DAY", ScalarKind::Day},           {"DAYOFMONTH", ScalarKind::Day},
      {"HOUR", ScalarKind::Hour},         {"MINUTE", ScalarKind::Minute},
      {"SECOND", ScalarKind::Second},     {"WEEK", ScalarKind::Week},
      {"WEEKOFYEAR", ScalarKind::Week},   {"DAYOFWEEK", ScalarKind::DayOfWeek},
      {"DAYOFYEAR", ScalarKind::DayOfYear},
  };
  for (const auto& [name, kind] : names) EXPECT_EQ(scalar_kind_from_name(name), kind) << name;
  for (const char* name : {"upper", "Upper", "FOO", "VALUES", "", "ABS ", "UPPERX", "COUNT", "SUM"}) {
    EXPECT_FALSE(scalar_kind_from_name(name).has_value()) << name;
  }
  Error e = unknown_function_error("FOO");
  EXPECT_EQ(e.kind(), ErrorKind::Exec);
  EXPECT_EQ(e.message(), "unknown function FOO");
  // The numbering is fixed: programs carry the byte.
  EXPECT_EQ(static_cast<int>(ScalarKind::DayOfYear), 23);
  EXPECT_EQ(static_cast<int>(BinKind::Or), 12);
  EXPECT_EQ(static_cast<int>(UnKind::Neg), 1);
}

TEST(StringFunctionTest, LengthTypeofConcat) {
  run_cases({
      {ScalarKind::Length, {}, N()},
      {ScalarKind::Length, {N()}, N()},
      {ScalarKind::Length, {T("h\xc3\xa9llo")}, I(5)},
      {ScalarKind::Length, {B("\x01\x02")}, I(2)},
      {ScalarKind::Length, {I(-12)}, I(3)},
      {ScalarKind::Length, {R(1.5)}, I(3)},
      {ScalarKind::Length, {R(2.0)}, I(1)},
      {ScalarKind::Length, {R(1e20)}, I(21)},
      {ScalarKind::Length, {T("ab"), T("extra")}, I(2)},
      {ScalarKind::Typeof, {}, T("null")},
      {ScalarKind::Typeof, {N()}, T("null")},
      {ScalarKind::Typeof, {I(1), T("extra")}, T("integer")},
      {ScalarKind::Typeof, {R(1)}, T("real")},
      {ScalarKind::Typeof, {T("")}, T("text")},
      {ScalarKind::Typeof, {B("")}, T("blob")},
      {ScalarKind::Concat, {}, T("")},
      {ScalarKind::Concat, {T("a"), I(1), R(2.0), N()}, N()},
      {ScalarKind::Concat, {T("a"), I(1), R(2.0)}, T("a12")},
      {ScalarKind::Concat, {T("a"), B("\x41")}, T("a")},
      {ScalarKind::Concat, {R(-0.0), R(0.5)}, T("-00.5")},
  });
}

TEST(StringFunctionTest, UnicodeCaseMapping) {
  run_cases({
      {ScalarKind::Upper, {}, N()},
      {ScalarKind::Upper, {N()}, N()},
      {ScalarKind::Upper, {I(12)}, I(12)},
      {ScalarKind::Upper, {R(1.5)}, R(1.5)},
      {ScalarKind::Upper, {B("ab")}, B("ab")},
      {ScalarKind::Upper, {T("abc"), T("extra")}, T("ABC")},
      {ScalarKind::Upper, {T("\xc3\x9f")}, T("SS")},                      // ß
      {ScalarKind::Upper, {T("stra\xc3\x9f" "e")}, T("STRASSE")},
      {ScalarKind::Upper, {T("\xc7\x86")}, T("\xc7\x84")},                // ǆ -> Ǆ
      {ScalarKind::Upper, {T("\xc7\x85")}, T("\xc7\x84")},                // ǅ -> Ǆ
      {ScalarKind::Upper, {T("\xef\xac\x81")}, T("FI")},                  // ﬁ ligature
      {ScalarKind::Upper, {T("\xce\x90")}, T("\xce\x99\xcc\x88\xcc\x81")},  // ΐ: three code points
      {ScalarKind::Upper, {T("\xc4\xb1")}, T("I")},                       // dotless i
      {ScalarKind::Upper, {T("\xc2\xb5")}, T("\xce\x9c")},                // micro sign
      {ScalarKind::Upper, {T("\xf0\x90\x90\xa8")}, T("\xf0\x90\x90\x80")},  // Deseret, 4-byte
      {ScalarKind::Upper, {T("\xff" "a\xc3")}, T("\xff" "A\xc3")},        // malformed bytes pass through
      {ScalarKind::Lower, {}, N()},
      {ScalarKind::Lower, {I(7)}, I(7)},
      {ScalarKind::Lower, {T("ABC")}, T("abc")},
      {ScalarKind::Lower, {T("\xc4\xb0")}, T("i\xcc\x87")},               // İ -> i + combining dot
      {ScalarKind::Lower, {T("\xc7\x85")}, T("\xc7\x86")},                // ǅ -> ǆ
      {ScalarKind::Lower, {T("\xe1\xba\x9e")}, T("\xc3\x9f")},            // capital sharp s
      {ScalarKind::Lower, {T("\xe2\x84\xaa")}, T("k")},                   // Kelvin sign
      // Final sigma: Σ after a cased letter and not before one.
      {ScalarKind::Lower, {T("\xce\x9f\xce\x94\xce\x9f\xce\xa3")}, T("\xce\xbf\xce\xb4\xce\xbf\xcf\x82")},
      {ScalarKind::Lower, {T("\xce\xa3\xce\x91\xce\xa3")}, T("\xcf\x83\xce\xb1\xcf\x82")},
      {ScalarKind::Lower, {T("\xce\xa3")}, T("\xcf\x83")},
      {ScalarKind::Lower, {T("1\xce\xa3")}, T("1\xcf\x83")},
      {ScalarKind::Lower, {T("\xce\x91\xce\xa3 \xce\x92")}, T("\xce\xb1\xcf\x82 \xce\xb2")},
      {ScalarKind::Lower, {T("\xce\x91\xce\xa3.")}, T("\xce\xb1\xcf\x82.")},
      {ScalarKind::Lower, {T("\xce\x91.\xce\xa3")}, T("\xce\xb1.\xcf\x82")},
      {ScalarKind::Lower, {T("\xce\x91\xcc\x81\xce\xa3")}, T("\xce\xb1\xcc\x81\xcf\x82")},
      {ScalarKind::Lower, {T("\xce\x91\xce\xa3\xcc\x81\xce\x92")}, T("\xce\xb1\xcf\x83\xcc\x81\xce\xb2")},
      {ScalarKind::Lower, {T("\xce\x91\xce\xa3'\xce\x92")}, T("\xce\xb1\xcf\x83'\xce\xb2")},
  });
}

TEST(StringFunctionTest, Substr) {
  run_cases({
      {ScalarKind::Substr, {}, N()},
      {ScalarKind::Substr, {N(), I(1)}, N()},
      {ScalarKind::Substr, {T("hello")}, T("hello")},
      {ScalarKind::Substr, {T("hello"), I(2)}, T("ello")},
      {ScalarKind::Substr, {T("hello"), I(0)}, T("hello")},
      {ScalarKind::Substr, {T("hello"), I(-10)}, T("hello")},
      {ScalarKind::Substr, {T("hello"), I(-3)}, T("llo")},
      {ScalarKind::Substr, {T("hello"), I(-3), I(2)}, T("ll")},
      {ScalarKind::Substr, {T("hello"), I(10)}, T("")},
      {ScalarKind::Substr, {T("hello"), I(2), I(-1)}, T("")},
      {ScalarKind::Substr, {T("hello"), R(2.9), I(2)}, T("el")},
      {ScalarKind::Substr, {T("hello"), T("2")}, T("hello")},
      {ScalarKind::Substr, {T("hello"), N(), I(2)}, T("he")},
      {ScalarKind::Substr, {T("hello"), I(2), N()}, T("ello")},
      {ScalarKind::Substr, {T("hello"), I(2), B("\x01")}, T("ello")},
      {ScalarKind::Substr, {I(12345), I(2), I(2)}, T("23")},
      {ScalarKind::Substr, {R(1.5), I(2)}, T(".5")},
      {ScalarKind::Substr, {B("abc"), I(1)}, T("")},
      {ScalarKind::Substr, {T("h\xc3\xa9llo"), I(2), I(3)}, T("\xc3\xa9ll")},
      {ScalarKind::Substr, {T("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e"), I(-2)}, T("\xe6\x9c\xac\xe8\xaa\x9e")},
      // Extreme positions and lengths: no overflow, just clamping.
      {ScalarKind::Substr, {T("hello"), I(kMin)}, T("hello")},
      {ScalarKind::Substr, {T("hello"), I(kMax)}, T("")},
      {ScalarKind::Substr, {T("hello"), I(2), I(kMax)}, T("ello")},
      {ScalarKind::Substr, {T("hello"), I(-3), I(kMax)}, T("llo")},
      {ScalarKind::Substr, {T("hello"), I(kMin), I(kMax)}, T("hello")},
      {ScalarKind::Substr, {T("hello"), I(1), I(kMin)}, T("")},
      {ScalarKind::Substr, {T("hello"), R(1e300), I(1)}, T("")},
      {ScalarKind::Substr, {T("hello"), R(-1e300), I(2)}, T("he")},
      {ScalarKind::Substr, {T("hello"), R(kNaN), R(kInf)}, T("hello")},
      {ScalarKind::Substr, {T("hello"), I(1), I(2), T("extra")}, T("he")},
  });
}

TEST(StringFunctionTest, ReplaceAndTrim) {
  run_cases({
      {ScalarKind::Replace, {}, N()},
      {ScalarKind::Replace, {N(), T("a"), T("b")}, N()},
      {ScalarKind::Replace, {T("aaa"), T("aa"), T("b")}, T("ba")},
      {ScalarKind::Replace, {T("abc"), T(""), T("x")}, T("abc")},
      {ScalarKind::Replace, {T("abc"), N(), T("x")}, T("abc")},
      {ScalarKind::Replace, {T("abc"), T("b"), N()}, T("abc")},
      {ScalarKind::Replace, {T("abc")}, T("abc")},
      {ScalarKind::Replace, {T("abc"), T("b")}, T("abc")},
      {ScalarKind::Replace, {I(123), I(2), I(9)}, T("193")},
      {ScalarKind::Replace, {I(5), N(), N()}, T("5")},
      {ScalarKind::Replace, {B("a"), T("a"), T("b")}, T("")},
      {ScalarKind::Replace, {T("abc"), B("b"), T("z")}, T("abc")},
      {ScalarKind::Replace, {T("aXa"), T("a"), R(1.5)}, T("1.5X1.5")},
      {ScalarKind::Replace, {T("abab"), T("ab"), T(""), T("extra")}, T("")},
      {ScalarKind::Trim, {}, N()},
      {ScalarKind::Trim, {N()}, N()},
      {ScalarKind::Trim, {T("  a  ")}, T("a")},
      {ScalarKind::Trim, {T(" \t\r\na b\n")}, T("a b")},
      {ScalarKind::Trim, {T("\xc2\xa0" "a\xc2\xa0")}, T("\xc2\xa0" "a\xc2\xa0")},  // default set is ASCII
      {ScalarKind::Trim, {T("xxaxx"), T("x")}, T("a")},
      {ScalarKind::Ltrim, {T("xxaxx"), T("x")}, T("axx")},
      {ScalarKind::Rtrim, {T("xxaxx"), T("x")}, T("xxa")},
      {ScalarKind::Ltrim, {T("  a  ")}, T("a  ")},
      {ScalarKind::Rtrim, {T("  a  ")}, T("  a")},
      {ScalarKind::Trim, {T("abcba"), T("ab")}, T("c")},
      {ScalarKind::Trim, {T("xxx"), T("x")}, T("")},
      {ScalarKind::Trim, {T(" a "), N()}, T("a")},
      {ScalarKind::Trim, {T(" a "), B(" ")}, T(" a ")},
      {ScalarKind::Trim, {R(12.50)}, T("12.5")},
      {ScalarKind::Trim, {I(1200), I(0)}, T("12")},
      {ScalarKind::Trim, {B("  ")}, T("")},
      {ScalarKind::Trim, {T("\xc3\xa9\xc3\xa9" "a\xc3\xa9"), T("\xc3\xa9")}, T("a")},
      {ScalarKind::Rtrim, {T("a\xc3\xa9\xc3\xa8"), T("\xc3\xa8\xc3\xa9z")}, T("a")},
      {ScalarKind::Rtrim, {T("\xe2\x80 ")}, T("\xe2\x80")},  // a cut-off sequence is kept whole
      {ScalarKind::Ltrim, {T("ab"), T("a"), T("extra")}, T("b")},
  });
}

TEST(NumericFunctionTest, AbsAndRound) {
  run_cases({
      {ScalarKind::Abs, {}, N()},
      {ScalarKind::Abs, {I(-3)}, I(3)},
      {ScalarKind::Abs, {R(-2.5)}, R(2.5)},
      {ScalarKind::Abs, {R(-0.0)}, R(0.0)},
      {ScalarKind::Abs, {N()}, N()},
      {ScalarKind::Abs, {T("x")}, N()},
      {ScalarKind::Abs, {T("-5")}, N()},
      {ScalarKind::Abs, {B("\x01")}, N()},
      {ScalarKind::Abs, {I(kMin)}, R(k2p63)},
      {ScalarKind::Abs, {I(kMax), I(1)}, I(kMax)},
      {ScalarKind::Round, {}, N()},
      {ScalarKind::Round, {N()}, N()},
      {ScalarKind::Round, {R(1234.5678), I(2)}, R(1234.57)},
      {ScalarKind::Round, {I(5)}, R(5.0)},
      {ScalarKind::Round, {R(2.5), I(-1)}, R(3.0)},
      {ScalarKind::Round, {R(-2.5)}, R(-3.0)},
      {ScalarKind::Round, {R(1.005), I(2)}, R(1.0)},
      {ScalarKind::Round, {T("2.5")}, R(3.0)},
      {ScalarKind::Round, {T(" 2.5 ")}, R(3.0)},
      {ScalarKind::Round, {T("2.5x")}, R(0.0)},
      {ScalarKind::Round, {T("abc")}, R(0.0)},
      {ScalarKind::Round, {B("\x01")}, R(0.0)},
      {ScalarKind::Round, {R(1.25), R(1.0)}, R(1.0)},
      {ScalarKind::Round, {R(1.25), T("1")}, R(1.0)},
      {ScalarKind::Round, {R(1.5), N()}, R(2.0)},
      {ScalarKind::Round, {R(123.456), I(4294967298)}, R(123.46)},  // low 32 bits: 2
      {ScalarKind::Round, {R(123.456), I(-1)}, R(123.0)},
      {ScalarKind::Round, {R(1.5), I(1), T("extra")}, R(1.5)},
      // Never NaN or infinity from a finite number.
      {ScalarKind::Round, {R(1.5), I(400)}, R(1.5)},
      {ScalarKind::Round, {R(1234.5678), I(2147483647)}, R(1234.5678)},
      {ScalarKind::Round, {R(1e300), I(10)}, R(1e300)},
      {ScalarKind::Round, {R(5e-324), I(400)}, R(5e-324)},
      {ScalarKind::Round, {I(9007199254740993)}, R(9007199254740992.0)},
      {ScalarKind::Round, {R(4503599627370495.5)}, R(4503599627370496.0)},
      {ScalarKind::Round, {R(0.1234567), I(22)}, R(0.1234567)},
      {ScalarKind::Round, {R(kNaN), I(2)}, R(kNaN)},
      {ScalarKind::Round, {T("-inf")}, R(-kInf)},
  });
}

TEST(NullFunctionTest, CoalesceIfnullNullif) {
  run_cases({
      {ScalarKind::Coalesce, {}, N()},
      {ScalarKind::Coalesce, {N(), N(), I(3), I(4)}, I(3)},
      {ScalarKind::Coalesce, {N(), N()}, N()},
      {ScalarKind::Coalesce, {N(), B("b")}, B("b")},
      {ScalarKind::Ifnull, {}, N()},
      {ScalarKind::Ifnull, {N()}, N()},
      {ScalarKind::Ifnull, {N(), T("x")}, T("x")},
      {ScalarKind::Ifnull, {I(1), T("x"), T("extra")}, I(1)},
      {ScalarKind::Ifnull, {I(1)}, I(1)},
      {ScalarKind::Nullif, {}, N()},
      {ScalarKind::Nullif, {I(1)}, I(1)},
      {ScalarKind::Nullif, {N(), I(1)}, N()},
      {ScalarKind::Nullif, {I(2), I(2)}, N()},
      {ScalarKind::Nullif, {I(2), I(3)}, I(2)},
      {ScalarKind::Nullif, {I(1), T("1")}, N()},
      {ScalarKind::Nullif, {T("abc"), I(0)}, N()},
      {ScalarKind::Nullif, {T("a"), T("A")}, T("a")},
      {ScalarKind::Nullif, {I(1), N()}, I(1)},
      {ScalarKind::Nullif, {R(2.0), I(2), T("extra")}, N()},
  });
}

TEST(DateFunctionTest, PartsAndCalendar) {
  run_cases({
      {ScalarKind::Year, {}, N()},
      {ScalarKind::Year, {N()}, N()},
      {ScalarKind::Year, {T("2024-05-06")}, I(2024)},
      {ScalarKind::Year, {T(" 2024-05-06\xe2\x80\x83")}, I(2024)},
      {ScalarKind::Year, {T("+2024-1-2")}, I(2024)},
      {ScalarKind::Year, {I(20240506)}, N()},
      {ScalarKind::Year, {B("2024-05-06")}, N()},
      {ScalarKind::Year, {T("-5-01-01")}, N()},
      {ScalarKind::Year, {T("2024-05-06-99")}, I(2024)},
      {ScalarKind::Year, {T("2024-05-06x")}, N()},
      {ScalarKind::Year, {T("2024-05-06"), T("extra")}, I(2024)},
      {ScalarKind::Month, {T("2024-13-45")}, I(13)},
      {ScalarKind::Day, {T("2024-13-45")}, I(45)},
      {ScalarKind::Day, {T("2024-05")}, N()},
      {ScalarKind::Hour, {T("2024-05-06 07:08:09")}, I(7)},
      {ScalarKind::Hour, {T("07:08:09")}, N()},
      {ScalarKind::Hour, {T("2024-05-06t07")}, N()},
      {ScalarKind::Hour, {T("2024-1-1 -5")}, I(-5)},
      {ScalarKind::Hour, {T("2024-1-1")}, I(0)},
      {ScalarKind::Minute, {T("2024-05-06 07:x")}, I(0)},
      {ScalarKind::Minute, {T("2024-05-06 07:08:09")}, I(8)},
      {ScalarKind::Second, {T("2024-05-06T07:08")}, I(0)},
      {ScalarKind::Second, {T("2024-05-06 10:20:30.75")}, I(30)},
      {ScalarKind::Second, {T("2024-1-1 1:2:\xc2\xa0" "33.5")}, I(33)},
      {ScalarKind::Second, {T("2024-1-1 1:2:33 .5")}, I(0)},
      {ScalarKind::DayOfYear, {T("2024-03-01")}, I(61)},
      {ScalarKind::DayOfYear, {T("2023-03-01")}, I(60)},
      {ScalarKind::DayOfYear, {T("2024-14-01")}, I(336)},
      {ScalarKind::DayOfYear, {T("1900-03-01")}, I(60)},
      {ScalarKind::DayOfYear, {T("2000-03-01")}, I(61)},
      {ScalarKind::DayOfYear, {T("0-03-01")}, I(61)},
      {ScalarKind::DayOfWeek, {T("2000-01-01")}, I(7)},
      {ScalarKind::DayOfWeek, {T("2024-01-01")}, I(2)},
      {ScalarKind::DayOfWeek, {T("0-1-0")}, I(0)},
      {ScalarKind::Week, {T("2024-01-01")}, I(1)},
      {ScalarKind::Week, {T("2024-01-08")}, I(2)},
      {ScalarKind::Week, {T("2024-12-31")}, I(53)},
      // Extreme years and days: the arithmetic wraps, without traps.
      {ScalarKind::Year, {T("9223372036854775807-12-31")}, I(kMax)},
      {ScalarKind::Year, {T("9223372036854775808-12-31")}, N()},
      {ScalarKind::DayOfYear, {T("9223372036854775807-12-31")}, I(365)},
      {ScalarKind::DayOfWeek, {T("9223372036854775807-12-31")}, I(-4)},
      {ScalarKind::DayOfYear, {T("2024-12-9223372036854775807")}, I(-9223372036854775474)},
      {ScalarKind::Week, {T("2024-12-9223372036854775807")}, I(-1317624576693539352)},
      {ScalarKind::DayOfWeek, {T("2024-12-9223372036854775807")}, I(-2)},
      {ScalarKind::Week, {T("9223372036854775807-1-9223372036854775807")}, I(-1317624576693539400)},
      {ScalarKind::DayOfWeek, {T("9223372036854775807-1-9223372036854775807")}, I(2)},
      {ScalarKind::DayOfWeek, {T("9223372036854775807-3-9223372036854775807")}, I(5)},
      {ScalarKind::DayOfWeek, {T("9223372036854775807-0-0")}, I(-5)},
  });
}

}  // namespace
}  // namespace bkf
