// An indexed table against an unindexed copy: every random data change runs
// on both, every random query (with IN lists, subqueries, DISTINCT, UNION,
// ORDER BY and LIMIT) must give the same rows from both, and the indexes
// must stay consistent with their table throughout.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/engine_testing.h"

namespace bkf::testing {
namespace {

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }

  std::string value() {
    switch (pick(6)) {
      case 0: return "NULL";
      case 1: return "'" + std::string(1, static_cast<char>('a' + pick(4))) + "'";
      case 2: return std::to_string(pick(5)) + ".5";
      default: return std::to_string(pick(12) - 2);
    }
  }

  std::string column() {
    static const char* kCols[] = {"a", "b", "c", "rowid"};
    return kCols[pick(4)];
  }

  // A condition over the columns; T names the table for subqueries.
  std::string condition(const std::string& t) {
    switch (pick(9)) {
      case 0: return column() + " = " + value();
      case 1: return column() + " < " + value();
      case 2: return column() + " >= " + value() + " AND " + column() + " <> " + value();
      case 3: return column() + " IN (" + value() + ", " + value() + ", " + value() + ")";
      case 4: return column() + " NOT IN (" + value() + ", " + value() + ")";
      case 5: return column() + " IN (SELECT " + column() + " FROM " + t + " WHERE " + column() + " > " + value() + ")";
      case 6: return column() + " = (SELECT max(" + column() + ") FROM " + t + ")";
      case 7: return column() + " IS NULL OR " + column() + " > " + value();
      default: return "NOT (" + column() + " <= " + value() + ")";
    }
  }

  // A data change, written for table T.
  std::string change(const std::string& t) {
    switch (pick(7)) {
      case 0:
      case 1: return "INSERT INTO " + t + " (a, b, c) VALUES (" + value() + ", " + value() + ", " + value() + ")";
      case 2:
        return "REPLACE INTO " + t + " (rowid_alias, a, b, c) VALUES (" + std::to_string(1 + pick(30)) + ", " +
               value() + ", " + value() + ", " + value() + ")";
      case 3: return "UPDATE " + t + " SET " + column_no_rowid() + " = " + value() + " WHERE " + condition(t);
      case 4: return "DELETE FROM " + t + " WHERE " + condition(t);
      case 5:
        return "INSERT INTO " + t + " (a, b, c) SELECT b, c, a FROM " + t + " WHERE " + condition(t) +
               " ORDER BY rowid_alias LIMIT 3";
      default:
        return "INSERT INTO " + t + " (rowid_alias, a) VALUES (" + std::to_string(1 + pick(30)) + ", " + value() +
               ") ON DUPLICATE KEY UPDATE b = VALUES(a), c = c + 1";
    }
  }

  std::string column_no_rowid() {
    static const char* kCols[] = {"a", "b", "c"};
    return kCols[pick(3)];
  }

  // A query of table T whose rows come out in one defined order.
  std::string query(const std::string& t) {
    const std::string all = "rowid_alias, a, b, c";
    switch (pick(5)) {
      case 0: return "SELECT " + all + " FROM " + t + " WHERE " + condition(t) + " ORDER BY rowid_alias";
      case 1: {
        const std::string col = column_no_rowid();
        return "SELECT DISTINCT " + col + " FROM " + t + " WHERE " + condition(t) + " ORDER BY " + col;
      }
      case 2:
        return "SELECT a, count(*) FROM " + t + " WHERE " + condition(t) + " GROUP BY a ORDER BY a";
      case 3:
        return "SELECT a FROM " + t + " WHERE " + condition(t) + " UNION SELECT b FROM " + t + " WHERE " +
               condition(t) + " ORDER BY 1 LIMIT " + std::to_string(pick(6));
      default:
        return "SELECT " + all + " FROM " + t + " WHERE " + condition(t) + " ORDER BY a DESC, rowid_alias LIMIT " +
               std::to_string(1 + pick(5)) + " OFFSET " + std::to_string(pick(3));
    }
  }

 private:
  std::mt19937_64 rng_;
};

// Every occurrence of the placeholder table name replaced.
std::string for_table(std::string sql, const std::string& t) {
  for (std::size_t p = sql.find("TBL"); p != std::string::npos; p = sql.find("TBL", p)) sql.replace(p, 3, t);
  return sql;
}

TEST(IndexedCopy, RandomChangesAndQueriesAgree) {
  TempDir dir;
  Database db = open_db(dir.file("c.db"));
  ASSERT_EQ(run_sql(db,
                    "CREATE TABLE ix (rowid_alias INTEGER PRIMARY KEY, a, b INT, c REAL); "
                    "CREATE INDEX ix_a ON ix (a); CREATE INDEX ix_b ON ix (b); CREATE INDEX ix_ab ON ix (a, b); "
                    "CREATE INDEX ix_c ON ix (c); "
                    "CREATE TABLE plain (rowid_alias INTEGER PRIMARY KEY, a, b INT, c REAL)"),
            "ok / ok / ok / ok / ok / ok");
  Generator gen(2024);
  for (int step = 0; step < 1500; ++step) {
    if (gen.pick(3) != 0) {
      const std::string sql = gen.change("TBL");
      const std::string in_ix = run_sql(db, for_table(sql, "ix"));
      const std::string in_plain = run_sql(db, for_table(sql, "plain"));
      ASSERT_EQ(in_ix, in_plain) << "step " << step << ": " << sql;
      ASSERT_EQ(in_ix.find("parse error"), std::string::npos) << sql;
      ASSERT_EQ(run_sql(db, "SELECT * FROM ix ORDER BY rowid_alias"),
                run_sql(db, "SELECT * FROM plain ORDER BY rowid_alias"))
          << "step " << step << ": " << sql;
    } else {
      const std::string sql = gen.query("TBL");
      const std::string in_ix = run_sql(db, for_table(sql, "ix"));
      const std::string in_plain = run_sql(db, for_table(sql, "plain"));
      ASSERT_EQ(in_ix, in_plain) << "step " << step << ": " << sql;
      ASSERT_NE(in_ix.substr(0, 1), "!") << sql;
    }
    if (step % 100 == 99) {
      ASSERT_EQ(run_sql(db, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << "step " << step;
      ASSERT_EQ(run_sql(db, "SELECT count(*) FROM ix"), run_sql(db, "SELECT count(*) FROM plain"));
    }
  }
  EXPECT_EQ(run_sql(db, "PRAGMA reindex; PRAGMA integrity_check"),
            "[reindex] ('rebuilt 4 index(es)') / [integrity_check] ('ok')");
  EXPECT_EQ(run_sql(db, "SELECT * FROM ix ORDER BY rowid_alias"), run_sql(db, "SELECT * FROM plain ORDER BY rowid_alias"));
}

}  // namespace
}  // namespace bkf::testing
