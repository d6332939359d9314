#include "exec/scalar_funcs.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/values.h"

namespace bkf {
namespace {

using namespace bkf::testing;

constexpr double k2p63 = 9223372036854775808.0;
using enum ScalarKind;

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
      {"ABS", Abs}, {"LENGTH", Length}, {"CHAR_LENGTH", Length}, {"CHARACTER_LENGTH", Length}, {"UPPER", Upper},
      {"UCASE", Upper}, {"LOWER", Lower}, {"LCASE", Lower}, {"COALESCE", Coalesce}, {"TYPEOF", Typeof},
      {"SUBSTR", Substr}, {"SUBSTRING", Substr}, {"ROUND", Round}, {"REPLACE", Replace}, {"TRIM", Trim},
      {"LTRIM", Ltrim}, {"RTRIM", Rtrim}, {"IFNULL", Ifnull}, {"NULLIF", Nullif}, {"CONCAT", Concat}, {"YEAR", Year},
      {"MONTH", Month}, {"DAY", Day}, {"DAYOFMONTH", Day}, {"HOUR", Hour}, {"MINUTE", Minute}, {"SECOND", Second},
      {"WEEK", Week}, {"WEEKOFYEAR", Week}, {"DAYOFWEEK", DayOfWeek}, {"DAYOFYEAR", DayOfYear},
  };
  for (const auto& [name, kind] : names) EXPECT_EQ(scalar_kind_from_name(name), kind) << name;
  for (const char* name : {"upper", "Upper", "FOO", "VALUES", "", "ABS ", "UPPERX", "COUNT", "SUM"}) {
    EXPECT_FALSE(scalar_kind_from_name(name).has_value()) << name;
  }
}

TEST(StringFunctionTest, LengthTypeofConcat) {
  run_cases({
      {Length, {}, N()}, {Length, {N()}, N()}, {Length, {T("h\xc3\xa9llo")}, I(5)}, {Length, {B("\x01\x02")}, I(2)},
      {Length, {I(-12)}, I(3)}, {Length, {R(1.5)}, I(3)}, {Length, {R(2.0)}, I(1)}, {Length, {R(1e20)}, I(21)},
      {Length, {T("ab"), T("extra")}, I(2)}, {Typeof, {}, T("null")}, {Typeof, {N()}, T("null")},
      {Typeof, {I(1), T("extra")}, T("integer")}, {Typeof, {R(1)}, T("real")}, {Typeof, {T("")}, T("text")},
      {Typeof, {B("")}, T("blob")}, {Concat, {}, T("")}, {Concat, {T("a"), I(1), R(2.0), N()}, N()},
      {Concat, {T("a"), I(1), R(2.0)}, T("a12")}, {Concat, {T("a"), B("\x41")}, T("a")},
      {Concat, {R(-0.0), R(0.5)}, T("-00.5")},
  });
}

