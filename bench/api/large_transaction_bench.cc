// One large transaction on a long-lived connection, through the C interface
// only: how fast it goes, and how much memory the process keeps afterwards.
// For each journal mode (rollback journal, then write-ahead log), on a fresh
// database file:
//
//   insert   BEGIN; --rows (150,000) prepared one-row INSERTs of a
//            1,000-byte text into t(id INTEGER PRIMARY KEY, s TEXT); COMMIT
//            (ops: rows)
//   update   UPDATE t SET s = CONCAT('y', substr(s, 2)), every row in one
//            autocommit statement (ops: rows)
//   later    three scans of t and a one-row UPDATE (ops: statements)
//
// Lines: `<mode>.<step> ops seconds ops_per_sec`, each followed by a comment
// line with the process's resident memory after it, in MB ("# rss ...").
// Every page the transaction touched stays in the page cache afterwards
// (about the file's size, 196 MB here); a commit also builds its journal's
// image or its log frames in memory, about as large again, which it gives
// back when it ends.
//
// Usage: large_transaction_bench [--dir DIR] [--rows N] [--mode delete|wal|both]

#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "c_bench.h"

namespace {

using namespace bkf_bench;
using Clock = std::chrono::steady_clock;

void report(const std::string& name, std::int64_t ops, Clock::time_point start) {
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%s %" PRId64 " %.3f %.0f\n", name.c_str(), ops, s, s > 0 ? static_cast<double>(ops) / s : 0.0);
  std::printf("# rss %s %ld MB\n", name.c_str(), rss_mb());
  std::fflush(stdout);
}

void run_mode(const std::string& dir, const char* mode, std::int64_t rows) {
  const std::string prefix = std::string(mode) + ".";
  const std::string path = dir + "/large_transaction_bench_" + mode + ".db";
  remove_db_files(path);
  BkfDb* db = bkf_open(path.c_str());
  if (db == nullptr) die(nullptr, "bkf_open");
  exec(db, (std::string("PRAGMA journal_mode = ") + mode).c_str());
  exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, s TEXT)");
  std::printf("# rss %sstart %ld MB\n", prefix.c_str(), rss_mb());

  auto start = Clock::now();
  insert_texts(db, rows, 1000);
  report(prefix + "insert", rows, start);

  start = Clock::now();
  exec(db, "UPDATE t SET s = CONCAT('y', substr(s, 2))");
  report(prefix + "update", rows, start);

  start = Clock::now();
  for (int i = 0; i < 3; ++i) exec(db, "SELECT count(*), sum(length(s)) FROM t");
  exec(db, "UPDATE t SET s = 'z' WHERE id = 7");
  report(prefix + "later", 4, start);

  bkf_close(db);
  remove_db_files(path);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = default_dir();
  std::string modes = "both";
  std::int64_t rows = 150'000;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--dir" && i + 1 < argc) dir = argv[++i];
    else if (a == "--rows" && i + 1 < argc) rows = std::atoll(argv[++i]);
    else if (a == "--mode" && i + 1 < argc) modes = argv[++i];
    else {
      std::fprintf(stderr, "usage: large_transaction_bench [--dir DIR] [--rows N] [--mode delete|wal|both]\n");
      return 2;
    }
  }
  if (rows < 1 || (modes != "delete" && modes != "wal" && modes != "both")) {
    std::fprintf(stderr, "large_transaction_bench: bad option value\n");
    return 2;
  }
  // One mode per process gives each its own resident memory from the start.
  if (modes == "both") {
    for (const char* mode : {"delete", "wal"}) {
      const std::string cmd = std::string("'") + argv[0] + "' --dir '" + dir + "' --rows " + std::to_string(rows) +
                              " --mode " + mode;
      std::fflush(stdout);
      if (std::system(cmd.c_str()) != 0) return 1;
    }
    return 0;
  }
  run_mode(dir, modes.c_str(), rows);
  return 0;
}
