// A tiny tour of the storage layer: create a database file, commit pages
// through the rollback journal and through the write-ahead log, reopen it
// and read everything back.
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "pager/os_vfs.h"
#include "pager/pager.h"

namespace {

int fail(const bkf::Error& e) {
  std::fprintf(stderr, "error: %s\n", e.to_string().c_str());
  return 1;
}

#define DEMO_TRY(expr)                           \
  ({                                             \
    auto&& demo_r_ = (expr);                     \
    if (!demo_r_.ok()) return fail(demo_r_.error()); \
    std::move(demo_r_).value();                  \
  })

// Stores a short text at the start of a fresh page and returns its number.
bkf::Result<bkf::PageId> store(bkf::Pager& pager, const char* text) {
  bkf::PageId id = BKF_TRY(pager.alloc_page());
  bkf::PageRef page = BKF_TRY(pager.get_page(id));
  std::strcpy(reinterpret_cast<char*>(page.mutable_data()), text);
  return id;
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/bkf-demo-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return 1;
  const std::string dir = tmpl;
  const std::string path = dir + "/demo.db";
  bkf::OsVfs vfs;
  int status = [&]() -> int {
    {
      auto pager = DEMO_TRY(bkf::Pager::create(vfs, path, 4096));
      std::printf("created %s: page size %u, %u page(s)\n", path.c_str(), pager->page_size(), pager->page_count());

      DEMO_TRY(pager->begin());
      DEMO_TRY(store(*pager, "written through the rollback journal"));
      DEMO_TRY(store(*pager, "also in the journal-mode commit"));
      DEMO_TRY(pager->commit());
      std::printf("journal mode: committed 2 pages, file now %llu bytes\n",
                  static_cast<unsigned long long>(std::filesystem::file_size(path)));

      DEMO_TRY(pager->set_journal_mode_wal());
      DEMO_TRY(pager->begin());
      DEMO_TRY(store(*pager, "written through the write-ahead log"));
      DEMO_TRY(pager->commit());
      std::printf("wal mode: committed 1 page, log now %llu bytes, file still %llu bytes\n",
                  static_cast<unsigned long long>(std::filesystem::file_size(path + "-wal")),
                  static_cast<unsigned long long>(std::filesystem::file_size(path)));
    }  // closing leaves the commit in the log; the next open picks it up

    auto pager = DEMO_TRY(bkf::Pager::open(vfs, path));
    std::printf("reopened: %u pages, %s mode, change counter %u\n", pager->page_count(),
                pager->is_wal() ? "wal" : "journal", pager->header().change_counter);
    DEMO_TRY(pager->read_lock());
    for (bkf::PageId id = 2; id <= pager->page_count(); ++id) {
      bkf::PageRef page = DEMO_TRY(pager->get_page(id));
      std::printf("  page %u: %s\n", id, reinterpret_cast<const char*>(page.data()));
    }
    DEMO_TRY(pager->read_unlock());
    DEMO_TRY(pager->wal_checkpoint());
    DEMO_TRY(pager->set_journal_mode_delete());
    std::printf("checkpointed and back in journal mode: file %llu bytes, log %s\n",
                static_cast<unsigned long long>(std::filesystem::file_size(path)),
                std::filesystem::exists(path + "-wal") ? "present" : "removed");
    return 0;
  }();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return status;
}
