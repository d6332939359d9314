#include "pager/journal.h"

#include <cassert>
#include <cstring>

#include "base/bytes.h"

namespace bkf::journal {

namespace {

constexpr std::uint8_t kStartMagic[8] = {'R', 'D', 'B', 'J', 'R', 'N', 'L', 1};
constexpr std::uint8_t kEndMagic[8] = {'R', 'D', 'B', 'J', 'E', 'N', 'D', 1};

std::uint64_t record_offset(std::uint32_t page_size, std::uint32_t i) {
  return kFixedSize + std::uint64_t{i} * (std::uint64_t{page_size} + 4);
}

}  // namespace

std::string journal_path(const std::string& db_path) { return db_path + "-journal"; }

Image::Image(ByteBuffer& buf, std::uint32_t page_size, std::uint32_t db_pages, std::uint32_t records)
    : buf_(buf), page_size_(page_size) {
  buf_.resize(static_cast<std::size_t>(file_size(page_size, records)));
  std::memcpy(buf_.data(), kStartMagic, 8);
  store_be32(buf_.data() + 8, page_size);
  store_be32(buf_.data() + 12, db_pages);
  store_be32(buf_.data() + 16, records);
  std::memcpy(buf_.data() + record_offset(page_size, records), kEndMagic, 8);
}

std::uint8_t* Image::record(std::uint32_t i, PageId page) {
  std::uint8_t* p = buf_.data() + record_offset(page_size_, i);
  store_be32(p, page);
  return p + 4;
}

Result<std::optional<Info>> read_valid(VfsFile& file) {
  std::uint64_t size = BKF_TRY(file.size());
  if (size < kFixedSize + kEndSize) return std::optional<Info>();
  std::uint8_t head[kFixedSize];
  BKF_TRY(file.read_exact_at(head, sizeof head, 0));
  Info info;
  info.page_size = load_be32(head + 8);
  info.db_pages = load_be32(head + 12);
  info.records = load_be32(head + 16);
  if (std::memcmp(head, kStartMagic, 8) != 0 || info.page_size == 0 ||
      size != file_size(info.page_size, info.records)) {
    return std::optional<Info>();
  }
  std::uint8_t tail[kEndSize];
  BKF_TRY(file.read_exact_at(tail, sizeof tail, record_offset(info.page_size, info.records)));
  if (std::memcmp(tail, kEndMagic, 8) != 0) return std::optional<Info>();
  return std::optional<Info>(info);
}

Status check_replayable(VfsFile& file, const Info& info, std::uint32_t db_page_size) {
  if (!validate_page_size(info.page_size).ok()) {
    return Error::corrupt("journal page size " + std::to_string(info.page_size) + " is invalid");
  }
  if (info.db_pages == 0) return Error::corrupt("journal records a database of 0 pages");
  if (info.records == 0) return Error::corrupt("journal holds no page 1 record");
  std::uint8_t num[4];
  for (std::uint32_t i = 0; i < info.records; ++i) {
    BKF_TRY(file.read_exact_at(num, 4, record_offset(info.page_size, i)));
    PageId page = load_be32(num);
    if (i == 0 && page != 1) return Error::corrupt("journal does not start with page 1");
    if (page == 0 || page > info.db_pages) {
      return Error::corrupt("journal record for page " + std::to_string(page) + " is out of range");
    }
  }
  if (db_page_size == 0) {
    // The database header is unreadable (a torn write): the journaled page 1
    // holds the header as it was, and must agree with the journal.
    std::uint8_t hdr[bkf::kHeaderSize];
    BKF_TRY(file.read_exact_at(hdr, sizeof hdr, record_offset(info.page_size, 0) + 4));
    Result<DbHeader> h = DbHeader::decode(hdr, sizeof hdr);
    if (!h.ok()) return Error::corrupt("journaled header page is unreadable");
    db_page_size = h->page_size;
  }
  if (db_page_size != info.page_size) {
    return Error::corrupt("journal page size " + std::to_string(info.page_size) +
                          " differs from the database's " + std::to_string(db_page_size));
  }
  return {};
}

namespace {

// Writes one record (page number, then the page) back into `db`.
Status write_back(const std::uint8_t* record, std::uint32_t page_size, VfsFile& db) {
  const PageId page = load_be32(record);
  return db.write_all_at(record + 4, page_size, std::uint64_t{page - 1} * page_size);
}

Status cut_and_sync(const Info& info, VfsFile& db) {
  BKF_TRY(db.truncate(std::uint64_t{info.db_pages} * info.page_size));
  return db.sync();
}

}  // namespace

Status replay(VfsFile& file, const Info& info, VfsFile& db, ByteBuffer& scratch) {
  const std::size_t rec = std::size_t{info.page_size} + 4;
  scratch.resize(rec);
  for (std::uint32_t i = 0; i < info.records; ++i) {
    BKF_TRY(file.read_exact_at(scratch.data(), rec, record_offset(info.page_size, i)));
    BKF_TRY(write_back(scratch.data(), info.page_size, db));
  }
  return cut_and_sync(info, db);
}

Status replay_image(std::span<const std::uint8_t> image, VfsFile& db) {
  Info info;
  info.page_size = load_be32(image.data() + 8);
  info.db_pages = load_be32(image.data() + 12);
  info.records = load_be32(image.data() + 16);
  assert(image.size() == file_size(info.page_size, info.records) && "not a complete journal image");
  for (std::uint32_t i = 0; i < info.records; ++i) {
    BKF_TRY(write_back(image.data() + record_offset(info.page_size, i), info.page_size, db));
  }
  return cut_and_sync(info, db);
}

}  // namespace bkf::journal
