// Workloads of the database object, one line each:
//   name ops seconds ops_per_sec
//
//   autocommit_insert_delete   single-row INSERTs, each its own transaction,
//                              rollback-journal mode
//   autocommit_insert_wal      the same in write-ahead-log mode
//   bulk_insert_prepared       1,000,000 rows through one prepared INSERT
//                              inside one transaction
//   replace_unique_index       REPLACE of 100,000 rows, every one meeting
//                              an existing row through a UNIQUE index
//   insert_unique_prepared     200,000 rows through one prepared INSERT
//                              inside one transaction, into a table with a
//                              UNIQUE integer column and a UNIQUE text one
//                              (each row probes both indexes)
//   insert_ignore_unique       100,000 prepared INSERT IGNOREs, every other
//                              one meeting an existing row
//   distinct_rows              SELECT DISTINCT over 1,000,000 rows
//   union_rows                 a UNION of two 500,000-row members
//
// Usage: engine_bench [directory]   (default: /tmp). Files are removed.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "exec/engine/database.h"

using namespace bkf;

namespace {

using Clock = std::chrono::steady_clock;

void report(const char* name, std::uint64_t ops, Clock::time_point start) {
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%s %llu %.6f %.1f\n", name, static_cast<unsigned long long>(ops), s, s > 0 ? ops / s : 0.0);
  std::fflush(stdout);
}

void must(const Result<std::vector<ExecResult>>& r, const char* what) {
  if (!r) {
    std::fprintf(stderr, "%s: %s\n", what, r.error().to_string().c_str());
    std::exit(1);
  }
}

void remove_db(const std::string& path) {
  for (const char* suffix : {"", "-journal", "-wal"}) ::unlink((path + suffix).c_str());
}

Database fresh(const std::string& path) {
  remove_db(path);
  auto db = Database::open(path);
  if (!db) {
    std::fprintf(stderr, "open %s: %s\n", path.c_str(), db.error().to_string().c_str());
    std::exit(1);
  }
  return std::move(*db);
}

void autocommit_inserts(const std::string& path, const char* mode, const char* name, int n) {
  Database db = fresh(path);
  must(db.execute(std::string("PRAGMA journal_mode = ") + mode), "journal_mode");
  must(db.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)"), "create");
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) must(db.execute("INSERT INTO t (v) VALUES ('row')"), "insert");
  report(name, static_cast<std::uint64_t>(n), start);
}

void bulk_insert(const std::string& path) {
  Database db = fresh(path);
  must(db.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, a INT, b TEXT)"), "create");
  auto ins = db.prepare("INSERT INTO t (a, b) VALUES (?, ?)");
  if (!ins) std::exit(1);
  constexpr int kRows = 1'000'000;
  const auto start = Clock::now();
  must(db.execute("BEGIN"), "begin");
  Value params[2] = {Value::integer(0), Value::text("some text of a row")};
  for (int i = 0; i < kRows; ++i) {
    params[0].set_int(i);
    if (!db.execute_prepared(*ins, params)) std::exit(1);
  }
  must(db.execute("COMMIT"), "commit");
  report("bulk_insert_prepared", kRows, start);

  auto t0 = Clock::now();
  must(db.execute("SELECT DISTINCT a % 1000, b FROM t"), "distinct");
  report("distinct_rows", kRows, t0);
  t0 = Clock::now();
  must(db.execute("SELECT a, b FROM t WHERE id <= 500000 UNION SELECT a, b FROM t WHERE id > 500000"), "union");
  report("union_rows", kRows, t0);
}

void replace_rows(const std::string& path) {
  Database db = fresh(path);
  must(db.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, k INT UNIQUE, v TEXT)"), "create");
  constexpr int kRows = 100'000;
  constexpr int kPerStatement = 1000;
  auto batch = [&](const char* verb, const char* value) {
    for (int first = 0; first < kRows; first += kPerStatement) {
      std::string sql = std::string(verb) + " INTO t (k, v) VALUES ";
      for (int i = first; i < first + kPerStatement; ++i) {
        sql += (i == first ? "(" : ", (") + std::to_string(i) + ", '" + value + "')";
      }
      must(db.execute(sql), verb);
    }
  };
  must(db.execute("BEGIN"), "begin");
  batch("INSERT", "old");
  must(db.execute("COMMIT"), "commit");
  const auto start = Clock::now();
  must(db.execute("BEGIN"), "begin");
  batch("REPLACE", "new");
  must(db.execute("COMMIT"), "commit");
  report("replace_unique_index", kRows, start);
}

void unique_inserts(const std::string& path) {
  Database db = fresh(path);
  must(db.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, k INT UNIQUE, name TEXT UNIQUE)"), "create");
  auto ins = db.prepare("INSERT INTO t (k, name) VALUES (?, ?)");
  if (!ins) std::exit(1);
  constexpr int kRows = 200'000;
  Value params[2] = {Value::integer(0), Value::text("")};
  std::string name;
  auto start = Clock::now();
  must(db.execute("BEGIN"), "begin");
  for (int i = 0; i < kRows; ++i) {
    // Spread over the key space, so the index probes do not all land on
    // the last leaf.
    const std::int64_t k = (static_cast<std::int64_t>(i) * 7919) % kRows;
    params[0].set_int(k * 1000);
    name = "name-" + std::to_string(k);
    params[1].set_text(name);
    if (!db.execute_prepared(*ins, params)) std::exit(1);
  }
  must(db.execute("COMMIT"), "commit");
  report("insert_unique_prepared", kRows, start);

  auto ignore = db.prepare("INSERT IGNORE INTO t (k, name) VALUES (?, ?)");
  if (!ignore) std::exit(1);
  constexpr int kIgnored = 100'000;
  start = Clock::now();
  must(db.execute("BEGIN"), "begin");
  for (int i = 0; i < kIgnored; ++i) {
    // Even: a k already there; odd: a new one.
    params[0].set_int(i % 2 == 0 ? static_cast<std::int64_t>(i) * 1000 : static_cast<std::int64_t>(i) * 1000 + 1);
    name = "other-" + std::to_string(i);
    params[1].set_text(name);
    if (!db.execute_prepared(*ignore, params)) std::exit(1);
  }
  must(db.execute("COMMIT"), "commit");
  report("insert_ignore_unique", kIgnored, start);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  const std::string path = dir + "/bkf-engine-bench-" + std::to_string(::getpid()) + ".db";
  autocommit_inserts(path, "delete", "autocommit_insert_delete", 500);
  autocommit_inserts(path, "wal", "autocommit_insert_wal", 2000);
  bulk_insert(path);
  replace_rows(path);
  unique_inserts(path);
  remove_db(path);
  return 0;
}
