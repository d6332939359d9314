// The write-ahead log: frames, rescans, checkpoints, synchronous levels and
// journal-mode switches.
#include <gtest/gtest.h>

#include "pager/wal.h"
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

  TempDir dir_;
  OsVfs vfs_;
  std::string path_ = dir_.file("t.db");
  std::unique_ptr<Pager> p_;
};

TEST_F(WalTest, CommitAppendsOneFramePerPageAndAHeaderCommitFrame) {
  EXPECT_TRUE(p_->is_wal());
  EXPECT_EQ(wal().size(), 0u);
  const std::string file_before = read_file(path_);
  must(p_->begin());
  fill_page(*p_, 7, 2);
  fill_page(*p_, 5, 2);
  must(p_->commit());
  const std::string log = wal();
  ASSERT_EQ(log.size(), 3 * kFrame);
  EXPECT_EQ(be32_at(log, 0), 5u);
  EXPECT_EQ(be32_at(log, 4), 0u);
  EXPECT_EQ(be32_at(log, kFrame), 7u);
  EXPECT_EQ(be32_at(log, kFrame + 4), 0u);
  EXPECT_EQ(be32_at(log, 2 * kFrame), 1u);
  EXPECT_EQ(be32_at(log, 2 * kFrame + 4), 11u);  // the page count
  const std::string image = log.substr(2 * kFrame + 8);
  EXPECT_EQ(image.substr(0, 14), "Brackenford v1");
  EXPECT_EQ(be32_at(image, 30), p_->header().change_counter);
  EXPECT_EQ(image[42], 1);
  EXPECT_EQ(image.substr(100), std::string(kPs - 100, '\0'));
  EXPECT_EQ(read_file(path_), file_before);  // the database file is untouched

  DbState after = capture(*p_);
  p_.reset();
  EXPECT_EQ(capture_file(path_), after);  // a reopen reads through the log
}

TEST_F(WalTest, TornAndUncommittedTailsAreIgnoredThenCut) {
  must(p_->begin());
  fill_page(*p_, 3, 2);
  must(p_->commit());
  DbState committed = capture(*p_);
  const std::string log = wal();
  ASSERT_EQ(log.size(), 2 * kFrame);
  p_.reset();

  const std::string frame_without_commit = log.substr(0, kFrame);
  for (const std::string& tail : {frame_without_commit.substr(0, 100), frame_without_commit,
                                  frame_without_commit + log.substr(kFrame, kFrame - 1)}) {
    write_file(path_ + "-wal", log + tail);
    auto p = must(Pager::open(vfs_, path_));
    EXPECT_EQ(capture(*p), committed);
    // The next commit overwrites the tail and the file ends with it.
    must(p->begin());
    fill_page(*p, 4, 3);
    must(p->commit());
    EXPECT_EQ(wal().size(), 4 * kFrame);
    DbState after = capture(*p);
    p.reset();
    EXPECT_EQ(capture_file(path_), after);
  }
}

TEST_F(WalTest, UnchangedNoticesAppendsAndCheckpoints) {
  auto other = must(Pager::open(vfs_, path_));
  std::unique_ptr<Wal> log = must(Wal::open(vfs_, path_, kPs));
  EXPECT_FALSE(must(log->unchanged(p_->header().change_counter)));  // no commit yet
  append_pages(*other, 1, 2);
  must(log->rescan());
  EXPECT_TRUE(must(log->unchanged(other->header().change_counter)));
  EXPECT_FALSE(must(log->unchanged(other->header().change_counter - 1)));
  EXPECT_EQ(log->db_pages(), 12u);
  append_pages(*other, 1, 2);
  EXPECT_FALSE(must(log->unchanged(other->header().change_counter - 1)));  // longer now
  must(log->rescan());                                                      // incremental
  EXPECT_EQ(log->frame_count(), 4u);
  EXPECT_TRUE(must(log->unchanged(other->header().change_counter)));
  must(other->wal_checkpoint());
  EXPECT_FALSE(must(log->unchanged(other->header().change_counter)));
  must(log->rescan());
  EXPECT_FALSE(log->has_commit());
  // Refilled to the very same length, the log still differs by its counter.
  append_pages(*other, 1, 3);
  append_pages(*other, 1, 3);
  must(log->rescan());
  EXPECT_EQ(log->frame_count(), 4u);
  EXPECT_EQ(log->db_pages(), 15u);
}

TEST_F(WalTest, CheckpointCopiesCommittedPagesAndEmptiesTheLog) {
  must(p_->begin());
  for (PageId id = 2; id <= 11; ++id) fill_page(*p_, id, 5);
  fill_page(*p_, must(p_->alloc_page()), 5);
  must(p_->commit());
  DbState after = capture(*p_);
  must(p_->wal_checkpoint());
  EXPECT_EQ(wal().size(), 0u);
  EXPECT_EQ(read_file(path_).size(), 12 * kPs);
  EXPECT_EQ(capture(*p_), after);
  // The file alone (without the log) now holds everything.
  p_.reset();
  ASSERT_EQ(::unlink((path_ + "-wal").c_str()), 0);
  EXPECT_EQ(capture_file(path_), after);
  // A checkpoint with nothing committed leaves a tail alone.
  write_file(path_ + "-wal", std::string(100, 'x'));
  p_ = must(Pager::open(vfs_, path_));
  must(p_->wal_checkpoint());
  EXPECT_EQ(wal().size(), 100u);
}

