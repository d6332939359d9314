// The kill test: a driver process runs the workload (workload.h) with a
// ledger beside the database, and is killed with SIGKILL again and again,
// at random moments and at random file operations (the fault layer's hook
// kills it right before the N-th write, sync, truncation or unlink, inside
// commits, checkpoints, mode switches and recoveries alike). Half of the
// drivers also lose the power when killed: their file layer holds every
// write until the file's sync, so the kill loses what was not synced, and
// a kill at a chosen operation also undoes the file creations and removals
// whose directory was not synced. After every kill the database must open
// with no journal left beside it, pass integrity_check, and hold exactly
// the model of the last acknowledged commit or of the one in flight.
//
// BKF_KILL_ROUNDS sets the number of kills (default 400, sanitized 150).

#include <gtest/gtest.h>
#include <signal.h>

#include <random>

#include "engine/engine_testing.h"
#include "pager/os_vfs.h"
#include "reliability/reliability_env.h"
#include "reliability/workload.h"
#include "support/fault_vfs.h"

namespace bkf::reliability {
namespace {

using bkf::testing::FaultOp;
using bkf::testing::FaultVfs;
using bkf::testing::run_sql;

TEST(KillTest, EveryKillLeavesTheLastOrTheInFlightCommit) {
  bkf::testing::TempDir dir;
  const std::string path = dir.file("kill.db"), ledger = dir.file("kill.ledger");
  {
    Database db = bkf::testing::open_db(path);
    ASSERT_TRUE(create_schema(db).ok());
    ASSERT_TRUE(Ledger::rewrite(ledger, Model{}, 0));
  }
  const std::uint64_t rounds = env_count("BKF_KILL_ROUNDS", 400, 150);
  const std::uint64_t seed = env_seed();
  std::mt19937_64 rng(seed);
  std::uint64_t exact_kills = 0, in_flight_kept = 0, in_flight_lost = 0, commits = 0, wal_rounds = 0;
  OsVfs os;

  for (std::uint64_t round = 0; round < rounds; ++round) {
    // Every other round kills itself right before its N-th write, sync,
    // truncation or unlink; the others are killed at a random moment after
    // a few acknowledged commits. Every other pair loses the power.
    const std::uint64_t kill_at = round % 2 ? 1 + rng() % 120 : 0;
    const bool power_loss = round / 2 % 2;
    const std::string where = "round " + std::to_string(round) + (power_loss ? " with power loss" : "") +
                              " (BKF_RELIABILITY_SEED=" + std::to_string(seed) + ")";
    const std::uint64_t wait_acks = rng() % 4, delay_us = rng() % 4000;
    int acks[2];
    ASSERT_EQ(::pipe(acks), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(acks[0]);
      FaultVfs fault(os, power_loss);
      fault.set_hook([&](FaultOp, std::uint64_t n) {
        if (n != kill_at) return;
        fault.cut_power();
        ::raise(SIGKILL);
      });
      WorkloadOptions o;
      o.seed = seed * 7919 + round;
      o.ledger = ledger;
      o.ack_fd = acks[1];
      o.vfs = &fault;
      WorkloadStats st;
      const std::string err = run_workload(path, o, st);
      std::fprintf(stderr, "driver stopped: %s\n", err.c_str());
      ::_exit(3);
    }
    ::close(acks[1]);
    char c;
    if (kill_at) {
      ++exact_kills;
    } else {
      for (std::uint64_t i = 0; i < wait_acks && ::read(acks[0], &c, 1) == 1; ++i) ++commits;
      ::usleep(static_cast<useconds_t>(delay_us));
      ::kill(pid, SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    while (::read(acks[0], &c, 1) == 1) ++commits;
    ::close(acks[0]);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << where << ": driver ended by " << exit_text(status);

    Ledger::Replay want = Ledger::replay(ledger);
    ASSERT_EQ(want.error, "") << where;
    auto db = Database::open(path);
    ASSERT_TRUE(db.ok()) << where << ": " << db.error().to_string();
    EXPECT_FALSE(os.exists(path + "-journal")) << where << ": a journal is left after the reopen";
    ASSERT_EQ(run_sql(*db, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << where;
    std::string err;
    std::optional<Model> got = read_model(*db, -kAnyRowId, kAnyRowId, true, err);
    ASSERT_TRUE(got) << where << ": " << err;
    const Model* now = nullptr;
    if (got->same_content(want.acked)) {
      now = &want.acked;
      in_flight_lost += want.in_flight.has_value();
    } else if (want.in_flight && got->same_content(*want.in_flight)) {
      now = &*want.in_flight;
      ++in_flight_kept;
    }
    ASSERT_NE(now, nullptr) << where << ": neither the acknowledged state (" << first_difference(want.acked, *got)
                            << ") nor the one in flight ("
                            << (want.in_flight ? first_difference(*want.in_flight, *got) : "none") << ")";
    wal_rounds += now->wal;
    ASSERT_TRUE(Ledger::rewrite(ledger, *now, want.last_seq)) << where;
  }
  std::printf(
      "kill test: %llu kills survived (%llu right before a chosen file operation, %llu in WAL mode), %llu "
      "commits acknowledged, in-flight commit found applied %llu times and not applied %llu times\n",
      static_cast<unsigned long long>(rounds), static_cast<unsigned long long>(exact_kills),
      static_cast<unsigned long long>(wal_rounds), static_cast<unsigned long long>(commits),
      static_cast<unsigned long long>(in_flight_kept), static_cast<unsigned long long>(in_flight_lost));
}

}  // namespace
}  // namespace bkf::reliability
