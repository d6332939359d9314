// What other connections see of the write-ahead log while one connection
// fails:
//   - a commit whose log sync is slow and then fails: a reader in another
//     thread waits for the sync rather than taking the frames in, and every
//     later commit (of the same shape, of another shape, or splitting a leaf
//     the way the failed one did) is seen by it and kept;
//   - a checkpoint whose cut of the log fails, under a reader in the middle
//     of a statement: neither the ROLLBACK that follows nor the next
//     writer's append cuts or overwrites what that statement reads;
//   - a tail (frames after the last commit) left by a killed or a failed
//     append: a reader scans it once and then reads as cheaply as before,
//     and no power cut during the next commit counts its frames;
//   - a checkpoint waiting for a reader's statement: readers that come
//     meanwhile queue behind it;
//   - a second name (hard link) made while a connection is open: its
//     commits reach the database file at PRAGMA wal_checkpoint and at close,
//     also when an opener or a reader holds a lock for a moment then, so
//     removing either name loses none.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <filesystem>
#include <optional>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "engine/engine_testing.h"
#include "pager/os_vfs.h"
#include "support/fault_vfs.h"
#include "support/lock_probe.h"
#include "support/mem_vfs.h"

namespace bkf::testing {
namespace {

const std::string kIoError = "!io error: Input/output error (os error 5)";

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string text_of(int n, char c) { return "'" + std::string(static_cast<std::size_t>(n), c) + "'"; }

// One shape of the failed commit and of the next one. A's statement fails at
// the log's sync while R runs the `during` query; W then commits `w_next`,
// R runs the `after` query, writes `r_write`, and the `final` query shows
// the same to A and to a new connection.
struct Query {
  std::string sql, rows;
};
struct Shape {
  const char* name;
  std::string setup, r_before, a_fails;
  Query during;
  std::string w_next;
  Query after;
  std::string r_write;
  Query final;
};

std::vector<Shape> shapes() {
  const std::string two_tables =
      "PRAGMA journal_mode = wal; CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT); "
      "CREATE TABLE t2 (id INTEGER PRIMARY KEY, v TEXT); INSERT INTO t VALUES (1, 'one')";
  // Three rows of 1200 bytes fill most of a leaf, so a fourth splits it;
  // t1 and t2 are alike, each with an index.
  std::string split = "PRAGMA journal_mode = wal";
  for (const char* t : {"t1", "t2"}) {
    split += std::string("; CREATE TABLE ") + t + " (id INTEGER PRIMARY KEY, v TEXT); CREATE INDEX " + t + "_v ON " +
             t + " (v)";
  }
  for (int i = 1; i <= 3; ++i) {
    for (const char* t : {"t1", "t2"}) {
      split += std::string("; INSERT INTO ") + t + " VALUES (" + std::to_string(i) + ", " +
               text_of(1200, static_cast<char>('a' + i)) + ")";
    }
  }
  const Query t_ids{"SELECT id FROM t ORDER BY id", "[id] (1) (200) (300)"};
  return {
      {"the next commit has the same shape", two_tables, "SELECT id FROM t", "INSERT INTO t VALUES (100, 'xxx')",
       {"SELECT id FROM t ORDER BY id", "[id] (1)"},
       "INSERT INTO t VALUES (200, 'yyy')",
       {"SELECT id FROM t ORDER BY id", "[id] (1) (200)"},
       "INSERT INTO t VALUES (300, 'zzz')",
       t_ids},
      {"the next commit has another shape", two_tables, "SELECT id FROM t", "INSERT INTO t VALUES (100, 'xxx')",
       {"SELECT id FROM t ORDER BY id", "[id] (1)"},
       "BEGIN; INSERT INTO t VALUES (200, 'yyy'); INSERT INTO t2 VALUES (1, " + text_of(3000, 'w') +
           "), (2, 'two'); COMMIT",
       {"SELECT id FROM t ORDER BY id; SELECT count(*) FROM t2", "[id] (1) (200) / [count(*)] (2)"},
       "INSERT INTO t VALUES (300, 'zzz')",
       t_ids},
      {"both commits split a leaf", split, "SELECT count(*) FROM t1; SELECT count(*) FROM t2",
       "INSERT INTO t1 VALUES (10, " + text_of(1200, 'x') + ")",
       {"SELECT count(*) FROM t1", "[count(*)] (3)"},
       "INSERT INTO t2 VALUES (10, " + text_of(1200, 'y') + ")",
       {"SELECT count(*) FROM t1; SELECT id FROM t2 ORDER BY id; PRAGMA integrity_check",
        "[count(*)] (3) / [id] (1) (2) (3) (10) / [integrity_check] ('ok')"},
       "INSERT INTO t1 VALUES (20, 'r')",
       {"SELECT id FROM t1 ORDER BY id", "[id] (1) (2) (3) (20)"}},
  };
}

bool ok(const std::string& results) { return results.find('!') == std::string::npos; }

class WalReaders : public ::testing::Test {
 protected:
  void remove_files(std::initializer_list<std::string> paths) {
    for (const std::string& f : paths) {
      std::filesystem::remove(f);
      std::filesystem::remove(f + "-wal");
    }
  }