TEST_F(WalTest, CheckpointSkipsFramesForPageZeroAndBeyondTheDatabase) {
  must(p_->begin());
  fill_page(*p_, 2, 6);
  must(p_->commit());
  DbState after = capture(*p_);
  p_.reset();
  // Put frames for page 0 and page 40 in front of the committed ones.
  std::string log = wal();
  std::string junk(2 * kFrame, 'J');
  put_be32(junk, 0, 0);
  put_be32(junk, 4, 0);
  put_be32(junk, kFrame, 40);
  put_be32(junk, kFrame + 4, 0);
  write_file(path_ + "-wal", junk + log);
  p_ = must(Pager::open(vfs_, path_));
  must(p_->wal_checkpoint());
  EXPECT_EQ(read_file(path_).size(), 11 * kPs);
  EXPECT_EQ(capture(*p_), after);
}

TEST_F(WalTest, SynchronousLevels) {
  FaultVfs fault(vfs_);
  p_ = must(Pager::open(fault, path_));
  struct Case {
    std::uint8_t level;
    std::uint64_t commit_syncs;
    std::uint64_t checkpoint_syncs;
  };
  for (Case c : {Case{2, 1, 2}, Case{1, 0, 2}, Case{0, 0, 1}}) {
    p_->set_synchronous(c.level);
    must(p_->begin());
    fill_page(*p_, 3, c.level);
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Sync)});
    must(p_->commit());
    EXPECT_EQ(fault.count(), c.commit_syncs) << int{c.level};
    fault.arm({.ops = static_cast<unsigned>(FaultOp::Sync)});
    must(p_->wal_checkpoint());
    EXPECT_EQ(fault.count(), c.checkpoint_syncs) << int{c.level};
  }
}

TEST_F(WalTest, AutomaticCheckpointByDistinctPagesAndByFrames) {
  // 1000 distinct pages in one commit.
  must(p_->begin());
  for (int i = 0; i < 999; ++i) fill_page(*p_, must(p_->alloc_page()), 1);
  must(p_->commit());  // 999 pages + page 1 = 1000 distinct
  EXPECT_EQ(wal().size(), 0u);
  EXPECT_EQ(read_file(path_).size(), std::size_t{p_->page_count()} * kPs);
  EXPECT_FALSE(lock_would_block(path_, true));

  // The same two pages again and again: few distinct pages, many frames.
  p_->set_synchronous(0);
  int commits = 0;
  std::size_t longest = 0;
  for (; commits < 600; ++commits) {
    must(p_->begin());
    fill_page(*p_, 2, commits);
    must(p_->commit());
    std::size_t len = wal().size();
    longest = std::max(longest, len);
    if (len == 0) break;
  }
  EXPECT_EQ(commits, 499);  // the 500th commit brings the log to 1000 frames
  EXPECT_EQ(longest, 998 * kFrame);
}

TEST_F(WalTest, OpeningAdoptsOrRemovesALog) {
  must(p_->begin());
  fill_page(*p_, 6, 7);
  must(p_->commit());
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

TEST_F(WalTest, ModeSwitches) {
  must(p_->set_journal_mode_wal());  // already: harmless
  must(p_->begin());
  for (PageId id = 2; id <= 11; ++id) fill_page(*p_, id, 8);
  must(p_->commit());
  DbState after = capture(*p_);
  const std::uint32_t counter = p_->header().change_counter;
  must(p_->set_journal_mode_delete());
  EXPECT_FALSE(p_->is_wal());
  EXPECT_FALSE(vfs_.exists(path_ + "-wal"));
  EXPECT_EQ(p_->header().change_counter, counter + 1);
  const std::string file = read_file(path_);
  EXPECT_EQ(file[42], 0);
  EXPECT_EQ(be32_at(file, 30), counter + 1);
  EXPECT_EQ(capture(*p_), after);
  must(p_->set_journal_mode_delete());  // already: harmless
  p_.reset();
  EXPECT_EQ(capture_file(path_), after);
}

TEST_F(WalTest, SwitchToJournalModeKeepsTheLogWhenItCannotBeRemoved) {
  FaultVfs fault(vfs_);
  p_ = must(Pager::open(fault, path_));
  must(p_->begin());
  fill_page(*p_, 4, 4);
  must(p_->commit());
  fault.arm({.ops = static_cast<unsigned>(FaultOp::Unlink), .nth = 1});
  EXPECT_FALSE(p_->set_journal_mode_delete().ok());
  EXPECT_TRUE(p_->is_wal());
  fault.disarm();
  must(p_->begin());
  fill_page(*p_, 5, 4);
  must(p_->commit());
  DbState after = capture(*p_);
  EXPECT_GT(wal().size(), 0u);
  p_.reset();
  EXPECT_EQ(capture_file(path_), after);
}

TEST_F(WalTest, SwitchingOverALogWithCommitsAdoptsIt) {
  must(p_->begin());
  fill_page(*p_, 9, 9);
  must(p_->commit());
  DbState in_log = capture(*p_);
  const std::string log = wal();
  must(p_->set_journal_mode_delete());
  // A journal-mode commit changes page 9 again and is cached...
  must(p_->begin());
  fill_page(*p_, 9, 10);
  must(p_->commit());
  EXPECT_NE(capture(*p_), in_log);
  // ...then a log holding the older commit turns up: switching adopts it.
  write_file(path_ + "-wal", log);
  const std::uint64_t version = p_->data_version();
  must(p_->set_journal_mode_wal());
  EXPECT_TRUE(p_->is_wal());
  EXPECT_EQ(p_->data_version(), version + 1);
  EXPECT_EQ(capture(*p_), in_log);
}

}  // namespace
}  // namespace bkf::testing
