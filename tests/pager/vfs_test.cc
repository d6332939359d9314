#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "pager/os_vfs.h"
#include "pager_test_util.h"
#include "support/fault_vfs.h"
#include "support/lock_probe.h"
#include "support/temp_dir.h"

namespace bkf::testing {
namespace {

std::unique_ptr<VfsFile> open_file(Vfs& vfs, const std::string& path, bool create = true) {
  return must(vfs.open(path, create));
}

TEST(OsVfsTest, OpenCreatesOrReportsNotFound) {
  TempDir dir;
  OsVfs vfs;
  const std::string path = dir.file("a.db");
  Result<std::unique_ptr<VfsFile>> missing = vfs.open(path, false);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().to_string(), "file not found: " + path);
  EXPECT_FALSE(vfs.exists(path));

  auto f = open_file(vfs, path);
  EXPECT_EQ(must(f->size()), 0u);
  const std::uint8_t data[] = {1, 2, 3};
  must(f->write_all_at(data, 3, 0));
  f.reset();
  // Opening again, with or without create, keeps the contents.
  EXPECT_EQ(must(open_file(vfs, path, true)->size()), 3u);
  EXPECT_EQ(must(open_file(vfs, path, false)->size()), 3u);
  EXPECT_TRUE(vfs.exists(path));
}

TEST(OsVfsTest, ShortReadsAndWritesPastTheEnd) {
  TempDir dir;
  OsVfs vfs;
  auto f = open_file(vfs, dir.file("a"));
  std::vector<std::uint8_t> buf(4096, 7);
  must(f->write_all_at(buf.data(), 4096, 4096));
  EXPECT_EQ(must(f->size()), 8192u);  // a write at 4096 into an empty file

  struct Case {
    std::uint64_t file_size;
    std::size_t got;
  };
  for (Case c : {Case{8192, 0}, Case{10000, 1808}}) {
    must(f->truncate(c.file_size));
    Status st = f->read_exact_at(buf.data(), 4096, 8192);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), ErrorKind::ShortRead);
    EXPECT_EQ(st.error().number(), 8192u);
    EXPECT_EQ(st.error().want(), 4096u);
    EXPECT_EQ(st.error().got(), c.got);
  }
  must(f->truncate(0));
  EXPECT_EQ(must(f->size()), 0u);
  must(f->sync());
}

TEST(OsVfsTest, DeleteAndIdentity) {
  TempDir dir;
  OsVfs vfs;
  const std::string path = dir.file("a");
  Status st = vfs.delete_file(path);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), ErrorKind::Io);
  EXPECT_EQ(st.error().os_errno(), ENOENT);

  auto f = open_file(vfs, path);
  FileId first = must(f->id());
  EXPECT_EQ(must(vfs.file_id(path)), first);
  must(vfs.delete_file(path));
  EXPECT_FALSE(vfs.exists(path));
  EXPECT_EQ(vfs.file_id(path).error().kind(), ErrorKind::NotFound);
  auto g = open_file(vfs, path);  // a new file under the old name
  EXPECT_EQ(must(vfs.file_id(path)), must(g->id()));
  must(vfs.sync_dir(path));
}

TEST(OsVfsTest, LocksExcludeAcrossDescriptors) {
  TempDir dir;
  OsVfs vfs;
  const std::string path = dir.file("a");
  auto a = open_file(vfs, path);
  auto b = open_file(vfs, path);

  must(a->lock(false));
  EXPECT_FALSE(lock_would_block(path, false));  // shared locks coexist
  EXPECT_TRUE(lock_would_block(path, true));
  must(a->lock(true));  // converted in place
  EXPECT_TRUE(lock_would_block(path, false));
  must(a->lock(false));

  // A second descriptor waits for the exclusive lock until the shared one
  // goes away.
  std::atomic<bool> granted{false};
  std::thread t([&] {
    must(b->lock(true));
    granted = true;
  });
  ASSERT_TRUE(wait_for_lock_waiter(path));
  EXPECT_FALSE(granted.load());
  must(a->unlock());
  t.join();
  EXPECT_TRUE(granted.load());
  EXPECT_TRUE(lock_would_block(path, false));
  b.reset();  // closing drops the lock
  EXPECT_FALSE(lock_would_block(path, true));
}

TEST(FaultVfsTest, CountsFailsAndCrashes) {
  TempDir dir;
  OsVfs os;
  FaultVfs vfs(os);
  const std::string path = dir.file("a");
  const std::uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  auto f = open_file(vfs, path);
  must(f->write_all_at(data, 8, 0));
  must(f->sync());
  must(f->truncate(4));
  must(vfs.sync_dir(path));
  EXPECT_EQ(vfs.count(), 4u);
  EXPECT_EQ(vfs.count(FaultOp::Sync), 2u);

  // A disk that fills up: the second write and every later one fail.
  vfs.arm({.ops = static_cast<unsigned>(FaultOp::Write), .nth = 2, .error = ENOSPC, .persistent = true});
  must(f->write_all_at(data, 8, 0));
  Status st = f->write_all_at(data, 8, 8);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().os_errno(), ENOSPC);
  EXPECT_FALSE(f->write_all_at(data, 8, 16).ok());
  must(f->sync());  // other kinds are not selected
  EXPECT_EQ(must(f->size()), 8u);

  // A torn crash: half the write lands, then nothing at all works.
  vfs.arm({.nth = 1, .action = FaultPlan::Action::Crash, .torn = true});
  EXPECT_FALSE(f->write_all_at(data, 8, 8).ok());
  EXPECT_TRUE(vfs.crashed());
  EXPECT_FALSE(f->sync().ok());
  EXPECT_FALSE(f->size().ok());
  EXPECT_FALSE(vfs.delete_file(path).ok());
  f.reset();
  EXPECT_EQ(read_file(path).size(), 12u);
}

}  // namespace
}  // namespace bkf::testing
