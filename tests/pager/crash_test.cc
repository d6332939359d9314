// Crash, power loss and failure injection at every file operation of a
// commit, a checkpoint, a mode switch and the recovery of a hot journal, and
// failures followed by a crash.
// Files live in memory (MemVfs).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>

#include "pager_test_util.h"
#include "support/fault_vfs.h"
#include "support/mem_vfs.h"
#include "support/temp_dir.h"

namespace bkf::testing {
namespace {

constexpr std::uint32_t kPs = 512;
const std::string kDb = "/t.db", kJournal = kDb + "-journal", kWal = kDb + "-wal";

using Bytes = std::vector<std::uint8_t>;

// The database file and, when they exist, its journal and its log.
struct Files {
  Bytes db;
  std::optional<Bytes> journal, wal;
};

// What a writer that crashed in the middle of a commit left behind.
enum class Leftover { None, HotJournal, HotJournalTornHeader };

struct Scenario {
  const char* name;
  bool wal_mode;
  Leftover leftover;
  // The operations under test, on a pager opened through the fault layer
  // before the leftover appeared; none: the open itself, over the leftover.
  std::function<Status(Pager&)> run;
};

// The operation whose completion commits: the journal's unlink in journal
// mode; in WAL mode the write of the frames (a crash right after it finds
// the commit in the log). When unsynced changes are lost, the sync after it.
std::size_t commit_point(const std::vector<FaultOp>& ops, bool wal_mode, bool power_loss) {
  auto i = std::find(ops.begin(), ops.end(), wal_mode ? FaultOp::Write : FaultOp::Unlink);
  if (power_loss) i = std::find(i, ops.end(), FaultOp::Sync);
  return static_cast<std::size_t>(i - ops.begin()) + 1;
}

// Whether the n-th of `size` operations is tried: all of the first and the
// last `edge` ones, every `step`-th in between (the middle of a long run,
// such as a checkpoint's page reads, is sampled).
bool tried(std::size_t n, std::size_t size, std::size_t edge, std::size_t step) {
  return n <= edge || n + edge >= size || n % step == 0;
}

// Frees first: the free list's trunk is read from the file.
Status change_pages(Pager& p) {
  BKF_TRY(p.begin());
  for (PageId id : {3u, 4u, 5u, 12u}) BKF_TRY(try_fill_page(p, id, 2));
  BKF_TRY(p.free_page(7));
  BKF_TRY(p.free_page(8));
  for (int i = 0; i < 3; ++i) BKF_TRY(try_fill_page(p, BKF_TRY(p.alloc_page()), 2));  // 8, 7, then 21
  p.set_schema_root(5);
  return p.commit();
}

// Allocates first, and enough to checkpoint by itself.
Status change_many_pages(Pager& p) {
  BKF_TRY(p.begin());
  for (int i = 0; i < 990; ++i) BKF_TRY(try_fill_page(p, BKF_TRY(p.alloc_page()), 3));  // 21, 20, then new
  for (PageId id = 2; id <= 19; ++id) BKF_TRY(try_fill_page(p, id, 3));
  return p.commit();
}

// Commits, checkpoints, mode switches and recoveries of a hot journal.
const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> all = {
      {"journal commit", false, Leftover::None, change_pages},
      {"wal commit", true, Leftover::None, change_pages},
      {"wal commit and checkpoint", true, Leftover::None, change_many_pages},
      {"checkpoint", true, Leftover::None, [](Pager& p) { return p.wal_checkpoint(); }},
      {"to journal mode", true, Leftover::None, [](Pager& p) { return p.set_journal_mode_delete(); }},
      {"to wal mode", false, Leftover::None, [](Pager& p) { return p.set_journal_mode_wal(); }},
      {"open with commits in the log", true, Leftover::None, nullptr},
      {"to wal mode over a hot journal", false, Leftover::HotJournal,
       [](Pager& p) { return p.set_journal_mode_wal(); }},
      {"read over a hot journal", false, Leftover::HotJournal,
       [](Pager& p) -> Status {
         BKF_TRY(p.read_lock());
         return p.read_unlock();
       }},
      {"open over a hot journal", false, Leftover::HotJournal, nullptr},
      {"open over a hot journal and a torn header", false, Leftover::HotJournalTornHeader, nullptr},
  };
  return all;
}

class CrashTest : public ::testing::Test {
 protected:
  // A database of pages 2..19 and free pages 20 (a trunk) and 21 committed
  // in journal mode and, for WAL scenarios, a few more commits left in the
  // log; then the leftover of a crashed commit.
  void build(const Scenario& s) {
    mem_.clear();
    auto p = must(Pager::create(mem_, kDb, kPs));
    append_pages(*p, 20, 1);
    must(p->begin());
    must(p->free_page(20));
    must(p->free_page(21));
    must(p->commit());
    if (s.wal_mode) {
      must(p->set_journal_mode_wal());
      must(p->begin());
      fill_page(*p, 3, 5);
      fill_page(*p, 9, 5);
      must(p->commit());
    }
    p.reset();
    clean_ = save();
    if (s.leftover != Leftover::None) {
      FaultVfs fault(mem_);
      p = must(Pager::open(fault, kDb));
      fault.arm({.ops = static_cast<unsigned>(FaultOp::Unlink), .nth = 1, .action = FaultPlan::Action::Crash});
      ASSERT_FALSE(change_pages(*p).ok());
      p.reset();
      if (s.leftover == Leftover::HotJournalTornHeader) std::fill_n(mem_.bytes(kDb).begin(), kHeaderSize / 2, 0);
    }
    saved_ = save();
  }
  std::optional<Bytes> load(const std::string& path) {
    return mem_.exists(path) ? std::optional(mem_.bytes(path)) : std::nullopt;
  }
  Files save() { return {mem_.bytes(kDb), load(kJournal), load(kWal)}; }
  // Rewrites the files in place (a pager may have them open).
  void restore(const Files& f) {
    mem_.bytes(kDb) = f.db;
    for (auto [path, bytes] : {std::pair{&kJournal, &f.journal}, std::pair{&kWal, &f.wal}}) {
      if (*bytes) {
        mem_.bytes(*path) = **bytes;
      } else if (mem_.exists(*path)) {
        must(mem_.delete_file(*path));
      }
    }
  }
  DbState state_now() { return capture(*must(Pager::open(mem_, kDb))); }

