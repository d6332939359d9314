// A handle used across fork(). Every call of the child on the inherited
// handle that would reach the engine fails at once with the message naming
// both processes, and the child's bkf_close releases no lock and changes no
// file: the parent's open transaction keeps its lock and commits. A
// connection the child opens itself works. And a child that never touches
// the handle does not keep the parent's locks alive: once the parent frees
// the handle, or is killed, another connection writes at once while the
// child lives on. The same holds for a parent at its descriptor limit, for
// a child of _Fork() (which runs no fork handler), and for a descendant
// that gets the dead owner's process id again. A child that shares the
// parent's descriptor table (clone with CLONE_FILES) is refused too, and
// leaves the table to the parent.
//
// Children report through a pipe (one line per problem found) and their
// exit status; they end with _exit so that nothing of the parent's runs
// twice (fork_util.h).
#include <gtest/gtest.h>
#include <linux/kcmp.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "c_test_util.h"
#include "fork_util.h"
#include "support/lock_probe.h"

namespace bkf_ctest {
namespace {

using bkf::testing::lock_would_block;

// The whole content of a file, or "<missing>".
std::string file_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The database, its journal and its log, byte for byte.
struct Files {
  explicit Files(const std::string& path)
      : db(file_bytes(path)), journal(file_bytes(path + "-journal")), wal(file_bytes(path + "-wal")) {}
  std::string db, journal, wal;
  bool operator==(const Files&) const = default;
};

// A child that never touches a connection and lives until released (or
// until this process ends): a multiprocessing worker or a pre-forked server
// between jobs. Made by fork(), or, with `raw`, by a clone system call that
// runs no fork handlers.
class IdleChild {
 public:
  explicit IdleChild(bool raw) {
    int fds[2], started[2];
    if (::pipe(fds) != 0) return;
    if (::pipe(started) != 0) return;
    pid_ = raw ? static_cast<pid_t>(::syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, nullptr)) : ::fork();
    if (pid_ == 0) {
      ::close(fds[1]);
      ::close(started[0]);
      idle_until_closed(fds[0], started[1]);
    }
    ::close(fds[0]);
    ::close(started[1]);
    hold_ = fds[1];
    pid_t told = 0;
    if (::read(started[0], &told, sizeof told) != sizeof told || told != pid_) started_ = false;
    ::close(started[0]);
  }
  ~IdleChild() {
    if (hold_ >= 0) ::close(hold_);
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
  }
  IdleChild(const IdleChild&) = delete;
  IdleChild& operator=(const IdleChild&) = delete;
  bool started() const { return pid_ > 0 && started_; }
  bool alive() const {
    int status = 0;
    return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0;
  }

 private:
  pid_t pid_ = -1;
  int hold_ = -1;
  bool started_ = true;
};

// One table with a few committed rows in the journal mode of the parameter.
class InheritedHandle : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_NE(db.get(), nullptr);
    ASSERT_EQ(bkf_exec(db, (std::string("PRAGMA journal_mode = ") + GetParam()).c_str()), 1) << last_error(db);
    ASSERT_EQ(bkf_exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT); CREATE INDEX t_v ON t (v);"
                           "INSERT INTO t (v) VALUES ('a'), ('b'), ('c')"),
              3)
        << last_error(db);
  }
  // The rows' v values in id order, joined by commas, as `conn` (by
  // default the fixture's connection) reads them.
  std::string values(BkfDb* conn = nullptr) {
    if (conn == nullptr) conn = db;
    if (bkf_exec(conn, "SELECT v FROM t ORDER BY id") < 0) return last_error(conn);
    std::string out;
    for (size_t r = 0; r < bkf_row_count(conn); ++r) out += (r ? "," : "") + str(conn, r, 0);
    return out;
  }
  void expect_intact() {
    ASSERT_EQ(bkf_exec(db, "PRAGMA integrity_check"), 1) << last_error(db);
    EXPECT_EQ(str(db, 0, 0), "ok");
  }

  TempDir dir;
  std::string path = dir.file("f.db");
  Db db{path};
};

