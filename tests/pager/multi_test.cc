// Several connections on one file: in one thread, in threads, and in a
// second process killed in the middle of a commit.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "base/bytes.h"
#include "pager_test_util.h"
#include "support/fault_vfs.h"
#include "support/lock_probe.h"
#include "support/lock_watch_vfs.h"
#include "support/temp_dir.h"

namespace bkf::testing {
namespace {

constexpr std::uint32_t kPs = 512;

std::uint32_t read_u32(Pager& p, PageId id) {
  PageRef page = must(p.get_page(id));
  return load_be32(page.data());
}

void write_u32(Pager& p, PageId id, std::uint32_t v) {
  PageRef page = must(p.get_page(id));
  store_be32(page.mutable_data(), v);
}

// Adds one to the counter kept on page `id`, in its own transaction.
void increment(Pager& p, PageId id) {
  must(p.begin());
  write_u32(p, id, read_u32(p, id) + 1);
  must(p.commit());
}

std::uint32_t peek(Pager& p, PageId id) {
  must(p.read_lock());
  std::uint32_t v = read_u32(p, id);
  must(p.read_unlock());
  return v;
}

class MultiTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    auto p = must(Pager::create(vfs_, path_, kPs));
    append_pages(*p, 10, 1);
    must(p->begin());
    for (PageId id = 2; id <= 11; ++id) write_u32(*p, id, 0);
    must(p->commit());
    if (wal()) must(p->set_journal_mode_wal());
  }
  bool wal() const { return GetParam(); }
  std::unique_ptr<Pager> open() { return must(Pager::open(vfs_, path_)); }

  TempDir dir_;
  OsVfs vfs_;
  std::string path_ = dir_.file("t.db");
};

INSTANTIATE_TEST_SUITE_P(Modes, MultiTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Wal" : "Journal"; });

TEST_P(MultiTest, CommitsAreNoticedAtBeginAndReadLock) {
  auto a = open();
  auto b = open();
  EXPECT_EQ(peek(*b, 3), 0u);  // now cached by b
  const std::uint64_t version = b->data_version();
  increment(*a, 3);
  EXPECT_EQ(a->data_version(), 0u);  // its own commits are not foreign
  EXPECT_EQ(peek(*b, 3), 1u);
  EXPECT_EQ(b->data_version(), version + 1);
  EXPECT_EQ(peek(*b, 3), 1u);
  EXPECT_EQ(b->data_version(), version + 1);  // nothing new
  increment(*a, 3);
  increment(*b, 3);  // begin takes a's commit over first
  EXPECT_EQ(peek(*a, 3), 3u);
  // Pages appended by one are visible to the other.
  append_pages(*a, 5, 4);
  must(b->read_lock());
  EXPECT_EQ(b->page_count(), 16u);
  EXPECT_EQ(must(b->get_page(16)).data()[5], static_cast<std::uint8_t>(16 * 31 + 28 + 5));
  must(b->read_unlock());
  // A log emptied by a checkpoint and refilled to the very same length
  // still holds something new.
  if (!wal()) return;
  must(a->wal_checkpoint());
  increment(*a, 3);
  EXPECT_EQ(peek(*b, 3), 4u);
  must(a->wal_checkpoint());
  increment(*a, 3);
  EXPECT_EQ(peek(*b, 3), 5u);
}

// A writer makes other writers wait, and in journal mode readers too; log
// readers go on reading the last commit.
TEST_P(MultiTest, WritersExcludeEachOtherAndJournalReaders) {
  auto a = open();
  auto b = open();
  auto c = open();  // (opening takes the write lock for a moment)
  must(a->begin());
  EXPECT_TRUE(lock_would_block(path_, false));
  write_u32(*a, 4, 42);
  std::atomic<bool> began{false};
  std::thread writer([&] {
    must(b->begin());
    began = true;
  });
  ASSERT_TRUE(wait_for_lock_waiter(path_));
  EXPECT_FALSE(began.load());
  if (wal()) {
    EXPECT_EQ(peek(*c, 4), 0u);
  }
  std::thread reader([&] {
    if (!wal()) {
      EXPECT_EQ(peek(*c, 4), 42u);
    }
  });
  must(a->commit());
  writer.join();
  EXPECT_EQ(read_u32(*b, 4), 42u);  // b's begin came after a's commit
  must(b->rollback());
  reader.join();
}

TEST_P(MultiTest, CheckpointWaitsForLogReaders) {
  if (!wal()) GTEST_SKIP() << "journal mode has no log";
  auto a = open();
  auto b = open();
  increment(*a, 2);
  must(b->read_lock());
  std::atomic<bool> done{false};
  std::thread cp([&] {
    must(a->wal_checkpoint());
    done = true;
  });
  ASSERT_TRUE(wait_for_side_lock_holder(path_ + "-wal"));
  EXPECT_FALSE(done.load());
  EXPECT_EQ(read_u32(*b, 2), 1u);
  must(b->read_unlock());
  cp.join();
  EXPECT_EQ(read_file(path_ + "-wal").size(), 0u);
  EXPECT_EQ(peek(*b, 2), 1u);
}

TEST_P(MultiTest, FailedReadLockReleasesItsLock) {
  auto a = open();
  if (wal()) must(a->set_journal_mode_delete());
  std::string bytes = read_file(path_);
  std::string damaged = bytes;
  damaged[0] = 'X';
  write_file(path_, damaged);
  // Same counter, damaged magic: the refresh fails to decode the header.
  Status st = a->read_lock();
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().to_string(), "bad database header: magic mismatch");
  EXPECT_FALSE(lock_would_block(path_, true));
  EXPECT_FALSE(a->begin().ok());
  EXPECT_FALSE(lock_would_block(path_, true));
  write_file(path_, bytes);
  increment(*a, 2);
}