TEST(StringFunctionTest, UnicodeCaseMapping) {
  run_cases({
      {Upper, {}, N()}, {Upper, {N()}, N()}, {Upper, {I(12)}, I(12)}, {Upper, {R(1.5)}, R(1.5)},
      {Upper, {B("ab")}, B("ab")}, {Upper, {T("abc"), T("extra")}, T("ABC")},
      {Upper, {T("\xc3\x9f")}, T("SS")},                      // ß
      {Upper, {T("stra\xc3\x9f" "e")}, T("STRASSE")},
      {Upper, {T("\xc7\x86")}, T("\xc7\x84")},                // ǆ -> Ǆ
      {Upper, {T("\xc7\x85")}, T("\xc7\x84")},                // ǅ -> Ǆ
      {Upper, {T("\xef\xac\x81")}, T("FI")},                  // ﬁ ligature
      {Upper, {T("\xce\x90")}, T("\xce\x99\xcc\x88\xcc\x81")},  // ΐ: three code points
      {Upper, {T("\xc4\xb1")}, T("I")},                       // dotless i
      {Upper, {T("\xc2\xb5")}, T("\xce\x9c")},                // micro sign
      {Upper, {T("\xf0\x90\x90\xa8")}, T("\xf0\x90\x90\x80")},  // Deseret, 4-byte
      {Upper, {T("\xff" "a\xc3")}, T("\xff" "A\xc3")},        // malformed bytes pass through
      {Lower, {}, N()}, {Lower, {I(7)}, I(7)}, {Lower, {T("ABC")}, T("abc")},
      {Lower, {T("\xc4\xb0")}, T("i\xcc\x87")},               // İ -> i + combining dot
      {Lower, {T("\xc7\x85")}, T("\xc7\x86")},                // ǅ -> ǆ
      {Lower, {T("\xe1\xba\x9e")}, T("\xc3\x9f")},            // capital sharp s
      {Lower, {T("\xe2\x84\xaa")}, T("k")},                   // Kelvin sign
      // Final sigma: Σ after a cased letter and not before one.
      {Lower, {T("\xce\x9f\xce\x94\xce\x9f\xce\xa3")}, T("\xce\xbf\xce\xb4\xce\xbf\xcf\x82")},
      {Lower, {T("\xce\xa3\xce\x91\xce\xa3")}, T("\xcf\x83\xce\xb1\xcf\x82")},
      {Lower, {T("\xce\xa3")}, T("\xcf\x83")}, {Lower, {T("1\xce\xa3")}, T("1\xcf\x83")},
      {Lower, {T("\xce\x91\xce\xa3 \xce\x92")}, T("\xce\xb1\xcf\x82 \xce\xb2")},
      {Lower, {T("\xce\x91\xce\xa3.")}, T("\xce\xb1\xcf\x82.")},
      {Lower, {T("\xce\x91.\xce\xa3")}, T("\xce\xb1.\xcf\x82")},
      {Lower, {T("\xce\x91\xcc\x81\xce\xa3")}, T("\xce\xb1\xcc\x81\xcf\x82")},
      {Lower, {T("\xce\x91\xce\xa3\xcc\x81\xce\x92")}, T("\xce\xb1\xcf\x83\xcc\x81\xce\xb2")},
      {Lower, {T("\xce\x91\xce\xa3'\xce\x92")}, T("\xce\xb1\xcf\x83'\xce\xb2")},
  });
}

TEST(StringFunctionTest, Substr) {
  run_cases({
      {Substr, {}, N()}, {Substr, {N(), I(1)}, N()}, {Substr, {T("hello")}, T("hello")},
      {Substr, {T("hello"), I(2)}, T("ello")}, {Substr, {T("hello"), I(0)}, T("hello")},
      {Substr, {T("hello"), I(-10)}, T("hello")}, {Substr, {T("hello"), I(-3)}, T("llo")},
      {Substr, {T("hello"), I(-3), I(2)}, T("ll")}, {Substr, {T("hello"), I(10)}, T("")},
      {Substr, {T("hello"), I(2), I(-1)}, T("")}, {Substr, {T("hello"), R(2.9), I(2)}, T("el")},
      {Substr, {T("hello"), T("2")}, T("hello")}, {Substr, {T("hello"), N(), I(2)}, T("he")},
      {Substr, {T("hello"), I(2), N()}, T("ello")}, {Substr, {T("hello"), I(2), B("\x01")}, T("ello")},
      {Substr, {I(12345), I(2), I(2)}, T("23")}, {Substr, {R(1.5), I(2)}, T(".5")}, {Substr, {B("abc"), I(1)}, T("")},
      {Substr, {T("h\xc3\xa9llo"), I(2), I(3)}, T("\xc3\xa9ll")},
      {Substr, {T("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e"), I(-2)}, T("\xe6\x9c\xac\xe8\xaa\x9e")},
      // Extreme positions and lengths: no overflow, just clamping.
      {Substr, {T("hello"), I(kMin)}, T("hello")}, {Substr, {T("hello"), I(kMax)}, T("")},
      {Substr, {T("hello"), I(2), I(kMax)}, T("ello")}, {Substr, {T("hello"), I(-3), I(kMax)}, T("llo")},
      {Substr, {T("hello"), I(kMin), I(kMax)}, T("hello")}, {Substr, {T("hello"), I(1), I(kMin)}, T("")},
      {Substr, {T("hello"), R(1e300), I(1)}, T("")}, {Substr, {T("hello"), R(-1e300), I(2)}, T("he")},
      {Substr, {T("hello"), R(kNaN), R(kInf)}, T("hello")}, {Substr, {T("hello"), I(1), I(2), T("extra")}, T("he")},
  });
}

