#include "support/fault_vfs.h"

#include <bit>

namespace bkf::testing {

namespace {

Error crashed_error() { return Error::io(EIO); }

class FaultFile final : public VfsFile {
 public:
  FaultFile(FaultVfs& vfs, std::unique_ptr<VfsFile> base) : vfs_(vfs), base_(std::move(base)) {}

  Status read_exact_at(std::uint8_t* buf, std::size_t len, std::uint64_t offset) override {
    if (vfs_.is_crashed()) return crashed_error();
    return base_->read_exact_at(buf, len, offset);
  }
  Status write_all_at(const std::uint8_t* data, std::size_t len, std::uint64_t offset) override {
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Write);
    if (v.proceed) return base_->write_all_at(data, len, offset);
    if (v.torn && len > 1) (void)base_->write_all_at(data, len / 2, offset);
    return Error::io(v.error);
  }
  Result<std::uint64_t> size() override {
    if (vfs_.is_crashed()) return crashed_error();
    return base_->size();
  }
  Status sync() override {
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Sync);
    if (!v.proceed) return Error::io(v.error);
    return base_->sync();
  }
  Status truncate(std::uint64_t length) override {
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Truncate);
    if (!v.proceed) return Error::io(v.error);
    return base_->truncate(length);
  }
  Status lock(bool exclusive) override {
    if (vfs_.is_crashed()) return crashed_error();
    return base_->lock(exclusive);
  }
  Status unlock() override {
    if (vfs_.is_crashed()) return crashed_error();
    return base_->unlock();
  }
  Result<FileId> id() override {
    if (vfs_.is_crashed()) return crashed_error();
    return base_->id();
  }
  Result<FileLook> look() override {
    if (vfs_.is_crashed()) return crashed_error();
    return base_->look();
  }

 private:
  FaultVfs& vfs_;
  std::unique_ptr<VfsFile> base_;
};

int kind_index(FaultOp op) { return std::countr_zero(static_cast<unsigned>(op)); }

}  // namespace

const char* fault_op_name(FaultOp op) {
  switch (op) {
    case FaultOp::Write: return "write";
    case FaultOp::Sync: return "sync";
    case FaultOp::Truncate: return "truncate";
    case FaultOp::Unlink: return "unlink";
  }
  return "?";
}

void FaultVfs::arm(const FaultPlan& plan) {
  plan_ = plan;
  counted_ = 0;
  for (auto& c : per_kind_) c = 0;
  fired_ = false;
  failing_ = false;
}

std::uint64_t FaultVfs::count(FaultOp op) const { return per_kind_[kind_index(op)]; }

FaultVfs::Verdict FaultVfs::judge(FaultOp op) {
  if (crashed_) return {false, false, EIO};
  if ((plan_.ops & static_cast<unsigned>(op)) == 0) return {};
  ++counted_;
  ++per_kind_[kind_index(op)];
  if (hook_) hook_(op, counted_);
  if (failing_) return {false, false, plan_.error};
  if (counted_ != plan_.nth) return {};
  fired_ = true;
  if (plan_.action == FaultPlan::Action::Crash) {
    crashed_ = true;
    return {false, plan_.torn, EIO};
  }
  if (plan_.persistent) failing_ = true;
  return {false, plan_.torn, plan_.error};
}

Result<std::unique_ptr<VfsFile>> FaultVfs::open(const std::string& path, bool create) {
  if (crashed_) return crashed_error();
  std::unique_ptr<VfsFile> base = BKF_TRY(base_.open(path, create));
  return std::unique_ptr<VfsFile>(new FaultFile(*this, std::move(base)));
}

Status FaultVfs::delete_file(const std::string& path) {
  Verdict v = judge(FaultOp::Unlink);
  if (!v.proceed) return Error::io(v.error);
  return base_.delete_file(path);
}

bool FaultVfs::exists(const std::string& path) {
  if (crashed_) return false;
  return base_.exists(path);
}

Result<FileId> FaultVfs::file_id(const std::string& path) {
  if (crashed_) return crashed_error();
  return base_.file_id(path);
}

Result<std::string> FaultVfs::resolve(const std::string& path) {
  if (crashed_) return crashed_error();
  return base_.resolve(path);
}

Status FaultVfs::sync_dir(const std::string& path) {
  Verdict v = judge(FaultOp::Sync);
  if (!v.proceed) return Error::io(v.error);
  return base_.sync_dir(path);
}

}  // namespace bkf::testing
