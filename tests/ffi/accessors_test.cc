// Reading the buffered result: numbers as integers and text, blobs as text,
// and how long the handed-out strings live (the sanitizers catch a string
// freed too early).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "c_test_util.h"

namespace bkf_ctest {
namespace {

class Accessors : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(db.get(), nullptr); }

  // Runs "SELECT ?" with a real bound.
  void select_real(double x) {
    Stmt q(db, "SELECT ?");
    bkf_bind_real(q, 0, x);
    ASSERT_EQ(bkf_exec_prepared(db, q), 1) << last_error(db);
  }

  TempDir dir;
  Db db{dir.file("a.db")};
};

TEST_F(Accessors, TextOfReals) {
  const struct {
    double x;
    const char* text;
  } cases[] = {
      {3.0, "3"}, {-0.0, "0"}, {0.5, "0.5"}, {-2.25, "-2.25"}, {0.1, "0.1"}, {1e15 - 1, "999999999999999"},
      {1e15, "1000000000000000"}, {-1e15, "-1000000000000000"}, {1e-7, "0.0000001"}, {1e20, "100000000000000000000"},
      {123456789.125, "123456789.125"}, {std::nan(""), "NaN"}, {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    select_real(c.x);
    EXPECT_EQ(str(db, 0, 0), c.text);
  }
  select_real(5e-324);  // the smallest subnormal, written out in full
  EXPECT_EQ(str(db, 0, 0), "0." + std::string(323, '0') + "5");
}

TEST_F(Accessors, TextOfLiteralCells) {
  ASSERT_EQ(bkf_exec(db, "SELECT 42, -7, 9223372036854775807, 2.0, 'caf\xc3\xa9', x'48690a', NULL, ''"), 1);
  const char* expected[] = {"42", "-7", "9223372036854775807", "2", "caf\xc3\xa9", "Hi\n", nullptr, ""};
  for (size_t c = 0; c < 8; ++c) {
    SCOPED_TRACE(c);
    const char* s = bkf_get_str(db, 0, c);
    if (expected[c] == nullptr) EXPECT_EQ(s, nullptr);
    else EXPECT_STREQ(s, expected[c]);
  }
}

// Blobs read as UTF-8; every ill-formed stretch becomes one U+FFFD.
TEST_F(Accessors, BlobsDecodeWithReplacementCharacters) {
  const char* R = "\xef\xbf\xbd";
  const struct {
    const char* hex;
    std::string text;
  } cases[] = {
      {"61ff62", std::string("a") + R + "b"}, {"c328", std::string(R) + "("},
      {"e282", R},                         // truncated three-byte sequence: one replacement
      {"e28241", std::string(R) + "A"},
      {"f09f98", R},                       // truncated four-byte sequence
      {"f09f9880", "\xf0\x9f\x98\x80"},    // well formed
      {"eda080", std::string(R) + R + R},  // encoded surrogate: three replacements
      {"c0af", std::string(R) + R},        // overlong
      {"f4908080", std::string(R) + R + R + R},  // above U+10FFFF
      {"80bf", std::string(R) + R},        // lone continuation bytes
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex);
    const std::string sql = std::string("SELECT x'") + c.hex + "'";
    ASSERT_EQ(bkf_exec(db, sql.c_str()), 1) << last_error(db);
    EXPECT_EQ(str(db, 0, 0), c.text);
    EXPECT_EQ(bkf_get_text(db, 0, 0), nullptr);  // a blob is no text
  }
}