  // A new database at `path` made by `sql`.
  void make(const std::string& sql) {
    remove_files({path});
    Database setup = open_db(path);
    ASSERT_TRUE(ok(run_sql(setup, sql)));
  }

  TempDir dir;
  std::string path = dir.file("w.db");
  OsVfs os;
};

// R's query runs in a thread of its own from inside A's log sync, which
// waits until R is listed by the kernel as waiting for a lock on the log (or
// has answered, wrongly) and then fails.
TEST_F(WalReaders, AReaderWaitsForALogSyncThatFails) {
  for (const Shape& s : shapes()) {
    SCOPED_TRACE(s.name);
    remove_files({path});
    {
      Database setup = open_db(path);
      ASSERT_TRUE(ok(run_sql(setup, s.setup)));
    }
    FaultVfs fault(os);
    auto a = Database::open(fault, path);
    ASSERT_TRUE(a.ok());
    Database r = open_db(path), w = open_db(path);
    ASSERT_TRUE(ok(run_sql(r, s.r_before)));  // R caches the pages

    std::string during;
    std::atomic<bool> answered{false};
    bool waited = false;
    std::thread reader;
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Sync), .nth = 1});
    fault.set_hook([&](FaultOp, std::uint64_t n) {
      if (n != 1) return;
      reader = std::thread([&] {
        during = run_sql(r, s.during.sql);
        answered = true;
      });
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!answered && !waited && std::chrono::steady_clock::now() < deadline) {
        waited = wait_for_lock_waiter(path + "-wal", 1000);
      }
    });
    EXPECT_EQ(run_sql(*a, s.a_fails), kIoError);
    fault.set_hook(nullptr);
    fault.disarm();
    ASSERT_TRUE(reader.joinable());
    reader.join();
    EXPECT_TRUE(waited) << "the reader did not wait for the sync";
    EXPECT_EQ(during, s.during.rows);

    EXPECT_TRUE(ok(run_sql(w, s.w_next)));
    EXPECT_EQ(run_sql(r, s.after.sql), s.after.rows);
    EXPECT_EQ(run_sql(r, s.r_write), "affected 1");
    EXPECT_EQ(run_sql(*a, s.final.sql), s.final.rows);
    Database again = open_db(path);
    EXPECT_EQ(run_sql(again, s.final.sql), s.final.rows);
    EXPECT_EQ(run_sql(again, "PRAGMA integrity_check"), "[integrity_check] ('ok')");
  }
}

// t holds 200 rows, all in the log. A's checkpoint inside BEGIN copies them
// into the database file and then fails to cut the log. B's statement, in
// the middle of reading t's pages from the log, meets A's ROLLBACK, A's next
// commit (of 499 rows) and W's: it still counts the 200 rows it started
// with.
TEST_F(WalReaders, AStatementKeepsTheLogItReadsWhenACheckpointCannotCutIt) {
  MemVfs mem;
  const std::string p = "/cut.db";
  const std::string query = "SELECT count(*), sum(length(v)) FROM t";
  const std::string before = "[count(*), sum(expr)] (200, 80000)";
  const std::string after = "[count(*), sum(expr)] (700, 80500)";
  std::string more = "INSERT INTO t (v) VALUES ('b')";
  for (int i = 1; i < 499; ++i) more += ", ('b')";

  // Runs the scenario; with `truncation` 0, without faults, counting the
  // checkpoint's truncations and B's reads. Otherwise that truncation (the
  // log's cut) fails, and B's `hook_read`-th read runs A's ROLLBACK and the
  // commits.
  auto scenario = [&](std::uint64_t truncation, std::uint64_t hook_read, std::uint64_t& truncations,
                      std::uint64_t& reads) {
    mem.clear();
    {
      auto db = Database::open(mem, p);
      ASSERT_TRUE(db.ok());
      std::string insert = "INSERT INTO t (v) VALUES (" + text_of(400, 'a') + ")";
      for (int i = 1; i < 200; ++i) insert += ", (" + text_of(400, 'a') + ")";
      ASSERT_EQ(run_sql(*db, "PRAGMA journal_mode = wal; CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT); " + insert),
                "[journal_mode] ('wal') / ok / affected 200");
    }
    FaultVfs fa(mem), fb(mem);
    auto a = Database::open(fa, p);
    auto b = Database::open(fb, p);
    auto w = Database::open(mem, p);
    ASSERT_TRUE(a.ok() && b.ok() && w.ok());
    fa.arm({.ops = static_cast<unsigned>(FaultOp::Truncate), .nth = truncation});
    EXPECT_EQ(run_sql(*a, "BEGIN; PRAGMA wal_checkpoint"), truncation ? kIoError : "ok / ok");
    EXPECT_TRUE(a->in_transaction());
    truncations = fa.count();
    fa.disarm();
    std::string rollback, commit;
    fb.arm({.ops = static_cast<unsigned>(FaultOp::Read)});
    fb.set_hook([&](FaultOp, std::uint64_t n) {
      if (n != hook_read) return;
      rollback = run_sql(*a, "ROLLBACK");
      commit = run_sql(*a, more) + " / " + run_sql(*w, "INSERT INTO t (v) VALUES ('c')");
    });
    EXPECT_EQ(run_sql(*b, query), before);
    reads = fb.count();
    fb.set_hook(nullptr);
    fb.disarm();
    if (!truncation) return;
    EXPECT_EQ(rollback, "ok");
    EXPECT_EQ(commit, "affected 499 / affected 1");
    EXPECT_EQ(run_sql(*b, query), after);
    EXPECT_EQ(run_sql(*a, query), after);
    EXPECT_EQ(run_sql(*a, "PRAGMA wal_checkpoint; PRAGMA integrity_check"), "ok / [integrity_check] ('ok')");
    auto again = Database::open(mem, p);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(run_sql(*again, query), after);
  };
  std::uint64_t truncations = 0, reads = 0, unused = 0;
  scenario(0, 0, truncations, reads);
  ASSERT_GE(truncations, 1u);  // the database file's length, then the log's cut
  ASSERT_GE(reads, 10u);       // t spans about 20 pages
  scenario(truncations, reads / 2, unused, unused);
}

