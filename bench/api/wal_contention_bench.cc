// Write-ahead-log mode with several processes on one database, through the
// C interface only: how fast readers and writers go beside each other, and
// what a checkpoint waiting for the log's readers costs them.
//
// The database, synchronous 2, holds t(a, v) with 12,000 rows (a = i % 1000,
// v = i) and an index on a. Readers run the prepared point query
// `SELECT v FROM t WHERE a = ?` (12 rows) back to back; writers insert one
// row per commit. Each process has its own connection. Five workloads
// (--only NAME runs one):
//
//   mixed             --readers (4) readers and --writers (2) writers for
//                     --seconds (60), every sync of the log slowed by
//                     --sync-ms (5) milliseconds, as on a slow disk
//   long_statement    one reader and one writer (whose commits checkpoint
//                     the log every few hundred), and a third process that
//                     runs `SELECT count(*) FROM t x, t y WHERE x.v = y.v +
//                     1000` once (several seconds, L) from 1 s in; the run
//                     ends 1 s after it. Bound: the reader's worst query
//                     under max(0.5 s, L / 3)
//   fair_checkpoints  8 readers, while this process makes 10 one-row
//                     commits, each followed by a timed `PRAGMA
//                     wal_checkpoint`, over --seconds. Bound: the worst
//                     checkpoint under 0.1 s
//   medium_statements on a table of its own, t(a INTEGER PRIMARY KEY, v
//                     INT, s TEXT) with 12,000 rows (v = i % 1000), two
//                     processes run `SELECT count(*) FROM t x, t y WHERE
//                     x.a <= N AND y.a <= N AND x.v = y.v + 1000` (N =
//                     --join-rows, 4000: most of a second here) back to
//                     back, a third inserts a row with a 3,000-byte text
//                     every 10 ms, so the log fills and a commit
//                     checkpoints every few seconds, and this process
//                     runs a timed `PRAGMA wal_checkpoint` at a quarter,
//                     half and three quarters of min(--seconds, 30).
//                     Bound: the worst commit and the worst checkpoint
//                     under 5 times the longest statement
//   empty_log_checkpoint
//                     the table and the two processes running the join
//                     of medium_statements, and a writer that inserts
//                     one row when this process asks it to. Five times
//                     over min(--seconds, 30), this process empties the
//                     log (an untimed `PRAGMA wal_checkpoint`), then runs
//                     a timed `PRAGMA wal_checkpoint`, which has nothing
//                     to copy, and the writer makes its timed insert 0.2 s
//                     after that checkpoint started. Bound: the worst
//                     such checkpoint and the worst of those commits
//                     under 0.1 s
//
// Lines: `<workload>.reader_query`, `<workload>.statement`,
// `<workload>.commit` and `<workload>.checkpoint`, as each workload has
// them, as `name ops seconds ops_per_sec`, then
// `# ` lines with each one's p99, p99.9 and worst latency in milliseconds
// and how many took over 8 ms (more than one slowed sync), and
// whether a bound was met.
//
// The log's syncs are slowed by this program's own fdatasync, which the
// engine's library calls in place of the C library's (the program's symbol
// comes first): it sleeps first when the descriptor is a "-wal" file.
//
// Usage: wal_contention_bench [--dir DIR] [--only NAME] [--seconds S]
//                             [--readers N] [--writers N] [--sync-ms MS]
//                             [--join-rows N]

#include <dlfcn.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "brackenford.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRows = 12000;
constexpr int kMaxProcs = 64;
// A query slower than this (more than one 5 ms log sync) is counted.
constexpr double kSlowMs = 8;

// Microseconds every sync of a log sleeps first (0: none). Set before any
// process forks, so every process of a run has the same.
long g_log_sync_delay_us = 0;

bool is_log(int fd) {
  char link[64], target[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = ::readlink(link, target, sizeof target - 1);
  if (n < 4) return false;
  return std::memcmp(target + n - 4, "-wal", 4) == 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int fdatasync(int fd) {
  using Sync = int (*)(int);
  static const Sync real = reinterpret_cast<Sync>(::dlsym(RTLD_NEXT, "fdatasync"));
  if (g_log_sync_delay_us > 0 && is_log(fd)) ::usleep(static_cast<useconds_t>(g_log_sync_delay_us));
  return real(fd);
}

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "wal_contention_bench: %s\n", what.c_str());
  std::exit(1);
}