// Reads, writes, transaction statements, text that does not parse and
// prepared statements all fail in the child, and none of them leaves a
// trace in any file.
TEST_P(InheritedHandle, EveryEngineCallFailsInTheChildAndWritesNothing) {
  Stmt select(db, "SELECT v FROM t WHERE id = ?");
  Stmt insert(db, "INSERT INTO t (v) VALUES (?)");
  ASSERT_NE(select.get(), nullptr);
  ASSERT_NE(insert.get(), nullptr);
  const Files before(path);
  const std::string report = in_child([&] {
    Problems problems;
    for (const char* sql : {"SELECT v FROM t", "INSERT INTO t (v) VALUES ('child')", "UPDATE t SET v = 'x'",
                            "DELETE FROM t", "BEGIN", "COMMIT", "ROLLBACK", "CREATE TABLE u (a INTEGER)",
                            "PRAGMA wal_checkpoint", "PRAGMA journal_mode = delete", "this is not sql"})
      expect_refused(db, sql, problems);
    if (bkf_prepare(db, "SELECT 1") != nullptr || last_error(db) != foreign_message())
      problems.push_back("bkf_prepare: " + last_error(db));
    bkf_bind_int(select, 0, 1);
    bkf_bind_text(insert, 0, "child");
    for (BkfStmt* stmt : {select.get(), insert.get()}) {
      const int64_t rc = bkf_exec_prepared(db, stmt);
      if (rc != -1 || last_error(db) != foreign_message())
        problems.push_back("bkf_exec_prepared: " + std::to_string(rc) + " " + last_error(db));
    }
    return problems;
  });
  EXPECT_EQ(report, "");
  EXPECT_TRUE(Files(path) == before) << "the child changed the database, its journal or its log";
  EXPECT_EQ(values(), "a,b,c");
  expect_intact();
}

// The child only frees the inherited handle while the parent is inside a
// write transaction: the lock stays with the parent, the files are as they
// were, and the transaction commits whole.
TEST_P(InheritedHandle, ChildFreeKeepsTheParentsTransactionAndLock) {
  ASSERT_EQ(bkf_exec(db, "BEGIN; INSERT INTO t (v) VALUES ('d'), ('e'); UPDATE t SET v = 'B' WHERE id = 2"), 3)
      << last_error(db);
  ASSERT_TRUE(lock_would_block(path, true));
  const Files before(path);
  const std::string report = in_child([&] {
    Problems problems;
    bkf_close(db);
    if (!lock_would_block(path, true)) problems.push_back("the lock was released by the child's bkf_close");
    return problems;
  });
  EXPECT_EQ(report, "");
  EXPECT_TRUE(lock_would_block(path, true)) << "the parent lost its write lock";
  EXPECT_TRUE(Files(path) == before) << "freeing the handle in the child changed a file";
  ASSERT_EQ(bkf_exec(db, "INSERT INTO t (v) VALUES ('f'); COMMIT"), 1) << last_error(db);
  EXPECT_EQ(values(), "a,B,c,d,e,f");
  expect_intact();
}

// The child tries to end the parent's transaction through the inherited
// handle, then frees it: nothing of the parent's transaction is undone,
// committed or unlocked.
TEST_P(InheritedHandle, ChildCannotEndTheParentsTransaction) {
  ASSERT_EQ(bkf_exec(db, "BEGIN; INSERT INTO t (v) VALUES ('d')"), 1) << last_error(db);
  const Files before(path);
  const std::string report = in_child([&] {
    Problems problems;
    for (const char* sql : {"INSERT INTO t (v) VALUES ('child')", "ROLLBACK", "COMMIT"})
      expect_refused(db, sql, problems);
    bkf_close(db);
    if (!lock_would_block(path, true)) problems.push_back("the parent's lock is gone in the child");
    return problems;
  });
  EXPECT_EQ(report, "");
  EXPECT_TRUE(lock_would_block(path, true)) << "the parent lost its write lock";
  EXPECT_TRUE(Files(path) == before) << "the child changed the database, its journal or its log";
  ASSERT_EQ(bkf_exec(db, "COMMIT"), 0) << last_error(db);
  EXPECT_EQ(values(), "a,b,c,d");
  expect_intact();
}

