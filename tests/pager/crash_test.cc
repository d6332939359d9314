// Crash and failure injection: for every mutating operation of a commit, a
// checkpoint or a mode switch, crash there (or fail there), then check what
// a fresh open of the files sees: exactly the state before or exactly the
// state after, depending on whether the commit point was passed.
#include <gtest/gtest.h>

#include <functional>

#include "pager_test_util.h"
#include "support/fault_vfs.h"
#include "support/lock_probe.h"
#include "support/temp_dir.h"

namespace bkf::testing {
namespace {

constexpr std::uint32_t kPs = 512;

struct Files {
  std::string db, journal, wal;
  bool has_journal = false, has_wal = false;
};

struct Scenario {
  const char* name;
  bool wal_mode;
  // The operations under test, on a pager opened through the fault layer.
  std::function<Status(Pager&)> run;
};

// The operation whose completion commits. Journal mode commits at the
// journal's unlink. A WAL commit is in the file once its frames are written,
// so a crash right after that write finds it; but a commit whose log sync
// fails takes its frames back out, so for failures the sync commits.
std::size_t commit_point(const std::vector<FaultOp>& ops, bool wal_mode, bool failing) {
  std::size_t i = 0;
  if (!wal_mode) {
    while (i < ops.size() && ops[i] != FaultOp::Unlink) ++i;
    return i + 1;
  }
  while (i < ops.size() && ops[i] != FaultOp::Write) ++i;
  if (failing) {
    while (i < ops.size() && ops[i] != FaultOp::Sync) ++i;
  }
  return i + 1;
}

Status change_pages(Pager& p) {
  BKF_TRY(p.begin());
  for (PageId id : {3u, 4u, 5u, 12u}) fill_page(p, id, 2);
  BKF_TRY(p.free_page(7));
  BKF_TRY(p.free_page(8));
  for (int i = 0; i < 3; ++i) fill_page(p, BKF_TRY(p.alloc_page()), 2);  // 8, 7, then 22
  p.set_schema_root(5);
  return p.commit();
}

Status change_many_pages(Pager& p) {  // enough to checkpoint by itself
  BKF_TRY(p.begin());
  for (PageId id = 2; id <= 21; ++id) fill_page(p, id, 3);
  for (int i = 0; i < 990; ++i) fill_page(p, BKF_TRY(p.alloc_page()), 3);
  return p.commit();
}

class CrashTest : public ::testing::Test {
 protected:
  // A database of pages 2..21 committed in journal mode and, for WAL
  // scenarios, a few more commits left in the log.
  void build(bool wal_mode) {
    auto p = must(Pager::create(vfs_, path_, kPs));
    append_pages(*p, 20, 1);
    if (wal_mode) {
      must(p->set_journal_mode_wal());
      must(p->begin());
      fill_page(*p, 3, 5);
      fill_page(*p, 9, 5);
      must(p->commit());
    }
    p.reset();
    saved_ = save();
  }
  Files save() {
    Files f;
    f.db = read_file(path_);
    f.has_journal = vfs_.exists(path_ + "-journal");
    f.has_wal = vfs_.exists(path_ + "-wal");
    if (f.has_journal) f.journal = read_file(path_ + "-journal");
    if (f.has_wal) f.wal = read_file(path_ + "-wal");
    return f;
  }
  void restore(const Files& f) {
    write_file(path_, f.db);
    ::unlink((path_ + "-journal").c_str());
    ::unlink((path_ + "-wal").c_str());
    if (f.has_journal) write_file(path_ + "-journal", f.journal);
    if (f.has_wal) write_file(path_ + "-wal", f.wal);
  }
  // Runs the scenario unarmed: the state after it and its operations.
  DbState dry_run(const Scenario& s, std::vector<FaultOp>& ops) {
    restore(saved_);
    FaultVfs fault(vfs_);
    auto p = must(Pager::open(fault, path_));
    fault.set_hook([&](FaultOp op, std::uint64_t) { ops.push_back(op); });
    fault.arm({});
    must(s.run(*p));
    p.reset();
    return capture_file(path_);
  }

