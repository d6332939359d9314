#include "pager/os_vfs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/timerfd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>

#include "pager/os_fork.h"

namespace bkf {

namespace {

// Durable flush of one descriptor. Where the platform offers the barrier and
// full-flush fcntl commands they are used (barrier first, full flush only when
// the barrier is refused); elsewhere fdatasync, which also flushes a changed
// file length, is the strongest flush available.
Status sync_fd(int fd) {
#if defined(F_FULLFSYNC)
#if defined(F_BARRIERFSYNC)
  if (::fcntl(fd, F_BARRIERFSYNC) != -1) return {};
#endif
  if (::fcntl(fd, F_FULLFSYNC) != -1) return {};
  return Error::io(errno);
#else
  while (::fdatasync(fd) != 0) {
    if (errno != EINTR) return Error::io(errno);
  }
  return {};
#endif
}

}  // namespace

OsFile::~OsFile() {
  if (fd_ >= 0) close_listed(fd_);
}

Status OsFile::read_exact_at(std::uint8_t* buf, std::size_t len, std::uint64_t offset) {
  std::size_t got = 0;
  while (got < len) {
    ssize_t n = ::pread(fd_, buf + got, len - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::io(errno);
    }
    if (n == 0) return Error::short_read(offset, len, got);
    got += static_cast<std::size_t>(n);
  }
  return {};
}

Status OsFile::write_all_at(const std::uint8_t* data, std::size_t len, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < len) {
    ssize_t n = ::pwrite(fd_, data + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::io(errno);
    }
    if (n == 0) return Error::io_failure("failed to write whole buffer");
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Result<std::uint64_t> OsFile::size() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return Error::io(errno);
  return static_cast<std::uint64_t>(st.st_size);
}

Status OsFile::sync() { return sync_fd(fd_); }

Status OsFile::truncate(std::uint64_t length) {
  while (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return Error::io(errno);
  }
  return {};
}

Status OsFile::zero_range(std::uint64_t offset, std::uint64_t len) {
#if defined(FALLOC_FL_PUNCH_HOLE) && defined(FALLOC_FL_KEEP_SIZE)
  for (;;) {
    if (::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                    static_cast<off_t>(len)) == 0) {
      return {};
    }
    if (errno == EINTR) continue;
    if (errno != EOPNOTSUPP && errno != ENOSYS) return Error::io(errno);
    break;
  }
#endif
  static constexpr std::size_t kChunk = 64 * 1024;
  static const std::uint8_t zeros[kChunk] = {};
  while (len > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(len, kChunk));
    BKF_TRY(write_all_at(zeros, n, offset));
    offset += n;
    len -= n;
  }
  return {};
}

// Not retried when interrupted: a signal whose handler was installed
// without SA_RESTART (the Python interpreter installs its handlers so) ends
// the wait, so that the program can act on it (Ctrl-C) instead of waiting on
// for another connection's lock.
Status OsFile::lock(bool exclusive) {
  if (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) return Error::io(errno);
  return {};
}

Status OsFile::unlock() {
  while (::flock(fd_, LOCK_UN) != 0) {
    if (errno != EINTR) return Error::io(errno);
  }
  return {};
}

Result<bool> OsFile::try_lock(bool exclusive) {
  while (::flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return false;
    if (errno != EINTR) return Error::io(errno);
  }
  return true;
}

namespace {

// Pauses between the tries of lock_within(): short at first, since the
// holder is most often a statement about to end, then longer, so that a
// long wait costs little.
constexpr std::chrono::microseconds kFirstLockPause{50};
constexpr std::chrono::microseconds kLongestLockPause{1000};

// Sleeps, and lets a signal end the sleep exactly when it would end a
// blocked flock(): a handler installed without SA_RESTART ends it (Io
// EINTR), one installed with it does not. A read of a timerfd is restarted
// or not by the same rule as flock() is; nanosleep, which is never
// restarted, serves only where there is no timerfd.
class Sleeper {
 public:
#if defined(__linux__)
  Sleeper() : fd_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC)) {}
#else
  Sleeper() = default;
#endif
  ~Sleeper() {
    if (fd_ >= 0) ::close(fd_);
  }
  Sleeper(const Sleeper&) = delete;
  Sleeper& operator=(const Sleeper&) = delete;

  Status sleep(std::chrono::microseconds d) {
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(secs.count());
    ts.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(d - secs).count());
    if (ts.tv_sec == 0 && ts.tv_nsec == 0) return {};
#if defined(__linux__)
    if (fd_ >= 0) {
      itimerspec spec{};
      spec.it_value = ts;
      if (::timerfd_settime(fd_, 0, &spec, nullptr) != 0) return Error::io(errno);
      std::uint64_t expirations = 0;
      if (::read(fd_, &expirations, sizeof expirations) < 0) return Error::io(errno);
      return {};
    }
#endif
    if (::nanosleep(&ts, nullptr) != 0) return Error::io(errno);
    return {};
  }

 private:
  int fd_ = -1;
};

}  // namespace

