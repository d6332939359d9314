// Running out of memory in the middle of a statement: for a set of
// statements of every kind, in both journal modes, outside and inside BEGIN,
// the N-th allocation the statement makes fails (std::bad_alloc, through the
// replaced operator new of support/alloc_failure.h) for every N until the
// statement no longer reaches it.
//
// After each failure: the failure reached the caller (or the statement
// succeeded whole, where the failure hit work that may fail unseen, such as
// the checkpoint a commit starts by itself); a statement reported as failed
// committed nothing (the files' change counter, the log's committed length
// and the absence of a journal are as before it), and one reported as done
// committed (a write outside BEGIN, or COMMIT: the change counter moved),
// emptied the log (a checkpoint) or left the files as they were (a query, or
// a write inside BEGIN before its COMMIT), so that a caller told of a
// failure never finds the statement applied; outside BEGIN no transaction
// and no lock is left and the table holds its old state; inside BEGIN a
// statement that writes spoiled the transaction (COMMIT refuses, ROLLBACK
// brings back the state before BEGIN); another connection then writes and
// checkpoints (the in-memory files grant no lock that is held, so a lock
// left behind fails this instead of hanging it); the failing connection
// writes again, and after both are closed a reopened database holds both
// writes, its table as expected, and passes integrity_check. A setting of
// the connection (synchronous) reported as failed is as before.
//
// The tables are small, so a statement makes a few hundred allocations. By
// default every N is tried up to 400 and every 7th after it; with
// BKF_ALLOC_SWEEP=full every N is tried. A case in which no allocation
// failed fails the test, saying so: the replacement of operator new is then
// not in effect (a tool that replaces the allocator itself does that), and
// the sweep would have tested nothing.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "engine/engine_testing.h"
#include "pager/header.h"
#include "pager/wal.h"
#include "support/alloc_failure.h"
#include "support/fault_vfs.h"
#include "support/mem_vfs.h"

