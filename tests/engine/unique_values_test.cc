// UNIQUE decided by value, where index keys cannot tell values apart: index
// keys hold every number as its nearest double, so integers beyond 2^53
// that round to one double share a key, while only equal values (SQL `=`:
// two integers exactly, an integer and a real as doubles) may conflict.
//
// Random statements of every write form run against a table with a UNIQUE
// column and UNIQUE indexes created and dropped along the way, and against a
// model: a map of rows in which a conflict is decided by value equality,
// NULL meeting NULL as the UNIQUE rule has it. The model decides whether
// each statement succeeds (and what it reports) or fails with which error;
// after every statement the table must equal the model and the integrity
// check must pass. Values come from clusters of integers that share a
// double (2^60 + 0..5, -2^60 - 0..2, 2^53 + 0..1, 1.5 * 2^60 + 1..2, the
// three largest integers) and reals equal to some of them, so most
// conflicts the keys suggest are not conflicts of the values, and a real
// may equal several stored integers that do not equal each other. Statements run in both
// journal modes, inside and outside BEGIN; a statement that fails inside
// BEGIN keeps the rows it finished, one outside is undone.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/engine_testing.h"

namespace bkf::testing {
namespace {

constexpr std::int64_t kBig = std::int64_t{1} << 60;
constexpr std::int64_t kExact = std::int64_t{1} << 53;
constexpr std::int64_t kMax = INT64_MAX;

struct Literal {
  std::string sql;
  Value value;
};

// The values the columns take, NULL last. Integers of one cluster round to
// one double; the reals equal every integer of their cluster.
std::vector<Literal> literals() {
  auto i = [](std::int64_t n) { return Literal{std::to_string(n), Value::integer(n)}; };
  auto r = [](const char* sql, double d) { return Literal{sql, Value::real(d)}; };
  std::vector<Literal> out;
  for (std::int64_t d = 0; d < 6; ++d) out.push_back(i(kBig + d));
  for (std::int64_t d = 0; d < 3; ++d) out.push_back(i(-kBig - d));
  for (std::int64_t n : {kExact - 1, kExact, kExact + 1, kBig + kBig / 2 + 1, kBig + kBig / 2 + 2, kMax, kMax - 1,
                         kMax - 2, std::int64_t{7}}) {
    out.push_back(i(n));
  }
  out.push_back(r("1152921504606846976.0", 0x1p60));
  out.push_back(r("-1152921504606846976.0", -0x1p60));
  out.push_back(r("1729382256910270464.0", 0x1.8p60));
  out.push_back(r("9007199254740992.0", 0x1p53));
  out.push_back({"'x'", Value::text("x")});
  out.push_back({"NULL", Value::null()});
  return out;
}

double as_double(const Value& v) { return v.is_int() ? static_cast<double>(v.int_value()) : v.real_value(); }

// SQL `=` on the values the test uses: two integers exactly, an integer
// and a real (or two reals) as doubles, texts by their bytes.
bool sql_equal(const Value& x, const Value& y) {
  if (x.is_int() && y.is_int()) return x.int_value() == y.int_value();
  if (x.is_number() && y.is_number()) return as_double(x) == as_double(y);
  if (x.is_text() && y.is_text()) return x.bytes() == y.bytes();
  return false;
}

// The UNIQUE rule: NULL meets NULL, anything else meets what it equals.
bool unique_equal(const Value& x, const Value& y) {
  if (x.is_null() || y.is_null()) return x.is_null() && y.is_null();
  return sql_equal(x, y);
}

// Columns a, b, c (0, 1, 2) and v.
struct Row {
  Value col[3];
  Value v;
};

struct Key {
  std::string name;
  std::vector<int> cols;
};

struct State {
  std::map<std::int64_t, Row> rows;
  std::vector<Key> keys;  // creation order: the order the checks run in
};

const Key kKeyA{"t__a__unique", {0}};
const Key kKeyBC{"t_bc", {1, 2}};
const Key kKeyC{"t_c", {2}};

std::vector<std::int64_t> conflicts(const State& s, const Key& k, const Row& r, std::optional<std::int64_t> except) {
  std::vector<std::int64_t> out;
  for (const auto& [id, row] : s.rows) {
    if (except && id == *except) continue;
    bool same = true;
    for (int c : k.cols) same = same && unique_equal(row.col[c], r.col[c]);
    if (same) out.push_back(id);
  }
  return out;
}

const std::string kFailed = "!constraint violation: UNIQUE constraint failed: ";

// A new row: its values and which columns the statement lists.
struct NewRow {
  std::optional<std::int64_t> id;
  Row row;
};

// The error of inserting r into s, or empty after inserting it.
std::string insert_into(State& s, const NewRow& r) {
  if (r.id && s.rows.contains(*r.id)) return kFailed + "t.id";
  for (const Key& k : s.keys) {
    if (!conflicts(s, k, r.row, std::nullopt).empty()) return kFailed + k.name;
  }
  const std::int64_t id = r.id ? *r.id : s.rows.empty() ? 1 : s.rows.rbegin()->first + 1;
  s.rows[id] = r.row;
  return "";
}

// The error of rewriting row id with r, checking the keys over `assigned`
// columns, or empty after rewriting it.
std::string update_row(State& s, std::int64_t id, const Row& r, const std::vector<bool>& assigned) {
  for (const Key& k : s.keys) {
    bool touched = false;
    for (int c : k.cols) touched = touched || assigned[c];
    if (touched && !conflicts(s, k, r, id).empty()) return kFailed + k.name;
  }
  s.rows[id] = r;
  return "";
}

std::string rows_text(const State& s) {
  std::string out = "[id, a, b, c, v]";
  for (const auto& [id, r] : s.rows) {
    out += " (" + std::to_string(id);
    for (const Value& c : r.col) out += ", " + value_text(c);
    out += ", " + value_text(r.v) + ")";
  }
  return out;
}

// The column lists of inserts, repeated as often as they are to be drawn:
// which of id, a, b, c they name (v always). The ones leaving a column NULL
// come seldom, as NULL meets NULL.
struct Form {
  bool id, a, bc;
  const char* columns;
};
constexpr Form kForms[] = {{true, true, true, "id, a, b, c, v"}, {false, true, true, "a, b, c, v"},
                           {true, true, true, "id, a, b, c, v"}, {false, true, true, "a, b, c, v"},
                           {true, true, true, "id, a, b, c, v"}, {false, true, true, "a, b, c, v"},
                           {false, true, false, "a, v"},         {true, false, true, "id, b, c, v"}};

bool covers(const Form& f, const Key& k) {
  for (int c : k.cols) {
    if (c == 0 ? !f.a : !f.bc) return false;
  }
  return true;
}

class UniqueValues {
 public:
  UniqueValues(Database& db, std::uint64_t seed) : db_(db), rng_(seed), pool_(literals()) {}

