#include "support/fault_vfs.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace bkf::testing {

namespace {

Error crashed_error() { return Error::io(EIO); }

std::string dir_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

class FaultFile final : public VfsFile {
 public:
  // `held` is null when writes go straight through.
  FaultFile(FaultVfs& vfs, std::unique_ptr<VfsFile> base, std::shared_ptr<FaultVfs::Held> held)
      : vfs_(vfs), base_(std::move(base)), held_(std::move(held)) {}

  Status read_exact_at(std::uint8_t* buf, std::size_t len, std::uint64_t offset) override {
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Read);
    if (!v.proceed) return Error::io(v.error);
    if (!held_ || held_->empty()) return base_->read_exact_at(buf, len, offset);
    // The synced bytes, then every held change on top, in order.
    std::uint64_t size = BKF_TRY(base_->size());
    std::memset(buf, 0, len);
    if (offset < size) BKF_TRY(base_->read_exact_at(buf, std::min<std::uint64_t>(len, size - offset), offset));
    const std::uint64_t end = offset + len;
    for (const FaultVfs::HeldOp& op : *held_) {
      if (op.truncate) {
        // What lies beyond the new length reads as zeros from now on.
        if (op.offset < end) {
          const std::uint64_t from = std::max(op.offset, offset);
          std::memset(buf + (from - offset), 0, end - from);
        }
        size = op.offset;
        continue;
      }
      const std::uint64_t from = std::max(op.offset, offset), to = std::min(op.offset + op.bytes.size(), end);
      if (from < to) std::memcpy(buf + (from - offset), op.bytes.data() + (from - op.offset), to - from);
      size = std::max<std::uint64_t>(size, op.offset + op.bytes.size());
    }
    if (end > size) return Error::short_read(offset, len, size > offset ? size - offset : 0);
    return {};
  }
  Status write_all_at(const std::uint8_t* data, std::size_t len, std::uint64_t offset) override {
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Write);
    if (v.proceed) return put(data, len, offset);
    if (v.torn && len > 1) (void)put(data, len / 2, offset);
    return Error::io(v.error);
  }
  Result<std::uint64_t> size() override {
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Size);
    if (!v.proceed) return Error::io(v.error);
    return held_size(BKF_TRY(base_->size()));
  }
  Status sync() override {
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Sync);
    if (!v.proceed) return Error::io(v.error);
    if (held_) {
      for (const FaultVfs::HeldOp& op : *held_) {
        BKF_TRY(op.truncate ? base_->truncate(op.offset) : base_->write_all_at(op.bytes.data(), op.bytes.size(), op.offset));
      }
      held_->clear();
    }
    return base_->sync();
  }
  Status truncate(std::uint64_t length) override {
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Truncate);
    if (!v.proceed) return Error::io(v.error);
    if (!held_) return base_->truncate(length);
    held_->push_back({length, {}, true});
    return {};
  }
  // Counted and judged as a write (a torn one zeroes the first half), held
  // as one in power-loss mode.
  Status zero_range(std::uint64_t offset, std::uint64_t len) override {
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Write);
    if (!v.proceed && !(v.torn && len > 1)) return Error::io(v.error);
    const std::uint64_t n = v.proceed ? len : len / 2;
    if (!held_) BKF_TRY(base_->zero_range(offset, n));
    else held_->push_back({offset, std::vector<std::uint8_t>(static_cast<std::size_t>(n), 0), false});
    if (!v.proceed) return Error::io(v.error);
    return {};
  }
  Status lock(bool exclusive) override {
    const LockHeld want = exclusive ? LockHeld::Exclusive : LockHeld::Shared;
    if (vfs_.lock_gaps() && !vfs_.is_crashed() && lock_held_ != LockHeld::None && lock_held_ != want) {
      (void)base_->unlock();
      lock_held_ = LockHeld::None;
    }
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Lock);
    if (!v.proceed) {
      // Converting a lock is not atomic: an interrupted conversion may
      // have given up the lock held before.
      if (v.torn) {
        (void)base_->unlock();
        lock_held_ = LockHeld::None;
      }
      return Error::io(v.error);
    }
    Status st = base_->lock(exclusive);
    lock_held_ = st.ok() ? want : LockHeld::None;  // (a failed conversion may have dropped it)
    return st;
  }
  Status unlock() override {
    if (vfs_.is_crashed()) return crashed_error();
    lock_held_ = LockHeld::None;
    return base_->unlock();
  }
  Result<bool> try_lock(bool exclusive) override {
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Lock);
    if (!v.proceed) return Error::io(v.error);
    const bool granted = BKF_TRY(base_->try_lock(exclusive));
    if (granted) lock_held_ = exclusive ? LockHeld::Exclusive : LockHeld::Shared;
    return granted;
  }
  // Judged as one lock request, however long it waits.
  Result<bool> lock_within(bool exclusive, std::chrono::microseconds timeout) override {
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Lock);
    if (!v.proceed) return Error::io(v.error);
    bool granted = true;
    if (vfs_.unbounded_waits()) BKF_TRY(base_->lock(exclusive));
    else granted = BKF_TRY(base_->lock_within(exclusive, timeout));
    if (granted) lock_held_ = exclusive ? LockHeld::Exclusive : LockHeld::Shared;
    return granted;
  }
  Status side_lock(bool exclusive) override {
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Lock);
    if (!v.proceed) {
      if (v.torn) (void)base_->side_unlock();
      return Error::io(v.error);
    }
    return base_->side_lock(exclusive);
  }
  Status side_unlock() override {
    if (vfs_.is_crashed()) return crashed_error();
    return base_->side_unlock();
  }
  Result<bool> try_side_lock(bool exclusive) override {
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Lock);
    if (!v.proceed) return Error::io(v.error);
    return base_->try_side_lock(exclusive);
  }
  Result<FileId> id() override {
    if (vfs_.is_crashed()) return crashed_error();
    return base_->id();
  }
  Result<std::string> current_path() override {
    if (vfs_.is_crashed()) return crashed_error();
    return base_->current_path();
  }
  Result<FileLook> look() override {
    FaultVfs::Verdict v = vfs_.judge(FaultOp::Size);
    if (!v.proceed) return Error::io(v.error);
    FileLook look = BKF_TRY(base_->look());
    look.size = held_size(look.size);
    return look;
  }

 private:
  Status put(const std::uint8_t* data, std::size_t len, std::uint64_t offset) {
    if (!held_) return base_->write_all_at(data, len, offset);
    held_->push_back({offset, std::vector<std::uint8_t>(data, data + len), false});
    return {};
  }
  std::uint64_t held_size(std::uint64_t size) const {
    if (!held_) return size;
    for (const FaultVfs::HeldOp& op : *held_) {
      size = op.truncate ? op.offset : std::max<std::uint64_t>(size, op.offset + op.bytes.size());
    }
    return size;
  }

  enum class LockHeld { None, Shared, Exclusive };

  FaultVfs& vfs_;
  std::unique_ptr<VfsFile> base_;
  std::shared_ptr<FaultVfs::Held> held_;
  LockHeld lock_held_ = LockHeld::None;
};

