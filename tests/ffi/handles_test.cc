// Handles: NULL handles everywhere, opening, and releasing in any order.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>

#include "c_test_util.h"

namespace bkf_ctest {
namespace {

TEST(Handles, EveryFunctionAcceptsNullHandles) {
  EXPECT_EQ(bkf_open(nullptr), nullptr);
  bkf_close(nullptr);
  EXPECT_EQ(bkf_exec(nullptr, "SELECT 1"), -1);
  EXPECT_EQ(bkf_prepare(nullptr, "SELECT 1"), nullptr);
  bkf_bind_int(nullptr, 0, 1);
  bkf_bind_real(nullptr, 0, 1.5);
  bkf_bind_text(nullptr, 0, "x");
  bkf_bind_null(nullptr, 0);
  bkf_clear_binds(nullptr);
  EXPECT_EQ(bkf_exec_prepared(nullptr, nullptr), -1);
  bkf_finalize(nullptr);
  EXPECT_EQ(bkf_row_count(nullptr), 0u);
  EXPECT_EQ(bkf_col_count(nullptr), 0u);
  EXPECT_EQ(bkf_col_name(nullptr, 0), nullptr);
  int64_t out = 42;
  EXPECT_EQ(bkf_get_i64(nullptr, 0, 0, &out), -1);
  EXPECT_EQ(out, 42);
  EXPECT_EQ(bkf_get_str(nullptr, 0, 0), nullptr);
  EXPECT_EQ(bkf_get_text(nullptr, 0, 0), nullptr);
  EXPECT_EQ(bkf_last_error(nullptr), nullptr);
  EXPECT_EQ(bkf_last_insert_id(nullptr), 0);
}

TEST(Handles, OpenFailuresReturnNull) {
  TempDir dir;
  EXPECT_EQ(bkf_open("\xff\xfe.db"), nullptr);                          // not UTF-8
  EXPECT_EQ(bkf_open(dir.file("missing/sub/a.db").c_str()), nullptr);  // no such directory
  const std::string junk = dir.file("junk.db");
  {
    std::ofstream f(junk, std::ios::binary);
    f << std::string(8192, 'x');  // not a database
  }
  EXPECT_EQ(bkf_open(junk.c_str()), nullptr);
}

// Statements and databases are released independently; the sanitizers watch
// both orders.
TEST(Handles, StatementAndDatabaseReleasedInEitherOrder) {
  TempDir dir;
  BkfDb* db = bkf_open(dir.file("a.db").c_str());
  ASSERT_NE(db, nullptr);
  BkfStmt* a = bkf_prepare(db, "SELECT ?");
  BkfStmt* b = bkf_prepare(db, "SELECT ?");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  bkf_bind_text(a, 0, "kept");
  bkf_finalize(b);
  bkf_close(db);
  bkf_finalize(a);
}

// An abandoned transaction ends with the handle: its lock is gone and none
// of its changes reached the file.
TEST(Handles, CloseAbandonsOpenTransaction) {
  TempDir dir;
  const std::string path = dir.file("a.db");
  Db other(path);
  ASSERT_EQ(bkf_exec(other, "CREATE TABLE t (a INTEGER)"), 0);
  BkfDb* db = bkf_open(path.c_str());
  ASSERT_EQ(bkf_exec(db, "BEGIN; INSERT INTO t VALUES (1)"), 1);
  bkf_close(db);
  ASSERT_EQ(bkf_exec(other, "INSERT INTO t VALUES (2)"), 1);  // would wait forever on a leaked lock
  ASSERT_EQ(bkf_exec(other, "SELECT a FROM t"), 1);
  EXPECT_EQ(str(other, 0, 0), "2");
}

}  // namespace
}  // namespace bkf_ctest
