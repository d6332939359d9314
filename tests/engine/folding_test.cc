// Folding at sizes where a left-deep chain of comparisons, or a recursive
// walk, would exhaust the stack: IN over 200,000 subquery values and a
// subquery inside a chain of 20,000 ORs (long IN lists are the reliability
// suite's bad-input test).

#include <gtest/gtest.h>

#include <string>

#include "engine/engine_testing.h"

namespace bkf::testing {
namespace {

TEST(LargeFolding, InOverTwoHundredThousandRowsAndLongOrChains) {
  TempDir dir;
  Database db = open_db(dir.file("f.db"));
  ASSERT_EQ(run_sql(db, "CREATE TABLE big (id INTEGER PRIMARY KEY); CREATE TABLE small (x INT)"), "ok / ok");
  auto ins = db.prepare("INSERT INTO big VALUES (?)");
  ASSERT_TRUE(ins.ok());
  ASSERT_EQ(run_sql(db, "BEGIN"), "ok");
  for (int i = 1; i <= 200000; ++i) {
    Value v = Value::integer(i * 2);
    ASSERT_TRUE(db.execute_prepared(*ins, std::span<const Value>(&v, 1)).ok());
  }
  ASSERT_EQ(run_sql(db, "COMMIT"), "ok");
  ASSERT_EQ(run_sql(db, "INSERT INTO small VALUES (4), (5), (400000), (400002), (NULL)"), "affected 5");
  EXPECT_EQ(run_sql(db, "SELECT x FROM small WHERE x IN (SELECT id FROM big)"), "[x] (4) (400000)");
  EXPECT_EQ(run_sql(db, "SELECT x FROM small WHERE x NOT IN (SELECT id FROM big)"), "[x] (5) (400002)");
  EXPECT_EQ(run_sql(db, "DELETE FROM small WHERE x IN (SELECT id FROM big)"), "affected 2");
  EXPECT_EQ(run_sql(db, "SELECT count(*) FROM small"), "[count(*)] (3)");

  // A subquery inside a chain of 20,000 ORs.
  std::string chain = "SELECT x FROM small WHERE x = (SELECT min(x) FROM small)";
  for (int i = 0; i < 20000; ++i) chain += " OR x = " + std::to_string(1000000 + i);
  EXPECT_EQ(run_sql(db, chain), "[x] (5)");
}

}  // namespace
}  // namespace bkf::testing
