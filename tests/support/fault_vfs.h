// FaultVfs: a file-system layer for tests that wraps a real Vfs and injects
// failures and crashes.
//
// It counts the mutating operations that go through it (writes, syncs
// including directory syncs, truncations and unlinks) and, when armed with a
// FaultPlan, makes the N-th of the selected kinds
//   - fail with an errno (EIO, ENOSPC, ...), once or from then on, or
//   - "crash": that operation and every later operation of any kind, on any
//     file opened through this layer, fails without touching the disk, as if
//     the process had died there. The test then drops the pager without any
//     cleanup and reopens the files through a real Vfs.
// A failing or crashing write can be torn: its first half reaches the file.
//
// A test learns how many operations a scenario performs with an unarmed
// run (count()), then loops N over all of them. A hook called before every
// counted operation lets a test act at an exact point (pause the process,
// kill it, look at the files).
//
// The FaultVfs must outlive every file opened through it.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "pager/vfs.h"

namespace bkf::testing {

enum class FaultOp : unsigned { Write = 1, Sync = 2, Truncate = 4, Unlink = 8 };
inline constexpr unsigned kAllFaultOps = 15;

const char* fault_op_name(FaultOp op);

struct FaultPlan {
  enum class Action { Fail, Crash };
  unsigned ops = kAllFaultOps;  // kinds that count towards `nth` (FaultOp bits)
  std::uint64_t nth = 0;        // 1-based; 0 never fires
  Action action = Action::Fail;
  int error = EIO;              // errno of a failure
  bool torn = false;            // the firing write first writes half its bytes
  bool persistent = false;      // Fail: every later selected operation fails too
};

class FaultVfs final : public Vfs {
 public:
  explicit FaultVfs(Vfs& base) : base_(base) {}

  // Arms a plan and restarts counting.
  void arm(const FaultPlan& plan);
  // Stops injecting (a crash stays a crash) and restarts counting.
  void disarm() { arm(FaultPlan{}); }
  // Called before every selected operation with its kind and 1-based number.
  void set_hook(std::function<void(FaultOp, std::uint64_t)> hook) { hook_ = std::move(hook); }

  // Selected operations since the last arm(), in total and of one kind.
  std::uint64_t count() const { return counted_; }
  std::uint64_t count(FaultOp op) const;
  bool fired() const { return fired_; }
  bool crashed() const { return crashed_; }

  Result<std::unique_ptr<VfsFile>> open(const std::string& path, bool create) override;
  Status delete_file(const std::string& path) override;
  bool exists(const std::string& path) override;
  Result<FileId> file_id(const std::string& path) override;
  Result<std::string> resolve(const std::string& path) override;
  Status sync_dir(const std::string& path) override;

  // What to do with one operation; used by the files of this layer.
  struct Verdict {
    bool proceed = true;
    bool torn = false;
    int error = 0;
  };
  Verdict judge(FaultOp op);
  // For operations that never fail on purpose (reads, locks): they still
  // stop once crashed.
  bool is_crashed() const { return crashed_; }

 private:
  Vfs& base_;
  FaultPlan plan_;
  std::function<void(FaultOp, std::uint64_t)> hook_;
  std::uint64_t counted_ = 0;
  std::uint64_t per_kind_[4] = {0, 0, 0, 0};
  bool fired_ = false;
  bool crashed_ = false;
  bool failing_ = false;
};

}  // namespace bkf::testing