  void run(int steps) {
    ASSERT_EQ(run_sql(db_, "PRAGMA synchronous = 0"), "[synchronous] (0)");
    ASSERT_EQ(run_sql(db_, "CREATE TABLE t (id INTEGER PRIMARY KEY, a INT UNIQUE, b INT, c INT, v TEXT)"), "ok");
    ASSERT_EQ(run_sql(db_, "CREATE TABLE src (id INTEGER PRIMARY KEY, a INT, b INT, c INT, v TEXT)"), "ok");
    for (std::int64_t id = 1; id <= kSourceRows; ++id) {
      Row r;
      std::string sql = "INSERT INTO src VALUES (" + std::to_string(id);
      for (Value& c : r.col) {
        const Literal& l = pick();
        c = l.value;
        sql += ", " + l.sql;
      }
      r.v = Value::integer(1000 + id);
      sql += ", " + sql_of(r.v) + ")";
      ASSERT_EQ(run_sql(db_, sql), "affected 1");
      source_[id] = r;
    }
    model_.keys = {kKeyA};
    for (int step = 0; step < steps; ++step) {
      std::string sql, want;
      next_statement(sql, want);
      ASSERT_EQ(run_sql(db_, sql), want) << "step " << step << ": " << sql;
      ASSERT_EQ(run_sql(db_, "PRAGMA integrity_check"), "[integrity_check] ('ok')") << "after " << sql;
      ASSERT_EQ(run_sql(db_, "SELECT id, a, b, c, v FROM t ORDER BY id"), rows_text(model_)) << "after " << sql;
    }
    if (in_tx_) {
      ASSERT_EQ(run_sql(db_, "COMMIT"), "ok");
    }
  }

 private:
  static constexpr std::int64_t kSourceRows = 16;

