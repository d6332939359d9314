// A short tour of the database object: schema, data changes with conflict
// clauses, queries with UNION and FOUND_ROWS(), a prepared statement and a
// transaction. Usage: engine_demo <database file> (made afresh).

#include <unistd.h>

#include <cstdio>
#include <string>

#include "exec/engine/database.h"

using namespace bkf;

namespace {

std::string show(const Value& v) {
  switch (v.kind()) {
    case ValueKind::Null: return "NULL";
    case ValueKind::Int: return std::to_string(v.int_value());
    case ValueKind::Real: {
      std::string s;
      append_real_debug(s, v.real_value());
      return s;
    }
    case ValueKind::Text: return v.bytes_string();
    case ValueKind::Blob: return "<blob of " + std::to_string(v.bytes().size()) + " bytes>";
  }
  return "?";
}

void print(const ExecResult& r) {
  if (r.is_ok()) {
    std::printf("  ok\n");
  } else if (r.is_affected()) {
    std::printf("  %llu row(s) changed\n", static_cast<unsigned long long>(r.affected));
  } else {
    std::string line = "  |";
    for (const std::string& c : r.columns) line += " " + c + " |";
    std::printf("%s\n", line.c_str());
    for (const auto& row : r.rows) {
      line = "  |";
      for (const Value& v : row) line += " " + show(v) + " |";
      std::printf("%s\n", line.c_str());
    }
  }
}

bool run(Database& db, const char* sql) {
  std::printf("> %s\n", sql);
  auto r = db.execute(sql);
  if (!r) {
    std::printf("  %s\n", r.error().to_string().c_str());
    return false;
  }
  for (const ExecResult& x : *r) print(x);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "engine_demo.db";
  for (const char* suffix : {"", "-journal", "-wal"}) ::unlink((path + suffix).c_str());
  auto db = Database::open(path);
  if (!db) {
    std::fprintf(stderr, "%s\n", db.error().to_string().c_str());
    return 1;
  }
  run(*db, "CREATE TABLE fruit (id INTEGER PRIMARY KEY, name TEXT UNIQUE, stock INT DEFAULT 0)");
  run(*db, "INSERT INTO fruit (name, stock) VALUES ('apple', 3), ('pear', 5), ('plum', 1)");
  run(*db, "INSERT INTO fruit (name, stock) VALUES ('pear', 2) ON DUPLICATE KEY UPDATE stock = stock + VALUES(stock)");
  run(*db, "REPLACE INTO fruit (id, name, stock) VALUES (3, 'quince', 4)");
  run(*db, "INSERT INTO fruit (name) VALUES ('apple')");
  run(*db, "SELECT SQL_CALC_FOUND_ROWS name, stock FROM fruit ORDER BY stock DESC LIMIT 2");
  run(*db, "SELECT FOUND_ROWS()");
  run(*db, "SELECT name FROM fruit WHERE stock > (SELECT min(stock) FROM fruit) UNION SELECT 'banana' ORDER BY name");

  auto restock = db->prepare("UPDATE fruit SET stock = stock + ? WHERE name = ?");
  if (restock) {
    Value params[2] = {Value::integer(10), Value::text("apple")};
    std::printf("> (prepared) UPDATE fruit SET stock = stock + 10 WHERE name = 'apple'\n");
    if (auto r = db->execute_prepared(*restock, params)) print(*r);
  }
  run(*db, "BEGIN; DELETE FROM fruit; SELECT count(*) FROM fruit; ROLLBACK");
  run(*db, "SELECT id, name, stock FROM fruit ORDER BY id");
  run(*db, "PRAGMA integrity_check");
  for (const char* suffix : {"", "-journal", "-wal"}) ::unlink((path + suffix).c_str());
  return 0;
}
