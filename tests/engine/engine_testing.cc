#include "engine/engine_testing.h"

#include <fstream>
#include <sstream>

#include "support/hex.h"

namespace bkf::testing {

std::string value_text(const Value& v) {
  std::string out;
  switch (v.kind()) {
    case ValueKind::Null: return "NULL";
    case ValueKind::Int: return std::to_string(v.int_value());
    case ValueKind::Real: append_real_debug(out, v.real_value()); return out;
    case ValueKind::Text: return "'" + v.bytes_string() + "'";
    case ValueKind::Blob: return "x'" + hex(v.bytes()) + "'";
  }
  return "?";
}

std::string result_text(const ExecResult& r) {
  switch (r.kind) {
    case ExecResult::Kind::Ok: return "ok";
    case ExecResult::Kind::Affected: return "affected " + std::to_string(r.affected);
    case ExecResult::Kind::Rows: break;
  }
  std::string out = "[";
  for (std::size_t i = 0; i < r.columns.size(); ++i) out += (i ? ", " : "") + r.columns[i];
  out += "]";
  for (const auto& row : r.rows) {
    out += " (";
    for (std::size_t i = 0; i < row.size(); ++i) out += (i ? ", " : "") + value_text(row[i]);
    out += ")";
  }
  return out;
}

std::string results_text(const Result<std::vector<ExecResult>>& r) {
  if (!r) return "!" + r.error().to_string();
  std::string out;
  for (std::size_t i = 0; i < r->size(); ++i) out += (i ? " / " : "") + result_text((*r)[i]);
  return out;
}

std::string squeeze(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t j = s.find_first_not_of(s[i], i);
    if (j == std::string::npos) j = s.size();
    out += j - i >= 16 ? std::string(1, s[i]) + "*" + std::to_string(j - i) : s.substr(i, j - i);
    i = j;
  }
  return out;
}

bool index_exists(Database& db, const std::string& name) {
  const bool dropped = run_sql(db, "BEGIN") == "ok" && run_sql(db, "DROP INDEX " + name) == "ok";
  (void)run_sql(db, "ROLLBACK");
  return dropped;
}

std::string run_sql(Database& db, std::string_view sql) { return results_text(db.execute(sql)); }

std::string run_prepared(Database& db, std::string_view sql, const std::vector<Value>& params) {
  auto p = db.prepare(sql);
  if (!p) return "!" + p.error().to_string();
  auto r = db.execute_prepared(*p, params);
  return r ? result_text(*r) : "!" + r.error().to_string();
}

Database open_db(const std::string& path) {
  auto db = Database::open(path);
  if (!db) {
    ADD_FAILURE() << "open " << path << ": " << db.error().to_string();
    std::abort();
  }
  return std::move(*db);
}

namespace {

struct Block {
  int line = 0;
  std::string sql;
  std::string expect;
  std::string directive;  // "@use x" / "@reopen", alone
};

std::vector<Block> read_blocks(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::vector<Block> blocks;
  Block cur;
  bool in_expect = false;
  std::string line;
  int n = 0;
  auto flush = [&] {
    if (!cur.sql.empty() || !cur.expect.empty()) blocks.push_back(cur);
    cur = Block{};
    in_expect = false;
  };
  while (std::getline(in, line)) {
    ++n;
    if (line.rfind("--", 0) == 0) continue;
    if (line.rfind("@", 0) == 0) {
      flush();
      Block d;
      d.line = n;
      d.directive = line;
      blocks.push_back(d);
      continue;
    }
    if (line.rfind(">", 0) == 0) {
      std::string e = line.size() > 1 && line[1] == ' ' ? line.substr(2) : line.substr(1);
      cur.expect += (in_expect ? " " : "") + e;
      in_expect = true;
      continue;
    }
    if (in_expect) flush();
    if (line.find_first_not_of(" \t\r") == std::string::npos) {
      if (cur.sql.empty()) continue;
    }
    if (cur.sql.empty()) cur.line = n;
    cur.sql += line + "\n";
  }
  flush();
  return blocks;
}

}  // namespace

void run_script_file(const std::string& path) {
  TempDir dir;
  const std::string db_path = dir.file("script.db");
  std::map<std::string, std::unique_ptr<Database>> conns;
  std::string current = "main";
  auto conn = [&]() -> Database& {
    auto& slot = conns[current];
    if (!slot) slot = std::make_unique<Database>(open_db(db_path));
    return *slot;
  };
  for (const Block& b : read_blocks(path)) {
    if (!b.directive.empty()) {
      if (b.directive.rfind("@use ", 0) == 0) {
        current = b.directive.substr(5);
      } else if (b.directive == "@reopen") {
        conns.clear();
      } else {
        ADD_FAILURE() << path << ":" << b.line << ": unknown directive " << b.directive;
      }
      continue;
    }
    const std::string got = run_sql(conn(), b.sql);
    EXPECT_EQ(got, b.expect) << path << ":" << b.line << ":\n" << b.sql;
  }
}

}  // namespace bkf::testing
