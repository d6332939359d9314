#include "pager/os_fork.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

#include "base/on_exit.h"

namespace bkf {

namespace {

// Every piece of state below is constant-initialised: nothing is set up
// lazily behind a guard that a fork could leave taken.

// The fork handlers' registration: kUnregistered, kRegistered, kFailed, or,
// while a thread registers them, the id of that thread's process. A child
// forked in the middle finds its parent's id there, which is not its own:
// the registering thread does not exist in the child, which registers
// itself.
constexpr pid_t kUnregistered = 0;
constexpr pid_t kRegistered = -1;
constexpr pid_t kFailed = -2;
std::atomic<pid_t> registration{kUnregistered};

// The calling process's id once the handlers are registered; 0 until then.
std::atomic<pid_t> cached_id{0};

// The descriptors open through open_listed, in no order. Made by the first
// open and never freed, so that files closed during the process's exit (by
// objects destroyed after this file's statics) still find it.
pthread_mutex_t list_mutex = PTHREAD_MUTEX_INITIALIZER;
std::vector<int>* listed = nullptr;

void lock_list() noexcept { (void)::pthread_mutex_lock(&list_mutex); }
void unlock_list() noexcept { (void)::pthread_mutex_unlock(&list_mutex); }

void before_fork() noexcept { lock_list(); }
void after_fork_in_parent() noexcept { unlock_list(); }

// Runs in the child, which has one thread, before fork() returns there: only
// system calls and reads of memory, nothing that allocates or locks.
void after_fork_in_child() noexcept {
  const int saved_errno = errno;
  cached_id.store(::getpid(), std::memory_order_relaxed);
  registration.store(kRegistered, std::memory_order_release);
  if (listed != nullptr && !listed->empty()) {
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
      for (const int fd : *listed) {
        while (::dup3(null_fd, fd, O_CLOEXEC) < 0 && errno == EINTR) {
        }
      }
      ::close(null_fd);
    }
  }
  unlock_list();
  errno = saved_errno;
}

// Registers the handlers unless done. `wait`: when another thread of this
// process is registering them, wait for it to finish; otherwise return at
// once. True once they are registered.
bool ensure_registered(bool wait) noexcept {
  pid_t state = registration.load(std::memory_order_acquire);
  if (state == kRegistered) return true;
  if (state == kFailed) return false;
  const pid_t self = ::getpid();
  for (;;) {
    if (state == kRegistered) return true;
    if (state == kFailed) return false;
    if (state == self) {
      // Another thread of this process is registering; it takes a moment.
      if (!wait) return false;
      ::sched_yield();
      state = registration.load(std::memory_order_acquire);
      continue;
    }
    // Unregistered, or left half done by the process this one was forked
    // from.
    if (registration.compare_exchange_weak(state, self, std::memory_order_acq_rel, std::memory_order_acquire)) {
      const bool ok = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
      // A fork since the registration has already run the child handler
      // in its child; this process's own id is stored here.
      if (ok) cached_id.store(self, std::memory_order_relaxed);
      registration.store(ok ? kRegistered : kFailed, std::memory_order_release);
      return ok;
    }
  }
}

}  // namespace

pid_t current_process_id() noexcept {
  const pid_t id = cached_id.load(std::memory_order_relaxed);
  if (id != 0) return id;
  (void)ensure_registered(false);
  return ::getpid();
}

Result<int> open_listed(const char* path, int flags, mode_t mode) {
  // A descriptor opened before the handlers exist would escape them.
  (void)ensure_registered(true);
  lock_list();
  const OnExit unlock([] { unlock_list(); });
  // Room for the descriptor first: once it is open, listing it cannot fail.
  if (listed == nullptr) listed = new std::vector<int>();
  if (listed->size() == listed->capacity()) listed->reserve(std::max<std::size_t>(16, 2 * listed->size()));
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::io(errno);
  listed->push_back(fd);
  return fd;
}

void close_listed(int fd) noexcept {
  lock_list();
  if (listed != nullptr) {
    const auto it = std::find(listed->begin(), listed->end(), fd);
    if (it != listed->end()) {
      *it = listed->back();
      listed->pop_back();
    }
  }
  ::close(fd);
  unlock_list();
}

}  // namespace bkf