// A reader that finds a crashed writer's journal recovers it under the
// exclusive lock and then takes its shared lock anew, looking for a journal
// again: going from exclusive to shared is not atomic, and another writer
// may take the file in between and crash in its turn. The fault layer opens
// that gap at the reader's first lock request after the recovery, and a
// second writer crashes there at its commit point. The reader must recover
// that journal too and read the committed zeros, never the crashed
// writer's pages.
TEST_P(MultiTest, ReaderRecoveringAJournalLooksAgainOnceLocked) {
  if (wal()) GTEST_SKIP() << "hot journals are journal mode's";
  // Another connection sets pages 2..11 to `v` and crashes at its commit
  // point: its pages are in the file and its journal beside it.
  auto crash_mid_commit = [&](std::uint32_t v) {
    FaultVfs crashing(vfs_);
    auto w = must(Pager::open(crashing, path_));
    crashing.arm({.ops = static_cast<unsigned>(FaultOp::Unlink), .nth = 1, .action = FaultPlan::Action::Crash});
    must(w->begin());
    for (PageId id = 2; id <= 11; ++id) write_u32(*w, id, v);
    EXPECT_FALSE(w->commit().ok());
    EXPECT_TRUE(crashing.crashed());
  };
  FaultVfs fault(vfs_);
  auto reader = must(Pager::open(fault, path_));
  crash_mid_commit(1);
  ASSERT_TRUE(vfs_.exists(path_ + "-journal"));
  bool recovered = false, crashed_again = false;
  fault.set_hook([&](FaultOp op, std::uint64_t) {
    if (op == FaultOp::Unlink) recovered = true;
    if (op != FaultOp::Lock || !recovered || crashed_again) return;
    crashed_again = true;
    // (Were the reader still holding a lock, the writer would wait forever.)
    ASSERT_FALSE(lock_would_block(path_, true)) << "the reader kept a lock over its gap";
    crash_mid_commit(2);
  });
  fault.arm({.ops = static_cast<unsigned>(FaultOp::Lock) | static_cast<unsigned>(FaultOp::Unlink), .lock_gaps = true});
  must(reader->read_lock());
  EXPECT_TRUE(crashed_again);
  for (PageId id = 2; id <= 11; ++id) EXPECT_EQ(read_u32(*reader, id), 0u) << "page " << id;
  must(reader->read_unlock());
  EXPECT_FALSE(vfs_.exists(path_ + "-journal"));
  fault.disarm();
  reader.reset();
  auto other = open();
  for (PageId id = 2; id <= 11; ++id) EXPECT_EQ(peek(*other, id), 0u) << "page " << id;
}

