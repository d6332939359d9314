// Pager benchmarks: commit latency in both journal modes (synchronous 2, so
// every commit waits for the disk) and lookups of cached pages, the hottest
// path of the engine. Prints "name ops seconds ops_per_sec" per workload.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "pager/os_vfs.h"
#include "pager/pager.h"

namespace {

using bkf::PageId;
using bkf::Pager;
using Clock = std::chrono::steady_clock;

template <class T>
T check(bkf::Result<T> r) {
  if (!r.ok()) {
    std::fprintf(stderr, "error: %s\n", r.error().to_string().c_str());
    std::exit(1);
  }
  return std::move(*r);
}

void check(bkf::Status s) {
  if (!s.ok()) {
    std::fprintf(stderr, "error: %s\n", s.error().to_string().c_str());
    std::exit(1);
  }
}

void report(const char* name, std::uint64_t ops, Clock::duration elapsed) {
  double secs = std::chrono::duration<double>(elapsed).count();
  std::printf("%s %llu %.6f %.1f\n", name, static_cast<unsigned long long>(ops), secs,
              secs > 0 ? static_cast<double>(ops) / secs : 0.0);
}

std::unique_ptr<Pager> make_db(bkf::Vfs& vfs, const std::string& path, int pages) {
  auto p = check(Pager::create(vfs, path, 4096));
  check(p->begin());
  for (int i = 0; i < pages; ++i) check(p->alloc_page());
  check(p->commit());
  return p;
}

// Each commit changes three pages of a 100-page database.
void bench_commits(const char* name, bkf::Vfs& vfs, const std::string& path, bool wal, int commits) {
  auto p = make_db(vfs, path, 100);
  if (wal) check(p->set_journal_mode_wal());
  p->set_synchronous(2);
  auto start = Clock::now();
  for (int i = 0; i < commits; ++i) {
    check(p->begin());
    for (PageId id : {PageId(2 + i % 90), PageId(40), PageId(95)}) {
      bkf::PageRef page = check(p->get_page(id));
      page.mutable_data()[i % 4096] ^= 1;
    }
    check(p->commit());
  }
  report(name, static_cast<std::uint64_t>(commits), Clock::now() - start);
}

void bench_lookups(bkf::Vfs& vfs, const std::string& path, std::uint64_t lookups) {
  constexpr int kPages = 2000;
  auto p = make_db(vfs, path, kPages);
  check(p->read_lock());
  for (PageId id = 2; id <= kPages + 1; ++id) check(p->get_page(id));  // warm the cache
  std::uint64_t sum = 0;
  PageId id = 2;
  auto start = Clock::now();
  for (std::uint64_t i = 0; i < lookups; ++i) {
    bkf::PageRef page = check(p->get_page(id));
    sum += page.data()[0];
    id = id == kPages + 1 ? 2 : id + 1;
  }
  auto elapsed = Clock::now() - start;
  check(p->read_unlock());
  report("get_page_cached", lookups, elapsed);
  if (sum == 12345) std::printf("#\n");  // keep the loop
}

// The disk's own rate for what a commit needs at least: one 4096-byte
// positioned write and one data sync of a file in the same directory.
void bench_sync_probe(const std::string& path, int n) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) std::exit(1);
  char page[4096] = {};
  auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    page[0] = static_cast<char>(i);
    if (::pwrite(fd, page, sizeof page, 0) != static_cast<ssize_t>(sizeof page) || ::fdatasync(fd) != 0) std::exit(1);
  }
  report("probe_pwrite_fdatasync_4k", static_cast<std::uint64_t>(n), Clock::now() - start);
  ::close(fd);
}

// What a statement outside a transaction pays for its shared lock: take it
// (noticing other connections' commits) and release it.
void bench_read_locks(const char* name, bkf::Vfs& vfs, const std::string& path, bool wal, int n) {
  auto p = make_db(vfs, path, 10);
  if (wal) check(p->set_journal_mode_wal());
  auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    check(p->read_lock());
    check(p->read_unlock());
  }
  report(name, static_cast<std::uint64_t>(n), Clock::now() - start);
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/bkf-bench-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return 1;
  const std::string dir = tmpl;
  bkf::OsVfs vfs;
  bench_commits("commit_journal_sync2", vfs, dir + "/journal.db", false, 300);
  bench_commits("commit_wal_sync2", vfs, dir + "/wal.db", true, 1000);
  bench_lookups(vfs, dir + "/lookup.db", 20'000'000);
  bench_sync_probe(dir + "/probe", 1000);
  bench_read_locks("read_lock_unlock_journal", vfs, dir + "/rl.db", false, 200'000);
  bench_read_locks("read_lock_unlock_wal", vfs, dir + "/rlw.db", true, 200'000);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
