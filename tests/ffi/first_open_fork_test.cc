// A process forked while another thread makes the process's first
// connection: the child's own first connection must open and work, however
// far the parent's set-up of the fork handlers had got.
//
// This executable interposes glibc's registration entry point
// (__register_atfork, which pthread_atfork calls from inside
// libbrackenford.so, where it is linked in statically and cannot be
// interposed itself) with one that holds the calling thread while the test
// forks, so the fork lands inside the first open. The test checks that the
// hold was reached; it runs in a process of its own, since only the first
// connection of a process sets the handlers up.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "c_test_util.h"

namespace {

using RegisterFn = int (*)(void (*)(), void (*)(), void (*)(), void*);

// The process whose registrations are held, and whether they still are.
std::atomic<pid_t> holding_in{0};
std::atomic<bool> held{false};       // a registration reached the hold
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

// Generous: only a hang comes near it.
constexpr int kLimitSeconds = 30;

TEST(FirstOpenTest, AChildForkedDuringTheFirstOpenOpensItsOwn) {
  TempDir dir;
  const std::string parents = dir.file("parent.db");
  const std::string childs = dir.file("child.db");
  holding_in = ::getpid();
  std::atomic<bool> opened{false};
  std::thread first([&] {
    BkfDb* db = bkf_open(parents.c_str());
    opened = db != nullptr && bkf_exec(db, "CREATE TABLE t (a INTEGER)") == 0;
    bkf_close(db);
  });
  const bool reached = within(kLimitSeconds, [] { return held.load(); });
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
  ASSERT_TRUE(reached) << "the first open never registered fork handlers through __register_atfork";
  ASSERT_GT(child, 0);
  int status = 0;
  const bool ended = within(kLimitSeconds, [&] { return ::waitpid(child, &status, WNOHANG) == child; });
  if (!ended) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  ASSERT_TRUE(ended) << "the child hangs in its first open";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  EXPECT_TRUE(opened.load());
}

}  // namespace
}  // namespace bkf_ctest
