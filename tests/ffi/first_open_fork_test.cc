// Forks around a process's first connection, which registers the engine's
// fork handlers, and forks whose children run no engine handler before
// they call the engine:
// - a child forked while another thread makes the first connection opens
//   its own, however far the parent's set-up had got, also when it reuses
//   the id of the parent that died meanwhile;
// - the first connection made while another thread's fork runs a slow
//   prepare handler (the engine's handlers are then skipped in that fork);
// - an application's child handler, registered before the first
//   connection and so run before the engine's, that calls the engine.
// In the last two the child is refused the parent's connection, hands the
// parent's files back, and the parent's transaction stays its own.
//
// Only the first connection of a process sets the handlers up, so the test
// process never touches the engine itself: every test runs in processes it
// forks for it (databases are made and checked in children too).
//
// This executable interposes glibc's registration entry point
// (__register_atfork, which pthread_atfork calls from inside
// libbrackenford.so, where it is linked in statically and cannot be
// interposed itself) with one that holds the calling thread while the test
// forks, so the fork lands inside the first open. The tests check that the
// hold was reached.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "c_test_util.h"
#include "fork_util.h"

namespace {

using RegisterFn = int (*)(void (*)(), void (*)(), void (*)(), void*);

// The process whose registrations are held, and whether they still are.
std::atomic<pid_t> holding_in{0};
std::atomic<bool> held{false};  // a registration reached the hold
std::atomic<bool> let_go{false};

// Polls `done` for at most `seconds`; true once it holds.
template <class F>
bool within(int seconds, F&& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int __register_atfork(void (*prepare)(), void (*parent)(),
                                                                         void (*child)(), void* dso) {
  static const auto real = reinterpret_cast<RegisterFn>(::dlsym(RTLD_NEXT, "__register_atfork"));
  if (holding_in.load() == ::getpid()) {
    held = true;
    while (!let_go.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return real(prepare, parent, child, dso);
}

namespace bkf_ctest {
namespace {

// Creates the database at path in the journal mode given, with t holding
// 'a', 'b' and 'c' (in a child: see the file comment).
std::string make_database(const std::string& path, const char* mode) {
  return in_child([&] {
    Problems problems;
    BkfDb* db = bkf_open(path.c_str());
    if (db == nullptr) return Problems{"bkf_open failed"};
    if (bkf_exec(db, (std::string("PRAGMA journal_mode = ") + mode).c_str()) != 1 ||
        bkf_exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT); INSERT INTO t (v) VALUES ('a'), ('b'), ('c')") !=
            3)
      problems.push_back(last_error(db));
    bkf_close(db);
    return problems;
  });
}

// Inserts 'next' into t and reports t's values in id order, joined by
// commas, then what the integrity check found when it is not "ok" (in a
// child).
std::string insert_and_read(const std::string& path) {
  return in_child([&] {
    BkfDb* db = bkf_open(path.c_str());
    if (db == nullptr) return Problems{"bkf_open failed"};
    if (bkf_exec(db, "INSERT INTO t (v) VALUES ('next')") != 1 || bkf_exec(db, "SELECT v FROM t ORDER BY id") < 0)
      return Problems{last_error(db)};
    std::string values;
    for (size_t r = 0; r < bkf_row_count(db); ++r) values += (r ? "," : "") + str(db, r, 0);
    Problems out{values};
    if (bkf_exec(db, "PRAGMA integrity_check") != 1 || str(db, 0, 0) != "ok") out.push_back(str(db, 0, 0));
    bkf_close(db);
    return out;
  });
}

// What every test here expects once the holder is killed: the child told
// of no problem, the holder's lock was held, and died with it while the
// child lives on; the holder's row and the child's are not in the file.
void expect_holder_alone(const KilledHolder& run, const std::string& path) {
  ASSERT_EQ(run.failure, "");
  EXPECT_EQ(run.child_report, "");
  EXPECT_TRUE(run.locked_before) << "the child released the holder's lock";
  EXPECT_TRUE(run.child_alive);
  EXPECT_FALSE(run.locked_after) << "the killed holder's lock lives on in its child";
  EXPECT_EQ(insert_and_read(path), "a,b,c,next\n");
}

TEST(FirstOpenTest, AChildForkedDuringTheFirstOpenOpensItsOwn) {
  TempDir dir;
  const std::string parents = dir.file("parent.db");
  const std::string childs = dir.file("child.db");
  const std::string report = in_child([&] {
    Problems problems;
    holding_in = ::getpid();
    std::atomic<bool> opened{false};
    std::thread first([&] {
      BkfDb* db = bkf_open(parents.c_str());
      opened = db != nullptr && bkf_exec(db, "CREATE TABLE t (a INTEGER)") == 0;
      bkf_close(db);
    });
    const bool reached = within(kChildLimitSeconds, [] { return held.load(); });
    pid_t child = -1;
    if (reached) {
      child = ::fork();
      if (child == 0) {
        BkfDb* db = bkf_open(childs.c_str());
        const bool ok = db != nullptr && bkf_exec(db, "CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1)") == 1;
        bkf_close(db);
        ::_exit(ok ? 0 : 1);
      }
    }
    let_go = true;
    first.join();
    if (!reached) return Problems{"the first open never registered fork handlers through __register_atfork"};
    if (child < 0) return Problems{"fork failed"};
    int status = 0;
    const bool ended = within(kChildLimitSeconds, [&] { return ::waitpid(child, &status, WNOHANG) == child; });
    if (!ended) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      problems.push_back("the child hangs in its first open");
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      problems.push_back("child status " + std::to_string(status));
    }
    if (!opened.load()) problems.push_back("the parent's first connection failed");
    return problems;
  });
  EXPECT_EQ(report, "");
}

// A process forked while its parent registers the handlers outlives the
// parent, and its child gets the parent's id again: that child's first
// open must not take the parent's unfinished registration for its own.
// Needs to set the next process id (root).
TEST(FirstOpenTest, AChildReusingTheIdOfAParentThatDiedRegisteringOpensItsOwn) {
  TempDir dir;
  const std::string parents = dir.file("parent.db");
  const std::string childs = dir.file("child.db");
  int ready[2], go[2], report[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(report), 0);
  const pid_t parent = ::fork();
  ASSERT_GE(parent, 0);
  if (parent == 0) {
    for (const int fd : {ready[0], go[1], report[0]}) ::close(fd);
    holding_in = ::getpid();
    // Held in the registration until this process is killed.
    std::thread([&] { (void)bkf_open(parents.c_str()); }).detach();
    if (!within(kChildLimitSeconds, [] { return held.load(); })) ::_exit(2);
    const pid_t self = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
      holding_in = 0;  // the hold is the parent's, whatever id its descendants get
      ::close(ready[1]);
      char c;
      if (::read(go[0], &c, 1) != 1) ::_exit(1);
      send_report(report[1], in_child_with_id(self, [&] {
                    BkfDb* db = bkf_open(childs.c_str());
                    if (db == nullptr) return Problems{"bkf_open failed"};
                    Problems problems;
                    if (bkf_exec(db, "CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1)") != 1)
                      problems.push_back(last_error(db));
                    bkf_close(db);
                    return problems;
                  }));
      ::_exit(0);
    }
    (void)!::write(ready[1], &child, sizeof child);
    for (;;) ::pause();
  }
  for (const int fd : {ready[1], go[0], report[1]}) ::close(fd);
  pid_t child = 0;
  const bool started = ::read(ready[0], &child, sizeof child) == sizeof child;
  ::kill(parent, SIGKILL);
  int status = 0;
  ::waitpid(parent, &status, 0);  // its id is free from now on
  (void)!::write(go[1], "g", 1);
  std::string found;
  const bool reported = started && receive_report(report[0], found);
  if (!reported && started) ::kill(child, SIGKILL);
  for (const int fd : {ready[0], go[1], report[0]}) ::close(fd);
  ASSERT_TRUE(started) << "the parent never reached the hold in its registration, status " << status;
  ASSERT_TRUE(reported) << "no report from the child: " << found;
  if (found.rfind("skip:", 0) == 0) GTEST_SKIP() << found;
  EXPECT_EQ(found, "");
}

class FirstOpenTransaction : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { ASSERT_EQ(make_database(path, GetParam()), ""); }
  TempDir dir;
  std::string path = dir.file("f.db");
};

// 0 idle, 1 a fork waits in slow_prepare, 2 the fork may go on.
std::atomic<int> prepare_phase{0};

void slow_prepare() {
  if (prepare_phase.load() != 0) return;
  prepare_phase = 1;
  while (prepare_phase.load() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The holder's first connection is made while another of its threads forks
// and the fork waits in a prepare handler of the application's: the
// engine's handlers, registered meanwhile, are skipped in that fork. Its
// child is refused all the same (INSERT; COMMIT would commit the holder's
// row), and lets go of the holder's files.
TEST_P(FirstOpenTransaction, FirstOpenDuringASlowPrepareHandler) {
  const KilledHolder run = kill_holder(path, [](const HolderKit& kit) -> pid_t {
    if (::pthread_atfork(slow_prepare, nullptr, nullptr) != 0) return -1;
    std::atomic<BkfDb*> inherited{nullptr};
    pid_t child = -1;
    std::thread forker([&] {
      child = ::fork();
      if (child == 0) kit.child_done(try_to_commit(inherited.load()));
    });
    const bool waiting = within(kChildLimitSeconds, [] { return prepare_phase.load() == 1; });
    BkfDb* own = bkf_open(kit.path.c_str());  // this process's first
    const bool began = kit.begin(own);
    inherited = own;
    prepare_phase = 2;
    forker.join();
    return waiting && began ? child : -1;
  });
  expect_holder_alone(run, path);
}

// Set by the holder for its child's handler.
BkfDb* inherited_by_child = nullptr;
const char* child_own_path = nullptr;
Problems child_handler_problems;

// An application's child handler that uses the engine: tries the inherited
// connection, then opens, uses and closes one of its own.
void application_child_handler() {
  if (inherited_by_child == nullptr) return;
  Problems& problems = child_handler_problems;
  problems = try_to_commit(inherited_by_child);
  BkfDb* own = bkf_open(child_own_path);
  if (own == nullptr) {
    problems.push_back("bkf_open failed in the child handler");
    return;
  }
  if (bkf_exec(own, "CREATE TABLE u (a INTEGER); INSERT INTO u VALUES (1)") != 1)
    problems.push_back("the child's own connection: " + last_error(own));
  bkf_close(own);
}

// The holder registers a child handler of its own before its first
// connection, so in its child that handler runs before the engine's. The
// engine works there: the inherited connection is refused, and a
// connection of the child's own opens, runs and closes (nothing waits for
// the lock the fork left taken); the engine's handler, run next, leaves
// that alone.
TEST_P(FirstOpenTransaction, ApplicationChildHandlerRegisteredFirstUsesTheEngine) {
  const std::string childs = dir.file("child.db");
  const KilledHolder run = kill_holder(path, [&](const HolderKit& kit) -> pid_t {
    if (::pthread_atfork(nullptr, nullptr, application_child_handler) != 0) return -1;
    BkfDb* own = bkf_open(kit.path.c_str());  // this process's first
    if (!kit.begin(own)) return -1;
    inherited_by_child = own;
    child_own_path = childs.c_str();
    const pid_t child = ::fork();
    if (child == 0) {
      // The child's own connection still works after the engine's handler.
      BkfDb* again = bkf_open(childs.c_str());
      if (bkf_exec(again, "INSERT INTO u VALUES (2)") != 1) child_handler_problems.push_back("after the handlers");
      bkf_close(again);
      kit.child_done(child_handler_problems);
    }
    return child;
  });
  expect_holder_alone(run, path);
}

INSTANTIATE_TEST_SUITE_P(JournalModes, FirstOpenTransaction, ::testing::Values("delete", "wal"));

}  // namespace
}  // namespace bkf_ctest
