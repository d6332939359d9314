#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "btree/keyenc.h"
#include "record/compare.h"
#include "support/hex.h"

namespace bkf {
namespace {

using testing::hex;
using testing::unhex;
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

std::string enc(const Value& v) {
  std::string out;
  keyenc::encode_value(out, v);
  return out;
}

std::string ident(const Value& v) {
  std::string out;
  keyenc::encode_identity_value(out, v);
  return out;
}

int sign(int c) { return (c > 0) - (c < 0); }
int bytes_cmp(std::string_view a, std::string_view b) { return sign(a.compare(b)); }

TEST(KeyEncodingTest, GoldenVectors) {
  struct Case {
    Value v;
    const char* bytes;
  };
  const Case cases[] = {
      {Value::null(), "00"},
      {Value::integer(1), "10bff0000000000000"},
      {Value::real(1.0), "10bff0000000000000"},
      {Value::integer(0), "108000000000000000"},
      {Value::real(0.0), "108000000000000000"},
      {Value::real(-0.0), "107fffffffffffffff"},
      {Value::integer(-1), "10400fffffffffffff"},
      {Value::text("a"), "20610000"},
      {Value::blob(unhex("0001")), "3000ff010000"},
      {Value::text(""), "200000"},
      {Value::blob(""), "300000"},
      {Value::text(std::string("a\0", 2)), "206100ff0000"},
  };
  for (const Case& c : cases) EXPECT_EQ(hex(enc(c.v)), c.bytes) << value_debug(c.v);

  std::vector<Value> null_row = {Value::null()};
  EXPECT_EQ(hex(keyenc::encode_index_key(null_row, 1)), "008000000000000001");
  EXPECT_EQ(hex(keyenc::encode_index_key({}, 0)), "8000000000000000");
  EXPECT_EQ(hex(keyenc::encode_index_key({}, -1)), "7fffffffffffffff");
  std::vector<Value> two = {Value::integer(1), Value::text("a")};
  EXPECT_EQ(hex(keyenc::encode_key_prefix(two)), "10bff0000000000000" "20610000");
  // Integers that round to the same double encode alike.
  EXPECT_EQ(enc(Value::integer(9007199254740992)), enc(Value::integer(9007199254740993)));
}

// Row ids come back, and order as signed integers after equal values.
TEST(KeyEncodingTest, RowidRoundTripAndOrder) {
  const std::int64_t rowids[] = {kMin, kMin + 1, -1, 0, 1, kMax - 1, kMax};
  const std::vector<Value> v = {Value::text("x"), Value::integer(3)};
  for (std::size_t i = 0; i < std::size(rowids); ++i) {
    const std::string key = keyenc::encode_index_key(v, rowids[i]);
    EXPECT_EQ(*keyenc::key_rowid(key), rowids[i]);
    if (i > 0) {
      EXPECT_LT(keyenc::encode_index_key(v, rowids[i - 1]), key);
    }
  }
  EXPECT_EQ(keyenc::key_rowid("1234567").error().kind(), ErrorKind::Corrupt);
}

Value random_value(std::mt19937_64& rng, bool allow_odd_reals) {
  switch (rng() % 7) {
    case 0: return Value::null();
    case 1: return Value::integer(static_cast<std::int64_t>(rng() % 2001) - 1000);
    case 2: return Value::integer(static_cast<std::int64_t>(rng()) >> (rng() % 64));
    case 3: {
      double d = static_cast<double>(static_cast<std::int64_t>(rng() % 4001) - 2000) / 8;
      if (allow_odd_reals && rng() % 5 == 0) d = std::bit_cast<double>(rng());
      return Value::real(d);
    }
    case 4: {
      std::string s(rng() % 4, '\0');
      for (char& c : s) c = "\0a\xff"[rng() % 3];
      return Value::text(s);
    }
    case 5: {
      std::string s(rng() % 4, '\0');
      for (char& c : s) c = "\0\x01\xff"[rng() % 3];
      return Value::blob(s);
    }
    default: return Value::integer(static_cast<std::int64_t>(rng() % 5) - 2 + (std::int64_t{1} << 53));
  }
}

// Away from the three documented differences (-0.0, NaN, integers rounding
// to one double) the byte order of encodings is the value order.
TEST(KeyEncodingTest, AgreesWithValueOrder) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 20000; ++i) {
    Value a = random_value(rng, false), b = random_value(rng, false);
    auto beyond_2_53 = [](const Value& v) {
      return v.is_int() && (v.int_value() > (1ll << 53) || v.int_value() < -(1ll << 53));
    };
    bool big = beyond_2_53(a) || beyond_2_53(b);
    if (big) continue;
    EXPECT_EQ(bytes_cmp(enc(a), enc(b)), static_cast<int>(cmp_value(a, b)))
        << value_debug(a) << " " << value_debug(b);
  }
}

