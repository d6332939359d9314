// Failures of the file layer under the statement frame: every write, sync,
// truncation and unlink of an autocommit statement, of an explicit COMMIT
// and of a schema change is made to fail in turn. Whatever fails, the
// statement either took effect whole or not at all, no transaction and no
// file lock is left behind, the schema in memory matches the file, and the
// database stays usable and consistent, also after a reopen. Inside BEGIN,
// where a statement only reads the file, every read of a write statement is
// made to fail in turn: the transaction is spoiled, nothing of it can be
// committed, and ROLLBACK brings back the data as it was before BEGIN.
// Every lock request of each kind of statement, and of an open, is
// interrupted in turn (as a signal ends a lock wait): the statement fails
// with nothing held or changed, and the next ones work.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_testing.h"
#include "pager/os_vfs.h"
#include "pager/pager.h"
#include "support/fault_vfs.h"
#include "support/lock_probe.h"

namespace bkf::testing {
namespace {

// Puts the table back as SetUp left it.
constexpr const char* kReset = "DELETE FROM t WHERE id > 1; UPDATE t SET v = 'one'; DROP TABLE IF EXISTS extra";

class CommitFaults : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    auto db = Database::open(fault, path);
    ASSERT_TRUE(db.ok()) << db.error().to_string();
    ASSERT_EQ(run_sql(*db, std::string("PRAGMA journal_mode = ") + GetParam()),
              std::string("[journal_mode] ('") + GetParam() + "')");
    ASSERT_EQ(run_sql(*db, "CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT UNIQUE)"), "ok");
    ASSERT_EQ(run_sql(*db, "INSERT INTO t VALUES (1, 'one')"), "affected 1");
  }

  // No lock on the database file or the log, and no transaction.
  void expect_idle(Database& db, const std::string& where) { expect_idle(db, where, path); }
  void expect_idle(Database& db, const std::string& where, const std::string& file) {
    EXPECT_FALSE(db.in_transaction()) << where;
    expect_unlocked(file, where);
  }
  void expect_unlocked(const std::string& file, const std::string& where) {
    EXPECT_FALSE(lock_would_block(file, true)) << where;
    if (os.exists(file + "-wal")) {
      EXPECT_FALSE(lock_would_block(file + "-wal", true)) << where;
    }
  }

