// Helpers shared by the pager tests: filling pages with recognisable bytes
// and capturing a database's whole content to compare states exactly.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/bytes.h"
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

// "ok", or the display text of the error.
template <class T>
std::string outcome(const Result<T>& r) {
  return r.ok() ? "ok" : r.error().to_string();
}

// Fills page `id` with bytes derived from (id, version) so that any mix-up of
// pages or versions shows; try_fill_page reports a failing read.
inline Status try_fill_page(Pager& p, PageId id, std::uint32_t version) {
  PageRef page = BKF_TRY(p.get_page(id));
  std::uint8_t* d = page.mutable_data();
  for (std::uint32_t i = 0; i < page.size(); ++i) d[i] = static_cast<std::uint8_t>(id * 31 + version * 7 + i);
  return {};
}
inline void fill_page(Pager& p, PageId id, std::uint32_t version) { must(try_fill_page(p, id, version)); }

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
  return capture(*must(Pager::open(vfs, path)));
}

// Appends `n` pages filled with `version` in one transaction.
inline void append_pages(Pager& p, int n, std::uint32_t version) {
  must(p.begin());
  for (int i = 0; i < n; ++i) fill_page(p, must(p.alloc_page()), version);
  must(p.commit());
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::uint32_t be32_at(const std::string& s, std::size_t off) {
  return load_be32(reinterpret_cast<const std::uint8_t*>(s.data() + off));
}

inline void put_be32(std::string& s, std::size_t off, std::uint32_t v) {
  store_be32(reinterpret_cast<std::uint8_t*>(s.data() + off), v);
}

}  // namespace bkf::testing
