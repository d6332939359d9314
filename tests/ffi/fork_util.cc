#include "fork_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "c_test_util.h"
#include "support/lock_probe.h"

namespace bkf_ctest {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadline() { return Clock::now() + std::chrono::seconds(kChildLimitSeconds); }

void write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// The problems, one line each.
std::string lines(const Problems& problems) {
  std::string text;
  for (const std::string& p : problems) text += p + "\n";
  return text;
}

// Appends what can be read from fd now (it is non-blocking); false at its
// end.
bool read_available(int fd, std::string& out) {
  char buf[512];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
  }
}

// Reads fd (made non-blocking here) into `out` until `done(out)`, the end
// of the pipe or `until`; false when `until` passed first.
template <class Done>
bool read_until(int fd, std::string& out, Clock::time_point until, Done&& done) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  for (;;) {
    const bool open = read_available(fd, out);
    if (done(out) || !open) return true;
    if (Clock::now() > until) return false;
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 20);
  }
}

// Runs body in the child `make` starts (it returns twice, as fork() does)
// and returns its report (see in_child). Neither process closes an end of
// the pipe while the child runs: a child made with CLONE_FILES shares the
// descriptor table, so a close in one is a close in both.
std::string in_child_made_by(const std::function<pid_t()>& make, const std::function<Problems()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed\n";
  const pid_t pid = make();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return "making the child failed\n";
  }
  if (pid == 0) {
    const Problems problems = body();
    write_all(fds[1], lines(problems));
    ::_exit(problems.empty() ? 0 : 1);
  }
  // Until the child ends, not until the pipe does: children it made may
  // hold the pipe, and this process holds its write end.
  ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  std::string report;
  int status = 0;
  bool ended = false;
  const auto until = deadline();
  while (!(ended = ::waitpid(pid, &status, WNOHANG) == pid) && Clock::now() <= until) {
    read_available(fds[0], report);
    pollfd p{fds[0], POLLIN, 0};
    ::poll(&p, 1, 5);
  }
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  read_available(fds[0], report);
  ::close(fds[0]);
  ::close(fds[1]);
  if (!ended) return report + "the child hangs\n";
  if (!WIFEXITED(status)) return report + "child ended by signal " + std::to_string(WTERMSIG(status)) + "\n";
  if (WEXITSTATUS(status) != 0 && report.empty()) return "child exit status " + std::to_string(WEXITSTATUS(status));
  return report;
}

}  // namespace

std::string in_child(const std::function<Problems()>& body) {
  return in_child_made_by([] { return ::fork(); }, body);
}

std::string in_cloned_child(unsigned long flags, const std::function<Problems()>& body) {
  return in_child_made_by(
      [flags] { return static_cast<pid_t>(::syscall(SYS_clone, flags | SIGCHLD, nullptr, nullptr, nullptr, nullptr)); },
      body);
}

void idle_until_closed(int hold, int started) {
  const pid_t self = ::getpid();
  (void)!::write(started, &self, sizeof self);
  ::close(started);
  char c;
  while (::read(hold, &c, 1) < 0 && errno == EINTR) {
  }
  ::_exit(0);
}

std::string foreign_message(pid_t owner, pid_t user) {
  return "execution error: this connection belongs to process " + std::to_string(owner) + ", not to process " +
         std::to_string(user) + ": open a new connection in this process";
}

std::string foreign_message() { return foreign_message(::getppid(), ::getpid()); }

void expect_refused(BkfDb* db, const char* sql, Problems& problems) {
  const int64_t rc = bkf_exec(db, sql);
  if (rc != -1 || last_error(db) != foreign_message())
    problems.push_back(std::string(sql) + ": " + std::to_string(rc) + " " + last_error(db));
}

Problems try_to_commit(BkfDb* inherited) {
  Problems problems;
  expect_refused(inherited, "INSERT INTO t (v) VALUES ('child'); COMMIT", problems);
  expect_refused(inherited, "COMMIT", problems);
  return problems;
}

