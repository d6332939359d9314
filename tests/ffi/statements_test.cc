// Prepared statements: binding slots, running, and running on the wrong
// handle.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "c_test_util.h"

namespace bkf_ctest {
namespace {

using Statements = TableTest;

TEST_F(Statements, InsertRunTwiceAndLastInsertId) {
  Stmt ins(db, "INSERT INTO t (v) VALUES (?)");
  ASSERT_NE(ins.get(), nullptr) << last_error(db);
  bkf_bind_text(ins, 0, "a");
  EXPECT_EQ(bkf_exec_prepared(db, ins), 1);
  EXPECT_EQ(bkf_last_insert_id(db), 1);
  EXPECT_EQ(bkf_exec_prepared(db, ins), 1);  // slots stay bound
  EXPECT_EQ(bkf_last_insert_id(db), 2);
  // Text that is not UTF-8 is refused: no run writes until the slot is
  // bound again or cleared.
  bkf_bind_text(ins, 0, "b\xff");
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(bkf_exec_prepared(db, ins), -1);
    EXPECT_EQ(last_error(db), "bkf_bind_text: parameter 0 is not valid UTF-8");
  }
  EXPECT_EQ(bkf_last_insert_id(db), 2);
  bkf_clear_binds(ins);
  EXPECT_EQ(bkf_exec_prepared(db, ins), 1);  // a missing slot reads NULL
  Stmt del(db, "DELETE FROM t WHERE id = ?");
  bkf_bind_int(del, 0, 1);
  EXPECT_EQ(bkf_exec_prepared(db, del), 1);
  EXPECT_EQ(bkf_last_insert_id(db), 3);
  ASSERT_EQ(bkf_exec(db, "SELECT id, v FROM t ORDER BY id"), 2);
  EXPECT_EQ(str(db, 0, 1), "a");
  EXPECT_EQ(str(db, 1, 1), "<null>");
}

TEST_F(Statements, QueryBuffersRowsAndReportsTheirNumber) {
  ASSERT_EQ(bkf_exec(db, "INSERT INTO t (v) VALUES ('a'), ('b'), ('c')"), 3);
  Stmt q(db, "SELECT id, v FROM t WHERE id >= ? ORDER BY id");
  bkf_bind_int(q, 0, 2);
  ASSERT_EQ(bkf_exec_prepared(db, q), 2);
  EXPECT_EQ(bkf_col_count(db), 2u);
  EXPECT_STREQ(bkf_col_name(db, 1), "v");
  EXPECT_EQ(str(db, 1, 1), "c");
  bkf_bind_int(q, 0, 10);
  ASSERT_EQ(bkf_exec_prepared(db, q), 0);  // an empty result keeps its columns
  EXPECT_EQ(bkf_row_count(db), 0u);
  EXPECT_EQ(bkf_col_count(db), 2u);
  EXPECT_STREQ(bkf_col_name(db, 1), "v");
  EXPECT_EQ(bkf_col_name(db, 2), nullptr);
}

TEST_F(Statements, BindingFillsLowerSlotsWithNull) {
  Stmt q(db, "SELECT ?, ?, ?, ?, ?");
  ASSERT_NE(q.get(), nullptr) << last_error(db);
  bkf_bind_int(q, 3, 7);
  bkf_bind_null(q, -1);
  bkf_bind_int(q, -5, 9);
  ASSERT_EQ(bkf_exec_prepared(db, q), 1);
  for (size_t c = 0; c < 3; ++c) EXPECT_EQ(bkf_get_str(db, 0, c), nullptr);
  EXPECT_EQ(str(db, 0, 3), "7");
  EXPECT_EQ(bkf_get_str(db, 0, 4), nullptr);

  bkf_bind_real(q, 0, 2.5);
  bkf_bind_text(q, 1, "t\xc3\xa9xt");
  bkf_bind_text(q, 2, "\xc3");      // not UTF-8: refused at the run
  bkf_bind_text(q, 3, nullptr);     // binds NULL over the 7
  bkf_bind_int(q, 4, INT64_MIN);
  ASSERT_EQ(bkf_exec_prepared(db, q), -1);
  EXPECT_EQ(last_error(db), "bkf_bind_text: parameter 2 is not valid UTF-8");
  EXPECT_EQ(str(db, 0, 3), "7");  // the buffer is left as it was
  bkf_bind_text(q, 2, nullptr);
  ASSERT_EQ(bkf_exec_prepared(db, q), 1);
  EXPECT_EQ(str(db, 0, 0), "2.5");
  EXPECT_EQ(str(db, 0, 1), "t\xc3\xa9xt");
  EXPECT_EQ(bkf_get_str(db, 0, 2), nullptr);
  EXPECT_EQ(bkf_get_str(db, 0, 3), nullptr);
  EXPECT_EQ(str(db, 0, 4), "-9223372036854775808");

  // Slots are allocated densely, so an absurd index must not ask for an
  // absurd list; no statement has that many markers anyway.
  for (int64_t idx : {int64_t{65536}, int64_t{1} << 40, std::numeric_limits<int64_t>::max()}) {
    bkf_bind_int(q, idx, 1);
    bkf_bind_real(q, idx, 1.0);
    bkf_bind_text(q, idx, "x");
    bkf_bind_null(q, idx);
  }
  bkf_bind_int(q, 65535, 5);  // the highest index kept
  bkf_bind_int(q, 0, 11);
  ASSERT_EQ(bkf_exec_prepared(db, q), 1);
  EXPECT_EQ(str(db, 0, 0), "11");
}

// A statement may hold more markers than the fixed bound on bind indexes:
// every one of them takes its value, none reads NULL; an index past the
// statement's markers and the bound is still ignored.
TEST_F(Statements, EveryMarkerOfALongStatementTakesItsValue) {
  constexpr int64_t kMarkers = 70000;
  std::string sql = "INSERT INTO t (v) VALUES (?)";
  for (int64_t i = 1; i < kMarkers; ++i) sql += ",(?)";
  Stmt ins(db, sql.c_str());
  ASSERT_NE(ins.get(), nullptr) << last_error(db);
  for (int64_t i = 0; i < kMarkers; ++i) bkf_bind_int(ins, i, i);
  bkf_bind_int(ins, kMarkers, 1);  // past the markers and the bound: ignored
  ASSERT_EQ(bkf_exec_prepared(db, ins), kMarkers) << last_error(db);
  ASSERT_EQ(bkf_exec(db, "SELECT count(v), min(v), max(v), sum(v) FROM t"), 1);
  EXPECT_EQ(str(db, 0, 0), "70000");
  EXPECT_EQ(str(db, 0, 1), "0");
  EXPECT_EQ(str(db, 0, 2), "69999");
  EXPECT_EQ(str(db, 0, 3), std::to_string(kMarkers * (kMarkers - 1) / 2));
  ASSERT_EQ(bkf_exec(db, "SELECT id, v FROM t WHERE id = 70000"), 1);
  EXPECT_EQ(str(db, 0, 1), "69999");
}

// A statement belongs to its handle, not to the file: not to another
// handle on the same file, nor to a closed handle's successor (which may
// reuse its address). Argument failures leave the buffer alone.
TEST_F(Statements, StatementRunsOnlyOnItsOwnHandle) {
  Db other(dir.file("a.db"));
  ASSERT_EQ(bkf_exec(other, "SELECT 1, 2"), 1);
  Stmt ins(db, "INSERT INTO t (v) VALUES (?)");
  bkf_bind_text(ins, 0, "wrong handle");
  EXPECT_EQ(bkf_exec_prepared(other, ins), -1);
  EXPECT_EQ(last_error(other), "prepared statement belongs to another database");
  EXPECT_EQ(bkf_col_count(other), 2u);
  EXPECT_EQ(bkf_exec_prepared(other, nullptr), -1);
  EXPECT_EQ(last_error(other), "null prepared statement");
  EXPECT_EQ(bkf_col_count(other), 2u);
  EXPECT_EQ(bkf_last_error(db), nullptr);
  ASSERT_EQ(bkf_exec(other, "SELECT v FROM t"), 0);
  ASSERT_EQ(bkf_exec_prepared(db, ins), 1);

  BkfDb* first = bkf_open(dir.file("c.db").c_str());
  BkfStmt* orphan = bkf_prepare(first, "SELECT 1");
  ASSERT_NE(orphan, nullptr);
  bkf_close(first);
  for (int i = 0; i < 8; ++i) {
    BkfDb* next = bkf_open(dir.file("c.db").c_str());
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(bkf_exec_prepared(next, orphan), -1);
    bkf_close(next);
  }
  bkf_finalize(orphan);
}

}  // namespace
}  // namespace bkf_ctest
