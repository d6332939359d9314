#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "pager/error.h"
#include "pager/result.h"

namespace bkf {
namespace {

TEST(ErrorTest, DisplayTextsOfEveryKind) {
  struct Case {
    Error err;
    ErrorKind kind;
    const char* text;
  };
  const Case cases[] = {
      {Error::io_failure("failed to write whole buffer"), ErrorKind::Io, "io error: failed to write whole buffer"},
      {Error::bad_header("bad magic"), ErrorKind::BadHeader, "bad database header: bad magic"},
      {Error::invalid_page(1), ErrorKind::InvalidPage, "invalid page id: 1"},
      {Error::invalid_page_size(1000), ErrorKind::InvalidPageSize, "invalid page size: 1000"},
      {Error::short_read(8192, 4096, 0), ErrorKind::ShortRead, "short read at offset 8192: wanted 4096 bytes, got 0"},
      {Error::not_found("/x/y.db"), ErrorKind::NotFound, "file not found: /x/y.db"},
      {Error::corrupt("bad varint"), ErrorKind::Corrupt, "corrupt data: bad varint"},
      {Error::tx(kTxNoneToCommit), ErrorKind::Tx, "transaction error: no active transaction to commit"},
      {Error::schema("no such table: t"), ErrorKind::Schema, "schema error: no such table: t"},
      {Error::parse("unterminated string literal", 7), ErrorKind::Parse,
       "parse error at byte 7: unterminated string literal"},
      {Error::exec("no such column: x"), ErrorKind::Exec, "execution error: no such column: x"},
      {Error::constraint("UNIQUE constraint failed: i"), ErrorKind::Constraint,
       "constraint violation: UNIQUE constraint failed: i"},
  };
  int n = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(c.err.kind(), c.kind);
    EXPECT_EQ(static_cast<int>(c.err.kind()), n++);
    EXPECT_EQ(c.err.to_string(), c.text);
  }
}

TEST(ErrorTest, OsErrorShowsSystemTextAndNumber) {
  Error e = Error::io(EBADF);
  std::string expected = std::string("io error: ") + std::strerror(EBADF) + " (os error 9)";
  EXPECT_EQ(e.to_string(), expected);
  EXPECT_EQ(e.os_errno(), EBADF);
}

TEST(ErrorTest, CopiesAreIndependent) {
  Error a = Error::corrupt("x");
  Error b = a;
  a = Error::exec("y");
  EXPECT_EQ(b.to_string(), "corrupt data: x");
  EXPECT_EQ(a.to_string(), "execution error: y");
}

Result<int> half(int v) {
  if (v % 2) return Error::exec("odd");
  return v / 2;
}

Result<int> quarter(int v) {
  int h = BKF_TRY(half(v));
  return BKF_TRY(half(h));
}

Status check_even(int v) {
  BKF_TRY(half(v));
  return {};
}

TEST(ResultTest, TryPropagatesErrorsAndValues) {
  EXPECT_EQ(*quarter(8), 2);
  Result<int> r = quarter(6);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "execution error: odd");
  EXPECT_TRUE(check_even(4).ok());
  EXPECT_FALSE(check_even(3).ok());
}

}  // namespace
}  // namespace bkf
