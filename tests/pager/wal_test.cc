// The write-ahead log: frames, rescans, checkpoints, synchronous levels and
// journal-mode switches.
#include <gtest/gtest.h>

#include "pager_test_util.h"
#include "support/fault_vfs.h"
#include "support/lock_probe.h"
#include "support/temp_dir.h"

namespace bkf::testing {
namespace {

constexpr std::uint32_t kPs = 512;
constexpr std::size_t kFrame = kPs + 8;

class WalTest : public ::testing::Test {
 protected:
  // A WAL-mode database with pages 2..11 checkpointed into the file.
  void SetUp() override {
    p_ = must(Pager::create(vfs_, path_, kPs));
    append_pages(*p_, 10, 1);
    must(p_->set_journal_mode_wal());
  }
  std::string wal() { return read_file(path_ + "-wal"); }
  void commit_page(PageId id, std::uint32_t version) {
    must(p_->begin());
    fill_page(*p_, id, version);
    must(p_->commit());
  }

  TempDir dir_;
  OsVfs vfs_;
  std::string path_ = dir_.file("t.db");
  std::unique_ptr<Pager> p_;
};

// A commit leaves the database file alone; a torn or uncommitted tail
// after it in the log is ignored. The next commit does not write over the
// tail: it zeroes the header of each of its frames (a cut-off one too) and
// goes after it, so the log only grows.
TEST_F(WalTest, TornAndUncommittedTailsAreIgnoredThenMadeInert) {
  const std::string file_before = read_file(path_);
  commit_page(3, 2);
  EXPECT_EQ(read_file(path_), file_before);
  DbState committed = capture(*p_);
  const std::string log = wal();
  ASSERT_EQ(log.size(), 2 * kFrame);
  p_.reset();
  const std::string frame = log.substr(0, kFrame);
  for (const std::string& tail : {frame.substr(0, 100), frame, frame + log.substr(kFrame, kFrame - 1)}) {
    write_file(path_ + "-wal", log + tail);
    p_ = must(Pager::open(vfs_, path_));
    EXPECT_EQ(capture(*p_), committed);
    commit_page(4, 3);
    const std::size_t tail_frames = (tail.size() + kFrame - 1) / kFrame;
    const std::string now = wal();
    ASSERT_EQ(now.size(), (4 + tail_frames) * kFrame);
    EXPECT_EQ(now.substr(0, log.size()), log);
    for (std::size_t i = 0; i < tail_frames; ++i) {
      EXPECT_EQ(now.substr(log.size() + i * kFrame, 8), std::string(8, '\0')) << i;
    }
    DbState after = capture(*p_);
    p_.reset();
    EXPECT_EQ(capture_file(path_), after);
  }
}

TEST_F(WalTest, CheckpointCopiesCommittedPagesAndSkipsOthers) {
  commit_page(2, 6);
  DbState after = capture(*p_);
  p_.reset();
  // Frames for page 0 and page 40 in front of the committed ones are skipped.
  std::string junk(2 * kFrame, 'J');
  put_be32(junk, 0, 0);
  put_be32(junk, 4, 0);
  put_be32(junk, kFrame, 40);
  put_be32(junk, kFrame + 4, 0);
  write_file(path_ + "-wal", junk + wal());
  p_ = must(Pager::open(vfs_, path_));
  must(p_->wal_checkpoint());
  EXPECT_EQ(wal().size(), 0u);
  EXPECT_EQ(read_file(path_).size(), 11 * kPs);
  p_.reset();
  // The file alone now holds everything.
  ASSERT_EQ(::unlink((path_ + "-wal").c_str()), 0);
  EXPECT_EQ(capture_file(path_), after);
  // A checkpoint with nothing committed leaves a tail alone.
  write_file(path_ + "-wal", std::string(100, 'x'));
  p_ = must(Pager::open(vfs_, path_));
  must(p_->wal_checkpoint());
  EXPECT_EQ(wal().size(), 100u);
}

TEST_F(WalTest, SynchronousLevels) {
  FaultVfs fault(vfs_);
  p_ = must(Pager::open(fault, path_));
  const std::uint64_t cases[][3] = {{2, 1, 2}, {1, 0, 2}, {0, 0, 1}};  // level, syncs of a commit, of a checkpoint
  for (const auto& c : cases) {
    p_->set_synchronous(static_cast<std::uint8_t>(c[0]));
    must(p_->begin());
    fill_page(*p_, 3, 5);
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Sync)});
    must(p_->commit());
    EXPECT_EQ(fault.count(), c[1]) << c[0];
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Sync)});
    must(p_->wal_checkpoint());
    EXPECT_EQ(fault.count(), c[2]) << c[0];
  }
}