  int below(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }
  // A value of the pool: mostly an integer; a real, which blocks every
  // integer of its cluster, less often; 'x' and NULL seldom.
  const Literal& pick() {
    const int n = static_cast<int>(pool_.size());
    switch (below(32)) {
      case 0:
      case 1: return pool_[n - 1];  // NULL
      case 2: return pool_[n - 2];  // 'x'
      case 3:
      case 4:
      case 5:
      case 6: return pool_[n - 6 + below(4)];  // a real
      default: return pool_[below(n - 6)];
    }
  }
  // A literal that is a number: lookups by value compare numbers.
  const Literal& pick_number() {
    for (;;) {
      const Literal& l = pick();
      if (l.value.is_number()) return l;
    }
  }
  std::int64_t pick_id() { return 1 + below(12); }
  // A row id, mostly one of a row there is.
  std::int64_t pick_row_id() {
    if (model_.rows.empty() || below(4) == 0) return pick_id();
    auto at = model_.rows.begin();
    std::advance(at, below(static_cast<int>(model_.rows.size())));
    return at->first;
  }

  // The SQL of a value of v: an integer or a text.
  static std::string sql_of(const Value& v) {
    return v.is_text() ? "'" + v.bytes_string() + "'" : std::to_string(v.int_value());
  }

  // v: a fresh integer, or now and then a long text that no longer fits
  // where the row was, so that an UPDATE moves the row's record.
  Value fresh_v() {
    ++counter_;
    if (below(3) == 0) return Value::text("v" + std::to_string(counter_) + std::string(30 + below(400), 'p'));
    return Value::integer(counter_);
  }

  // One statement and the result the model expects; the model moves on.
  void next_statement(std::string& sql, std::string& want) {
    const State before = model_;
    std::string error;
    // Mostly inside BEGIN: a statement outside is a commit, which syncs
    // the file in rollback-journal mode.
    if (!in_tx_ && below(5) == 0) {
      in_tx_ = true;
      snapshot_ = model_;
      sql = "BEGIN";
      want = "ok";
      return;
    }
    if (in_tx_ && below(20) == 0) {
      in_tx_ = false;
      if (below(3) == 0) {
        model_ = snapshot_;
        sql = "ROLLBACK";
      } else {
        sql = "COMMIT";
      }
      want = "ok";
      return;
    }
    switch (below(19)) {
      case 0:
      case 1:
      case 2: error = insert(sql, want, Policy::Plain); break;
      case 3:
      case 4: error = insert(sql, want, Policy::Ignore); break;
      case 5:
      case 6: error = insert(sql, want, Policy::Replace); break;
      case 7:
      case 8: error = insert(sql, want, Policy::Update); break;
      case 9:
      case 10:
      case 11: error = update(sql, want); break;
      case 12:
      case 13:
      case 14:
      case 15: remove(sql, want); break;
      case 16: error = index_change(sql, want); break;
      case 17:
        sql = below(2) ? "PRAGMA reindex" : "PRAGMA reindex = t";
        want = "[reindex] ('rebuilt " + std::to_string(model_.keys.size()) + " index(es)')";
        break;
      default:
        if (in_tx_) {
          remove(sql, want);
        } else {
          const bool wal = below(2) == 0;
          sql = wal ? "PRAGMA journal_mode = wal" : "PRAGMA journal_mode = delete";
          want = wal ? "[journal_mode] ('wal')" : "[journal_mode] ('delete')";
        }
        break;
    }
    if (!error.empty()) {
      want = error;
      // Outside BEGIN a failed statement is undone; inside, the rows it
      // finished stay.
      if (!in_tx_) model_ = before;
    }
  }

  enum class Policy { Plain, Ignore, Replace, Update };

