#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "pager/error.h"

namespace bkf {
namespace {

// The display texts users see, one per kind.
TEST(ErrorTest, DisplayTextsOfEveryKind) {
  const std::pair<Error, const char*> cases[] = {
      {Error::io_failure("failed to write whole buffer"), "io error: failed to write whole buffer"},
      {Error::io(EBADF), nullptr},
      {Error::bad_header("bad magic"), "bad database header: bad magic"},
      {Error::invalid_page(1), "invalid page id: 1"},
      {Error::invalid_page_size(1000), "invalid page size: 1000"},
      {Error::short_read(8192, 4096, 0), "short read at offset 8192: wanted 4096 bytes, got 0"},
      {Error::not_found("/x/y.db"), "file not found: /x/y.db"},
      {Error::corrupt("bad varint"), "corrupt data: bad varint"},
      {Error::tx(kTxNoneToCommit), "transaction error: no active transaction to commit"},
      {Error::schema("no such table: t"), "schema error: no such table: t"},
      {Error::parse("unterminated string literal", 7), "parse error at byte 7: unterminated string literal"},
      {Error::exec("no such column: x"), "execution error: no such column: x"},
      {Error::constraint("UNIQUE constraint failed: i"), "constraint violation: UNIQUE constraint failed: i"},
  };
  const std::string os_text = std::string("io error: ") + std::strerror(EBADF) + " (os error 9)";
  for (const auto& [err, text] : cases) EXPECT_EQ(err.to_string(), text ? text : os_text);
  EXPECT_EQ(Error::io(EBADF).os_errno(), EBADF);
}

}  // namespace
}  // namespace bkf
