// Opening, creating, transactions and the rollback journal.
#include <gtest/gtest.h>

#include "pager/journal.h"
#include "pager_test_util.h"
#include "support/fault_vfs.h"
#include "support/lock_probe.h"
#include "support/temp_dir.h"

namespace bkf::testing {
namespace {

class PagerTest : public ::testing::Test {
 protected:
  std::unique_ptr<Pager> create(std::uint32_t page_size = 4096) {
    return must(Pager::create(vfs_, path_, page_size));
  }
  std::unique_ptr<Pager> open() { return must(Pager::open(vfs_, path_)); }

  TempDir dir_;
  OsVfs vfs_;
  std::string path_ = dir_.file("t.db");
};

TEST_F(PagerTest, CreateWritesOneHeaderPage) {
  auto p = create(1024);
  std::string bytes = read_file(path_);
  ASSERT_EQ(bytes.size(), 1024u);
  EXPECT_EQ(bytes.substr(0, 16), std::string("Brackenford v1\0\0", 16));
  EXPECT_EQ(be32_at(bytes, 18), 1u);
  EXPECT_EQ(bytes.substr(100), std::string(924, '\0'));
  EXPECT_EQ(p->page_count(), 1u);
  EXPECT_EQ(p->page_size(), 1024u);
  EXPECT_FALSE(p->is_wal());
  EXPECT_EQ(p->synchronous(), 2);
  EXPECT_EQ(Pager::create(vfs_, dir_.file("x"), 1000).error().to_string(), "invalid page size: 1000");
}

TEST_F(PagerTest, OpenFailures) {
  Result<std::unique_ptr<Pager>> r = Pager::open(vfs_, path_);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "file not found: " + path_);

  write_file(path_, std::string(50, 'x'));
  EXPECT_EQ(Pager::open(vfs_, path_).error().to_string(), "short read at offset 0: wanted 100 bytes, got 50");
  write_file(path_, std::string(4096, 'x'));
  EXPECT_EQ(Pager::open(vfs_, path_).error().to_string(), "bad database header: magic mismatch");
}

TEST_F(PagerTest, CreateNeverDestroysADatabase) {
  {
    auto p = create();
    append_pages(*p, 3, 1);
  }
  DbState before = capture_file(path_);
  auto again = must(Pager::create(vfs_, path_, 512));  // opens, keeps everything
  EXPECT_EQ(again->page_size(), 4096u);
  EXPECT_EQ(capture(*again), before);
}

TEST_F(PagerTest, EmptyFileBecomesANewDatabase) {
  write_file(path_, "");
  write_file(path_ + "-journal", "stale");
  write_file(path_ + "-wal", "stale");
  auto p = open();
  EXPECT_EQ(p->page_size(), 4096u);
  EXPECT_EQ(p->page_count(), 1u);
  EXPECT_FALSE(vfs_.exists(path_ + "-journal"));
  EXPECT_FALSE(vfs_.exists(path_ + "-wal"));
  append_pages(*p, 1, 1);
  EXPECT_EQ(capture_file(path_).page_count, 2u);
}

TEST_F(PagerTest, PagesSurviveReopen) {
  {
    auto p = create(512);
    must(p->begin());
    EXPECT_EQ(must(p->alloc_page()), 2u);
    EXPECT_EQ(must(p->alloc_page()), 3u);
    PageRef page = must(p->get_page(2));
    EXPECT_TRUE(page.is_dirty());
    for (std::uint32_t i = 0; i < page.size(); ++i) EXPECT_EQ(page.data()[i], 0);
    fill_page(*p, 2, 1);
    fill_page(*p, 3, 1);
    p->set_schema_root(3);
    must(p->commit());
    EXPECT_FALSE(page.is_dirty());
  }
  auto p = open();
  EXPECT_EQ(p->page_count(), 3u);
  EXPECT_EQ(p->schema_root(), 3u);
  EXPECT_EQ(read_file(path_).size(), 3u * 512);
  EXPECT_FALSE(vfs_.exists(path_ + "-journal"));
  must(p->read_lock());
  PageRef page = must(p->get_page(3));
  EXPECT_EQ(page.data()[0], static_cast<std::uint8_t>(3 * 31 + 7));
  must(p->read_unlock());
}

TEST_F(PagerTest, InvalidPagesAndTransactionErrors) {
  auto p = create();
  append_pages(*p, 2, 1);
  must(p->read_lock());
  for (PageId bad : {0u, 1u, 4u, 0xFFFFFFFFu}) {
    Result<PageRef> r = p->get_page(bad);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), "invalid page id: " + std::to_string(bad));
  }
  must(p->read_unlock());
  EXPECT_EQ(p->commit().error().to_string(), "transaction error: no active transaction to commit");
  EXPECT_EQ(p->rollback().error().to_string(), "transaction error: no active transaction to roll back");
  must(p->begin());
  EXPECT_EQ(p->begin().error().to_string(), "transaction error: a transaction is already active");
  EXPECT_EQ(p->free_page(4).error().to_string(), "invalid page id: 4");
  EXPECT_EQ(p->free_page(1).error().to_string(), "invalid page id: 1");
  EXPECT_EQ(p->set_journal_mode_wal().error().to_string(),
            "transaction error: cannot change journal_mode inside a transaction");
  EXPECT_EQ(p->set_journal_mode_delete().error().to_string(),
            "transaction error: cannot change journal_mode inside a transaction");
  must(p->rollback());
}