  // INSERT, INSERT IGNORE, REPLACE or INSERT ... ON DUPLICATE KEY UPDATE of
  // one to three rows, from VALUES or from a SELECT of the source table.
  std::string insert(std::string& sql, std::string& want, Policy policy) {
    const Form& form = kForms[below(static_cast<int>(std::size(kForms)))];
    const int count = 1 + below(policy == Policy::Plain ? 2 : 3);
    std::vector<NewRow> rows;
    std::string source;
    if (below(3) == 0) {
      // Distinct source rows in id order.
      std::vector<std::int64_t> ids;
      while (static_cast<int>(ids.size()) < count) {
        const std::int64_t id = 1 + below(kSourceRows);
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
      }
      std::sort(ids.begin(), ids.end());
      source = std::string(" SELECT ") + form.columns + " FROM src WHERE id IN (";
      for (std::size_t i = 0; i < ids.size(); ++i) {
        source += (i ? ", " : "") + std::to_string(ids[i]);
        NewRow r;
        if (form.id) r.id = ids[i];
        const Row& s = source_.at(ids[i]);
        r.row.col[0] = form.a ? s.col[0] : Value::null();
        r.row.col[1] = form.bc ? s.col[1] : Value::null();
        r.row.col[2] = form.bc ? s.col[2] : Value::null();
        r.row.v = s.v;
        rows.push_back(r);
      }
      source += ") ORDER BY id";
    } else {
      source = " VALUES ";
      for (int i = 0; i < count; ++i) {
        NewRow r;
        std::string values;
        if (form.id) {
          r.id = pick_id();
          values += std::to_string(*r.id) + ", ";
        }
        if (form.a) {
          const Literal& l = pick();
          r.row.col[0] = l.value;
          values += l.sql + ", ";
        }
        if (form.bc) {
          for (int c : {1, 2}) {
            const Literal& l = pick();
            r.row.col[c] = l.value;
            values += l.sql + ", ";
          }
        }
        r.row.v = fresh_v();
        values += sql_of(r.row.v);
        source += (i ? ", (" : "(") + values + ")";
        rows.push_back(r);
      }
    }
    const char* verb = policy == Policy::Ignore ? "INSERT IGNORE INTO t (" : policy == Policy::Replace ? "REPLACE INTO t ("
                                                                                                      : "INSERT INTO t (";
    sql = verb + std::string(form.columns) + ")" + source;
    std::optional<Literal> set_a;
    std::int64_t set_v = 0;
    if (policy == Policy::Update) {
      set_v = ++counter_;
      sql += " ON DUPLICATE KEY UPDATE v = " + std::to_string(set_v);
      if (below(3) == 0) {
        set_a = pick();
        sql += ", a = " + set_a->sql;
      }
    }

    std::uint64_t affected = 0;
    for (const NewRow& r : rows) {
      switch (policy) {
        case Policy::Plain: {
          std::string e = insert_into(model_, r);
          if (!e.empty()) return e;
          break;
        }
        case Policy::Ignore: {
          bool clash = r.id && model_.rows.contains(*r.id);
          for (const Key& k : model_.keys) clash = clash || !conflicts(model_, k, r.row, std::nullopt).empty();
          if (clash) continue;
          insert_into(model_, r);
          break;
        }
        case Policy::Replace: {
          // The rows the new row meets by its id and by every key it lists
          // without a NULL go, every one of them; then it is inserted, or,
          // when the insert would fail anyway, nothing changes.
          State after = model_;
          if (r.id) after.rows.erase(*r.id);
          for (const Key& k : model_.keys) {
            if (!listed_without_null(form, k, r.row)) continue;
            for (std::int64_t id : conflicts(model_, k, r.row, std::nullopt)) after.rows.erase(id);
          }
          std::string e = insert_into(after, r);
          if (!e.empty()) return e;
          model_ = std::move(after);
          break;
        }
        case Policy::Update: {
          // The row found first: by id, else by the first key (creation
          // order) that finds one, the lowest row id of its equal values.
          std::optional<std::int64_t> dup;
          if (r.id && model_.rows.contains(*r.id)) dup = r.id;
          for (const Key& k : model_.keys) {
            if (dup || !listed_without_null(form, k, r.row)) continue;
            const std::vector<std::int64_t> found = conflicts(model_, k, r.row, std::nullopt);
            if (!found.empty()) dup = found.front();
          }
          if (!dup) {
            std::string e = insert_into(model_, r);
            if (!e.empty()) return e;
            break;
          }
          Row changed = model_.rows.at(*dup);
          changed.v = Value::integer(set_v);
          if (set_a) changed.col[0] = set_a->value;
          std::string e = update_row(model_, *dup, changed, {set_a.has_value(), false, false});
          if (!e.empty()) return e;
          break;
        }
      }
      ++affected;
    }
    want = "affected " + std::to_string(affected);
    return "";
  }

  static bool listed_without_null(const Form& form, const Key& k, const Row& r) {
    if (!covers(form, k)) return false;
    for (int c : k.cols) {
      if (r.col[c].is_null()) return false;
    }
    return true;
  }

