// An indexed table against an unindexed copy: every random data change runs
// on both, every random query (with IN lists, subqueries, DISTINCT, UNION,
// ORDER BY and LIMIT) must give the same rows from both, and the indexes
// must stay consistent with their table throughout. And data changes that
// fail midway inside BEGIN, on two copies of a table with UNIQUE indexes,
// one driven through its indexes and one by scans.

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

// Statements on u (id INTEGER PRIMARY KEY, a INT UNIQUE, b TEXT NOT NULL
// UNIQUE, c TEXT indexed, d INT, UNIQUE (a, d)) that often fail midway: on
// a UNIQUE index, NOT NULL, a key too large for the index of c, or row id
// overflow, after earlier rows were changed (in place, grown past their
// cell, or inserted). Each comes in two forms: WHERE as written, which an
// index or a row-id range serves, and WHERE hidden from the planner, so
// that a scan finds the same rows.
struct FailingChange {
  std::string indexed, scanned;
};

FailingChange failing_change(Generator& gen) {
  auto num = [&] { return std::to_string(gen.pick(30)); };
  auto text = [&] { return "'" + std::string(1 + gen.pick(4), static_cast<char>('p' + gen.pick(4))) + "'"; };
  std::string where;
  switch (gen.pick(4)) {
    case 0: where = "a > " + num(); break;
    case 1: where = "c = " + text(); break;
    case 2: where = "id >= " + num(); break;
    default: where = "a >= " + num() + " AND a < " + num(); break;
  }
  const std::string hidden = "(" + where + ") OR 0 = 1";
  const std::string long_c = "'" + std::string(3000, 'x') + "'";
  std::string set;
  switch (gen.pick(7)) {
    case 0: set = "a = a + " + std::to_string(gen.pick(3) - 1); break;
    case 1: set = "b = CONCAT(b, " + text() + ")"; break;
    case 2: set = "b = CASE WHEN a = " + num() + " THEN NULL ELSE CONCAT(b, 'long and longer') END"; break;
    case 3: set = "c = CASE WHEN a = " + num() + " THEN " + long_c + " ELSE " + text() + " END, d = d + 1"; break;
    case 4: set = "a = d, d = a"; break;
    case 5: set = "b = " + text() + ", a = NULL"; break;
    default: set = "a = " + num() + " - a, b = CONCAT(" + text() + ", b)"; break;
  }
  auto row = [&] {
    return "(" + (gen.pick(4) == 0 ? std::string("NULL") : num()) + ", " + text() + ", " + text() + ", " + num() + ")";
  };
  switch (gen.pick(11)) {
    case 0:
    case 1:
    case 2:
    case 3: return {"UPDATE u SET " + set + " WHERE " + where, "UPDATE u SET " + set + " WHERE " + hidden};
    case 4:
    case 9:
    case 10: {
      const std::string sql = "INSERT INTO u (a, b, c, d) VALUES " + row() + ", " + row() + ", " + row();
      return {sql, sql};
    }
    case 5: {
      const std::string tail = " SELECT a + 1, CONCAT(b, 'i'), c, d FROM u WHERE ";
      return {"INSERT INTO u (a, b, c, d)" + tail + where + " ORDER BY id",
              "INSERT INTO u (a, b, c, d)" + tail + hidden + " ORDER BY id"};
    }
    case 6: {
      const std::string sql = "REPLACE INTO u (id, a, b, d) VALUES (" + num() + ", " + num() + ", " + text() +
                              ", " + num() + "), (" + num() + ", NULL, " + text() + ", NULL)";
      return {sql, sql};
    }
    case 7: {
      const std::string sql = "INSERT INTO u (a, b, c, d) VALUES " + row() + ", " + row() +
                              " ON DUPLICATE KEY UPDATE a = a + 1, b = CONCAT(b, 'o')";
      return {sql, sql};
    }
    default:
      if (gen.pick(2) == 0) {
        const std::string sql = "INSERT INTO u (id, b) VALUES (9223372036854775807, " + text() +
                                "); INSERT INTO u (a, b) VALUES (" + num() + ", " + text() + ")";
        return {sql, sql};
      }
      return {"DELETE FROM u WHERE " + where, "DELETE FROM u WHERE " + hidden};
  }
}

TEST(IndexedCopy, FailedChangesInsideBeginLeaveWholeRows) {
  TempDir dir;
  Database by_index = open_db(dir.file("i.db"));
  Database by_scan = open_db(dir.file("s.db"));
  const std::string schema =
      "CREATE TABLE u (id INTEGER PRIMARY KEY, a INT UNIQUE, b TEXT NOT NULL UNIQUE, c TEXT, d INT, "
      "UNIQUE (a, d)); CREATE INDEX u_c ON u (c); "
      "INSERT INTO u (a, b, c, d) VALUES (1, 'p', 'q', 1), (2, 'q', 'q', 2), (3, 'r', 'p', 3), (5, 'pp', 'r', 1)";
  for (Database* db : {&by_index, &by_scan}) ASSERT_EQ(run_sql(*db, schema), "ok / ok / affected 4");
  Generator gen(77);
  int failed = 0;
  for (int step = 0; step < 1200; ++step) {
    if (step % 40 == 0) {
      for (Database* db : {&by_index, &by_scan}) ASSERT_EQ(run_sql(*db, "BEGIN"), "ok");
    }
    const FailingChange change = failing_change(gen);
    const std::string got = run_sql(by_index, change.indexed);
    ASSERT_EQ(got, run_sql(by_scan, change.scanned)) << "step " << step << ": " << change.indexed;
    failed += got.find('!') != std::string::npos;
    const std::string rows = "SELECT * FROM u ORDER BY id";
    ASSERT_EQ(run_sql(by_index, rows), run_sql(by_scan, rows)) << "step " << step << ": " << change.indexed;
    ASSERT_EQ(run_sql(by_index, "PRAGMA integrity_check"), "[integrity_check] ('ok')")
        << "step " << step << ": " << change.indexed;
    if (step % 40 == 39) {
      // A COMMIT keeps what the failed statements left; now and then
      // everything goes back instead.
      const char* end = step % 200 == 199 ? "ROLLBACK" : "COMMIT";
      for (Database* db : {&by_index, &by_scan}) {
        ASSERT_EQ(run_sql(*db, end), "ok");
        ASSERT_EQ(run_sql(*db, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << "step " << step;
      }
      ASSERT_EQ(run_sql(by_index, rows), run_sql(by_scan, rows)) << "step " << step;
    }
  }
  EXPECT_GT(failed, 300);
  // Every UNIQUE index still refuses every value the table holds.
  ASSERT_EQ(run_sql(by_index, "SELECT count(*) > 10, count(DISTINCT a) = count(a), count(DISTINCT b) = count(*) FROM u"),
            "[expr, expr, expr] (1, 1, 1)");
  const auto values = by_index.execute("SELECT a, b FROM u");
  ASSERT_TRUE(values.ok());
  for (const auto& r : values->back().rows) {
    if (!r[0].is_null()) {
      EXPECT_EQ(run_sql(by_index, "INSERT INTO u (a, b) VALUES (" + value_text(r[0]) + ", 'fresh')"),
                "!constraint violation: UNIQUE constraint failed: u__a__unique");
    }
    EXPECT_EQ(run_sql(by_index, "INSERT INTO u (a, b) VALUES (1000, " + value_text(r[1]) + ")"),
              "!constraint violation: UNIQUE constraint failed: u__b__unique");
  }
}

}  // namespace
}  // namespace bkf::testing