void must_exec(BkfDb* db, const std::string& sql) {
  if (bkf_exec(db, sql.c_str()) < 0) die(sql + ": " + bkf_last_error(db));
}

// What one process counted, in shared memory.
struct Slot {
  std::int64_t ops;
  double p99_ms;
  double p999_ms;
  double worst_ms;
  std::int64_t slow;  // over kSlowMs
};

struct Board {
  std::atomic<int> ready;
  std::atomic<bool> stop;
  std::atomic<bool> wrong;
  // empty_log_checkpoint: the rounds the writer was asked for and the ones
  // it finished, and when (steady clock, nanoseconds) the insert of the
  // last round asked for starts.
  std::atomic<int> asked;
  std::atomic<int> answered;
  std::atomic<std::int64_t> insert_at_ns;
  Slot slots[kMaxProcs];
};

Board* new_board() {
  void* p = ::mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) die("mmap");
  return new (p) Board{};
}

// Latencies of one process's operations: their count, p99 and worst.
class Latencies {
 public:
  Latencies() { ms_.reserve(1 << 20); }
  void add(Clock::duration d) { ms_.push_back(std::chrono::duration<double, std::milli>(d).count()); }
  Slot summary() {
    if (ms_.empty()) return Slot{0, 0, 0, 0, 0};
    std::sort(ms_.begin(), ms_.end());
    auto at = [&](std::size_t per_mille) { return ms_[std::min(ms_.size() - 1, ms_.size() * per_mille / 1000)]; };
    const auto slow = ms_.end() - std::upper_bound(ms_.begin(), ms_.end(), kSlowMs);
    return Slot{static_cast<std::int64_t>(ms_.size()), at(990), at(999), ms_.back(), slow};
  }

 private:
  std::vector<double> ms_;
};

// Runs `body(db)` in a child process on a connection of its own; the
// child's Latencies go to its slot. Returns the child's pid.
template <class Body>
pid_t spawn(const std::string& path, Board* board, int slot, Body body) {
  const pid_t pid = ::fork();
  if (pid < 0) die("fork");
  if (pid != 0) return pid;
  BkfDb* db = bkf_open(path.c_str());
  if (db == nullptr) _exit(2);
  Latencies lat;
  ++board->ready;
  body(db, lat);
  board->slots[slot] = lat.summary();
  bkf_close(db);
  _exit(0);
}

void reader(BkfDb* db, Board* board, Latencies& lat) {
  BkfStmt* q = bkf_prepare(db, "SELECT v FROM t WHERE a = ?");
  if (q == nullptr) _exit(3);
  std::uint32_t seed = static_cast<std::uint32_t>(::getpid());
  while (!board->stop.load(std::memory_order_relaxed)) {
    seed = seed * 1103515245u + 12345u;
    bkf_bind_int(q, 0, (seed >> 8) % 1000);
    const auto t0 = Clock::now();
    if (bkf_exec_prepared(db, q) < 0 || bkf_row_count(db) < kRows / 1000) {
      if (!board->wrong.exchange(true)) std::fprintf(stderr, "reader: %s (%zu rows)\n", bkf_last_error(db), bkf_row_count(db));
    }
    lat.add(Clock::now() - t0);
  }
  bkf_finalize(q);
}

void writer(BkfDb* db, Board* board, Latencies& lat, int id) {
  BkfStmt* ins = bkf_prepare(db, "INSERT INTO t (a, v) VALUES (?, ?)");
  if (ins == nullptr) _exit(3);
  std::int64_t n = 0;
  while (!board->stop.load(std::memory_order_relaxed)) {
    bkf_bind_int(ins, 0, 5000 + id);  // outside the readers' range of a
    bkf_bind_int(ins, 1, ++n);
    const auto t0 = Clock::now();
    if (bkf_exec_prepared(db, ins) < 0 && !board->wrong.exchange(true)) {
      std::fprintf(stderr, "writer: %s\n", bkf_last_error(db));
    }
    lat.add(Clock::now() - t0);
  }
  bkf_finalize(ins);
}

