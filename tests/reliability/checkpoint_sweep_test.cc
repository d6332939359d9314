// Failures of the file layer in a checkpoint, in write-ahead-log mode: an
// explicit checkpoint inside BEGIN, one outside it, and the checkpoint a
// commit starts by itself once the log holds 1000 frames. Every file
// operation of the step holding the checkpoint is made to fail in turn, as
// EIO once, as a torn EIO once, and as EIO from then on until the step ends
// (the disk is then repaired). During every sync and cut of the step, a
// second connection reads and then writes. Whatever fails:
//   - a query that reports rows reports the right ones, and the second
//     connection never reads the row of a commit reported as failed;
//   - the connection (and another one on the file) then makes 20 more
//     commits, two checkpoints among them, all of which succeed;
//   - the rows match a ledger of the commits that were acknowledged (a
//     commit whose failure the disk kept from undoing may count either way);
//   - after a reopen, and again after a power cut that loses every write not
//     yet synced, the rows still match the ledger and integrity_check is ok.
// The connection under test has read only t2 before the step, so t1's pages
// come from the files afterwards: a log index that describes frames the
// file no longer holds shows there.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/engine_testing.h"
#include "support/fault_vfs.h"
#include "support/mem_vfs.h"

namespace bkf::testing {
namespace {

const std::string kPath = "/ckpt.db";
constexpr std::uint64_t kFrameSize = 4096 + 8;

// What the committed rows should be: t1 (id -> v) and the ids of t2.
struct Ledger {
  std::map<int, int> t1;
  std::set<int> t2;
  // Rows of a commit whose outcome is unknown (it failed on a disk that
  // then also refused to undo it): either way is right.
  std::set<int> t2_maybe;

