#include "pager/os_fork.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

#include "base/on_exit.h"

#if defined(__linux__) && defined(SYS_kcmp) && __has_include(<linux/kcmp.h>)
#include <linux/kcmp.h>
#define BKF_HAVE_KCMP 1
#endif

namespace bkf {

namespace {

// Every piece of state below is constant-initialised: nothing is set up
// lazily behind a guard that a fork could leave taken.

// ---- State every child starts without (see os_fork.h) ----------------------

constexpr std::size_t kPageSize = 4096;

// One page of its own (zero-initialised, so in the anonymous part of the
// data segment, where MADV_WIPEONFORK applies).
struct alignas(kPageSize) WipedState {
  // The process's identity (ProcessTag's bits); 0 until the process is set
  // up.
  std::atomic<std::uint64_t> identity{0};
  // The id of the process one of whose threads is setting it up, or 0. A
  // page that is not wiped may show a process this one was made from.
  std::atomic<pid_t> busy{0};
};
static_assert(sizeof(WipedState) == kPageSize);
WipedState wiped;

// ---- State a child inherits as it was --------------------------------------

// Whether children see `wiped` zeroed: asked of the kernel once; the marking
// is inherited with the page.
constexpr int kUnknown = 0;
constexpr int kWipes = 1;
constexpr int kKept = 2;
std::atomic<int> page_state{kUnknown};

// The outcome of pthread_atfork in this image. A child made without handlers
// while its parent registered them may find kUnregistered although its copy
// of the handler list holds them; it registers them again.
constexpr int kUnregistered = 0;
constexpr int kRegistered = 1;
constexpr int kFailed = 2;
std::atomic<int> registration{kUnregistered};

// Bumped by every process's set-up: a process's generation is above that of
// every process whose memory it inherited.
std::atomic<std::uint32_t> generation{0};

// The identity of the last process set up in this memory: in a child that
// has not set itself up yet, the process whose descriptors are listed,
// which the hand-back compares descriptor tables with. Without a wiped page
// it is also the identity itself, which counts only in the process it
// names.
std::atomic<std::uint64_t> last_identity{0};

// /dev/null, opened with the registration and kept (close-on-exec), which
// the hand-back duplicates: a child needs no new descriptor for it. With
// its device number, to tell it from another file that got the number after
// the application closed it.
std::atomic<int> null_fd{-1};
std::atomic<dev_t> null_device{0};

// The descriptors open through open_listed, in no order, and their mutex.
// The list is made by the first open and never freed, so that files closed
// during the process's exit (by objects destroyed after this file's
// statics) still find it. The mutex checks errors, so that a prepare
// handler registered twice finds it taken by its own thread instead of
// waiting for itself.
pthread_mutex_t list_mutex = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
std::vector<int>* listed = nullptr;
// How many prepare handlers of the fork in progress took list_mutex (two
// when the handlers are registered twice); guarded by it.
int fork_holds = 0;

void lock_list() noexcept { (void)::pthread_mutex_lock(&list_mutex); }
void unlock_list() noexcept { (void)::pthread_mutex_unlock(&list_mutex); }

// Whether children see `wiped` zeroed (see page_state).
bool page_wipes() noexcept {
  int state = page_state.load(std::memory_order_acquire);
  if (state == kUnknown) {
    state = ::madvise(&wiped, sizeof wiped, MADV_WIPEONFORK) == 0 ? kWipes : kKept;
    page_state.store(state, std::memory_order_release);
  }
  return state == kWipes;
}

// The identity this process has taken, or 0.
std::uint64_t taken_identity(bool wipes, pid_t self) noexcept {
  if (wipes) return wiped.identity.load(std::memory_order_acquire);
  const std::uint64_t id = last_identity.load(std::memory_order_acquire);
  return ProcessTag(id).pid() == self ? id : 0;
}

bool is_null_device(int fd) noexcept {
  struct stat st;
  return fd >= 0 && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) &&
         st.st_rdev == null_device.load(std::memory_order_relaxed);
}

// Whether the calling process, `self`, uses the descriptor table of process
// `lister` (a child made with CLONE_FILES and the process it was made from
// do). Only a yes of the kernel counts: `lister` may be dead, its id reused
// by a process this one cannot inspect, or its main thread ended (kcmp
// looks at that thread, which has no table left), and kcmp may be missing
// (a kernel built without it) or refused (some sandboxes); all of these
// answer no. A process that got the id of a dead lister is not that
// lister. One system call, made only by a process setting itself up.
bool shares_descriptor_table(pid_t lister, pid_t self) noexcept {
#ifdef BKF_HAVE_KCMP
  return lister > 0 && lister != self && ::syscall(SYS_kcmp, lister, self, KCMP_FILES, 0, 0) == 0;
#else
  (void)lister;
  (void)self;
  return false;
#endif
}

// Puts /dev/null over every listed descriptor, unless the calling process
// (`self`) shares its descriptor table with the process that listed them
// (`lister`): then they are the lister's own, which would lose its files
// and locks in the middle of whatever it is doing. Where the kernel cannot
// tell (shares_descriptor_table), they are handed back all the same. Only
// system calls and reads of memory, nothing that allocates or locks: it
// runs in child handlers. Without the kept /dev/null (the application
// closed it) one is opened; when that fails too, the copies stay.
void hand_back(pid_t lister, pid_t self) noexcept {
  if (listed == nullptr || listed->empty()) return;
  if (shares_descriptor_table(lister, self)) return;
  int source = null_fd.load(std::memory_order_relaxed);
  int opened = -1;
  if (!is_null_device(source)) {
    do {
      opened = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    } while (opened < 0 && errno == EINTR);
    if (opened < 0) return;
    source = opened;
  }
  for (const int fd : *listed) {
    while (::dup3(source, fd, O_CLOEXEC) < 0 && errno == EINTR) {
    }
  }
  if (opened >= 0) ::close(opened);
}

void before_fork() noexcept;
void after_fork_in_parent() noexcept;
void after_fork_in_child() noexcept;

void register_handlers() noexcept {
  if (null_fd.load(std::memory_order_relaxed) < 0) {
    int fd;
    do {
      fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0) {
      null_device.store(st.st_rdev, std::memory_order_relaxed);
      null_fd.store(fd, std::memory_order_relaxed);
    } else if (fd >= 0) {
      ::close(fd);
    }
  }
  const bool ok = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
  registration.store(ok ? kRegistered : kFailed, std::memory_order_release);
}

// Sets the calling process up: registers the handlers unless its image has
// them, hands back the descriptors listed by the processes it was made from
// (none in a process set up for the first time; see hand_back for a process
// that shares its descriptor table with its lister), makes the list's mutex
// afresh (whatever a fork left it in: no thread of this process takes it
// before the set-up) and takes an identity. Returns the identity, taken by
// this call or another thread's. Keeps errno.
std::uint64_t set_up() noexcept {
  const int saved_errno = errno;
  const bool wipes = page_wipes();
  const pid_t self = ::getpid();
  std::uint64_t id = taken_identity(wipes, self);
  while (id == 0) {
    pid_t busy = wiped.busy.load(std::memory_order_acquire);
    // Free, or left by a process this one was made from.
    if (busy != self && wiped.busy.compare_exchange_strong(busy, self, std::memory_order_acq_rel)) {
      id = taken_identity(wipes, self);
      if (id == 0) {
        if (registration.load(std::memory_order_acquire) == kUnregistered) register_handlers();
        hand_back(ProcessTag(last_identity.load(std::memory_order_acquire)).pid(), self);
        list_mutex = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
        fork_holds = 0;
        const std::uint32_t gen = generation.fetch_add(1, std::memory_order_relaxed) + 1;
        id = (std::uint64_t{gen} << 32) | static_cast<std::uint32_t>(self);
        last_identity.store(id, std::memory_order_release);
        if (wipes) wiped.identity.store(id, std::memory_order_release);
      }
      wiped.busy.store(0, std::memory_order_release);
    } else {
      // Another thread of this process is at it; it takes a moment.
      ::sched_yield();
      id = taken_identity(wipes, self);
    }
  }
  errno = saved_errno;
  return id;
}

std::uint64_t identity() noexcept {
  const std::uint64_t id = wiped.identity.load(std::memory_order_acquire);
  return id != 0 ? id : set_up();
}

// A handler of the engine runs: its image has them registered.

void before_fork() noexcept {
  registration.store(kRegistered, std::memory_order_release);
  // A process made without handlers sets itself up before it takes the
  // mutex, which its own fork may have left taken.
  (void)identity();
  if (::pthread_mutex_lock(&list_mutex) == EDEADLK) ++fork_holds;
  else fork_holds = 1;
}

void after_fork_in_parent() noexcept {
  if (--fork_holds == 0) unlock_list();
}

// Runs in the child, which has one thread, before fork() returns there. The
// set-up hands the parent's descriptors back and lets go of the mutex the
// fork left taken; an application's child handler that called the engine
// before this one (or this handler registered twice) has done it already,
// and may have opened files of the child's own since.
void after_fork_in_child() noexcept {
  registration.store(kRegistered, std::memory_order_release);
  (void)identity();
}

}  // namespace

ProcessTag this_process() noexcept { return ProcessTag(identity()); }

Result<int> open_listed(const char* path, int flags, mode_t mode) {
  // A descriptor opened before the handlers exist would escape them.
  (void)identity();
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
  (void)identity();
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
