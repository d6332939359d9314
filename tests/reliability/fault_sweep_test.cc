// Failures of the file layer across a whole workload: where tests/engine's
// fault test fails each operation of one statement, this runs a scripted
// workload that moves through both journal modes (rows spilling onto
// overflow pages, index and column changes, explicit transactions, a mode
// switch each way, a checkpoint, a reindex; one statement or one explicit
// transaction per step) and fails its N-th write, sync, truncation or
// unlink for every N, with four kinds of failure: EIO once, EIO once with
// the write torn, a full disk (ENOSPC on every write from the N-th on) and
// a failing disk (EIO on every operation from the N-th on), the last two
// until the disk is "repaired" after the failing step; and its N-th read,
// open, lock request or size query, once and from then on.
//
// After the failure: the step that failed reports exactly the injected
// error (a step that a failing look-up hits always fails), every other step
// exactly what it reports in a run without faults;
// no transaction and no lock is left; the database holds the state before
// the failed step, also for another connection, with integrity_check ok;
// and the same connection then runs the rest of the workload (the failed
// step again included) to the same end as the run without faults.
//
// Files live in memory (MemVfs): the sweep runs the workload a few
// thousand times, and durability is the kill test's business.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine_testing.h"
#include "support/fault_vfs.h"
#include "support/mem_vfs.h"

