// Several processes on one file.
//
// Four processes each run the workload (workload.h) on their own rows:
// autocommit statements and explicit transactions, reads checked against
// its model, increments of one shared counter, index changes (one worker),
// journal-mode switches and checkpoints (all of them). At the end no
// increment is lost, the row counts add up and integrity_check is ok.
//
// A writer process runs transfers, checkpoints and journal-mode switches
// and is killed again and again, while three reader processes check on
// every read that they see whole transactions only.
//
// BKF_PROCESS_OPS sets the transactions per process (default 500,
// sanitized 150); BKF_ISOLATION_KILLS the writer's kills (default 300,
// sanitized 40).

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "engine/engine_testing.h"
#include "pager/os_vfs.h"
#include "reliability/reliability_env.h"
#include "reliability/workload.h"
#include "support/fault_vfs.h"

namespace bkf::reliability {
namespace {

using bkf::testing::run_sql;

TEST(SeveralProcesses, NoIncrementIsLostAndCountsAddUp) {
  constexpr int kWorkers = 4;
  bkf::testing::TempDir dir;
  const std::string path = dir.file("many.db");
  {
    Database db = bkf::testing::open_db(path);
    ASSERT_TRUE(create_schema(db).ok());
  }
  const std::uint64_t iterations = env_count("BKF_PROCESS_OPS", 500, 150);
  const std::uint64_t seed = env_seed();
  pid_t pids[kWorkers];
  int pipes[kWorkers][2];
  for (int w = 0; w < kWorkers; ++w) {
    ASSERT_EQ(::pipe(pipes[w]), 0);
    pids[w] = ::fork();
    ASSERT_GE(pids[w], 0);
    if (pids[w] == 0) {
      WorkloadOptions o;
      o.worker = w;
      o.sole_writer = false;
      o.seed = seed * 31 + static_cast<std::uint64_t>(w);
      o.iterations = iterations;
      WorkloadStats st;
      const std::string err = run_workload(path, o, st);
      if (!err.empty()) std::fprintf(stderr, "worker %d: %s\n", w, err.c_str());
      const bool sent = ::write(pipes[w][1], &st, sizeof st) == static_cast<ssize_t>(sizeof st);
      ::_exit(err.empty() && sent ? 0 : 3);
    }
    ::close(pipes[w][1]);
  }
  WorkloadStats total;
  std::int64_t rows = 0;
  Database db = bkf::testing::open_db(path);
  for (int w = 0; w < kWorkers; ++w) {
    WorkloadStats st;
    const bool got = ::read(pipes[w][0], &st, sizeof st) == static_cast<ssize_t>(sizeof st);
    ::close(pipes[w][0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pids[w], &status, 0), pids[w]);
    ASSERT_TRUE(got && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker " << w << ": " << exit_text(status);
    total.statements += st.statements;
    total.commits += st.commits;
    total.rollbacks += st.rollbacks;
    total.checks += st.checks;
    total.increments += st.increments;
    rows += static_cast<std::int64_t>(st.rows);
    EXPECT_EQ(run_sql(db, "SELECT count(*) FROM kv WHERE id >= " + std::to_string(range_lo(w)) +
                              " AND id <= " + std::to_string(range_hi(w))),
              "[count(*)] (" + std::to_string(st.rows) + ")")
        << "worker " << w;
  }
  EXPECT_EQ(run_sql(db, "SELECT n FROM c"), "[n] (" + std::to_string(total.increments) + ")");
  EXPECT_EQ(run_sql(db, "SELECT count(*) FROM kv"), "[count(*)] (" + std::to_string(rows) + ")");
  EXPECT_EQ(run_sql(db, "PRAGMA integrity_check"), "[integrity_check] ('ok')");
  std::printf(
      "several processes: %d processes, %llu transactions, %llu statements and pragmas, %llu commits, %llu "
      "rollbacks, %llu model reads, %lld increments, %lld rows\n",
      kWorkers, static_cast<unsigned long long>(iterations * kWorkers),
      static_cast<unsigned long long>(total.statements), static_cast<unsigned long long>(total.commits),
      static_cast<unsigned long long>(total.rollbacks), static_cast<unsigned long long>(total.checks),
      static_cast<long long>(total.increments), static_cast<long long>(rows));
}

// ---- readers against a killed writer -------------------------------------

// acct holds kAccounts balances summing to kTotal; every transfer moves an
// amount between two of them and adds three rows of its number to xfer,
// whose oldest transfers are pruned whole.
constexpr int kAccounts = 100;
constexpr std::int64_t kTotal = 100'000;

// The integers of a query's one row (NULL as 0); empty on an error, which
// goes to `err`.
std::vector<std::int64_t> one_row(Database& db, const char* sql, std::string& err) {
  auto r = db.execute(sql);
  if (!r) {
    err = r.error().to_string();
    return {};
  }
  std::vector<std::int64_t> out;
  for (const Value& v : r->back().rows.at(0)) out.push_back(v.is_null() ? 0 : v.int_value());
  return out;
}

// The balances' sum, and the rows, distinct transfers, lowest and highest
// transfer of xfer.
constexpr const char* kWholeView =
    "SELECT (SELECT sum(bal) FROM acct), (SELECT count(*) FROM xfer), (SELECT count(DISTINCT txn) FROM xfer), "
    "(SELECT min(txn) FROM xfer), (SELECT max(txn) FROM xfer)";

// What is wrong with such a view (empty when nothing).
std::string check_view(std::int64_t sum, std::int64_t rows, std::int64_t txns, std::int64_t lo, std::int64_t hi) {
  if (sum == kTotal && rows == 3 * txns && (txns == 0 || txns == hi - lo + 1)) return "";
  return "sum " + std::to_string(sum) + ", " + std::to_string(rows) + " rows of " + std::to_string(txns) +
         " transfers " + std::to_string(lo) + ".." + std::to_string(hi);
}

// A reader process: reads until `stop_fd` reports its other end closed,
// then sends (reads, bad reads) to `out_fd`. Every error is a bad read.
int run_reader(const std::string& path, int stop_fd, int out_fd) {
  auto db = Database::open(path);
  if (!db) return 3;
  std::uint64_t stats[2] = {0, 0};
  // After each read a pause as long as the read: in journal mode the writer
  // gets its lock only while no reader holds one, so readers that hardly
  // pause would keep it waiting without end.
  for (pollfd p{stop_fd, POLLIN, 0}; ::poll(&p, 1, 0) == 0; ++stats[0]) {
    const auto start = std::chrono::steady_clock::now();
    std::string err, wrong;
    // A query over both tables, and one over the transfers alone.
    if (stats[0] % 2 == 0) {
      const auto v = one_row(*db, kWholeView, err);
      if (!v.empty()) wrong = check_view(v[0], v[1], v[2], v[3], v[4]);
    } else {
      const auto v = one_row(*db, "SELECT count(*), count(DISTINCT txn), min(txn), max(txn), sum(k) FROM xfer", err);
      // The k of a whole transfer add up to 6; that stands in for the sum.
      if (!v.empty()) wrong = check_view(kTotal + v[4] - 6 * v[1], v[0], v[1], v[2], v[3]);
    }
    if (!err.empty() || !wrong.empty()) {
      if (++stats[1] <= 5) std::fprintf(stderr, "reader %d, read %llu: %s%s\n", static_cast<int>(::getpid()),
                                        static_cast<unsigned long long>(stats[0]), err.c_str(), wrong.c_str());
    }
    std::this_thread::sleep_for(std::max(std::chrono::steady_clock::now() - start,
                                         std::chrono::steady_clock::duration(std::chrono::microseconds(200))));
  }
  return ::write(out_fd, stats, sizeof stats) == static_cast<ssize_t>(sizeof stats) ? 0 : 3;
}

// The writer process: transfers, each acknowledged by its number on
// `ack_fd` once committed, and now and then a checkpoint, a journal-mode
// switch or the pruning of old transfers. It kills itself right before its
// `kill_at`-th file write, sync, truncation or unlink (0: never), and
// pauses before some of them, which widens the moments in which the
// readers can meet a half-done step.
[[noreturn]] void run_writer(const std::string& path, std::uint64_t seed, std::uint64_t kill_at, int ack_fd) {
  std::mt19937_64 rng(seed);
  auto below = [&](int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); };
  OsVfs os;
  bkf::testing::FaultVfs fault(os);
  fault.set_hook([&](bkf::testing::FaultOp, std::uint64_t n) {
    if (n == kill_at) ::raise(SIGKILL);
    if (below(4) == 0) ::usleep(static_cast<useconds_t>(below(500)));
  });
  auto db = Database::open(fault, path);
  std::string err;
  const auto top = db ? one_row(*db, "SELECT max(txn) FROM xfer", err) : std::vector<std::int64_t>{};
  if (top.empty()) {
    std::fprintf(stderr, "writer: %s\n", db ? err.c_str() : db.error().to_string().c_str());
    ::_exit(3);
  }
  bool wal = run_sql(*db, "PRAGMA journal_mode") == "[journal_mode] ('wal')";
  for (std::int64_t n = top[0] + 1;; ++n) {
    const std::string t = std::to_string(n), x = std::to_string(1 + below(50));
    std::string sql = "BEGIN; UPDATE acct SET bal = bal - " + x + " WHERE id = " + std::to_string(below(kAccounts)) +
                      "; UPDATE acct SET bal = bal + " + x + " WHERE id = " + std::to_string(below(kAccounts)) +
                      "; INSERT INTO xfer (txn, k, pad) VALUES (" + t + ", 1, '" + std::string(10 + below(900), 'p') +
                      "'), (" + t + ", 2, 'q'), (" + t + ", 3, '" + std::string(1 + below(2000), 'r') + "'); COMMIT";
    const int r = below(100);
    if (r < 20) {
      wal = !wal;
      sql += wal ? "; PRAGMA journal_mode = wal" : "; PRAGMA journal_mode = delete";
    } else if (r < 24) {
      sql += "; PRAGMA wal_checkpoint";
    } else if (r < 26) {
      sql += "; DELETE FROM xfer WHERE txn < " + std::to_string(n - 1000);
    }
    auto done = db->execute(sql);
    if (!done) {
      std::fprintf(stderr, "writer: %s\n", done.error().to_string().c_str());
      ::_exit(3);
    }
    (void)!::write(ack_fd, &n, sizeof n);
  }
}

// The writer is killed at a random moment or right before a chosen file
// operation (inside commits, checkpoints, switches and recoveries alike);
// after each kill no acknowledged transfer is missing and integrity_check
// is ok. The readers' queries never see a partial transfer or fail.
TEST(SeveralProcesses, ReadersSeeOnlyWholeTransactionsOfAKilledWriter) {
  constexpr int kReaders = 3;
  // Files in memory where the system offers it: a kill loses nothing the
  // disk would keep, and a writer that never waits for a sync takes many
  // more steps, each a chance for the readers to meet it half-way.
  bkf::testing::TempDir dir = ::access("/dev/shm", W_OK | X_OK) == 0 ? bkf::testing::TempDir("/dev/shm")
                                                                     : bkf::testing::TempDir();
  const std::string path = dir.file("isolation.db");
  {
    Database db = bkf::testing::open_db(path);
    std::string sql =
        "PRAGMA journal_mode = wal; CREATE TABLE acct (id INTEGER PRIMARY KEY, bal INT NOT NULL); "
        "CREATE TABLE xfer (id INTEGER PRIMARY KEY, txn INT NOT NULL, k INT, pad TEXT); "
        "CREATE INDEX xfer_txn ON xfer (txn); BEGIN";
    for (int i = 0; i < kAccounts; ++i) sql += "; INSERT INTO acct VALUES (" + std::to_string(i) + ", 1000)";
    ASSERT_EQ(run_sql(db, sql + "; COMMIT").find('!'), std::string::npos);
  }
  int stop[2], results[2];
  ASSERT_EQ(::pipe(stop), 0);
  ASSERT_EQ(::pipe(results), 0);
  pid_t readers[kReaders];
  for (pid_t& pid : readers) {
    pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(stop[1]);
      ::_exit(run_reader(path, stop[0], results[1]));
    }
  }
  ::close(stop[0]);
  ::close(results[1]);