namespace bkf::testing {
namespace {

const std::string kPath = "/oom.db";

// One statement under test. `prelude` runs first, unarmed (inside BEGIN
// when the case runs there); `writes` says the statement changes the
// database, so a failure inside BEGIN must spoil the transaction and a
// success outside BEGIN commits; `checkpoint` that it copies the log into
// the database file and empties it.
struct Case {
  const char* name;
  std::string sql;
  bool writes = true;
  bool checkpoint = false;
  bool outside = true;  // also run outside BEGIN
  bool inside = true;   // also run inside BEGIN
  std::string prelude = {};
  bool prepared = false;  // prepared before arming, executed armed
};

const std::string kBody(300, 'b');

const std::vector<Case> kCases{
    {.name = "insert into an indexed table",
     .sql = "INSERT INTO t (k, u, p) VALUES (100, 'n1', 'x'), (101, 'n2', '" + kBody + "')"},
    {.name = "update growing rows past their cells", .sql = "UPDATE t SET p = CONCAT(p, p, p, p, p, p, p, p, p, p, p, p, p, p), k = k + 1 WHERE id > 30"},
    {.name = "delete", .sql = "DELETE FROM t WHERE k % 2 = 0 AND id > 10"},
    {.name = "insert select", .sql = "INSERT INTO t (k, u, p) SELECT k + 1000, CONCAT(u, 'c'), p FROM t WHERE id <= 12"},
    {.name = "replace displacing two rows", .sql = "REPLACE INTO t (id, k, u, p) VALUES (3, 7, 'u5', 'r')"},
    {.name = "on duplicate key update",
     .sql = "INSERT INTO t (k, u, p) VALUES (9, 'u4', 'z') ON DUPLICATE KEY UPDATE p = 'dup'"},
    {.name = "create unique index", .sql = "CREATE UNIQUE INDEX t_ku ON t (k, u)"},
    {.name = "drop index", .sql = "DROP INDEX t_k"},
    {.name = "add column", .sql = "ALTER TABLE t ADD COLUMN z INT DEFAULT 5"},
    {.name = "query with group by",
     .sql = "SELECT k % 3, count(*), max(p) FROM t GROUP BY k % 3 ORDER BY 2 DESC",
     .writes = false},
    {.name = "query with order by", .sql = "SELECT id, u FROM t WHERE k > 2 ORDER BY u DESC LIMIT 4", .writes = false},
    {.name = "prepared insert", .sql = "INSERT INTO t (k, u, p) VALUES (?, 'pp', 'q')", .prepared = true},
    {.name = "commit",
     .sql = "COMMIT",
     .outside = false,
     .prelude = "UPDATE t SET p = CONCAT(p, 'c') WHERE id > 20; DELETE FROM t WHERE id < 6"},
    {.name = "checkpoint", .sql = "PRAGMA wal_checkpoint", .writes = false, .checkpoint = true},
    {.name = "reindex", .sql = "PRAGMA reindex", .inside = false},
    {.name = "journal mode switch", .sql = "PRAGMA journal_mode = OTHER", .inside = false},
};

// The statement of a case for a database in `mode` (OTHER: the other mode).
std::string case_sql(const Case& c, const std::string& mode) {
  std::string sql = c.sql;
  if (const std::size_t at = sql.find("OTHER"); at != std::string::npos) {
    sql.replace(at, 5, mode == "wal" ? "delete" : "wal");
  }
  return sql;
}

// The rows of t, the journal mode and which indexes exist.
std::string state(Database& db) {
  std::string s = squeeze(run_sql(db, "SELECT * FROM t ORDER BY id; PRAGMA journal_mode"));
  for (const char* ix : {"t_k", "t_ku"}) s += (index_exists(db, ix) ? " +" : " -") + std::string(ix);
  return s;
}

// The files of a database made in `mode` with t and log, its last commits
// still in the log in WAL mode.
std::map<std::string, std::vector<std::uint8_t>> base_files(const std::string& mode) {
  MemVfs mem;
  {
    auto db = Database::open(mem, kPath);
    EXPECT_TRUE(db.ok());
    EXPECT_EQ(run_sql(*db, "PRAGMA journal_mode = " + mode), "[journal_mode] ('" + mode + "')");
    EXPECT_EQ(run_sql(*db,
                      "CREATE TABLE t (id INTEGER PRIMARY KEY, k INT, u TEXT UNIQUE, p TEXT); "
                      "CREATE INDEX t_k ON t (k); CREATE TABLE log (id INTEGER PRIMARY KEY, msg TEXT)"),
              "ok / ok / ok");
    // Rows of 40 to 320 bytes over a few leaves, grown past a page by the
    // update below.
    for (int i = 1; i <= 40; ++i) {
      const std::string row = "(" + std::to_string(i % 4) + ", 'u" + std::to_string(i) + "', '" +
                              std::string(static_cast<std::size_t>(40 * (i % 8 + 1)), static_cast<char>('a' + i % 8)) +
                              "')";
      EXPECT_EQ(run_sql(*db, "INSERT INTO t (k, u, p) VALUES " + row), "affected 1");
    }
  }
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const std::string& f : {kPath, kPath + "-wal"}) {
    if (mem.exists(f)) files[f] = mem.bytes(f);
  }
  return files;
}

void load_files(MemVfs& mem, const std::map<std::string, std::vector<std::uint8_t>>& files) {
  mem.clear();
  for (const auto& [name, bytes] : files) mem.bytes(name) = bytes;
}

// The last commit the files hold, as a reader would take it: the change
// counter of the newest header (that of the log's last commit frame, else
// the database file's), how far the log's committed frames reach (bytes
// after the last commit frame belong to no transaction), and whether a
// journal lies beside the file (a commit under way, or one to undo). Every
// commit raises the counter; a checkpoint empties the log. A log emptied and
// refilled cannot reach as far with the same counter, since counters only
// grow.
struct Committed {
  std::uint32_t counter = 0;
  std::uint64_t log_end = 0;
  bool journal = false;
  friend bool operator==(const Committed&, const Committed&) = default;
};

std::ostream& operator<<(std::ostream& os, const Committed& c) {
  return os << "{counter " << c.counter << ", log to " << c.log_end << (c.journal ? ", a journal}" : "}");
}

Committed committed(MemVfs& mem) {
  Committed c;
  const std::vector<std::uint8_t>& file = mem.bytes(kPath);
  const Result<DbHeader> header = DbHeader::decode(file.data(), file.size());
  EXPECT_TRUE(header.ok()) << "the database file has no header";
  if (!header.ok()) return c;
  c.counter = header->change_counter;
  c.journal = mem.exists(kPath + "-journal");
  if (!mem.exists(kPath + "-wal")) return c;
  const std::vector<std::uint8_t>& log = mem.bytes(kPath + "-wal");
  const std::size_t frame = header->page_size + Wal::kFrameHeaderSize;
  for (std::size_t at = 0; at + frame <= log.size(); at += frame) {
    if (load_be32(log.data() + at + 4) != 0) c.log_end = at + frame;  // a commit frame
  }
  if (c.log_end == 0) return c;
  const Result<DbHeader> newest =
      DbHeader::decode(log.data() + c.log_end - header->page_size, header->page_size);
  EXPECT_TRUE(newest.ok()) << "the last commit frame holds no header";
  if (newest.ok()) c.counter = newest->change_counter;
  return c;
}

// What a statement reported as done must have left in the files (`before`
// taken right before it, `after` right after it).
void expect_done(const Case& c, bool inside, const Committed& before, const Committed& after,
                 const std::string& where) {
  EXPECT_FALSE(after.journal) << where << ": a journal is left beside the file";
  if (c.writes && (!inside || c.sql == "COMMIT")) {
    EXPECT_NE(after.counter, before.counter) << where << ": reported as done, yet nothing was committed";
  } else if (c.checkpoint) {
    EXPECT_EQ(after.counter, before.counter) << where;
    EXPECT_EQ(after.log_end, 0u) << where << ": reported as done, yet the log is not empty";
  } else {
    EXPECT_EQ(after, before) << where << ": the files changed before any COMMIT";
  }
}

// Runs the case's statement: as text, or prepared (prepared before arming,
// the one parameter bound to 77). With `arm_at`, the statement runs with
// its arm_at-th allocation failing; the failure is disarmed before the
// outcome is shown as text.
std::string run_case(Database& db, const Case& c, std::optional<std::uint64_t> arm_at) {
  if (!c.prepared) {
    if (arm_at) fail_allocation_at(*arm_at);
    const Result<std::vector<ExecResult>> r = db.execute(c.sql);
    (void)stop_failing_allocations();
    return results_text(r);
  }
  auto stmt = db.prepare(c.sql);
  if (!stmt.ok()) return "!" + stmt.error().to_string();
  const Value param = Value::integer(77);
  if (arm_at) fail_allocation_at(*arm_at);
  const Result<ExecResult> r = db.execute_prepared(*stmt, std::span<const Value>(&param, 1));
  (void)stop_failing_allocations();
  return r.ok() ? result_text(*r) : "!" + r.error().to_string();
}

struct Outcome {
  std::string report;  // what the statement gave, or "bad_alloc"
  bool threw = false;
};

Outcome run_armed(Database& db, const Case& c, std::uint64_t n) {
  Outcome o;
  try {
    o.report = run_case(db, c, n);
  } catch (const std::bad_alloc&) {
    (void)stop_failing_allocations();
    o.threw = true;
    o.report = "bad_alloc";
  }
  return o;
}

std::uint64_t sweep_step(std::uint64_t n) {
  static const bool full = [] {
    const char* v = std::getenv("BKF_ALLOC_SWEEP");
    return v != nullptr && std::string(v) == "full";
  }();
  return full || n < 400 ? 1 : 7;
}

class AllocFailure : public ::testing::TestWithParam<const char*> {};

TEST_P(AllocFailure, EveryAllocationOfAStatement) {
  const std::string mode = GetParam();
  const auto files = base_files(mode);
  ASSERT_FALSE(HasFailure());
  MemVfs mem;
  std::uint64_t tried = 0, failed = 0;

  for (Case c : kCases) {
    c.sql = case_sql(c, mode);
    for (const bool inside : {false, true}) {
      if (inside ? !c.inside : !c.outside) continue;
      const std::string what = std::string(c.name) + (inside ? " inside BEGIN" : "") + " (" + mode + " mode)";
      const std::string begin = inside ? "BEGIN" + (c.prelude.empty() ? "" : "; " + c.prelude) : c.prelude;

      // The run without a failure: the states before and after.
      std::string old_state, new_state, report;
      load_files(mem, files);
      {
        auto db = Database::open(mem, kPath);
        ASSERT_TRUE(db.ok());
        old_state = state(*db);
        if (!begin.empty()) {
          ASSERT_NE(run_sql(*db, begin).substr(0, 1), "!") << what;
        }
        const Committed before = committed(mem);
        report = run_case(*db, c, std::nullopt);
        ASSERT_NE(report.substr(0, 1), "!") << what << ": " << report;
        expect_done(c, inside, before, committed(mem), what);
        if (inside && c.sql != "COMMIT") {
          ASSERT_EQ(run_sql(*db, "COMMIT"), "ok") << what;
        }
        new_state = state(*db);
      }

      std::uint64_t spoiled = 0, tried_here = 0;
      for (std::uint64_t n = 1;; n += sweep_step(n)) {
        const std::string where = what + ", allocation " + std::to_string(n);
        load_files(mem, files);
        auto opened = Database::open(mem, kPath);
        ASSERT_TRUE(opened.ok()) << where;
        std::optional<Database> failing(std::move(*opened));
        Database& db = *failing;
        if (!begin.empty()) {
          ASSERT_NE(run_sql(db, begin).substr(0, 1), "!") << where;
        }
        const Committed before = committed(mem);
        const Outcome o = run_armed(db, c, n);
        if (!allocation_failed()) {
          ASSERT_FALSE(o.threw) << where;
          break;  // the statement made fewer allocations
        }
        ++tried;
        ++tried_here;
        const Committed after = committed(mem);
        if (!o.threw) {
          // Swallowed where failing is allowed to go unseen: the statement
          // succeeded whole.
          ASSERT_EQ(o.report, report) << where;
          expect_done(c, inside, before, after, where);
        } else {
          ++failed;
          // A caller told of the failure may run the statement again: it
          // must not have been applied.
          EXPECT_EQ(after, before) << where << ": reported as failed, yet the files changed";
        }

        // Inside BEGIN the transaction goes on. A failure that may have
        // stopped a write half-way spoiled it: COMMIT refuses and ROLLBACK
        // ends it. Otherwise (the failure came before anything changed, or
        // the statement only reads) COMMIT keeps the transaction without a
        // trace of the statement. Either way the table ends as it was
        // before BEGIN (the cases run inside BEGIN with a prelude fail only
        // at their COMMIT, which ends the transaction itself).
        if (inside && c.sql != "COMMIT") {
          const std::string committed = run_sql(db, "COMMIT");
          if (committed != "ok") {
            EXPECT_EQ(committed, std::string("!transaction error: ") + kTxSpoiledOutOfMemory) << where;
            EXPECT_EQ(run_sql(db, "ROLLBACK"), "ok") << where;
            ++spoiled;
          }
        }
        std::string expected = o.threw ? old_state : new_state;
        if (c.sql == "COMMIT" && o.threw && db.in_transaction()) {
          // Failed before it began (parsing it): the transaction is whole,
          // and COMMIT again commits it.
          EXPECT_EQ(run_sql(db, "COMMIT"), "ok") << where;
          expected = new_state;
        }
        EXPECT_FALSE(db.in_transaction()) << where;
        EXPECT_FALSE(mem.locked(kPath)) << where << ": the database file is still locked";
        EXPECT_FALSE(mem.exists(kPath + "-wal") && mem.locked(kPath + "-wal")) << where << ": the log is still locked";
        EXPECT_EQ(state(db), expected) << where;
        {
          auto other = Database::open(mem, kPath);
          ASSERT_TRUE(other.ok()) << where << ": " << other.error().to_string();
          EXPECT_EQ(state(*other), expected) << where;
          EXPECT_EQ(run_sql(*other, "INSERT INTO log (msg) VALUES ('other')"), "affected 1") << where;
          EXPECT_EQ(run_sql(*other, "PRAGMA wal_checkpoint"), "ok") << where;
        }
        EXPECT_EQ(run_sql(db, "INSERT INTO log (msg) VALUES ('after')"), "affected 1") << where;
        failing.reset();
        auto again = Database::open(mem, kPath);
        ASSERT_TRUE(again.ok()) << where;
        EXPECT_EQ(run_sql(*again, "SELECT msg FROM log ORDER BY id"), "[msg] ('other') ('after')") << where;
        EXPECT_EQ(state(*again), expected) << where;
        EXPECT_EQ(run_sql(*again, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << where;
        if (HasFailure()) return;
      }
      ASSERT_GT(tried_here, 0u) << what << ": " << kAllocationFailureNotInEffect;
      // A statement that writes fails inside its writes at some point.
      if (inside && c.writes && c.sql != "COMMIT") {
        EXPECT_GT(spoiled, 0u) << what << ": no failure spoiled the transaction";
      }
    }
  }
  std::printf("allocation failures (%s): %llu tried, %llu reached the caller\n", mode.c_str(),
              static_cast<unsigned long long>(tried), static_cast<unsigned long long>(failed));
}

// A setting of the connection that runs out of memory is reported as
// failed only when the setting is as before.
TEST(AllocFailureOfASetting, EveryAllocation) {
  MemVfs mem;
  auto db = Database::open(mem, kPath);
  ASSERT_TRUE(db.ok());
  std::uint64_t tried = 0;
  for (std::uint64_t n = 1;; ++n) {
    const std::string where = "allocation " + std::to_string(n);
    ASSERT_EQ(run_sql(*db, "PRAGMA synchronous = 2"), "[synchronous] (2)");
    bool threw = false;
    std::optional<Result<std::vector<ExecResult>>> r;
    fail_allocation_at(n);
    try {
      r.emplace(db->execute("PRAGMA synchronous = 0"));
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    (void)stop_failing_allocations();
    if (!allocation_failed()) break;
    ++tried;
    if (!threw) {
      EXPECT_EQ(results_text(*r), "[synchronous] (0)") << where;
    }
    EXPECT_EQ(run_sql(*db, "PRAGMA synchronous"), threw ? "[synchronous] (2)" : "[synchronous] (0)") << where;
  }
  EXPECT_GT(tried, 0u) << kAllocationFailureNotInEffect;
}

// Opening a database that must first be recovered (journal mode: a hot
// journal left by a commit that died before removing it; WAL mode: a log
// holding commits): an open that runs out of memory holds no lock, and the
// next open recovers the same state.
TEST_P(AllocFailure, EveryAllocationOfAnOpen) {
  const std::string mode = GetParam();
  MemVfs mem;
  load_files(mem, base_files(mode));
  std::string before;
  {
    auto db = Database::open(mem, kPath);
    ASSERT_TRUE(db.ok());
    before = state(*db);
  }
  if (mode == "delete") {
    FaultVfs fault(mem);
    auto db = Database::open(fault, kPath);
    ASSERT_TRUE(db.ok());
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Unlink), .nth = 1, .action = FaultPlan::Action::Crash});
    (void)run_sql(*db, "UPDATE t SET p = 'z', k = 9 WHERE id < 30");
    ASSERT_TRUE(fault.crashed());
    ASSERT_TRUE(mem.exists(kPath + "-journal"));
  }
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const std::string& f : {kPath, kPath + "-journal", kPath + "-wal"}) {
    if (mem.exists(f)) files[f] = mem.bytes(f);
  }

