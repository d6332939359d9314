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

TEST(VarintTest, GoldenForms) {
  struct Case {
    std::uint64_t v;
    const char* bytes;
  };
  const Case cases[] = {
      {0, "00"},
      {127, "7f"},
      {128, "8001"},
      {300, "ac02"},
      {16383, "ff7f"},
      {16384, "808001"},
      {(1ull << 63) - 1, "ffffffffffffffff7f"},
      {1ull << 63, "80808080808080808001"},
      {~0ull, "ffffffffffffffffff01"},
  };
  for (const Case& c : cases) {
    std::string out;
    append_uvarint(out, c.v);
    EXPECT_EQ(hex(out), c.bytes) << c.v;
    EXPECT_EQ(uvarint_len(c.v), out.size());
    auto r = read_uvarint_slow(out);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->first, c.v);
    EXPECT_EQ(r->second, out.size());
  }
}

TEST(VarintTest, ReaderAcceptsOverlongAndRejectsBadTenthByte) {
  struct Case {
    const char* bytes;
    std::uint64_t v;
    std::size_t len;  // 0: error
    const char* error;
  };
  const Case cases[] = {
      {"8000", 0, 2, ""},                       // non-shortest zero
      {"ffffffffffffffff8000", (1ull << 56) - 1, 10, ""},  // overlong ten-byte form
      {"ffffffffffffffffff01", ~0ull, 10, ""},  // tenth byte 1: bit 63
      {"ffffffffffffffffff02", 0, 0, "uvarint overflow / overlong"},
      {"ffffffffffffffffff81", 0, 0, "uvarint overflow / overlong"},
      {"", 0, 0, "truncated uvarint"},
      {"80", 0, 0, "truncated uvarint"},
      {"ffffffffffffffffff", 0, 0, "truncated uvarint"},
      {"0580", 5, 1, ""},  // trailing bytes are not read
  };
  for (const Case& c : cases) {
    auto r = read_uvarint_slow(unhex(c.bytes));
    if (c.len == 0) {
      ASSERT_FALSE(r.ok()) << c.bytes;
      EXPECT_EQ(r.error().message(), c.error);
    } else {
      ASSERT_TRUE(r.ok()) << c.bytes;
      EXPECT_EQ(r->first, c.v) << c.bytes;
      EXPECT_EQ(r->second, c.len);
    }
  }
}