  // UPDATE by row ids or by a value of a, rows rewritten in row-id order.
  std::string update(std::string& sql, std::string& want) {
    std::vector<std::int64_t> ids;
    const int count = 1 + below(4);
    while (static_cast<int>(ids.size()) < count) {
      const std::int64_t id = pick_row_id();
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    std::string in_list;
    for (std::size_t i = 0; i < ids.size(); ++i) in_list += (i ? ", " : "") + std::to_string(ids[i]);
    std::map<std::int64_t, Row> next;  // the rows matched, with their new values
    std::vector<bool> assigned(3, false);
    switch (below(4)) {
      case 0: {
        const Literal& l = pick();
        sql = "UPDATE t SET a = " + l.sql + " WHERE id = " + std::to_string(ids[0]);
        assigned[0] = true;
        if (model_.rows.contains(ids[0])) (next[ids[0]] = model_.rows.at(ids[0])).col[0] = l.value;
        break;
      }
      case 1: {
        const Literal& b = pick();
        const Literal& c = pick();
        sql = "UPDATE t SET b = " + b.sql + ", c = " + c.sql + " WHERE id IN (" + in_list + ")";
        assigned[1] = assigned[2] = true;
        for (std::int64_t id : ids) {
          if (!model_.rows.contains(id)) continue;
          Row& r = next[id] = model_.rows.at(id);
          r.col[1] = b.value;
          r.col[2] = c.value;
        }
        break;
      }
      case 2: {
        // Each row its own value of a, and maybe a record that moves.
        const Value v = fresh_v();
        sql = "UPDATE t SET a = CASE id";
        for (std::int64_t id : ids) {
          const Literal& l = pick();
          sql += " WHEN " + std::to_string(id) + " THEN " + l.sql;
          if (!model_.rows.contains(id)) continue;
          Row& r = next[id] = model_.rows.at(id);
          r.col[0] = l.value;
          r.v = v;
        }
        sql += " ELSE a END, v = " + sql_of(v) + " WHERE id IN (" + in_list + ")";
        assigned[0] = true;
        break;
      }
      default: {
        // Found through the index on a, by value.
        const Literal& key = pick_number();
        const Literal& c = pick();
        const Value v = fresh_v();
        sql = "UPDATE t SET c = " + c.sql + ", v = " + sql_of(v) + " WHERE a = " + key.sql;
        assigned[2] = true;
        for (const auto& [id, row] : model_.rows) {
          if (!sql_equal(row.col[0], key.value)) continue;
          Row& r = next[id] = row;
          r.col[2] = c.value;
          r.v = v;
        }
        break;
      }
    }
    for (const auto& [id, r] : next) {
      std::string e = update_row(model_, id, r, assigned);
      if (!e.empty()) return e;
    }
    want = "affected " + std::to_string(next.size());
    return "";
  }

  void remove(std::string& sql, std::string& want) {
    std::vector<std::int64_t> gone;
    if (below(2) == 0) {
      const std::int64_t id = pick_row_id();
      sql = "DELETE FROM t WHERE id = " + std::to_string(id);
      if (model_.rows.contains(id)) gone.push_back(id);
    } else {
      const int col = below(2) == 0 ? 0 : 2;
      const Literal& key = pick_number();
      sql = std::string("DELETE FROM t WHERE ") + (col == 0 ? "a" : "c") + " = " + key.sql;
      for (const auto& [id, row] : model_.rows) {
        if (sql_equal(row.col[col], key.value)) gone.push_back(id);
      }
    }
    for (std::int64_t id : gone) model_.rows.erase(id);
    want = "affected " + std::to_string(gone.size());
  }

  // CREATE UNIQUE INDEX over the rows there are, or DROP INDEX.
  std::string index_change(std::string& sql, std::string& want) {
    const Key& k = below(3) == 0 ? kKeyC : kKeyBC;
    auto at = std::find_if(model_.keys.begin(), model_.keys.end(), [&](const Key& x) { return x.name == k.name; });
    want = "ok";
    if (at != model_.keys.end()) {
      sql = "DROP INDEX " + k.name;
      model_.keys.erase(at);
      return "";
    }
    sql = "CREATE UNIQUE INDEX " + k.name + " ON t (" + (k.cols.size() == 2 ? "b, c" : "c") + ")";
    for (const auto& [id, row] : model_.rows) {
      if (conflicts(model_, k, row, id).size() > 0) return kFailed + "duplicate value in " + k.name;
    }
    model_.keys.push_back(k);
    return "";
  }

  Database& db_;
  std::mt19937_64 rng_;
  std::vector<Literal> pool_;
  std::map<std::int64_t, Row> source_;
  State model_;
  State snapshot_;  // the model at BEGIN
  bool in_tx_ = false;
  std::int64_t counter_ = 0;
};

TEST(UniqueValues, RandomStatementsMatchTheModel) {
  for (std::uint64_t seed : {1, 2, 3}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TempDir dir;
    Database db = open_db(dir.file("u.db"));
    UniqueValues(db, seed).run(600);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace bkf::testing