// One connection switches the journal mode back and forth while another
// keeps committing: the other follows every switch and nothing is lost.
// (Processes racing switches and commits: the reliability suite.)
TEST_P(MultiTest, ModeSwitchesWhileAnotherWrites) {
  auto a = open();
  auto b = open();
  for (int round = 0; round < 6; ++round) {
    increment(*a, 2);
    if (round % 2 == wal()) must(b->set_journal_mode_wal());
    else must(b->set_journal_mode_delete());
    increment(*a, 2);
    EXPECT_EQ(a->is_wal(), b->is_wal()) << round;
    increment(*b, 3);
    EXPECT_EQ(peek(*a, 3), static_cast<std::uint32_t>(round + 1));
  }
  EXPECT_EQ(peek(*b, 2), 12u);
  // Two switches between a's transactions: the log a has open was removed
  // and a new one made under the same name; a must write into the new one.
  must(b->set_journal_mode_wal());
  increment(*a, 6);
  must(b->set_journal_mode_delete());
  must(b->set_journal_mode_wal());
  increment(*a, 6);
  EXPECT_EQ(peek(*b, 6), 2u);
  a.reset();
  b.reset();
  auto c = open();
  EXPECT_EQ(peek(*c, 2), 12u);
  EXPECT_EQ(peek(*c, 6), 2u);
  EXPECT_FALSE(vfs_.exists(path_ + "-journal"));
}

// The same two switches when another program has linked the log to a name
// of its own (a backup made by hard links): the log a has open keeps a
// name after its removal, yet a must notice that the log at its path is
// another file, read b's commit and write into the new log. The switch
// finds the log holding commits, which its checkpoint empties, or, after a
// checkpoint, only the frames of a writer killed in the middle of its
// append, which it has no commit to copy from and removes as they are.
TEST_P(MultiTest, AnOutsideLinkToTheLogAroundAModeSwitch) {
  if (!wal()) GTEST_SKIP() << "a link to the log";
  const std::string wal_path = path_ + "-wal", backup = dir_.file("backup-wal");
  for (bool killed_writer : {false, true}) {
    SCOPED_TRACE(killed_writer ? "the log holds a killed writer's frames" : "the log holds commits");
    const PageId page = killed_writer ? 7 : 4;
    auto a = open();
    auto b = open();
    increment(*b, page);
    EXPECT_EQ(peek(*a, page), 1u);  // a has read the log
    if (killed_writer) {
      must(b->wal_checkpoint());
      FaultVfs fault(vfs_);
      auto w = must(Pager::open(fault, path_));
      fault.arm({.ops = static_cast<unsigned>(FaultOp::Write), .nth = 1, .action = FaultPlan::Action::Crash,
                 .torn = true});
      must(w->begin());
      write_u32(*w, 5, 99);
      EXPECT_FALSE(w->commit().ok());
      ASSERT_GT(std::filesystem::file_size(wal_path), 0u);
    }
    ASSERT_EQ(::link(wal_path.c_str(), backup.c_str()), 0);
    must(b->set_journal_mode_delete());
    must(b->set_journal_mode_wal());
    increment(*b, page);
    EXPECT_EQ(peek(*a, page), 2u);
    increment(*a, page);
    EXPECT_EQ(peek(*b, page), 3u);
    a.reset();
    b.reset();
    auto c = open();
    EXPECT_EQ(peek(*c, page), 3u);
    EXPECT_EQ(peek(*c, 5), 0u);
    must(c->wal_checkpoint());
    ASSERT_EQ(::unlink(backup.c_str()), 0);
  }
}