TEST_F(PagerTest, CommitWithoutChangesWritesNothing) {
  auto p = create();
  append_pages(*p, 2, 1);
  const std::uint32_t counter = p->header().change_counter;
  FaultVfs fault(vfs_);
  auto q = must(Pager::open(fault, path_));
  fault.arm({});
  must(q->begin());
  must(q->get_page(2));
  must(q->commit());
  EXPECT_EQ(fault.count(), 0u);
  EXPECT_EQ(q->header().change_counter, counter);
  EXPECT_FALSE(q->in_transaction());
  EXPECT_FALSE(lock_would_block(path_, true));
}

TEST_F(PagerTest, RollbackRestoresTheHeaderAndDropsChanges) {
  auto p = create(512);
  append_pages(*p, 4, 1);
  DbState before = capture(*p);
  must(p->begin());
  fill_page(*p, 2, 9);
  must(p->free_page(3));
  PageId fresh = must(p->alloc_page());
  EXPECT_EQ(fresh, 3u);
  PageId appended = must(p->alloc_page());
  EXPECT_EQ(appended, 6u);
  p->set_schema_root(appended);
  PageRef held = must(p->get_page(2));  // a caller still holding a dropped page
  must(p->rollback());
  EXPECT_FALSE(lock_would_block(path_, true));
  EXPECT_EQ(p->page_count(), 5u);
  EXPECT_EQ(p->schema_root(), 0u);
  EXPECT_EQ(p->header().freelist_count, 0u);
  EXPECT_EQ(capture(*p), before);
  EXPECT_EQ(held.data()[0], static_cast<std::uint8_t>(2 * 31 + 9 * 7));  // its private copy
  // The numbers handed out in the rolled-back transaction come again.
  must(p->begin());
  EXPECT_EQ(must(p->alloc_page()), 6u);
  must(p->rollback());
}

TEST_F(PagerTest, JournalHoldsTheOldImagesUntilTheCommitPoint) {
  {
    auto p = create(512);
    append_pages(*p, 9, 1);  // pages 2..10
  }
  const std::string before = read_file(path_);
  FaultVfs fault(vfs_);
  auto p = must(Pager::open(fault, path_));
  std::string journal;
  fault.set_hook([&](FaultOp op, std::uint64_t) {
    if (op == FaultOp::Unlink) journal = read_file(path_ + "-journal");
  });
  must(p->begin());
  fill_page(*p, 3, 2);
  must(p->commit());
  ASSERT_EQ(journal.size(), 28u + 2 * (512 + 4));
  EXPECT_EQ(journal.substr(0, 8), std::string("RDBJRNL\x01", 8));
  EXPECT_EQ(be32_at(journal, 8), 512u);
  EXPECT_EQ(be32_at(journal, 12), 10u);
  EXPECT_EQ(be32_at(journal, 16), 2u);
  EXPECT_EQ(be32_at(journal, 20), 1u);
  EXPECT_EQ(journal.substr(24, 512), before.substr(0, 512));
  EXPECT_EQ(be32_at(journal, 24 + 512), 3u);
  EXPECT_EQ(journal.substr(24 + 516, 512), before.substr(2 * 512, 512));
  EXPECT_EQ(journal.substr(journal.size() - 8), std::string("RDBJEND\x01", 8));
  EXPECT_FALSE(vfs_.exists(path_ + "-journal"));

  // Appending only journals page 1, with the old page count.
  must(p->begin());
  fill_page(*p, must(p->alloc_page()), 1);
  must(p->commit());
  ASSERT_EQ(journal.size(), 28u + 512 + 4);
  EXPECT_EQ(be32_at(journal, 12), 10u);
  EXPECT_EQ(be32_at(journal, 16), 1u);
}

