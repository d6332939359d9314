// Transactions of a few megabytes back to back on one long-lived
// connection, and the resident memory a connection keeps after larger ones,
// through the C interface only.
//
// Each loop runs on a fresh database file holding
// t(id INTEGER PRIMARY KEY, s TEXT) with 1,900-byte texts, filled in
// transactions of 1,000 rows: rows appended in id order fill each leaf page
// with two, so the rows with ids below 2P + 1 lie on P pages. A transaction
// is one autocommit statement,
//
//   UPDATE t SET s = ? WHERE id < ?
//
// whose text (as long as the rows') differs from the transaction's before
// in its first character, so that it changes P pages (4,096 bytes each)
// and nothing else.
//
//   delete.alternating_2.4_2.9   journal mode, 586 and 708 pages (2.4 and
//                                2.9 MB) in turn (ops: transactions)
//   wal.alternating_2.5_2.9      WAL mode, 610 and 708 pages (2.5 and
//                                2.9 MB) in turn; the log checkpoints
//                                itself every second transaction or so
//                                (ops: transactions)
//   delete.over_bound_4.19       journal mode, 1,024 pages (4.19 MB, just
//                                over the 4 MB a connection keeps between
//                                transactions) each (ops: transactions)
//
// Each loop runs --transactions transactions (default 40) after two that
// are not counted (the first of each size, which grow the buffers a
// connection reuses). Its line is followed by two comment lines: the minor
// page faults per transaction ("# minflt <name> <n>") and the resident
// memory after the loop ("# rss <name> <MB> MB"). In WAL mode the log's
// growth over the first transaction is printed too ("# pages <name> <n>":
// frames less the commit's header frame), which checks the page counts
// above.
//
// The memory workloads, <mode>.memory_<N>MB for N = 6, 12, 24, 40 and 64,
// each make a fresh database, insert N MB of pages of those rows in one
// transaction and then change them all with one UPDATE, the two lines
// <mode>.insert_<N>MB and <mode>.update_<N>MB (ops: rows) each followed by
// the process's resident memory ("# rss <name> <MB> MB"); the first line
// of all, "# rss <mode>.start_<N>MB", is the memory of the connection with
// its empty table.
//
// The transactions of a loop, and nothing else (no prepare, no setup, no
// clock reads), run in one function that is never inlined,
// measure_transactions, so that an instruction counter that starts and
// stops at its entry and exit counts exactly them, e.g.
//
//   valgrind --tool=callgrind --collect-atstart=no
//       --toggle-collect='*measure_transactions*'
//       build/bench/api/medium_transaction_bench --only delete.alternating_2.4_2.9
//
// (one command line); bench/callgrind_workloads.sh medium does this for
// every loop. Without --only, each workload runs in a process of its own
// (this program, started again), so that each has its own resident memory
// from the start.
//
// Usage: medium_transaction_bench [--dir DIR] [--transactions N] [--only NAME]

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "c_bench.h"

