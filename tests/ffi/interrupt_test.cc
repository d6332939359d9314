// A lock wait ended by a signal: a process waiting in the C interface for
// another process's write transaction gets the io error "Interrupted system
// call" as soon as a signal handler installed without SA_RESTART runs, from
// bkf_exec (a write; in journal mode a read too) and from bkf_open, and its
// handle works normally once the other process is gone, with nothing of the
// interrupted statements written.
//
// The waiter and the lock holder are child processes, so that a wait that
// the signal fails to end makes the test fail (after a generous limit)
// instead of hanging it. The waiter's timer fires every few milliseconds
// until its calls return, so no sleep decides when the signal comes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "c_test_util.h"

namespace bkf_ctest {
namespace {

constexpr int kLimitMs = 20'000;  // only a wait the signal did not end gets near it

// A pipe whose ends close with it.
struct Pipe {
  Pipe() {
    if (::pipe(fd) != 0) fd[0] = fd[1] = -1;
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  void close_read() {
    if (fd[0] >= 0) ::close(fd[0]);
    fd[0] = -1;
  }
  void close_write() {
    if (fd[1] >= 0) ::close(fd[1]);
    fd[1] = -1;
  }
  int fd[2];
};

void write_line(int fd, const std::string& s) {
  const std::string line = s + "\n";
  (void)!::write(fd, line.data(), line.size());
}

// The next line from fd; nothing when the pipe closes first or, with a
// limit, when nothing comes within limit_ms.
std::optional<std::string> read_line(int fd, bool limited = true, int limit_ms = kLimitMs) {
  std::string line;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, limited ? limit_ms : -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 1) return std::nullopt;
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n != 1) return std::nullopt;
    if (c == '\n') return line;
    line += c;
  }
}

// A child process running body; one still running when the object goes is
// killed, so that no failure leaves it behind.
class Child {
 public:
  template <class F>
  explicit Child(F&& body) : pid_(::fork()) {
    if (pid_ == 0) {
      body();
      ::_exit(0);
    }
  }
  ~Child() {
    if (pid_ <= 0) return;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  bool started() const { return pid_ > 0; }
  // Waits for the child to end, for at most kLimitMs; false when it is
  // still running then.
  bool join() {
    for (int ms = 0; pid_ > 0 && ms < kLimitMs; ++ms) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
      else ::usleep(1000);
    }
    return pid_ <= 0;
  }

 private:
  pid_t pid_;
};

// "rc error" of a bkf_exec; for a success, the first column of the rows.
std::string outcome(BkfDb* db, int64_t rc) {
  std::string out = std::to_string(rc);
  if (rc < 0) return out + " " + last_error(db);
  for (size_t r = 0; r < bkf_row_count(db); ++r) out += (r ? "," : " ") + str(db, r, 0);
  return out;
}

// While it lives, SIGALRM arrives every 5 ms, its handler installed
// without SA_RESTART unless `restart` says otherwise.
class AlarmRain {
 public:
  explicit AlarmRain(bool restart = false) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = restart ? SA_RESTART : 0;
    ::sigaction(SIGALRM, &sa, nullptr);
    const itimerval every{{0, 5000}, {0, 5000}};
    ::setitimer(ITIMER_REAL, &every, nullptr);
  }
  ~AlarmRain() {
    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
  }
};

// The start of a waiter child: opens `path`, tells the parent whether it
// could ("open"), and waits for "go". Null when the open failed or the
// parent went away first.
BkfDb* open_then_wait_for_go(const std::string& path, Pipe& to_waiter, Pipe& from_waiter) {
  BkfDb* db = bkf_open(path.c_str());
  write_line(from_waiter.fd[1], db != nullptr ? "open" : "open failed");
  if (db == nullptr || read_line(to_waiter.fd[0], false) != "go") return nullptr;
  return db;
}

class LockWait : public ::testing::TestWithParam<const char*> {
 protected:
  bool wal() const { return std::string(GetParam()) == "wal"; }
  TempDir dir;
  std::string path = dir.file("w.db");
};

