// DbHeader: the first 100 bytes of the database file, in memory.
//
// On disk (all integers big-endian):
//   0  16  magic "Brackenford v1" followed by two zero bytes
//   16  2  page size; 65536 does not fit and is stored as 1
//   18  4  page_count        22  4  freelist_head     26  4  freelist_count
//   30  4  change_counter    34  4  reserved34        38  4  schema_root
//   42  1  wal_mode          43 57  zero on write, ignored on read
// Page 1 holds these bytes followed by zeros up to the page size; it never
// enters the page cache, the live DbHeader is its only in-memory form.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/result.h"

namespace bkf {

// Page numbers are 1-based; page N starts at file offset (N-1) * page size.
using PageId = std::uint32_t;

inline constexpr std::size_t kHeaderSize = 100;
inline constexpr std::uint32_t kMinPageSize = 512;
inline constexpr std::uint32_t kMaxPageSize = 65536;

// InvalidPageSize unless `size` is a power of two in [512, 65536].
Status validate_page_size(std::size_t size);

struct DbHeader {
  std::uint32_t page_size = 0;
  std::uint32_t page_count = 0;      // pages in the database, page 1 included
  PageId freelist_head = 0;          // first free-list trunk, 0 when empty
  std::uint32_t freelist_count = 0;  // trunks and leaves together
  std::uint32_t change_counter = 0;  // raised by every commit that wrote pages
  std::uint32_t reserved34 = 0;      // carried through unchanged
  PageId schema_root = 0;            // root of the schema B-tree, 0 until made
  std::uint8_t wal_mode = 0;         // 1: write-ahead log, 0: rollback journal

  // A fresh header: page_count 1, everything else 0.
  static Result<DbHeader> make(std::size_t page_size);
  // Writes exactly kHeaderSize bytes to `out`.
  void encode(std::uint8_t* out) const;
  // Parses the first 100 of `len` bytes. BadHeader when fewer than 100 bytes
  // are given, the magic differs, or the stored page size is invalid; no
  // other field is checked here.
  static Result<DbHeader> decode(const std::uint8_t* data, std::size_t len);

  friend bool operator==(const DbHeader&, const DbHeader&) = default;
};

}  // namespace bkf