bool HolderKit::begin(BkfDb* own) const {
  return own != nullptr && bkf_exec(own, "BEGIN; INSERT INTO t (v) VALUES ('killed')") == 1;
}

void send_report(int fd, const std::string& text) { write_all(fd, text + std::string(1, '\0')); }

bool receive_report(int fd, std::string& text) {
  read_until(fd, text, Clock::now() + std::chrono::seconds(2 * kChildLimitSeconds),
             [](const std::string& s) { return s.find('\0') != std::string::npos; });
  const std::size_t end = text.find('\0');
  if (end == std::string::npos) return false;
  text.resize(end);
  return true;
}

void HolderKit::child_done(const Problems& problems) const {
  send_report(report_fd, lines(problems));
  ::close(report_fd);
  char c;
  while (::read(hold_fd, &c, 1) < 0 && errno == EINTR) {
  }
  ::_exit(0);
}

KilledHolder kill_holder(const std::string& path, const std::function<pid_t(const HolderKit&)>& body) {
  KilledHolder out;
  int ready[2], hold[2], report[2];
  if (::pipe(ready) != 0 || ::pipe(hold) != 0 || ::pipe(report) != 0) {
    out.failure = "pipe failed";
    return out;
  }
  const pid_t holder = ::fork();
  if (holder < 0) {
    out.failure = "fork failed";
    return out;
  }
  if (holder == 0) {
    ::close(ready[0]);
    ::close(hold[1]);
    ::close(report[0]);
    HolderKit kit;
    kit.path = path;
    kit.report_fd = report[1];
    kit.hold_fd = hold[0];
    const pid_t child = body(kit);
    ::close(report[1]);
    ::close(hold[0]);
    if (child <= 0) ::_exit(2);
    const pid_t ids[2] = {::getpid(), child};
    (void)!::write(ready[1], ids, sizeof ids);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  ::close(hold[0]);
  ::close(report[1]);
  std::string ids_bytes;
  read_until(ready[0], ids_bytes, deadline(), [](const std::string& s) { return s.size() >= 2 * sizeof(pid_t); });
  pid_t ids[2] = {0, 0};
  if (ids_bytes.size() == sizeof ids) std::memcpy(ids, ids_bytes.data(), sizeof ids);
  const bool told = ids[0] == holder;
  const pid_t child = ids[1];
  std::string text;
  const bool reported = told && receive_report(report[0], text);
  ::close(ready[0]);
  ::close(report[0]);
  if (reported) {
    out.child_report = text;
    out.locked_before = bkf::testing::lock_would_block(path, true);
  }
  ::kill(holder, SIGKILL);
  int status = 0;
  ::waitpid(holder, &status, 0);
  if (reported) {
    out.child_alive = ::kill(child, 0) == 0;
    out.locked_after = bkf::testing::lock_would_block(path, true);
  } else if (told) {
    ::kill(child, SIGKILL);
    out.failure = "the child did not report (it hangs): " + text;
  } else {
    out.failure = "the holder failed, status " + std::to_string(status);
  }
  ::close(hold[1]);  // the child ends
  return out;
}

std::string in_child_with_id(pid_t id, const std::function<Problems()>& body) {
  const int fd = ::open("/proc/sys/kernel/ns_last_pid", O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::string("skip: /proc/sys/kernel/ns_last_pid: ") + std::strerror(errno);
  // Tools that set it take this lock first.
  ::flock(fd, LOCK_EX);
  const std::string missed = "<another process id>";
  const std::string last = std::to_string(id - 1);
  std::string report = "skip: process id " + std::to_string(id) + " was taken by other processes every time";
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (::pwrite(fd, last.data(), last.size(), 0) != static_cast<ssize_t>(last.size())) {
      report = std::string("skip: cannot set the next process id: ") + std::strerror(errno);
      break;
    }
    const std::string got = in_child([&] { return ::getpid() == id ? body() : Problems{missed}; });
    if (got != missed + "\n") {
      report = got;
      break;
    }
  }
  ::close(fd);
  return report;
}

}  // namespace bkf_ctest
