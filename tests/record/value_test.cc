#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "record/compare.h"
#include "record/value.h"

namespace bkf {
namespace {

TEST(ValueOrderTest, KindsAndNumbers) {
  const double nan = std::nan("");
  struct Case {
    Value a, b;
    Ordering want;
  };
  const Case cases[] = {
      {Value::integer(3), Value::real(3.0), Ordering::Equal},
      {Value::integer(2), Value::real(2.5), Ordering::Less},
      {Value::real(-0.0), Value::real(0.0), Ordering::Equal},
      {Value::real(-0.0), Value::integer(0), Ordering::Equal},
      {Value::integer(9007199254740993), Value::real(9007199254740992.0), Ordering::Equal},
      {Value::integer(9007199254740993), Value::integer(9007199254740992), Ordering::Greater},
      {Value::real(nan), Value::integer(5), Ordering::Equal},
      {Value::real(nan), Value::real(-1e300), Ordering::Equal},
      {Value::real(nan), Value::null(), Ordering::Greater},
      {Value::real(nan), Value::text(""), Ordering::Less},
      {Value::real(nan), Value::blob(""), Ordering::Less},
      {Value::text(""), Value::text("a"), Ordering::Less},
      {Value::text("a"), Value::text("ab"), Ordering::Less},
      {Value::text("a"), Value::text("b"), Ordering::Less},
      {Value::text("B"), Value::text("a"), Ordering::Less},
      {Value::text("zzz"), Value::blob(""), Ordering::Less},
      {Value::blob("\xff"), Value::blob("\x01\x02\x03"), Ordering::Greater},
      {Value::null(), Value::null(), Ordering::Equal},
      {Value::null(), Value::integer(std::numeric_limits<std::int64_t>::min()), Ordering::Less},
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
  struct Case {
    Value v;
    const char* want;
  };
  const Case cases[] = {
      {Value::null(), "Null"},
      {Value::integer(-5), "Int(-5)"},
      {Value::real(2), "Real(2.0)"},
      {Value::real(0), "Real(0.0)"},
      {Value::real(-0.0), "Real(-0.0)"},
      {Value::real(0.1 + 0.2), "Real(0.30000000000000004)"},
      {Value::real(1e16), "Real(1e16)"},
      {Value::real(1.5e-5), "Real(1.5e-5)"},
      {Value::real(1e-4), "Real(0.0001)"},
      {Value::real(123456.5), "Real(123456.5)"},
      {Value::real(9999999999999998.0), "Real(9999999999999998.0)"},
      {Value::real(5e-324), "Real(5e-324)"},
      {Value::real(-1.25e300), "Real(-1.25e300)"},
      {Value::real(std::nan("")), "Real(NaN)"},
      {Value::real(-INFINITY), "Real(-inf)"},
      {Value::real(INFINITY), "Real(inf)"},
      {Value::text("a\"b\\c\n\t\r"), "Text(\"a\\\"b\\\\c\\n\\t\\r\")"},
      {Value::text(std::string_view("\0\x01\x7f\xc2\x85\xc3\xa9", 7)), "Text(\"\\0\\u{1}\\u{7f}\\u{85}\xc3\xa9\")"},
      {Value::blob("\x01\x02"), "Blob([1, 2])"},
      {Value::blob(""), "Blob([])"},
  };
  for (const Case& c : cases) EXPECT_EQ(value_debug(c.v), c.want);
}

TEST(ValueTest, InPlaceAssignmentKeepsCapacity) {
  Value v = Value::text(std::string(1000, 'x'));
  const char* buf = v.bytes().data();
  v.set_int(4);
  EXPECT_TRUE(v.bytes().empty());
  v.set_blob("abc");
  EXPECT_EQ(v.bytes().data(), buf);
  Value w;
  w.assign(v);
  EXPECT_TRUE(w.identical(v));
  EXPECT_FALSE(Value::real(0.0).identical(Value::real(-0.0)));
}

// set_text and set_blob from bytes that lie inside the value itself, when
// shrinking, keeping and growing the length, within and beyond capacity.
TEST(ValueTest, SettersTakeTheirOwnBytes) {
  Value v = Value::text("abcdef");
  v.set_text(v.bytes().substr(1, 5));  // the source runs up to the old end
  EXPECT_EQ(v.bytes(), "bcdef");
  v.set_blob(v.bytes().substr(2));
  EXPECT_EQ(v.bytes(), "def");
  EXPECT_TRUE(v.is_blob());
  v.set_text(v.bytes());
  EXPECT_EQ(v.bytes(), "def");
  std::string big(100, 'q');
  v.set_text(big);
  EXPECT_EQ(v.bytes(), big);
  v.set_text(v.bytes().substr(90));
  EXPECT_EQ(v.bytes(), std::string(10, 'q'));
  v.set_text("");
  EXPECT_EQ(v.bytes(), "");
  v.set_text("0123456789");  // grows within the capacity it kept
  v.set_text(v.bytes().substr(3, 4));
  EXPECT_EQ(v.bytes(), "3456");
}

}  // namespace
}  // namespace bkf