TEST(StringFunctionTest, ReplaceAndTrim) {
  run_cases({
      {Replace, {}, N()}, {Replace, {N(), T("a"), T("b")}, N()}, {Replace, {T("aaa"), T("aa"), T("b")}, T("ba")},
      {Replace, {T("abc"), T(""), T("x")}, T("abc")}, {Replace, {T("abc"), N(), T("x")}, T("abc")},
      {Replace, {T("abc"), T("b"), N()}, T("abc")}, {Replace, {T("abc")}, T("abc")},
      {Replace, {T("abc"), T("b")}, T("abc")}, {Replace, {I(123), I(2), I(9)}, T("193")},
      {Replace, {I(5), N(), N()}, T("5")}, {Replace, {B("a"), T("a"), T("b")}, T("")},
      {Replace, {T("abc"), B("b"), T("z")}, T("abc")}, {Replace, {T("aXa"), T("a"), R(1.5)}, T("1.5X1.5")},
      {Replace, {T("abab"), T("ab"), T(""), T("extra")}, T("")}, {Trim, {}, N()}, {Trim, {N()}, N()},
      {Trim, {T("  a  ")}, T("a")}, {Trim, {T(" \t\r\na b\n")}, T("a b")},
      {Trim, {T("\xc2\xa0" "a\xc2\xa0")}, T("\xc2\xa0" "a\xc2\xa0")},  // default set is ASCII
      {Trim, {T("xxaxx"), T("x")}, T("a")}, {Ltrim, {T("xxaxx"), T("x")}, T("axx")},
      {Rtrim, {T("xxaxx"), T("x")}, T("xxa")}, {Ltrim, {T("  a  ")}, T("a  ")}, {Rtrim, {T("  a  ")}, T("  a")},
      {Trim, {T("abcba"), T("ab")}, T("c")}, {Trim, {T("xxx"), T("x")}, T("")}, {Trim, {T(" a "), N()}, T("a")},
      {Trim, {T(" a "), B(" ")}, T(" a ")}, {Trim, {R(12.50)}, T("12.5")}, {Trim, {I(1200), I(0)}, T("12")},
      {Trim, {B("  ")}, T("")}, {Trim, {T("\xc3\xa9\xc3\xa9" "a\xc3\xa9"), T("\xc3\xa9")}, T("a")},
      {Rtrim, {T("a\xc3\xa9\xc3\xa8"), T("\xc3\xa8\xc3\xa9z")}, T("a")},
      {Rtrim, {T("\xe2\x80 ")}, T("\xe2\x80")},  // a cut-off sequence is kept whole
      {Ltrim, {T("ab"), T("a"), T("extra")}, T("b")},
  });
}

TEST(NumericFunctionTest, AbsAndRound) {
  run_cases({
      {Abs, {}, N()}, {Abs, {I(-3)}, I(3)}, {Abs, {R(-2.5)}, R(2.5)}, {Abs, {R(-0.0)}, R(0.0)}, {Abs, {N()}, N()},
      {Abs, {T("x")}, N()}, {Abs, {T("-5")}, N()}, {Abs, {B("\x01")}, N()}, {Abs, {I(kMin)}, R(k2p63)},
      {Abs, {I(kMax), I(1)}, I(kMax)}, {Round, {}, N()}, {Round, {N()}, N()},
      {Round, {R(1234.5678), I(2)}, R(1234.57)}, {Round, {I(5)}, R(5.0)}, {Round, {R(2.5), I(-1)}, R(3.0)},
      {Round, {R(-2.5)}, R(-3.0)}, {Round, {R(1.005), I(2)}, R(1.0)}, {Round, {T("2.5")}, R(3.0)},
      {Round, {T(" 2.5 ")}, R(3.0)}, {Round, {T("2.5x")}, R(0.0)}, {Round, {T("abc")}, R(0.0)},
      {Round, {B("\x01")}, R(0.0)}, {Round, {R(1.25), R(1.0)}, R(1.0)}, {Round, {R(1.25), T("1")}, R(1.0)},
      {Round, {R(1.5), N()}, R(2.0)},
      {Round, {R(123.456), I(4294967298)}, R(123.46)},  // low 32 bits: 2
      {Round, {R(123.456), I(-1)}, R(123.0)}, {Round, {R(1.5), I(1), T("extra")}, R(1.5)},
      // Never NaN or infinity from a finite number.
      {Round, {R(1.5), I(400)}, R(1.5)}, {Round, {R(1234.5678), I(2147483647)}, R(1234.5678)},
      {Round, {R(1e300), I(10)}, R(1e300)}, {Round, {R(5e-324), I(400)}, R(5e-324)},
      {Round, {I(9007199254740993)}, R(9007199254740992.0)}, {Round, {R(4503599627370495.5)}, R(4503599627370496.0)},
      {Round, {R(0.1234567), I(22)}, R(0.1234567)}, {Round, {R(kNaN), I(2)}, R(kNaN)}, {Round, {T("-inf")}, R(-kInf)},
  });
}

