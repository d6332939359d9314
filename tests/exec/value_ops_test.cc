#include "exec/value_ops.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <regex>
#include <string>

#include "exec/numeric_text.h"
#include "exec/unicode.h"
#include "support/values.h"

namespace bkf {
namespace {

using namespace bkf::testing;

constexpr double k2p63 = 9223372036854775808.0;
using enum BinKind;

struct BinCase {
  BinKind op;
  Value a, b, want;
};

void run_bin_cases(const std::vector<BinCase>& cases) {
  for (const BinCase& c : cases) {
    Value out = T("stale register contents");
    apply_bin(c.op, c.a, c.b, out);
    EXPECT_TRUE(same_value(out, c.want))
        << bin_kind_name(c.op) << "(" << value_debug(c.a) << ", " << value_debug(c.b) << ")";
  }
}

// Integer +, -, *, / and % are held against a wide-integer model below.
TEST(ArithmeticTest, Coercions) {
  run_bin_cases({
      {Add, R(0.1), R(0.2), R(0.30000000000000004)}, {Add, T("3"), T("4"), R(7.0)},
      {Mul, T("12abc"), I(1), R(12.0)}, {Add, T("abc"), I(1), R(1.0)}, {Add, B("\xff"), I(1), R(1.0)},
      {Add, T("5"), I(1), R(6.0)}, {Sub, I(1), T(" 0.5 "), R(0.5)}, {Mul, I(2), T("inf"), R(kInf)},
      {Add, N(), I(1), N()}, {Sub, I(1), N(), N()}, {Mul, N(), N(), N()}, {Add, N(), T("x"), N()},
  });
}

TEST(ArithmeticTest, DivisionAndRemainder) {
  run_bin_cases({
      // Division by zero in every form.
      {Div, I(1), I(0), N()}, {Mod, I(1), I(0), N()}, {Div, R(1.5), R(0.0), N()}, {Div, R(1.5), R(-0.0), N()},
      {Div, I(1), T("0"), N()}, {Div, I(1), T("abc"), N()}, {Div, I(1), T("-0.0e5"), N()},
      {Div, I(1), B("\x01"), N()}, {Div, I(0), B(""), N()}, {Mod, R(1.0), I(0), N()}, {Mod, I(1), T("0.0"), N()},
      {Mod, I(1), B("\x01"), N()}, {Div, N(), I(0), N()}, {Div, I(0), N(), N()},
      // Quotients and remainders beyond the integer model's reach.
      {Div, R(7.0), I(2), R(3.5)}, {Div, T("7"), I(2), R(3.5)}, {Div, B("\x01"), I(2), R(0.0)},
      {Div, I(kMin), I(-1), R(k2p63)}, {Div, R(kNaN), I(2), R(kNaN)}, {Div, I(1), R(kNaN), R(kNaN)},
      {Mod, I(kMin), I(-1), I(0)}, {Mod, R(5.5), I(2), R(1.5)}, {Mod, R(-5.5), I(2), R(-1.5)},
      {Mod, T("7"), I(4), R(3.0)},
  });
}

TEST(ComparisonTest, NullsKindsAndNumbersAgainstText) {
  run_bin_cases({
      {Eq, N(), N(), N()}, {Ne, N(), I(1), N()}, {Lt, I(1), N(), N()}, {Ge, N(), T("a"), N()},
      {Eq, T("abc"), I(0), I(1)}, {Lt, T("10"), T("9"), I(1)}, {Lt, I(10), T("9"), I(0)}, {Gt, I(10), T("9"), I(1)},
      {Eq, R(0.1 + 0.2), R(0.3), I(0)}, {Eq, I(1), T("1.0"), I(1)}, {Eq, T(" 5 "), I(5), I(1)},
      {Lt, I(2), T("x"), I(0)}, {Gt, I(2), T("x"), I(1)}, {Lt, I(1), B("\x00"), I(1)}, {Lt, T("zzz"), B(""), I(1)},
      {Gt, B("\xff"), B("\x01\x02\x03"), I(1)}, {Lt, T("B"), T("a"), I(1)}, {Eq, I(3), R(3.0), I(1)},
      {Eq, R(-0.0), I(0), I(1)}, {Eq, I(9007199254740993), R(9007199254740992.0), I(1)},
      {Gt, I(9007199254740993), I(9007199254740992), I(1)}, {Eq, R(kNaN), I(5), I(1)}, {Lt, R(kNaN), I(5), I(0)},
      {Eq, T("nan"), I(1), I(1)}, {Ne, I(1), I(2), I(1)}, {Le, I(1), R(1.0), I(1)}, {Ge, T("a"), T("b"), I(0)},
      {Ge, B("b"), T("b"), I(1)},
  });
}

TEST(LogicTest, ThreeValuedAndOr) {
  run_bin_cases({
      {And, N(), I(0), I(0)}, {And, I(0), N(), I(0)}, {And, N(), I(1), N()}, {And, N(), N(), N()},
      {And, I(2), R(0.5), I(1)}, {And, T("abc"), I(1), I(0)}, {And, T("2x"), I(1), I(1)}, {And, R(kNaN), I(1), I(1)},
      {And, B("\x01"), I(1), I(0)}, {Or, N(), I(1), I(1)}, {Or, I(1), N(), I(1)}, {Or, N(), I(0), N()},
      {Or, R(0.0), R(-0.0), I(0)}, {Or, B("\x01"), T("0x5"), I(0)},
  });
  EXPECT_TRUE(is_truthy(I(-1)));
  EXPECT_TRUE(is_truthy(T(" 1e-300")));
  EXPECT_FALSE(is_truthy(N()));
  EXPECT_FALSE(is_truthy(T("")));
  EXPECT_FALSE(is_truthy(B("\x01")));
  EXPECT_EQ(truth(N()), Truth::Unknown);
}

TEST(UnaryTest, NotNegAndIsNull) {
  using enum UnKind;
  struct Case {
    UnKind op;
    Value a, want;
  };
  const Case cases[] = {
      {Not, B("\x00"), I(1)}, {Not, T("abc"), I(1)}, {Not, T("0.0"), I(1)}, {Not, T("2x"), I(0)}, {Not, N(), N()},
      {Not, I(0), I(1)}, {Not, I(kMin), I(0)}, {Not, R(-0.0), I(1)}, {Not, R(kNaN), I(0)},
      {Neg, I(kMin), R(k2p63)}, {Neg, I(kMax), I(-kMax)}, {Neg, I(5), I(-5)}, {Neg, R(0.0), R(-0.0)},
      {Neg, R(-kInf), R(kInf)}, {Neg, T("5"), R(-5.0)}, {Neg, T("abc"), R(-0.0)}, {Neg, B("\x07"), R(-0.0)},
      {Neg, N(), N()},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(same_value(apply_un(c.op, c.a), c.want)) << un_kind_name(c.op) << " " << value_debug(c.a);
  }
  Value out;
  is_null_op(N(), false, out);
  EXPECT_TRUE(same_value(out, I(1)));
  is_null_op(N(), true, out);
  EXPECT_TRUE(same_value(out, I(0)));
  is_null_op(B(""), false, out);
  EXPECT_TRUE(same_value(out, I(0)));
}

TEST(NumFromTextTest, PrefixesAndWhiteSpace) {
  struct Case {
    const char* text;
    double want;
  };
  const Case cases[] = {
      {" 12abc", 12.0}, {"1e5x", 100000.0}, {"1e", 1.0}, {"1e+", 1.0}, {"0x1F", 0.0},
      {"3,5", 3.0}, {"abc", 0.0}, {"", 0.0}, {"-", 0.0}, {".", 0.0}, {"+.e1", 0.0},
      {".5", 0.5}, {"-.5e1", -5.0}, {"1.e5", 1e5}, {"5.", 5.0}, {"+3", 3.0},
      {"1.5.6", 1.5}, {"5 6", 5.0}, {"- 5", 0.0}, {"Infinit", kInf}, {"-INFINITYx", -kInf},
      {"nanny", kNaN}, {"in", 0.0}, {"12\xe2\x82\xac", 12.0}, {"\xe2\x82\xac" "12", 0.0},
      {"\xc2\xa0\xe3\x80\x80 7 \xe2\x80\xa9", 7.0},  // NBSP, ideographic space, paragraph separator
      {"\xc2\x85" "5", 5.0}, {"\x0b\x0c" "8\r\n", 8.0},
      {"\xe2\x80\x8b" "5", 0.0},  // zero width space is not White_Space
      {"1e400", kInf}, {"-1e400", -kInf}, {"1e-400", 0.0}, {"-1e-400", -0.0},
      {"0.0000001e-320", 0.0}, {"123456789012345678901234567890e-350", 1.2351641146031164e-321},
      {"1e99999999999999999999", kInf}, {"0e99999999999999999999", 0.0},
      {"12345678901234567890", 12345678901234567890.0}, {"9007199254740993", 9007199254740992.0},
      {"00000000000000000000001", 1.0}, {"0.1", 0.1}, {"4.9406564584124654e-324", 5e-324},
  };
  for (const Case& c : cases) {
    double got = num_from_text(c.text);
    if (std::isnan(c.want)) {
      EXPECT_TRUE(std::isnan(got)) << c.text;
    } else {
      EXPECT_EQ(got, c.want) << c.text;
      EXPECT_EQ(std::signbit(got), std::signbit(c.want)) << c.text;
    }
  }
  // The whole-text conversion has no prefix rule.
  EXPECT_EQ(to_number(T(" 2.5 ")), 2.5);
  EXPECT_EQ(to_number(T("2.5x")), 0.0);
  EXPECT_EQ(to_number(B("1")), 0.0);
  EXPECT_EQ(to_number(I(-3)), -3.0);
}

// The literal reading of the rule: trim, then try every prefix that ends on
// a character boundary, longest first, against the grammar.
double naive_num_from_text(const std::string& s) {
  static const std::regex grammar(
      "[+-]?((([0-9]+(\\.[0-9]*)?)|(\\.[0-9]+))([eE][+-]?[0-9]+)?|[iI][nN][fF]|[iI][nN][fF][iI][nN]"
      "[iI][tT][yY]|[nN][aA][nN])");
  std::string t(trim_white_space(s));
  for (std::size_t len = t.size(); len > 0; --len) {
    if ((static_cast<unsigned char>(t[len - 1]) & 0xC0) == 0x80) continue;
    std::string prefix = t.substr(0, len);
    if (len < t.size() && (static_cast<unsigned char>(t[len]) & 0xC0) == 0x80) continue;
    if (std::regex_match(prefix, grammar)) return std::strtod(prefix.c_str(), nullptr);
  }
  return 0.0;
}

TEST(NumFromTextTest, AgreesWithLiteralLongestPrefixReading) {
  const char* fragments[] = {"0", "1", "9", ".", "e", "E", "+", "-", "i", "n", "f", "a", "N",
                          "I", "t", "y", " ", "x", "\xc3\xa9", "\xc2\xa0", "5", "00"};
  std::mt19937_64 rng(12345);
  for (int iter = 0; iter < 20000; ++iter) {
    std::string s;
    int n = static_cast<int>(rng() % 10);
    for (int k = 0; k < n; ++k) s += fragments[rng() % std::size(fragments)];
    double want = naive_num_from_text(s);
    double got = num_from_text(s);
    if (std::isnan(want)) {
      EXPECT_TRUE(std::isnan(got)) << s;
    } else {
      EXPECT_EQ(got, want) << '"' << s << '"';
    }
  }
}

TEST(RealDisplayTest, PositionalShortestForm) {
  const std::pair<double, std::string> cases[] = {
      {1.0, "1"}, {2.5, "2.5"}, {-1.5, "-1.5"}, {1e20, "100000000000000000000"}, {1e-7, "0.0000001"},
      {-0.0, "-0"}, {0.0, "0"}, {0.1 + 0.2, "0.30000000000000004"}, {5e-324, "0." + std::string(323, '0') + "5"},
      {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
      {-2.2250738585072014e-308, "-0." + std::string(307, '0') + "22250738585072014"},
      {123456.789, "123456.789"}, {9007199254740993.0, "9007199254740992"}, {kNaN, "NaN"}, {kInf, "inf"},
      {-kInf, "-inf"},
  };
  for (const auto& [v, want] : cases) EXPECT_TRUE(same_value(cast_value(R(v), CastType::Text), T(want))) << want;
}

TEST(LikeTest, FoldingWildcardsAndBacktracking) {
  struct Case {
    Value a, pat;
    bool negated;
    Value want;
  };
  const Case cases[] = {
      {T("ABC"), T("a_c"), false, I(1)}, {T("abc"), T("a%"), false, I(1)}, {T("abc"), T("a%"), true, I(0)},
      {T("abd"), T("a%c"), true, I(1)},
      {T("\xc3\x84" "B"), T("\xc3\xa4" "b"), false, I(0)},  // non-ASCII letters are not folded
      {T("\xc3\xa9"), T("_"), false, I(0)},                  // é is two bytes
      {T("\xc3\xa9"), T("__"), false, I(1)}, {T("x\xc3\xa9y"), T("x%y"), false, I(1)},
      {I(123), T("1%"), false, I(1)}, {R(1.5), T("1._"), false, I(1)}, {R(2.0), T("2"), false, I(1)},
      {I(-7), T("-_"), false, I(1)}, {N(), T("%"), false, N()}, {T("a"), N(), true, N()},
      {T(""), T("%"), false, I(1)}, {T(""), T("%%"), false, I(1)}, {T(""), T(""), false, I(1)},
      {T(""), T("_"), false, I(0)}, {T("a"), T(""), false, I(0)}, {T("a%b"), T("a%"), false, I(1)},
      {T("%a"), T("%"), false, I(1)}, {T("a%"), T("a_"), false, I(1)}, {T("aXbXc"), T("%b%c"), false, I(1)},
      {T("abcabd"), T("%abd"), false, I(1)}, {T("mississippi"), T("%iss%ppi"), false, I(1)},
      {T("mississippi"), T("m%is_i%pi"), false, I(1)}, {T("mississippi"), T("%sip%sip%"), false, I(0)},
      {T("aaa"), T("%a%a%a%a"), false, I(0)}, {T("abc"), T("abc%%"), false, I(1)}, {T("abc"), T("ab"), false, I(0)},
      {T("ab"), T("abc"), false, I(0)},
      {B("A"), T(""), false, I(1)},  // a blob is matched as the empty text
      {B("A"), T("A"), false, I(0)},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(same_value(like_op(c.a, c.pat, c.negated), c.want))
        << value_debug(c.a) << " LIKE " << value_debug(c.pat) << (c.negated ? " negated" : "");
  }
}

// Full backtracking over every "%", as a reference for the single
// backtrack point of the real matcher.
bool model_like(std::string_view s, std::string_view p) {
  if (p.empty()) return s.empty();
  if (p[0] == '%') return model_like(s, p.substr(1)) || (!s.empty() && model_like(s.substr(1), p));
  if (s.empty()) return false;
  auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
  if (p[0] != '_' && fold(p[0]) != fold(s[0])) return false;
  return model_like(s.substr(1), p.substr(1));
}

TEST(LikeTest, AgreesWithFullBacktrackingModel) {
  const char alphabet[] = {'a', 'A', 'b', '%', '_', '\xc3'};
  std::mt19937 rng(7);
  for (int iter = 0; iter < 50000; ++iter) {
    std::string s, p;
    for (int k = static_cast<int>(rng() % 8); k > 0; --k) s += alphabet[rng() % 6];
    for (int k = static_cast<int>(rng() % 7); k > 0; --k) p += alphabet[rng() % 6];
    ASSERT_EQ(like_match(s, p), model_like(s, p)) << '"' << s << "\" LIKE \"" << p << '"';
  }
}

TEST(CastTest, EveryTarget) {
  using enum CastType;
  struct Case {
    Value v;
    CastType to;
    Value want;
  };
  const Case cases[] = {
      {N(), Integer, N()}, {N(), Real, N()}, {N(), Text, N()},
      // Integer: an Int and an integer literal in text stay exact.
      {I(9007199254740993), Integer, I(9007199254740993)}, {I(kMin), Integer, I(kMin)},
      {T("9007199254740993"), Integer, I(9007199254740993)}, {T(" -9223372036854775808 "), Integer, I(kMin)},
      {T("+7x"), Integer, I(7)}, {T("12e"), Integer, I(12)}, {T(" 42 "), Integer, I(42)},
      {T("12abc"), Integer, I(12)}, {T("abc"), Integer, I(0)},
      // Everything else goes through the double, saturating, NaN to 0.
      {T("9223372036854775808"), Integer, I(kMax)}, {T("-99999999999999999999"), Integer, I(kMin)},
      {T("9007199254740993.0"), Integer, I(9007199254740992)}, {T("12.9"), Integer, I(12)},
      {T("-0.5"), Integer, I(0)}, {T("1e3"), Integer, I(1000)}, {T("inf"), Integer, I(kMax)},
      {T("-inf"), Integer, I(kMin)}, {T("nan"), Integer, I(0)}, {R(-1.9), Integer, I(-1)},
      {R(1e300), Integer, I(kMax)}, {R(-1e300), Integer, I(kMin)}, {R(k2p63), Integer, I(kMax)},
      {R(-k2p63), Integer, I(kMin)}, {R(kNaN), Integer, I(0)}, {R(-kInf), Integer, I(kMin)},
      {B("\x41"), Integer, I(0)},
      // Real.
      {I(3), Real, R(3.0)}, {I(9007199254740993), Real, R(9007199254740992.0)}, {R(-0.0), Real, R(-0.0)},
      {T("nan"), Real, R(kNaN)}, {T("12abc"), Real, R(12.0)}, {B("1"), Real, R(0.0)},
      // Text.
      {I(-12), Text, T("-12")}, {I(kMin), Text, T("-9223372036854775808")}, {R(1.0), Text, T("1")},
      {R(2.50), Text, T("2.5")}, {T("x"), Text, T("x")}, {B("\x41"), Text, B("\x41")},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(same_value(cast_value(c.v, c.to), c.want)) << value_debug(c.v) << " AS " << static_cast<int>(c.to);
  }
}

TEST(AffinityTest, IntegerAndRealColumns) {
  struct Case {
    Value v;
    bool real;
    Value want;
  };
  const Case cases[] = {
      {T(" 17 "), false, I(17)}, {T("17.0"), false, T("17.0")}, {T("+5"), false, I(5)},
      {T("\xe3\x80\x80-9223372036854775808"), false, I(kMin)},
      {T("9223372036854775808"), false, T("9223372036854775808")}, {T("12abc"), false, T("12abc")},
      {T(""), false, T("")}, {T("-"), false, T("-")}, {R(1.5), false, R(1.5)}, {B("1"), false, B("1")},
      {N(), false, N()}, {T("17"), true, R(17.0)}, {I(17), true, I(17)}, {T(" 1e3 "), true, R(1000.0)},
      {T(".5"), true, R(0.5)}, {T("Infinity"), true, R(kInf)}, {T("1e"), true, T("1e")}, {T("1 2"), true, T("1 2")},
  };
  for (const Case& c : cases) {
    Value v;
    v.assign(c.v);
    apply_affinity(v, c.real);
    EXPECT_TRUE(same_value(v, c.want)) << value_debug(c.v) << (c.real ? " real" : " integer");
  }
}

// Destination registers may be operands; results must not read clobbered input.
TEST(AliasingTest, DestinationIsAnOperand) {
  Value r = T("12abc");
  value_ops::add(r, r, r);
  EXPECT_TRUE(same_value(r, R(24.0)));
  r = T(" 9007199254740993 ");
  cast_value(r, CastType::Integer, r);
  EXPECT_TRUE(same_value(r, I(9007199254740993)));
  r = R(0.5);
  cast_value(r, CastType::Text, r);
  EXPECT_TRUE(same_value(r, T("0.5")));
  cast_value(r, CastType::Text, r);
  EXPECT_TRUE(same_value(r, T("0.5")));
  like_op(r, r, false, r);
  EXPECT_TRUE(same_value(r, I(1)));
}

// Integer +, -, * against 128-bit arithmetic: exact when the result fits,
// otherwise the real of the operands as doubles.
TEST(ArithmeticTest, AgreesWithWideIntegerModel) {
  const std::int64_t interesting[] = {0, 1, -1, 2, -2, 3037000499, 3037000500, -3037000500,
                                      kMax, kMin, kMax - 1, kMin + 1, 1LL << 32, -(1LL << 62)};
  std::mt19937_64 rng(99);
  auto pick = [&]() -> std::int64_t {
    if (rng() % 2) return interesting[rng() % std::size(interesting)];
    return static_cast<std::int64_t>(rng()) >> (rng() % 64);
  };
  for (int iter = 0; iter < 100000; ++iter) {
    std::int64_t a = pick(), b = pick();
    struct {
      BinKind op;
      __int128 exact;
      double approx;
    } ops[] = {{Add, static_cast<__int128>(a) + b, static_cast<double>(a) + static_cast<double>(b)},
               {Sub, static_cast<__int128>(a) - b, static_cast<double>(a) - static_cast<double>(b)},
               {Mul, static_cast<__int128>(a) * b, static_cast<double>(a) * static_cast<double>(b)}};
    for (const auto& o : ops) {
      Value want = (o.exact >= kMin && o.exact <= kMax) ? I(static_cast<std::int64_t>(o.exact)) : R(o.approx);
      ASSERT_TRUE(same_value(apply_bin(o.op, I(a), I(b)), want)) << a << " " << bin_kind_name(o.op) << " " << b;
    }
    if (b != 0 && !(a == kMin && b == -1)) {
      ASSERT_TRUE(same_value(apply_bin(Div, I(a), I(b)), I(a / b)));
      ASSERT_TRUE(same_value(apply_bin(Mod, I(a), I(b)), I(a % b)));
    }
  }
}

}  // namespace
}  // namespace bkf