TEST_F(Accessors, IntegersFromCells) {
  Stmt q(db, "SELECT ?, ?, ?, ?, ?, ?, ?, ?, ?");
  const double reals[] = {2.9, -2.9, 1e30, -1e30, std::nan("")};
  for (int i = 0; i < 5; ++i) bkf_bind_real(q, i, reals[i]);
  bkf_bind_text(q, 5, "123");
  bkf_bind_int(q, 6, INT64_MIN);
  // slot 7 left NULL
  bkf_bind_real(q, 8, 9007199254740993.0);
  ASSERT_EQ(bkf_exec_prepared(db, q), 1) << last_error(db);
  const struct {
    size_t col;
    int32_t rc;
    int64_t value;
  } cases[] = {
      {0, 1, 2}, {1, 1, -2}, {2, 1, INT64_MAX}, {3, 1, INT64_MIN}, {4, 1, 0},
      {5, 0, -99},  // text is not parsed; out untouched
      {6, 1, INT64_MIN}, {7, 0, -99}, {8, 1, 9007199254740992},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.col);
    int64_t out = -99;
    EXPECT_EQ(bkf_get_i64(db, 0, c.col, &out), c.rc);
    EXPECT_EQ(out, c.value);
  }
  EXPECT_EQ(bkf_get_i64(db, 0, 0, nullptr), 1);
  int64_t out = -99;
  EXPECT_EQ(bkf_get_i64(db, 1, 0, &out), -1);
  EXPECT_EQ(bkf_get_i64(db, 0, 9, &out), -1);
  EXPECT_EQ(out, -99);
}

// A handed-out string lives until the next string call that reaches a value
// (a call that reaches none, later statements and failures keep it); a
// text holding a NUL is not handed out.
TEST_F(Accessors, HandedOutStringsAndWhatKeepsThem) {
  ASSERT_EQ(bkf_exec(db, "SELECT 'kept' AS a, 5 AS b, NULL AS c"), 1);
  const char* s = bkf_get_str(db, 0, 0);
  ASSERT_STREQ(s, "kept");
  EXPECT_EQ(bkf_get_str(db, 1, 0), nullptr);   // row out of range
  EXPECT_EQ(bkf_get_str(db, 0, 3), nullptr);   // column out of range
  EXPECT_EQ(bkf_get_str(db, 0, 2), nullptr);   // SQL NULL
  EXPECT_EQ(bkf_get_text(db, 0, 1), nullptr);  // not a text
  EXPECT_EQ(bkf_get_text(db, 0, 2), nullptr);
  EXPECT_STREQ(s, "kept");
  const char* name = bkf_col_name(db, 1);
  ASSERT_STREQ(name, "b");
  EXPECT_EQ(bkf_col_name(db, 3), nullptr);
  EXPECT_STREQ(name, "b");
  ASSERT_EQ(bkf_exec(db, "CREATE TABLE t (a TEXT); INSERT INTO t VALUES ('x'); SELECT a FROM t"), 2);
  EXPECT_EQ(bkf_exec(db, "SELECT * FROM nowhere"), -1);
  EXPECT_STREQ(s, "kept");
  EXPECT_STREQ(name, "b");
  ASSERT_EQ(bkf_exec(db, "SELECT 'kept' AS a, 5 AS b"), 1);
  EXPECT_STREQ(bkf_get_text(db, 0, 0), "kept");
  EXPECT_STREQ(bkf_col_name(db, 0), "a");
  EXPECT_STREQ(bkf_get_str(db, 0, 1), "5");
  ASSERT_EQ(bkf_exec(db, "SELECT x'610062', 'ok'"), 1);
  EXPECT_EQ(bkf_get_str(db, 0, 0), nullptr);
  EXPECT_STREQ(bkf_get_str(db, 0, 1), "ok");
}

// Many cells read one after another reuse one buffer; each string is right
// when it is handed out.
TEST_F(Accessors, ManyCellsOneBuffer) {
  ASSERT_EQ(bkf_exec(db, "CREATE TABLE t (a INTEGER, b TEXT)"), 0);
  Stmt ins(db, "INSERT INTO t VALUES (?, ?)");
  ASSERT_EQ(bkf_exec(db, "BEGIN"), 0);
  for (int i = 0; i < 200; ++i) {
    bkf_bind_int(ins, 0, i);
    bkf_bind_text(ins, 1, std::string(static_cast<size_t>(i), 'x').c_str());
    ASSERT_EQ(bkf_exec_prepared(db, ins), 1);
  }
  ASSERT_EQ(bkf_exec(db, "COMMIT"), 0);
  ASSERT_EQ(bkf_exec(db, "SELECT a, b FROM t ORDER BY a DESC"), 200);
  for (size_t r = 0; r < 200; ++r) {
    const size_t n = 199 - r;
    EXPECT_EQ(str(db, r, 0), std::to_string(n));
    const char* b = bkf_get_text(db, r, 1);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::strlen(b), n);
  }
}

}  // namespace
}  // namespace bkf_ctest
