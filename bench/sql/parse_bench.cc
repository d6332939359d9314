// Parser throughput: a 10 MB multi-row INSERT (tokenize alone, then a full
// parse) and a batch of typical statements. Prints one line per workload:
// "name ops seconds ops_per_sec".
#include <chrono>
#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

#include "sql/parser.h"
#include "sql/token.h"

namespace {

using Clock = std::chrono::steady_clock;

void report(const char* name, std::size_t ops, double seconds) {
  char buf[160];
  char* p = buf;
  char* end = buf + sizeof buf;
  auto put = [&](std::string_view s) {
    for (char c : s) {
      if (p < end) *p++ = c;
    }
  };
  put(name);
  put(" ");
  p = std::to_chars(p, end, ops).ptr;
  put(" ");
  p = std::to_chars(p, end, seconds, std::chars_format::fixed, 6).ptr;
  put(" ");
  p = std::to_chars(p, end, seconds > 0 ? static_cast<double>(ops) / seconds : 0.0, std::chars_format::fixed, 1).ptr;
  put("\n");
  std::fwrite(buf, 1, static_cast<std::size_t>(p - buf), stdout);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string big_insert(std::size_t bytes, std::size_t& rows) {
  std::string text = "INSERT INTO events (id, name, score, note, flag) VALUES ";
  text.reserve(bytes + 128);
  rows = 0;
  while (text.size() < bytes) {
    const std::string id = std::to_string(rows + 1);
    text += "(" + id + ", 'event number " + id + "', " + std::to_string(rows % 1000) + ".25, NULL, -1),";
    ++rows;
  }
  text.back() = ';';
  return text;
}

}  // namespace

int main() {
  std::size_t rows = 0;
  const std::string insert = big_insert(10 * 1024 * 1024, rows);
  constexpr int kInsertRuns = 5;

  std::size_t tokens = 0;
  auto t0 = Clock::now();
  for (int i = 0; i < kInsertRuns; ++i) {
    auto r = bkf::sql::tokenize(insert);
    if (!r) return 1;
    tokens += r->size();
  }
  report("tokenize_insert_10mb_tokens", tokens, seconds_since(t0));

  t0 = Clock::now();
  for (int i = 0; i < kInsertRuns; ++i) {
    auto r = bkf::sql::parse(insert);
    if (!r) return 1;
  }
  const double insert_secs = seconds_since(t0);
  report("parse_insert_10mb", kInsertRuns, insert_secs);
  report("parse_insert_10mb_rows", rows * kInsertRuns, insert_secs);

  const std::vector<std::string> queries = {
      "SELECT * FROM users WHERE id = ?",
      "SELECT a, b, c FROM t WHERE a > 10 AND b LIKE 'x%' ORDER BY c DESC LIMIT 20",
      "INSERT INTO t (a, b, c) VALUES (?, ?, ?)",
      "UPDATE t SET a = a + 1, b = 'y' WHERE id = 42",
      "DELETE FROM t WHERE created < 12345",
      "SELECT u.name, count(*) AS n FROM users u LEFT JOIN orders o ON o.user_id = u.id "
      "GROUP BY u.name HAVING count(*) > 2 ORDER BY n DESC",
      "CREATE TABLE IF NOT EXISTS t (id INTEGER PRIMARY KEY AUTO_INCREMENT, name VARCHAR(64) NOT NULL, "
      "score DOUBLE DEFAULT 0, UNIQUE KEY u_name (name)) ENGINE=InnoDB",
      "SELECT CASE WHEN a IS NULL THEN 0 ELSE a END, CAST(b AS SIGNED) FROM t WHERE c IN (1, 2, 3) "
      "UNION ALL SELECT 1, 2 FROM u",
      "SELECT name FROM t WHERE id IN (SELECT tid FROM x WHERE v = 'q') AND NOT deleted",
      "INSERT INTO t (k, v) VALUES (?, ?) ON DUPLICATE KEY UPDATE v = VALUES(v)",
      "BEGIN",
      "COMMIT",
  };
  constexpr int kRounds = 50000;
  t0 = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    for (const std::string& q : queries) {
      auto r = bkf::sql::parse(q);
      if (!r) return 1;
    }
  }
  report("parse_typical_statements", queries.size() * kRounds, seconds_since(t0));
  return 0;
}
