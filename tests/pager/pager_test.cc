// Opening, creating, transactions and the rollback journal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "base/kept_buffer.h"
#include "pager_test_util.h"
#include "support/fault_vfs.h"
#include "support/lock_probe.h"
#include "support/temp_dir.h"

namespace bkf::testing {
namespace {

class PagerTest : public ::testing::Test {
 protected:
  std::unique_ptr<Pager> create(std::uint32_t page_size = 512) { return must(Pager::create(vfs_, path_, page_size)); }
  std::unique_ptr<Pager> open() { return must(Pager::open(vfs_, path_)); }

  TempDir dir_;
  OsVfs vfs_;
  std::string path_ = dir_.file("t.db");
};

TEST_F(PagerTest, CreateAndOpenFailures) {
  EXPECT_EQ(outcome(Pager::open(vfs_, path_)), "file not found: " + path_);
  EXPECT_EQ(outcome(Pager::create(vfs_, path_, 1000)), "invalid page size: 1000");
  write_file(path_, std::string(50, 'x'));
  EXPECT_EQ(outcome(Pager::open(vfs_, path_)), "short read at offset 0: wanted 100 bytes, got 50");
  write_file(path_, std::string(4096, 'x'));
  EXPECT_EQ(outcome(Pager::open(vfs_, path_)), "bad database header: magic mismatch");
  ::unlink(path_.c_str());
  {
    auto p = create(1024);
    const std::string bytes = read_file(path_);
    ASSERT_EQ(bytes.size(), 1024u);
    EXPECT_EQ(bytes.substr(0, 16), std::string("Brackenford v1\0\0", 16));
    append_pages(*p, 3, 1);
  }
  // Creating over a database opens it and keeps everything.
  DbState before = capture_file(path_);
  auto again = create(4096);
  EXPECT_EQ(again->page_size(), 1024u);
  EXPECT_EQ(capture(*again), before);
}

TEST_F(PagerTest, EmptyFileBecomesANewDatabase) {
  write_file(path_, "");
  write_file(path_ + "-journal", "stale");
  write_file(path_ + "-wal", "stale");
  auto p = open();
  EXPECT_EQ(p->page_size(), 4096u);
  EXPECT_FALSE(vfs_.exists(path_ + "-journal"));
  EXPECT_FALSE(vfs_.exists(path_ + "-wal"));
  append_pages(*p, 1, 1);
  EXPECT_EQ(capture_file(path_).page_count, 2u);
}

// Every path to one file finds the same journal and log: creating through
// a dangling symbolic link makes its target, and a relative path keeps
// naming the same files after the working directory changed.
TEST_F(PagerTest, PathsToOneFileShareItsJournalAndLog) {
  const std::string link = dir_.file("link.db");
  ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
  auto a = must(Pager::create(vfs_, link, 512));
  ASSERT_TRUE(vfs_.exists(path_));
  must(a->set_journal_mode_wal());
  TempDir elsewhere;
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  auto b = must(Pager::open(vfs_, "t.db"));
  std::filesystem::current_path(elsewhere.path());
  for (bool wal : {true, false}) {
    append_pages(*a, 2, 1);
    append_pages(*b, 1, 2);
    EXPECT_EQ(capture(*a).page_count, wal ? 4u : 7u);
    EXPECT_EQ(capture(*a), capture(*b));
    if (wal) must(b->set_journal_mode_delete());
  }
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));
  EXPECT_FALSE(vfs_.exists(link + "-wal"));
  EXPECT_FALSE(vfs_.exists(link + "-journal"));
}

// The refusal of a database file that has several names (hard links).
std::string several_names(const std::string& path, int links) {
  return "io error: database file " + std::filesystem::canonical(path).string() + " has " +
         std::to_string(links) + " names (hard links): its journal and log could not be found from each of them";
}