TEST_F(PagerTest, OneWritePerRunOfConsecutivePages) {
  {
    auto p = create(512);
    append_pages(*p, 9, 1);
  }
  FaultVfs fault(vfs_);
  auto p = must(Pager::open(fault, path_));
  must(p->begin());
  for (PageId id : {9u, 5u, 4u, 6u}) fill_page(*p, id, 3);
  fault.arm({.ops = static_cast<unsigned>(FaultOp::Write)});
  must(p->commit());
  // the journal, pages 4-6, page 9, the header
  EXPECT_EQ(fault.count(), 4u);
  const std::string bytes = read_file(path_);
  p.reset();
  DbState s = capture_file(path_);
  EXPECT_EQ(static_cast<std::uint8_t>(s.pages[5 - 2][0]), static_cast<std::uint8_t>(5 * 31 + 21));
}

// A journal left by a commit that died between syncing its journal and
// deleting it.
std::string make_hot_journal(const std::string& path, std::uint32_t page_size, std::uint32_t db_pages,
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
  j += std::string("RDBJEND\x01", 8);
  return j;
}

TEST_F(PagerTest, HotJournalIsReplayedAtOpen) {
  {
    auto p = create(512);
    append_pages(*p, 3, 1);
  }
  const std::string committed = read_file(path_);
  DbState before = capture_file(path_);
  // The crashed writer had overwritten page 3, appended pages 5 and 6 and
  // written a new header.
  std::string damaged = committed;
  damaged.replace(2 * 512, 512, std::string(512, 'Z'));
  damaged += std::string(1024, 'N');
  put_be32(damaged, 18, 6);
  write_file(path_, damaged);
  write_file(path_ + "-journal", make_hot_journal(path_, 512, 4,
                                                  {{1, committed.substr(0, 512)}, {3, committed.substr(1024, 512)}}));
  auto p = open();
  EXPECT_FALSE(vfs_.exists(path_ + "-journal"));
  EXPECT_EQ(read_file(path_), committed);
  EXPECT_EQ(capture(*p), before);
}

TEST_F(PagerTest, JournalsThatAreNotJournalsAreDiscarded) {
  {
    auto p = create(512);
    append_pages(*p, 3, 1);
  }
  const std::string committed = read_file(path_);
  const std::string good = make_hot_journal(path_, 512, 4, {{1, committed.substr(0, 512)}, {3, std::string(512, 'J')}});
  struct Case {
    const char* name;
    std::string journal;
  };
  std::string zero_size = good;
  put_be32(zero_size, 8, 0);
  std::string bad_end = good;
  bad_end[bad_end.size() - 1] = 2;
  std::string bad_magic = good;
  bad_magic[0] = 'X';
  const Case cases[] = {
      {"27 bytes", good.substr(0, 27)},
      {"one byte long", good + "x"},
      {"one byte short", good.substr(0, good.size() - 1)},
      {"page size 0", zero_size},
      {"bad end marker", bad_end},
      {"bad start magic", bad_magic},
  };
  for (const Case& c : cases) {
    write_file(path_ + "-journal", c.journal);
    auto p = open();
    EXPECT_FALSE(vfs_.exists(path_ + "-journal")) << c.name;
    EXPECT_EQ(read_file(path_), committed) << c.name;
  }
}

TEST_F(PagerTest, JournalsThatCannotBeReplayedAreCorruptAndKept) {
  {
    auto p = create(512);
    append_pages(*p, 3, 1);
  }
  const std::string committed = read_file(path_);
  const std::string page1 = committed.substr(0, 512);
  const std::string other(512, 'J');
  struct Case {
    const char* name;
    std::string journal;
  };
  const Case cases[] = {
      {"page size differs", make_hot_journal(path_, 1024, 4, {{1, page1 + page1}})},
      {"page size invalid", make_hot_journal(path_, 500, 4, {{1, page1.substr(0, 500)}})},
      {"no pages", make_hot_journal(path_, 512, 0, {{1, page1}})},
      {"no records", make_hot_journal(path_, 512, 4, {})},
      {"first is not page 1", make_hot_journal(path_, 512, 4, {{3, other}, {1, page1}})},
      {"page 0", make_hot_journal(path_, 512, 4, {{1, page1}, {0, other}})},
      {"beyond db_pages", make_hot_journal(path_, 512, 4, {{1, page1}, {9, other}})},
  };
  for (const Case& c : cases) {
    write_file(path_ + "-journal", c.journal);
    Result<std::unique_ptr<Pager>> r = Pager::open(vfs_, path_);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), ErrorKind::Corrupt) << c.name << ": " << r.error().to_string();
    EXPECT_TRUE(vfs_.exists(path_ + "-journal")) << c.name;
    EXPECT_EQ(read_file(path_), committed) << c.name;
  }
}

}  // namespace
}  // namespace bkf::testing
