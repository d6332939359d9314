// The rollback journal: the pre-transaction images of the pages a
// journal-mode commit is about to overwrite, in the file "{db path}-journal".
//
// Layout (integers big-endian):
//   0              8  start magic "RDBJRNL" 0x01
//   8              4  page size
//   12             4  db_pages: the database's page count before the commit
//   16             4  N, the number of records
//   20   N*(4+size)   records in ascending page order: page number, then the
//                     page's full former content; the first is page 1
//   20+N*(4+size)  8  end marker "RDBJEND" 0x01
// There is no checksum: a journal is valid exactly when its length matches
// the formula and both markers are in place, which a commit guarantees by
// syncing the journal before touching the database file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/byte_buffer.h"
#include "base/result.h"
#include "pager/header.h"
#include "pager/vfs.h"

namespace bkf::journal {

inline constexpr std::size_t kFixedSize = 20;
inline constexpr std::size_t kEndSize = 8;

std::string journal_path(const std::string& db_path);

// Total length of a journal of `records` pages of `page_size` bytes.
inline std::uint64_t file_size(std::uint32_t page_size, std::uint32_t records) {
  return kFixedSize + kEndSize + std::uint64_t{records} * (std::uint64_t{page_size} + 4);
}

// Lays out a complete journal in a caller-owned buffer (reused from commit to
// commit): its fixed fields and end marker. The buffer's other bytes are
// left as they were (ByteBuffer), so the caller fills every record, its
// page number through record() and its content.
class Image {
 public:
  Image(ByteBuffer& buf, std::uint32_t page_size, std::uint32_t db_pages, std::uint32_t records);
  // Stores record i's page number and returns where its content goes.
  std::uint8_t* record(std::uint32_t i, PageId page);
  const std::uint8_t* data() const { return buf_.data(); }
  std::size_t size() const { return buf_.size(); }

 private:
  ByteBuffer& buf_;
  std::uint32_t page_size_;
};

// The fixed fields of a structurally valid journal.
struct Info {
  std::uint32_t page_size = 0;
  std::uint32_t db_pages = 0;
  std::uint32_t records = 0;
};

// The structural test: empty when the file is not a usable journal (shorter
// than 28 bytes, wrong start magic, page size 0, length not exactly the
// formula's, wrong end marker). Read failures are returned as errors.
Result<std::optional<Info>> read_valid(VfsFile& file);

// Checks, before anything is written, that a structurally valid journal can
// be replayed onto a database of `db_page_size` bytes per page (0 when the
// database header is unreadable; the page size of the journaled page 1 must
// then agree): valid and equal page sizes, db_pages >= 1, the first record is
// page 1, every record's page is in 1..db_pages. Corrupt otherwise.
Status check_replayable(VfsFile& file, const Info& info, std::uint32_t db_page_size);

// Writes every record back into `db`, cuts `db` to db_pages pages and syncs
// it. Streams one record at a time through `scratch`.
Status replay(VfsFile& file, const Info& info, VfsFile& db, ByteBuffer& scratch);

// The same from a complete journal image in memory (an Image's bytes), as
// the commit that wrote it holds it: nothing is read from the journal file.
Status replay_image(std::span<const std::uint8_t> image, VfsFile& db);

}  // namespace bkf::journal