// Exact numeric order of an integer and a finite double.
int exact_cmp(std::int64_t n, double x) {
  if (x >= 9223372036854775808.0) return -1;
  if (x < -9223372036854775808.0) return 1;
  double f = std::floor(x);
  __int128 fi = static_cast<__int128>(f);
  if (n < fi) return -1;
  if (n > fi) return 1;
  return f == x ? 0 : -1;
}

int exact_order(const Value& a, const Value& b) {
  if (a.is_number() && b.is_number()) {
    if (a.is_int() && b.is_int()) return (a.int_value() > b.int_value()) - (a.int_value() < b.int_value());
    if (a.is_int()) return exact_cmp(a.int_value(), b.real_value());
    if (b.is_int()) return -exact_cmp(b.int_value(), a.real_value());
  }
  return static_cast<int>(cmp_value(a, b));
}

TEST(IdentityKeyTest, ExactOrderAndEquality) {
  const Value cases_equal[][2] = {
      {Value::integer(1), Value::real(1.0)},
      {Value::real(-0.0), Value::real(0.0)},
      {Value::real(-0.0), Value::integer(0)},
      {Value::integer(1ll << 53), Value::real(9007199254740992.0)},
      {Value::integer(kMin), Value::real(-9223372036854775808.0)},
  };
  for (const auto& c : cases_equal) EXPECT_EQ(ident(c[0]), ident(c[1])) << value_debug(c[0]);

  // Neighbouring integers stay distinct and ordered where doubles merge them.
  const std::int64_t ints[] = {kMin, kMin + 1, kMin + 2, -(1ll << 53) - 1, -(1ll << 53), (1ll << 53) - 1,
                               1ll << 53, (1ll << 53) + 1, (1ll << 53) + 2, (1ll << 53) + 3, kMax - 2, kMax - 1, kMax};
  for (std::size_t i = 1; i < std::size(ints); ++i) {
    EXPECT_LT(ident(Value::integer(ints[i - 1])), ident(Value::integer(ints[i]))) << ints[i];
  }
  EXPECT_LT(ident(Value::real(9007199254740992.0)), ident(Value::integer((1ll << 53) + 1)));
  EXPECT_LT(ident(Value::integer((1ll << 53) + 1)), ident(Value::real(9007199254740994.0)));
  EXPECT_LT(ident(Value::integer(kMax)), ident(Value::real(9223372036854775808.0)));
  EXPECT_GT(ident(Value::integer(kMax)), ident(Value::real(9223372036854774784.0)));

  std::mt19937_64 rng(5);
  for (int i = 0; i < 20000; ++i) {
    Value a = random_value(rng, false), b = random_value(rng, false);
    if (rng() % 3 == 0) a = Value::integer(kMax - static_cast<std::int64_t>(rng() % 3000));
    if (rng() % 3 == 0) b = Value::real(9223372036854775808.0 - 1024.0 * static_cast<double>(rng() % 3));
    EXPECT_EQ(bytes_cmp(ident(a), ident(b)), exact_order(a, b)) << value_debug(a) << " " << value_debug(b);
  }
  std::vector<Value> row = {Value::integer(1), Value::text("a")};
  std::vector<Value> row2 = {Value::real(1.0), Value::text("a")};
  EXPECT_EQ(keyenc::encode_identity_key(row), keyenc::encode_identity_key(row2));
}

TEST(BoundKeyTest, PaddedBoundLiesAboveEveryRowId) {
  std::vector<Value> v = {Value::integer(5)};
  std::vector<Value> next = {Value::integer(6)};
  std::vector<Value> two_cols = {Value::integer(5), Value::blob("\xff\xff")};
  std::string lo, hi;
  keyenc::encode_bound_key_into(lo, v, false);
  keyenc::encode_bound_key_into(hi, v, true);
  EXPECT_EQ(hi.size(), lo.size() + 9);
  EXPECT_LT(lo, keyenc::encode_index_key(v, kMin));
  EXPECT_GT(hi, keyenc::encode_index_key(v, kMax));  // the row id 2^63-1 is kept
  EXPECT_GT(hi, keyenc::encode_index_key(two_cols, kMax));
  EXPECT_LT(hi, keyenc::encode_index_key(next, kMin));
  std::vector<Value> txt = {Value::text("ab")};
  keyenc::encode_bound_key_into(hi, txt, true);
  EXPECT_GT(hi, keyenc::encode_index_key(txt, kMax));
  std::vector<Value> txt2 = {Value::text("ab\x01")};
  EXPECT_LT(hi, keyenc::encode_index_key(txt2, kMin));
}

}  // namespace
}  // namespace bkf