  std::uint64_t tried = 0;
  for (std::uint64_t n = 1;; n += sweep_step(n)) {
    const std::string where = mode + " mode, allocation " + std::to_string(n);
    load_files(mem, files);
    fail_allocation_at(n);
    try {
      // (It may also succeed: a frame that finds no room in the pool of
      // free frames is simply freed.)
      auto db = Database::open(mem, kPath);
      EXPECT_TRUE(db.ok()) << where;
    } catch (const std::bad_alloc&) {
    }
    (void)stop_failing_allocations();
    if (!allocation_failed()) break;
    ++tried;
    EXPECT_FALSE(mem.locked(kPath)) << where;
    EXPECT_FALSE(mem.exists(kPath + "-wal") && mem.locked(kPath + "-wal")) << where;
    auto db = Database::open(mem, kPath);
    ASSERT_TRUE(db.ok()) << where << ": " << db.error().to_string();
    EXPECT_FALSE(mem.exists(kPath + "-journal")) << where;
    EXPECT_EQ(state(*db), before) << where;
    EXPECT_EQ(run_sql(*db, "INSERT INTO log (msg) VALUES ('after')"), "affected 1") << where;
    EXPECT_EQ(run_sql(*db, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << where;
    if (HasFailure()) return;
  }
  EXPECT_GT(tried, 20u) << (tried == 0 ? kAllocationFailureNotInEffect : "");
}

INSTANTIATE_TEST_SUITE_P(BothModes, AllocFailure, ::testing::Values("delete", "wal"));

}  // namespace
}  // namespace bkf::testing