  // Starts the scenario from its files with `plan` armed.
  Status start(const Scenario& s, FaultVfs& fault, const FaultPlan& plan, std::unique_ptr<Pager>& p) {
    restore(s.run ? clean_ : saved_);
    if (!s.run) {
      fault.arm(plan);
      Result<std::unique_ptr<Pager>> opened = Pager::open(fault, kDb);
      if (!opened.ok()) return std::move(opened).error();
      p = std::move(*opened);
      return {};
    }
    p = must(Pager::open(fault, kDb));
    restore(saved_);  // the other writer crashed after this open
    fault.arm(plan);
    return s.run(*p);
  }
  // Runs the scenario unarmed: the state after it and its operations.
  DbState dry_run(const Scenario& s, std::vector<FaultOp>& ops) {
    FaultVfs fault(mem_);
    fault.set_hook([&](FaultOp op, std::uint64_t n) {
      if (n == 1) ops.clear();  // counting restarted: the open is not part of it
      ops.push_back(op);
    });
    std::unique_ptr<Pager> p;
    must(start(s, fault, {.ops = kChangeOps | kLookupOps}, p));
    p.reset();
    return state_now();
  }

  MemVfs mem_;
  Files clean_, saved_;
};

// Every operation of each scenario crashes, loses the power or fails.
//  - After a crash a fresh open sees exactly the state before or the state
//    after, as the commit point was passed or not, with no journal left,
//    and the database takes commits. A power loss (also one right after
//    the scenario completed) loses every write and directory change not
//    synced, and moves the commit point to the sync that makes it durable.
//  - A failure (a write or any look-up: read, open, lock, size; once, or
//    from then on for look-ups) before the commit point fails the step:
//    one that passed for a success was swallowed, as when a page image for
//    the journal or a free-list trunk could not be read. A removal of the
//    journal that removes it and then fails (torn) passes the commit
//    point, and the step reports success.
//  - After a failure and the rollback of the transaction it leaves, no lock
//    is held; this connection and another one see the state before, or the
//    state after when the step reported success, and agree on the mode: a
//    header that reached the file before a failed sync of a mode switch is
//    put back. A journal left by an undo that could not read it is replayed
//    by the next open.
TEST_F(CrashTest, EveryOperationCrashingOrFailing) {
  using enum FaultPlan::Action;
  const struct {
    const char* name;
    FaultPlan plan;
    bool power_loss = false;
  } ways[] = {
      {"crash", {.action = Crash}},
      {"torn crash", {.action = Crash, .torn = true}},
      {"power loss", {.action = Crash}, true},
      {"failure", {}},
      {"torn failure", {.torn = true}},
      {"look-up failure", {.ops = kLookupOps}},
      {"look-ups failing from then on", {.ops = kLookupOps, .persistent = true}},
  };
  for (const Scenario& s : scenarios()) {
    build(s);
    restore(saved_);
    const DbState before = state_now();
    std::vector<FaultOp> all_ops;
    const DbState after = dry_run(s, all_ops);
    ASSERT_FALSE(all_ops.empty()) << s.name;
    const bool wal_after = must(Pager::open(mem_, kDb))->is_wal();
    for (const auto& w : ways) {
      std::vector<FaultOp> ops;
      std::copy_if(all_ops.begin(), all_ops.end(), std::back_inserter(ops),
                   [&](FaultOp op) { return (w.plan.ops & static_cast<unsigned>(op)) != 0; });
      const bool crash = w.plan.action == Crash;
      // The commit point among the operations of this way: those of its
      // kinds up to the committing one.
      const std::size_t all_point = commit_point(all_ops, s.wal_mode, w.power_loss);
      const std::size_t point =
          all_point > all_ops.size()
              ? ops.size() + 1
              : static_cast<std::size_t>(std::count_if(all_ops.begin(), all_ops.begin() + all_point, [&](FaultOp op) {
                  return (w.plan.ops & static_cast<unsigned>(op)) != 0;
                }));
      // An open reads the header once before it looks for a journal, and
      // takes one it cannot read for one a crash tore: the journal's copy
      // stands in for it, and the header is read again after the replay.
      const std::size_t torn_header_read =
          s.run ? 0 : static_cast<std::size_t>(std::find(ops.begin(), ops.end(), FaultOp::Read) - ops.begin()) + 1;
      // A power loss also comes once the scenario is over.
      for (std::size_t n = 1; n <= ops.size() + w.power_loss; ++n) {
        const bool over = n > ops.size();
        if (crash && w.plan.torn && ops[n - 1] != FaultOp::Write) continue;
        if (!tried(n, ops.size(), 100, 64)) continue;
        SCOPED_TRACE(std::string(s.name) + ": " + w.name + " at op " + std::to_string(n) + " (" +
                     (over ? "after the end" : fault_op_name(ops[n - 1])) + "), commit point " +
                     std::to_string(point));
        FaultVfs fault(mem_, w.power_loss);
        FaultPlan plan = w.plan;
        plan.nth = n;
        std::unique_ptr<Pager> p;
        const Status st = start(s, fault, plan, p);
        if (crash) {
          if (over) {
            ASSERT_TRUE(st.ok());
            fault.cut_power();
          }
          ASSERT_TRUE(fault.crashed());
          p.reset();  // the "process" is gone: files closed, nothing cleaned up
          EXPECT_TRUE(state_now() == (over || n > point ? after : before));
          EXPECT_FALSE(mem_.exists(kJournal));
          append_pages(*must(Pager::open(mem_, kDb)), 1, 9);
          continue;
        }
        // A torn removal of the journal removes it and fails: that is the
        // commit point (or the end of a replay) passing, and it says so.
        const bool removed_journal = w.plan.torn && !s.wal_mode && !over && n == point && ops[n - 1] == FaultOp::Unlink;
        if (removed_journal) {
          EXPECT_TRUE(st.ok()) << "a journal's removal that removed it reported a failure";
        } else if (n <= point && n != torn_header_read) {
          EXPECT_FALSE(st.ok()) << "a failure before the commit point passed for a success";
        }
        if (p && p->in_transaction()) {
          const Status undo = p->rollback();
          if (!w.plan.persistent) must(undo);
        }
        fault.disarm();
        if (p && !w.plan.persistent && s.leftover == Leftover::None) {
          EXPECT_FALSE(mem_.exists(kJournal));
        }
        EXPECT_FALSE(mem_.locked(kDb) || mem_.locked(kWal));
        auto other = must(Pager::open(mem_, kDb));
        EXPECT_FALSE(mem_.exists(kJournal));
        EXPECT_TRUE(capture(*other) == (st.ok() ? after : before));
        EXPECT_EQ(other->is_wal(), st.ok() ? wal_after : s.wal_mode);
        if (p) {
          EXPECT_TRUE(capture(*p) == capture(*other));
          EXPECT_EQ(p->is_wal(), other->is_wal());
        }
      }
    }
  }
}

// Each operation of each scenario fails once, and then a later operation
// crashes or loses the power: in the rest of the scenario (when the failure
// was taken for a success, or failed it after its commit point), in the
// rollback that undoes a failed step, or, losing the power, once all that is
// over. A fresh open then sees the state before or the state after, with
// no journal left; the state before when the step reported the failure
// before the crash, and the state after when it reported success and the
// files were left as they were. A failure never lets a crash expose what
// the step did half, nor bring back a step reported as failed.
TEST_F(CrashTest, EveryFailureThenACrash) {
  std::size_t tries = 0;
  for (const Scenario& s : scenarios()) {
    build(s);
    restore(saved_);
    const DbState before = state_now();
    std::vector<FaultOp> ops;
    const DbState after = dry_run(s, ops);
    for (std::size_t k = 1; k <= ops.size(); ++k) {
      if (!tried(k, ops.size(), 40, 128)) continue;
      for (const bool power_loss : {false, true}) {
        for (std::size_t j = k + 1;; ++j) {
          if (!tried(j - k, ops.size() - k, 40, 128)) continue;
          SCOPED_TRACE(std::string(s.name) + ": " + fault_op_name(ops[k - 1]) + " failing at op " +
                       std::to_string(k) + ", then " + (power_loss ? "power loss" : "crash") + " at op " +
                       std::to_string(j));
          FaultVfs fault(mem_, power_loss);
          std::unique_ptr<Pager> p;
          const Status st = start(s, fault, {.ops = kChangeOps | kLookupOps, .nth = k, .crash_at = j}, p);
          ASSERT_TRUE(fault.fired());
          const bool reported = !st.ok() && !fault.crashed();
          if (p && p->in_transaction()) (void)p->rollback();
          const bool over = !fault.crashed();
          fault.cut_power();
          p.reset();
          ++tries;
          const DbState now = state_now();
          EXPECT_TRUE(now == before || now == after);
          if (reported) {
            EXPECT_TRUE(now == before) << "a failed step came back";
          }
          // (A failed sync past the commit point is not reported: the step
          // is done, and only a power loss may still take it back.)
          if (over && !reported && !power_loss) {
            EXPECT_TRUE(now == after) << "a step that succeeded was lost";
          }
          EXPECT_FALSE(mem_.exists(kJournal));
          if (over) break;
        }
      }
    }
  }
  std::printf("failure then crash: %zu tries\n", tries);
}

// A commit made through a relative symbolic link crashes at each of its
// operations; opening by the real path then finds the state before or after
// it, with no journal or log left under the link's name.
TEST(CrashThroughALink, RecoveredThroughTheRealPath) {
  TempDir dir;
  OsVfs os;
  const std::string real = dir.file("t.db"), link = dir.file("link.db");
  ASSERT_EQ(::symlink("t.db", link.c_str()), 0);
  for (bool wal_mode : {false, true}) {
    auto build = [&] {
      for (const char* suffix : {"", "-journal", "-wal"}) ::unlink((real + suffix).c_str());
      auto p = must(Pager::create(os, real, kPs));
      append_pages(*p, 20, 1);
      must(p->begin());
      must(p->free_page(20));
      must(p->free_page(21));
      must(p->commit());
      if (wal_mode) must(p->set_journal_mode_wal());
    };
    build();
    const DbState before = capture_file(real);
    FaultVfs counting(os);
    must(change_pages(*must(Pager::open(counting, link))));
    const std::uint64_t ops = counting.count();
    const DbState after = capture_file(real);
    for (std::uint64_t n = 1; n <= ops; ++n) {
      SCOPED_TRACE(std::string(wal_mode ? "wal" : "journal") + " mode, crash at operation " + std::to_string(n));
      build();
      FaultVfs fault(os);
      auto p = must(Pager::open(fault, link));
      fault.arm({.nth = n, .action = FaultPlan::Action::Crash});
      (void)change_pages(*p);
      p.reset();
      const DbState now = capture_file(real);
      EXPECT_TRUE(now == before || now == after);
      EXPECT_FALSE(os.exists(real + "-journal"));
      EXPECT_FALSE(os.exists(link + "-journal"));
      EXPECT_FALSE(os.exists(link + "-wal"));
    }
  }
}

// A creation whose first write was torn (the header in place, the rest of
// page 1 missing) fails, and the file then opens and takes commits.
TEST_F(CrashTest, TornCreationStillOpens) {
  {
    FaultVfs fault(mem_);
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Write), .nth = 1, .torn = true});
    ASSERT_FALSE(Pager::create(fault, kDb, kPs).ok());
  }
  ASSERT_EQ(mem_.bytes(kDb).size(), kPs / 2);
  auto p = must(Pager::open(mem_, kDb));
  append_pages(*p, 2, 1);
  p.reset();
  EXPECT_EQ(state_now().page_count, 3u);
}

}  // namespace
}  // namespace bkf::testing
