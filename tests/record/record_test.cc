#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "record/record.h"
#include "record/serial.h"
#include "record/utf8.h"
#include "record/varint.h"
#include "support/hex.h"

namespace bkf {
namespace {

using testing::hex;
using testing::unhex;

std::string corrupt_message(const Status& s) {
  if (s.ok()) return "ok";
  EXPECT_EQ(s.error().kind(), ErrorKind::Corrupt);
  return s.error().message();
}

// Column i read through the reader (reset on rec) as decode_column reads it.
void expect_reader_agrees(RecordColumns& cols, std::string_view rec, std::size_t i) {
  Value want, got;
  const Status sw = decode_column_into(rec, i, want), sg = cols.read_into(i, got);
  EXPECT_EQ(corrupt_message(sw), corrupt_message(sg)) << hex(rec) << " column " << i;
  if (sw.ok() && sg.ok()) {
    EXPECT_TRUE(want.identical(got)) << hex(rec) << " column " << i;
  }
}

// Canonical forms are what the writer produces; the reader also takes
// overlong forms, and refuses a tenth byte above 1 and input cut short.
TEST(VarintTest, GoldenFormsAndReaderLimits) {
  struct Case {
    const char* bytes;
    std::uint64_t v;
    std::size_t len;  // read length; 0: the error
    const char* error;
    bool canonical;
  };
  const Case cases[] = {
      {"00", 0, 1, "", true}, {"7f", 127, 1, "", true}, {"8001", 128, 2, "", true}, {"ac02", 300, 2, "", true},
      {"ff7f", 16383, 2, "", true}, {"808001", 16384, 3, "", true},
      {"ffffffffffffffff7f", (1ull << 63) - 1, 9, "", true},
      {"80808080808080808001", 1ull << 63, 10, "", true},
      {"ffffffffffffffffff01", ~0ull, 10, "", true},
      {"8000", 0, 2, "", false},
      {"ffffffffffffffff8000", (1ull << 56) - 1, 10, "", false},
      {"0580", 5, 1, "", false},  // trailing bytes are not read
      {"ffffffffffffffffff02", 0, 0, "uvarint overflow / overlong", false},
      {"ffffffffffffffffff81", 0, 0, "uvarint overflow / overlong", false},
      {"", 0, 0, "truncated uvarint", false},
      {"80", 0, 0, "truncated uvarint", false},
      {"ffffffffffffffffff", 0, 0, "truncated uvarint", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    auto r = read_uvarint_slow(unhex(c.bytes));
    EXPECT_EQ(r.ok() ? "" : r.error().message(), c.error);
    if (r.ok()) {
      EXPECT_EQ(*r, std::make_pair(c.v, c.len));
    }
    if (!c.canonical) continue;
    std::string out;
    append_uvarint(out, c.v);
    EXPECT_EQ(hex(out), c.bytes);
    EXPECT_EQ(uvarint_len(c.v), out.size());
  }
}

TEST(RecordTest, GoldenRecords) {
  EXPECT_EQ(hex(encode_record({})), "01");
  std::vector<Value> row = {Value::integer(1), Value::text("ab"), Value::null()};
  EXPECT_EQ(hex(encode_record(row)), "04091100" "6162");
  std::vector<Value> reals = {Value::real(2.0)};
  EXPECT_EQ(hex(encode_record(reals)), "02074000000000000000");
  std::vector<Value> blob = {Value::blob(std::string("\x00\xff", 2)), Value::integer(0)};
  EXPECT_EQ(hex(encode_record(blob)), "03100800ff");
}

// Each integer takes the narrowest serial type that holds it.
TEST(RecordTest, IntegerWidthsAtEveryBoundary) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min(), kMax = std::numeric_limits<std::int64_t>::max();
  const std::pair<std::int64_t, const char*> cases[] = {  // value, serial type and body
      {0, "08"}, {1, "09"}, {2, "0102"}, {-1, "01ff"}, {127, "017f"}, {-128, "0180"},
      {128, "020080"}, {-129, "02ff7f"}, {300, "02012c"}, {32767, "027fff"}, {-32768, "028000"},
      {32768, "03008000"}, {-32769, "03ff7fff"}, {8388607, "037fffff"}, {-8388608, "03800000"},
      {8388608, "0400800000"}, {-8388609, "04ff7fffff"}, {2147483647, "047fffffff"}, {-2147483648LL, "0480000000"},
      {2147483648LL, "05000080000000"}, {140737488355327LL, "057fffffffffff"}, {-140737488355328LL, "05800000000000"},
      {140737488355328LL, "060000800000000000"}, {-140737488355329LL, "06ffff7fffffffffff"},
      {kMax, "067fffffffffffffff"}, {kMin, "068000000000000000"},
  };
  for (auto [v, bytes] : cases) {
    const std::string rec = encode_record(std::vector<Value>{Value::integer(v)});
    EXPECT_EQ(hex(rec), std::string("02") + bytes) << v;
    EXPECT_TRUE(decode_column(rec, 0)->identical(Value::integer(v))) << v;
  }
  // 127 one-byte serial types need a header size of two bytes: 129 as 81 01.
  const std::string rec = encode_record(std::vector<Value>(127, Value::null()));
  EXPECT_EQ(hex(rec.substr(0, 2)), "8101");
  EXPECT_EQ(rec.size(), 129u);
  EXPECT_EQ(decode_record(rec)->size(), 127u);
}

TEST(RecordTest, DecodeErrors) {
  struct Case {
    std::string rec;
    const char* whole;   // decode_record's outcome
    const char* col1;    // decode_column(rec, 1)'s outcome
  };
  const Case cases[] = {
      {"", "truncated uvarint", "truncated uvarint"},
      {unhex("05"), "record header size exceeds buffer", "record header size exceeds buffer"},
      {unhex("0381"), "record header size exceeds buffer", "record header size exceeds buffer"},
      // a serial type whose varint runs past H
      {unhex("02810000"), "truncated uvarint", "truncated uvarint"},
      {unhex("030113" "05"), "record body exceeds buffer", "record body exceeds buffer"},
      {unhex("02" "0a"), "reserved serial type", "ok"},
      {unhex("03" "0a01" "07"), "reserved serial type", "ok"},  // reserved type has length 0
      {unhex("03" "0f00" "ff"), "text body is not valid UTF-8", "ok"},
      {unhex("0b" "ffffffffffffffffff02" "00"), "uvarint overflow / overlong", "uvarint overflow / overlong"},
      // two bodies of ~2^63 bytes: their offsets add up past 2^64
      {unhex("15" "ffffffffffffffffff01" "ffffffffffffffffff01"), "record body exceeds buffer",
       "record body length overflow"},
      // H = 0 means no columns
      {unhex("00"), "ok", "ok"},
  };
  RecordColumns cols;
  for (const Case& c : cases) {
    auto whole = decode_record(c.rec);
    EXPECT_EQ(corrupt_message(whole.ok() ? Status() : Status(whole.error())), c.whole) << hex(c.rec);
    Value v;
    EXPECT_EQ(corrupt_message(decode_column_into(c.rec, 1, v)), c.col1) << hex(c.rec);
    cols.reset(c.rec);
    expect_reader_agrees(cols, c.rec, 1);
  }
  EXPECT_EQ(serial::decode_body(7, "1234").error().message(), "float body must be 8 bytes");
}

TEST(RecordTest, ColumnsPastTheHeaderAreNullAndTrailingBytesIgnored) {
  const std::string rec = encode_record(std::vector<Value>{Value::integer(7), Value::text("x")}) + "junk";
  EXPECT_EQ(decode_record(rec)->size(), 2u);
  EXPECT_TRUE(decode_column(rec, 4)->is_null());
  EXPECT_TRUE(decode_column("\x01", 0)->is_null());
  RecordColumns cols;
  cols.reset(rec);
  EXPECT_EQ(*cols.column_count(), 2u);
  for (std::size_t i = 0; i < 5; ++i) expect_reader_agrees(cols, rec, i);
}

// Random rows survive encode/decode, and RecordColumns answers like
// decode_column in any reading order, also on damaged copies of the record.
TEST(RecordTest, RandomRoundTripAndColumnReaderAgreement) {
  std::mt19937_64 rng(42);
  auto random_value = [&]() -> Value {
    switch (rng() % 6) {
      case 0: return Value::null();
      case 1: return Value::integer(static_cast<std::int64_t>(rng()) >> (rng() % 64));
      case 2: return Value::real(std::bit_cast<double>(rng()));
      case 3: return Value::text(std::string(rng() % 40, static_cast<char>('a' + rng() % 26)));
      case 4: {
        std::string b(rng() % 300, '\0');
        for (char& c : b) c = static_cast<char>(rng());
        return Value::blob(b);
      }
      default: return Value::integer(static_cast<std::int64_t>(rng() % 3));
    }
  };
  std::string buf;
  RecordColumns cols;
  for (int iter = 0; iter < 2000; ++iter) {
    std::vector<Value> row(rng() % 20);
    for (Value& v : row) v = random_value();
    encode_record_into(buf, row);
    EXPECT_EQ(buf, encode_record(row));
    auto back = decode_record(buf);
    ASSERT_TRUE(back.ok());
    ASSERT_EQ(back->size(), row.size());
    for (std::size_t i = 0; i < row.size(); ++i) EXPECT_TRUE((*back)[i].identical(row[i]));

    std::string damaged = buf;
    for (int k = 0; k < 3 && !damaged.empty(); ++k) damaged[rng() % damaged.size()] = static_cast<char>(rng());
    if (rng() % 4 == 0) damaged.resize(rng() % (damaged.size() + 1));
    for (const std::string* rec : {&buf, &damaged}) {
      cols.reset(*rec);
      for (int k = 0; k < 10; ++k) expect_reader_agrees(cols, *rec, rng() % (row.size() + 3));
      (void)decode_record(*rec);  // must not crash on damage
    }
  }
}

// One reader over rows that repeat, cut short or change the previous row's
// header: every column reads as decode_column reads it.
TEST(RecordTest, ColumnReaderOverChangingHeaders) {
  std::string a = encode_record(std::vector<Value>{Value::integer(5), Value::text("ab"), Value::real(0.5)});
  std::string same_header = encode_record(std::vector<Value>{Value::integer(7), Value::text("cd"), Value::real(2.5)});
  std::string wider_int = encode_record(std::vector<Value>{Value::integer(300), Value::text("ab"), Value::real(0.5)});
  // a.substr(0, 4) is the header alone (bodies run past the end),
  // a.substr(0, 2) is cut inside the header.
  const std::string rows[] = {a, same_header, a.substr(0, 4), same_header, a.substr(0, 2), wider_int, a, a + "trailing", ""};
  RecordColumns cols;
  for (const std::string& row : rows) {
    cols.reset(row);
    for (std::size_t i = 0; i < 4; ++i) expect_reader_agrees(cols, row, i);
  }
}

TEST(SpliceTest, KeepsReplacesAndChecksColumns) {
  const Value n = Value::null(), i1000 = Value::integer(1000), zz = Value::blob("zz");
  const std::string old = encode_record(std::vector<Value>{i1000, Value::text("old"), Value::real(1.5)});
  struct Case {
    std::string old;
    std::vector<Value> values;
    std::vector<bool> keep;
    std::string want;  // the record, or the error
  };
  const Case cases[] = {
      {old, {n, n, n}, {true, true, true}, old},  // all kept: byte for byte
      {old, {n, zz}, {true, false}, encode_record(std::vector<Value>{i1000, zz})},  // replace, drop the last
      // More values than old columns: kept missing columns become Null.
      {old, {n, n, n, n, zz}, {true, true, true, true, false},
       encode_record(std::vector<Value>{i1000, Value::text("old"), Value::real(1.5), n, zz})},
      {unhex("038900"), {n}, {true}, unhex("0209")},  // a non-shortest serial type is written shortest
      {unhex("030a0fff"), {n, n}, {true, true}, unhex("030a0fff")},  // reserved type, bad text: copied
      {unhex("03011305"), {n}, {true}, unhex("020105")},  // columns beyond the values are not looked at
      {"", {n}, {true}, "truncated uvarint"},
      {unhex("09"), {n}, {true}, "record header size exceeds buffer"},
      {unhex("0213"), {n}, {false}, "record body exceeds buffer"},  // checked even when replaced
  };
  for (const Case& c : cases) {
    std::string out;
    const Status st = splice_record_into(out, c.old, c.values, c.keep);
    EXPECT_EQ(st.ok() ? hex(out) : corrupt_message(st), st.ok() ? hex(c.want) : c.want) << hex(c.old);
  }
}

TEST(Utf8Test, Strict) {
  const char* valid[] = {"", "00", "7f", "c280", "dfbf", "e0a080", "ed9fbf", "efbfbf", "f0908080",
                         "f48fbfbf" /* U+10FFFF */, "616161616161616161c3a9"};
  const char* invalid[] = {"eda080", "edbfbf",  // surrogates
                           "f4908080", "f5808080",  // above U+10FFFF
                           "c080", "c1bf", "e08080", "e09fbf", "f08fbfbf",  // overlong
                           "80", "c2", "e0a0", "c241", "6161616161616161c3"};  // cut short or stray
  for (const char* h : valid) EXPECT_TRUE(is_valid_utf8(unhex(h))) << h;
  for (const char* h : invalid) EXPECT_FALSE(is_valid_utf8(unhex(h))) << h;
  // One stray byte, or one valid two-byte character, at every position of
  // ASCII texts of every length up to 40 (the word-wise ASCII test must see
  // each byte).
  for (std::size_t n = 1; n <= 40; ++n) {
    EXPECT_TRUE(is_valid_utf8(std::string(n, 'a')));
    for (std::size_t at = 0; at < n; ++at) {
      SCOPED_TRACE(std::to_string(n) + " " + std::to_string(at));
      std::string t(n, 'a');
      for (char stray : {'\x80', '\xff'}) {
        t[at] = stray;
        EXPECT_FALSE(is_valid_utf8(t));
      }
      std::string u(n, 'a');
      u.insert(at, "\xc3\xa9");
      EXPECT_TRUE(is_valid_utf8(u));
      u.erase(at + 1, 1);  // a lead byte without its continuation
      EXPECT_FALSE(is_valid_utf8(u));
    }
  }
}

}  // namespace
}  // namespace bkf
