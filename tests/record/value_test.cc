#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "record/compare.h"
#include "support/values.h"

namespace bkf::testing {
namespace {

TEST(ValueOrderTest, KindsAndNumbers) {
  const Ordering L = Ordering::Less, E = Ordering::Equal, G = Ordering::Greater;
  struct Case {
    Value a, b;
    Ordering want;
  };
  const Case cases[] = {
      {I(3), R(3.0), E}, {I(2), R(2.5), L}, {R(-0.0), R(0.0), E}, {R(-0.0), I(0), E},
      {I(9007199254740993), R(9007199254740992.0), E}, {I(9007199254740993), I(9007199254740992), G},
      {R(kNaN), I(5), E}, {R(kNaN), R(-1e300), E}, {R(kNaN), N(), G}, {R(kNaN), T(""), L}, {R(kNaN), B(""), L},
      {T(""), T("a"), L}, {T("a"), T("ab"), L}, {T("a"), T("b"), L}, {T("B"), T("a"), L}, {T("zzz"), B(""), L},
      {B("\xff"), B("\x01\x02\x03"), G}, {N(), N(), E}, {N(), I(kMin), L},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cmp_value(c.a, c.b), c.want) << value_debug(c.a) << " vs " << value_debug(c.b);
    EXPECT_EQ(static_cast<int>(cmp_value(c.b, c.a)), -static_cast<int>(c.want));
  }
}

// The inline byte comparison against the library's, on strings that share
// prefixes of every length, differ in a byte at or above 0x80, and end
// inside or at the edge of a word.
TEST(ValueOrderTest, CompareBytesAgreesWithTheLibrary) {
  std::mt19937 rng(5);
  const char alphabet[] = {'a', 'b', '\x00', '\x7f', '\x80', '\xff'};
  auto make = [&](std::size_t len) {
    std::string s;
    for (std::size_t i = 0; i < len; ++i) s += alphabet[rng() % std::size(alphabet)];
    return s;
  };
  auto sign = [](int c) { return (c > 0) - (c < 0); };
  for (int round = 0; round < 20000; ++round) {
    std::string a = make(rng() % 20);
    std::string b = a.substr(0, rng() % (a.size() + 1));
    if (rng() % 2) b += make(rng() % 20);
    if (rng() % 2) std::swap(a, b);
    EXPECT_EQ(sign(compare_bytes(a, b)), sign(std::string_view(a).compare(b))) << round;
  }
}

TEST(ValueDebugTest, Forms) {
  const std::pair<Value, const char*> cases[] = {
      {N(), "Null"}, {I(-5), "Int(-5)"}, {R(2), "Real(2.0)"}, {R(0), "Real(0.0)"}, {R(-0.0), "Real(-0.0)"},
      {R(0.1 + 0.2), "Real(0.30000000000000004)"}, {R(1e16), "Real(1e16)"}, {R(1.5e-5), "Real(1.5e-5)"},
      {R(1e-4), "Real(0.0001)"}, {R(123456.5), "Real(123456.5)"},
      {R(9999999999999998.0), "Real(9999999999999998.0)"}, {R(5e-324), "Real(5e-324)"},
      {R(-1.25e300), "Real(-1.25e300)"}, {R(kNaN), "Real(NaN)"}, {R(-kInf), "Real(-inf)"}, {R(kInf), "Real(inf)"},
      {T("a\"b\\c\n\t\r"), "Text(\"a\\\"b\\\\c\\n\\t\\r\")"},
      {T(std::string_view("\0\x01\x7f\xc2\x85\xc3\xa9", 7)), "Text(\"\\0\\u{1}\\u{7f}\\u{85}\xc3\xa9\")"},
      {B("\x01\x02"), "Blob([1, 2])"}, {B(""), "Blob([])"},
  };
  for (const auto& [v, want] : cases) EXPECT_EQ(value_debug(v), want);
}

// The setters keep the byte buffer's capacity, a number's bytes() is empty
// even when the buffer keeps old bytes, and set_text/set_blob take bytes
// that lie inside the value itself (shrinking, keeping and growing the
// length, within and beyond capacity).
TEST(ValueTest, InPlaceSetters) {
  Value v = T(std::string(1000, 'x'));
  const char* buf = v.bytes().data();
  v.set_int(4);
  EXPECT_TRUE(v.bytes().empty());
  v.set_blob("abc");
  EXPECT_EQ(v.bytes().data(), buf);
  Value w;
  w.assign(v);
  EXPECT_TRUE(w.identical(v));
  EXPECT_FALSE(R(0.0).identical(R(-0.0)));

  v = T("abcdef");
  v.set_text(v.bytes().substr(1, 5));  // the source runs up to the old end
  EXPECT_EQ(v.bytes(), "bcdef");
  v.set_blob(v.bytes().substr(2));
  EXPECT_TRUE(same_value(v, B("def")));
  v.set_text(v.bytes());
  EXPECT_TRUE(same_value(v, T("def")));
  v.set_text(std::string(100, 'q'));
  v.set_text(v.bytes().substr(90));
  EXPECT_EQ(v.bytes(), std::string(10, 'q'));
  v.set_text("");
  v.set_text("0123456789");  // grows within the capacity it kept
  v.set_text(v.bytes().substr(3, 4));
  EXPECT_EQ(v.bytes(), "3456");
}

}  // namespace
}  // namespace bkf::testing
