// INSERT conflict policies against a model: random REPLACE, INSERT IGNORE,
// ON DUPLICATE KEY UPDATE and plain INSERT statements on a table with a
// row-id alias and a UNIQUE column, compared after every statement with a
// map that applies the same rules by hand. Key values mix texts and
// integers that read alike ('1' and 1), which the unique index keeps apart,
// and NULL, which finds no row to replace or update (so a second NULL
// fails on the index, which holds one NULL like any other value). Every
// other run of 50 statements is inside BEGIN, where a failed statement is
// not undone: the model is the same there, since a REPLACE that fails
// leaves the rows it would have displaced.

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/engine_testing.h"

namespace bkf::testing {
namespace {

struct ModelRow {
  Value k;
  std::int64_t v;
};

using Model = std::map<std::int64_t, ModelRow>;

// The row whose k is k, NULL included: the unique index holds one NULL
// like any other value.
std::optional<std::int64_t> find_k(const Model& m, const Value& k) {
  for (const auto& [id, row] : m) {
    if (row.k.identical(k)) return id;
  }
  return std::nullopt;
}

std::string model_text(const Model& m) {
  std::string out = "[id, k, v]";
  for (const auto& [id, row] : m) {
    out += " (" + std::to_string(id) + ", " + value_text(row.k) + ", " + std::to_string(row.v) + ")";
  }
  return out;
}

std::string sql_of(const Value& v) {
  if (v.is_null()) return "NULL";
  if (v.is_int()) return std::to_string(v.int_value());
  return "'" + v.bytes_string() + "'";
}

TEST(ConflictModel, RandomStatementsMatchTheModel) {
  TempDir dir;
  Database db = open_db(dir.file("m.db"));
  ASSERT_EQ(run_sql(db, "CREATE TABLE r (id INTEGER PRIMARY KEY, k TEXT UNIQUE, v INT)"), "ok");
  const std::vector<Value> keys = {Value::text("a"), Value::text("b"), Value::text("1"), Value::integer(1),
                                   Value::integer(2), Value::null()};
  Model model;
  std::mt19937_64 rng(12345);
  for (int step = 0; step < 600; ++step) {
    const bool in_tx = (step / 50) % 2 == 1;
    if (in_tx && step % 50 == 0) {
      ASSERT_EQ(run_sql(db, "BEGIN"), "ok");
    }
    // Sometimes the id is left to the table.
    const bool with_id = rng() % 4 != 0;
    std::int64_t id = 1 + static_cast<std::int64_t>(rng() % 8);
    if (!with_id) id = model.empty() ? 1 : model.rbegin()->first + 1;
    const Value k = keys[rng() % keys.size()];
    const std::int64_t v = static_cast<std::int64_t>(rng() % 100);
    const std::string cols = with_id ? "(id, k, v)" : "(k, v)";
    const std::string vals = with_id ? "(" + std::to_string(id) + ", " + sql_of(k) + ", " + std::to_string(v) + ")"
                                     : "(" + sql_of(k) + ", " + std::to_string(v) + ")";
    std::string sql;
    std::string want;
    const std::optional<std::int64_t> by_id = with_id && model.count(id) ? std::optional<std::int64_t>(id) : std::nullopt;
    // What REPLACE and ON DUPLICATE KEY UPDATE find by the key.
    const std::optional<std::int64_t> by_k = k.is_null() ? std::nullopt : find_k(model, k);
    const std::string unique_failed = "!constraint violation: UNIQUE constraint failed: r__k__unique";
    const std::uint64_t choice = rng() % 4;
    switch (choice) {
      case 0: {  // REPLACE: both conflicting rows go, then the insert
        sql = "REPLACE INTO r " + cols + " VALUES " + vals;
        Model after = model;
        if (by_id) after.erase(*by_id);
        if (by_k) after.erase(*by_k);
        // A new row id is taken after the deletes.
        const std::int64_t new_id = with_id ? id : after.empty() ? 1 : after.rbegin()->first + 1;
        if (find_k(after, k)) {
          want = unique_failed;  // nothing is deleted
        } else {
          after[new_id] = {k, v};
          model = std::move(after);
          want = "affected 1";
        }
        break;
      }
      case 1:  // INSERT IGNORE
        sql = "INSERT IGNORE INTO r " + cols + " VALUES " + vals;
        if (by_id || find_k(model, k)) {
          want = "affected 0";
        } else {
          model[id] = {k, v};
          want = "affected 1";
        }
        break;
      default: {  // ON DUPLICATE KEY UPDATE (the row id decides first), or a plain INSERT
        const bool on_dup = choice == 2;
        sql = "INSERT INTO r " + cols + " VALUES " + vals;
        const std::optional<std::int64_t> dup = by_id ? by_id : by_k;
        if (on_dup) sql += " ON DUPLICATE KEY UPDATE v = v + VALUES(v) + 1";
        if (on_dup && dup) {
          model[*dup].v += v + 1;
          want = "affected 1";
        } else if (by_id) {
          want = "!constraint violation: UNIQUE constraint failed: r.id";
        } else if (find_k(model, k)) {
          want = unique_failed;
        } else {
          model[id] = {k, v};
          want = "affected 1";
        }
        break;
      }
    }
    ASSERT_EQ(run_sql(db, sql), want) << "step " << step << ": " << sql;
    ASSERT_EQ(run_sql(db, "SELECT id, k, v FROM r ORDER BY id"), model_text(model)) << "after " << sql;
    if (in_tx && step % 50 == 49) {
      ASSERT_EQ(run_sql(db, "COMMIT"), "ok");
    }
  }
  EXPECT_EQ(run_sql(db, "PRAGMA integrity_check"), "[integrity_check] ('ok')");
}

// The same policies over many rows in one statement, driven from a SELECT.
TEST(ConflictModel, BulkReplaceFromASelect) {
  TempDir dir;
  Database db = open_db(dir.file("b.db"));
  ASSERT_EQ(run_sql(db, "CREATE TABLE src (id INTEGER PRIMARY KEY, code INT, v TEXT); "
                        "CREATE TABLE dst (id INTEGER PRIMARY KEY, code INT UNIQUE, v TEXT)"),
            "ok / ok");
  ASSERT_EQ(run_sql(db, "BEGIN"), "ok");
  for (int i = 1; i <= 300; ++i) {
    ASSERT_EQ(run_sql(db, "INSERT INTO src VALUES (" + std::to_string(i) + ", " + std::to_string(i % 50) + ", 's" +
                              std::to_string(i) + "')"),
              "affected 1");
  }
  ASSERT_EQ(run_sql(db, "COMMIT"), "ok");
  // 300 rows, 50 distinct codes: each later row replaces the earlier one
  // with its code.
  EXPECT_EQ(run_sql(db, "REPLACE INTO dst (code, v) SELECT code, v FROM src ORDER BY id"), "affected 300");
  EXPECT_EQ(run_sql(db, "SELECT count(*), min(v), max(id) FROM dst"), "[count(*), min(v), max(id)] (50, 's251', 300)");
  EXPECT_EQ(run_sql(db, "SELECT v FROM dst WHERE code = 7"), "[v] ('s257')");
  EXPECT_EQ(run_sql(db, "INSERT INTO dst (code, v) SELECT code, 'again' FROM src WHERE id <= 60 "
                        "ON DUPLICATE KEY UPDATE v = CONCAT(v, '+')"),
            "affected 60");
  EXPECT_EQ(run_sql(db, "SELECT v FROM dst WHERE code = 7"), "[v] ('s257++')");
  EXPECT_EQ(run_sql(db, "SELECT count(*) FROM dst"), "[count(*)] (50)");
  EXPECT_EQ(run_sql(db, "PRAGMA integrity_check"), "[integrity_check] ('ok')");
}

}  // namespace
}  // namespace bkf::testing