// A tail: frames after the log's last commit, as a writer killed half-way
// through its append leaves them, or an append whose sync fails and whose
// frames can then neither be cut off nor their commit frame kept (the disk
// refuses the cut, so the commit frame is zeroed and the frames stay).
enum class Tail { Killed, FailedAppend };

const char* tail_name(Tail how) { return how == Tail::Killed ? "a killed append" : "a failed append"; }

// Leaves a tail of `how` behind an UPDATE that would set every v of t to
// 'zzz'.
void leave_tail(OsVfs& os, const std::string& path, Tail how) {
  FaultVfs fault(os);
  auto db = Database::open(fault, path);
  ASSERT_TRUE(db.ok());
  if (how == Tail::Killed) {
    // The append is one write of all the frames, the commit frame last: half
    // of it reaches the file.
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Write), .nth = 1, .action = FaultPlan::Action::Crash,
               .torn = true});
  } else {
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Sync) | static_cast<unsigned>(FaultOp::Truncate), .nth = 1,
               .persistent = true});
  }
  EXPECT_EQ(run_sql(*db, "UPDATE t SET v = 'zzz'").substr(0, 1), "!");
  EXPECT_TRUE(fault.fired());
}

// A reader scans a tail once: afterwards its queries make the same file
// operations as on a log without one (they read no frame header and take no
// side lock, which a writer would have to wait for). The next commit is
// seen, once scanned costs nothing either, and the tail's rows never count.
TEST_F(WalReaders, ATailCostsAReaderOneScan) {
  const std::string query = "SELECT id, v FROM t ORDER BY id";
  const std::string rows = "[id, v] (1, 'a') (2, 'a') (3, 'a')";
  for (Tail how : {Tail::Killed, Tail::FailedAppend}) {
    SCOPED_TRACE(tail_name(how));
    make("PRAGMA journal_mode = wal; CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT); "
                                    "INSERT INTO t VALUES (1, 'a'), (2, 'a'), (3, 'a')");
    FaultVfs fr(os);
    auto r = Database::open(fr, path);
    ASSERT_TRUE(r.ok());
    // The operations of one query, by kind.
    auto cost = [&](const std::string& expect) {
      fr.arm({.ops = kLookupOps});
      EXPECT_EQ(run_sql(*r, query), expect);
      std::string out;
      for (FaultOp op : {FaultOp::Read, FaultOp::Lock, FaultOp::Size, FaultOp::Open}) {
        out += std::string(fault_op_name(op)) + " " + std::to_string(fr.count(op)) + " ";
      }
      fr.disarm();
      return out;
    };
    EXPECT_EQ(run_sql(*r, query), rows);
    const std::string clean = cost(rows);
    const std::uint64_t log_before = std::filesystem::file_size(path + "-wal");
    leave_tail(os, path, how);
    ASSERT_GT(std::filesystem::file_size(path + "-wal"), log_before);

    EXPECT_EQ(run_sql(*r, query), rows);  // the one scan
    EXPECT_EQ(cost(rows), clean);
    EXPECT_EQ(cost(rows), clean);
    Database w = open_db(path);
    EXPECT_EQ(run_sql(w, "INSERT INTO t VALUES (4, 'd')"), "affected 1");
    const std::string more = "[id, v] (1, 'a') (2, 'a') (3, 'a') (4, 'd')";
    EXPECT_EQ(run_sql(*r, query), more);
    EXPECT_EQ(cost(more), clean);
    EXPECT_EQ(run_sql(*r, "PRAGMA integrity_check"), "[integrity_check] ('ok')");
    r = Database::open(os, path);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(run_sql(*r, query), more);
  }
}

