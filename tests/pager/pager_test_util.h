// Helpers shared by the pager tests: filling pages with recognisable bytes
// and capturing a database's whole content to compare states exactly.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "pager/os_vfs.h"
#include "pager/pager.h"

namespace bkf::testing {

// Unwraps a Result in a test; an error fails the test with its text.
template <class T>
T must(Result<T> r) {
  if (!r.ok()) throw std::runtime_error(r.error().to_string());
  return std::move(*r);
}
inline void must(Status s) {
  if (!s.ok()) throw std::runtime_error(s.error().to_string());
}

// Fills page `id` with bytes derived from (id, version) so that any mix-up of
// pages or versions shows.
inline void fill_page(Pager& p, PageId id, std::uint32_t version) {
  PageRef page = must(p.get_page(id));
  std::uint8_t* d = page.mutable_data();
  for (std::uint32_t i = 0; i < page.size(); ++i) d[i] = static_cast<std::uint8_t>(id * 31 + version * 7 + i);
}

// The whole logical content of a database as a reader sees it.
struct DbState {
  std::uint32_t page_count = 0;
  PageId schema_root = 0;
  std::vector<std::string> pages;  // pages 2..page_count
  bool operator==(const DbState&) const = default;
};

inline DbState capture(Pager& p) {
  DbState s;
  must(p.read_lock());
  s.page_count = p.page_count();
  s.schema_root = p.schema_root();
  for (PageId id = 2; id <= s.page_count; ++id) {
    PageRef page = must(p.get_page(id));
    s.pages.emplace_back(reinterpret_cast<const char*>(page.data()), page.size());
  }
  must(p.read_unlock());
  return s;
}

// Opens the file afresh through the real file system and captures it.
inline DbState capture_file(const std::string& path) {
  OsVfs vfs;
  std::unique_ptr<Pager> p = must(Pager::open(vfs, path));
  return capture(*p);
}

// Appends `n` pages filled with `version` in one transaction.
inline void append_pages(Pager& p, int n, std::uint32_t version) {
  must(p.begin());
  for (int i = 0; i < n; ++i) fill_page(p, must(p.alloc_page()), version);
  must(p.commit());
}

inline std::string read_file(const std::string& path) {
  std::string out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

inline void write_file(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

inline std::uint32_t be32_at(const std::string& s, std::size_t off) {
  return (std::uint32_t{static_cast<std::uint8_t>(s[off])} << 24) |
         (std::uint32_t{static_cast<std::uint8_t>(s[off + 1])} << 16) |
         (std::uint32_t{static_cast<std::uint8_t>(s[off + 2])} << 8) | static_cast<std::uint8_t>(s[off + 3]);
}

inline void put_be32(std::string& s, std::size_t off, std::uint32_t v) {
  s[off] = static_cast<char>(v >> 24);
  s[off + 1] = static_cast<char>(v >> 16);
  s[off + 2] = static_cast<char>(v >> 8);
  s[off + 3] = static_cast<char>(v);
}

}  // namespace bkf::testing