namespace bkf::testing {
namespace {

const std::string kLong(5000, 'L'), kMid(1500, 'M');

const std::vector<std::string> kSteps{
    "CREATE TABLE t (id INTEGER PRIMARY KEY, k TEXT UNIQUE, v INT, body TEXT)",
    "CREATE INDEX t_v ON t (v)",
    "INSERT INTO t VALUES (1, 'a', 1, 'short'), (2, 'b', 2, '" + kLong + "'), (3, 'c', 3, NULL)",
    "UPDATE t SET v = v + 10, body = '" + kMid + "' WHERE id >= 2",
    "BEGIN; INSERT INTO t VALUES (4, 'd', 4, 'x'); UPDATE t SET k = 'aa' WHERE id = 1; DELETE FROM t WHERE id = 3; "
    "COMMIT",
    "CREATE INDEX t_vk ON t (v, k)",
    "ALTER TABLE t ADD COLUMN extra INT DEFAULT 7",
    "PRAGMA journal_mode = wal",
    "INSERT INTO t (k, v, body) VALUES ('e', 5, '" + kLong + "'), ('f', 6, 'y')",
    "BEGIN; UPDATE t SET extra = 1 WHERE id < 5; DELETE FROM t WHERE id = 2; COMMIT",
    "PRAGMA wal_checkpoint",
    "DROP INDEX t_vk",
    "DELETE FROM t WHERE v > 5",
    "INSERT INTO t (k, v) VALUES ('g', 7)",
    "PRAGMA reindex",
    "PRAGMA journal_mode = delete",
    "UPDATE t SET body = '" + kLong + "' WHERE k = 'g'",
};

// Everything a statement can change, as text.
std::string state(Database& db) {
  std::string s = squeeze(run_sql(db, "SELECT * FROM t ORDER BY id; PRAGMA journal_mode"));
  for (const char* ix : {"t_v", "t_vk"}) s += (index_exists(db, ix) ? " +" : " -") + std::string(ix);
  return s;
}

struct Plan {
  const char* name;
  FaultPlan plan;
  bool undo_may_fail = false;
};

TEST(FaultSweep, EveryFailingOperationOfAWorkload) {
  const std::string path = "/sweep.db";
  MemVfs mem;
  // The run without faults: what each step reports and the state after it.
  std::vector<std::string> reports, states;
  std::uint64_t total = 0;
  {
    FaultVfs fault(mem);
    auto db = Database::open(fault, path);
    ASSERT_TRUE(db.ok());
    states.push_back(state(*db));
    for (const std::string& step : kSteps) {
      reports.push_back(run_sql(*db, step));
      ASSERT_NE(reports.back().substr(0, 1), "!") << step << ": " << reports.back();
      states.push_back(state(*db));
    }
    total = fault.count();
  }
  ASSERT_GT(total, 40u);

  FaultPlan eio, torn, full, broken;
  torn.torn = true;
  full.ops = static_cast<unsigned>(FaultOp::Write);
  full.error = ENOSPC;
  full.persistent = true;
  broken.persistent = true;
  FaultPlan lookup{.ops = kLookupOps}, lookups_broken{.ops = kLookupOps, .persistent = true};
  const Plan plans[] = {{"EIO", eio},
                        {"torn EIO", torn},
                        {"full disk", full},
                        {"EIO from then on", broken, true},
                        {"look-up EIO", lookup},
                        {"look-up EIO from then on", lookups_broken, true}};

  std::uint64_t points = 0, failed_steps = 0;
  for (const Plan& p : plans) {
    const std::string injected = "!" + Error::io(p.plan.error).to_string();
    for (std::uint64_t n = 1;; ++n) {  // until the plan no longer fires
      const std::string where = std::string(p.name) + " at operation " + std::to_string(n);
      mem.clear();
      FaultVfs fault(mem);
      FaultPlan plan = p.plan;
      plan.nth = n;
      fault.arm(plan);
      auto db = Database::open(fault, path);
      bool fired = !db.ok();
      if (!db.ok()) {
        // Creating the database failed: nothing is locked, and it opens.
        ASSERT_EQ("!" + db.error().to_string(), injected) << where;
        fault.disarm();
        EXPECT_FALSE(mem.locked(path)) << where;
        db = Database::open(fault, path);
        ASSERT_TRUE(db.ok()) << where << ": " << db.error().to_string();
      }
      // A look-up never comes after the commit point of its step (the
      // failures dropped on purpose there are of syncs and unlinks): the
      // step it fails reports the failure, here with a report differing from
      // the run without faults. One that passes for a success was swallowed,
      // such as a page image for the journal or a free-list page that could
      // not be read.
      const bool lookups_only = (p.plan.ops & kChangeOps) == 0;
      EXPECT_FALSE(lookups_only && db.ok() && fault.fired()) << where << ": the open succeeded";
      std::size_t i = 0;
      std::string got;
      for (; i < kSteps.size(); ++i) {
        const bool fired_before = fault.fired();
        got = run_sql(*db, kSteps[i]);
        if (got != reports[i]) break;
        EXPECT_FALSE(lookups_only && !fired_before && fault.fired())
            << where << ", step " << i << ": a failed look-up was not reported, the step gave " << squeeze(got);
      }
      fired = fired || fault.fired();
      fault.disarm();
      if (!fired) break;  // past the last operation of the selected kinds
      ++points;
      EXPECT_FALSE(db->in_transaction()) << where;
      EXPECT_FALSE(mem.locked(path) || mem.locked(path + "-wal")) << where;
      if (i < kSteps.size()) {
        ++failed_steps;
        ASSERT_EQ(got, injected) << where << ", step " << i << ": " << kSteps[i].substr(0, 80);
        // A disk that fails everything also fails the undo of a step that
        // got past its last write; then the whole step stays, for everyone.
        const std::string now = state(*db);
        if (p.undo_may_fail && now == states[i + 1]) ++i;
        EXPECT_EQ(now, states[i]) << where << ", step " << i;
        {
          auto other_db = Database::open(mem, path);
          ASSERT_TRUE(other_db.ok()) << where;
          Database& other = *other_db;
          EXPECT_EQ(state(other), states[i]) << where << ", step " << i;
          EXPECT_EQ(run_sql(other, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << where;
        }
        for (; i < kSteps.size(); ++i) ASSERT_EQ(run_sql(*db, kSteps[i]), reports[i]) << where << ", then step " << i;
      }
      EXPECT_EQ(state(*db), states.back()) << where;
      auto again = Database::open(mem, path);
      ASSERT_TRUE(again.ok()) << where;
      EXPECT_EQ(state(*again), states.back()) << where;
      EXPECT_EQ(run_sql(*again, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << where;
    }
  }
  std::printf("fault sweep: %llu operations in the workload, %llu fault points tried, %llu steps failed\n",
              static_cast<unsigned long long>(total), static_cast<unsigned long long>(points),
              static_cast<unsigned long long>(failed_steps));
}

// A hot journal whose replay fails at any of its operations: opening
// reports the failure, and the next open recovers the state before the
// commit that died.
TEST(FaultSweep, EveryFailingOperationOfARecovery) {
  const std::string path = "/recover.db", journal = path + "-journal";
  MemVfs mem;
  std::string before;
  {
    auto db = Database::open(mem, path);
    ASSERT_TRUE(db.ok());
    for (std::size_t i = 0; i < 4; ++i) ASSERT_NE(run_sql(*db, kSteps[i]).substr(0, 1), "!") << i;
    before = state(*db);
  }
  {
    FaultVfs fault(mem);
    auto db = Database::open(fault, path);
    ASSERT_TRUE(db.ok());
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Unlink), .nth = 1, .action = FaultPlan::Action::Crash});
    (void)run_sql(*db, kSteps[4]);
    ASSERT_TRUE(fault.crashed());
  }
  const std::vector<std::uint8_t> db_bytes = mem.bytes(path), journal_bytes = mem.bytes(journal);
  auto restore = [&] {
    mem.clear();
    mem.bytes(path) = db_bytes;
    mem.bytes(journal) = journal_bytes;
  };
  std::uint64_t total = 0;
  {
    restore();
    FaultVfs fault(mem);
    ASSERT_TRUE(Database::open(fault, path).ok());
    total = fault.count();
  }
  ASSERT_GE(total, 3u);  // the replay's writes, its sync, the unlink
  std::uint64_t failed_opens = 0;
  for (std::uint64_t n = 1; n <= total; ++n) {
    for (bool torn : {false, true}) {
      const std::string where = "recovery failing at operation " + std::to_string(n) + (torn ? ", torn" : "");
      restore();
      {
        FaultVfs fault(mem);
        fault.arm({.nth = n, .torn = torn});
        auto db = Database::open(fault, path);
        EXPECT_FALSE(mem.locked(path)) << where;
        if (db.ok()) {
          EXPECT_EQ(state(*db), before) << where;
        } else {
          ++failed_opens;
        }
      }
      auto db = Database::open(mem, path);
      ASSERT_TRUE(db.ok()) << where << ": " << db.error().to_string();
      EXPECT_FALSE(mem.exists(journal)) << where;
      EXPECT_EQ(state(*db), before) << where;
      EXPECT_EQ(run_sql(*db, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << where;
    }
  }
  std::printf("recovery sweep: %llu operations, %llu fault points tried, %llu opens failed\n",
              static_cast<unsigned long long>(total), static_cast<unsigned long long>(2 * total),
              static_cast<unsigned long long>(failed_opens));
}

}  // namespace
}  // namespace bkf::testing