  void crash_matrix(const Scenario& s) {
    build(s.wal_mode);
    restore(saved_);
    const DbState before = capture_file(path_);
    std::vector<FaultOp> ops;
    const DbState after = dry_run(s, ops);
    ASSERT_NE(before, after) << s.name;
    const std::size_t point = commit_point(ops, s.wal_mode, false);
    for (std::size_t n = 1; n <= ops.size(); ++n) {
      for (bool torn : {false, true}) {
        if (torn && ops[n - 1] != FaultOp::Write) continue;
        restore(saved_);
        {
          FaultVfs fault(vfs_);
          auto p = must(Pager::open(fault, path_));
          fault.arm({.nth = n, .action = FaultPlan::Action::Crash, .torn = torn});
          (void)s.run(*p);
          ASSERT_TRUE(fault.crashed()) << s.name << " op " << n;
        }  // the "process" is gone: files closed, nothing cleaned up
        const DbState& want = n <= point ? before : after;
        DbState got = capture_file(path_);
        EXPECT_TRUE(got == want) << s.name << ": crash at op " << n << " (" << fault_op_name(ops[n - 1])
                                 << (torn ? ", torn" : "") << "), commit point " << point << ", expected the "
                                 << (n <= point ? "before" : "after") << "-state";
        EXPECT_FALSE(vfs_.exists(path_ + "-journal")) << s.name << " op " << n;
      }
    }
  }