TEST(NullFunctionTest, CoalesceIfnullNullif) {
  run_cases({
      {Coalesce, {}, N()}, {Coalesce, {N(), N(), I(3), I(4)}, I(3)}, {Coalesce, {N(), N()}, N()},
      {Coalesce, {N(), B("b")}, B("b")}, {Ifnull, {}, N()}, {Ifnull, {N()}, N()}, {Ifnull, {N(), T("x")}, T("x")},
      {Ifnull, {I(1), T("x"), T("extra")}, I(1)}, {Ifnull, {I(1)}, I(1)}, {Nullif, {}, N()}, {Nullif, {I(1)}, I(1)},
      {Nullif, {N(), I(1)}, N()}, {Nullif, {I(2), I(2)}, N()}, {Nullif, {I(2), I(3)}, I(2)},
      {Nullif, {I(1), T("1")}, N()}, {Nullif, {T("abc"), I(0)}, N()}, {Nullif, {T("a"), T("A")}, T("a")},
      {Nullif, {I(1), N()}, I(1)}, {Nullif, {R(2.0), I(2), T("extra")}, N()},
  });
}

TEST(DateFunctionTest, PartsAndCalendar) {
  run_cases({
      {Year, {}, N()}, {Year, {N()}, N()}, {Year, {T("2024-05-06")}, I(2024)},
      {Year, {T(" 2024-05-06\xe2\x80\x83")}, I(2024)}, {Year, {T("+2024-1-2")}, I(2024)}, {Year, {I(20240506)}, N()},
      {Year, {B("2024-05-06")}, N()}, {Year, {T("-5-01-01")}, N()}, {Year, {T("2024-05-06-99")}, I(2024)},
      {Year, {T("2024-05-06x")}, N()}, {Year, {T("2024-05-06"), T("extra")}, I(2024)},
      {Month, {T("2024-13-45")}, I(13)}, {Day, {T("2024-13-45")}, I(45)}, {Day, {T("2024-05")}, N()},
      {Hour, {T("2024-05-06 07:08:09")}, I(7)}, {Hour, {T("07:08:09")}, N()}, {Hour, {T("2024-05-06t07")}, N()},
      {Hour, {T("2024-1-1 -5")}, I(-5)}, {Hour, {T("2024-1-1")}, I(0)}, {Minute, {T("2024-05-06 07:x")}, I(0)},
      {Minute, {T("2024-05-06 07:08:09")}, I(8)}, {Second, {T("2024-05-06T07:08")}, I(0)},
      {Second, {T("2024-05-06 10:20:30.75")}, I(30)}, {Second, {T("2024-1-1 1:2:\xc2\xa0" "33.5")}, I(33)},
      {Second, {T("2024-1-1 1:2:33 .5")}, I(0)}, {DayOfYear, {T("2024-03-01")}, I(61)},
      {DayOfYear, {T("2023-03-01")}, I(60)}, {DayOfYear, {T("2024-14-01")}, I(336)},
      {DayOfYear, {T("1900-03-01")}, I(60)}, {DayOfYear, {T("2000-03-01")}, I(61)},
      {DayOfYear, {T("0-03-01")}, I(61)}, {DayOfWeek, {T("2000-01-01")}, I(7)}, {DayOfWeek, {T("2024-01-01")}, I(2)},
      {DayOfWeek, {T("0-1-0")}, I(0)}, {Week, {T("2024-01-01")}, I(1)}, {Week, {T("2024-01-08")}, I(2)},
      {Week, {T("2024-12-31")}, I(53)},
      // Extreme years and days: the arithmetic wraps, without traps.
      {Year, {T("9223372036854775807-12-31")}, I(kMax)}, {Year, {T("9223372036854775808-12-31")}, N()},
      {DayOfYear, {T("9223372036854775807-12-31")}, I(365)}, {DayOfWeek, {T("9223372036854775807-12-31")}, I(-4)},
      {DayOfYear, {T("2024-12-9223372036854775807")}, I(-9223372036854775474)},
      {Week, {T("2024-12-9223372036854775807")}, I(-1317624576693539352)},
      {DayOfWeek, {T("2024-12-9223372036854775807")}, I(-2)},
      {Week, {T("9223372036854775807-1-9223372036854775807")}, I(-1317624576693539400)},
      {DayOfWeek, {T("9223372036854775807-1-9223372036854775807")}, I(2)},
      {DayOfWeek, {T("9223372036854775807-3-9223372036854775807")}, I(5)},
      {DayOfWeek, {T("9223372036854775807-0-0")}, I(-5)},
  });
}

}  // namespace
}  // namespace bkf