// Hard links are the paths that resolve to different names: each would get
// its own journal and log, and one name's commits would overwrite the
// other's. Neither name opens while the file has two; a link made under an
// open connection stops its writes (before anything reaches the disk) but
// not its reads; once the link is gone everything works as before.
TEST_F(PagerTest, AFileWithSeveralNamesIsRefused) {
  const std::string hard = dir_.file("hard.db");
  for (bool wal : {false, true}) {
    SCOPED_TRACE(wal ? "wal" : "journal");
    {
      auto p = create();
      if (wal) must(p->set_journal_mode_wal());
      append_pages(*p, 2, 1);
    }
    ASSERT_EQ(::link(path_.c_str(), hard.c_str()), 0);
    EXPECT_EQ(outcome(Pager::open(vfs_, path_)), several_names(path_, 2));
    EXPECT_EQ(outcome(Pager::open(vfs_, hard)), several_names(hard, 2));
    EXPECT_EQ(outcome(Pager::create(vfs_, hard, 512)), several_names(hard, 2));
    const std::string hard2 = dir_.file("hard2.db");
    ASSERT_EQ(::link(path_.c_str(), hard2.c_str()), 0);
    EXPECT_EQ(outcome(Pager::open(vfs_, hard2)), several_names(hard2, 3));
    ASSERT_EQ(::unlink(hard2.c_str()), 0);
    ASSERT_EQ(::unlink(hard.c_str()), 0);
    EXPECT_FALSE(vfs_.exists(hard + "-journal") || vfs_.exists(hard + "-wal"));

    // One name at a time opens as before; the second name made while the
    // first is open is refused at once.
    auto a = open();
    EXPECT_EQ(capture(*a).page_count, 3u);
    ASSERT_EQ(::link(path_.c_str(), hard.c_str()), 0);
    EXPECT_EQ(outcome(Pager::open(vfs_, hard)), several_names(hard, 2));
    const DbState before = capture(*a);
    const std::string file_before = read_file(path_), log_before = read_file(path_ + "-wal");
    EXPECT_EQ(outcome(a->begin()), several_names(path_, 2));
    EXPECT_FALSE(a->in_transaction());
    EXPECT_FALSE(lock_would_block(path_, false));  // no lock held
    EXPECT_EQ(outcome(wal ? a->set_journal_mode_delete() : a->set_journal_mode_wal()), several_names(path_, 2));
    EXPECT_FALSE(lock_would_block(path_, true));
    EXPECT_EQ(read_file(path_), file_before);
    EXPECT_EQ(read_file(path_ + "-wal"), log_before);
    EXPECT_FALSE(vfs_.exists(path_ + "-journal"));
    EXPECT_EQ(a->is_wal(), wal);
    EXPECT_EQ(capture(*a), before);  // reads go on
    // A checkpoint goes on: it copies the log, which only this name finds,
    // into the database file, which both names share.
    must(a->wal_checkpoint());
    EXPECT_FALSE(lock_would_block(path_, true));
    EXPECT_EQ(read_file(path_ + "-wal"), "");
    const std::string through_hard = read_file(hard);
    ASSERT_GE(through_hard.size(), kHeaderSize);
    EXPECT_EQ(load_be32(reinterpret_cast<const std::uint8_t*>(through_hard.data()) + 18), 3u);  // page count
    EXPECT_EQ(capture(*a), before);

    ASSERT_EQ(::unlink(hard.c_str()), 0);
    append_pages(*a, 1, 2);
    must(a->wal_checkpoint());
    a.reset();
    EXPECT_EQ(capture_file(path_).page_count, 4u);
    ::unlink(path_.c_str());
    ::unlink((path_ + "-wal").c_str());
  }
}

// (The transaction errors' texts are checked end to end by the engine's
// scripts.)
TEST_F(PagerTest, InvalidPageIds) {
  auto p = create();
  append_pages(*p, 2, 1);
  must(p->begin());
  for (PageId bad : {0u, 1u, 4u, 0xFFFFFFFFu}) {
    EXPECT_EQ(outcome(p->get_page(bad)), "invalid page id: " + std::to_string(bad));
    EXPECT_EQ(outcome(p->free_page(bad)), "invalid page id: " + std::to_string(bad));
  }
  must(p->rollback());
}

