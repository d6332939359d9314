// MemVfs: a file-system layer kept in memory, for tests and fuzz targets
// that open thousands of databases and care neither about durability nor
// about other processes.
//
// Files are byte vectors by path, of at most kMaxFileSize bytes (a write or
// truncation beyond is EFBIG, as a file-size limit would make it: a damaged
// page count asks for pages far out). A removed file lives on for the handles
// still open on it (as on POSIX), and a file made again at the same path
// gets a new identity. Syncs do nothing. Locks (and side locks, apart from
// them) follow the flock rules between handles, but nothing ever waits: a lock that would have to wait
// fails with EWOULDBLOCK, since one thread drives every handle.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pager/vfs.h"

namespace bkf::testing {

class MemVfs final : public Vfs {
 public:
  static constexpr std::uint64_t kMaxFileSize = std::uint64_t{256} << 20;

  struct Node {
    std::vector<std::uint8_t> bytes;
    std::uint64_t inode = 0;
    // The lock and the side lock, each: handles holding it shared, and
    // whether a handle holds it exclusively.
    struct Lock {
      int shared = 0;
      bool exclusive = false;
    };
    Lock lock, side;
  };

  Result<std::unique_ptr<VfsFile>> open(const std::string& path, bool create) override;
  Status delete_file(const std::string& path) override;
  bool exists(const std::string& path) override { return files_.count(path) != 0; }
  Result<FileId> file_id(const std::string& path) override;
  // Paths are plain names here: one file has one.
  Result<std::string> resolve(const std::string& path) override;
  Status sync_dir(const std::string&) override { return {}; }

  // The bytes of the file at path (created empty when missing).
  std::vector<std::uint8_t>& bytes(const std::string& path);
  // Some handle holds a lock on the file at path (either kind).
  bool locked(const std::string& path) const;
  // Removes every file.
  void clear() { files_.clear(); }

 private:
  std::shared_ptr<Node>& node(const std::string& path);

  std::map<std::string, std::shared_ptr<Node>> files_;
  std::uint64_t next_inode_ = 1;
};

}  // namespace bkf::testing