TEST(VarintTest, Zigzag) {
  const std::int64_t vals[] = {0, -1, 1, -2, 2, std::numeric_limits<std::int64_t>::min(),
                               std::numeric_limits<std::int64_t>::max()};
  const std::uint64_t want[] = {0, 1, 2, 3, 4, ~0ull, ~0ull - 1};
  for (std::size_t i = 0; i < std::size(vals); ++i) {
    EXPECT_EQ(zigzag_encode(vals[i]), want[i]);
    EXPECT_EQ(zigzag_decode(want[i]), vals[i]);
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

TEST(RecordTest, IntegerWidthsAtEveryBoundary) {
  struct Case {
    std::int64_t v;
    std::uint64_t type;
    const char* body;
  };
  const Case cases[] = {
      {0, 8, ""},
      {1, 9, ""},
      {2, 1, "02"},
      {-1, 1, "ff"},
      {127, 1, "7f"},
      {-128, 1, "80"},
      {128, 2, "0080"},
      {-129, 2, "ff7f"},
      {300, 2, "012c"},
      {32767, 2, "7fff"},
      {-32768, 2, "8000"},
      {32768, 3, "008000"},
      {-32769, 3, "ff7fff"},
      {8388607, 3, "7fffff"},
      {-8388608, 3, "800000"},
      {8388608, 4, "00800000"},
      {-8388609, 4, "ff7fffff"},
      {2147483647, 4, "7fffffff"},
      {-2147483648LL, 4, "80000000"},
      {2147483648LL, 5, "000080000000"},
      {140737488355327LL, 5, "7fffffffffff"},
      {-140737488355328LL, 5, "800000000000"},
      {140737488355328LL, 6, "0000800000000000"},
      {-140737488355329LL, 6, "ffff7fffffffffff"},
      {std::numeric_limits<std::int64_t>::max(), 6, "7fffffffffffffff"},
      {std::numeric_limits<std::int64_t>::min(), 6, "8000000000000000"},
  };
  for (const Case& c : cases) {
    std::vector<Value> row = {Value::integer(c.v)};
    std::string rec = encode_record(row);
    std::string body = std::string(c.body);
    EXPECT_EQ(hex(rec), hex(std::string(1, '\x02') + static_cast<char>(c.type)) + body) << c.v;
    auto back = decode_column(rec, 0);
    ASSERT_TRUE(back.ok());
    EXPECT_TRUE(back->identical(Value::integer(c.v))) << c.v;
  }
}

TEST(RecordTest, HeaderSizeNeedsTwoBytesAtT127) {
  EXPECT_EQ(record_header_size(0), 1u);
  EXPECT_EQ(record_header_size(126), 127u);
  EXPECT_EQ(record_header_size(127), 129u);
  EXPECT_EQ(record_header_size(16381), 16383u);
  EXPECT_EQ(record_header_size(16382), 16385u);
  // 127 one-byte serial types: H = 129 written as 81 01.
  std::vector<Value> row(127, Value::null());
  std::string rec = encode_record(row);
  ASSERT_EQ(rec.size(), 129u);
  EXPECT_EQ(hex(rec.substr(0, 2)), "8101");
  auto back = decode_record(rec);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->size(), 127u);
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
  for (const Case& c : cases) {
    auto whole = decode_record(c.rec);
    EXPECT_EQ(corrupt_message(whole.ok() ? Status() : Status(whole.error())), c.whole) << hex(c.rec);
    Value v;
    EXPECT_EQ(corrupt_message(decode_column_into(c.rec, 1, v)), c.col1) << hex(c.rec);
    RecordColumns cols;
    cols.reset(c.rec);
    EXPECT_EQ(corrupt_message(cols.read_into(1, v)), c.col1) << hex(c.rec);
  }
  auto bad_float = serial::decode_body(7, "1234");
  ASSERT_FALSE(bad_float.ok());
  EXPECT_EQ(bad_float.error().message(), "float body must be 8 bytes");
}

TEST(RecordTest, ColumnsPastTheHeaderAreNullAndTrailingBytesIgnored) {
  std::vector<Value> row = {Value::integer(7), Value::text("x")};
  std::string rec = encode_record(row) + "junk";
  auto all = decode_record(rec);
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(all->size(), 2u);
  for (std::size_t i = 2; i < 5; ++i) EXPECT_TRUE(decode_column(rec, i)->is_null());
  EXPECT_TRUE(decode_column("\x01", 0)->is_null());
  RecordColumns cols;
  cols.reset(rec);
  EXPECT_EQ(*cols.column_count(), 2u);
  EXPECT_TRUE(cols.read(1)->identical(Value::text("x")));
  EXPECT_TRUE(cols.read(9)->is_null());
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
      for (int k = 0; k < 10; ++k) {
        std::size_t i = rng() % (row.size() + 3);
        Value a, b;
        Status sa = decode_column_into(*rec, i, a);
        Status sb = cols.read_into(i, b);
        ASSERT_EQ(sa.ok(), sb.ok());
        if (sa.ok()) EXPECT_TRUE(a.identical(b));
        else EXPECT_EQ(sa.error().message(), sb.error().message());
      }
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
  const std::vector<std::string> rows = {a,
                                         same_header,
                                         a.substr(0, 4),  // the header alone: bodies run past the end
                                         same_header,
                                         a.substr(0, 2),  // cut inside the header
                                         wider_int,
                                         a,
                                         a + "trailing",
                                         ""};
  RecordColumns cols;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    cols.reset(rows[r]);
    for (std::size_t i = 0; i < 4; ++i) {
      Value want, got;
      Status sw = decode_column_into(rows[r], i, want);
      Status sg = cols.read_into(i, got);
      ASSERT_EQ(sw.ok(), sg.ok()) << "row " << r << " column " << i;
      if (sw.ok()) EXPECT_TRUE(want.identical(got)) << "row " << r << " column " << i;
      else EXPECT_EQ(sw.error().message(), sg.error().message()) << "row " << r << " column " << i;
    }
  }
}

