// INSERT, UPDATE and DELETE: defaults, affinity, constraints with their
// messages, row ids, IGNORE, index maintenance, the truncation fast path,
// and failed statements inside BEGIN leaving table and indexes consistent.
#include "compile_test_util.h"

namespace bkf::testing {
namespace {

using vm::OpKind;

class DmlTest : public CompileTest {
 protected:
  void SetUp() override {
    CompileTest::SetUp();
    ok("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT NOT NULL, code INT UNIQUE, r REAL DEFAULT 2.5,"
       " note TEXT DEFAULT 'none', big BIGINT);"
       "CREATE TABLE plain (a, b INT)");
  }
  void check_integrity() { EXPECT_EQ(rows("PRAGMA integrity_check"), "ok"); }
};

TEST_F(DmlTest, InsertDefaultsAffinityAndRowIds) {
  QueryResult r = ok("INSERT INTO t (name, code) VALUES ('a', '42'), ('b', ' 7 ')");
  EXPECT_EQ(r.changes, 2u);
  EXPECT_EQ(r.last_rowid, 2);
  EXPECT_EQ(rows("SELECT id, name, code, typeof(code), r, note, big FROM t"),
            "1|a|42|integer|2.5|none|NULL;2|b|7|integer|2.5|none|NULL");
  ok("INSERT INTO t (id, name, code, r, big) VALUES (10, 'c', '4.2', ' 4.2 ', '9007199254740993')");
  EXPECT_EQ(rows("SELECT id, code, typeof(code), r, typeof(r), big FROM t WHERE id = 10"),
            "10|4.2|text|4.2|real|9007199254740993");
  r = ok("INSERT INTO t (name) VALUES ('d')");
  EXPECT_EQ(r.last_rowid, 11);
  ok("INSERT INTO plain VALUES ('5', '5'), (x'01', 'x')");
  EXPECT_EQ(rows("SELECT typeof(a), typeof(b), b FROM plain"), "text|integer|5;blob|text|x");
  // The alias column reads as the row id; unlisted it takes a fresh one.
  EXPECT_EQ(rows("SELECT id FROM t WHERE name = 'd'"), "11");
}

TEST_F(DmlTest, InsertConstraints) {
  ok("INSERT INTO t (id, name, code) VALUES (1, 'a', 1)");
  EXPECT_EQ(err("INSERT INTO t (name, code) VALUES (NULL, 2)"), "constraint violation: NOT NULL constraint failed: name");
  EXPECT_EQ(err("INSERT INTO t (name, code) VALUES ('b', 1)"),
            "constraint violation: UNIQUE constraint failed: t__code__unique");
  EXPECT_EQ(err("INSERT INTO t (id, name) VALUES (1, 'dup')"), "constraint violation: UNIQUE constraint failed: t.id");
  EXPECT_EQ(err("INSERT INTO t (id, name) VALUES (NULL, 'n')"), "execution error: expected an integer, found Null");
  EXPECT_EQ(err("INSERT IGNORE INTO t (id, name) VALUES (NULL, 'n')"),
            "execution error: expected an integer, found Null");
  EXPECT_EQ(err("INSERT INTO t (id, name) VALUES ('x', 'n')"),
            "execution error: expected an integer, found Text(\"x\")");
  // Two NULLs conflict in a UNIQUE index.
  ok("INSERT INTO t (name) VALUES ('n1')");
  EXPECT_EQ(err("INSERT INTO t (name) VALUES ('n2')"), "constraint violation: UNIQUE constraint failed: t__code__unique");
  EXPECT_EQ(rows("SELECT count(*) FROM t"), "2");
  // Keys compare as values: 1 and 1.0 collide, the text '1' does not.
  ok("CREATE UNIQUE INDEX plain_a ON plain (a); INSERT INTO plain (a) VALUES (1), ('1')");
  EXPECT_EQ(err("INSERT INTO plain (a) VALUES (1.0)"), "constraint violation: UNIQUE constraint failed: plain_a");
  check_integrity();
}

TEST_F(DmlTest, FailedStatementsInsideTransactionLeaveIndexesConsistent) {
  ok("CREATE TABLE s (id INTEGER PRIMARY KEY, a INT UNIQUE, b TEXT NOT NULL, c INT); CREATE INDEX s_c ON s (c);"
     "INSERT INTO s VALUES (1, 1, 'x', 10), (2, 2, 'y', 20)");
  ok("BEGIN");
  EXPECT_NE(err("INSERT INTO s VALUES (3, 3, 'z', 30), (4, 1, 'w', 40)"), "(no error)");
  EXPECT_NE(err("INSERT INTO s VALUES (5, 5, NULL, 50)"), "(no error)");
  EXPECT_NE(err("INSERT INTO s VALUES (2, 6, 'v', 60)"), "(no error)");
  EXPECT_NE(err("UPDATE s SET a = a + 1, c = c + 1"), "(no error)");
  EXPECT_NE(err("UPDATE s SET b = NULL WHERE id = 3"), "(no error)");
  ok("COMMIT");
  check_integrity();
  // The rows written before each failure stay (nothing is undone inside
  // BEGIN), and every index agrees with them.
  EXPECT_EQ(rows("SELECT id, a, b, c FROM s"), "1|1|x|10;2|2|y|20;3|3|z|30");
  EXPECT_EQ(rows("SELECT id FROM s WHERE c = 30"), "3");
  EXPECT_EQ(rows("SELECT id FROM s WHERE a = 3"), "3");
}

TEST_F(DmlTest, Update) {
  ok("INSERT INTO t (id, name, code) VALUES (1, 'a', 1), (2, 'b', 2), (3, 'c', 3)");
  QueryResult r = ok("UPDATE t SET name = upper(name), code = code * 10 WHERE id >= 2");
  EXPECT_EQ(r.changes, 2u);
  EXPECT_EQ(rows("SELECT id, name, code FROM t"), "1|a|1;2|B|20;3|C|30");
  EXPECT_EQ(ok("UPDATE t SET name = 'zz' WHERE id = 99").changes, 0u);
  // New values are computed from the old row: a swap.
  ok("UPDATE plain SET a = 1, b = 2; INSERT INTO plain VALUES (3, 4); UPDATE plain SET a = b, b = a");
  EXPECT_EQ(rows("SELECT a, b FROM plain"), "4|3");
  // UNIQUE: a row keeps its own value; the first clash fails the statement.
  EXPECT_EQ(ok("UPDATE t SET code = code, name = 'k'").changes, 3u);
  EXPECT_EQ(err("UPDATE t SET code = 20 WHERE id = 1"),
            "constraint violation: UNIQUE constraint failed: t__code__unique");
  EXPECT_EQ(err("UPDATE t SET name = NULL WHERE id = 1"), "constraint violation: NOT NULL constraint failed: name");
  EXPECT_EQ(err("UPDATE t SET code = 'abc' WHERE id = 1"), "(no error)");
  EXPECT_EQ(rows("SELECT code, typeof(code) FROM t WHERE id = 1"), "abc|text");
  // Affinity on assignment; rows that grow are written after the scan.
  ok("UPDATE t SET code = ' 5 ' WHERE id = 1");
  EXPECT_EQ(rows("SELECT code, typeof(code) FROM t WHERE id = 1"), "5|integer");
  r = ok("UPDATE t SET note = 'a much longer note than before, long enough to need a bigger cell'");
  EXPECT_EQ(r.changes, 3u);
  EXPECT_EQ(rows("SELECT count(*) FROM t WHERE note LIKE 'a much%'"), "3");
  check_integrity();
}

TEST_F(DmlTest, UpdateGuardsOnlyAssignedColumns) {
  ok("INSERT INTO plain VALUES (1, 1), (2, 2)");
  // ALTER TABLE refuses this column now, but files written before hold such
  // columns: old rows read NULL in c, which must not block updates of other
  // columns.
  Column c;
  c.name = "c";
  c.decl_type = "INT";
  c.not_null = true;
  ASSERT_TRUE(db_->add_column_unchecked("plain", std::move(c)).ok());
  EXPECT_EQ(ok("UPDATE plain SET b = b + 1").changes, 2u);
  ok("CREATE INDEX plain_b ON plain (b)");
  EXPECT_EQ(ok("UPDATE plain SET b = b + 1 WHERE a = 1").changes, 1u);
  EXPECT_EQ(err("UPDATE plain SET c = NULL"), "constraint violation: NOT NULL constraint failed: c");
  EXPECT_EQ(rows("SELECT a, b, c FROM plain"), "1|3|NULL;2|3|NULL");
  check_integrity();
}

TEST_F(DmlTest, Delete) {
  for (int i = 1; i <= 10; ++i) ok("INSERT INTO plain VALUES (?, ?)", {Value::integer(i), Value::integer(i % 3)});
  // Without indexes a row-id range is cut off without visiting rows.
  vm::Program p = program("DELETE FROM plain WHERE rowid > 7");
  EXPECT_TRUE(has_op(p, OpKind::TruncateFrom)) << p.debug();
  EXPECT_EQ(db_->run(p, true)->changes, 3u);
  EXPECT_TRUE(has_op(program("DELETE FROM plain WHERE 7 <= rowid"), OpKind::TruncateFrom));
  EXPECT_FALSE(has_op(program("DELETE FROM plain WHERE rowid >= 5 AND a = 1"), OpKind::TruncateFrom));
  EXPECT_FALSE(has_op(program("DELETE FROM plain WHERE rowid > 9223372036854775807"), OpKind::TruncateFrom));
  EXPECT_EQ(ok("DELETE FROM plain WHERE rowid > 9223372036854775807").changes, 0u);
  EXPECT_EQ(ok("DELETE FROM plain WHERE rowid >= 5 AND b = 1").changes, 1u);
  EXPECT_EQ(ok("DELETE FROM plain WHERE rowid >= 5 AND b = 2").changes, 1u);
  EXPECT_EQ(rows("SELECT a FROM plain"), "1;2;3;4;6");
  EXPECT_EQ(ok("DELETE FROM plain WHERE b = 0").changes, 2u);
  EXPECT_EQ(ok("DELETE FROM plain").changes, 3u);
  EXPECT_EQ(rows("SELECT count(*) FROM plain"), "0");

  // With indexes every row is visited and its entries removed.
  for (int i = 1; i <= 6; ++i) {
    ok("INSERT INTO t (name, code) VALUES (?, ?)", {Value::text("n" + std::to_string(i)), Value::integer(i)});
  }
  EXPECT_FALSE(has_op(program("DELETE FROM t"), OpKind::TruncateFrom));
  EXPECT_EQ(ok("DELETE FROM t WHERE code >= 5").changes, 2u);
  EXPECT_EQ(ok("DELETE FROM t WHERE id = ?", {Value::integer(2)}).changes, 1u);
  EXPECT_EQ(ok("DELETE FROM t WHERE id > 3").changes, 1u);
  EXPECT_EQ(rows("SELECT id, code FROM t"), "1|1;3|3");
  check_integrity();
  EXPECT_EQ(ok("DELETE FROM t").changes, 2u);
  check_integrity();
}

}  // namespace
}  // namespace bkf::testing