void wait_all(const std::vector<pid_t>& pids) {
  for (pid_t pid : pids) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("a process failed");
  }
}

// Prints `name ops seconds ops/s` over the slots [from, to), and a comment
// line with the highest p99 and p99.9 of one process, and the worst
// latency, among them.
Slot report(const char* name, Board* board, int from, int to, double seconds) {
  Slot all{0, 0, 0, 0, 0};
  for (int i = from; i < to; ++i) {
    all.ops += board->slots[i].ops;
    all.slow += board->slots[i].slow;
    all.p99_ms = std::max(all.p99_ms, board->slots[i].p99_ms);
    all.p999_ms = std::max(all.p999_ms, board->slots[i].p999_ms);
    all.worst_ms = std::max(all.worst_ms, board->slots[i].worst_ms);
  }
  std::printf("%s %lld %.3f %.0f\n", name, static_cast<long long>(all.ops), seconds,
              static_cast<double>(all.ops) / seconds);
  std::printf("# %s p99_ms %.2f p99.9_ms %.2f worst_ms %.2f over_%.0f_ms %lld\n", name, all.p99_ms, all.p999_ms,
              all.worst_ms, kSlowMs, static_cast<long long>(all.slow));
  return all;
}

void make_db(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-journal"}) ::unlink((path + suffix).c_str());
  BkfDb* db = bkf_open(path.c_str());
  if (db == nullptr) die("cannot create " + path);
  must_exec(db, "PRAGMA journal_mode = wal");
  must_exec(db, "CREATE TABLE t (a INTEGER, v INTEGER); CREATE INDEX t_a ON t (a)");
  std::string sql = "BEGIN";
  for (int i = 0; i < kRows; ++i) {
    sql += "; INSERT INTO t VALUES (" + std::to_string(i % 1000) + ", " + std::to_string(i) + ")";
  }
  must_exec(db, sql + "; COMMIT; PRAGMA wal_checkpoint");
  bkf_close(db);
}

void wait_ready(Board* board, int n) {
  while (board->ready.load() < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The end of a run beside the processes `pids`: `count` timed `PRAGMA
// wal_checkpoint`s on a connection of this process, spread evenly over
// `seconds` (each after `before(db, i)`), then the rest of the run; then
// the processes are stopped and waited for. Gives the checkpoints' times
// and the run's length in seconds.
template <class Before>
std::pair<Latencies, double> checkpoint_then_stop(const std::string& path, Board* board,
                                                   const std::vector<pid_t>& pids, double seconds, int count,
                                                   Before before) {
  BkfDb* db = bkf_open(path.c_str());
  if (db == nullptr) die("open");
  Latencies checkpoints;
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds * (i + 1) / (count + 1)));
    before(db, i);
    const auto t0 = Clock::now();
    must_exec(db, "PRAGMA wal_checkpoint");
    checkpoints.add(Clock::now() - t0);
  }
  std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds));
  board->stop = true;
  wait_all(pids);
  bkf_close(db);
  return {std::move(checkpoints), std::chrono::duration<double>(Clock::now() - start).count()};
}

void run_mixed(const std::string& path, int readers, int writers, double seconds) {
  make_db(path);
  Board* board = new_board();
  std::vector<pid_t> pids;
  for (int i = 0; i < readers; ++i) {
    pids.push_back(spawn(path, board, i, [&](BkfDb* db, Latencies& lat) { reader(db, board, lat); }));
  }
  for (int i = 0; i < writers; ++i) {
    pids.push_back(
        spawn(path, board, readers + i, [&](BkfDb* db, Latencies& lat) { writer(db, board, lat, i); }));
  }
  wait_ready(board, readers + writers);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  board->stop = true;
  wait_all(pids);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (board->wrong) die("mixed: a query or commit failed");
  report("mixed.reader_query", board, 0, readers, elapsed);
  report("mixed.commit", board, readers, readers + writers, elapsed);
  ::munmap(board, sizeof(Board));
}