TEST_P(LockWait, SignalEndsTheWaitAndTheHandleGoesOn) {
  {
    Db db(path);
    ASSERT_NE(db.get(), nullptr);
    ASSERT_EQ(bkf_exec(db, (std::string("PRAGMA journal_mode = ") + GetParam()).c_str()), 1) << last_error(db);
    ASSERT_EQ(bkf_exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT); INSERT INTO t (v) VALUES ('first')"), 1)
        << last_error(db);
  }
  const bool reads_wait = !wal();  // a log reader does not wait for a writer
  Pipe to_waiter, from_waiter;
  Child waiter([&] {
    BkfDb* db = open_then_wait_for_go(path, to_waiter, from_waiter);
    if (db == nullptr) return;
    std::string report;
    {
      AlarmRain rain;
      report = outcome(db, bkf_exec(db, "INSERT INTO t (v) VALUES ('waiter')"));
      if (reads_wait) report += " | " + outcome(db, bkf_exec(db, "SELECT v FROM t"));
      BkfDb* again = bkf_open(path.c_str());
      report += again == nullptr ? " | open refused" : " | opened";
      bkf_close(again);
    }
    write_line(from_waiter.fd[1], report);
    if (read_line(to_waiter.fd[0], false) != "released") return;
    report = outcome(db, bkf_exec(db, "INSERT INTO t (v) VALUES ('waiter')"));
    report += " | " + outcome(db, bkf_exec(db, "SELECT v FROM t ORDER BY id"));
    write_line(from_waiter.fd[1], report);
    bkf_close(db);
  });
  ASSERT_TRUE(waiter.started());
  ASSERT_EQ(read_line(from_waiter.fd[0]), "open");

  // The holder: an open write transaction, until its pipe closes.
  Pipe to_holder, from_holder;
  Child holder([&] {
    to_holder.close_write();
    BkfDb* db = bkf_open(path.c_str());
    const int64_t rc = bkf_exec(db, "BEGIN; INSERT INTO t (v) VALUES ('holder')");
    write_line(from_holder.fd[1], rc == 1 ? "holding" : "failed: " + last_error(db));
    (void)read_line(to_holder.fd[0], false);
    bkf_close(db);  // abandons the transaction
  });
  ASSERT_TRUE(holder.started());
  to_holder.close_read();
  const std::optional<std::string> holding = read_line(from_holder.fd[0]);

  write_line(to_waiter.fd[1], "go");
  const std::optional<std::string> interrupted = read_line(from_waiter.fd[0]);
  to_holder.close_write();
  EXPECT_TRUE(holder.join());
  write_line(to_waiter.fd[1], "released");
  const std::optional<std::string> afterwards = read_line(from_waiter.fd[0]);
  EXPECT_TRUE(waiter.join());

  EXPECT_EQ(holding, "holding");
  const std::string error = "-1 io error: Interrupted system call (os error 4)";
  EXPECT_EQ(interrupted.value_or("(still waiting after the signals)"),
            error + (reads_wait ? " | " + error : "") + " | open refused");
  EXPECT_EQ(afterwards.value_or("(no answer)"), "1 | 2 first,waiter");
}

INSTANTIATE_TEST_SUITE_P(Modes, LockWait, ::testing::Values("delete", "wal"));

// The byte of the log file that its side lock covers: an append holds it
// exclusively until its sync returns. Holding it here stands for a writer
// whose sync is slow.
constexpr off_t kLogSideByte = off_t{1} << 62;

// Takes the log's side lock exclusively (F_WRLCK) or gives it up (F_UNLCK)
// through `log`, without waiting: 0 when done, as fcntl().
int set_side_lock(int log, short type) {
  struct flock side {};
  side.l_type = type;
  side.l_whence = SEEK_SET;
  side.l_start = kLogSideByte;
  side.l_len = 1;
  return ::fcntl(log, F_OFD_SETLK, &side);
}

// A database in WAL mode at `path` holding t (id, v) with the row 'first'.
void make_wal_table(const std::string& path) {
  Db db(path);
  ASSERT_NE(db.get(), nullptr);
  ASSERT_GE(bkf_exec(db, "PRAGMA journal_mode = wal; CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT); "
                         "INSERT INTO t (v) VALUES ('first')"),
            0)
      << last_error(db);
}