  // A database of its own at `file`, in this test's mode, holding t as
  // SetUp leaves it.
  void make_db(const std::string& file) {
    Database db = open_db(file);
    ASSERT_EQ(run_sql(db, std::string("PRAGMA journal_mode = ") + GetParam()),
              std::string("[journal_mode] ('") + GetParam() + "')");
    ASSERT_EQ(run_sql(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT UNIQUE)"), "ok");
    ASSERT_EQ(run_sql(db, "INSERT INTO t VALUES (1, 'one')"), "affected 1");
  }

  // Another connection to `file` dies in the middle of committing
  // (3, 'three'), past its journal's creation: its journal is left behind.
  void leave_hot_journal(const std::string& file) {
    FaultVfs crashing{os};
    auto other = Database::open(crashing, file);
    ASSERT_TRUE(other.ok());
    crashing.arm({.ops = static_cast<unsigned>(FaultOp::Unlink), .nth = 1, .action = FaultPlan::Action::Crash});
    (void)run_sql(*other, "INSERT INTO t VALUES (3, 'three')");
    ASSERT_TRUE(crashing.crashed());
    ASSERT_TRUE(os.exists(file + "-journal"));
  }

  bool is_wal() const { return std::string(GetParam()) == "wal"; }

  // The place of a COMMIT's removal of its journal among the operations of
  // kinds `ops` it performs through `vfs`: `db`'s open transaction, which
  // inserted (2, 'two'), is committed, and then opened again as it was.
  std::uint64_t removal_place(FaultVfs& vfs, Database& db, unsigned ops) {
    std::uint64_t removal = 0;
    vfs.set_hook([&](FaultOp op, std::uint64_t n) {
      if (op == FaultOp::Unlink && removal == 0) removal = n;
    });
    vfs.arm({.ops = ops});
    EXPECT_EQ(run_sql(db, "COMMIT; DELETE FROM t WHERE id = 2; BEGIN; INSERT INTO t VALUES (2, 'two')"),
              "ok / affected 1 / ok / affected 1");
    vfs.set_hook(nullptr);
    EXPECT_GT(removal, 0u);
    return removal;
  }

  // Runs `setup` unarmed, then `sql` with the nth counted operation
  // failing, for every n the statement performs; `check` looks at the
  // outcome.
  template <class Check>
  void sweep(const std::string& setup, const std::string& sql, Check&& check) {
    std::uint64_t total = 0;
    {
      auto db = Database::open(fault, path);
      ASSERT_TRUE(db.ok());
      ASSERT_NE(run_sql(*db, setup).substr(0, 1), "!");
      fault.disarm();
      ASSERT_NE(run_sql(*db, sql).substr(0, 1), "!");
      total = fault.count();
      ASSERT_NE(run_sql(*db, kReset).substr(0, 1), "!");
    }
    // At least a write, a sync and, in journal mode, the journal's removal.
    ASSERT_GE(total, 2u);
    for (std::uint64_t n = 1; n <= total; ++n) {
      const std::string where = sql + " failing at operation " + std::to_string(n);
      auto db = Database::open(fault, path);
      ASSERT_TRUE(db.ok()) << where;
      ASSERT_NE(run_sql(*db, setup).substr(0, 1), "!") << where;
      FaultPlan plan;
      plan.nth = n;
      plan.torn = n % 2 == 0;
      fault.arm(plan);
      const std::string got = run_sql(*db, sql);
      fault.disarm();
      expect_idle(*db, where);
      const bool failed = got.substr(0, 1) == "!";
      check(*db, failed, where);
      EXPECT_EQ(run_sql(*db, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << where;
      // The same database goes on working, and another connection agrees.
      EXPECT_EQ(run_sql(*db, "INSERT INTO t VALUES (100, 'after')"), "affected 1") << where;
      {
        Database other = open_db(path);
        check(other, failed, where);
        EXPECT_EQ(run_sql(other, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << where;
        EXPECT_NE(run_sql(other, kReset).substr(0, 1), "!") << where;
      }
    }
  }

  TempDir dir;
  std::string path = dir.file("f.db");
  OsVfs os;
  FaultVfs fault{os};
};

// An autocommit statement, an explicit COMMIT and a schema change (whose
// catalog must agree with the file: the table is there exactly when the
// statement succeeded, and its name is usable either way).
TEST_P(CommitFaults, EveryOperationOfACommitFails) {
  const struct {
    const char *setup, *sql, *query, *if_failed, *if_done;
  } cases[] = {
      {"SELECT 1", "INSERT INTO t VALUES (2, 'two')", "SELECT count(*) FROM t WHERE id = 2", "[count(*)] (0)",
       "[count(*)] (1)"},
      {"BEGIN; INSERT INTO t VALUES (2, 'two'); UPDATE t SET v = 'uno' WHERE id = 1", "COMMIT",
       "SELECT v FROM t WHERE id <= 2 ORDER BY id", "[v] ('one')", "[v] ('uno') ('two')"},
      {"SELECT 1", "CREATE TABLE extra (a INT UNIQUE)", "SELECT * FROM extra",
       "!execution error: no such table: extra", "[a]"},
  };
  for (const auto& c : cases) {
    sweep(c.setup, c.sql, [&](Database& db, bool failed, const std::string& where) {
      EXPECT_EQ(run_sql(db, c.query), failed ? c.if_failed : c.if_done) << where;
    });
  }
}

// A journal-mode COMMIT whose removal of the journal (its commit point)
// fails. Whether the journal went is told by its open file, not by its
// name: a removal that went through before failing (EIO, or ENOENT as a
// retried one reports it) has committed, also when every look-up of the
// journal's name fails; COMMIT says so, and every connection sees the row.
// One that left the journal fails, and the connection undoes the commit
// through the journal's open file; where even the open file cannot tell,
// the failure stands and is made true the same way. An undo that cannot
// tell whether the journal is at its name (its look-ups fail) writes
// nothing and keeps the database's lock: the next statement fails the same
// way, and the first one after the look-ups mend finishes the undo.
// Afterwards every connection agrees with what COMMIT said.
TEST_P(CommitFaults, ACommitWhoseJournalRemovalFails) {
  if (is_wal()) GTEST_SKIP() << "a log commit removes no journal";
  const unsigned unlink = static_cast<unsigned>(FaultOp::Unlink), look = static_cast<unsigned>(FaultOp::Size);
  const std::string io_error = "!io error: Input/output error (os error 5)";
  const struct {
    const char* name;
    FaultPlan plan;
    bool names_unreadable;
    std::string commit, count;
    bool keeps_lock = false;  // after COMMIT, until the next statement
  } cases[] = {
      {"removed, then EIO", {.ops = unlink, .nth = 1, .torn = true}, false, "ok", "[count(*)] (1)"},
      {"removed, then ENOENT", {.ops = unlink, .nth = 1, .error = ENOENT, .torn = true}, false, "ok",
       "[count(*)] (1)"},
      {"not removed", {.ops = unlink, .nth = 1}, false, io_error, "[count(*)] (0)"},
      {"removed, then EIO, the name unreadable", {.ops = unlink, .nth = 1, .torn = true}, true, "ok",
       "[count(*)] (1)"},
      {"not removed, the name unreadable", {.ops = unlink, .nth = 1}, true, io_error, "[count(*)] (0)", true},
      {"removed, and every look fails", {.ops = unlink | look, .torn = true, .persistent = true}, false, io_error,
       "[count(*)] (0)", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto db = Database::open(fault, path);
    ASSERT_TRUE(db.ok());
    ASSERT_NE(run_sql(*db, "DELETE FROM t WHERE id = 2").substr(0, 1), "!");
    ASSERT_EQ(run_sql(*db, "BEGIN; INSERT INTO t VALUES (2, 'two')"), "ok / affected 1");
    FaultPlan plan = c.plan;
    if (plan.nth == 0) plan.nth = removal_place(fault, *db, plan.ops);
    if (c.names_unreadable) fault.fail_path_lookups("-journal");
    fault.arm(plan);
    EXPECT_EQ(run_sql(*db, "COMMIT"), c.commit);
    EXPECT_TRUE(fault.fired());
    fault.disarm();
    EXPECT_FALSE(db->in_transaction());
    EXPECT_EQ(lock_would_block(path, true), c.keeps_lock);
    const std::string query = "SELECT count(*) FROM t WHERE id = 2";
    if (c.names_unreadable) {
      EXPECT_EQ(run_sql(*db, query), io_error);
      EXPECT_EQ(lock_would_block(path, true), c.keeps_lock);
      fault.fail_path_lookups("");
    }
    EXPECT_EQ(run_sql(*db, "ROLLBACK"), "!transaction error: no active transaction to roll back");
    EXPECT_EQ(run_sql(*db, query), c.count);
    EXPECT_FALSE(os.exists(path + "-journal"));
    Database other = open_db(path);
    EXPECT_EQ(run_sql(other, query + "; PRAGMA integrity_check"), c.count + " / [integrity_check] ('ok')");
    EXPECT_EQ(run_sql(*db, "INSERT INTO t VALUES (3, 'three'); DELETE FROM t WHERE id = 3"),
              "affected 1 / affected 1");
  }
}

// The database's folder is renamed by another program between the sync of
// the database file and the journal's removal: the removal finds nothing at
// the journal's name, but the journal lives on under the folder's new name,
// where the next opener would replay it. So COMMIT fails, and the
// connection undoes the commit through the journal's open file and leaves
// the journal worthless: the connection and an opener of the new name
// agree on the old rows, and the journal there is discarded. When that undo
// fails too (a write of it), the connection finishes it before its next
// read, unless an opener of the new name has replayed the journal first.
TEST_P(CommitFaults, ACommitWhoseFolderIsRenamedBeforeItsJournalGoes) {
  if (is_wal()) GTEST_SKIP() << "a log commit removes no journal";
  const unsigned unlink = static_cast<unsigned>(FaultOp::Unlink), write = static_cast<unsigned>(FaultOp::Write);
  const std::string query = "SELECT count(*) FROM t WHERE id = 2; PRAGMA integrity_check";
  const std::string old_rows = "[count(*)] (0) / [integrity_check] ('ok')";
  enum class Undo { Done, FailsThenThisConnection, FailsThenAnOpener };
  for (Undo undo : {Undo::Done, Undo::FailsThenThisConnection, Undo::FailsThenAnOpener}) {
    SCOPED_TRACE(undo == Undo::Done ? "undone" : undo == Undo::FailsThenThisConnection ? "undo fails, then this connection"
                                                                                      : "undo fails, then an opener");
    const std::string folder = dir.file("sub"), moved = dir.file("moved");
    std::filesystem::remove_all(folder);
    std::filesystem::remove_all(moved);
    std::filesystem::create_directory(folder);
    const std::string file = folder + "/f.db";
    make_db(file);
    auto db = Database::open(fault, file);
    ASSERT_TRUE(db.ok());
    // The first write after the removal is the undo's first.
    std::uint64_t removal = 0;
    fault.set_hook([&](FaultOp op, std::uint64_t n) {
      if (op == FaultOp::Unlink && removal == 0) removal = n;
    });
    fault.arm({.ops = unlink | write});
    ASSERT_EQ(run_sql(*db, "BEGIN; INSERT INTO t VALUES (2, 'two'); COMMIT; DELETE FROM t WHERE id = 2"),
              "ok / affected 1 / ok / affected 1");
    ASSERT_GT(removal, 0u);
    ASSERT_EQ(run_sql(*db, "BEGIN; INSERT INTO t VALUES (2, 'two')"), "ok / affected 1");
    bool renamed = false;
    fault.set_hook([&](FaultOp op, std::uint64_t) {
      if (op == FaultOp::Unlink && !renamed) renamed = (std::filesystem::rename(folder, moved), true);
    });
    fault.arm({.ops = unlink | write, .nth = undo == Undo::Done ? 0 : removal + 1});
    EXPECT_EQ(run_sql(*db, "COMMIT"), "!io error: No such file or directory (os error 2)");
    fault.set_hook(nullptr);
    fault.disarm();
    ASSERT_TRUE(renamed);
    EXPECT_FALSE(db->in_transaction());
    expect_unlocked(moved + "/f.db", "after the failed COMMIT");
    const std::string journal = moved + "/f.db-journal";
    ASSERT_TRUE(std::filesystem::exists(journal));
    EXPECT_EQ(std::filesystem::file_size(journal) == 0, undo == Undo::Done);
    if (undo != Undo::FailsThenAnOpener) {
      EXPECT_EQ(run_sql(*db, query), old_rows);
      EXPECT_EQ(std::filesystem::file_size(journal), 0u) << "the journal is still worth replaying";
    }
    Database other = open_db(moved + "/f.db");
    EXPECT_FALSE(std::filesystem::exists(journal));
    EXPECT_EQ(run_sql(other, query), old_rows);
    EXPECT_EQ(run_sql(other, "INSERT INTO t VALUES (2, 'two'); SELECT count(*) FROM t"),
              "affected 1 / [count(*)] (2)");
    // The undo left for this connection is another's now: not done again.
    EXPECT_EQ(run_sql(*db, "SELECT count(*) FROM t; PRAGMA integrity_check"),
              "[count(*)] (2) / [integrity_check] ('ok')");
  }
}

// A journal-mode COMMIT fails at its journal's removal, and the undo that
// follows fails too. While the database may hold any part of the failed
// transaction, nobody else reads it unless a journal at its name makes
// them undo the transaction first:
//   - the journal at its name (never removed, or put back there by the
//     undo before it wrote anything, when the removal took the name but
//     another link kept the file): the lock goes; another process that
//     opens the database finds the journal, undoes the transaction and
//     commits, and this connection then drops its undo; or this
//     connection finishes the undo first, at its next statement;
//   - the journal at no name (the removal took it, and either another link
//     keeps the file and the undo could not put it back, or no look can
//     tell): the connection keeps the database's lock, and another process
//     waits for it until this connection's next statement finishes the
//     undo. Killed before that, or closed while the undo still fails, the
//     connection leaves the failed transaction whole, for good.
// No acknowledged commit is lost, and every connection ends on the same
// rows with integrity_check ok; a second name of the journal that no
// opener looks at is left alone.
TEST_P(CommitFaults, AFailedUndoLetsNobodyReadHalfOfItsTransaction) {
  if (is_wal()) GTEST_SKIP() << "a log commit removes no journal";
  const unsigned unlink = static_cast<unsigned>(FaultOp::Unlink), sync = static_cast<unsigned>(FaultOp::Sync),
                 write = static_cast<unsigned>(FaultOp::Write), look = static_cast<unsigned>(FaultOp::Size);
  const std::string folder = dir.file("undo"), moved = dir.file("undo-moved");
  const std::string file = folder + "/f.db", journal = file + "-journal", second_name = dir.file("journal.bak");
  enum class Link { None, AfterCommit, BeforeRemoval };
  enum class Then { OtherFirst, ThisFirst, OtherWaits, Killed, Closed };
  const struct {
    const char* name;
    unsigned ops;        // the removal fails, and of these kinds:
    std::uint64_t also;  //   the also-th after it, once (the undo's own), or
    bool persistent;     //   every one after it, until the next statement
    bool removes;        // the failing removal takes the name first
    Link link;
    bool keeps_lock;
    Then then;
    bool rename;        // the folder is renamed after the other's commit
    const char* rows;   // in the end: (2) is the failed COMMIT's, (3) the other's
  } cases[] = {
      {"at its name, the undo's sync fails, undone by an opener", unlink | sync, 0, true, false, Link::None, false,
       Then::OtherFirst, false, "[id] (3)"},
      {"the same, linked to a second name after COMMIT", unlink | sync, 0, true, false, Link::AfterCommit, false,
       Then::OtherFirst, false, "[id] (3)"},
      {"at its name, this connection first", unlink | sync, 0, true, false, Link::None, false, Then::ThisFirst,
       false, "[id] (3)"},
      {"put back, the undo's third write fails, undone by an opener", unlink | write, 3, false, true,
       Link::BeforeRemoval, false, Then::OtherFirst, false, "[id] (3)"},
      {"put back, the undo's sync of the database fails, undone by an opener, the folder renamed", unlink | sync, 3,
       false, true, Link::BeforeRemoval, false, Then::OtherFirst, true, "[id] (3)"},
      {"removed, no look tells, another process waits", unlink | look | write, 0, true, true, Link::None, true,
       Then::OtherWaits, false, "[id] (3)"},
      {"not put back, another process waits", unlink | write, 0, true, true, Link::BeforeRemoval, true,
       Then::OtherWaits, false, "[id] (3)"},
      {"not put back, killed right after COMMIT", unlink | write, 0, true, true, Link::BeforeRemoval, true,
       Then::Killed, false, "[id] (2) (3)"},
      {"not put back, closed while the undo still fails", unlink | write, 0, true, true, Link::BeforeRemoval, true,
       Then::Closed, false, "[id] (2) (3)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(folder);
    std::filesystem::remove_all(moved);
    std::filesystem::remove(second_name);
    std::filesystem::create_directory(folder);
    make_db(file);
    FaultVfs vfs{os};  // a crash stays one: a layer for each case
    std::optional<Database> db;
    {
      auto opened = Database::open(vfs, file);
      ASSERT_TRUE(opened.ok());
      db.emplace(std::move(*opened));
    }
    ASSERT_EQ(run_sql(*db, "BEGIN; INSERT INTO t VALUES (2, 'two')"), "ok / affected 1");
    const std::uint64_t removal = removal_place(vfs, *db, c.ops);
    vfs.set_hook([&](FaultOp op, std::uint64_t) {
      if (op == FaultOp::Unlink && c.link == Link::BeforeRemoval && !std::filesystem::exists(second_name)) {
        std::filesystem::create_hard_link(journal, second_name);
      }
    });
    vfs.arm({.ops = c.ops,
               .nth = removal,
               .torn = c.removes,
               .persistent = c.persistent,
               .also_nth = c.also == 0 ? 0 : removal + c.also});
    EXPECT_EQ(run_sql(*db, "COMMIT"), "!io error: Input/output error (os error 5)");
    vfs.set_hook(nullptr);
    EXPECT_FALSE(db->in_transaction());
    EXPECT_EQ(lock_would_block(file, true), c.keeps_lock);
    if (c.link == Link::AfterCommit) std::filesystem::create_hard_link(journal, second_name);
    if (c.then != Then::Closed) vfs.disarm();
    const std::string query = "SELECT id FROM t WHERE id > 1 ORDER BY id";
    auto other_commits = [&] {
      Database other = open_db(file);
      EXPECT_EQ(run_sql(other, "INSERT INTO t VALUES (3, 'three')"), "affected 1");
    };
    std::string here = file;
    switch (c.then) {
      case Then::OtherFirst: {
        Database other = open_db(file);
        EXPECT_FALSE(os.exists(journal));
        EXPECT_EQ(run_sql(other, query + "; INSERT INTO t VALUES (3, 'three')"), "[id] / affected 1");
        break;
      }
      case Then::ThisFirst:
        EXPECT_EQ(run_sql(*db, query), "[id]");
        EXPECT_FALSE(os.exists(journal));
        other_commits();
        break;
      case Then::OtherWaits: {
        // Another process waits for the lock, and gets it once this
        // connection's next statement has undone the transaction.
        const pid_t child = fork();
        if (child == 0) {
          auto other = Database::open(file);
          if (!other.ok()) _exit(2);
          _exit(run_sql(*other, query + "; INSERT INTO t VALUES (3, 'three')") == "[id] / affected 1" ? 0 : 3);
        }
        ASSERT_GT(child, 0);
        EXPECT_TRUE(wait_for_lock_waiter(file));
        EXPECT_EQ(run_sql(*db, "SELECT count(*) FROM t WHERE id = 2"), "[count(*)] (0)");
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        break;
      }
      case Then::Killed:
        // Every file operation from here on fails without touching the
        // disk, the close's last try of the undo included.
        vfs.arm({.ops = kChangeOps | kLookupOps, .nth = 1, .action = FaultPlan::Action::Crash});
        db.reset();
        other_commits();
        break;
      case Then::Closed:
        db.reset();
        vfs.disarm();
        other_commits();
        break;
    }
    if (c.rename) {
      std::filesystem::rename(folder, moved);
      here = moved + "/f.db";
    }
    if (db) {
      EXPECT_EQ(run_sql(*db, query + "; PRAGMA integrity_check"), std::string(c.rows) + " / [integrity_check] ('ok')");
    }
    Database later = open_db(here);
    EXPECT_EQ(run_sql(later, query + "; PRAGMA integrity_check"), std::string(c.rows) + " / [integrity_check] ('ok')");
    if (c.link != Link::None) {
      // Cut by the opener that undid the journal through it; else not this
      // database's journal any more, left as the undo found it.
      EXPECT_EQ(std::filesystem::file_size(second_name) == 0, c.link == Link::AfterCommit);
    }
  }
  std::filesystem::remove(second_name);
}

// A connection whose failed COMMIT keeps the database's lock (its journal
// could not be put back at its name) is killed at each file operation of
// the statement that tries the undo again: whatever it wrote, the next
// opener finds the database as before the transaction, or, killed before
// the journal was back at its name, with the whole transaction; and the
// file checks ok.
TEST_P(CommitFaults, AConnectionKilledInItsRetriedUndoLeavesNoHalfTransaction) {
  if (is_wal()) GTEST_SKIP() << "a log commit removes no journal";
  const unsigned unlink = static_cast<unsigned>(FaultOp::Unlink), write = static_cast<unsigned>(FaultOp::Write);
  const std::string journal = path + "-journal", second_name = path + "-journal.bak";
  const std::string query = "SELECT id FROM t WHERE id > 1 ORDER BY id";
  std::uint64_t removal = 0, retried_ops = 0;
  for (std::uint64_t n = 1; retried_ops == 0 || n <= retried_ops; ++n) {
    SCOPED_TRACE("killed at operation " + std::to_string(n));
    std::filesystem::remove(second_name);
    FaultVfs vfs{os};  // a crash stays one: a layer for each run
    {
      auto db = Database::open(vfs, path);
      ASSERT_TRUE(db.ok());
      ASSERT_NE(run_sql(*db, "DELETE FROM t WHERE id > 1").substr(0, 1), "!");
      ASSERT_EQ(run_sql(*db, "BEGIN; INSERT INTO t VALUES (2, 'two')"), "ok / affected 1");
      if (removal == 0) removal = removal_place(vfs, *db, unlink | write);
      vfs.set_hook([&](FaultOp op, std::uint64_t) {
        if (op == FaultOp::Unlink && !std::filesystem::exists(second_name)) {
          std::filesystem::create_hard_link(journal, second_name);
        }
      });
      vfs.arm({.ops = unlink | write, .nth = removal, .torn = true, .persistent = true});
      ASSERT_EQ(run_sql(*db, "COMMIT"), "!io error: Input/output error (os error 5)");
      vfs.set_hook(nullptr);
      ASSERT_TRUE(lock_would_block(path, true));
      if (retried_ops == 0) {
        // The unarmed retry counts the operations to kill it at.
        vfs.arm({.ops = kChangeOps | kLookupOps});
        ASSERT_EQ(run_sql(*db, query), "[id]");
        retried_ops = vfs.count();
        ASSERT_GE(retried_ops, 5u);  // a write and a sync each of the journal and the database at least
        continue;
      }
      vfs.arm({.ops = kChangeOps | kLookupOps, .nth = n, .action = FaultPlan::Action::Crash});
      (void)run_sql(*db, query);
      ASSERT_TRUE(vfs.crashed());
    }
    Database later = open_db(path);
    const std::string rows = run_sql(later, query + "; PRAGMA integrity_check");
    EXPECT_TRUE(rows == "[id] / [integrity_check] ('ok')" || rows == "[id] (2) / [integrity_check] ('ok')") << rows;
    EXPECT_FALSE(os.exists(journal));
  }
  std::filesystem::remove(second_name);
}

// A crash at each file operation of a statement that gives trees back to the free list: reopened, the database holds
// the state before or after the statement, every page is used exactly once, and it goes on working.
TEST_P(CommitFaults, EveryOperationOfADropCrashes) {
  const std::string setup = std::string("PRAGMA journal_mode = ") + GetParam() +
                            "; CREATE TABLE extra (a INT UNIQUE, b TEXT); CREATE INDEX extra_a ON extra (a);"
                            "INSERT INTO extra VALUES (1, '" + std::string(9000, 'x') + "'), (2, 'two')";
  const struct {
    const char *sql, *query, *before, *after;
  } cases[] = {
      {"DROP TABLE extra", "SELECT count(*) FROM extra", "[count(*)] (2)", "!execution error: no such table: extra"},
      {"DROP INDEX extra_a", "CREATE INDEX extra_a ON extra (a)", "!schema error: index \"extra_a\" already exists",
       "ok"},
      {"PRAGMA reindex", "SELECT a FROM extra WHERE b = 'two'", "[a] (2)", "[a] (2)"},
  };
  int file = 0;
  for (const auto& c : cases) {
    for (std::uint64_t n = 1;; ++n) {
      const std::string where = std::string(c.sql) + " crashing at operation " + std::to_string(n);
      const std::string db_path = dir.file("crash" + std::to_string(file++) + ".db");
      FaultVfs crashing{os};
      {
        auto db = Database::open(crashing, db_path);
        ASSERT_TRUE(db.ok()) << where;
        ASSERT_EQ(run_sql(*db, setup).find('!'), std::string::npos) << where;
        crashing.arm({.nth = n, .action = FaultPlan::Action::Crash, .torn = n % 2 == 0});
        (void)run_sql(*db, c.sql);
      }
      if (!crashing.fired()) break;  // past the statement's last operation
      Database db = open_db(db_path);
      const std::string got = run_sql(db, c.query);
      EXPECT_TRUE(got == c.before || got == c.after) << where << ": " << got;
      EXPECT_EQ(run_sql(db, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << where;
      EXPECT_EQ(run_sql(db, "CREATE TABLE later (x INT); INSERT INTO later VALUES (1)"), "ok / affected 1") << where;
    }
  }
}

// Write statements inside BEGIN (row changes that split pages, grow rows
// into overflow chains and free pages, and a schema change), each run on a
// cold cache with its n-th read failing, for every n.
TEST_P(CommitFaults, AStorageErrorInsideBeginSpoilsTheTransaction) {
  std::string setup = "BEGIN; CREATE TABLE big (id INTEGER PRIMARY KEY, a TEXT UNIQUE, b TEXT, c TEXT); "
                      "CREATE INDEX big_b ON big (b)";
  for (int i = 1; i <= 60; ++i) {
    const auto len = static_cast<std::size_t>(i % 7 == 0 ? 2500 : 40 + i * 3);
    setup += "; INSERT INTO big VALUES (" + std::to_string(i) + ", 'k" + std::to_string(i) + "', '" +
             std::string(len % 200, 'b') + "', '" + std::string(len, static_cast<char>('a' + i % 26)) + "')";
  }
  setup += "; DELETE FROM big WHERE id % 5 = 0; COMMIT";
  {
    Database db = open_db(path);
    const std::string made = run_sql(db, setup);
    ASSERT_EQ(made.find('!'), std::string::npos) << made;
  }
  const std::string before = [&] {
    Database db = open_db(path);
    return run_sql(db, "SELECT * FROM big ORDER BY id; SELECT * FROM t");
  }();
  const char* statements[] = {
      "UPDATE big SET c = CONCAT(c, c, c), b = CONCAT(b, 'x'), a = CONCAT(a, 'x') WHERE id % 3 = 0",
      "DELETE FROM big WHERE id % 2 = 0",
      "INSERT INTO big (a, b, c) SELECT CONCAT(a, 'y'), b, c FROM big WHERE id < 40",
      "CREATE INDEX big_ab ON big (a, b)",
  };
  FaultVfs reads{os};
  constexpr unsigned kReadOps = unsigned(FaultOp::Read) | unsigned(FaultOp::Size);
  for (const char* sql : statements) {
    std::uint64_t total = 0;
    {
      auto db = Database::open(reads, path);
      ASSERT_TRUE(db.ok());
      ASSERT_EQ(run_sql(*db, "BEGIN"), "ok");
      reads.arm({.ops = kReadOps});
      ASSERT_EQ(run_sql(*db, sql).find('!'), std::string::npos) << sql;
      total = reads.count();
    }
    ASSERT_GE(total, 3u) << sql;
    for (std::uint64_t n = 1; n <= total; ++n) {
      const std::string where = std::string(sql) + " failing at read " + std::to_string(n);
      auto db = Database::open(reads, path);
      ASSERT_TRUE(db.ok()) << where;
      ASSERT_EQ(run_sql(*db, "BEGIN"), "ok") << where;
      reads.arm({.ops = kReadOps, .nth = n});
      const std::string got = run_sql(*db, sql);
      reads.arm({.ops = kReadOps});
      ASSERT_TRUE(got.starts_with("!io error") || got.starts_with("!short read")) << where << ": " << got;
      const std::string refused =
          "!transaction error: the transaction must be rolled back: a statement in it failed in the storage layer";
      EXPECT_EQ(run_sql(*db, "COMMIT"), refused) << where;
      EXPECT_EQ(run_sql(*db, "SELECT count(*) FROM t"), refused) << where;
      auto prepared = db->prepare("SELECT count(*) FROM t");
      EXPECT_TRUE(!prepared.ok() && "!" + prepared.error().to_string() == refused) << where;
      EXPECT_EQ(run_sql(*db, "ROLLBACK; PRAGMA integrity_check"), "ok / [integrity_check] ('ok')") << where;
      EXPECT_EQ(run_sql(*db, "SELECT * FROM big ORDER BY id; SELECT * FROM t"), before) << where;
      expect_idle(*db, where);
    }
  }
}

// A statement inside BEGIN that changes no page, a query, an integrity
// check or (in WAL mode) a checkpoint, with its n-th file operation failing
// for every n, on a cold cache: a storage error spoils the transaction as a
// write's does, since the connection may hold in memory what the files no
// longer agree with (a checkpoint that cut the log), and ROLLBACK brings
// back the state before BEGIN.
TEST_P(CommitFaults, AStorageErrorOfAReadOrCheckpointInsideBeginSpoils) {
  {
    Database db = open_db(path);
    std::string fill = "CREATE TABLE big (id INTEGER PRIMARY KEY, a TEXT, b TEXT); CREATE INDEX big_a ON big (a)";
    for (int i = 1; i <= 40; ++i) {
      fill += "; INSERT INTO big VALUES (" + std::to_string(i) + ", 'k" + std::to_string(i) + "', '" +
              std::string(static_cast<std::size_t>(i % 9 == 0 ? 5000 : 300), 'b') + "')";
    }
    ASSERT_EQ(run_sql(db, fill).find('!'), std::string::npos);
  }
  const std::string before = [&] {
    Database db = open_db(path);
    return run_sql(db, "SELECT * FROM big ORDER BY id; SELECT * FROM t");
  }();
  const std::string refused =
      "!transaction error: the transaction must be rolled back: a statement in it failed in the storage layer";
  std::vector<std::string> statements = {"SELECT a, length(b) FROM big WHERE a > 'k2' ORDER BY a",
                                         "PRAGMA integrity_check"};
  if (is_wal()) statements.push_back("PRAGMA wal_checkpoint");
  for (const std::string& sql : statements) {
    std::uint64_t n = 1;
    for (;; ++n) {  // until the statement no longer reaches the n-th operation
      const std::string where = sql + " failing at operation " + std::to_string(n);
      auto db = Database::open(fault, path);
      ASSERT_TRUE(db.ok()) << where;
      ASSERT_EQ(run_sql(*db, "BEGIN; UPDATE t SET v = 'changed'"), "ok / affected 1") << where;
      fault.arm({.ops = kChangeOps | kLookupOps, .nth = n});
      const std::string got = run_sql(*db, sql);
      const bool fired = fault.fired();
      fault.disarm();
      if (!fired) {
        EXPECT_EQ(got.find('!'), std::string::npos) << where << ": " << got;
        EXPECT_EQ(run_sql(*db, "ROLLBACK"), "ok") << where;
        break;
      }
      if (got.find('!') != 0) {
        // A failure the statement may drop (none here changes pages).
        EXPECT_EQ(run_sql(*db, "ROLLBACK"), "ok") << where;
        continue;
      }
      EXPECT_EQ(run_sql(*db, "COMMIT"), refused) << where << ", after " << got;
      EXPECT_EQ(run_sql(*db, "SELECT count(*) FROM t"), refused) << where;
      EXPECT_EQ(run_sql(*db, "ROLLBACK; PRAGMA integrity_check"), "ok / [integrity_check] ('ok')") << where;
      expect_idle(*db, where);
      EXPECT_EQ(run_sql(*db, "SELECT * FROM big ORDER BY id; SELECT * FROM t"), before) << where;
      EXPECT_EQ(run_sql(*db, "UPDATE t SET v = 'one'"), "affected 1") << where;
    }
    EXPECT_GT(n, 3u) << sql;
  }
}

constexpr unsigned kLockOps = static_cast<unsigned>(FaultOp::Lock);

// Every lock request of a statement fails in turn with EINTR, as when a
// signal ends the wait, once plainly and once having first given up the lock
// held (an interrupted conversion between shared and exclusive may): a read,
// a prepared statement, a write, BEGIN, checkpoints inside and outside a
// transaction, a mode switch, a read and a write over a crashed writer's
// journal, and a commit whose automatic checkpoint is interrupted. The
// statement fails with exactly that error (only the automatic checkpoint's
// failure leaves its commit a success, and the checkpoint comes with the
// next commit), nothing is left locked or changed (but for a COMMIT whose
// wait for the log was interrupted: its transaction stays open, and the
// next COMMIT commits it), and the next statements work, for this
// connection and another one.
TEST_P(CommitFaults, EveryLockRequestOfAStatementIsInterrupted) {
  const std::string injected = "!" + Error::io(EINTR).to_string();
  ASSERT_EQ(injected, "!io error: Interrupted system call (os error 4)");
  const std::string one = "[id, v] (1, 'one')", two = "[id, v] (1, 'one') (2, 'two')";
  const std::string to_mode = is_wal() ? "delete" : "wal", from_mode = GetParam();
  // Enough pages for the log to checkpoint itself at this commit.
  const std::string huge(std::size_t{Pager::kWalAutoCheckpoint} * Pager::kDefaultPageSize, 'h');
  enum class Only { Both, Wal, Journal };
  const struct Case {
    std::string name;
    Only only = Only::Both;
    std::string setup = "";    // run before, unarmed
    bool hot_journal = false;  // then another connection crashes mid-commit
    std::string sql;           // run with its n-th lock request failing
    bool prepared = false;     // sql goes through prepare, with the value 2
    std::string done;          // what sql gives when no failure stops it
    std::string after = "";    // run after, unarmed
    std::string query;       // the state, for every connection
    std::string if_failed, if_done;
    bool auto_checkpoint = false;
    bool commit_stays_open = false;  // an interrupted COMMIT keeps its transaction
  } cases[] = {
      {.name = "read", .sql = "SELECT v FROM t", .done = "[v] ('one')", .query = "SELECT * FROM t",
       .if_failed = one, .if_done = one},
      {.name = "prepared insert", .sql = "INSERT INTO t (id, v) VALUES (?, 'two')", .prepared = true,
       .done = "affected 1", .query = "SELECT * FROM t", .if_failed = one, .if_done = two},
      {.name = "autocommit write", .sql = "UPDATE t SET v = 'uno'", .done = "affected 1", .query = "SELECT * FROM t",
       .if_failed = one, .if_done = "[id, v] (1, 'uno')"},
      {.name = "BEGIN", .sql = "BEGIN; INSERT INTO t VALUES (2, 'two'); COMMIT", .done = "ok / affected 1 / ok",
       .query = "SELECT * FROM t", .if_failed = one, .if_done = two, .commit_stays_open = true},
      {.name = "checkpoint", .setup = "INSERT INTO t VALUES (2, 'two')", .sql = "PRAGMA wal_checkpoint",
       .done = "ok", .query = "SELECT * FROM t", .if_failed = two, .if_done = two},
      // A statement failing inside BEGIN leaves the transaction open.
      {.name = "checkpoint inside BEGIN", .only = Only::Wal,
       .setup = "INSERT INTO t VALUES (2, 'two'); BEGIN; DELETE FROM t WHERE id = 1", .sql = "PRAGMA wal_checkpoint",
       .done = "ok", .after = "COMMIT", .query = "SELECT * FROM t", .if_failed = "[id, v] (2, 'two')",
       .if_done = "[id, v] (2, 'two')"},
      {.name = "mode switch", .sql = "PRAGMA journal_mode = " + to_mode, .done = "[journal_mode] ('" + to_mode + "')",
       .query = "PRAGMA journal_mode", .if_failed = "[journal_mode] ('" + from_mode + "')",
       .if_done = "[journal_mode] ('" + to_mode + "')"},
      {.name = "read over a crashed writer's journal", .only = Only::Journal, .hot_journal = true,
       .sql = "SELECT v FROM t", .done = "[v] ('one')", .query = "SELECT * FROM t", .if_failed = one,
       .if_done = one},
      {.name = "write over a crashed writer's journal", .only = Only::Journal, .hot_journal = true,
       .sql = "INSERT INTO t VALUES (2, 'two')", .done = "affected 1", .query = "SELECT * FROM t",
       .if_failed = one, .if_done = two},
      {.name = "commit with an automatic checkpoint", .only = Only::Wal,
       .setup = "CREATE TABLE big (id INTEGER PRIMARY KEY, b TEXT)",
       .sql = "INSERT INTO big VALUES (2, '" + huge + "')", .done = "affected 1",
       .query = "SELECT id, length(b) AS n FROM big", .if_failed = "[id, n]",
       .if_done = "[id, n] (2, " + std::to_string(huge.size()) + ")", .auto_checkpoint = true},
  };
  auto log_size = [](const std::string& file) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(file + "-wal", ec);
    return ec ? 0 : n;
  };
  int made = 0;
  for (const Case& c : cases) {
    if ((c.only == Only::Wal && !is_wal()) || (c.only == Only::Journal && is_wal())) continue;
    std::uint64_t total = 0;
    for (std::uint64_t n = 0; n <= total; ++n) {  // n = 0 runs unarmed and counts
      for (const bool torn : {false, true}) {
        if (n == 0 && torn) continue;
        const std::string where = c.name + (n == 0 ? ": no failure"
                                                   : ": lock request " + std::to_string(n) + " of " +
                                                         std::to_string(total) +
                                                         (torn ? " failing after unlocking" : " failing"));
        const std::string file = dir.file("lock" + std::to_string(made++) + ".db");
        make_db(file);
        auto db = Database::open(fault, file);
        ASSERT_TRUE(db.ok()) << where;
        ASSERT_EQ(run_sql(*db, c.setup).find('!'), std::string::npos) << where;
        if (c.hot_journal) leave_hot_journal(file);
        fault.arm({.ops = kLockOps, .nth = n, .error = EINTR, .torn = torn});
        const std::string got = c.prepared ? run_prepared(*db, c.sql, {Value::integer(2)}) : run_sql(*db, c.sql);
        if (n == 0) total = fault.count();
        fault.disarm();
        const bool failed = got == injected;
        EXPECT_TRUE(failed || got == c.done) << where << ": " << got;
        // A COMMIT whose wait was interrupted before it wrote anything keeps
        // its transaction, which the next COMMIT commits.
        const bool committed_later = failed && c.commit_stays_open && db->in_transaction();
        if (committed_later) {
          EXPECT_EQ(run_sql(*db, "COMMIT"), "ok") << where;
        }
        const bool unchanged = failed && !committed_later;
        // Only the automatic checkpoint's lock request fails unseen, and
        // leaves the log as it is.
        EXPECT_TRUE(n == 0 || failed || (c.auto_checkpoint && n == total)) << where;
        if (c.auto_checkpoint && !failed) {
          EXPECT_EQ(log_size(file) == 0, n == 0) << where;
        }
        EXPECT_EQ(run_sql(*db, c.after).find('!'), std::string::npos) << where;
        expect_idle(*db, where, file);
        EXPECT_EQ(run_sql(*db, c.query), unchanged ? c.if_failed : c.if_done) << where;
        EXPECT_FALSE(os.exists(file + "-journal")) << where;
        EXPECT_EQ(run_sql(*db, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << where;
        // The same connection goes on working (and checkpoints now), and
        // another one agrees.
        EXPECT_EQ(run_sql(*db, "INSERT INTO t VALUES (100, 'after')"), "affected 1") << where;
        if (c.auto_checkpoint && !failed && n > 0) {
          EXPECT_EQ(log_size(file), 0u) << where;
        }
        EXPECT_EQ(run_sql(*db, "DELETE FROM t WHERE id = 100"), "affected 1") << where;
        expect_idle(*db, where, file);
        Database other = open_db(file);
        EXPECT_EQ(run_sql(other, c.query), unchanged ? c.if_failed : c.if_done) << where;
      }
    }
    ASSERT_GE(total, 1u) << c.name;
  }
}

// Opening, over a clean file and over a crashed writer's journal, with each
// of its lock requests interrupted: the open fails with that error and
// leaves nothing locked, and the next open recovers and works.
TEST_P(CommitFaults, EveryLockRequestOfAnOpenIsInterrupted) {
  const std::string injected = Error::io(EINTR).to_string();
  for (const bool hot_journal : {false, true}) {
    if (hot_journal && is_wal()) continue;
    if (hot_journal) leave_hot_journal(path);
    fault.arm({.ops = kLockOps});
    ASSERT_TRUE(Database::open(fault, path).ok());
    const std::uint64_t total = fault.count();
    ASSERT_GE(total, 2u);  // the open's own lock, and the schema's read
    for (std::uint64_t n = 1; n <= total; ++n) {
      for (const bool torn : {false, true}) {
        const std::string where = std::string(hot_journal ? "over a journal, " : "") + "lock request " +
                                  std::to_string(n) + " of " + std::to_string(total) +
                                  (torn ? " failing after unlocking" : " failing");
        if (hot_journal) leave_hot_journal(path);
        fault.arm({.ops = kLockOps, .nth = n, .error = EINTR, .torn = torn});
        auto db = Database::open(fault, path);
        fault.disarm();
        ASSERT_FALSE(db.ok()) << where;
        EXPECT_EQ(db.error().to_string(), injected) << where;
        expect_unlocked(path, where);
        db = Database::open(fault, path);
        ASSERT_TRUE(db.ok()) << where << ": " << db.error().to_string();
        EXPECT_FALSE(os.exists(path + "-journal")) << where;
        EXPECT_EQ(run_sql(*db, "INSERT INTO t VALUES (2, 'two'); SELECT * FROM t; DELETE FROM t WHERE id = 2"),
                  "affected 1 / [id, v] (1, 'one') (2, 'two') / affected 1")
            << where;
        expect_idle(*db, where);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, CommitFaults, ::testing::Values("delete", "wal"));

// What the statement frame costs in file operations: an autocommit
// statement is exactly one commit (the same operations as BEGIN, the
// statement, COMMIT), one log append and one sync in WAL mode; reads and
// statements that change nothing write nothing.
TEST(CommitCost, OneCommitPerStatement) {
  TempDir dir;
  const std::string path = dir.file("c.db");
  OsVfs os;
  FaultVfs fault{os};
  auto db = Database::open(fault, path);
  ASSERT_TRUE(db.ok());
  ASSERT_EQ(run_sql(*db, "CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT UNIQUE)"), "ok");
  auto ops = [&](const std::string& sql, const char* want) {
    fault.disarm();
    EXPECT_EQ(run_sql(*db, sql), want) << sql;
    return std::array<std::uint64_t, 4>{fault.count(FaultOp::Write), fault.count(FaultOp::Sync),
                                        fault.count(FaultOp::Truncate), fault.count(FaultOp::Unlink)};
  };
  const auto autocommit = ops("INSERT INTO t VALUES (1, 'a')", "affected 1");
  const auto explicit_tx = ops("BEGIN; INSERT INTO t VALUES (2, 'b'); COMMIT", "ok / affected 1 / ok");
  EXPECT_EQ(autocommit, explicit_tx);
  EXPECT_EQ(autocommit[3], 1u);  // the journal goes once
  const std::array<std::uint64_t, 4> none{0, 0, 0, 0};
  EXPECT_EQ(ops("SELECT * FROM t", "[id, v] (1, 'a') (2, 'b')"), none);
  EXPECT_EQ(ops("CREATE TABLE IF NOT EXISTS t (x INT)", "ok"), none);
  EXPECT_EQ(ops("DROP TABLE IF EXISTS nope", "ok"), none);
  EXPECT_EQ(ops("INSERT INTO t VALUES (1, 'c')", "!constraint violation: UNIQUE constraint failed: t.id"), none);
  EXPECT_EQ(ops("UPDATE t SET v = 'x' WHERE id = 99", "affected 0"), none);
  EXPECT_EQ(ops("PRAGMA integrity_check", "[integrity_check] ('ok')"), none);

  ASSERT_EQ(run_sql(*db, "PRAGMA journal_mode = wal"), "[journal_mode] ('wal')");
  const auto wal = ops("INSERT INTO t VALUES (3, 'c')", "affected 1");
  EXPECT_EQ(wal, (std::array<std::uint64_t, 4>{1, 1, 0, 0}));
  ASSERT_EQ(run_sql(*db, "PRAGMA synchronous = 1"), "[synchronous] (1)");
  EXPECT_EQ(ops("INSERT INTO t VALUES (4, 'd')", "affected 1"), (std::array<std::uint64_t, 4>{1, 0, 0, 0}));
}

}  // namespace
}  // namespace bkf::testing