// The first commit after a tail, cut by a power loss at each of its writes
// and syncs, with its unsynced writes all lost, or all but the newest (a
// disk writes them in any order): afterwards the database holds that commit
// or not, and never the tail's rows.
TEST_F(WalReaders, NoPowerCutCountsATailInTheNextCommit) {
  const unsigned ops = static_cast<unsigned>(FaultOp::Write) | static_cast<unsigned>(FaultOp::Sync);
  for (Tail how : {Tail::Killed, Tail::FailedAppend}) {
    make("PRAGMA journal_mode = wal; CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT); "
                                    "CREATE TABLE u (id INTEGER PRIMARY KEY); "
                                    "INSERT INTO t VALUES (1, 'a'), (2, 'a')");
    leave_tail(os, path, how);
    const std::string db_bytes = read_file(path), log_bytes = read_file(path + "-wal");
    std::uint64_t total = 0;
    for (std::uint64_t n = 0; n <= total; ++n) {  // n = 0 runs unarmed and counts
      for (bool keep_newest : {false, true}) {
        if (n == 0 && keep_newest) continue;
        SCOPED_TRACE(std::string(tail_name(how)) + ", operation " + std::to_string(n) + " of " +
                     std::to_string(total) + (keep_newest ? ", the newest write kept" : ""));
        write_file(path, db_bytes);
        write_file(path + "-wal", log_bytes);
        {
          FaultVfs fw(os, true);
          auto w = Database::open(fw, path);
          ASSERT_TRUE(w.ok());
          fw.arm({.ops = ops, .nth = n, .action = FaultPlan::Action::Crash, .keep_newest_write = keep_newest});
          const std::string got = run_sql(*w, "INSERT INTO u VALUES (1)");
          if (n == 0) {
            EXPECT_EQ(got, "affected 1");
            total = fw.count();
            fw.cut_power();  // what was not synced is lost
          }
        }
        Database after = open_db(path);
        EXPECT_EQ(run_sql(after, "SELECT v FROM t"), "[v] ('a') ('a')");
        const std::string u = run_sql(after, "SELECT count(*) FROM u");
        EXPECT_TRUE(u == "[count(*)] (0)" || u == "[count(*)] (1)") << u;
        EXPECT_EQ(run_sql(after, "PRAGMA integrity_check"), "[integrity_check] ('ok')");
      }
    }
    EXPECT_GE(total, 4u);  // the tail's zeroing and its sync, the frames and their sync
  }
}

// What the log holds when a checkpoint starts to wait: its commits only;
// a cut-off frame after them, as a writer killed 100 bytes into its append
// leaves it; or, emptied, the one byte a checkpoint killed inside its wait
// leaves. In the last two, cutting the cut-off bytes would give back a
// length that readers scanned before, and they would not queue.
enum class LogState { Committed, CutOffFrame, OneByte };

const char* state_name(LogState s) {
  switch (s) {
    case LogState::Committed: return "commits only";
    case LogState::CutOffFrame: return "a cut-off frame after the commits";
    case LogState::OneByte: return "one byte, no commit";
  }
  return "?";
}

void append_bytes(const std::string& path, std::size_t n) {
  std::ofstream(path, std::ios::binary | std::ios::app) << std::string(n, 'k');
}

