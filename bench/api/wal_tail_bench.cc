// A write-ahead log with a tail (frames after its last commit, as a writer
// killed while appending leaves them) under busy readers, through the C
// interface only.
//
// Two phases on one database in WAL mode, synchronous 2, whose table t(x, p)
// holds one row:
//   clean  the log ends at its last commit
//   tail   --tail-mb megabytes of frames (page 2, commit field 0) are
//          appended to the log first
// In each, --readers processes run the prepared query
// `SELECT x FROM t WHERE x = 0` in a loop for --seconds, each through its own
// connection, while this process makes 10 one-row commits, evenly spaced,
// and times each. Lines:
//
//   <phase>.reader_query  queries  seconds  queries per second (all readers)
//   <phase>.commit        10       seconds  commits per second
//   # <phase>.worst_commit_ms  the slowest of the 10 commits
//   # <phase>.per_reader       queries per second of one reader
//
// The first commit of the tail phase makes the tail inert and, since the log
// then holds more than 1000 frames, checkpoints it behind the statements in
// progress: its time is the worst commit's.
//
// Usage: wal_tail_bench [--dir DIR] [--readers N] [--seconds S] [--tail-mb M]

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "brackenford.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCommits = 10;
constexpr std::size_t kPageSize = 4096;  // a new database's

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "wal_tail_bench: %s\n", what.c_str());
  std::exit(1);
}

void must_exec(BkfDb* db, const std::string& sql) {
  if (bkf_exec(db, sql.c_str()) < 0) die(sql + ": " + bkf_last_error(db));
}

// Shared with the reader processes: when to stop, and what each counted.
struct Board {
  std::atomic<int> ready;
  std::atomic<bool> stop;
  std::atomic<std::int64_t> queries[64];
  std::atomic<bool> wrong;
};

void reader(const std::string& path, Board* board, int slot) {
  BkfDb* db = bkf_open(path.c_str());
  if (db == nullptr) _exit(2);
  BkfStmt* q = bkf_prepare(db, "SELECT x FROM t WHERE x = 0");
  if (q == nullptr) _exit(3);
  ++board->ready;
  std::int64_t n = 0;
  while (!board->stop.load(std::memory_order_relaxed)) {
    if (bkf_exec_prepared(db, q) < 0 || bkf_row_count(db) != 1) board->wrong = true;
    ++n;
  }
  board->queries[slot] = n;
  bkf_finalize(q);
  bkf_close(db);
  _exit(0);
}

// Appends `mb` megabytes of frames for page 2, none of them a commit frame.
void append_tail(const std::string& path, int mb) {
  const int fd = ::open((path + "-wal").c_str(), O_WRONLY | O_APPEND);
  if (fd < 0) die("cannot open the log");
  std::vector<unsigned char> frame(kPageSize + 8, 'T');
  const unsigned char header[8] = {0, 0, 0, 2, 0, 0, 0, 0};
  std::memcpy(frame.data(), header, sizeof header);
  const std::size_t frames = static_cast<std::size_t>(mb) * 1024 * 1024 / frame.size();
  for (std::size_t i = 0; i < frames; ++i) {
    if (::write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) die("cannot write the tail");
  }
  ::close(fd);
}

void run_phase(const char* phase, const std::string& path, int readers, double seconds, int tail_mb,
               std::int64_t& next_x) {
  auto* board = static_cast<Board*>(
      ::mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  if (board == MAP_FAILED) die("mmap");
  new (board) Board{};
  if (tail_mb > 0) append_tail(path, tail_mb);

  std::vector<pid_t> pids;
  for (int i = 0; i < readers; ++i) {
    const pid_t pid = ::fork();
    if (pid < 0) die("fork");
    if (pid == 0) reader(path, board, i);
    pids.push_back(pid);
  }
  while (board->ready.load() < readers) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  BkfDb* db = bkf_open(path.c_str());
  if (db == nullptr) die("open");
  BkfStmt* insert = bkf_prepare(db, "INSERT INTO t VALUES (?, 'p')");
  if (insert == nullptr) die(std::string("prepare: ") + bkf_last_error(db));
  const auto start = Clock::now();
  const auto gap = std::chrono::duration<double>(seconds / (kCommits + 2));
  double total = 0, worst = 0;
  for (int i = 0; i < kCommits; ++i) {
    std::this_thread::sleep_until(start + gap * (i + 1));
    bkf_bind_int(insert, 0, next_x++);
    const auto t0 = Clock::now();
    if (bkf_exec_prepared(db, insert) < 0) die(std::string("insert: ") + bkf_last_error(db));
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    total += took;
    worst = std::max(worst, took);
  }
  std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds));
  board->stop = true;
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  for (pid_t pid : pids) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("a reader failed");
  }
  if (board->wrong) die("a reader's query gave a wrong answer");
  std::int64_t queries = 0;
  for (int i = 0; i < readers; ++i) queries += board->queries[i];
  bkf_finalize(insert);
  bkf_close(db);

  std::printf("%s.reader_query %lld %.3f %.0f\n", phase, static_cast<long long>(queries), elapsed,
              static_cast<double>(queries) / elapsed);
  std::printf("%s.commit %d %.6f %.0f\n", phase, kCommits, total, kCommits / total);
  std::printf("# %s.worst_commit_ms %.2f\n", phase, worst * 1000);
  std::printf("# %s.per_reader %.0f\n", phase, static_cast<double>(queries) / elapsed / readers);
  std::fflush(stdout);
  ::munmap(board, sizeof(Board));
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
  int readers = 4, tail_mb = 20;
  double seconds = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) die("usage: wal_tail_bench [--dir DIR] [--readers N] [--seconds S] [--tail-mb M]");
    if (a == "--dir") dir = argv[++i];
    else if (a == "--readers") readers = std::atoi(argv[++i]);
    else if (a == "--seconds") seconds = std::atof(argv[++i]);
    else if (a == "--tail-mb") tail_mb = std::atoi(argv[++i]);
    else die("unknown option " + a);
  }
  if (readers < 1 || readers > 64 || seconds <= 0 || tail_mb < 1) die("bad option value");

  const std::string path = dir + "/wal_tail_bench_" + std::to_string(::getpid()) + ".db";
  {
    BkfDb* db = bkf_open(path.c_str());
    if (db == nullptr) die("cannot create " + path);
    must_exec(db, "PRAGMA journal_mode = wal");
    must_exec(db, "CREATE TABLE t (x INTEGER, p TEXT); INSERT INTO t VALUES (0, 'p')");
    bkf_close(db);
  }
  std::printf("# %d readers, %.1f s a phase, a tail of %d MB\n", readers, seconds, tail_mb);
  std::int64_t next_x = 1;
  run_phase("clean", path, readers, seconds, 0, next_x);
  run_phase("tail", path, readers, seconds, tail_mb, next_x);
  for (const char* suffix : {"", "-wal", "-journal"}) ::unlink((path + suffix).c_str());
  return 0;
}
