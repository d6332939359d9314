// The database header's codec and the display texts of errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "pager/header.h"

namespace bkf {
namespace {

std::vector<std::uint8_t> encoded(const DbHeader& h) {
  std::vector<std::uint8_t> out(kHeaderSize);
  h.encode(out.data());
  return out;
}

// Every field comes back, and the page size is stored in two bytes with
// 65536 as 1 (the other byte of the field stays zero).
TEST(HeaderTest, EveryFieldRoundTrips) {
  for (std::uint32_t size : {512u, 4096u, 32768u, 65536u}) {
    DbHeader h = *DbHeader::make(size);
    h.page_count = 0xA1B2C3D4;
    h.freelist_head = 7;
    h.freelist_count = 0xFFFFFFFF;
    h.change_counter = 123456789;
    h.reserved34 = 0xDEADBEEF;  // unknown to us, but carried through
    h.schema_root = 2;
    h.wal_mode = 1;
    std::vector<std::uint8_t> b = encoded(h);
    EXPECT_EQ(b[16] * 256 + b[17], size == 65536 ? 1u : size);
    Result<DbHeader> back = DbHeader::decode(b.data(), b.size());
    ASSERT_TRUE(back.ok()) << back.error().to_string();
    EXPECT_EQ(*back, h) << "page size " << size;
  }
}

TEST(HeaderTest, DecodeErrorsAndThePageSizeRule) {
  std::vector<std::uint8_t> good = encoded(*DbHeader::make(4096));
  struct Case {
    std::size_t len;
    std::vector<std::pair<int, std::uint8_t>> bytes;  // changed bytes
    const char* text;
  };
  const Case cases[] = {
      {99, {}, "bad database header: need 100 bytes, got 99"},
      {0, {}, "bad database header: need 100 bytes, got 0"},
      {100, {{0, 'b'}}, "bad database header: magic mismatch"},
      {100, {{14, 1}}, "bad database header: magic mismatch"},
      {100, {{15, 0x20}}, "bad database header: magic mismatch"},
      {100, {{16, 0x03}, {17, 0xE8}}, "bad database header: stored page size 1000 is invalid"},
      {100, {{16, 0x01}, {17, 0x00}}, "bad database header: stored page size 256 is invalid"},
      {100, {{16, 0x00}, {17, 0x00}}, "bad database header: stored page size 0 is invalid"},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> b = good;
    for (auto [at, v] : c.bytes) b[at] = v;
    Result<DbHeader> r = DbHeader::decode(b.data(), c.len);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.error().kind(), ErrorKind::BadHeader);
    EXPECT_EQ(r.error().to_string(), c.text);
  }
  // Only the first 100 bytes matter; the rest of a page may hold anything.
  good.resize(4096, 0xAB);
  EXPECT_TRUE(DbHeader::decode(good.data(), good.size()).ok());

  for (std::size_t ok : {512u, 1024u, 2048u, 8192u, 16384u, 65536u}) EXPECT_TRUE(validate_page_size(ok).ok()) << ok;
  for (std::size_t bad : {0u, 1u, 256u, 384u, 511u, 513u, 1000u, 4095u, 131072u}) {
    EXPECT_EQ(validate_page_size(bad).error().to_string(), "invalid page size: " + std::to_string(bad));
  }
  EXPECT_FALSE(DbHeader::make(384).ok());
}

// The display texts of the file layer's errors (the others are checked
// where they arise, and end to end by the engine's scripts).
TEST(ErrorTest, IoTexts) {
  EXPECT_EQ(Error::io_failure("failed to write whole buffer").to_string(), "io error: failed to write whole buffer");
  EXPECT_EQ(Error::io(EBADF).to_string(), std::string("io error: ") + std::strerror(EBADF) + " (os error 9)");
  EXPECT_EQ(Error::io(EBADF).os_errno(), EBADF);
  EXPECT_EQ(Error::short_read(8192, 4096, 0).to_string(), "short read at offset 8192: wanted 4096 bytes, got 0");
}

}  // namespace
}  // namespace bkf