TEST_F(PagerTest, RollbackRestoresTheHeaderAndDropsChanges) {
  auto p = create();
  append_pages(*p, 4, 1);
  DbState before = capture(*p);
  must(p->begin());
  fill_page(*p, 2, 9);
  must(p->free_page(3));
  EXPECT_EQ(must(p->alloc_page()), 3u);
  const PageId appended = must(p->alloc_page());
  EXPECT_EQ(appended, 6u);
  p->set_schema_root(appended);
  PageRef held = must(p->get_page(2));  // a caller still holding a dropped page
  must(p->rollback());
  EXPECT_FALSE(lock_would_block(path_, true));
  EXPECT_EQ(p->header().freelist_count, 0u);
  EXPECT_EQ(capture(*p), before);
  EXPECT_EQ(held.data()[0], static_cast<std::uint8_t>(2 * 31 + 9 * 7));  // its private copy
  // The numbers handed out in the rolled-back transaction come again.
  must(p->begin());
  EXPECT_EQ(must(p->alloc_page()), 6u);
  must(p->rollback());
}

// A journal left by a commit that died between syncing its journal and
// deleting it.
std::string make_journal(std::uint32_t page_size, std::uint32_t db_pages,
                         const std::vector<std::pair<PageId, std::string>>& records) {
  std::string j("RDBJRNL\x01", 8);
  j.resize(20);
  put_be32(j, 8, page_size);
  put_be32(j, 12, db_pages);
  put_be32(j, 16, static_cast<std::uint32_t>(records.size()));
  for (const auto& [page, bytes] : records) {
    std::string rec(4, '\0');
    put_be32(rec, 0, page);
    j += rec + bytes;
  }
  return j + std::string("RDBJEND\x01", 8);
}

// The journal holds the header and the old images of the changed pages
// (appended pages need none) until the commit point.
TEST_F(PagerTest, JournalHoldsTheOldImagesUntilTheCommitPoint) {
  append_pages(*create(), 9, 1);  // pages 2..10
  const std::string before = read_file(path_);
  FaultVfs fault(vfs_);
  auto p = must(Pager::open(fault, path_));
  std::string journal;
  fault.set_hook([&](FaultOp op, std::uint64_t) {
    if (op == FaultOp::Unlink) journal = read_file(path_ + "-journal");
  });
  must(p->begin());
  fill_page(*p, 3, 2);
  fill_page(*p, must(p->alloc_page()), 2);
  must(p->commit());
  EXPECT_EQ(journal, make_journal(512, 10, {{1, before.substr(0, 512)}, {3, before.substr(1024, 512)}}));
  EXPECT_FALSE(vfs_.exists(path_ + "-journal"));
}

// A journal larger than what a connection keeps between commits (its image
// in storage taken for that commit alone, and given back once the journal
// is done with) holds the old images all the same; a commit that fails
// once its pages are in the file is undone from it, and the connection's
// next commits, large and small, take storage again.
TEST_F(PagerTest, AJournalLargerThanWhatIsKeptServesItsUndo) {
  constexpr std::uint32_t kPs = 4096;
  const std::uint32_t pages = kKeptBufferBytes / kPs + 10;  // pages 2..pages+1
  append_pages(*create(kPs), static_cast<int>(pages), 1);
  const std::string before = read_file(path_);
  std::vector<std::pair<PageId, std::string>> records{{1, before.substr(0, kPs)}};
  for (PageId id = 2; id <= pages + 1; ++id) records.emplace_back(id, before.substr((id - 1) * kPs, kPs));

  FaultVfs fault(vfs_);
  auto p = must(Pager::open(fault, path_));
  must(p->begin());
  for (PageId id = 2; id <= pages + 1; ++id) fill_page(*p, id, 2);
  // The third sync is the database file's, after its pages were written.
  std::string journal;
  fault.set_hook([&](FaultOp, std::uint64_t n) {
    if (n == 3) journal = read_file(path_ + "-journal");
  });
  fault.arm({.ops = static_cast<unsigned>(FaultOp::Sync), .nth = 3});
  EXPECT_FALSE(p->commit().ok());
  fault.set_hook(nullptr);
  fault.disarm();
  EXPECT_TRUE(journal == make_journal(kPs, pages + 1, records)) << "the journal does not hold the old images";
  must(p->rollback());
  EXPECT_TRUE(read_file(path_) == before) << "the failed commit was not undone";
  EXPECT_FALSE(vfs_.exists(path_ + "-journal"));

  must(p->begin());
  for (PageId id = 2; id <= pages + 1; ++id) fill_page(*p, id, 3);
  must(p->commit());
  must(p->begin());
  fill_page(*p, 2, 4);
  must(p->commit());
  const DbState after = capture_file(path_);
  EXPECT_EQ(after, capture(*p));
  ASSERT_EQ(after.pages.size(), pages);
  EXPECT_EQ(static_cast<std::uint8_t>(after.pages[0][0]), static_cast<std::uint8_t>(2 * 31 + 4 * 7));
  EXPECT_EQ(static_cast<std::uint8_t>(after.pages[pages - 1][0]), static_cast<std::uint8_t>((pages + 1) * 31 + 3 * 7));
}