void run_long_statement(const std::string& path) {
  make_db(path);
  Board* board = new_board();
  std::vector<pid_t> pids;
  pids.push_back(spawn(path, board, 0, [&](BkfDb* db, Latencies& lat) { reader(db, board, lat); }));
  pids.push_back(spawn(path, board, 1, [&](BkfDb* db, Latencies& lat) { writer(db, board, lat, 0); }));
  wait_ready(board, 2);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  double long_seconds = 0;
  {
    BkfDb* db = bkf_open(path.c_str());
    if (db == nullptr) die("open");
    const auto t0 = Clock::now();
    if (bkf_exec(db, "SELECT count(*) FROM t x, t y WHERE x.v = y.v + 1000") < 0) {
      die(std::string("the long statement: ") + bkf_last_error(db));
    }
    long_seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    bkf_close(db);
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  board->stop = true;
  wait_all(pids);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (board->wrong) die("long_statement: a query or commit failed");
  std::printf("# long_statement: the long statement took %.2f s\n", long_seconds);
  const Slot r = report("long_statement.reader_query", board, 0, 1, elapsed);
  report("long_statement.commit", board, 1, 2, elapsed);
  const double bound_ms = std::max(500.0, long_seconds * 1000 / 3);
  std::printf("# long_statement bound: worst query under %.0f ms: %s\n", bound_ms,
              r.worst_ms < bound_ms ? "met" : "NOT met");
  ::munmap(board, sizeof(Board));
}

// The database of medium_statements and empty_log_checkpoint: t(a
// INTEGER PRIMARY KEY, v INT, s TEXT) with kRows rows (a = i from 1, v =
// i % 1000, no s), the log checkpointed.
void make_keyed_db(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-journal"}) ::unlink((path + suffix).c_str());
  BkfDb* db = bkf_open(path.c_str());
  if (db == nullptr) die("cannot create " + path);
  must_exec(db, "PRAGMA journal_mode = wal");
  must_exec(db, "CREATE TABLE t (a INTEGER PRIMARY KEY, v INT, s TEXT)");
  std::string sql = "BEGIN";
  for (int i = 1; i <= kRows; ++i) {
    sql += "; INSERT INTO t (a, v) VALUES (" + std::to_string(i) + ", " + std::to_string(i % 1000) + ")";
  }
  must_exec(db, sql + "; COMMIT; PRAGMA wal_checkpoint");
  bkf_close(db);
}

// Starts `count` processes, in slots [0, count), on a make_keyed_db()
// database, each running `SELECT count(*) FROM t x, t y WHERE x.a <= N AND
// y.a <= N AND x.v = y.v + 1000` (N = `join_rows`) back to back until the
// run stops.
void spawn_joins(const std::string& path, Board* board, int join_rows, int count, std::vector<pid_t>& pids) {
  const std::string join = "SELECT count(*) FROM t x, t y WHERE x.a <= " + std::to_string(join_rows) +
                           " AND y.a <= " + std::to_string(join_rows) + " AND x.v = y.v + 1000";
  for (int i = 0; i < count; ++i) {
    pids.push_back(spawn(path, board, i, [&](BkfDb* db, Latencies& lat) {
      while (!board->stop.load(std::memory_order_relaxed)) {
        const auto t0 = Clock::now();
        if (bkf_exec(db, join.c_str()) < 0 && !board->wrong.exchange(true)) {
          std::fprintf(stderr, "statement: %s\n", bkf_last_error(db));
        }
        lat.add(Clock::now() - t0);
      }
    }));
  }
}

void run_medium_statements(const std::string& path, double seconds, int join_rows) {
  constexpr int kStatementProcs = 2, kCheckpoints = 3;
  make_keyed_db(path);
  Board* board = new_board();
  std::vector<pid_t> pids;
  spawn_joins(path, board, join_rows, kStatementProcs, pids);
  pids.push_back(spawn(path, board, kStatementProcs, [&](BkfDb* db, Latencies& lat) {
    BkfStmt* ins = bkf_prepare(db, "INSERT INTO t (v, s) VALUES (?, ?)");
    if (ins == nullptr) _exit(3);
    const std::string text(3000, 'w');
    auto next = Clock::now();
    for (std::int64_t n = 0; !board->stop.load(std::memory_order_relaxed); ++n) {
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
      bkf_bind_int(ins, 0, n);
      bkf_bind_text(ins, 1, text.c_str());
      const auto t0 = Clock::now();
      if (bkf_exec_prepared(db, ins) < 0 && !board->wrong.exchange(true)) {
        std::fprintf(stderr, "writer: %s\n", bkf_last_error(db));
      }
      const auto took = Clock::now() - t0;
      lat.add(took);
      if (took > std::chrono::milliseconds(10)) next = Clock::now();
    }
    bkf_finalize(ins);
  }));
  wait_ready(board, kStatementProcs + 1);
  auto [checkpoints, elapsed] = checkpoint_then_stop(path, board, pids, seconds, kCheckpoints, [](BkfDb*, int) {});
  if (board->wrong) die("medium_statements: a statement or commit failed");
  const Slot st = report("medium_statements.statement", board, 0, kStatementProcs, elapsed);
  const Slot cm = report("medium_statements.commit", board, kStatementProcs, kStatementProcs + 1, elapsed);
  board->slots[kStatementProcs + 1] = checkpoints.summary();
  const Slot ck = report("medium_statements.checkpoint", board, kStatementProcs + 1, kStatementProcs + 2, elapsed);
  const double bound_ms = 5 * st.worst_ms;
  std::printf("# medium_statements bound: worst commit and checkpoint under 5 x %.0f ms: %s\n", st.worst_ms,
              cm.worst_ms < bound_ms && ck.worst_ms < bound_ms ? "met" : "NOT met");
  ::munmap(board, sizeof(Board));
}

void run_empty_log_checkpoint(const std::string& path, double seconds, int join_rows) {
  constexpr int kStatementProcs = 2, kRounds = 5;
  constexpr auto kInsertAfter = std::chrono::milliseconds(200);
  make_keyed_db(path);
  Board* board = new_board();
  std::vector<pid_t> pids;
  spawn_joins(path, board, join_rows, kStatementProcs, pids);
  // The writer: round r's insert waits until it is asked for and then
  // until its start time, so it starts kInsertAfter after the timed
  // checkpoint started, whether or not that checkpoint still runs.
  pids.push_back(spawn(path, board, kStatementProcs, [&](BkfDb* db, Latencies& lat) {
    BkfStmt* ins = bkf_prepare(db, "INSERT INTO t (v) VALUES (?)");
    if (ins == nullptr) _exit(3);
    for (int round = 1;; ++round) {
      while (board->asked.load() < round && !board->stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (board->asked.load() < round) break;
      std::this_thread::sleep_until(Clock::time_point(
          std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(board->insert_at_ns.load()))));
      bkf_bind_int(ins, 0, round);
      const auto t0 = Clock::now();
      if (bkf_exec_prepared(db, ins) < 0 && !board->wrong.exchange(true)) {
        std::fprintf(stderr, "writer: %s\n", bkf_last_error(db));
      }
      lat.add(Clock::now() - t0);
      board->answered = round;
    }
    bkf_finalize(ins);
  }));
  wait_ready(board, kStatementProcs + 1);
  const std::string log = path + "-wal";
  // Round i: once the last round's insert is done, empties the log that
  // insert left frames in, and asks for this round's insert kInsertAfter
  // from now: the timed checkpoint starts as this returns.
  auto [checkpoints, elapsed] = checkpoint_then_stop(path, board, pids, seconds, kRounds, [&](BkfDb* db, int i) {
    while (board->answered.load() < i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    must_exec(db, "PRAGMA wal_checkpoint");
    struct stat st;
    if (::stat(log.c_str(), &st) == 0 && st.st_size != 0) die("empty_log_checkpoint: the log is not empty");
    board->insert_at_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>((Clock::now() + kInsertAfter).time_since_epoch()).count();
    board->asked = i + 1;
  });
  if (board->wrong) die("empty_log_checkpoint: a statement or commit failed");
  if (board->answered.load() != kRounds) die("empty_log_checkpoint: the writer missed a round");
  const Slot st = report("empty_log_checkpoint.statement", board, 0, kStatementProcs, elapsed);
  const Slot cm = report("empty_log_checkpoint.commit", board, kStatementProcs, kStatementProcs + 1, elapsed);
  board->slots[kStatementProcs + 1] = checkpoints.summary();
  const Slot ck =
      report("empty_log_checkpoint.checkpoint", board, kStatementProcs + 1, kStatementProcs + 2, elapsed);
  std::printf("# empty_log_checkpoint bound: worst checkpoint of an empty log and worst commit beside it under "
              "100 ms (longest statement %.0f ms): %s\n",
              st.worst_ms, cm.worst_ms < 100 && ck.worst_ms < 100 ? "met" : "NOT met");
  ::munmap(board, sizeof(Board));
}

void run_fair_checkpoints(const std::string& path, double seconds) {
  constexpr int kReaders = 8, kCheckpoints = 10;
  make_db(path);
  Board* board = new_board();
  std::vector<pid_t> pids;
  for (int i = 0; i < kReaders; ++i) {
    pids.push_back(spawn(path, board, i, [&](BkfDb* db, Latencies& lat) { reader(db, board, lat); }));
  }
  wait_ready(board, kReaders);
  auto [checkpoints, elapsed] =
      checkpoint_then_stop(path, board, pids, seconds, kCheckpoints, [](BkfDb* db, int i) {
        must_exec(db, "INSERT INTO t (a, v) VALUES (9999, " + std::to_string(i) + ")");
      });
  if (board->wrong) die("fair_checkpoints: a query failed");
  report("fair_checkpoints.reader_query", board, 0, kReaders, elapsed);
  board->slots[kReaders] = checkpoints.summary();
  const Slot c = report("fair_checkpoints.checkpoint", board, kReaders, kReaders + 1, elapsed);
  std::printf("# fair_checkpoints bound: worst checkpoint under 100 ms: %s\n", c.worst_ms < 100 ? "met" : "NOT met");
  ::munmap(board, sizeof(Board));
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
  std::string only;
  int readers = 4, writers = 2;
  double seconds = 60, sync_ms = 5;
  int join_rows = 4000;
  const std::string workloads[] = {"mixed", "long_statement", "fair_checkpoints", "medium_statements",
                                   "empty_log_checkpoint"};
  std::string names;
  for (const std::string& w : workloads) names += (names.empty() ? "" : "|") + w;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) {
      die("usage: wal_contention_bench [--dir DIR] [--only " + names +
          "] [--seconds S] [--readers N] [--writers N] [--sync-ms MS] [--join-rows N]");
    }
    if (a == "--dir") dir = argv[++i];
    else if (a == "--only") only = argv[++i];
    else if (a == "--seconds") seconds = std::atof(argv[++i]);
    else if (a == "--readers") readers = std::atoi(argv[++i]);
    else if (a == "--writers") writers = std::atoi(argv[++i]);
    else if (a == "--sync-ms") sync_ms = std::atof(argv[++i]);
    else if (a == "--join-rows") join_rows = std::atoi(argv[++i]);
    else die("unknown option " + a);
  }
  if (readers < 1 || writers < 1 || readers + writers > kMaxProcs || seconds <= 0 || sync_ms < 0 || join_rows < 1) {
    die("bad option value");
  }
  if (!only.empty() && std::find(std::begin(workloads), std::end(workloads), only) == std::end(workloads)) {
    die("unknown workload " + only + " (" + names + ")");
  }
  const std::string path = dir + "/wal_contention_bench_" + std::to_string(::getpid()) + ".db";
  if (only.empty() || only == "mixed") {
    std::printf("# mixed: %d readers, %d writers, %.0f s, log syncs slowed by %.1f ms\n", readers, writers, seconds,
                sync_ms);
    std::fflush(stdout);
    g_log_sync_delay_us = static_cast<long>(sync_ms * 1000);
    run_mixed(path, readers, writers, seconds);
    g_log_sync_delay_us = 0;
  }
  if (only.empty() || only == "long_statement") {
    std::fflush(stdout);
    run_long_statement(path);
  }
  if (only.empty() || only == "fair_checkpoints") {
    std::fflush(stdout);
    run_fair_checkpoints(path, std::min(seconds, 5.0));
  }
  if (only.empty() || only == "medium_statements") {
    std::fflush(stdout);
    run_medium_statements(path, std::min(seconds, 30.0), join_rows);
  }
  if (only.empty() || only == "empty_log_checkpoint") {
    std::fflush(stdout);
    run_empty_log_checkpoint(path, std::min(seconds, 30.0), join_rows);
  }
  for (const char* suffix : {"", "-wal", "-journal"}) ::unlink((path + suffix).c_str());
  return 0;
}
