#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "btree/keyenc.h"
#include "record/compare.h"
#include "support/hex.h"
#include "support/values.h"

namespace bkf::testing {
namespace {

using Row = std::vector<Value>;

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

int bytes_cmp(std::string_view a, std::string_view b) {
  const int c = a.compare(b);
  return (c > 0) - (c < 0);
}

TEST(KeyEncodingTest, GoldenVectors) {
  const std::pair<Value, const char*> cases[] = {
      {N(), "00"}, {I(1), "10bff0000000000000"}, {R(1.0), "10bff0000000000000"}, {I(0), "108000000000000000"},
      {R(0.0), "108000000000000000"}, {R(-0.0), "107fffffffffffffff"}, {I(-1), "10400fffffffffffff"},
      {T("a"), "20610000"}, {B(unhex("0001")), "3000ff010000"}, {T(""), "200000"}, {B(""), "300000"},
      {T(std::string("a\0", 2)), "206100ff0000"},
  };
  for (const auto& [v, bytes] : cases) EXPECT_EQ(hex(enc(v)), bytes) << value_debug(v);
  EXPECT_EQ(hex(keyenc::encode_index_key(Row{N()}, 1)), "008000000000000001");
  EXPECT_EQ(hex(keyenc::encode_index_key({}, 0)), "8000000000000000");
  EXPECT_EQ(hex(keyenc::encode_index_key({}, -1)), "7fffffffffffffff");
  EXPECT_EQ(hex(keyenc::encode_key_prefix(Row{I(1), T("a")})), "10bff0000000000000" "20610000");
  // Integers that round to the same double encode alike (so UNIQUE probes
  // through key prefixes take them for one value).
  EXPECT_EQ(enc(I(9007199254740992)), enc(I(9007199254740993)));
}

// Row ids come back, and order as signed integers after equal values.
TEST(KeyEncodingTest, RowidRoundTripAndOrder) {
  const std::int64_t rowids[] = {kMin, kMin + 1, -1, 0, 1, kMax - 1, kMax};
  const Row v = {T("x"), I(3)};
  for (std::size_t i = 0; i < std::size(rowids); ++i) {
    const std::string key = keyenc::encode_index_key(v, rowids[i]);
    EXPECT_EQ(*keyenc::key_rowid(key), rowids[i]);
    if (i > 0) {
      EXPECT_LT(keyenc::encode_index_key(v, rowids[i - 1]), key);
    }
  }
  EXPECT_EQ(keyenc::key_rowid("1234567").error().kind(), ErrorKind::Corrupt);
}

Value random_value(std::mt19937_64& rng) {
  std::string s(rng() % 4, '\0');
  switch (rng() % 7) {
    case 0: return N();
    case 1: return I(static_cast<std::int64_t>(rng() % 2001) - 1000);
    case 2: return I(static_cast<std::int64_t>(rng()) >> (rng() % 64));
    case 3: return R(static_cast<double>(static_cast<std::int64_t>(rng() % 4001) - 2000) / 8);
    case 4:
      for (char& c : s) c = "\0a\xff"[rng() % 3];
      return T(s);
    case 5:
      for (char& c : s) c = "\0\x01\xff"[rng() % 3];
      return B(s);
    default: return I(static_cast<std::int64_t>(rng() % 5) - 2 + (std::int64_t{1} << 53));
  }
}

// Exact numeric order of an integer and a finite double.
int exact_cmp(std::int64_t n, double x) {
  if (x >= 9223372036854775808.0) return -1;
  if (x < -9223372036854775808.0) return 1;
  const double f = std::floor(x);
  const __int128 fi = static_cast<__int128>(f);
  if (n != fi) return n < fi ? -1 : 1;
  return f == x ? 0 : -1;
}

int exact_order(const Value& a, const Value& b) {
  if (a.is_int() && b.is_real()) return exact_cmp(a.int_value(), b.real_value());
  if (a.is_real() && b.is_int()) return -exact_cmp(b.int_value(), a.real_value());
  if (a.is_int() && b.is_int()) return (a.int_value() > b.int_value()) - (a.int_value() < b.int_value());
  return static_cast<int>(cmp_value(a, b));
}

// Random pairs: the byte order of index keys is the value order away from
// the documented differences (-0.0, NaN, integers rounding to one double);
// identity keys order numbers exactly.
TEST(KeyEncodingTest, RandomPairsOrderAsTheirValues) {
  auto beyond_2_53 = [](const Value& v) {
    return v.is_int() && (v.int_value() > (1ll << 53) || v.int_value() < -(1ll << 53));
  };
  std::mt19937_64 rng(11);
  for (int i = 0; i < 40000; ++i) {
    Value a = random_value(rng), b = random_value(rng);
    if (i % 2 && rng() % 3 == 0) a = I(kMax - static_cast<std::int64_t>(rng() % 3000));
    if (i % 2 && rng() % 3 == 0) b = R(9223372036854775808.0 - 1024.0 * static_cast<double>(rng() % 3));
    SCOPED_TRACE(value_debug(a) + " " + value_debug(b));
    if (!beyond_2_53(a) && !beyond_2_53(b)) {
      EXPECT_EQ(bytes_cmp(enc(a), enc(b)), static_cast<int>(cmp_value(a, b)));
    }
    EXPECT_EQ(bytes_cmp(ident(a), ident(b)), exact_order(a, b));
  }
}

TEST(IdentityKeyTest, ExactOrderAndEquality) {
  const std::pair<Value, Value> equal[] = {
      {I(1), R(1.0)}, {R(-0.0), R(0.0)}, {R(-0.0), I(0)}, {I(1ll << 53), R(9007199254740992.0)},
      {I(kMin), R(-9223372036854775808.0)}};
  for (const auto& [a, b] : equal) EXPECT_EQ(ident(a), ident(b)) << value_debug(a);
  EXPECT_EQ(keyenc::encode_identity_key(Row{I(1), T("a")}), keyenc::encode_identity_key(Row{R(1.0), T("a")}));
  // Ascending: neighbouring integers stay distinct where doubles merge them.
  const Value ascending[] = {I(kMin), I(kMin + 1), I(kMin + 2), I(-(1ll << 53) - 1), I(-(1ll << 53)),
                             I((1ll << 53) - 1), I(1ll << 53), I((1ll << 53) + 1), R(9007199254740994.0),
                             I((1ll << 53) + 3), R(9223372036854774784.0), I(kMax - 1), I(kMax),
                             R(9223372036854775808.0)};
  for (std::size_t i = 1; i < std::size(ascending); ++i) {
    EXPECT_LT(ident(ascending[i - 1]), ident(ascending[i])) << value_debug(ascending[i]);
  }
}

// A bound key padded for "at or below" lies above every index key of its
// values, whatever the row id or further columns, and below the next value.
TEST(BoundKeyTest, PaddedBoundLiesAboveEveryRowId) {
  std::string lo, hi;
  keyenc::encode_bound_key_into(lo, Row{I(5)}, false);
  keyenc::encode_bound_key_into(hi, Row{I(5)}, true);
  EXPECT_EQ(hi.size(), lo.size() + 9);
  EXPECT_LT(lo, keyenc::encode_index_key(Row{I(5)}, kMin));
  EXPECT_GT(hi, keyenc::encode_index_key(Row{I(5)}, kMax));  // the row id 2^63-1 is kept
  EXPECT_GT(hi, keyenc::encode_index_key(Row{I(5), B("\xff\xff")}, kMax));
  EXPECT_LT(hi, keyenc::encode_index_key(Row{I(6)}, kMin));
  keyenc::encode_bound_key_into(hi, Row{T("ab")}, true);
  EXPECT_GT(hi, keyenc::encode_index_key(Row{T("ab")}, kMax));
  EXPECT_LT(hi, keyenc::encode_index_key(Row{T("ab\x01")}, kMin));
}

}  // namespace
}  // namespace bkf::testing