TEST(SpliceTest, KeepsAndReplacesColumns) {
  std::vector<Value> old_row = {Value::integer(1000), Value::text("old"), Value::real(1.5)};
  std::string old = encode_record(old_row);
  std::string out;

  // All kept, same count: byte for byte.
  std::vector<Value> any(3);
  ASSERT_TRUE(splice_record_into(out, old, any, std::vector<bool>{true, true, true}).ok());
  EXPECT_EQ(out, old);

  // Replace the middle, drop the last.
  std::vector<Value> two = {Value::null(), Value::blob("zz")};
  ASSERT_TRUE(splice_record_into(out, old, two, std::vector<bool>{true, false}).ok());
  std::vector<Value> want2 = {Value::integer(1000), Value::blob("zz")};
  EXPECT_EQ(out, encode_record(want2));

  // More values than old columns: kept missing columns become Null.
  std::vector<Value> five = {Value::null(), Value::null(), Value::null(), Value::null(), Value::integer(5)};
  bool keep5[] = {true, true, true, true, false};
  ASSERT_TRUE(splice_record_into(out, old, five, std::span<const bool>(keep5)).ok());
  std::vector<Value> want5 = {Value::integer(1000), Value::text("old"), Value::real(1.5), Value::null(),
                              Value::integer(5)};
  EXPECT_EQ(out, encode_record(want5));

  // A non-shortest serial type varint is rewritten in shortest form.
  std::string overlong = unhex("03" "8900");  // H=3, type 9 written in two bytes
  std::vector<Value> one(1);
  ASSERT_TRUE(splice_record_into(out, overlong, one, std::vector<bool>{true}).ok());
  EXPECT_EQ(hex(out), "0209");

  // Kept reserved types and undecodable text are copied without decoding.
  std::string odd = unhex("03" "0a0f" "ff");
  std::vector<Value> two_any(2);
  ASSERT_TRUE(splice_record_into(out, odd, two_any, std::vector<bool>{true, true}).ok());
  EXPECT_EQ(out, odd);
}

TEST(SpliceTest, DamagedOldRecord) {
  std::string out;
  std::vector<Value> one = {Value::integer(1)};
  EXPECT_EQ(corrupt_message(splice_record_into(out, "", one, std::vector<bool>{true})), "truncated uvarint");
  EXPECT_EQ(corrupt_message(splice_record_into(out, unhex("09"), one, std::vector<bool>{true})),
            "record header size exceeds buffer");
  // The body is checked even when the column is replaced.
  EXPECT_EQ(corrupt_message(splice_record_into(out, unhex("0213"), one, std::vector<bool>{false})),
            "record body exceeds buffer");
  // Columns beyond the values are not looked at.
  EXPECT_TRUE(splice_record_into(out, unhex("03" "0113" "05"), one, std::vector<bool>{true}).ok());
}

TEST(Utf8Test, Strict) {
  struct Case {
    const char* hex;
    bool ok;
  };
  const Case cases[] = {
      {"", true},
      {"00", true},
      {"7f", true},
      {"c280", true},
      {"dfbf", true},
      {"e0a080", true},
      {"ed9fbf", true},
      {"eda080", false},  // surrogate U+D800
      {"edbfbf", false},  // surrogate U+DFFF
      {"efbfbf", true},
      {"f0908080", true},
      {"f48fbfbf", true},   // U+10FFFF
      {"f4908080", false},  // above U+10FFFF
      {"f5808080", false},
      {"c080", false},  // overlong NUL
      {"c1bf", false},
      {"e08080", false},
      {"e09fbf", false},
      {"f08f bfbf", false},
      {"80", false},
      {"c2", false},
      {"e0a0", false},
      {"c241", false},
      {"6161616161616161c3", false},  // truncated after an ASCII run
      {"616161616161616161c3a9", true},
  };
  for (const Case& c : cases) {
    std::string h = c.hex;
    h.erase(std::remove(h.begin(), h.end(), ' '), h.end());
    EXPECT_EQ(is_valid_utf8(unhex(h)), c.ok) << c.hex;
  }
  // One stray byte, or one valid two-byte character, at every position of
  // ASCII texts of every length up to 40 (the word-wise ASCII test must see
  // each byte).
  for (std::size_t n = 1; n <= 40; ++n) {
    for (std::size_t at = 0; at < n; ++at) {
      std::string t(n, 'a');
      t[at] = static_cast<char>(0x80);
      EXPECT_FALSE(is_valid_utf8(t)) << n << " " << at;
      t[at] = static_cast<char>(0xff);
      EXPECT_FALSE(is_valid_utf8(t)) << n << " " << at;
      std::string u(n, 'a');
      u.insert(at, "\xc3\xa9");
      EXPECT_TRUE(is_valid_utf8(u)) << n << " " << at;
      u.erase(at + 1, 1);  // a lead byte without its continuation
      EXPECT_FALSE(is_valid_utf8(u)) << n << " " << at;
    }
    EXPECT_TRUE(is_valid_utf8(std::string(n, 'a')));
  }
}

}  // namespace
}  // namespace bkf