// A checkpoint whose last sync (of the emptied log) fails: the next
// commit makes the cut durable before it writes, even at levels that do not
// sync a commit, so that a power cut cannot bring the old frames back
// behind the new ones. The commit after it syncs as its level says.
TEST_F(WalTest, ACheckpointCutWhoseSyncFailedIsSyncedByTheNextCommit) {
  FaultVfs fault(vfs_);
  p_ = must(Pager::open(fault, path_));
  for (std::uint8_t level : {0, 1}) {
    p_->set_synchronous(level);
    commit_page(3, 7);
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Sync), .nth = level == 0 ? 1u : 2u});
    EXPECT_FALSE(p_->wal_checkpoint().ok()) << int{level};
    EXPECT_TRUE(fault.fired()) << int{level};
    EXPECT_EQ(wal(), "") << int{level};
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Sync)});
    commit_page(4, 8);
    EXPECT_EQ(fault.count(), 1u) << int{level};
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Sync)});
    commit_page(5, 9);
    EXPECT_EQ(fault.count(), 0u) << int{level};
    fault.disarm();
    must(p_->wal_checkpoint());
  }
}

TEST_F(WalTest, AutomaticCheckpointByDistinctPagesAndByFrames) {
  must(p_->begin());
  for (int i = 0; i < 999; ++i) fill_page(*p_, must(p_->alloc_page()), 1);
  must(p_->commit());  // 999 pages + page 1 = 1000 distinct
  EXPECT_EQ(wal().size(), 0u);
  EXPECT_EQ(read_file(path_).size(), std::size_t{p_->page_count()} * kPs);
  EXPECT_FALSE(lock_would_block(path_, true));
  // The same page again and again: few distinct pages, many frames.
  p_->set_synchronous(0);
  int commits = 0;
  for (; commits < 600; ++commits) {
    commit_page(2, commits);
    if (wal().empty()) break;
  }
  EXPECT_EQ(commits, 499);  // the 500th commit brings the log to 1000 frames
}

TEST_F(WalTest, OpeningAdoptsOrRemovesALog) {
  commit_page(6, 7);
  DbState in_log = capture(*p_);
  p_.reset();
  // The file's header says journal mode, but the log holds a newer commit
  // whose header says write-ahead-log mode: the log wins.
  std::string file = read_file(path_);
  file[42] = 0;
  write_file(path_, file);
  p_ = must(Pager::open(vfs_, path_));
  EXPECT_TRUE(p_->is_wal());
  EXPECT_EQ(capture(*p_), in_log);
  must(p_->set_journal_mode_delete());
  EXPECT_FALSE(vfs_.exists(path_ + "-wal"));
  p_.reset();
  // A journal-mode database with an empty log beside it: the log goes.
  write_file(path_ + "-wal", "");
  p_ = must(Pager::open(vfs_, path_));
  EXPECT_FALSE(p_->is_wal());
  EXPECT_FALSE(vfs_.exists(path_ + "-wal"));
  EXPECT_EQ(capture(*p_), in_log);
}

// A journal-mode connection with the pages of its own later commit cached
// switches over a log holding an older commit: it adopts the log.
TEST_F(WalTest, SwitchingOverALogWithCommitsAdoptsIt) {
  commit_page(9, 9);
  DbState in_log = capture(*p_);
  const std::string log = wal();
  must(p_->set_journal_mode_delete());
  commit_page(9, 10);
  write_file(path_ + "-wal", log);
  const std::uint64_t version = p_->data_version();
  must(p_->set_journal_mode_wal());
  EXPECT_EQ(p_->data_version(), version + 1);
  EXPECT_EQ(capture(*p_), in_log);
}

}  // namespace
}  // namespace bkf::testing