  const std::uint64_t kills = env_count("BKF_ISOLATION_KILLS", 300, 40);
  const std::uint64_t seed = env_seed();
  std::mt19937_64 rng(seed);
  std::int64_t acked = 0;
  std::uint64_t transfers = 0;
  for (std::uint64_t round = 0; round < kills; ++round) {
    const std::string where = "kill " + std::to_string(round) + " (BKF_RELIABILITY_SEED=" + std::to_string(seed) + ")";
    const std::uint64_t kill_at = round % 2 ? 1 + rng() % 200 : 0, delay_us = 2000 + rng() % 150'000;
    const std::uint64_t writer_seed = rng();
    int acks[2];
    ASSERT_EQ(::pipe(acks), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      ::close(acks[0]);
      ::close(stop[1]);
      run_writer(path, writer_seed, kill_at, acks[1]);
    }
    ::close(acks[1]);
    if (!kill_at) {
      ::usleep(static_cast<useconds_t>(delay_us));
      ::kill(writer, SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    for (std::int64_t n; ::read(acks[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n); ++transfers) acked = n;
    ::close(acks[0]);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << where << ": writer ended by " << exit_text(status);

    Database db = bkf::testing::open_db(path);
    std::string err;
    const auto v = one_row(db, kWholeView, err);
    ASSERT_FALSE(v.empty()) << where << ": " << err;
    ASSERT_EQ(check_view(v[0], v[1], v[2], v[3], v[4]), "") << where;
    ASSERT_GE(v[4], acked) << where << ": acknowledged transfers are missing";
    ASSERT_EQ(run_sql(db, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << where;
  }
  ::close(stop[1]);
  std::uint64_t reads = 0, bad = 0;
  for (pid_t pid : readers) {
    std::uint64_t stats[2] = {0, 0};
    const bool got = ::read(results[0], stats, sizeof stats) == static_cast<ssize_t>(sizeof stats);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(got && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader ended by " << exit_text(status);
    reads += stats[0];
    bad += stats[1];
  }
  ::close(results[0]);
  EXPECT_EQ(bad, 0u) << "reads that saw part of a transfer or failed, out of " << reads
                     << " (the first ones are on stderr; BKF_RELIABILITY_SEED=" << seed << ")";
  std::printf("readers against a killed writer: %llu kills, %llu transfers acknowledged, %llu reads\n",
              static_cast<unsigned long long>(kills), static_cast<unsigned long long>(transfers),
              static_cast<unsigned long long>(reads));
}

}  // namespace
}  // namespace bkf::reliability
