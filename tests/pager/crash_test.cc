// Crash and failure injection at every mutating operation of a commit, a
// checkpoint or a mode switch.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <optional>

#include "pager_test_util.h"
#include "support/fault_vfs.h"
#include "support/temp_dir.h"

namespace bkf::testing {
namespace {

constexpr std::uint32_t kPs = 512;

// The database file and, when they exist, its journal and its log.
struct Files {
  std::string db;
  std::optional<std::string> journal, wal;
};

struct Scenario {
  const char* name;
  bool wal_mode;
  // The operations under test, on a pager opened through the fault layer.
  std::function<Status(Pager&)> run;
};

// The operation whose completion commits: the journal's unlink in journal
// mode; in WAL mode the write of the frames (a crash right after it finds
// the commit in the log).
std::size_t commit_point(const std::vector<FaultOp>& ops, bool wal_mode) {
  const FaultOp op = wal_mode ? FaultOp::Write : FaultOp::Unlink;
  std::size_t i = 0;
  while (i < ops.size() && ops[i] != op) ++i;
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
    for (const char* suffix : {"", "-journal", "-wal"}) ::unlink((path_ + suffix).c_str());
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
    saved_.db = read_file(path_);
    saved_.journal = load(path_ + "-journal");
    saved_.wal = load(path_ + "-wal");
  }
  std::optional<std::string> load(const std::string& path) {
    return vfs_.exists(path) ? std::optional(read_file(path)) : std::nullopt;
  }
  void restore(const Files& f) {
    write_file(path_, f.db);
    for (auto [suffix, bytes] : {std::pair{"-journal", &f.journal}, std::pair{"-wal", &f.wal}}) {
      ::unlink((path_ + suffix).c_str());
      if (*bytes) write_file(path_ + suffix, **bytes);
    }
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

  TempDir dir_;
  OsVfs vfs_;
  std::string path_ = dir_.file("t.db");
  Files saved_;
};

// Every operation of a commit, a checkpoint or a mode switch crashes (torn
// or not when it is a write) or fails with a torn write.
//  - After a crash a fresh open sees exactly the state before or the state
//    after, as the commit point was passed or not, with no journal left,
//    and the database takes commits.
//  - After a failure (and the rollback of the transaction it leaves) this
//    connection and another one see the state before, or the state after
//    when the step reported success, and agree on the mode: a header that
//    reached the file before a failed sync of a mode switch is put back.
TEST_F(CrashTest, EveryOperationCrashingOrFailing) {
  const Scenario scenarios[] = {
      {"journal commit", false, change_pages},
      {"wal commit", true, change_pages},
      {"wal commit and checkpoint", true, change_many_pages},
      {"checkpoint", true, [](Pager& p) { return p.wal_checkpoint(); }},
      {"to journal mode", true, [](Pager& p) { return p.set_journal_mode_delete(); }},
      {"to wal mode", false, [](Pager& p) { return p.set_journal_mode_wal(); }},
  };
  for (const Scenario& s : scenarios) {
    build(s.wal_mode);
    const DbState before = capture_file(path_);
    std::vector<FaultOp> ops;
    const DbState after = dry_run(s, ops);
    ASSERT_FALSE(ops.empty()) << s.name;
    const bool wal_after = must(Pager::open(vfs_, path_))->is_wal();
    const std::size_t point = commit_point(ops, s.wal_mode);
    for (std::size_t n = 1; n <= ops.size(); ++n) {
      for (auto [how, crash, torn] :
           {std::tuple{"crash", true, false}, {"torn crash", true, true}, {"torn failure", false, true}}) {
        if (torn && crash && ops[n - 1] != FaultOp::Write) continue;
        SCOPED_TRACE(std::string(s.name) + ": " + how + " at op " + std::to_string(n) + " (" +
                     fault_op_name(ops[n - 1]) + "), commit point " + std::to_string(point));
        restore(saved_);
        FaultVfs fault(vfs_);
        auto p = must(Pager::open(fault, path_));
        fault.arm({.nth = n, .action = crash ? FaultPlan::Action::Crash : FaultPlan::Action::Fail, .torn = torn});
        const Status st = s.run(*p);
        if (crash) {
          ASSERT_TRUE(fault.crashed());
          p.reset();  // the "process" is gone: files closed, nothing cleaned up
          EXPECT_TRUE(capture_file(path_) == (n <= point ? before : after));
          EXPECT_FALSE(vfs_.exists(path_ + "-journal"));
          append_pages(*must(Pager::open(vfs_, path_)), 1, 9);
          continue;
        }
        if (p->in_transaction()) must(p->rollback());
        fault.disarm();
        EXPECT_FALSE(vfs_.exists(path_ + "-journal"));
        auto other = must(Pager::open(vfs_, path_));
        EXPECT_TRUE(capture(*other) == (st.ok() ? after : before));
        EXPECT_TRUE(capture(*p) == capture(*other));
        EXPECT_EQ(p->is_wal(), st.ok() ? wal_after : s.wal_mode);
        EXPECT_EQ(other->is_wal(), p->is_wal());
      }
    }
  }
}

// A commit made through a symbolic link (and a relative path to it)
// crashes at each of its operations; opening by the real path then finds
// the state before or after it, with no journal left beside either name.
TEST_F(CrashTest, CrashThroughASymbolicLinkRecoveredThroughTheRealPath) {
  const std::string link = dir_.file("link.db");
  ASSERT_EQ(::symlink("t.db", link.c_str()), 0);
  for (bool wal_mode : {false, true}) {
    build(wal_mode);
    const DbState before = capture_file(path_);
    std::vector<FaultOp> ops;
    const DbState after = dry_run({"", wal_mode, change_pages}, ops);
    const std::size_t point = commit_point(ops, wal_mode);
    for (std::size_t n = 1; n <= ops.size(); ++n) {
      SCOPED_TRACE(std::string(wal_mode ? "wal" : "journal") + " mode, crash at op " + std::to_string(n));
      restore(saved_);
      FaultVfs fault(vfs_);
      auto p = must(Pager::open(fault, link));
      fault.arm({.nth = n, .action = FaultPlan::Action::Crash});
      (void)change_pages(*p);
      p.reset();
      EXPECT_TRUE(capture_file(path_) == (n <= point ? before : after));
      EXPECT_FALSE(vfs_.exists(path_ + "-journal"));
      EXPECT_FALSE(vfs_.exists(link + "-journal"));
      EXPECT_FALSE(vfs_.exists(link + "-wal"));
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