// A log reader that locks the log just after a switch to journal mode
// removed it (the switcher is held right after the removal) must end up
// excluding journal-mode writers, and must not make a new log.
TEST_P(MultiTest, ReaderRacingASwitchToJournalMode) {
  if (!wal()) GTEST_SKIP() << "a switch away from the log";
  FaultVfs fault(vfs_);
  auto switcher = must(Pager::open(fault, path_));
  auto reader = open();
  EXPECT_EQ(peek(*reader, 2), 0u);  // the reader has the log open
  std::atomic<int> stage{0};
  bool removed = false;
  fault.set_hook([&](FaultOp op, std::uint64_t) {
    if (op == FaultOp::Unlink) removed = true;
    if (!removed || op == FaultOp::Unlink || stage != 0) return;
    stage = 1;
    while (stage != 2) std::this_thread::yield();
  });
  fault.arm({});
  std::thread sw([&] { must(switcher->set_journal_mode_delete()); });
  while (stage != 1) std::this_thread::yield();
  std::thread rd([&] { must(reader->read_lock()); });
  // The reader either finishes (on the log's lock) or waits for the
  // switcher's database lock; give it the moment to do either.
  for (int i = 0; i < 200 && !wait_for_lock_waiter(path_, 1); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  stage = 2;
  sw.join();
  rd.join();
  EXPECT_FALSE(reader->is_wal());
  EXPECT_TRUE(lock_would_block(path_, true)) << "a journal-mode writer would not wait for the reader";
  EXPECT_FALSE(vfs_.exists(path_ + "-wal"));
  must(reader->read_unlock());
}

// A writer in another process is killed while it commits (it stops itself
// before the chosen file operation and waits for the signal). The survivor's
// next begin recovers: the result is exactly the before-state, or, once a
// WAL commit's frames are written, the after-state.
// A lock is always unlocked before its file is closed, never left to the
// close (a forked child's copy of the descriptor would keep it): when an
// open fails after locking, when a switch to journal mode closes the log it
// locked, and when a reader finds its locked log removed by another
// connection's switch.
TEST_P(MultiTest, NoLockIsLeftToAClose) {
  LockWatchVfs watch(vfs_);
  const std::string bad = dir_.file("bad.db");
  write_file(bad, std::string(4096, 'x'));
  EXPECT_EQ(outcome(Pager::open(watch, bad)), "bad database header: magic mismatch");
  {
    auto reader = must(Pager::open(watch, path_));
    auto switcher = must(Pager::open(watch, path_));
    if (!wal()) must(switcher->set_journal_mode_wal());
    EXPECT_EQ(peek(*reader, 2), 0u);  // the reader has the log open now
    must(switcher->set_journal_mode_delete());
    EXPECT_EQ(peek(*reader, 2), 0u);  // and finds it gone
    EXPECT_FALSE(reader->is_wal());
  }
  EXPECT_EQ(watch.closed_locked(), std::vector<std::string>{});
}

TEST_P(MultiTest, WriterKilledMidCommit) {
  // Journal mode: journal write, its truncate, sync, directory sync, pages,
  // header, database sync, and the unlink that would commit. WAL mode: the
  // frames' write, then the log's sync.
  const std::vector<std::uint64_t> stops = wal() ? std::vector<std::uint64_t>{1, 2}
                                                 : std::vector<std::uint64_t>{1, 3, 5, 6, 7, 8};
  for (std::uint64_t stop_at : stops) {
    auto survivor = open();
    const DbState before = capture(*survivor);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      OsVfs os;
      FaultVfs fault(os);
      auto pr = Pager::open(fault, path_);
      if (!pr.ok()) ::_exit(2);
      Pager& p = **pr;
      fault.set_hook([&](FaultOp, std::uint64_t n) {
        if (n == stop_at) {
          (void)!::write(ready[1], "x", 1);
          for (;;) ::pause();
        }
      });
      fault.arm({});
      if (!p.begin().ok()) ::_exit(3);
      for (PageId id = 2; id <= 11; ++id) {
        auto page = p.get_page(id);
        if (!page.ok()) ::_exit(4);
        std::memset(page->mutable_data(), 0x5A, kPs);
      }
      (void)p.commit();
      ::_exit(5);  // the commit should not get here
    }
    ::close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1) << "the child did not reach operation " << stop_at;
    ::close(ready[0]);
    EXPECT_TRUE(lock_would_block(path_, true));  // it holds the write lock
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    must(survivor->begin());
    EXPECT_FALSE(vfs_.exists(path_ + "-journal"));
    const bool unchanged = read_u32(*survivor, 2) == 0;
    write_u32(*survivor, 11, read_u32(*survivor, 11));  // one more commit on top
    must(survivor->commit());
    const DbState now = capture(*survivor);
    DbState changed = before;
    for (PageId id = 2; id <= 11; ++id) changed.pages[id - 2] = std::string(kPs, 0x5A);
    EXPECT_TRUE(now == (unchanged ? before : changed)) << "stopped at operation " << stop_at;
    EXPECT_EQ(unchanged, !(wal() && stop_at == 2)) << "operation " << stop_at;
    survivor.reset();
    EXPECT_TRUE(capture_file(path_) == now);
    // Start the next round from the before-state.
    auto p = open();
    must(p->begin());
    for (PageId id = 2; id <= 11; ++id) write_u32(*p, id, 0);
    must(p->commit());
  }
}

}  // namespace
}  // namespace bkf::testing
