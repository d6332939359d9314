#include "support/lock_watch_vfs.h"

#include <utility>

namespace bkf::testing {
namespace {

class WatchedFile final : public VfsFile {
 public:
  WatchedFile(LockWatchVfs& vfs, std::string path, std::unique_ptr<VfsFile> base)
      : vfs_(vfs), path_(std::move(path)), base_(std::move(base)) {}
  ~WatchedFile() override {
    if (locked_ || side_locked_) vfs_.note_closed_locked(path_);
  }

  Status read_exact_at(std::uint8_t* buf, std::size_t len, std::uint64_t offset) override {
    return base_->read_exact_at(buf, len, offset);
  }
  Status write_all_at(const std::uint8_t* data, std::size_t len, std::uint64_t offset) override {
    return base_->write_all_at(data, len, offset);
  }
  Result<std::uint64_t> size() override { return base_->size(); }
  Status sync() override { return base_->sync(); }
  Status truncate(std::uint64_t length) override { return base_->truncate(length); }
  Status zero_range(std::uint64_t offset, std::uint64_t len) override { return base_->zero_range(offset, len); }
  Status lock(bool exclusive) override {
    Status st = base_->lock(exclusive);
    if (st.ok()) locked_ = true;
    return st;
  }
  Status unlock() override {
    Status st = base_->unlock();
    if (st.ok()) locked_ = false;
    return st;
  }
  Result<bool> try_lock(bool exclusive) override {
    Result<bool> got = base_->try_lock(exclusive);
    if (got.ok() && *got) locked_ = true;
    return got;
  }
  Result<bool> lock_within(bool exclusive, std::chrono::microseconds timeout) override {
    Result<bool> got = base_->lock_within(exclusive, timeout);
    if (got.ok() && *got) locked_ = true;
    return got;
  }
  Status side_lock(bool exclusive) override {
    Status st = base_->side_lock(exclusive);
    if (st.ok()) side_locked_ = true;
    return st;
  }
  Status side_unlock() override {
    Status st = base_->side_unlock();
    if (st.ok()) side_locked_ = false;
    return st;
  }
  Result<bool> try_side_lock(bool exclusive) override {
    Result<bool> got = base_->try_side_lock(exclusive);
    if (got.ok() && *got) side_locked_ = true;
    return got;
  }
  Result<FileId> id() override { return base_->id(); }
  Result<FileLook> look() override { return base_->look(); }
  Result<std::string> current_path() override { return base_->current_path(); }

 private:
  LockWatchVfs& vfs_;
  std::string path_;
  std::unique_ptr<VfsFile> base_;
  bool locked_ = false;
  bool side_locked_ = false;
};

}  // namespace

Result<std::unique_ptr<VfsFile>> LockWatchVfs::open(const std::string& path, bool create) {
  std::unique_ptr<VfsFile> file = BKF_TRY(base_.open(path, create));
  return std::unique_ptr<VfsFile>(new WatchedFile(*this, path, std::move(file)));
}

}  // namespace bkf::testing