// A checkpoint waits for the statement in progress only: a reader that
// comes while it waits queues behind it instead of holding it off, and then
// reads what the checkpoint left. That reader last read the log before the
// checkpoint began, and before a cut-off frame was added. The checkpoint's
// window is made to last (unbounded waits), so that the test acts inside it
// however slowly it runs. A log without a commit gives a checkpoint
// nothing to wait for (see below): there, a switch to journal mode waits
// instead, which needs the log's lock to remove it.
TEST_F(WalReaders, ACheckpointWaitsOnlyForTheStatementsInProgress) {
  for (LogState state : {LogState::Committed, LogState::CutOffFrame, LogState::OneByte}) {
    SCOPED_TRACE(state_name(state));
    const bool switches = state == LogState::OneByte;
    make("PRAGMA journal_mode = wal; CREATE TABLE t (id INTEGER PRIMARY KEY); INSERT INTO t VALUES (1), (2)");
    if (state == LogState::OneByte) {
      Database c = open_db(path);
      ASSERT_EQ(run_sql(c, "PRAGMA wal_checkpoint"), "ok");
      append_bytes(path + "-wal", 1);
    }
    FaultVfs f1(os), f2(os), fw(os);
    auto r1 = Database::open(f1, path);
    auto r2 = Database::open(f2, path);
    auto w = Database::open(fw, path);
    ASSERT_TRUE(r1.ok() && r2.ok() && w.ok());
    ASSERT_EQ(run_sql(*r2, "SELECT count(*) FROM t"), "[count(*)] (2)");
    if (state == LogState::CutOffFrame) append_bytes(path + "-wal", 100);
    // R1 takes the log in now: its statement below must stop at a read of
    // a page, not inside a scan of the log (holding the side lock).
    ASSERT_EQ(run_sql(*r1, "SELECT 1"), "[expr] (1)");
    const std::uint64_t log_before = std::filesystem::file_size(path + "-wal");
    fw.set_unbounded_waits(true);
    std::atomic<bool> in_statement{false}, release{false};
    // The order of W's last truncation (of the log, under its exclusive
    // lock) and R2's first read (once it holds the log's shared lock).
    std::atomic<int> order{0};
    int w_cut = 0, r2_read = 0;
    std::string r1_got, w_got, r2_got;
    // R1's statement stops at its first read, holding the log's shared lock.
    f1.arm({.ops = static_cast<unsigned>(FaultOp::Read), .nth = 0});
    f1.set_hook([&](FaultOp, std::uint64_t n) {
      if (n != 1) return;
      in_statement = true;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (!release && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    });
    fw.arm({.ops = static_cast<unsigned>(FaultOp::Truncate), .nth = 0});
    fw.set_hook([&](FaultOp, std::uint64_t) { w_cut = ++order; });
    f2.arm({.ops = static_cast<unsigned>(FaultOp::Read), .nth = 0});
    f2.set_hook([&](FaultOp, std::uint64_t n) {
      if (n == 1) r2_read = ++order;
    });
    std::thread t1([&] { r1_got = run_sql(*r1, "SELECT count(*) FROM t"); });
    while (!in_statement) std::this_thread::yield();
    std::thread tw([&] { w_got = run_sql(*w, switches ? "PRAGMA journal_mode = delete" : "PRAGMA wal_checkpoint"); });
    const bool w_waits = wait_for_lock_waiter(path + "-wal");
    std::thread t2([&] { r2_got = run_sql(*r2, "SELECT count(*) FROM t"); });
    const bool r2_waits = wait_for_lock_waiter(path + "-wal", 2'000'000, 2);
    release = true;
    t1.join();
    tw.join();
    t2.join();
    for (FaultVfs* f : {&f1, &f2, &fw}) {
      f->set_hook(nullptr);
      f->disarm();
    }
    EXPECT_TRUE(w_waits);
    EXPECT_TRUE(r2_waits) << "the second reader did not queue behind the checkpoint";
    EXPECT_EQ(r1_got, "[count(*)] (2)");
    EXPECT_EQ(w_got, switches ? "[journal_mode] ('delete')" : "ok");
    EXPECT_EQ(r2_got, "[count(*)] (2)");
    EXPECT_LT(w_cut, r2_read) << "the second reader read before the checkpoint was done";
    if (switches) EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
    else EXPECT_EQ(std::filesystem::file_size(path + "-wal"), 0u);
    (void)log_before;
    EXPECT_EQ(run_sql(*r1, "INSERT INTO t VALUES (3); SELECT count(*) FROM t"), "affected 1 / [count(*)] (3)");
    EXPECT_EQ(run_sql(*r2, "SELECT count(*) FROM t; PRAGMA integrity_check"),
              "[count(*)] (3) / [integrity_check] ('ok')");
  }
}

// A lock taken through a descriptor of its own, as another process would
// hold it: whole-file, without waiting (not taken when another handle
// holds a lock that excludes it), given up when dropped.
class OutsideLock {
 public:
  OutsideLock(const std::string& path, bool exclusive) : fd_(::open(path.c_str(), O_RDWR)) {
    held_ = fd_ >= 0 && ::flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
  }
  ~OutsideLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  OutsideLock(const OutsideLock&) = delete;
  OutsideLock& operator=(const OutsideLock&) = delete;
  bool held() const { return held_; }

 private:
  int fd_;
  bool held_ = false;
};

// A checkpoint waiting behind one long statement holds the other readers
// off for a short window at a time only: while the statement runs, a reader
// keeps getting answers, and the checkpoint ends once the statement does.
// For each log state, with a checkpoint and with a switch to journal mode
// (but a checkpoint of a log without a commit, which does not wait).
TEST_F(WalReaders, ALongStatementHoldsOnlyTheCheckpointOff) {
  constexpr int kQueries = 200;
  for (LogState state : {LogState::Committed, LogState::CutOffFrame, LogState::OneByte}) {
    for (const char* waiting : {"PRAGMA wal_checkpoint", "PRAGMA journal_mode = delete"}) {
      if (state == LogState::OneByte && std::string(waiting) == "PRAGMA wal_checkpoint") continue;
      SCOPED_TRACE(std::string(state_name(state)) + ", " + waiting);
      make("PRAGMA journal_mode = wal; CREATE TABLE t (id INTEGER PRIMARY KEY); INSERT INTO t VALUES (1), (2)");
      Database c = open_db(path), r = open_db(path);
      if (state == LogState::OneByte) {
        ASSERT_EQ(run_sql(c, "PRAGMA wal_checkpoint"), "ok");
        append_bytes(path + "-wal", 1);
      }
      ASSERT_EQ(run_sql(r, "SELECT count(*) FROM t"), "[count(*)] (2)");
      if (state == LogState::CutOffFrame) append_bytes(path + "-wal", 100);
      // A statement of another process, in progress.
      std::optional<OutsideLock> statement(std::in_place, path + "-wal", false);
      ASSERT_TRUE(statement->held());
      std::atomic<bool> done{false};
      std::string c_got;
      std::thread tc([&] {
        c_got = run_sql(c, waiting);
        done = true;
      });
      ASSERT_TRUE(wait_for_side_lock_holder(path + "-wal")) << "the checkpoint never waited";
      // The reader runs in a thread of its own, so that one held off for
      // good is let go (the statement ends) rather than hanging the test.
      std::atomic<int> answered{0};
      std::atomic<bool> stop{false};
      std::thread tr([&] {
        while (answered < kQueries && !stop) {
          if (run_sql(r, "SELECT count(*) FROM t") != "[count(*)] (2)") break;
          ++answered;
        }
      });
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (answered < kQueries && !done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      const bool done_early = done;
      const int answered_meanwhile = answered;
      statement.reset();
      stop = true;
      tr.join();
      tc.join();
      EXPECT_FALSE(done_early) << "the checkpoint did not wait for the statement";
      EXPECT_EQ(answered_meanwhile, kQueries) << "the reader was held off while the statement ran";
      EXPECT_EQ(c_got, std::string(waiting).find("journal") != std::string::npos ? "[journal_mode] ('delete')" : "ok");
      EXPECT_EQ(run_sql(r, "INSERT INTO t VALUES (3); SELECT count(*) FROM t; PRAGMA integrity_check"),
                "affected 1 / [count(*)] (3) / [integrity_check] ('ok')");
    }
  }
}

// A checkpoint whose log holds nothing to copy (emptied by the last
// checkpoint, or holding a cut-off frame and no commit) returns at once,
// beside a statement of another process that does not end meanwhile, and
// so does a commit right after it: it holds no writer off behind the
// database's lock. Whether there is anything to copy is judged from the log
// as it stands once the checkpoint holds the database's lock: a commit
// that another connection appended after this one last looked is copied,
// once the statement ends.
TEST_F(WalReaders, ACheckpointWithNothingToCopyWaitsForNoStatement) {
  using namespace std::chrono_literals;
  enum class Log { Emptied, CutOffFrame, CommittedByAnother };
  for (Log log : {Log::Emptied, Log::CutOffFrame, Log::CommittedByAnother}) {
    SCOPED_TRACE(log == Log::Emptied ? "emptied" : log == Log::CutOffFrame ? "a cut-off frame" : "committed by another");
    make("PRAGMA journal_mode = wal; CREATE TABLE t (id INTEGER PRIMARY KEY); INSERT INTO t VALUES (1), (2)");
    Database c = open_db(path), w = open_db(path);
    ASSERT_EQ(run_sql(c, "PRAGMA wal_checkpoint; SELECT count(*) FROM t"), "ok / [count(*)] (2)");
    ASSERT_EQ(std::filesystem::file_size(path + "-wal"), 0u);
    if (log == Log::CutOffFrame) append_bytes(path + "-wal", 100);
    if (log == Log::CommittedByAnother) {
      ASSERT_EQ(run_sql(w, "INSERT INTO t VALUES (3)"), "affected 1");
    }
    // A statement of another process, in progress until released.
    std::optional<OutsideLock> statement(std::in_place, path + "-wal", false);
    ASSERT_TRUE(statement->held());
    std::atomic<bool> done{false};
    std::string got;
    std::thread tc([&] {
      got = run_sql(c, "PRAGMA wal_checkpoint");
      done = true;
    });
    if (log == Log::CommittedByAnother) {
      // It waits for the statement, in a window (holding the side lock).
      EXPECT_TRUE(wait_for_side_lock_holder(path + "-wal")) << "the checkpoint did not wait for the statement";
      EXPECT_FALSE(done) << "a commit was left in the log";
      statement.reset();
      tc.join();
      EXPECT_EQ(std::filesystem::file_size(path + "-wal"), 0u);
      EXPECT_EQ(run_sql(w, "INSERT INTO t VALUES (4)"), "affected 1");
    } else {
      // Long enough for a checkpoint that does not wait to end, however
      // slowly the test runs; one that waits never ends while it runs.
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (!done && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
      EXPECT_TRUE(done) << "the checkpoint waited for the statement";
      EXPECT_EQ(done ? run_sql(w, "INSERT INTO t VALUES (4)") : "", "affected 1");
      statement.reset();
      tc.join();
    }
    EXPECT_EQ(got, "ok");
    EXPECT_EQ(run_sql(c, "SELECT count(*) FROM t WHERE id >= 3; PRAGMA integrity_check"),
              std::string(log == Log::CommittedByAnother ? "[count(*)] (2)" : "[count(*)] (1)") +
                  " / [integrity_check] ('ok')");
  }
}

// Statements of half a second, run back to back by two other processes
// whose statements overlap, so that no moment is free of them: a
// checkpoint still gets the log, once a window outlasts the statements in
// progress. Each statement takes the log's lock as a reader does, queueing
// behind a window that is open (the side lock) before it takes the lock.
TEST_F(WalReaders, StatementsBackToBackHoldTheCheckpointOffForAWhileOnly) {
  using namespace std::chrono_literals;
  constexpr auto kStatement = 500ms;
  make("PRAGMA journal_mode = wal; CREATE TABLE t (id INTEGER PRIMARY KEY); INSERT INTO t VALUES (1), (2)");
  Database c = open_db(path);
  std::atomic<bool> stop{false}, failed{false};
  std::atomic<int> statements{0};
  auto run_statements = [&](std::chrono::milliseconds first_delay) {
    auto log = os.open(path + "-wal", false);
    if (!log.ok()) {
      failed = true;
      return;
    }
    VfsFile& f = **log;
    std::this_thread::sleep_for(first_delay);
    while (!stop) {
      if (!f.side_lock(false).ok() || !f.lock(false).ok() || !f.side_unlock().ok()) {
        failed = true;
        return;
      }
      ++statements;
      std::this_thread::sleep_for(kStatement);
      (void)f.unlock();
    }
  };
  std::thread r1(run_statements, 0ms);
  std::thread r2(run_statements, std::chrono::duration_cast<std::chrono::milliseconds>(kStatement / 2));
  while (statements < 2) std::this_thread::yield();
  std::atomic<bool> done{false};
  std::string got;
  const auto start = std::chrono::steady_clock::now();
  std::thread tc([&] {
    got = run_sql(c, "PRAGMA wal_checkpoint");
    done = true;
  });
  // Never free of statements, the log goes to the checkpoint in a window
  // or not at all; give it forty statements' time.
  while (!done && std::chrono::steady_clock::now() - start < 40 * kStatement) std::this_thread::sleep_for(1ms);
  const bool done_meanwhile = done;
  const auto waited = std::chrono::steady_clock::now() - start;
  stop = true;
  r1.join();
  r2.join();
  tc.join();
  EXPECT_FALSE(failed);
  EXPECT_TRUE(done_meanwhile) << "the checkpoint waited until the statements stopped";
  EXPECT_EQ(got, "ok");
  std::printf("checkpoint behind statements of %lld ms back to back: %lld ms\n",
              static_cast<long long>(kStatement.count()),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
  EXPECT_EQ(run_sql(c, "INSERT INTO t VALUES (3); SELECT count(*) FROM t; PRAGMA integrity_check"),
            "affected 1 / [count(*)] (3) / [integrity_check] ('ok')");
}

// A transaction begun before the link goes on and commits; later writes
// are refused. Whichever name is removed afterwards, the other holds every
// commit: at PRAGMA wal_checkpoint, or at close, the log (which the first
// name finds, and the second not) is copied into the database file. A
// connection that closes while another is in a transaction leaves the copy
// to that one's close.
TEST_F(WalReaders, ASecondNameStrandsNoCommitOfTheLog) {
  const std::string link = dir.file("y.db"), copy = dir.file("copy.db");
  const std::string rows = "[id] (1) (2) (3)";
  const std::string refused = "!io error: database file " + path +
                              " has 2 names (hard links): its journal and log could not be found from each of them";
  enum class End { Close, Checkpoint, LastToClose };
  for (End end : {End::Close, End::Checkpoint, End::LastToClose}) {
    for (bool remove_first : {true, false}) {
      SCOPED_TRACE(std::string(end == End::Close ? "close" : end == End::Checkpoint ? "checkpoint" : "last to close") +
                   (remove_first ? ", first name removed" : ", second name removed"));
      remove_files({path, link, copy});
      std::optional<Database> db(open_db(path)), other;
      ASSERT_EQ(run_sql(*db, "PRAGMA journal_mode = wal; CREATE TABLE t (id INTEGER PRIMARY KEY); "
                             "INSERT INTO t VALUES (1)"),
                "[journal_mode] ('wal') / ok / affected 1");
      // The writer whose transaction began before the link.
      Database* writer = &*db;
      if (end == End::LastToClose) {
        other.emplace(open_db(path));
        writer = &*other;
      }
      ASSERT_EQ(run_sql(*writer, "BEGIN; INSERT INTO t VALUES (2)"), "ok / affected 1");
      ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
      if (end == End::LastToClose) db.reset();  // the other holds the database's lock
      EXPECT_EQ(run_sql(*writer, "INSERT INTO t VALUES (3); COMMIT"), "affected 1 / ok");
      EXPECT_EQ(run_sql(*writer, "INSERT INTO t VALUES (4)"), refused);
      EXPECT_EQ(run_sql(*writer, "SELECT id FROM t ORDER BY id"), rows);
      if (end == End::Checkpoint) {
        EXPECT_EQ(run_sql(*writer, "PRAGMA wal_checkpoint"), "ok");
        // The database file alone holds every commit now.
        std::filesystem::copy_file(path, copy);
        Database copied = open_db(copy);
        EXPECT_EQ(run_sql(copied, "SELECT id FROM t ORDER BY id"), rows);
      }
      db.reset();
      other.reset();
      ASSERT_EQ(::unlink((remove_first ? path : link).c_str()), 0);
      Database kept = open_db(remove_first ? link : path);
      EXPECT_EQ(run_sql(kept, "SELECT id FROM t ORDER BY id; PRAGMA integrity_check"),
                rows + " / [integrity_check] ('ok')");
    }
  }
}

// The last connection on a file that gained a name closes while its lock
// or the log's is held for a moment by someone else: an opener of the
// second name (which holds the database's lock exclusively inside its open,
// and is then refused) or another reader's statement (which holds the
// log's shared). The holder takes its lock just before one of the close's
// lock requests and lets go just before the next one: the close waits for
// it and copies the log, so either name holds every commit afterwards.
TEST_F(WalReaders, TheLastCloseOfASecondNameWaitsForALockHeldForAMoment) {
  const std::string link = dir.file("y.db");
  const std::string rows = "[id] (1) (2)";
  struct Holder {
    const char* name;
    std::string file;
    bool exclusive;
  };
  for (const Holder& h : {Holder{"an opener of the second name", link, true},
                          Holder{"a reader's statement", path + "-wal", false}}) {
    // Counts the close's lock requests when nothing holds a lock (nth 0),
    // or has the holder take its lock before the nth one.
    auto scenario = [&](std::uint64_t nth, bool remove_first) -> std::uint64_t {
      remove_files({path, link});
      FaultVfs fault(os);
      std::optional<Database> db;
      {
        auto opened = Database::open(fault, path);
        if (!opened.ok()) {
          ADD_FAILURE() << opened.error().to_string();
          return 0;
        }
        db.emplace(std::move(*opened));
      }
      EXPECT_EQ(run_sql(*db, "PRAGMA journal_mode = wal; CREATE TABLE t (id INTEGER PRIMARY KEY); "
                             "INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)"),
                "[journal_mode] ('wal') / ok / affected 1 / affected 1");
      EXPECT_EQ(::link(path.c_str(), link.c_str()), 0);
      std::optional<OutsideLock> holder;
      fault.arm({.ops = static_cast<unsigned>(FaultOp::Lock)});
      fault.set_hook([&](FaultOp, std::uint64_t n) {
        holder.reset();
        if (n == nth) holder.emplace(h.file, h.exclusive);
      });
      db.reset();
      const std::uint64_t requests = fault.count();
      fault.set_hook(nullptr);
      holder.reset();
      if (nth == 0) return requests;
      EXPECT_EQ(::unlink((remove_first ? path : link).c_str()), 0);
      Database kept = open_db(remove_first ? link : path);
      EXPECT_EQ(run_sql(kept, "SELECT id FROM t ORDER BY id; PRAGMA integrity_check"),
                rows + " / [integrity_check] ('ok')");
      return requests;
    };
    const std::uint64_t requests = scenario(0, false);
    bool retried = false;
    ASSERT_GE(requests, 2u);  // the database's lock, then the log's
    for (std::uint64_t nth = 1; nth <= requests; ++nth) {
      for (bool remove_first : {true, false}) {
        SCOPED_TRACE(std::string(h.name) + " at lock request " + std::to_string(nth) +
                     (remove_first ? ", first name removed" : ", second name removed"));
        if (scenario(nth, remove_first) > requests) retried = true;
      }
    }
    EXPECT_TRUE(retried) << h.name << " never made the close ask again";
  }
}

}  // namespace
}  // namespace bkf::testing