  TempDir dir_;
  OsVfs vfs_;
  std::string path_ = dir_.file("t.db");
  Files saved_;
};

TEST_F(CrashTest, JournalCommit) { crash_matrix({"journal commit", false, change_pages}); }
TEST_F(CrashTest, WalCommit) { crash_matrix({"wal commit", true, change_pages}); }
TEST_F(CrashTest, WalCommitWithAutomaticCheckpoint) {
  crash_matrix({"wal commit and checkpoint", true, change_many_pages});
}

// A checkpoint or a mode switch never changes what a reader sees, wherever
// it stops.
TEST_F(CrashTest, CheckpointAndModeSwitches) {
  const Scenario scenarios[] = {
      {"checkpoint", true, [](Pager& p) { return p.wal_checkpoint(); }},
      {"to journal mode", true, [](Pager& p) { return p.set_journal_mode_delete(); }},
      {"to wal mode", false, [](Pager& p) { return p.set_journal_mode_wal(); }},
  };
  for (const Scenario& s : scenarios) {
    build(s.wal_mode);
    const DbState state = capture_file(path_);
    restore(saved_);
    std::vector<FaultOp> ops;
    ASSERT_EQ(dry_run(s, ops), state) << s.name;
    ASSERT_FALSE(ops.empty()) << s.name;
    for (std::size_t n = 1; n <= ops.size(); ++n) {
      restore(saved_);
      {
        FaultVfs fault(vfs_);
        auto p = must(Pager::open(fault, path_));
        fault.arm({.nth = n, .action = FaultPlan::Action::Crash, .torn = true});
        (void)s.run(*p);
      }
      EXPECT_EQ(capture_file(path_), state) << s.name << ": crash at op " << n;
      // And the database still takes commits.
      auto p = must(Pager::open(vfs_, path_));
      append_pages(*p, 1, 9);
      p.reset();
      EXPECT_EQ(capture_file(path_).page_count, state.page_count + 1) << s.name << " op " << n;
    }
  }
}

// A commit that fails (the disk is full, a sync fails) and is rolled back
// leaves the before-state for this connection, a second connection and a
// reopen; past the commit point the commit reports success instead.
TEST_F(CrashTest, FailedCommitThenRollback) {
  for (bool wal_mode : {false, true}) {
    for (bool persistent : {false, true}) {
      const Scenario s{wal_mode ? "wal" : "journal", wal_mode, change_pages};
      build(wal_mode);
      const DbState before = capture_file(path_);
      std::vector<FaultOp> ops;
      const DbState after = dry_run(s, ops);
      const std::size_t point = commit_point(ops, wal_mode, true);
      for (std::size_t n = 1; n <= ops.size(); ++n) {
        const std::string what = std::string(s.name) + (persistent ? " persistent" : "") + " failure at op " +
                                 std::to_string(n) + " (" + fault_op_name(ops[n - 1]) + ")";
        restore(saved_);
        FaultVfs fault(vfs_);
        auto p = must(Pager::open(fault, path_));
        fault.arm({.nth = n,
                   .error = ops[n - 1] == FaultOp::Write ? ENOSPC : EIO,
                   .torn = true,
                   .persistent = persistent});
        Status st = s.run(*p);
        if (n <= point) {
          ASSERT_FALSE(st.ok()) << what;
          EXPECT_TRUE(p->in_transaction()) << what;
          // With the disk still failing, undoing may fail too; the
          // transaction ends and the lock goes all the same.
          Status rb = p->rollback();
          if (!persistent) {
            EXPECT_TRUE(rb.ok()) << what << ": " << rb.error().to_string();
            // The rollback itself put the file back, before anyone else looks.
            EXPECT_FALSE(vfs_.exists(path_ + "-journal")) << what;
            if (!wal_mode) {
              EXPECT_TRUE(read_file(path_) == saved_.db) << what;
            }
          }
          EXPECT_FALSE(p->in_transaction()) << what;
          EXPECT_FALSE(lock_would_block(path_, true)) << what;
          // A WAL commit whose log sync failed has its frames cut back out.
          // When the disk refuses even that cut, the complete commit stays
          // in the log; every view then agrees on the after-state.
          const bool may_survive = wal_mode && persistent && n == point;
          auto second = must(Pager::open(vfs_, path_));
          const DbState seen = capture(*second);
          EXPECT_TRUE(seen == before || (may_survive && seen == after)) << what;
          fault.disarm();
          EXPECT_TRUE(capture(*p) == seen) << what;
          second.reset();
          p.reset();
          EXPECT_TRUE(capture_file(path_) == seen) << what;
        } else {
          EXPECT_TRUE(st.ok()) << what << ": " << st.error().to_string();
          EXPECT_FALSE(lock_would_block(path_, true)) << what;
          fault.disarm();
          EXPECT_TRUE(capture(*p) == after) << what;
          p.reset();
          EXPECT_TRUE(capture_file(path_) == after) << what;
        }
        EXPECT_FALSE(vfs_.exists(path_ + "-journal")) << what;
      }
    }
  }
}

// A mode switch that fails, wherever it fails, leaves the mode as it was
// for this connection and for every other one: a header that reached the
// file before a failed sync is put back.
TEST_F(CrashTest, FailedModeSwitchKeepsTheMode) {
  for (bool to_wal : {true, false}) {
    const Scenario s{to_wal ? "to wal mode" : "to journal mode", !to_wal, [to_wal](Pager& p) {
                       return to_wal ? p.set_journal_mode_wal() : p.set_journal_mode_delete();
                     }};
    build(s.wal_mode);
    const DbState state = capture_file(path_);
    restore(saved_);
    std::vector<FaultOp> ops;
    dry_run(s, ops);
    for (std::size_t n = 1; n <= ops.size(); ++n) {
      const std::string what = std::string(s.name) + " failing at op " + std::to_string(n);
      restore(saved_);
      FaultVfs fault(vfs_);
      auto p = must(Pager::open(fault, path_));
      fault.arm({.nth = n, .torn = true});
      const bool wal_now = s.run(*p).ok() ? to_wal : !to_wal;
      fault.disarm();
      EXPECT_EQ(p->is_wal(), wal_now) << what;
      auto other = must(Pager::open(vfs_, path_));
      EXPECT_EQ(other->is_wal(), wal_now) << what;
      EXPECT_TRUE(capture(*other) == state) << what;
      EXPECT_TRUE(capture(*p) == state) << what;
      EXPECT_EQ(p->is_wal(), wal_now) << what;
    }
  }
}

// A creation whose first write was torn (the header in place, the rest of
// page 1 missing) fails, and the file then opens and takes commits.
TEST_F(CrashTest, TornCreationStillOpens) {
  {
    FaultVfs fault(vfs_);
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Write), .nth = 1, .torn = true});
    ASSERT_FALSE(Pager::create(fault, path_, kPs).ok());
  }
  ASSERT_EQ(read_file(path_).size(), kPs / 2);
  auto p = must(Pager::open(vfs_, path_));
  append_pages(*p, 2, 1);
  p.reset();
  EXPECT_EQ(capture_file(path_).page_count, 3u);
}

}  // namespace
}  // namespace bkf::testing
