#include "reliability/workload.h"

#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <charconv>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "engine/engine_testing.h"

namespace bkf::reliability {

using bkf::testing::results_text;
using bkf::testing::run_sql;

namespace {

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

bool parse_int(const std::string& s, std::int64_t& out) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

Cell text_cell(char letter, int len) { return std::string(1, letter) + "*" + std::to_string(len); }

Cell cell_of(const Value& v) {
  switch (v.kind()) {
    case ValueKind::Null: return "NULL";
    case ValueKind::Int: return std::to_string(v.int_value());
    case ValueKind::Text: {
      std::string_view t = v.bytes();
      if (!t.empty() && t.find_first_not_of(t[0]) == std::string_view::npos && t[0] >= 'a' && t[0] <= 'z') {
        return text_cell(t[0], static_cast<int>(t.size()));
      }
      return "?" + std::string(t.substr(0, 40));
    }
    default: return "?" + value_debug(v);
  }
}

}  // namespace

std::string cell_sql(const Cell& c) {
  std::size_t star = c.find('*');
  if (star == std::string::npos) return c;
  return "'" + std::string(std::stoul(c.substr(star + 1)), c[0]) + "'";
}

const std::vector<std::pair<std::string, std::string>>& optional_indexes() {
  static const std::vector<std::pair<std::string, std::string>> kIndexes{
      {"kv_v", "CREATE INDEX kv_v ON kv (v)"},
      {"kv_tag", "CREATE INDEX kv_tag ON kv (tag)"},
      {"kv_vk", "CREATE INDEX kv_vk ON kv (v, k)"},
      {"kv_kv", "CREATE UNIQUE INDEX kv_kv ON kv (k, v)"},
  };
  return kIndexes;
}

bool Model::apply(const std::string& op) {
  std::vector<std::string> w = split(op);
  if (w.empty()) return false;
  std::int64_t id = 0;
  const std::string& o = w[0];
  if (o == "I" && w.size() == 6 && parse_int(w[1], id)) {
    if (rows.count(id)) return false;
    std::vector<Cell> row{w[1], w[2], w[3], w[4], w[5]};
    row.insert(row.end(), defaults.begin(), defaults.end());
    rows[id] = std::move(row);
    return true;
  }
  if (o == "U" && w.size() == 4 && parse_int(w[1], id)) {
    auto it = rows.find(id);
    std::int64_t col = 0;
    if (it == rows.end() || !parse_int(w[2], col) || col < 1 || col >= static_cast<std::int64_t>(columns.size())) {
      return false;
    }
    it->second[col] = w[3];
    return true;
  }
  if (o == "D" && w.size() == 2 && parse_int(w[1], id)) return rows.erase(id) == 1;
  if (o == "A" && w.size() == 3) {
    columns.push_back(w[1]);
    defaults.push_back(w[2]);
    for (auto& [rid, row] : rows) row.push_back("NULL");
    return true;
  }
  if (o == "X" && w.size() == 2) return indexes.insert(w[1]).second;
  if (o == "Y" && w.size() == 2) return indexes.erase(w[1]) == 1;
  if (o == "N" && w.size() == 2) return parse_int(w[1], counter);
  if (o == "M" && w.size() == 2 && (w[1] == "wal" || w[1] == "delete")) {
    wal = w[1] == "wal";
    return true;
  }
  return false;
}

std::vector<std::string> Model::snapshot() const {
  const Model initial;
  std::vector<std::string> ops;
  if (wal) ops.push_back("M wal");
  for (std::size_t i = initial.columns.size(); i < columns.size(); ++i) {
    ops.push_back("A " + columns[i] + " " + defaults[i - initial.columns.size()]);
  }
  for (const std::string& ix : initial.indexes) {
    if (!indexes.count(ix)) ops.push_back("Y " + ix);
  }
  for (const std::string& ix : indexes) {
    if (!initial.indexes.count(ix)) ops.push_back("X " + ix);
  }
  ops.push_back("N " + std::to_string(counter));
  for (const auto& [id, row] : rows) {
    ops.push_back("I " + row[0] + " " + row[1] + " " + row[2] + " " + row[3] + " " + row[4]);
    for (std::size_t c = 5; c < row.size(); ++c) ops.push_back("U " + row[0] + " " + std::to_string(c) + " " + row[c]);
  }
  return ops;
}

std::string first_difference(const Model& want, const Model& got) {
  auto join = [](const auto& xs) {
    std::string s;
    for (const auto& x : xs) s += (s.empty() ? "" : ",") + x;
    return s;
  };
  if (want.columns != got.columns) return "columns " + join(want.columns) + " vs " + join(got.columns);
  if (want.indexes != got.indexes) return "indexes " + join(want.indexes) + " vs " + join(got.indexes);
  if (want.counter != got.counter) {
    return "counter " + std::to_string(want.counter) + " vs " + std::to_string(got.counter);
  }
  if (want.wal != got.wal) return std::string("journal mode ") + (want.wal ? "wal" : "delete") + " vs the other";
  auto a = want.rows.begin(), b = got.rows.begin();
  for (; a != want.rows.end() && b != got.rows.end(); ++a, ++b) {
    if (a->second != b->second) return "row " + join(a->second) + " vs " + join(b->second);
  }
  if (a != want.rows.end()) return "missing row " + join(a->second);
  if (b != got.rows.end()) return "extra row " + join(b->second);
  return "";
}

Status create_schema(Database& db) {
  const std::string got = run_sql(db,
                                  "CREATE TABLE kv (id INTEGER PRIMARY KEY, k INT UNIQUE, v INT, tag TEXT, body TEXT);"
                                  "CREATE INDEX kv_v ON kv (v);"
                                  "CREATE TABLE c (id INTEGER PRIMARY KEY, n INT);"
                                  "INSERT INTO c VALUES (1, 0)");
  if (got != "ok / ok / ok / affected 1") return Error::exec("schema: " + got);
  return {};
}

std::optional<Model> read_model(Database& db, std::int64_t lo, std::int64_t hi, bool indexes, std::string& err) {
  Model m;
  auto r = db.execute("SELECT * FROM kv WHERE id >= " + std::to_string(lo) + " AND id <= " + std::to_string(hi) +
                      " ORDER BY id; SELECT n FROM c; PRAGMA journal_mode");
  if (!r || r->size() != 3 || (*r)[1].rows.size() != 1) {
    err = "reading the database: " + results_text(r);
    return std::nullopt;
  }
  m.columns = (*r)[0].columns;
  for (const auto& row : (*r)[0].rows) {
    std::vector<Cell> cells;
    for (const Value& v : row) cells.push_back(cell_of(v));
    m.rows[row[0].kind() == ValueKind::Int ? row[0].int_value() : 0] = std::move(cells);
  }
  m.counter = (*r)[1].rows[0][0].kind() == ValueKind::Int ? (*r)[1].rows[0][0].int_value() : -1;
  m.wal = (*r)[2].rows[0][0].bytes() == "wal";
  m.indexes.clear();
  if (indexes) {
    // An index exists exactly when dropping it inside a transaction works.
    for (const auto& [name, sql] : optional_indexes()) {
      std::string got = run_sql(db, "BEGIN");
      if (got != "ok") {
        err = "BEGIN: " + got;
        return std::nullopt;
      }
      got = run_sql(db, "DROP INDEX " + name);
      const std::string undo = run_sql(db, "ROLLBACK");
      if (undo != "ok") {
        err = "ROLLBACK: " + undo;
        return std::nullopt;
      }
      if (got == "ok") {
        m.indexes.insert(name);
      } else if (got != "!schema error: no such index: " + name) {
        err = "DROP INDEX " + name + ": " + got;
        return std::nullopt;
      }
    }
  }
  return m;
}

// ---- the ledger ---------------------------------------------------------------

Ledger::Replay Ledger::replay(const std::string& path) {
  Replay out;
  std::ifstream in(path);
  std::string line;
  std::optional<std::uint64_t> open_seq;  // a T block being read
  bool has_pending = false;
  std::uint64_t pending_seq = 0;
  std::vector<std::string> block, pending;
  auto fail = [&](const std::string& why) {
    out.error = "ledger: " + why + " at: " + line;
    return out;
  };
  while (std::getline(in, line)) {
    std::vector<std::string> w = split(line);
    std::int64_t seq = 0;
    if (open_seq) {
      if (line == "E") {
        has_pending = true;
        pending_seq = *open_seq;
        pending = std::move(block);
        block.clear();
        open_seq.reset();
      } else {
        block.push_back(line);
      }
    } else if (w.size() == 2 && w[0] == "T" && parse_int(w[1], seq)) {
      open_seq = static_cast<std::uint64_t>(seq);
      out.last_seq = static_cast<std::uint64_t>(seq);
    } else if (w.size() == 2 && w[0] == "K" && parse_int(w[1], seq)) {
      if (!has_pending || pending_seq != static_cast<std::uint64_t>(seq)) return fail("acknowledgement without intent");
      for (const std::string& op : pending) {
        if (!out.acked.apply(op)) return fail("op does not apply: " + op);
      }
      has_pending = false;
      pending.clear();
    } else {
      return fail("unreadable line");
    }
  }
  // A block cut short (no "E") was never complete, so its commit never began.
  if (has_pending) {
    Model m = out.acked;
    for (const std::string& op : pending) {
      if (!m.apply(op)) return fail("op does not apply: " + op);
    }
    out.in_flight = std::move(m);
  }
  return out;
}

bool Ledger::rewrite(const std::string& path, const Model& m, std::uint64_t seq) {
  const std::string tmp = path + ".new";
  ::unlink(tmp.c_str());
  {
    Ledger l(tmp);
    if (!l.intend(seq, m.snapshot()) || !l.acknowledge(seq)) return false;
  }
  return ::rename(tmp.c_str(), path.c_str()) == 0;
}

Ledger::Ledger(const std::string& path) {
  if (!path.empty()) fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

Ledger::~Ledger() {
  if (fd_ >= 0) ::close(fd_);
}

bool Ledger::append(const std::string& text) {
  if (fd_ < 0) return true;
  // One write per record: a kill cannot leave half of it behind.
  return ::write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fdatasync(fd_) == 0;
}

bool Ledger::intend(std::uint64_t seq, const std::vector<std::string>& ops) {
  std::string text = "T " + std::to_string(seq) + "\n";
  for (const std::string& op : ops) text += op + "\n";
  return append(text + "E\n");
}

bool Ledger::acknowledge(std::uint64_t seq) { return append("K " + std::to_string(seq) + "\n"); }

// ---- the driver -------------------------------------------------------------------

std::int64_t range_lo(int worker) { return std::int64_t{worker} * 1'000'000 + 1; }
std::int64_t range_hi(int worker) { return std::int64_t{worker + 1} * 1'000'000; }

namespace {

class Driver {
 public:
  Driver(Database& db, const WorkloadOptions& o, Model m, std::uint64_t seq, WorkloadStats& st)
      : db_(db),
        o_(o),
        model_(std::move(m)),
        seq_(seq),
        st_(st),
        rng_(o.seed),
        ledger_(o.ledger),
        lo_(range_lo(o.worker)),
        hi_(range_hi(o.worker)) {}

  std::string run() {
    auto ins = db_.prepare("INSERT INTO kv (id, k, v, tag, body) VALUES (?, ?, ?, ?, ?)");
    if (!ins) return "prepare: " + ins.error().to_string();
    insert_stmt_.emplace(std::move(*ins));
    for (std::uint64_t i = 0; o_.iterations == 0 || i < o_.iterations; ++i) {
      std::string err = iteration();
      if (!err.empty()) return err;
    }
    std::string err = check_reads();
    st_.rows = model_.rows.size();
    return err;
  }

 private:
  // One statement: what to run, what it must return and its ops, which are
  // already applied to the working model it was made from.
  struct Stmt {
    std::string sql;  // empty: the prepared INSERT with params
    std::vector<Value> params;
    std::string expect;
    std::vector<std::string> ops;
  };

  int below(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }
  bool chance(int pct) { return below(100) < pct; }

  static void apply(Model& w, Stmt& s, std::string op) {
    [[maybe_unused]] const bool fits = w.apply(op);
    assert(fits && "the driver made an op its own model refuses");
    s.ops.push_back(std::move(op));
  }

  // A random row of this worker, or none.
  const std::vector<Cell>* some_row(const Model& w) {
    auto first = w.rows.lower_bound(lo_), last = w.rows.upper_bound(hi_);
    if (first == last) return nullptr;
    auto it = w.rows.lower_bound(lo_ + below(static_cast<int>(std::prev(last)->first - lo_ + 1)));
    return it == last ? &std::prev(last)->second : &it->second;
  }
  std::int64_t next_id(const Model& w) {
    auto last = w.rows.upper_bound(hi_);
    std::int64_t top = (last == w.rows.begin() || std::prev(last)->first < lo_) ? lo_ - 1 : std::prev(last)->first;
    return top + 1 + below(3);
  }
  Cell tag() { return text_cell(static_cast<char>('a' + below(26)), 1 + below(40)); }
  // Now and then a body long enough to spill onto overflow pages.
  Cell body() {
    if (chance(30)) return "NULL";
    return text_cell(static_cast<char>('a' + below(26)), chance(20) ? 1000 + below(9000) : 1 + below(200));
  }
  static Value param(const Cell& c) {
    if (c == "NULL") return Value::null();
    const std::string text = cell_sql(c);
    return Value::text(std::string_view(text).substr(1, text.size() - 2));
  }
  std::string range_sql(std::int64_t a, std::int64_t b) {
    return "id >= " + std::to_string(a) + " AND id <= " + std::to_string(b);
  }
  std::vector<std::int64_t> ids_in(const Model& w, std::int64_t a, std::int64_t b) {
    std::vector<std::int64_t> ids;
    for (auto it = w.rows.lower_bound(a); it != w.rows.end() && it->first <= b; ++it) ids.push_back(it->first);
    return ids;
  }

  Stmt insert_rows(Model& w) {
    Stmt s;
    const int n = chance(30) ? 1 : 1 + below(5);
    std::int64_t id = next_id(w);
    std::string values;
    for (int i = 0; i < n; ++i, id += 1 + below(2)) {
      const std::int64_t k = id * 16 + below(16), v = below(100);
      const Cell t = tag(), b = body();
      apply(w, s, "I " + std::to_string(id) + " " + std::to_string(k) + " " + std::to_string(v) + " " + t + " " + b);
      values += (i ? ", (" : "(") + std::to_string(id) + ", " + std::to_string(k) + ", " + std::to_string(v) + ", " +
                cell_sql(t) + ", " + cell_sql(b) + ")";
      if (n == 1 && chance(50))
        s.params = {Value::integer(id), Value::integer(k), Value::integer(v), param(t), param(b)};
    }
    if (s.params.empty()) s.sql = "INSERT INTO kv (id, k, v, tag, body) VALUES " + values;
    s.expect = "affected " + std::to_string(n);
    return s;
  }

  Stmt update_rows(Model& w) {
    Stmt s;
    const std::vector<Cell>* row = some_row(w);
    if (!row) return insert_rows(w);
    const std::int64_t a = std::stoll((*row)[0]), b = std::min(hi_, a + below(20));
    const std::vector<std::int64_t> ids = ids_in(w, a, b);
    const int kind = below(w.columns.size() > 5 ? 3 : 2);
    if (kind == 0) {
      const int d = 1 + below(9);
      const Cell t = tag(), bd = body();
      const bool set_body = chance(50);
      s.sql = "UPDATE kv SET v = v + " + std::to_string(d) + ", tag = " + cell_sql(t) +
              (set_body ? ", body = " + cell_sql(bd) : "") + " WHERE " + range_sql(a, b);
      for (std::int64_t id : ids) {
        apply(w, s, "U " + std::to_string(id) + " 2 " + std::to_string(std::stoll(w.rows[id][2]) + d));
        apply(w, s, "U " + std::to_string(id) + " 3 " + t);
        if (set_body) apply(w, s, "U " + std::to_string(id) + " 4 " + bd);
      }
      s.expect = "affected " + std::to_string(ids.size());
    } else if (kind == 1) {
      // k moves within the block of its row id, so it stays unique.
      s.sql = "UPDATE kv SET k = k + 1 WHERE " + range_sql(a, b) + " AND k % 16 < 15";
      std::size_t n = 0;
      for (std::int64_t id : ids) {
        const std::int64_t k = std::stoll(w.rows[id][1]);
        if (k % 16 == 15) continue;
        ++n;
        apply(w, s, "U " + std::to_string(id) + " 1 " + std::to_string(k + 1));
      }
      s.expect = "affected " + std::to_string(n);
    } else {
      const std::size_t col = 5 + static_cast<std::size_t>(below(static_cast<int>(w.columns.size() - 5)));
      const int x = below(1000);
      s.sql = "UPDATE kv SET " + w.columns[col] + " = " + std::to_string(x) + " WHERE " + range_sql(a, b);
      for (std::int64_t id : ids)
        apply(w, s, "U " + std::to_string(id) + " " + std::to_string(col) + " " + std::to_string(x));
      s.expect = "affected " + std::to_string(ids.size());
    }
    return s;
  }

  Stmt delete_rows(Model& w) {
    Stmt s;
    const std::vector<Cell>* row = some_row(w);
    if (!row) return insert_rows(w);
    const std::int64_t a = std::stoll((*row)[0]), b = std::min(hi_, a + below(6));
    const bool by_v = chance(40);
    const int limit = below(100);
    s.sql = "DELETE FROM kv WHERE " + range_sql(a, b) + (by_v ? " AND v < " + std::to_string(limit) : "");
    std::size_t n = 0;
    for (std::int64_t id : ids_in(w, a, b)) {
      if (by_v && !(std::stoll(w.rows[id][2]) < limit)) continue;
      ++n;
      apply(w, s, "D " + std::to_string(id));
    }
    s.expect = "affected " + std::to_string(n);
    return s;
  }

  // An INSERT that collides on the unique k: it fails and changes nothing.
  Stmt conflicting_insert(Model& w) {
    const std::vector<Cell>* row = some_row(w);
    if (!row) return insert_rows(w);
    Stmt s;
    s.sql = "INSERT INTO kv (id, k, v, tag, body) VALUES (" + std::to_string(next_id(w)) + ", " + (*row)[1] +
            ", 1, 'x', NULL)";
    s.expect = "!constraint violation: UNIQUE constraint failed: kv__k__unique";
    return s;
  }

  Stmt increment(Model& w) {
    Stmt s;
    s.sql = "UPDATE c SET n = n + 1";
    s.expect = "affected 1";
    apply(w, s, "N " + std::to_string(w.counter + 1));
    return s;
  }

  Stmt data_change(Model& w) {
    const int r = below(100);
    // Keep the table from growing without bound.
    const bool big = w.rows.size() > 300;
    if (r < (big ? 15 : 35)) return insert_rows(w);
    if (r < 60) return update_rows(w);
    if (r < 80) return delete_rows(w);
    if (r < 88) return conflicting_insert(w);
    return increment(w);
  }

  std::string run(const Stmt& s) {
    ++st_.statements;
    std::string got;
    if (s.sql.empty()) {
      auto r = db_.execute_prepared(*insert_stmt_, s.params);
      got = r ? bkf::testing::result_text(*r) : "!" + r.error().to_string();
    } else {
      got = run_sql(db_, s.sql);
    }
    if (got != s.expect)
      return (s.sql.empty() ? std::string("prepared INSERT") : s.sql.substr(0, 300)) + ": got " + got.substr(0, 300) +
             ", want " + s.expect;
    return "";
  }

  // Runs statements whose effect is `ops` as one committed unit: the
  // intent is in the ledger before, the acknowledgement after.
  std::string committed(const std::vector<std::string>& ops, Model after, const std::function<std::string()>& commit) {
    const std::uint64_t seq = ++seq_;
    if (!ledger_.intend(seq, ops)) return "ledger write failed";
    std::string err = commit();
    if (!err.empty()) return err;
    if (!ledger_.acknowledge(seq)) return "ledger write failed";
    if (o_.ack_fd >= 0 && ::write(o_.ack_fd, "k", 1) != 1) return "ack pipe";
    model_ = std::move(after);
    ++st_.commits;
    st_.increments = model_.counter;
    return "";
  }

  std::string autocommit_statement() {
    Model w = model_;
    Stmt s = data_change(w);
    if (s.ops.empty()) return run(s);
    return committed(s.ops, std::move(w), [&] { return run(s); });
  }

  std::string explicit_transaction() {
    Model w = model_;
    if (std::string got = run_sql(db_, "BEGIN"); got != "ok") return "BEGIN: " + got;
    ++st_.statements;
    std::vector<std::string> ops;
    for (int n = 1 + below(4); n > 0; --n) {
      Stmt s = data_change(w);
      if (std::string err = run(s); !err.empty()) return err;
      ops.insert(ops.end(), s.ops.begin(), s.ops.end());
    }
    if (chance(10)) {
      ++st_.rollbacks;
      ++st_.statements;
      const std::string got = run_sql(db_, "ROLLBACK");
      return got == "ok" ? "" : "ROLLBACK: " + got;
    }
    auto commit = [&]() -> std::string {
      ++st_.statements;
      const std::string got = run_sql(db_, "COMMIT");
      return got == "ok" ? "" : "COMMIT: " + got;
    };
    if (ops.empty()) return commit();
    return committed(ops, std::move(w), commit);
  }

  std::string schema_change() {
    Model w = model_;
    Stmt s;
    if (o_.sole_writer && w.columns.size() < 9 && chance(35)) {
      const std::string name = "c" + std::to_string(w.columns.size() - 4);
      const int dflt = below(100);
      s.sql = "ALTER TABLE kv ADD COLUMN " + name + " INT DEFAULT " + std::to_string(dflt);
      apply(w, s, "A " + name + " " + std::to_string(dflt));
    } else {
      const auto& [name, create] = optional_indexes()[below(static_cast<int>(optional_indexes().size()))];
      if (!o_.sole_writer) {
        // Other workers cannot know the index set: no model of it.
        s.sql = chance(50) ? "DROP INDEX IF EXISTS " + name
                           : "CREATE " + create.substr(7, create.find(name) - 7) + "IF NOT EXISTS " +
                                 create.substr(create.find(name));
      } else if (w.indexes.count(name)) {
        s.sql = "DROP INDEX " + name;
        apply(w, s, "Y " + name);
      } else {
        s.sql = create;
        apply(w, s, "X " + name);
      }
    }
    s.expect = "ok";
    if (s.ops.empty()) return run(s);
    return committed(s.ops, std::move(w), [&] { return run(s); });
  }

  std::string mode_switch() {
    Model w = model_;
    Stmt s;
    const bool to_wal = o_.sole_writer ? !w.wal : chance(50);
    s.sql = std::string("PRAGMA journal_mode = ") + (to_wal ? "wal" : "delete");
    s.expect = std::string("[journal_mode] ('") + (to_wal ? "wal" : "delete") + "')";
    if (!o_.sole_writer) return run(s);
    apply(w, s, std::string("M ") + (to_wal ? "wal" : "delete"));
    return committed(s.ops, std::move(w), [&] { return run(s); });
  }

  std::string check_reads() {
    ++st_.checks;
    std::string err;
    // A sole writer's database holds nothing the model does not know of.
    const std::int64_t lo = o_.sole_writer ? -kAnyRowId : lo_, hi = o_.sole_writer ? kAnyRowId : hi_;
    std::optional<Model> got = read_model(db_, lo, hi, o_.sole_writer, err);
    if (!got) return err;
    if (o_.sole_writer ? !model_.same_content(*got) : model_.rows != got->rows) {
      return "the database differs from the model: " + first_difference(model_, *got);
    }
    return "";
  }

  std::string iteration() {
    const int r = below(100);
    if (r < 40) return autocommit_statement();
    if (r < 72) return explicit_transaction();
    if (r < 78 && (o_.sole_writer || o_.worker == 0)) return schema_change();
    if (r < 83) return mode_switch();
    if (r < 90) {
      Stmt s;
      s.sql = "PRAGMA wal_checkpoint";
      s.expect = "ok";
      return run(s);
    }
    return check_reads();
  }

  Database& db_;
  const WorkloadOptions& o_;
  Model model_;
  std::uint64_t seq_;
  WorkloadStats& st_;
  std::mt19937_64 rng_;
  Ledger ledger_;
  std::int64_t lo_, hi_;
  std::optional<Prepared> insert_stmt_;
};

}  // namespace

std::string run_workload(const std::string& db_path, const WorkloadOptions& opts, WorkloadStats& stats) {
  Model model;
  std::uint64_t seq = 0;
  if (opts.sole_writer) {
    Ledger::Replay r = Ledger::replay(opts.ledger);
    if (!r.error.empty()) return r.error;
    if (r.in_flight) return "the ledger holds an unchecked transaction";
    model = std::move(r.acked);
    seq = r.last_seq;
  }
  auto db = opts.vfs ? Database::open(*opts.vfs, db_path) : Database::open(db_path);
  if (!db) return "open: " + db.error().to_string();
  if (std::string got = run_sql(*db, "PRAGMA synchronous = 2"); got != "[synchronous] (2)")
    return "synchronous: " + got;
  Driver d(*db, opts, std::move(model), seq, stats);
  return d.run();
}

}  // namespace bkf::reliability
