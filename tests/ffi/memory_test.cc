// Running out of memory through the C interface: every allocation of a
// statement is made to fail in turn (support/alloc_failure.h, compiled into
// this test program). Each call returns -1 with "out of memory", nothing
// unwinds into the caller, and the handle goes on working: the table is as
// before and later statements commit. (A failure past a commit point, such
// as that of the directory sync after a journal is deleted, goes unseen:
// the call then succeeds whole. The statements of the first test rewrite
// rows with their own values, so the table reads the same either way; the
// second test tells the two apart by the file.)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "c_test_util.h"
#include "support/alloc_failure.h"

namespace bkf_ctest {
namespace {

using bkf::testing::allocation_failed;
using bkf::testing::fail_allocation_at;
using bkf::testing::kAllocationFailureNotInEffect;
using bkf::testing::stop_failing_allocations;

TEST_F(TableTest, OutOfMemoryFailsTheCallAndTheHandleGoesOn) {
  ASSERT_EQ(bkf_exec(db, "CREATE INDEX tv ON t (v); CREATE TABLE log (id INTEGER PRIMARY KEY, n INT)"), 0);
  ASSERT_EQ(bkf_exec(db, "INSERT INTO t (v) VALUES ('a'), ('b'), ('c'), ('d')"), 4);
  Stmt ins(db, "INSERT INTO log (n) VALUES (?)");
  ASSERT_NE(ins.get(), nullptr);
  int64_t logged = 0;
  const struct {
    const char* sql;
    int64_t result;
  } cases[] = {{"UPDATE t SET v = CONCAT(v, '') WHERE id > 1", 3}, {"SELECT v, count(*) FROM t GROUP BY v", 4}};
  for (const auto& [sql, result] : cases) {
    std::uint64_t failures = 0;
    for (std::uint64_t n = 1;; ++n) {
      SCOPED_TRACE(std::string(sql) + ", allocation " + std::to_string(n));
      fail_allocation_at(n);
      const int64_t got = bkf_exec(db, sql);
      stop_failing_allocations();
      if (!allocation_failed()) break;
      if (got != -1) {
        ASSERT_EQ(got, result);
      } else {
        ++failures;
        EXPECT_EQ(last_error(db), "out of memory");
      }
      ASSERT_EQ(bkf_exec(db, "SELECT v FROM t ORDER BY id"), 4) << last_error(db);
      EXPECT_EQ(str(db, 3, 0), "d");
      bkf_bind_int(ins, 0, ++logged);
      ASSERT_EQ(bkf_exec_prepared(db, ins), 1) << last_error(db);
    }
    EXPECT_GT(failures, 10u) << sql << (failures == 0 ? std::string(": ") + kAllocationFailureNotInEffect : "");
  }
  Db again(dir.file("a.db"));
  ASSERT_EQ(bkf_exec(again, "SELECT count(*) FROM log; PRAGMA integrity_check"), 2);
  EXPECT_EQ(str(again, 0, 0), "ok");
  ASSERT_EQ(bkf_exec(again, "SELECT count(*) FROM log"), 1);
  EXPECT_EQ(str(again, 0, 0), std::to_string(logged));
}

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The bytes of the database file and of its log, and whether a journal lies
// beside it.
std::string file_state(const std::string& path) {
  return file_bytes(path) + "|" + file_bytes(path + "-wal") +
         (std::filesystem::exists(path + "-journal") ? "|a journal" : "");
}

// A call that writes and returns -1 for want of memory has not changed the
// file, and one that returns its count has committed: a caller told of a
// failure may run the statement again, and it must not then be applied
// twice. The reindex writes its index back with the same entries, so only
// the file tells whether it committed. In both journal modes.
TEST_F(TableTest, OutOfMemoryNeverFailsACallThatCommitted) {
  ASSERT_EQ(bkf_exec(db, "CREATE INDEX tv ON t (v); INSERT INTO t (v) VALUES ('a'), ('b'), ('c')"), 3);
  Stmt grow(db, "UPDATE t SET v = CONCAT(v, ?) WHERE id = 2");
  ASSERT_NE(grow.get(), nullptr);
  bkf_bind_text(grow, 0, "+");
  const std::string path = dir.file("a.db");
  const struct {
    const char* sql;
    bool prepared;
    int64_t result;
  } cases[] = {{"PRAGMA reindex", false, 1}, {"UPDATE t SET v = CONCAT(v, ?) WHERE id = 2", true, 1}};
  for (const char* mode : {"delete", "wal"}) {
    ASSERT_EQ(bkf_exec(db, (std::string("PRAGMA journal_mode = ") + mode).c_str()), 1) << last_error(db);
    for (const auto& [sql, prepared, result] : cases) {
      std::uint64_t failures = 0;
      for (std::uint64_t n = 1;; ++n) {
        SCOPED_TRACE(std::string(sql) + " (" + mode + " mode), allocation " + std::to_string(n));
        const std::string before = file_state(path);
        fail_allocation_at(n);
        const int64_t got = prepared ? bkf_exec_prepared(db, grow) : bkf_exec(db, sql);
        stop_failing_allocations();
        if (!allocation_failed()) break;
        const std::string after = file_state(path);
        if (got == -1) {
          ++failures;
          EXPECT_EQ(last_error(db), "out of memory");
          EXPECT_TRUE(after == before) << "reported as failed, yet the file changed";
        } else {
          EXPECT_EQ(got, result);
          EXPECT_TRUE(after != before) << "reported as done, yet nothing was committed";
        }
        if (HasFailure()) return;
      }
      EXPECT_GT(failures, 0u) << sql << ": " << kAllocationFailureNotInEffect;
    }
  }
  ASSERT_EQ(bkf_exec(db, "PRAGMA integrity_check"), 1);
  EXPECT_EQ(str(db, 0, 0), "ok");
}

}  // namespace
}  // namespace bkf_ctest
