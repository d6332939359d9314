// FaultVfs: a file-system layer for tests that wraps a real Vfs and injects
// failures and crashes.
//
// It counts the operations that go through it, of eight kinds: the changes
// (writes, syncs including directory syncs, truncations and unlinks) and the
// look-ups (reads, opens, lock requests, size queries). When armed with a
// FaultPlan it makes the N-th operation of the selected kinds
//   - fail with an errno (EIO, ENOSPC, ...), once or from then on, or
//   - "crash": that operation and every later operation of any kind, on any
//     file opened through this layer, fails without touching the disk, as if
//     the process had died there. The test then drops the pager without any
//     cleanup and reopens the files through a real Vfs.
// A plan may also crash at a later operation than the one it fails, to see
// what a failure and its undo leave behind for the next open.
// A failing or crashing write can be torn: its first half reaches the file.
// A failing lock request can be torn too: it first gives up the lock held
// through its file, as an interrupted conversion between shared and
// exclusive may. A failing removal can be torn: the file goes first, as an
// unlink that reports EIO after it went through, or a retried one that
// finds the file gone. With `lock_gaps`, every conversion gives up the lock held
// before it is counted and granted, as a conversion may, so that a hook can
// let another connection take the file in that gap.
//
// Power loss: a layer made with `lose_unsynced` holds every write and
// truncation of a file in memory until that file is synced (reads and sizes
// through the layer see them), and remembers every file it created or
// unlinked until the directory holding it is synced. A crash then also
// loses all of these, leaving the files as a power cut would: each file
// with the content of its last sync, each directory with the entries of its
// last sync (a removed file comes back with its synced content, a created
// one disappears). A process killed with SIGKILL loses the held writes by
// itself; cut_power() loses the directory changes too, for a kill at a
// chosen point. Only the process running the layer sees held writes, so use
// this mode where nothing else reads the files until the crash. With
// `keep_newest_write` the crash keeps, of each file, the newest of its
// unsynced writes and loses the others: unsynced writes reach the disk in
// any order, so nothing written after a write may count on it without a
// sync between them.
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
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pager/vfs.h"

namespace bkf::testing {

enum class FaultOp : unsigned {
  Write = 1,
  Sync = 2,
  Truncate = 4,
  Unlink = 8,
  Read = 16,
  Open = 32,
  Lock = 64,  // lock requests (side locks too); releases never fail on purpose
  Size = 128, // size(), look() and file_id()
};
inline constexpr unsigned kChangeOps = 15;   // write, sync, truncate, unlink
inline constexpr unsigned kLookupOps = 240;  // read, open, lock, size
inline constexpr int kFaultOpKinds = 8;

const char* fault_op_name(FaultOp op);

struct FaultPlan {
  enum class Action { Fail, Crash };
  unsigned ops = kChangeOps;  // kinds that count towards `nth` (FaultOp bits)
  std::uint64_t nth = 0;      // 1-based; 0 never fires
  Action action = Action::Fail;
  int error = EIO;            // errno of a failure
  bool torn = false;          // the firing write first writes half its bytes,
                              // the firing lock request first unlocks, the
                              // firing unlink first removes the file
  bool persistent = false;    // Fail: every later selected operation fails too
  std::uint64_t also_nth = 0; // Fail: a later selected operation that fails
                              // too, once and whole
  std::uint64_t crash_at = 0; // the crash_at-th selected operation crashes (a
                              // failure at `nth` followed by a crash)
  bool lock_gaps = false;     // a lock conversion first gives up the lock held,
                              // before the hook runs (see below)
  bool keep_newest_write = false;  // power-loss mode: the crash keeps the newest
                                   // unsynced write of each file, as a disk
                                   // that wrote it before the older ones
};

class FaultVfs final : public Vfs {
 public:
  explicit FaultVfs(Vfs& base, bool lose_unsynced = false) : base_(base), lose_unsynced_(lose_unsynced) {}

  // Arms a plan and restarts counting.
  void arm(const FaultPlan& plan);
  // Stops injecting (a crash stays a crash) and restarts counting.
  void disarm() { arm(FaultPlan{}); }
  // Called before every selected operation with its kind and 1-based number.
  void set_hook(std::function<void(FaultOp, std::uint64_t)> hook) { hook_ = std::move(hook); }
  // While one lives, operations go through unjudged: neither counted nor
  // failed nor hooked (a crash stays a crash). For another connection on
  // the same layer, which must see its held writes, to act from a hook.
  class Bypass {
   public:
    explicit Bypass(FaultVfs& vfs) : vfs_(vfs) { ++vfs_.bypass_; }
    ~Bypass() { --vfs_.bypass_; }
    Bypass(const Bypass&) = delete;
    Bypass& operator=(const Bypass&) = delete;

   private:
    FaultVfs& vfs_;
  };
  // With it set, a lock request with a time limit (lock_within) waits
  // without one, as lock() does, so that a test can act inside such a wait
  // however slowly it runs.
  void set_unbounded_waits(bool on) { unbounded_waits_ = on; }
  bool unbounded_waits() const { return unbounded_waits_; }
  // Crashes now (if not crashed yet), as if the power went out here.
  void cut_power();
  // While set (not empty), every look-up of a path ending in `suffix`
  // fails as one the file system refuses (a folder that cannot be read
  // for a while): file_id() with EIO, exists() with false, and an open
  // without creating with NotFound, as the operating system's layer
  // reports any failed look-up there. Files already open are untouched,
  // and neither counted nor judged by the plan.
  void fail_path_lookups(std::string suffix) { failing_lookups_ = std::move(suffix); }

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
  // For operations that never fail on purpose (unlocks, ids): they still
  // stop once crashed.
  bool is_crashed() const { return crashed_; }
  bool lock_gaps() const { return plan_.lock_gaps; }

  // The writes and truncations of one file not yet synced, in order (a
  // truncation has `truncate` set and `offset` the new length).
  struct HeldOp {
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> bytes;
    bool truncate = false;
  };
  using Held = std::vector<HeldOp>;

 private:
  // A directory entry made or removed since its directory was last synced;
  // a removed file keeps the content it had at its last sync.
  struct DirChange {
    std::string path;
    std::optional<std::vector<std::uint8_t>> removed;
  };
  void lose_unsynced_changes();
  // Removes a file in power-loss mode, remembering what it held.
  Status remove_held(const std::string& path);

  Vfs& base_;
  const bool lose_unsynced_;
  FaultPlan plan_;
  std::function<void(FaultOp, std::uint64_t)> hook_;
  std::uint64_t counted_ = 0;
  std::uint64_t per_kind_[kFaultOpKinds] = {};
  bool fired_ = false;
  bool crashed_ = false;
  bool failing_ = false;
  int bypass_ = 0;
  bool unbounded_waits_ = false;
  std::string failing_lookups_;  // see fail_path_lookups()
  bool lookup_fails(const std::string& path) const {
    return !failing_lookups_.empty() && path.size() >= failing_lookups_.size() &&
           path.compare(path.size() - failing_lookups_.size(), failing_lookups_.size(), failing_lookups_) == 0;
  }
  // Power-loss mode: held writes by file identity (shared by every handle on
  // the file), and the directory changes not yet synced, oldest first.
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::shared_ptr<Held>> held_;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> held_paths_;  // a name of each
  std::vector<DirChange> dir_changes_;
};

}  // namespace bkf::testing
