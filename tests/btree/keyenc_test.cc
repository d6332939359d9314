#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "btree/key_ranges.h"
#include "btree/keyenc.h"
#include "exec/value_ops.h"
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

// Index probes against their meaning, by brute force over stored keys of two
// columns: a key lies in a range of the probe exactly when the comparisons
// accept it, apart from what the ranges document they cannot tell by the
// bytes: at the first column whose encoding is not the probed value's, a
// text against a number (and the later columns are then not looked at); an
// integer beyond 2^53 sharing its encoding. No key lies in two ranges, an
// exact range holds only keys the comparisons accept, and a range holds only
// first values of its regions.
TEST(ProbeRangesTest, RangesHoldWhatTheComparisonsAccept) {
  const std::int64_t two53 = std::int64_t{1} << 53;
  const std::vector<Value> pool = {
      N(), I(0), I(1), I(-1), I(7), I(two53), I(two53 + 1), I(-two53 - 1), I(kMax), I(kMin), R(0.0), R(-0.0),
      R(1.0), R(1.5), R(-1.5), R(7.0), R(static_cast<double>(two53)), R(kInf), R(-kInf), R(kNaN), R(-kNaN),
      T(""), T("0"), T("1"), T(" 1"), T("1.0"), T("1abc"), T("abc"), T("-0"), T("9007199254740993"), T("7"),
      T("1e999"), T("nan"), T(std::string("a\0", 2)), B(""), B(std::string("\0", 1)), B("1"), B("\xff")};
  std::mt19937_64 rng(2103);
  auto pick = [&] { return pool[rng() % pool.size()]; };
  auto holds = [](BinKind op, const Value& a, const Value& b) {
    return is_truthy(apply_bin(op, a, b));
  };
  auto region_of = [](const Value& v) -> int {
    if (v.is_real() && std::isnan(v.real_value())) return std::signbit(v.real_value()) ? 0 : 2;
    return v.is_number() ? 1 : v.is_text() ? 3 : v.is_blob() ? 4 : -1;
  };
  // The encoding a probed value's entries share (-0.0 is 0.0's; a NaN has none).
  auto own_encoding = [](const Value& v) -> std::optional<std::string> {
    if (v.is_null() || (v.is_real() && std::isnan(v.real_value()))) return std::nullopt;
    if (v.is_real() && v.real_value() == 0.0) return enc(R(0.0));
    return enc(v);
  };

  keyenc::ProbeRanges ranges;
  for (int round = 0; round < 3000; ++round) {
    // Shapes: (=), (=, =), (=, bounds), (bounds); a bound may be missing.
    const int shape = round % 4;
    std::vector<Value> eq(shape == 3 ? 0 : shape == 1 ? 2 : 1);
    for (Value& v : eq) v = pick();
    std::optional<Value> lower, upper;
    if (shape >= 2) {
      if (rng() % 3) lower = pick();
      if (rng() % 3 || !lower) upper = pick();
    }
    auto probe_value = [](const Value& v) { return keyenc::ProbeValue{&v, num_value(v)}; };
    std::vector<keyenc::ProbeValue> eq_values;
    for (const Value& v : eq) eq_values.push_back(probe_value(v));
    keyenc::ProbeValue lo_value, hi_value;
    keyenc::IndexProbe probe{eq_values};
    if (lower) probe.lower = &(lo_value = probe_value(*lower));
    if (upper) probe.upper = &(hi_value = probe_value(*upper));
    ranges.compute(probe);
    std::string trace = "probe";
    for (const Value& v : eq) trace += " = " + value_debug(v);
    if (lower) trace += " >= " + value_debug(*lower);
    if (upper) trace += " <= " + value_debug(*upper);
    SCOPED_TRACE(trace);

    // Whether stored value w meets probed column j, exactly and up to what
    // the bytes cannot tell.
    const std::size_t probed = eq.size() + (lower || upper ? 1 : 0);
    auto meets = [&](std::size_t j, const Value& w, bool loosely) {
      auto one = [&](BinKind op, const Value& v) {
        return holds(op, w, v) || (loosely && ((w.is_text() && v.is_number()) || enc(w) == enc(v)));
      };
      if (j < eq.size()) return one(BinKind::Eq, eq[j]);
      return (!lower || one(BinKind::Ge, *lower)) && (!upper || one(BinKind::Le, *upper));
    };
    for (int k = 0; k < 300; ++k) {
      const Row w = {pick(), pick()};
      const std::string key = keyenc::encode_index_key(w, static_cast<std::int64_t>(rng()));
      int found = -1, count = 0;
      for (std::size_t i = 0; i < ranges.ranges().size(); ++i) {
        const keyenc::KeyRange& r = ranges.ranges()[i];
        if (keyenc::compare_keys(r.lo, key) <= 0 && keyenc::compare_keys(key, r.hi) < 0) {
          found = static_cast<int>(i);
          ++count;
        }
      }
      bool accepted = true;
      for (std::size_t j = 0; j < probed; ++j) accepted = accepted && meets(j, w[j], false);
      bool allowed = true;
      for (std::size_t j = 0; j < probed; ++j) {
        const std::optional<std::string> own = j < eq.size() ? own_encoding(eq[j]) : std::nullopt;
        if (own && *own == enc(w[j])) continue;
        allowed = meets(j, w[j], true);
        break;
      }
      SCOPED_TRACE("key " + value_debug(w[0]) + ", " + value_debug(w[1]));
      EXPECT_LE(count, 1);
      EXPECT_TRUE(found >= 0 || !accepted);
      if (found < 0) continue;
      const keyenc::KeyRange& r = ranges.ranges()[found];
      EXPECT_TRUE(allowed);
      EXPECT_TRUE(accepted || !r.exact);
      const int region_no = region_of(w[0]);
      ASSERT_GE(region_no, 0);
      EXPECT_NE(r.first_regions & (1 << region_no), 0);
      const keyenc::KeyRange region = keyenc::region_range(static_cast<keyenc::ValueRegion>(region_no));
      EXPECT_TRUE(keyenc::compare_keys(region.lo, key) <= 0 && keyenc::compare_keys(key, region.hi) < 0);
    }
  }
}

}  // namespace
}  // namespace bkf::testing
