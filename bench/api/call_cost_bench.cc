// The cost of one call through the public C interface, for three statement
// shapes: this program includes brackenford.h and links libbrackenford.so,
// nothing else of the engine. For each journal mode (rollback journal, then
// write-ahead log, both with synchronous 2) it makes a fresh database file
// and runs each shape N times, printing one line per shape:
//
//   name ops seconds ops_per_sec
//
//   select_1           prepared SELECT 1, its one cell read       (ops: runs)
//   point_lookup       prepared SELECT v FROM t WHERE id = ?, the id bound
//                      each time, over a 1,000-row t, its text read (ops: runs)
//   autocommit_insert  prepared one-row INSERT INTO log (v) VALUES (?), the
//                      text bound each time, each run a durable commit
//                      (ops: runs)
//
// Every name carries its journal mode as a prefix ("delete." or "wal."), and
// a comment line "# mode <mode>" opens each mode's lines. A comment line
// "# checksum <name> <hex>" follows each shape: it folds what the calls
// returned and is the same in both modes.
//
// Each shape's loop, and nothing else (no prepare, no table setup, no clock
// reads), is one function that is never inlined: measure_select_1,
// measure_point_lookup, measure_autocommit_insert. An instruction counter
// that starts and stops at a function's entry and exit therefore counts the
// N calls of one shape exactly, e.g.
//
//   valgrind --tool=callgrind --collect-atstart=no
//       --toggle-collect='*measure_point_lookup*'
//       build/bench/api/call_cost_bench --mode wal --only point_lookup
//
// (one command line).
//
// Each function runs once per mode, so such a run takes one mode.
// bench/callgrind_workloads.sh does this for every shape and mode.
//
// Usage: call_cost_bench [--dir DIR] [--calls N] [--mode delete|wal|both]
//                        [--only select_1|point_lookup|autocommit_insert]
//   --dir    where the database files go (default $TMPDIR or /tmp); removed
//            afterwards
//   --calls  runs of each shape (default 5000)

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

constexpr std::int64_t kRows = 1000;  // rows of t

// The v column of row id of t: differs in its first and last characters.
std::string text_of(std::int64_t id) {
  std::string s = "row-value-";
  s += static_cast<char>('a' + id % 26);
  s += std::to_string(id);
  return s;
}

}  // namespace

// ---- the measured loops -------------------------------------------------------
//
// External linkage and noinline keep each a function of its own name in the
// binary. Each returns a fold of what its calls returned, so a wrong answer
// shows in the checksum line.

__attribute__((noinline)) std::uint64_t measure_select_1(BkfDb* db, BkfStmt* s, int calls) {
  std::uint64_t sum = 0;
  for (int i = 0; i < calls; ++i) {
    if (bkf_exec_prepared(db, s) != 1) die(db, "select_1");
    std::int64_t v = 0;
    if (bkf_get_i64(db, 0, 0, &v) != 1) die(db, "select_1 cell");
    sum = sum * 31 + static_cast<std::uint64_t>(v);
  }
  return sum;
}

__attribute__((noinline)) std::uint64_t measure_point_lookup(BkfDb* db, BkfStmt* s, int calls) {
  std::uint64_t sum = 0;
  for (int i = 0; i < calls; ++i) {
    // Steps of 7919 (prime to kRows) visit every row before any repeats.
    const std::int64_t id = 1 + (static_cast<std::int64_t>(i) * 7919) % kRows;
    bkf_bind_int(s, 0, id);
    if (bkf_exec_prepared(db, s) != 1) die(db, "point_lookup");
    const char* v = bkf_get_text(db, 0, 0);
    if (v == nullptr) die(db, "point_lookup text");
    sum = sum * 31 + static_cast<unsigned char>(v[10]);
  }
  return sum;
}

__attribute__((noinline)) std::uint64_t measure_autocommit_insert(BkfDb* db, BkfStmt* s, int calls) {
  std::uint64_t sum = 0;
  for (int i = 0; i < calls; ++i) {
    bkf_bind_text(s, 0, "a durable row");
    if (bkf_exec_prepared(db, s) != 1) die(db, "autocommit_insert");
    sum = sum * 31 + static_cast<std::uint64_t>(bkf_last_insert_id(db));
  }
  return sum;
}

namespace {

struct Shape {
  const char* name;
  const char* sql;
  std::uint64_t (*measure)(BkfDb*, BkfStmt*, int);
};

constexpr Shape kShapes[] = {
    {"select_1", "SELECT 1", measure_select_1},
    {"point_lookup", "SELECT v FROM t WHERE id = ?", measure_point_lookup},
    {"autocommit_insert", "INSERT INTO log (v) VALUES (?)", measure_autocommit_insert},
};

void run_mode(const std::string& dir, const char* mode, int calls, const std::string& only) {
  std::printf("# mode %s\n", mode);
  const std::string path = dir + "/call_cost_bench_" + mode + ".db";
  remove_db_files(path);
  BkfDb* db = bkf_open(path.c_str());
  if (db == nullptr) die(nullptr, "bkf_open");
  exec(db, (std::string("PRAGMA journal_mode = ") + mode).c_str());
  exec(db, "PRAGMA synchronous = 2");
  exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)");
  exec(db, "CREATE TABLE log (id INTEGER PRIMARY KEY, v TEXT)");
  {
    BkfStmt* ins = prepare(db, "INSERT INTO t (id, v) VALUES (?, ?)");
    exec(db, "BEGIN");
    for (std::int64_t id = 1; id <= kRows; ++id) {
      const std::string v = text_of(id);
      bkf_bind_int(ins, 0, id);
      bkf_bind_text(ins, 1, v.c_str());
      if (bkf_exec_prepared(db, ins) != 1) die(db, "filling t");
    }
    exec(db, "COMMIT");
    bkf_finalize(ins);
  }

  for (const Shape& shape : kShapes) {
    if (!only.empty() && only != shape.name) continue;
    BkfStmt* s = prepare(db, shape.sql);
    const auto start = Clock::now();
    const std::uint64_t sum = shape.measure(db, s, calls);
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    bkf_finalize(s);
    std::printf("%s.%s %d %.6f %.1f\n", mode, shape.name, calls, secs, secs > 0 ? calls / secs : 0.0);
    std::printf("# checksum %s.%s %016" PRIx64 "\n", mode, shape.name, sum);
    std::fflush(stdout);
  }

  bkf_close(db);
  remove_db_files(path);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = default_dir();
  int calls = 5000;
  std::string modes = "both";
  std::string only;
  bool ok = true;
  for (int i = 1; i < argc && ok; ++i) {
    const std::string a = argv[i];
    if (a == "--dir" && i + 1 < argc) dir = argv[++i];
    else if (a == "--calls" && i + 1 < argc) calls = std::atoi(argv[++i]);
    else if (a == "--mode" && i + 1 < argc) modes = argv[++i];
    else if (a == "--only" && i + 1 < argc) only = argv[++i];
    else ok = false;
  }
  bool known = only.empty();
  for (const Shape& shape : kShapes) known = known || only == shape.name;
  if (!ok || calls <= 0 || !known || (modes != "both" && modes != "delete" && modes != "wal")) {
    std::fprintf(stderr,
                 "usage: call_cost_bench [--dir DIR] [--calls N] [--mode delete|wal|both]\n"
                 "                       [--only select_1|point_lookup|autocommit_insert]\n");
    return 2;
  }
  if (modes == "both" || modes == "delete") run_mode(dir, "delete", calls, only);
  if (modes == "both" || modes == "wal") run_mode(dir, "wal", calls, only);
  return 0;
}