namespace {

using namespace bkf_bench;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kPageSize = 4096;
constexpr std::int64_t kRowsPerPage = 2;
constexpr std::size_t kTextBytes = 1900;
constexpr std::int64_t kFillRowsPerTransaction = 1000;

// Pages holding `mb` megabytes (10^6 bytes), rounded to the nearest.
std::int64_t pages_of_mb(double mb) { return static_cast<std::int64_t>(mb * 1e6 / kPageSize + 0.5); }

long minor_faults() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

std::int64_t file_size(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
}

struct Loop {
  const char* name;
  const char* mode;
  std::vector<std::int64_t> pages;  // changed per transaction, in turn
};

const std::vector<Loop>& loops() {
  static const std::vector<Loop> all = {
      {"delete.alternating_2.4_2.9", "delete", {pages_of_mb(2.4), pages_of_mb(2.9)}},
      {"wal.alternating_2.5_2.9", "wal", {pages_of_mb(2.5), pages_of_mb(2.9)}},
      {"delete.over_bound_4.19", "delete", {1024}},
  };
  return all;
}

// The sizes of the memory workloads, in MB of pages.
constexpr double kMemoryMb[] = {6, 12, 24, 40, 64};

// The database of a loop: t filled with `pages` pages of rows.
BkfDb* open_filled(const std::string& path, const char* mode, std::int64_t pages) {
  remove_db_files(path);
  BkfDb* db = bkf_open(path.c_str());
  if (db == nullptr) die(nullptr, "bkf_open");
  exec(db, (std::string("PRAGMA journal_mode = ") + mode).c_str());
  exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, s TEXT)");
  BkfStmt* ins = prepare(db, "INSERT INTO t (s) VALUES (?)");
  const std::string text(kTextBytes, 'x');
  const std::int64_t rows = pages * kRowsPerPage;
  for (std::int64_t done = 0; done < rows;) {
    exec(db, "BEGIN");
    for (std::int64_t i = 0; i < kFillRowsPerTransaction && done < rows; ++i, ++done) {
      bkf_bind_text(ins, 0, text.c_str());
      if (bkf_exec_prepared(db, ins) != 1) die(db, "filling t");
    }
    exec(db, "COMMIT");
  }
  bkf_finalize(ins);
  return db;
}

// One transaction: the rows on the first `pages` pages get a text as long
// as theirs, whose first character is `first`.
void update_pages(BkfDb* db, BkfStmt* s, char first, std::int64_t pages) {
  std::string text(kTextBytes, 'x');
  text[0] = first;
  bkf_bind_text(s, 0, text.c_str());
  bkf_bind_int(s, 1, pages * kRowsPerPage + 1);
  if (bkf_exec_prepared(db, s) != pages * kRowsPerPage) die(db, "update");
}

// The character of transaction k: never the one of the transaction before
// it, nor of the one before that.
char first_of(int k) { return static_cast<char>('a' + k % 26); }

}  // namespace

// ---- the measured loop ---------------------------------------------------------
//
// External linkage and noinline keep it a function of its own name in the
// binary. Transactions k0 .. k0 + n - 1 of the loop, each changing
// pages[k % pages.size()] pages.

__attribute__((noinline)) void measure_transactions(BkfDb* db, BkfStmt* s, const std::vector<std::int64_t>& pages,
                                                    int k0, int n) {
  for (int k = k0; k < k0 + n; ++k) update_pages(db, s, first_of(k), pages[static_cast<std::size_t>(k) % pages.size()]);
}

