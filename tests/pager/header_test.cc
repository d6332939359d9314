#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pager/header.h"

namespace bkf {
namespace {

std::vector<std::uint8_t> encoded(const DbHeader& h) {
  std::vector<std::uint8_t> out(kHeaderSize);
  h.encode(out.data());
  return out;
}

TEST(HeaderTest, NewHeaderEncodesMagicSizeAndCount) {
  DbHeader h = *DbHeader::make(4096);
  std::vector<std::uint8_t> b = encoded(h);
  EXPECT_EQ(std::memcmp(b.data(), "Brackenford v1\0\0", 16), 0);
  EXPECT_EQ(b[16], 0x10);
  EXPECT_EQ(b[17], 0x00);
  EXPECT_EQ(b[18], 0);
  EXPECT_EQ(b[21], 1);
  for (std::size_t i = 22; i < kHeaderSize; ++i) EXPECT_EQ(b[i], 0) << "byte " << i;
}

TEST(HeaderTest, EveryFieldRoundTrips) {
  for (std::uint32_t size : {512u, 1024u, 4096u, 32768u, 65536u}) {
    DbHeader h;
    h.page_size = size;
    h.page_count = 0xA1B2C3D4;
    h.freelist_head = 7;
    h.freelist_count = 0xFFFFFFFF;
    h.change_counter = 123456789;
    h.reserved34 = 0xDEADBEEF;  // unknown to us, but carried through
    h.schema_root = 2;
    h.wal_mode = 1;
    std::vector<std::uint8_t> b = encoded(h);
    Result<DbHeader> back = DbHeader::decode(b.data(), b.size());
    ASSERT_TRUE(back.ok()) << back.error().to_string();
    EXPECT_EQ(*back, h) << "page size " << size;
  }
  std::vector<std::uint8_t> b = encoded(*DbHeader::make(65536));
  EXPECT_EQ(b[16], 0);
  EXPECT_EQ(b[17], 1);
  EXPECT_EQ(encoded(*DbHeader::make(512))[16], 2);
}

TEST(HeaderTest, DecodeErrors) {
  std::vector<std::uint8_t> good = encoded(*DbHeader::make(4096));
  struct Case {
    const char* name;
    std::size_t len;
    int byte;  // byte to change, -1 none
    std::uint8_t value;
    int byte2;
    std::uint8_t value2;
    const char* text;
  };
  const Case cases[] = {
      {"too short", 99, -1, 0, -1, 0, "bad database header: need 100 bytes, got 99"},
      {"empty", 0, -1, 0, -1, 0, "bad database header: need 100 bytes, got 0"},
      {"magic letter", 100, 0, 'b', -1, 0, "bad database header: magic mismatch"},
      {"magic byte 14", 100, 14, 1, -1, 0, "bad database header: magic mismatch"},
      {"magic byte 15", 100, 15, 0x20, -1, 0, "bad database header: magic mismatch"},
      {"size 1000", 100, 16, 0x03, 17, 0xE8, "bad database header: stored page size 1000 is invalid"},
      {"size 256", 100, 16, 0x01, 17, 0x00, "bad database header: stored page size 256 is invalid"},
      {"size 0", 100, 16, 0x00, 17, 0x00, "bad database header: stored page size 0 is invalid"},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> b = good;
    if (c.byte >= 0) b[c.byte] = c.value;
    if (c.byte2 >= 0) b[c.byte2] = c.value2;
    Result<DbHeader> r = DbHeader::decode(b.data(), c.len);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), ErrorKind::BadHeader) << c.name;
    EXPECT_EQ(r.error().to_string(), c.text) << c.name;
  }
  // Only the first 100 bytes matter; the rest of a page may hold anything.
  std::vector<std::uint8_t> longer = good;
  longer.resize(4096, 0xAB);
  EXPECT_TRUE(DbHeader::decode(longer.data(), longer.size()).ok());
}

TEST(HeaderTest, PageSizeRule) {
  for (std::size_t ok : {512u, 1024u, 2048u, 4096u, 8192u, 16384u, 32768u, 65536u}) {
    EXPECT_TRUE(validate_page_size(ok).ok()) << ok;
  }
  for (std::size_t bad : {0u, 1u, 256u, 384u, 511u, 513u, 1000u, 4095u, 131072u}) {
    Status st = validate_page_size(bad);
    ASSERT_FALSE(st.ok()) << bad;
    EXPECT_EQ(st.error().to_string(), "invalid page size: " + std::to_string(bad));
  }
  EXPECT_FALSE(DbHeader::make(384).ok());
}

}  // namespace
}  // namespace bkf