  std::string t1_text() const {
    std::string s = "[id, v]";
    for (auto [id, v] : t1) s += " (" + std::to_string(id) + ", " + std::to_string(v) + ")";
    return s;
  }
};

std::string t2_ids(Database& db) { return run_sql(db, "SELECT id FROM t2 ORDER BY id"); }

// Checks the rows a connection sees against the ledger.
void expect_ledger(Database& db, const Ledger& ledger, const std::string& where) {
  EXPECT_EQ(run_sql(db, "SELECT id, v FROM t1 ORDER BY id"), ledger.t1_text()) << where;
  // Through t1's index as well.
  int sum = 0;
  for (auto [id, v] : ledger.t1) sum += v;
  EXPECT_EQ(run_sql(db, "SELECT count(*), sum(v) FROM t1 WHERE v >= 0"),
            "[count(*), sum(v)] (" + std::to_string(ledger.t1.size()) + ", " + std::to_string(sum) + ")")
      << where;
  const std::string got = t2_ids(db);
  std::string want = "[id]", want_with = "[id]";
  std::set<int> with = ledger.t2;
  with.insert(ledger.t2_maybe.begin(), ledger.t2_maybe.end());
  for (int id : ledger.t2) want += " (" + std::to_string(id) + ")";
  for (int id : with) want_with += " (" + std::to_string(id) + ")";
  if (got != want_with) {
    EXPECT_EQ(got, want) << where;
  }
  EXPECT_EQ(run_sql(db, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << where;
}

// One way to reach a checkpoint. `step` runs on the connection under test
// with the fault armed; it returns through the ledger what was
// acknowledged.
struct Scenario {
  const char* name;
  bool near_threshold;  // the log is brought near the automatic checkpoint
  std::vector<std::string> step;
};

std::string insert_t2(int id, std::size_t payload = 20) {
  return "INSERT INTO t2 VALUES (" + std::to_string(id) + ", '" + std::string(payload, 'p') + "')";
}

const int kStepRow = 500;

const Scenario kScenarios[] = {
    {"checkpoint inside BEGIN",
     false,
     {"BEGIN", "PRAGMA wal_checkpoint", "SELECT count(*), sum(v) FROM t1", insert_t2(kStepRow), "COMMIT"}},
    {"checkpoint outside BEGIN",
     false,
     {"PRAGMA wal_checkpoint", "SELECT count(*), sum(v) FROM t1", insert_t2(kStepRow)}},
    {"checkpoint a commit starts", true, {insert_t2(kStepRow, 100000), "SELECT count(*), sum(v) FROM t1"}},
};

// The files of the base database: t1 (indexed) and t2 with 20 rows each, in
// WAL mode, the last commits still in the log; near the threshold, the log
// holds just under 1000 frames.
std::map<std::string, std::vector<std::uint8_t>> base_files(bool near_threshold, Ledger& ledger) {
  MemVfs mem;
  {
    auto db = Database::open(mem, kPath);
    EXPECT_TRUE(db.ok());
    EXPECT_EQ(run_sql(*db,
                      "PRAGMA journal_mode = wal; CREATE TABLE t1 (id INTEGER PRIMARY KEY, v INT, pad TEXT); "
                      "CREATE INDEX t1_v ON t1 (v); CREATE TABLE t2 (id INTEGER PRIMARY KEY, p TEXT); "
                      "CREATE TABLE t3 (id INTEGER PRIMARY KEY, n INT); INSERT INTO t3 VALUES (1, 0)"),
              "[journal_mode] ('wal') / ok / ok / ok / ok / affected 1");
    for (int i = 1; i <= 20; ++i) {
      // Rows of 1500 bytes: t1 spans several pages.
      EXPECT_EQ(run_sql(*db, "INSERT INTO t1 VALUES (" + std::to_string(i) + ", " + std::to_string(i) + ", '" +
                                 std::string(1500, 'a') + "')"),
                "affected 1");
      EXPECT_EQ(run_sql(*db, insert_t2(i)), "affected 1");
      ledger.t1[i] = i;
      ledger.t2.insert(i);
    }
    EXPECT_EQ(run_sql(*db, "PRAGMA wal_checkpoint; UPDATE t1 SET v = v + 1 WHERE id % 2 = 0"), "ok / affected 10");
    for (auto& [id, v] : ledger.t1) v += id % 2 == 0;
    if (near_threshold) {
      while (mem.bytes(kPath + "-wal").size() / kFrameSize < 980) {
        EXPECT_EQ(run_sql(*db, "UPDATE t3 SET n = n + 1"), "affected 1");
      }
    }
  }
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const std::string& f : {kPath, kPath + "-wal"}) files[f] = mem.bytes(f);
  return files;
}

struct Plan {
  const char* name;
  FaultPlan plan;
  bool undo_may_fail;
};

class CheckpointSweep : public ::testing::TestWithParam<int> {};

TEST_P(CheckpointSweep, EveryFailingOperationKeepsTheLedger) {
  const Scenario& sc = kScenarios[GetParam()];
  Ledger base;
  const auto files = base_files(sc.near_threshold, base);

  // One run; `plan` null runs without faults. Returns the number of
  // operations the step made (unarmed), and whether the plan fired.
  auto run = [&](const FaultPlan* plan, bool undo_may_fail, const std::string& where) -> std::pair<std::uint64_t, bool> {
    MemVfs mem;
    for (const auto& [path, bytes] : files) mem.bytes(path) = bytes;
    Ledger ledger = base;
    FaultVfs fault(mem, /*lose_unsynced=*/true);
    std::optional<Database> a, b;
    {
      auto opened = Database::open(fault, kPath);
      EXPECT_TRUE(opened.ok()) << where;
      if (!opened.ok()) return {0, false};
      a.emplace(std::move(*opened));
      opened = Database::open(fault, kPath);
      EXPECT_TRUE(opened.ok()) << where;
      if (!opened.ok()) return {0, false};
      b.emplace(std::move(*opened));
    }
    // The other connection commits; the one under test reads t2 only.
    EXPECT_EQ(run_sql(*b, insert_t2(21)), "affected 1") << where;
    ledger.t2.insert(21);
    EXPECT_EQ(run_sql(*a, "SELECT count(*) FROM t2"), "[count(*)] (21)") << where;

    int sum = 0;
    for (auto [id, v] : ledger.t1) sum += v;
    const std::string t1_summary = "[count(*), sum(v)] (20, " + std::to_string(sum) + ")";

    // During every sync and every cut of the step, the other connection
    // reads and then writes, as another process would (its operations are
    // neither counted nor failed). It may be kept out by a lock; what it
    // reads must never include the step's row unless that commit stands.
    bool saw_step_row = false;
    int hook_row = 700;
    fault.set_hook([&](FaultOp op, std::uint64_t) {
      if (op != FaultOp::Sync && op != FaultOp::Truncate) return;
      FaultVfs::Bypass bypass(fault);
      const std::string seen = run_sql(*b, "SELECT id FROM t2 WHERE id = " + std::to_string(kStepRow));
      if (seen.find("(" + std::to_string(kStepRow) + ")") != std::string::npos) saw_step_row = true;
      const int id = hook_row++;
      if (run_sql(*b, insert_t2(id)) == "affected 1") ledger.t2.insert(id);
    });
    if (plan) fault.arm(*plan);
    else fault.arm(FaultPlan{.ops = kChangeOps | kLookupOps});
    bool in_begin = false, step_row_pending = false, step_failed = false;
    for (const std::string& sql : sc.step) {
      const std::string got = run_sql(*a, sql);
      const bool ok = got.substr(0, 1) != "!";
      if (!ok) step_failed = true;
      if (sql == "BEGIN") in_begin = ok;
      if (sql.rfind("SELECT", 0) == 0 && ok) {
        EXPECT_EQ(got, t1_summary) << where << ": " << sql;
      }
      if (sql.rfind("INSERT", 0) == 0) {
        if (ok && !in_begin) ledger.t2.insert(kStepRow);
        if (ok && in_begin) step_row_pending = true;
        if (!ok && undo_may_fail) ledger.t2_maybe.insert(kStepRow);
      }
      if (sql == "COMMIT") {
        if (ok && step_row_pending) ledger.t2.insert(kStepRow);
        if (!ok && step_row_pending && undo_may_fail) ledger.t2_maybe.insert(kStepRow);
      }
    }
    fault.set_hook(nullptr);
    if (saw_step_row) {
      EXPECT_TRUE(ledger.t2.count(kStepRow) || ledger.t2_maybe.count(kStepRow))
          << where << ": the other connection read the row of a commit reported as failed";
    }
    const std::uint64_t ops = fault.count();
    const bool fired = fault.fired();
    fault.disarm();
    if (!plan) {
      EXPECT_FALSE(step_failed) << where;
      if (sc.near_threshold) {
        EXPECT_EQ(mem.bytes(kPath + "-wal").size(), 0u) << "the commit did not checkpoint";
      }
    }
    if (a->in_transaction()) {
      EXPECT_EQ(run_sql(*a, "ROLLBACK"), "ok") << where;
    }

    // 20 more commits from both connections, inside and outside BEGIN, with
    // checkpoints after the 10th and the 20th.
    for (int i = 1; i <= 20; ++i) {
      Database& db = i % 3 == 0 ? *b : *a;
      const int id = 600 + i;
      std::string sql = insert_t2(id) + "; UPDATE t1 SET v = v + 1 WHERE id = " + std::to_string(i);
      if (i % 4 == 0) sql = "BEGIN; " + sql + "; COMMIT";
      const std::string got = run_sql(db, sql);
      EXPECT_EQ(got.find('!'), std::string::npos) << where << ", commit " << i << ": " << got;
      if (got.find('!') == std::string::npos) {
        ledger.t2.insert(id);
        ++ledger.t1[i];
      }
      if (i % 10 == 0) {
        EXPECT_EQ(run_sql(db, "PRAGMA wal_checkpoint"), "ok") << where << ", commit " << i;
      }
    }
    expect_ledger(*a, ledger, where + ", after 20 commits");
    expect_ledger(*b, ledger, where + ", after 20 commits, the other connection");
    a.reset();
    b.reset();
    {
      auto again = Database::open(fault, kPath);
      EXPECT_TRUE(again.ok()) << where << ": " << (again.ok() ? "" : again.error().to_string());
      if (again.ok()) {
        expect_ledger(*again, ledger, where + ", reopened");
      }
    }
    fault.cut_power();
    {
      auto after = Database::open(mem, kPath);
      EXPECT_TRUE(after.ok()) << where << ": " << (after.ok() ? "" : after.error().to_string());
      if (after.ok()) {
        expect_ledger(*after, ledger, where + ", after a power cut");
      }
    }
    return {ops, fired};
  };

  const std::uint64_t total = run(nullptr, false, std::string(sc.name) + " without faults").first;
  ASSERT_GT(total, 5u);
  FaultPlan once{.ops = kChangeOps | kLookupOps}, torn{.torn = true},
      broken{.ops = kChangeOps | kLookupOps, .persistent = true};
  const Plan plans[] = {{"EIO", once, false}, {"torn EIO", torn, false}, {"EIO from then on", broken, true}};
  std::uint64_t points = 0;
  for (const Plan& p : plans) {
    for (std::uint64_t n = 1;; ++n) {
      FaultPlan plan = p.plan;
      plan.nth = n;
      const std::string where = std::string(sc.name) + ", " + p.name + " at operation " + std::to_string(n);
      const auto [ops, fired] = run(&plan, p.undo_may_fail, where);
      if (!fired) break;
      ++points;
      if (::testing::Test::HasFailure()) return;  // one failing point tells enough
    }
  }
  std::printf("%s: %llu operations in the step, %llu fault points tried\n", sc.name,
              static_cast<unsigned long long>(total), static_cast<unsigned long long>(points));
}

INSTANTIATE_TEST_SUITE_P(Checkpoints, CheckpointSweep, ::testing::Range(0, 3), [](const auto& info) {
  return std::string(info.param == 0 ? "InsideBegin" : info.param == 1 ? "OutsideBegin" : "ByCommit");
});

}  // namespace
}  // namespace bkf::testing
