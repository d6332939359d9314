#include "support/mem_vfs.h"

#include <cerrno>
#include <cstring>

namespace bkf::testing {

namespace {

class MemFile final : public VfsFile {
 public:
  explicit MemFile(std::shared_ptr<MemVfs::Node> node) : node_(std::move(node)) {}
  ~MemFile() override {
    give_up(node_->lock, held_);
    give_up(node_->side, side_held_);
  }

  Status read_exact_at(std::uint8_t* buf, std::size_t len, std::uint64_t offset) override {
    const auto& b = node_->bytes;
    const std::size_t got = offset >= b.size() ? 0 : std::min<std::uint64_t>(len, b.size() - offset);
    if (got) std::memcpy(buf, b.data() + offset, got);
    if (got < len) return Error::short_read(offset, len, got);
    return {};
  }
  Status write_all_at(const std::uint8_t* data, std::size_t len, std::uint64_t offset) override {
    auto& b = node_->bytes;
    if (offset > MemVfs::kMaxFileSize || len > MemVfs::kMaxFileSize - offset) return Error::io(EFBIG);
    if (offset + len > b.size()) b.resize(offset + len);
    if (len) std::memcpy(b.data() + offset, data, len);
    return {};
  }
  Result<std::uint64_t> size() override { return std::uint64_t{node_->bytes.size()}; }
  Status sync() override { return {}; }
  Status truncate(std::uint64_t length) override {
    if (length > MemVfs::kMaxFileSize) return Error::io(EFBIG);
    node_->bytes.resize(length);
    return {};
  }
  Status zero_range(std::uint64_t offset, std::uint64_t len) override {
    auto& b = node_->bytes;
    if (offset < b.size()) std::memset(b.data() + offset, 0, std::min<std::uint64_t>(len, b.size() - offset));
    return {};
  }
  Status lock(bool exclusive) override { return take(node_->lock, held_, exclusive); }
  Status unlock() override {
    give_up(node_->lock, held_);
    return {};
  }
  Result<bool> try_lock(bool exclusive) override {
    Status st = take(node_->lock, held_, exclusive);
    if (st.ok()) return true;
    return false;
  }
  // Nothing can let go while this waits: as lock().
  Result<bool> lock_within(bool exclusive, std::chrono::microseconds) override {
    BKF_TRY(take(node_->lock, held_, exclusive));
    return true;
  }
  Status side_lock(bool exclusive) override { return take(node_->side, side_held_, exclusive); }
  Status side_unlock() override {
    give_up(node_->side, side_held_);
    return {};
  }
  Result<bool> try_side_lock(bool exclusive) override {
    return take(node_->side, side_held_, exclusive).ok();
  }
  Result<FileId> id() override { return FileId{1, node_->inode}; }

 private:
  enum class Held { None, Shared, Exclusive };
  using Lock = MemVfs::Node::Lock;

  // A lock that would have to wait fails with EWOULDBLOCK instead.
  static Status take(Lock& lock, Held& held, bool exclusive) {
    if (held == (exclusive ? Held::Exclusive : Held::Shared)) return {};
    give_up(lock, held);
    if (lock.exclusive || (exclusive && lock.shared > 0)) return Error::io(EWOULDBLOCK);
    if (exclusive) {
      lock.exclusive = true;
      held = Held::Exclusive;
    } else {
      ++lock.shared;
      held = Held::Shared;
    }
    return {};
  }
  static void give_up(Lock& lock, Held& held) {
    if (held == Held::Exclusive) lock.exclusive = false;
    if (held == Held::Shared) --lock.shared;
    held = Held::None;
  }

  std::shared_ptr<MemVfs::Node> node_;
  Held held_ = Held::None;
  Held side_held_ = Held::None;
};

}  // namespace

std::shared_ptr<MemVfs::Node>& MemVfs::node(const std::string& path) {
  auto it = files_.find(path);
  if (it != files_.end()) return it->second;
  // Made whole before it is filed, so that running out of memory on the
  // way (the allocation-failure test) leaves no file without a node.
  auto fresh = std::make_shared<Node>();
  fresh->inode = next_inode_;
  auto& slot = files_.emplace(path, std::move(fresh)).first->second;
  ++next_inode_;
  return slot;
}

Result<std::unique_ptr<VfsFile>> MemVfs::open(const std::string& path, bool create) {
  if (!create && !exists(path)) return Error::not_found(path);
  return std::unique_ptr<VfsFile>(new MemFile(node(path)));
}

Status MemVfs::delete_file(const std::string& path) {
  if (files_.erase(path) == 0) return Error::io(ENOENT);
  return {};
}

Result<FileId> MemVfs::file_id(const std::string& path) {
  auto it = files_.find(path);
  if (it == files_.end()) return Error::not_found(path);
  return FileId{1, it->second->inode};
}

Result<std::string> MemVfs::resolve(const std::string& path) {
  if (!exists(path)) return Error::not_found(path);
  return path;
}

std::vector<std::uint8_t>& MemVfs::bytes(const std::string& path) { return node(path)->bytes; }

bool MemVfs::locked(const std::string& path) const {
  auto it = files_.find(path);
  if (it == files_.end()) return false;
  const Node& n = *it->second;
  return n.lock.exclusive || n.lock.shared > 0 || n.side.exclusive || n.side.shared > 0;
}

}  // namespace bkf::testing