int kind_index(FaultOp op) { return std::countr_zero(static_cast<unsigned>(op)); }

}  // namespace

const char* fault_op_name(FaultOp op) {
  switch (op) {
    case FaultOp::Write: return "write";
    case FaultOp::Sync: return "sync";
    case FaultOp::Truncate: return "truncate";
    case FaultOp::Unlink: return "unlink";
    case FaultOp::Read: return "read";
    case FaultOp::Open: return "open";
    case FaultOp::Lock: return "lock";
    case FaultOp::Size: return "size";
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
  if (bypass_ > 0 || (plan_.ops & static_cast<unsigned>(op)) == 0) return {};
  ++counted_;
  ++per_kind_[kind_index(op)];
  if (hook_) hook_(op, counted_);
  if (counted_ == plan_.crash_at) {
    cut_power();
    return {false, false, EIO};
  }
  if (failing_ || (plan_.also_nth != 0 && counted_ == plan_.also_nth)) return {false, false, plan_.error};
  if (counted_ != plan_.nth) return {};
  fired_ = true;
  if (plan_.action == FaultPlan::Action::Crash) {
    cut_power();
    return {false, plan_.torn, EIO};
  }
  if (plan_.persistent) failing_ = true;
  return {false, plan_.torn, plan_.error};
}

void FaultVfs::cut_power() {
  if (crashed_) return;
  crashed_ = true;
  if (lose_unsynced_) lose_unsynced_changes();
}

void FaultVfs::lose_unsynced_changes() {
  for (auto& [id, held] : held_) {
    if (plan_.keep_newest_write) {
      for (auto op = held->rbegin(); op != held->rend(); ++op) {
        if (op->truncate) continue;
        if (auto f = base_.open(held_paths_[id], false); f.ok()) {
          (void)(*f)->write_all_at(op->bytes.data(), op->bytes.size(), op->offset);
        }
        break;
      }
    }
    held->clear();
  }
  held_.clear();
  held_paths_.clear();
  // Newest first, so that a path made and removed again ends as it was.
  for (auto it = dir_changes_.rbegin(); it != dir_changes_.rend(); ++it) {
    if (!it->removed) {
      if (base_.exists(it->path)) (void)base_.delete_file(it->path);
      continue;
    }
    if (auto f = base_.open(it->path, true); f.ok()) {
      (void)(*f)->truncate(0);
      (void)(*f)->write_all_at(it->removed->data(), it->removed->size(), 0);
      (void)(*f)->sync();
    }
  }
  dir_changes_.clear();
}

Result<std::unique_ptr<VfsFile>> FaultVfs::open(const std::string& path, bool create) {
  Verdict v = judge(FaultOp::Open);
  if (!v.proceed) return Error::io(v.error);
  if (!create && lookup_fails(path)) return Error::not_found(path);
  const bool creating = lose_unsynced_ && create && !base_.exists(path);
  std::unique_ptr<VfsFile> base = BKF_TRY(base_.open(path, create));
  std::shared_ptr<Held> held;
  if (lose_unsynced_) {
    const FileId id = BKF_TRY(base->id());
    std::shared_ptr<Held>& slot = held_[{id.device, id.inode}];
    held_paths_.emplace(std::make_pair(id.device, id.inode), path);
    if (!slot) slot = std::make_shared<Held>();
    held = slot;
    if (creating) dir_changes_.push_back({path, std::nullopt});
  }
  return std::unique_ptr<VfsFile>(new FaultFile(*this, std::move(base), std::move(held)));
}

Status FaultVfs::delete_file(const std::string& path) {
  Verdict v = judge(FaultOp::Unlink);
  if (!v.proceed && !v.torn) return Error::io(v.error);
  if (!v.proceed) {
    // A torn removal: the file goes, and the call fails all the same.
    if (!lose_unsynced_) (void)base_.delete_file(path);
    else (void)remove_held(path);
    return Error::io(v.error);
  }
  if (!lose_unsynced_) return base_.delete_file(path);
  return remove_held(path);
}

Status FaultVfs::remove_held(const std::string& path) {
  // Held writes never reached the file: what it holds is what it had at its
  // last sync, and comes back if the removal is lost.
  std::vector<std::uint8_t> content;
  if (auto f = base_.open(path, false); f.ok()) {
    const std::uint64_t size = BKF_TRY((*f)->size());
    content.resize(size);
    BKF_TRY((*f)->read_exact_at(content.data(), content.size(), 0));
    const FileId id = BKF_TRY((*f)->id());
    held_.erase({id.device, id.inode});  // the identity may be reused
  }
  BKF_TRY(base_.delete_file(path));
  dir_changes_.push_back({path, std::move(content)});
  return {};
}

bool FaultVfs::exists(const std::string& path) {
  if (crashed_ || lookup_fails(path)) return false;
  return base_.exists(path);
}

Result<FileId> FaultVfs::file_id(const std::string& path) {
  Verdict v = judge(FaultOp::Size);
  if (!v.proceed) return Error::io(v.error);
  if (lookup_fails(path)) return Error::io(EIO);
  return base_.file_id(path);
}

Result<std::string> FaultVfs::resolve(const std::string& path) {
  if (crashed_) return crashed_error();
  return base_.resolve(path);
}

Status FaultVfs::sync_dir(const std::string& path) {
  Verdict v = judge(FaultOp::Sync);
  if (!v.proceed) return Error::io(v.error);
  BKF_TRY(base_.sync_dir(path));
  const std::string dir = dir_of(path);
  std::erase_if(dir_changes_, [&](const DirChange& c) { return dir_of(c.path) == dir; });
  return {};
}

}  // namespace bkf::testing