// Tries flock() with LOCK_NB, pausing between tries: flock() has no wait
// with a time limit.
Result<bool> OsFile::lock_within(bool exclusive, std::chrono::microseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  // A lock granted at once costs no timer.
  if (BKF_TRY(try_lock(exclusive))) return true;
  Sleeper sleeper;
  std::chrono::microseconds pause = kFirstLockPause;
  for (;;) {
    const auto now = Clock::now();
    if (now >= deadline) return false;
    BKF_TRY(sleeper.sleep(std::min(pause, std::chrono::ceil<std::chrono::microseconds>(deadline - now))));
    pause = std::min(pause * 2, kLongestLockPause);
    if (BKF_TRY(try_lock(exclusive))) return true;
  }
}

namespace {

// The byte the side lock covers: beyond the largest length a database or
// log file can have, so no other use of record locks on the file meets it.
constexpr off_t kSideLockByte = off_t{1} << 62;

// Record locks owned by the open file description where the platform has
// them; elsewhere process-owned record locks, which do not exclude two
// handles of one process from each other.
#if defined(F_OFD_SETLKW)
constexpr int kSetLockWait = F_OFD_SETLKW;
constexpr int kSetLock = F_OFD_SETLK;
#else
constexpr int kSetLockWait = F_SETLKW;
constexpr int kSetLock = F_SETLK;
#endif

int side_lock_call(int fd, int cmd, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = kSideLockByte;
  fl.l_len = 1;
  return ::fcntl(fd, cmd, &fl);
}

}  // namespace

// Not retried when interrupted, as lock().
Status OsFile::side_lock(bool exclusive) {
  if (side_lock_call(fd_, kSetLockWait, exclusive ? F_WRLCK : F_RDLCK) != 0) return Error::io(errno);
  return {};
}

Status OsFile::side_unlock() {
  while (side_lock_call(fd_, kSetLock, F_UNLCK) != 0) {
    if (errno != EINTR) return Error::io(errno);
  }
  return {};
}

Result<bool> OsFile::try_side_lock(bool exclusive) {
  while (side_lock_call(fd_, kSetLock, exclusive ? F_WRLCK : F_RDLCK) != 0) {
    if (errno == EAGAIN || errno == EACCES) return false;
    if (errno != EINTR) return Error::io(errno);
  }
  return true;
}

Result<FileLook> OsFile::look() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return Error::io(errno);
  return FileLook{static_cast<std::uint64_t>(st.st_size), static_cast<std::uint64_t>(st.st_nlink)};
}

Result<std::string> OsFile::current_path() {
  const std::string link = "/proc/self/fd/" + std::to_string(fd_);
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n < 0) return Error::io(errno);
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);  // cut off: try a larger buffer
  }
}

Result<FileId> OsFile::id() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return Error::io(errno);
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

Result<std::unique_ptr<VfsFile>> OsVfs::open(const std::string& path, bool create) {
  if (!create) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Error::not_found(path);
  }
  // The handle is made before the file is opened: running out of memory
  // for it must not leave a file created behind (a commit would otherwise
  // fail with a new, empty journal beside the database, which it does not
  // know to remove). Nor does listing the descriptor allocate once the file
  // is open (open_listed).
  std::unique_ptr<OsFile> file(new OsFile());
  file->fd_ = BKF_TRY(open_listed(path.c_str(), O_RDWR | (create ? O_CREAT : 0), 0666));
  return std::unique_ptr<VfsFile>(std::move(file));
}

Status OsVfs::delete_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return Error::io(errno);
  return {};
}

bool OsVfs::exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

namespace {

// Whether a failed stat() says that no file can be at the path (none there,
// a component that is no directory, a name too long to exist, a loop of
// symbolic links): a caller learns from it that no file is there, which a
// failed look-up (EIO, EACCES) does not say.
bool names_no_file(int err) { return err == ENOENT || err == ENOTDIR || err == ENAMETOOLONG || err == ELOOP; }

}  // namespace

Result<FileId> OsVfs::file_id(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (names_no_file(errno)) return Error::not_found(path);
    return Error::io(errno);
  }
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

Vfs::Presence OsVfs::look_up(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return {true, 0};
  const int err = errno;
  if (err == ENOENT) [[likely]] return {false, 0};
  return {false, names_no_file(err) ? 0 : err};
}

Result<std::string> OsVfs::resolve(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) {
    if (errno == ENOENT || errno == ENOTDIR) return Error::not_found(path);
    return Error::io(errno);
  }
  std::string out(real);
  std::free(real);
  return out;
}

Status OsVfs::sync_dir(const std::string& path) {
  std::string dir;
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) dir = ".";
  else if (slash == 0) dir = "/";
  else dir = path.substr(0, slash);
  const int fd = BKF_TRY(open_listed(dir.c_str(), O_RDONLY | O_DIRECTORY, 0));
  Status st = sync_fd(fd);
  close_listed(fd);
  // Some file systems cannot flush a directory; their entries are as durable
  // as they will get.
  if (!st.ok() && st.error().os_errno() == EINVAL) return {};
  return st;
}

}  // namespace bkf
