// bkf_exec: totals over several statements, the result buffer and messages.
#include <gtest/gtest.h>

#include <string>

#include "c_test_util.h"

namespace bkf_ctest {
namespace {

using Exec = TableTest;

TEST_F(Exec, TotalsCountRowsReturnedAndRowsChanged) {
  struct Case {
    const char* sql;
    int64_t total;
    size_t rows, cols;
  };
  const Case cases[] = {
      {"", 0, 0, 0},
      {"  ;  ", 0, 0, 0},
      {"INSERT INTO t (v) VALUES ('a'), ('b'), ('c')", 3, 0, 0},
      {"SELECT 1; SELECT 2, 3", 2, 1, 2},
      {"INSERT INTO t (v) VALUES ('d'), ('e'); SELECT id, v FROM t", 7, 5, 2},
      {"SELECT id FROM t WHERE id > 100", 0, 0, 1},
      {"UPDATE t SET v = 'z' WHERE id <= 2; DELETE FROM t WHERE id = 5", 3, 0, 0},
      // The last row-returning result stays buffered after later changes.
      {"SELECT v FROM t WHERE id = 1; DELETE FROM t WHERE id = 4", 2, 1, 1},
      {"BEGIN; COMMIT", 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(bkf_exec(db, c.sql), c.total) << last_error(db);
    EXPECT_EQ(bkf_row_count(db), c.rows);
    EXPECT_EQ(bkf_col_count(db), c.cols);
  }
  ASSERT_EQ(bkf_exec(db, "SELECT v FROM t WHERE id = 1"), 1);
  EXPECT_EQ(str(db, 0, 0), "z");
}

TEST_F(Exec, FailureEmptiesBufferKeepsEarlierStatements) {
  ASSERT_EQ(bkf_exec(db, "INSERT INTO t (v) VALUES ('a')"), 1);
  ASSERT_EQ(bkf_last_insert_id(db), 1);
  ASSERT_EQ(bkf_exec(db, "SELECT 1, 2"), 1);
  EXPECT_EQ(bkf_exec(db, "INSERT INTO t (v) VALUES ('b'); SELECT * FROM nowhere; INSERT INTO t (v) VALUES ('c')"),
            -1);
  EXPECT_EQ(last_error(db), "execution error: no such table: nowhere");
  EXPECT_EQ(bkf_row_count(db), 0u);
  EXPECT_EQ(bkf_col_count(db), 0u);
  EXPECT_EQ(bkf_last_insert_id(db), 1);  // not taken on failure
  ASSERT_EQ(bkf_exec(db, "SELECT v FROM t ORDER BY id"), 2);
  EXPECT_EQ(str(db, 1, 0), "b");
  // A parse error anywhere runs nothing of the text.
  EXPECT_EQ(bkf_exec(db, "INSERT INTO t (v) VALUES ('x'); SELEKT 1"), -1);
  EXPECT_EQ(last_error(db).rfind("parse error at byte ", 0), 0u) << last_error(db);
  EXPECT_EQ(bkf_exec(db, "SELECT v FROM t"), 2);

  // A prepared run that fails empties the buffer and keeps the last id too.
  ASSERT_EQ(bkf_exec(db, "CREATE UNIQUE INDEX tv ON t (v); SELECT 1"), 1);
  const int64_t last_id = bkf_last_insert_id(db);
  Stmt ins(db, "INSERT INTO t (v) VALUES (?)");
  bkf_bind_text(ins, 0, "a");
  EXPECT_EQ(bkf_exec_prepared(db, ins), -1);
  EXPECT_EQ(last_error(db), "constraint violation: UNIQUE constraint failed: tv");
  EXPECT_EQ(bkf_row_count(db), 0u);
  EXPECT_EQ(bkf_last_insert_id(db), last_id);
}

// Bad SQL arguments, and failing to prepare, leave the buffer alone.
TEST_F(Exec, BadSqlArgumentKeepsBuffer) {
  ASSERT_EQ(bkf_exec(db, "SELECT 7"), 1);
  EXPECT_EQ(bkf_exec(db, nullptr), -1);
  EXPECT_EQ(last_error(db), "sql is not valid UTF-8");
  EXPECT_EQ(bkf_row_count(db), 1u);
  EXPECT_EQ(bkf_exec(db, "SELECT '\xc3\x28'"), -1);
  EXPECT_EQ(last_error(db), "sql is not valid UTF-8");
  EXPECT_EQ(bkf_prepare(db, "SELECT '\xed\xa0\x80'"), nullptr);  // an encoded surrogate
  EXPECT_EQ(last_error(db), "sql is not valid UTF-8");
  EXPECT_EQ(bkf_prepare(db, nullptr), nullptr);
  EXPECT_EQ(last_error(db), "sql is not valid UTF-8");
  EXPECT_EQ(bkf_prepare(db, "SELECT 1; SELECT 2"), nullptr);
  EXPECT_EQ(last_error(db), "execution error: prepare expects exactly one statement");
  EXPECT_EQ(str(db, 0, 0), "7");
}

TEST_F(Exec, MessageOutlivesLaterSuccesses) {
  EXPECT_EQ(bkf_exec(db, "DROP TABLE nowhere"), -1);
  const std::string message = last_error(db);
  EXPECT_FALSE(message.empty());
  const char* kept = bkf_last_error(db);
  ASSERT_EQ(bkf_exec(db, "SELECT 1"), 1);
  Stmt s(db, "SELECT 2");
  ASSERT_EQ(bkf_exec_prepared(db, s), 1);
  EXPECT_EQ(bkf_last_error(db), kept);
  EXPECT_EQ(last_error(db), message);
  EXPECT_EQ(bkf_exec(db, "SELECT nothing FROM t"), -1);
  EXPECT_NE(last_error(db), message);
}

}  // namespace
}  // namespace bkf_ctest
