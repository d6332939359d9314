#include "pager/header.h"

#include <cstring>
#include <string>

#include "base/bytes.h"

namespace bkf {

namespace {

constexpr std::uint8_t kMagic[16] = {'B', 'r', 'a', 'c', 'k', 'e', 'n', 'f',
                                     'o', 'r', 'd', ' ', 'v', '1', 0, 0};

bool is_valid_page_size(std::size_t s) {
  return s >= kMinPageSize && s <= kMaxPageSize && (s & (s - 1)) == 0;
}

}  // namespace

Status validate_page_size(std::size_t size) {
  if (!is_valid_page_size(size)) return Error::invalid_page_size(size);
  return {};
}

Result<DbHeader> DbHeader::make(std::size_t page_size) {
  BKF_TRY(validate_page_size(page_size));
  DbHeader h;
  h.page_size = static_cast<std::uint32_t>(page_size);
  h.page_count = 1;
  return h;
}

void DbHeader::encode(std::uint8_t* out) const {
  std::memset(out, 0, kHeaderSize);
  std::memcpy(out, kMagic, sizeof kMagic);
  store_be16(out + 16, page_size == 65536 ? 1 : static_cast<std::uint16_t>(page_size));
  store_be32(out + 18, page_count);
  store_be32(out + 22, freelist_head);
  store_be32(out + 26, freelist_count);
  store_be32(out + 30, change_counter);
  store_be32(out + 34, reserved34);
  store_be32(out + 38, schema_root);
  out[42] = wal_mode;
}

Result<DbHeader> DbHeader::decode(const std::uint8_t* data, std::size_t len) {
  if (len < kHeaderSize) {
    return Error::bad_header("need " + std::to_string(kHeaderSize) + " bytes, got " + std::to_string(len));
  }
  if (std::memcmp(data, kMagic, sizeof kMagic) != 0) return Error::bad_header("magic mismatch");
  std::uint32_t size = load_be16(data + 16);
  if (size == 1) size = 65536;
  if (!is_valid_page_size(size)) {
    return Error::bad_header("stored page size " + std::to_string(size) + " is invalid");
  }
  DbHeader h;
  h.page_size = size;
  h.page_count = load_be32(data + 18);
  h.freelist_head = load_be32(data + 22);
  h.freelist_count = load_be32(data + 26);
  h.change_counter = load_be32(data + 30);
  h.reserved34 = load_be32(data + 34);
  h.schema_root = load_be32(data + 38);
  h.wal_mode = data[42];
  return h;
}

}  // namespace bkf
