// Two processes on one file: a writer blocked by another's BEGIN until its
// COMMIT, a schema changed by another process, and a connection that
// unlocks its files before closing them when freed, since a close alone
// leaves the lock to any copy of the descriptor. (Checkpoints racing other
// processes' commits are the reliability suite's process test.)

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "engine/engine_testing.h"
#include "pager/os_vfs.h"
#include "support/lock_probe.h"
#include "support/lock_watch_vfs.h"

namespace bkf::testing {
namespace {

// Runs body in a child process; its return value is the exit status.
template <class F>
pid_t spawn(F&& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int wait_exit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class TwoProcesses : public ::testing::TestWithParam<const char*> {
 protected:
  TempDir dir;
  std::string path = dir.file("p.db");
};

TEST_P(TwoProcesses, WriterWaitsForAnotherProcessesTransaction) {
  Database db = open_db(path);
  ASSERT_EQ(run_sql(db, std::string("PRAGMA journal_mode = ") + GetParam()),
            std::string("[journal_mode] ('") + GetParam() + "')");
  ASSERT_EQ(run_sql(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, who TEXT)"), "ok");
  ASSERT_EQ(run_sql(db, "BEGIN; INSERT INTO t VALUES (1, 'parent')"), "ok / affected 1");

  pid_t child = spawn([&] {
    auto other = Database::open(path);
    if (!other) return 2;
    // Blocks until the parent commits; then it sees the parent's two rows
    // and adds its own after them.
    auto r = other->execute("INSERT INTO t (who) VALUES ('child')");
    if (!r) return 3;
    auto q = other->execute("SELECT count(*) FROM t");
    if (!q || q->back().rows[0][0].int_value() != 3) return 4;
    return 0;
  });
  ASSERT_GT(child, 0);
  // The child is waiting for the lock the open transaction holds.
  ASSERT_TRUE(wait_for_lock_waiter(path));
  EXPECT_EQ(run_sql(db, "INSERT INTO t VALUES (2, 'parent')"), "affected 1");
  ASSERT_EQ(run_sql(db, "COMMIT"), "ok");
  EXPECT_EQ(wait_exit(child), 0);
  EXPECT_EQ(run_sql(db, "SELECT id, who FROM t ORDER BY id"),
            "[id, who] (1, 'parent') (2, 'parent') (3, 'child')");
}

TEST_P(TwoProcesses, SchemaChangesOfAnotherProcessAreSeen) {
  Database db = open_db(path);
  ASSERT_EQ(run_sql(db, std::string("PRAGMA journal_mode = ") + GetParam()),
            std::string("[journal_mode] ('") + GetParam() + "')");
  ASSERT_EQ(run_sql(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, v INT)"), "ok");
  auto ins = db.prepare("INSERT INTO t (v) VALUES (?)");
  ASSERT_TRUE(ins.ok());
  pid_t child = spawn([&] {
    auto other = Database::open(path);
    if (!other) return 2;
    auto r = other->execute("DROP TABLE t; CREATE TABLE t (v INT UNIQUE, id INTEGER PRIMARY KEY); "
                            "CREATE TABLE seen (x INT); INSERT INTO t VALUES (5, 1)");
    return r ? 0 : 3;
  });
  ASSERT_EQ(wait_exit(child), 0);
  // The prepared INSERT is compiled against the new table and its index.
  Value five = Value::integer(5);
  auto r = db.execute_prepared(*ins, std::span<const Value>(&five, 1));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "constraint violation: UNIQUE constraint failed: t__v__unique");
  EXPECT_EQ(run_sql(db, "INSERT INTO seen VALUES (1); SELECT * FROM t"), "affected 1 / [v, id] (5, 1)");
  EXPECT_EQ(run_sql(db, "CREATE TABLE IF NOT EXISTS seen (y INT); PRAGMA integrity_check"),
            "ok / [integrity_check] ('ok')");
}

// Freeing a connection inside BEGIN, by destruction or by assigning another
// over it, rolls the transaction back and unlocks before anything closes.
TEST_P(TwoProcesses, FreeingAConnectionUnlocksBeforeClosing) {
  OsVfs os;
  LockWatchVfs watch(os);
  const std::string other_path = dir.file("q.db");
  for (const std::string& p : {path, other_path}) {
    Database db = open_db(p);
    ASSERT_EQ(run_sql(db, std::string("PRAGMA journal_mode = ") + GetParam() +
                              "; CREATE TABLE t (id INTEGER PRIMARY KEY)"),
              std::string("[journal_mode] ('") + GetParam() + "') / ok");
  }
  {
    auto db = Database::open(watch, path);
    auto other = Database::open(watch, other_path);
    ASSERT_TRUE(db.ok() && other.ok());
    ASSERT_EQ(run_sql(*db, "BEGIN; INSERT INTO t VALUES (1)"), "ok / affected 1");
    ASSERT_EQ(run_sql(*other, "BEGIN; INSERT INTO t VALUES (1)"), "ok / affected 1");
    *db = std::move(*other);
    EXPECT_EQ(watch.closed_locked(), std::vector<std::string>{});
    EXPECT_FALSE(lock_would_block(path, true));
    EXPECT_TRUE(lock_would_block(other_path, true));
  }
  EXPECT_EQ(watch.closed_locked(), std::vector<std::string>{});
  for (const std::string& p : {path, other_path}) {
    Database db = open_db(p);
    EXPECT_EQ(run_sql(db, "SELECT count(*) FROM t"), "[count(*)] (0)") << p;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, TwoProcesses, ::testing::Values("delete", "wal"));

}  // namespace
}  // namespace bkf::testing
