// The file-system interface: the storage layer's only contact with files.
//
// The pager and the write-ahead log are written against these two abstract
// classes and take a `Vfs&`, so tests (and the engine's reliability suite)
// can slide a fault-injecting layer underneath; production uses OsVfs
// (os_vfs.h). Calls are virtual: every one of them ends in a system call,
// which dwarfs the indirection.
//
// Errors: every platform failure is Error::io(errno); a missing file on a
// non-creating open or a resolve is NotFound (carrying the path exactly as
// passed in);
// end of file on a positioned read is ShortRead.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/result.h"

namespace bkf {

// Identity of a file on its file system (device and inode). Two paths or
// descriptors denote the same file exactly when their ids are equal.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

// What one look at an open file tells: its length, and how many names (hard
// links) it has in its directories. A file that was removed, or replaced by
// another file under its name, has none; one with hard links has several.
// `links` is empty where the file layer cannot tell from the open file; the
// caller then looks the path up to learn whether it still names the file,
// and cannot learn whether the file has other names.
struct FileLook {
  std::uint64_t size = 0;
  std::optional<std::uint64_t> links;
};

// One open file, read-write. Destroying the object closes it. Whoever holds
// a lock unlocks it before then: with the operating system's files a lock
// belongs to the open file, which a copy of the descriptor (a forked
// child's) can keep open, and the lock with it. Not shared between threads.
class VfsFile {
 public:
  virtual ~VfsFile() = default;

  // Fills buf[0, len) from `offset`, retrying interrupted and partial reads.
  // Reaching end of file first gives ShortRead(offset, len, bytes obtained).
  virtual Status read_exact_at(std::uint8_t* buf, std::size_t len, std::uint64_t offset) = 0;
  // Writes data[0, len) at `offset`, extending the file when needed. A write
  // that makes no progress is Io "failed to write whole buffer".
  virtual Status write_all_at(const std::uint8_t* data, std::size_t len, std::uint64_t offset) = 0;
  // Current length in bytes.
  virtual Result<std::uint64_t> size() = 0;
  // Makes the file's data durable (and whatever metadata is needed to read
  // it back, such as a changed length).
  virtual Status sync() = 0;
  // Sets the length, shortening or zero-extending.
  virtual Status truncate(std::uint64_t length) = 0;
  // Makes [offset, offset + len), which lies inside the file, read as
  // zeros, keeping the length: where the platform can, by giving the range's
  // blocks back (a hole) rather than writing them. Durable once synced.
  virtual Status zero_range(std::uint64_t offset, std::uint64_t len) = 0;
  // Whole-file advisory lock, blocking without a time-out. A lock of the
  // other kind held through this file is converted (not atomically: the old
  // lock may be dropped before the new one is granted). A wait interrupted
  // by a signal is not resumed: it fails with Io EINTR, and a conversion may
  // then have dropped the old lock.
  virtual Status lock(bool exclusive) = 0;
  virtual Status unlock() = 0;
  // The same lock without the wait, for a file that holds no lock through
  // this handle: true when granted, false when another handle holds a lock
  // that excludes it.
  virtual Result<bool> try_lock(bool exclusive) = 0;
  // The same lock, waiting at most `timeout` for it: true when granted,
  // false when the time ran out first. A signal ends the wait exactly when
  // it would end lock()'s (Io EINTR). For a file that holds no lock
  // through this handle.
  virtual Result<bool> lock_within(bool exclusive, std::chrono::microseconds timeout) = 0;
  // A second advisory lock on the file, with the rules of the first
  // (belongs to this handle, shared locks coexist, an exclusive one excludes
  // every other, waits without a time-out, a signal ends a wait with Io
  // EINTR), but independent of it: a lock of one kind never waits for a
  // lock of the other. The write-ahead log keeps its scans away from frames
  // whose sync has not returned with it (wal.h).
  virtual Status side_lock(bool exclusive) = 0;
  virtual Status side_unlock() = 0;
  // The side lock without the wait, for a handle that holds no side lock:
  // true when granted, false when another handle holds one that excludes it.
  virtual Result<bool> try_side_lock(bool exclusive) = 0;
  // Device and inode of the open file.
  virtual Result<FileId> id() = 0;
  // Length and link count together (one system call where the platform
  // reports both). The default asks size() and leaves `links` unknown.
  virtual Result<FileLook> look() {
    std::uint64_t n = BKF_TRY(size());
    return FileLook{n, std::nullopt};
  }
  // A path that leads to the open file now, wherever it has gone since it
  // was opened (its folder renamed, say), as the platform tells it. The
  // answer is a hint, not a fact: the caller looks it up (Vfs::file_id) to
  // learn whether it leads to this file. An Io error where the platform
  // cannot tell; the default always says so.
  virtual Result<std::string> current_path() { return Error::io(ENOTSUP); }
};

// Give up a lock (or the side lock) on a way out where no error can be
// reported (a clean-up after another failure, or a destructor): a failure
// is dropped, also when there is no memory to describe it.
inline void unlock_quietly(VfsFile& file) noexcept {
  try {
    (void)file.unlock();
  } catch (...) {
  }
}
inline void side_unlock_quietly(VfsFile& file) noexcept {
  try {
    (void)file.side_unlock();
  } catch (...) {
  }
}

// Operations on paths. Holds no per-file state.
class Vfs {
 public:
  virtual ~Vfs() = default;

  // Opens `path` read-write, never truncating. Without `create`, a path
  // whose metadata cannot be read is NotFound(path); with it, a missing file
  // is created (mode 0666 before the umask).
  virtual Result<std::unique_ptr<VfsFile>> open(const std::string& path, bool create) = 0;
  // Removes the file; a missing file is an Io error (test `exists` first).
  virtual Status delete_file(const std::string& path) = 0;
  // True exactly when the path's metadata can be read; never fails.
  virtual bool exists(const std::string& path) = 0;
  // Identity of the file at `path`: NotFound when there is none, an Io
  // error when that cannot be told.
  virtual Result<FileId> file_id(const std::string& path) = 0;
  // Whether a file is at `path`: `present`, unless the look-up failed for
  // another reason than the file's absence (EIO, EACCES), which says
  // nothing about the file: then `os_errno` is set. Asked before every
  // statement (is there a hot journal?), so it builds no error: an answer
  // fits in a register, and a message is made only when present() reports
  // a failure. The default asks file_id().
  struct Presence {
    bool present = false;
    int os_errno = 0;
  };
  virtual Presence look_up(const std::string& path) {
    Result<FileId> id = file_id(path);
    if (id.ok()) return {true, 0};
    if (id.error().is(ErrorKind::NotFound)) return {false, 0};
    return {false, id.error().os_errno() != 0 ? id.error().os_errno() : EIO};
  }
  // look_up() with a failure as an Io error: false only when no file can be
  // there.
  Result<bool> present(const std::string& path) {
    const Presence p = look_up(path);
    if (p.os_errno != 0) return Error::io(p.os_errno);
    return p.present;
  }
  // The path of the file `path` leads to, absolute and free of symbolic
  // links and "." or ".." steps: every path to one file resolves to the
  // same text, except through the hard links of a file with several names
  // (each resolves to itself). NotFound(path) when no file is there.
  virtual Result<std::string> resolve(const std::string& path) = 0;
  // Makes the directory entry changes (creation, removal) of the directory
  // holding `path` durable.
  virtual Status sync_dir(const std::string& path) = 0;
};

}  // namespace bkf