// A connection the child opens itself reads and writes normally, next to
// the inherited one that it may not use; the parent sees its commits.
TEST_P(InheritedHandle, ChildsOwnConnectionWorks) {
  const std::string report = in_child([&] {
    Problems problems;
    expect_refused(db, "SELECT v FROM t", problems);
    BkfDb* own = bkf_open(path.c_str());
    if (own == nullptr) return Problems{"bkf_open failed in the child"};
    if (bkf_exec(own, "BEGIN; INSERT INTO t (v) VALUES ('child'); COMMIT") != 1)
      problems.push_back("insert: " + last_error(own));
    if (bkf_exec(own, "SELECT count(*) FROM t") != 1 || str(own, 0, 0) != "4")
      problems.push_back("count: " + last_error(own));
    bkf_close(own);
    bkf_close(db);
    return problems;
  });
  EXPECT_EQ(report, "");
  EXPECT_EQ(values(), "a,b,c,child");
  ASSERT_EQ(bkf_exec(db, "INSERT INTO t (v) VALUES ('parent')"), 1) << last_error(db);
  EXPECT_EQ(values(), "a,b,c,child,parent");
  expect_intact();
}

// The parent frees its handle inside a transaction while an idle child,
// forked before or after BEGIN, lives on: the transaction is rolled back
// and the lock is gone at once. Also with a child that skipped the fork
// handlers and so still shares the parent's open files: freeing unlocks
// them before closing.
TEST_P(InheritedHandle, FreeingReleasesTheLockWhileAnIdleChildLives) {
  struct Case {
    const char* what;
    bool fork_first;
    bool raw;
  };
  int next = 0;
  for (const Case c : {Case{"fork, then BEGIN", true, false}, Case{"BEGIN, then fork", false, false},
                       Case{"BEGIN, then a child without fork handlers", false, true}}) {
    SCOPED_TRACE(c.what);
    BkfDb* conn = bkf_open(path.c_str());
    ASSERT_NE(conn, nullptr);
    std::optional<IdleChild> child;
    if (c.fork_first) child.emplace(c.raw);
    ASSERT_EQ(bkf_exec(conn, "BEGIN; INSERT INTO t (v) VALUES ('abandoned')"), 1) << last_error(conn);
    if (!c.fork_first) child.emplace(c.raw);
    ASSERT_TRUE(child->started());
    ASSERT_TRUE(lock_would_block(path, true));
    bkf_close(conn);
    ASSERT_TRUE(child->alive());
    const bool locked = lock_would_block(path, true);
    EXPECT_FALSE(locked) << "the freed handle's lock lives on in the idle child";
    if (locked) continue;  // (the child is released, and the lock with it)
    const std::string v = "n" + std::to_string(next++);
    ASSERT_EQ(bkf_exec(db, ("INSERT INTO t (v) VALUES ('" + v + "')").c_str()), 1) << last_error(db);
  }
  EXPECT_EQ(values(), "a,b,c,n0,n1,n2");
  expect_intact();
}

// How a holder (kill_holder) makes its child.
enum class Spawn {
  kForkFirst,          // fork(), then BEGIN
  kBeginFirst,         // BEGIN, then fork()
  kAtDescriptorLimit,  // BEGIN, then fork() with no descriptor number left below RLIMIT_NOFILE
  kUnderscoreFork,     // BEGIN, then _Fork(), which runs no fork handlers
};