TEST_F(PagerTest, HotJournalIsReplayedAtOpen) {
  append_pages(*create(), 3, 1);
  const std::string committed = read_file(path_);
  DbState before = capture_file(path_);
  // The crashed writer had overwritten page 3, appended pages 5 and 6 and
  // written a new header.
  std::string damaged = committed;
  damaged.replace(2 * 512, 512, std::string(512, 'Z'));
  damaged += std::string(1024, 'N');
  put_be32(damaged, 18, 6);
  write_file(path_, damaged);
  write_file(path_ + "-journal", make_journal(512, 4, {{1, committed.substr(0, 512)}, {3, committed.substr(1024, 512)}}));
  auto p = open();
  EXPECT_FALSE(vfs_.exists(path_ + "-journal"));
  EXPECT_EQ(read_file(path_), committed);
  EXPECT_EQ(capture(*p), before);
}

// A journal that is not one (cut, too long, bad markers) is discarded; one
// that is a journal but cannot be replayed makes the open fail as Corrupt
// and is kept. Either way the database file is not touched.
TEST_F(PagerTest, DamagedJournals) {
  append_pages(*create(), 3, 1);
  const std::string committed = read_file(path_);
  const std::string page1 = committed.substr(0, 512), other(512, 'J');
  const std::string good = make_journal(512, 4, {{1, page1}, {3, other}});
  std::string zero_size = good, bad_end = good, bad_magic = good;
  put_be32(zero_size, 8, 0);
  bad_end.back() = 2;
  bad_magic[0] = 'X';
  const std::pair<std::string, bool> cases[] = {  // journal, kept as corrupt
      {good.substr(0, 27), false},
      {good + "x", false},
      {good.substr(0, good.size() - 1), false},
      {zero_size, false},
      {bad_end, false},
      {bad_magic, false},
      {make_journal(1024, 4, {{1, page1 + page1}}), true},  // page size differs
      {make_journal(500, 4, {{1, page1.substr(0, 500)}}), true},
      {make_journal(512, 0, {{1, page1}}), true},  // no pages
      {make_journal(512, 4, {}), true},
      {make_journal(512, 4, {{3, other}, {1, page1}}), true},  // page 1 not first
      {make_journal(512, 4, {{1, page1}, {0, other}}), true},
      {make_journal(512, 4, {{1, page1}, {9, other}}), true},  // beyond the page count
  };
  int i = 0;
  for (const auto& [journal, corrupt] : cases) {
    SCOPED_TRACE(i++);
    write_file(path_ + "-journal", journal);
    Result<std::unique_ptr<Pager>> r = Pager::open(vfs_, path_);
    EXPECT_EQ(r.ok() ? "ok" : ErrorKind::Corrupt == r.error().kind() ? "corrupt" : r.error().to_string(),
              corrupt ? "corrupt" : "ok");
    EXPECT_EQ(vfs_.exists(path_ + "-journal"), corrupt);
    EXPECT_EQ(read_file(path_), committed);
  }
}

}  // namespace
}  // namespace bkf::testing