namespace {

const char* kUpdate = "UPDATE t SET s = ? WHERE id < ?";

void run_loop(const std::string& dir, const Loop& loop, int transactions) {
  const std::string path = dir + "/medium_transaction_bench_" + loop.mode + ".db";
  std::int64_t most = 0;
  for (std::int64_t p : loop.pages) most = std::max(most, p);
  BkfDb* db = open_filled(path, loop.mode, most + 16);
  BkfStmt* s = prepare(db, kUpdate);
  const bool wal = std::strcmp(loop.mode, "wal") == 0;
  if (wal) exec(db, "PRAGMA wal_checkpoint");
  const std::int64_t log_before = file_size(path + "-wal");
  // The uncounted transactions: the first of each size.
  const int warm = static_cast<int>(loop.pages.size());
  measure_transactions(db, s, loop.pages, 0, 1);
  if (wal) {
    const std::int64_t frames = (file_size(path + "-wal") - log_before) / (kPageSize + 8);
    std::printf("# pages %s %" PRId64 " (first transaction, %" PRId64 " meant)\n", loop.name, frames - 1,
                loop.pages[0]);
  }
  if (warm > 1) measure_transactions(db, s, loop.pages, 1, warm - 1);

  const long faults = minor_faults();
  const auto start = Clock::now();
  measure_transactions(db, s, loop.pages, warm, transactions);
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  const long faulted = minor_faults() - faults;
  std::printf("%s %d %.3f %.1f\n", loop.name, transactions, secs, secs > 0 ? transactions / secs : 0.0);
  std::printf("# minflt %s %.1f\n", loop.name, static_cast<double>(faulted) / transactions);
  std::printf("# rss %s %ld MB\n", loop.name, rss_mb());
  std::fflush(stdout);
  bkf_finalize(s);
  bkf_close(db);
  remove_db_files(path);
}

// A fresh database, one transaction inserting `mb` megabytes of pages of
// rows, then one UPDATE of them all.
void run_memory(const std::string& dir, const char* mode, double mb) {
  const std::string suffix = "_" + std::to_string(static_cast<int>(mb)) + "MB";
  const std::string path = dir + "/medium_transaction_bench_memory_" + mode + ".db";
  remove_db_files(path);
  BkfDb* db = bkf_open(path.c_str());
  if (db == nullptr) die(nullptr, "bkf_open");
  exec(db, (std::string("PRAGMA journal_mode = ") + mode).c_str());
  exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, s TEXT)");
  std::printf("# rss %s.start%s %ld MB\n", mode, suffix.c_str(), rss_mb());
  const std::int64_t pages = pages_of_mb(mb);
  const std::int64_t rows = pages * kRowsPerPage;
  const auto report = [&](const char* step, Clock::time_point start) {
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%s.%s%s %" PRId64 " %.3f %.0f\n", mode, step, suffix.c_str(), rows, secs, secs > 0 ? rows / secs : 0.0);
    std::printf("# rss %s.%s%s %ld MB\n", mode, step, suffix.c_str(), rss_mb());
    std::fflush(stdout);
  };

  auto start = Clock::now();
  insert_texts(db, rows, kTextBytes);
  report("insert", start);

  BkfStmt* s = prepare(db, kUpdate);
  start = Clock::now();
  update_pages(db, s, 'y', pages);
  report("update", start);
  bkf_finalize(s);
  bkf_close(db);
  remove_db_files(path);
}

std::string memory_name(const char* mode, double mb) {
  return std::string(mode) + ".memory_" + std::to_string(static_cast<int>(mb)) + "MB";
}

std::vector<std::string> workload_names() {
  std::vector<std::string> names;
  for (const Loop& loop : loops()) names.emplace_back(loop.name);
  for (const char* mode : {"delete", "wal"}) {
    for (double mb : kMemoryMb) names.push_back(memory_name(mode, mb));
  }
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = default_dir();
  int transactions = 40;
  std::string only;
  bool ok = true;
  for (int i = 1; i < argc && ok; ++i) {
    const std::string a = argv[i];
    if (a == "--dir" && i + 1 < argc) dir = argv[++i];
    else if (a == "--transactions" && i + 1 < argc) transactions = std::atoi(argv[++i]);
    else if (a == "--only" && i + 1 < argc) only = argv[++i];
    else ok = false;
  }
  const std::vector<std::string> names = workload_names();
  bool known = only.empty();
  for (const std::string& name : names) known = known || only == name;
  if (!ok || transactions <= 0 || !known) {
    std::fprintf(stderr, "usage: medium_transaction_bench [--dir DIR] [--transactions N] [--only NAME]\n  NAME:");
    for (const std::string& name : names) std::fprintf(stderr, " %s", name.c_str());
    std::fprintf(stderr, "\n");
    return 2;
  }
  if (only.empty()) {
    for (const std::string& name : names) {
      const std::string cmd = std::string("'") + argv[0] + "' --dir '" + dir + "' --transactions " +
                              std::to_string(transactions) + " --only " + name;
      std::fflush(stdout);
      if (std::system(cmd.c_str()) != 0) return 1;
    }
    return 0;
  }
  for (const Loop& loop : loops()) {
    if (only == loop.name) run_loop(dir, loop, transactions);
  }
  for (const char* mode : {"delete", "wal"}) {
    for (double mb : kMemoryMb) {
      if (only == memory_name(mode, mb)) run_memory(dir, mode, mb);
    }
  }
  return 0;
}
