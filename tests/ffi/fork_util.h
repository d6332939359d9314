// Helpers of the tests that fork: running a body in a child, a process that
// holds a write transaction and is killed while a child of its lives on,
// forcing the id a child gets, and the refusal of an inherited handle.
//
// Children report what they found wrong as text (one line per problem) and
// end with _exit, so that nothing of the test process runs twice. Every
// wait for a child has a deadline: a child that hangs is killed and
// reported, never waited for.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "brackenford.h"

namespace bkf_ctest {

// Generous: only a hang comes near it.
constexpr int kChildLimitSeconds = 30;

// What a child found wrong, one entry per problem.
using Problems = std::vector<std::string>;

// Runs body in a child process and returns what it reported, plus a line
// for an exit other than status 0 and one for a child still running after
// kChildLimitSeconds (then killed). Children the body makes may outlive it.
std::string in_child(const std::function<Problems()>& body);

// The same for a child made by a clone system call with `flags` (and
// SIGCHLD), which runs no fork handler. Without CLONE_VM only: the child
// goes on on its copy of the caller's stack, as after fork().
std::string in_cloned_child(unsigned long flags, const std::function<Problems()>& body);

// The body of an idle child: tells `started` its process id, which proves
// that fork() has returned in it (its fork handlers have run), blocks until
// the other end of `hold` is closed (by the last process holding it), then
// ends the process.
[[noreturn]] void idle_until_closed(int hold, int started);

// The message every engine call on an inherited handle records:
// "execution error: this connection belongs to process {owner}, not to
// process {user}: ...". foreign_message() is the one a child of the
// connection's opener gets.
std::string foreign_message(pid_t owner, pid_t user);
std::string foreign_message();

// Adds a problem unless bkf_exec(db, sql) failed with the foreign message.
void expect_refused(BkfDb* db, const char* sql, Problems& problems);

// A child of a holder (see kill_holder) tries to commit the holder's
// transaction with a row of its own: every statement must be refused.
Problems try_to_commit(BkfDb* inherited);

// A report passed from one process to another through a pipe: the text,
// then a NUL byte. receive_report reads until the NUL (which it drops);
// false when none came within twice kChildLimitSeconds (the sender may
// wait for a child of its own) or the pipe ended first.
void send_report(int fd, const std::string& text);
bool receive_report(int fd, std::string& text);

// What the holder's body (see kill_holder) works with.
struct HolderKit {
  std::string path;
  // Takes the holder's write transaction on its connection: BEGIN and one
  // row 'killed'. False when that failed.
  bool begin(BkfDb* own) const;
  // In the holder's child: reports `problems` to the test, then idles until
  // the test releases it.
  [[noreturn]] void child_done(const Problems& problems) const;

  int report_fd = -1;
  int hold_fd = -1;
};

// What kill_holder saw.
struct KilledHolder {
  std::string failure;       // the run itself went wrong ("" when not)
  std::string child_report;  // what the child found wrong
  bool locked_before = false;
  bool child_alive = false;  // after the holder's death
  bool locked_after = false;
};

// Runs `body` in a process of its own, the holder: it opens its connection
// to path, takes the write transaction (kit.begin) and makes a child that
// calls kit.child_done, in an order of its own, and returns the child's id
// (a negative one on failure). Once the child has reported, the holder is
// killed, and whether the database's lock is still held is looked at while
// the child lives on.
KilledHolder kill_holder(const std::string& path, const std::function<pid_t(const HolderKit&)>& body);

// Runs body in a child that has the process id `id` (which must be free),
// forced through /proc/sys/kernel/ns_last_pid, and returns its report as
// in_child does. Returns "skip: ..." when the id cannot be forced (not
// root, no such file, the id taken by another process meanwhile).
std::string in_child_with_id(pid_t id, const std::function<Problems()>& body);

}  // namespace bkf_ctest
