// The POSIX implementation of the file-system interface.
//
// OsFile owns one file descriptor; locks are flock() locks (the side lock a
// record lock of the same kind, see below), which belong to
// the open file description: two OsFiles on one path exclude each other even
// inside one process. Closing the descriptor drops its lock only when no
// other descriptor shares the description, so the pager unlocks before it
// closes. Every descriptor is opened close-on-exec and listed for the fork
// handler (os_fork.h), which puts /dev/null over a forked child's copies.
#pragma once

#include "pager/vfs.h"

namespace bkf {

class OsFile final : public VfsFile {
 public:
  ~OsFile() override;
  OsFile(const OsFile&) = delete;
  OsFile& operator=(const OsFile&) = delete;

  Status read_exact_at(std::uint8_t* buf, std::size_t len, std::uint64_t offset) override;
  Status write_all_at(const std::uint8_t* data, std::size_t len, std::uint64_t offset) override;
  Result<std::uint64_t> size() override;
  Status sync() override;
  Status truncate(std::uint64_t length) override;
  // fallocate() punching a hole where the file system can; zeros written
  // elsewhere.
  Status zero_range(std::uint64_t offset, std::uint64_t len) override;
  Status lock(bool exclusive) override;
  Status unlock() override;
  // flock() with LOCK_NB.
  Result<bool> try_lock(bool exclusive) override;
  // flock() with LOCK_NB, tried again after pauses (50 us, doubling up to
  // 1 ms) until the time runs out.
  Result<bool> lock_within(bool exclusive, std::chrono::microseconds timeout) override;
  // An open-file-description record lock on one byte far beyond any length
  // the file reaches: it belongs to the open file as flock() locks do (so
  // two OsFiles in one process exclude each other), and record locks and
  // flock() locks do not see each other.
  Status side_lock(bool exclusive) override;
  Status side_unlock() override;
  Result<bool> try_side_lock(bool exclusive) override;
  Result<FileId> id() override;
  // One fstat: the length and the link count.
  Result<FileLook> look() override;
  // What the process's descriptor table tells of the descriptor
  // (/proc/self/fd).
  Result<std::string> current_path() override;

  int fd() const { return fd_; }

 private:
  friend class OsVfs;
  // OsVfs::open gives it its descriptor, from open_listed (os_fork.h).
  OsFile() = default;

  int fd_ = -1;
};

class OsVfs final : public Vfs {
 public:
  Result<std::unique_ptr<VfsFile>> open(const std::string& path, bool create) override;
  Status delete_file(const std::string& path) override;
  bool exists(const std::string& path) override;
  Result<FileId> file_id(const std::string& path) override;
  // stat(), with the absences of file_id().
  Presence look_up(const std::string& path) override;
  // realpath().
  Result<std::string> resolve(const std::string& path) override;
  Status sync_dir(const std::string& path) override;
};

}  // namespace bkf
