// Four processes on one file, each running the workload (workload.h) on its
// own rows: autocommit statements and explicit transactions, reads checked
// against its model, increments of one shared counter, index changes (one
// worker), journal-mode switches and checkpoints (all of them). At the end
// no increment is lost, the row counts add up and integrity_check is ok.
//
// BKF_PROCESS_OPS sets the transactions per process (default 500,
// sanitized 150).

#include <gtest/gtest.h>

#include "engine/engine_testing.h"
#include "reliability/reliability_env.h"
#include "reliability/workload.h"

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

}  // namespace
}  // namespace bkf::reliability
