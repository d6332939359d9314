// LockWatchVfs: a file-system layer for tests that wraps a real Vfs and
// records every file closed while it still held a lock taken through it.
//
// With the operating system's files a close releases a lock only when no
// other descriptor shares the open file: a forked child's copy keeps it. So
// the engine unlocks explicitly before it closes anything, and a test runs a
// scenario through this layer and expects closed_locked() to stay empty.
// A lock request that fails leaves the file counted as it was.
//
// The LockWatchVfs must outlive every file opened through it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pager/vfs.h"

namespace bkf::testing {

class LockWatchVfs final : public Vfs {
 public:
  explicit LockWatchVfs(Vfs& base) : base_(base) {}

  // The paths of the files closed while locked, in the order of the closes.
  const std::vector<std::string>& closed_locked() const { return closed_locked_; }
  void note_closed_locked(const std::string& path) { closed_locked_.push_back(path); }

  Result<std::unique_ptr<VfsFile>> open(const std::string& path, bool create) override;
  Status delete_file(const std::string& path) override { return base_.delete_file(path); }
  bool exists(const std::string& path) override { return base_.exists(path); }
  Result<FileId> file_id(const std::string& path) override { return base_.file_id(path); }
  Presence look_up(const std::string& path) override { return base_.look_up(path); }
  Result<std::string> resolve(const std::string& path) override { return base_.resolve(path); }
  Status sync_dir(const std::string& path) override { return base_.sync_dir(path); }

 private:
  Vfs& base_;
  std::vector<std::string> closed_locked_;
};

}  // namespace bkf::testing