// Runs kill_holder with a holder that makes its child as `spawn` says; the
// child runs `body` (when given) on the holder's connection, then idles.
KilledHolder kill_holder_making(const std::string& path, Spawn spawn, Problems (*body)(BkfDb*)) {
  return kill_holder(path, [&](const HolderKit& kit) -> pid_t {
    BkfDb* own = bkf_open(kit.path.c_str());
    if (own == nullptr) return -1;
    auto make_child = [&]() -> pid_t {
      pid_t pid;
      if (spawn == Spawn::kAtDescriptorLimit) {
        // The lowest free number becomes the limit: none is left below it.
        rlimit limit;
        const int lowest_free = ::dup(0);
        if (lowest_free < 0 || ::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
        ::close(lowest_free);
        rlimit low = limit;
        low.rlim_cur = static_cast<rlim_t>(lowest_free);
        if (::setrlimit(RLIMIT_NOFILE, &low) != 0) return -1;
        pid = ::fork();
        if (pid == 0 && ::dup(0) >= 0) kit.child_done({"the child could open a descriptor"});
        if (pid > 0) ::setrlimit(RLIMIT_NOFILE, &limit);
      } else {
        pid = spawn == Spawn::kUnderscoreFork ? ::_Fork() : ::fork();
      }
      if (pid == 0) kit.child_done(body != nullptr ? body(own) : Problems{});
      return pid;
    };
    pid_t child = spawn == Spawn::kForkFirst ? make_child() : 0;
    if (!kit.begin(own)) return -1;
    if (spawn != Spawn::kForkFirst) child = make_child();
    return child;
  });
}

// A process holding a transaction is killed while an idle child it forked
// (before or after BEGIN) lives on: its lock dies with it.
TEST_P(InheritedHandle, KilledProcessesLockDoesNotWaitForItsIdleChild) {
  for (const Spawn spawn : {Spawn::kForkFirst, Spawn::kBeginFirst}) {
    SCOPED_TRACE(spawn == Spawn::kForkFirst ? "fork, then BEGIN" : "BEGIN, then fork");
    const KilledHolder run = kill_holder_making(path, spawn, nullptr);
    ASSERT_EQ(run.failure, "");
    EXPECT_EQ(run.child_report, "");
    EXPECT_TRUE(run.locked_before);
    EXPECT_TRUE(run.child_alive);
    EXPECT_FALSE(run.locked_after) << "the killed process's lock lives on in its idle child";
    ASSERT_EQ(bkf_exec(db, "INSERT INTO t (v) VALUES ('next')"), 1) << last_error(db);
  }
  EXPECT_EQ(values(), "a,b,c,next,next");
  expect_intact();
}

// The same for a process at its descriptor limit (a busy server): its
// child's fork handler cannot open a descriptor, and lets go of the
// parent's files all the same; the child's statements on the inherited
// handle are refused.
TEST_P(InheritedHandle, KilledProcessAtItsDescriptorLimitLeavesNoLockToItsChild) {
  const KilledHolder run = kill_holder_making(path, Spawn::kAtDescriptorLimit, try_to_commit);
  ASSERT_EQ(run.failure, "");
  EXPECT_EQ(run.child_report, "");
  EXPECT_TRUE(run.locked_before);
  EXPECT_TRUE(run.child_alive);
  EXPECT_FALSE(run.locked_after) << "the killed process's lock lives on in its child";
  ASSERT_EQ(bkf_exec(db, "INSERT INTO t (v) VALUES ('next')"), 1) << last_error(db);
  EXPECT_EQ(values(), "a,b,c,next");
  expect_intact();
}

// A child made by _Fork() runs no fork handler: its statements on the
// inherited handle are refused all the same, the first of them hands the
// parent's files back, and the parent's death leaves no lock behind.
// Neither the child's row nor the parent's uncommitted one is committed.
TEST_P(InheritedHandle, ChildOfUnderscoreForkIsRefusedAndLetsGo) {
  const KilledHolder run = kill_holder_making(path, Spawn::kUnderscoreFork, try_to_commit);
  ASSERT_EQ(run.failure, "");
  EXPECT_EQ(run.child_report, "");
  EXPECT_TRUE(run.locked_before) << "the child released the parent's lock";
  EXPECT_TRUE(run.child_alive);
  EXPECT_FALSE(run.locked_after) << "the killed process's lock lives on in its child";
  ASSERT_EQ(bkf_exec(db, "INSERT INTO t (v) VALUES ('next')"), 1) << last_error(db);
  EXPECT_EQ(values(), "a,b,c,next");
  expect_intact();
}

// A child made by clone() with CLONE_FILES shares its parent's descriptor
// table instead of copying it, so the descriptors it would hand back are
// the parent's own. Its statements on the inherited handle are refused as
// any child's, and its first call leaves the descriptors alone: the parent
// keeps its lock and its open transaction, which commits, and a new
// connection reads it. Needs kcmp, by which the engine tells a shared
// table.
TEST_P(InheritedHandle, ChildSharingTheDescriptorTableLeavesItToTheParent) {
  const pid_t self = ::getpid();
  if (::syscall(SYS_kcmp, self, self, KCMP_FILES, 0, 0) != 0)
    GTEST_SKIP() << "kcmp is refused here: " << std::strerror(errno);
  ASSERT_EQ(bkf_exec(db, "BEGIN; INSERT INTO t (v) VALUES ('d')"), 1) << last_error(db);
  const Files before(path);
  const std::string report = in_cloned_child(CLONE_FILES, [&] { return try_to_commit(db); });
  EXPECT_EQ(report, "");
  EXPECT_TRUE(lock_would_block(path, true)) << "the parent lost its write lock";
  EXPECT_TRUE(Files(path) == before) << "the child changed the database, its journal or its log";
  ASSERT_EQ(bkf_exec(db, "INSERT INTO t (v) VALUES ('e'); COMMIT"), 1) << last_error(db);
  EXPECT_EQ(values(), "a,b,c,d,e");
  expect_intact();
  const Db reopened(path);
  ASSERT_NE(reopened.get(), nullptr);
  EXPECT_EQ(values(reopened), "a,b,c,d,e");
}

// A process holding a transaction forks a child and is killed; the child
// then makes a grandchild that gets the dead process's id again. The
// grandchild, which inherited the dead process's handle through the child,
// is refused like any other process; nothing waits for the child, and the
// dead process's transaction stays uncommitted. Needs to set the next
// process id (root).
TEST_P(InheritedHandle, ADescendantReusingTheDeadOwnersIdIsRefused) {
  int go[2], told[2], report[2], hold[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(told), 0);
  ASSERT_EQ(::pipe(report), 0);
  ASSERT_EQ(::pipe(hold), 0);
  const pid_t owner = ::fork();
  ASSERT_GE(owner, 0);
  if (owner == 0) {
    for (const int fd : {go[1], told[0], report[0], hold[1]}) ::close(fd);
    BkfDb* own = bkf_open(path.c_str());
    if (own == nullptr || bkf_exec(own, "BEGIN; INSERT INTO t (v) VALUES ('killed')") != 1) ::_exit(2);
    const pid_t dead = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
      // Once the owner is dead, makes the grandchild, reports what it
      // found, and idles until released.
      ::close(told[1]);
      char c;
      if (::read(go[0], &c, 1) != 1) ::_exit(1);
      send_report(report[1], in_child_with_id(dead, [&] {
                    Problems problems;
                    const int64_t rc = bkf_exec(own, "INSERT INTO t (v) VALUES ('reused'); COMMIT");
                    if (rc != -1 || last_error(own) != foreign_message(dead, ::getpid()))
                      problems.push_back(std::to_string(rc) + " " + last_error(own));
                    return problems;
                  }));
      char released;
      while (::read(hold[0], &released, 1) < 0 && errno == EINTR) {
      }
      ::_exit(0);
    }
    (void)!::write(told[1], &child, sizeof child);
    for (;;) ::pause();
  }
  for (const int fd : {go[0], told[1], report[1], hold[0]}) ::close(fd);
  pid_t child = 0;
  const bool started = ::read(told[0], &child, sizeof child) == sizeof child;
  const bool locked_before = lock_would_block(path, true);
  ::kill(owner, SIGKILL);
  int status = 0;
  ::waitpid(owner, &status, 0);  // its id is free from now on
  (void)!::write(go[1], "g", 1);
  std::string found;
  const bool reported = started && receive_report(report[0], found);
  const bool child_alive = started && ::kill(child, 0) == 0;
  const bool locked_after = lock_would_block(path, true);
  if (!reported && started) ::kill(child, SIGKILL);
  ::close(hold[1]);  // the child ends
  for (const int fd : {go[1], told[0], report[0]}) ::close(fd);
  ASSERT_TRUE(started) << "the owner failed, status " << status;
  ASSERT_TRUE(reported) << "the child did not report (it hangs): " << found;
  if (found.rfind("skip:", 0) == 0) GTEST_SKIP() << found;
  EXPECT_EQ(found, "") << "the grandchild with the owner's id used its handle";
  EXPECT_TRUE(locked_before);
  EXPECT_TRUE(child_alive);
  EXPECT_FALSE(locked_after) << "the killed process's lock lives on in its child";
  ASSERT_EQ(bkf_exec(db, "INSERT INTO t (v) VALUES ('next')"), 1) << last_error(db);
  EXPECT_EQ(values(), "a,b,c,next");
  expect_intact();
}

INSTANTIATE_TEST_SUITE_P(JournalModes, InheritedHandle, ::testing::Values("delete", "wal"));

}  // namespace
}  // namespace bkf_ctest