// A COMMIT whose wait for another writer's log sync is ended by a signal
// fails having written nothing, and its transaction stays open: a later
// COMMIT commits it (WAL mode).
TEST(CommitWait, SignalLeavesTheTransactionOpen) {
  TempDir dir;
  const std::string path = dir.file("c.db");
  ASSERT_NO_FATAL_FAILURE(make_wal_table(path));
  Pipe to_waiter, from_waiter;
  Child waiter([&] {
    BkfDb* db = open_then_wait_for_go(path, to_waiter, from_waiter);
    if (db == nullptr) return;
    std::string report = outcome(db, bkf_exec(db, "BEGIN; INSERT INTO t (v) VALUES ('w')"));
    {
      AlarmRain rain;
      report += " | " + outcome(db, bkf_exec(db, "COMMIT"));
    }
    write_line(from_waiter.fd[1], report);
    if (read_line(to_waiter.fd[0], false) != "released") return;
    report = outcome(db, bkf_exec(db, "COMMIT"));
    report += " | " + outcome(db, bkf_exec(db, "SELECT v FROM t ORDER BY id"));
    write_line(from_waiter.fd[1], report);
    bkf_close(db);
  });
  ASSERT_TRUE(waiter.started());
  ASSERT_EQ(read_line(from_waiter.fd[0]), "open");
  const int log = ::open((path + "-wal").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(log, 0);
  ASSERT_EQ(set_side_lock(log, F_WRLCK), 0);
  write_line(to_waiter.fd[1], "go");
  const std::optional<std::string> interrupted = read_line(from_waiter.fd[0]);
  ASSERT_EQ(set_side_lock(log, F_UNLCK), 0);
  ::close(log);
  write_line(to_waiter.fd[1], "released");
  const std::optional<std::string> afterwards = read_line(from_waiter.fd[0]);
  EXPECT_TRUE(waiter.join());
  EXPECT_EQ(interrupted.value_or("(still waiting after the signals)"),
            "1 | -1 io error: Interrupted system call (os error 4)");
  EXPECT_EQ(afterwards.value_or("(no answer)"), "0 | 2 first,w");
  Db again(path);
  EXPECT_EQ(bkf_exec(again, "SELECT v FROM t ORDER BY id"), 2) << last_error(again);
}

// Whether some handle holds the log's side lock, asked through a
// descriptor of our own.
bool side_lock_held(int log) {
  if (set_side_lock(log, F_WRLCK) != 0) return true;
  (void)set_side_lock(log, F_UNLCK);
  return false;
}

// A checkpoint waiting for a statement in progress (here a shared lock on
// the log, as another process's query holds it): a signal whose handler
// was installed without SA_RESTART ends the wait, whether it comes while
// readers queue behind the checkpoint or while they go on, and leaves
// nothing held and the log as it was; a handler installed with SA_RESTART
// lets the wait go on until the statement ends.
class CheckpointWait : public ::testing::TestWithParam<bool> {};

TEST_P(CheckpointWait, ASignalEndsItOnlyWithoutRestart) {
  const bool restart = GetParam();
  TempDir dir;
  const std::string path = dir.file("c.db");
  ASSERT_NO_FATAL_FAILURE(make_wal_table(path));
  Pipe to_waiter, from_waiter;
  Child waiter([&] {
    BkfDb* db = open_then_wait_for_go(path, to_waiter, from_waiter);
    if (db == nullptr) return;
    std::string report;
    {
      AlarmRain rain(restart);
      report = outcome(db, bkf_exec(db, "PRAGMA wal_checkpoint"));
    }
    write_line(from_waiter.fd[1], report);
    if (read_line(to_waiter.fd[0], false) != "released") return;
    report = outcome(db, bkf_exec(db, "PRAGMA wal_checkpoint"));
    report += " | " + outcome(db, bkf_exec(db, "INSERT INTO t (v) VALUES ('w')"));
    report += " | " + outcome(db, bkf_exec(db, "SELECT v FROM t ORDER BY id"));
    write_line(from_waiter.fd[1], report);
    bkf_close(db);
  });
  ASSERT_TRUE(waiter.started());
  ASSERT_EQ(read_line(from_waiter.fd[0]), "open");
  const std::string log_path = path + "-wal";
  const int log = ::open(log_path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(log, 0);
  ASSERT_EQ(::flock(log, LOCK_SH), 0);
  struct stat before {};
  ASSERT_EQ(::fstat(log, &before), 0);
  ASSERT_GT(before.st_size, 0);
  write_line(to_waiter.fd[1], "go");
  // With SA_RESTART the wait goes on through several windows and the spans
  // between them.
  const std::optional<std::string> interrupted = read_line(from_waiter.fd[0], true, restart ? 1500 : kLimitMs);
  struct stat during {};
  ASSERT_EQ(::fstat(log, &during), 0);
  const bool side_held = !restart && side_lock_held(log);
  ::close(log);  // the statement ends
  std::string first;
  if (restart) {
    EXPECT_FALSE(interrupted) << "a signal with SA_RESTART ended the wait: " << *interrupted;
    first = read_line(from_waiter.fd[0]).value_or("(still waiting after the statement ended)");
  } else {
    first = interrupted.value_or("(still waiting after the signals)");
    EXPECT_EQ(during.st_size, before.st_size) << "the interrupted wait left the log's length changed";
    EXPECT_FALSE(side_held) << "the interrupted wait kept the log's side lock";
  }
  write_line(to_waiter.fd[1], "released");
  const std::optional<std::string> afterwards = read_line(from_waiter.fd[0]);
  EXPECT_TRUE(waiter.join());
  EXPECT_EQ(first, restart ? "0" : "-1 io error: Interrupted system call (os error 4)");
  EXPECT_EQ(afterwards.value_or("(no answer)"), "0 | 1 | 2 first,w");
}

INSTANTIATE_TEST_SUITE_P(Handlers, CheckpointWait, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "SaRestart" : "NoRestart"; });

}  // namespace
}  // namespace bkf_ctest
