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

// (Opening, reading and writing files are exercised by every pager test;
// a file made again under the name of a deleted one by the mode switches of
// the multi-connection test.)
TEST(OsVfsTest, LocksExcludeAcrossDescriptors) {
  TempDir dir;
  OsVfs vfs;
  const std::string path = dir.file("a");
  auto a = must(vfs.open(path, true));
  auto b = must(vfs.open(path, true));
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
  EXPECT_TRUE(lock_would_block(path, false));
  b.reset();  // closing drops the lock
  EXPECT_FALSE(lock_would_block(path, true));
}

// The fault layer the crash tests rely on: a disk that fills up fails the
// selected kind only, and a torn crash lands half a write and stops all.
TEST(FaultVfsTest, FailsAndCrashes) {
  TempDir dir;
  OsVfs os;
  FaultVfs vfs(os);
  const std::string path = dir.file("a");
  const std::uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  auto f = must(vfs.open(path, true));
  vfs.arm({.ops = static_cast<unsigned>(FaultOp::Write), .nth = 2, .error = ENOSPC, .persistent = true});
  must(f->write_all_at(data, 8, 0));
  EXPECT_EQ(f->write_all_at(data, 8, 8).error().os_errno(), ENOSPC);
  EXPECT_FALSE(f->write_all_at(data, 8, 16).ok());
  must(f->sync());  // other kinds are not selected
  vfs.arm({.nth = 1, .action = FaultPlan::Action::Crash, .torn = true});
  EXPECT_FALSE(f->write_all_at(data, 8, 8).ok());
  EXPECT_TRUE(vfs.crashed());
  EXPECT_FALSE(f->sync().ok());
  EXPECT_FALSE(vfs.delete_file(path).ok());
  f.reset();
  EXPECT_EQ(read_file(path).size(), 12u);
}

}  // namespace
}  // namespace bkf::testing
