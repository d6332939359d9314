// How the cost of each statement shape grows with the size of the data.
//
// Every shape runs on tables of n rows and again on tables of 8n rows; the
// growth factor is the time of one operation at 8n over its time at n. An
// operation is one statement, or one lookup for the shapes that look up a
// few rows. Beside it stands the factor the shape's complexity class
// predicts: 1.2 for O(log n) per lookup, 8 for O(n), 10 for O(n log n), 64
// for O(n^2) (the join without an access path, quadratic by design, which
// runs on n/16 rows). A growth above 1.5 times the prediction is flagged.
// A few shapes are there for contrast only: the same work as the shape
// before them, on rows that arrive in order rather than scattered.
//
// Output: one line per shape and size, "name@rows 1 seconds ops_per_sec"
// (seconds of one operation), then the growth table as comment lines
// ("# ..."). With --fixed-in N the program also times SELECT count(*) FROM t
// WHERE a IN (SELECT b FROM u) on two tables of N rows each (0: not run).
//
// Usage: scaling_bench [--n N] [--dir DIR] [--min-time SECONDS] [--fixed-in N]
//                      [--only NAME]
// Defaults: n 20000 (0: no table), $TMPDIR or /tmp, 0.2 s, 30000; --only
// runs the shapes whose name contains NAME. synchronous is 0: the program
// measures the engine, not the disk.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "exec/engine/database.h"

using namespace bkf;

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& what, const Error& e) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), e.to_string().c_str());
  std::exit(1);
}

std::vector<ExecResult> must(Result<std::vector<ExecResult>> r, const std::string& what) {
  if (!r) die(what, r.error());
  return std::move(*r);
}

ExecResult must(Result<ExecResult> r, const std::string& what) {
  if (!r) die(what, r.error());
  return std::move(*r);
}

void remove_db(const std::string& path) {
  for (const char* suffix : {"", "-journal", "-wal"}) ::unlink((path + suffix).c_str());
}

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Where one shape's statements run.
struct Ctx {
  Database& db;
  std::int64_t rows;  // rows of t and u (tq and uq hold rows / 16)
  std::mt19937_64& rng;
};

struct Shape {
  const char* name;
  const char* cls;     // complexity class of one operation
  double expected;     // growth factor the class predicts from n to 8n
  bool small = false;  // runs on tq and uq
  // Untimed preparation before every timed round (may be empty).
  std::function<void(Ctx&)> setup;
  // One timed round; returns the operations it did.
  std::function<std::uint64_t(Ctx&)> round;
};

// A statement run once per round.
std::function<std::uint64_t(Ctx&)> once(std::string sql) {
  return [sql](Ctx& c) -> std::uint64_t {
    must(c.db.execute(sql), sql);
    return 1;
  };
}

// A prepared statement run `count` times per round with keys from key(c).
std::function<std::uint64_t(Ctx&)> lookups(std::string sql, int count,
                                            std::function<std::vector<Value>(Ctx&)> keys) {
  return [sql, count, keys](Ctx& c) -> std::uint64_t {
    auto p = c.db.prepare(sql);
    if (!p) die(sql, p.error());
    for (int i = 0; i < count; ++i) {
      std::vector<Value> k = keys(c);
      must(c.db.execute_prepared(*p, k), sql);
    }
    return static_cast<std::uint64_t>(count);
  };
}

// t2 dropped (when present) and made again, empty or holding t's rows.
void fresh_t2(Ctx& c, bool filled) {
  must(c.db.execute("DROP TABLE IF EXISTS t2"), "drop t2");
  must(c.db.execute("CREATE TABLE t2 (id INTEGER PRIMARY KEY, k INT, a INT, b TEXT); CREATE INDEX t2_k ON t2 (k)"),
       "create t2");
  if (filled) must(c.db.execute("INSERT INTO t2 SELECT id, k, a, b FROM t"), "fill t2");
}

std::int64_t pick(Ctx& c, std::int64_t below) { return static_cast<std::int64_t>(c.rng() % below); }

std::vector<Shape> shapes() {
  std::vector<Shape> s;
  auto add = [&](const char* name, const char* cls, double expected, std::function<std::uint64_t(Ctx&)> round,
                 std::function<void(Ctx&)> setup = {}, bool small = false) {
    s.push_back(Shape{name, cls, expected, small, std::move(setup), std::move(round)});
  };
  add("point_lookup_rowid", "O(log n)", 1.2,
      lookups("SELECT a, b FROM t WHERE id = ?", 2000,
              [](Ctx& c) { return std::vector<Value>{Value::integer(pick(c, c.rows) + 1)}; }));
  add("point_lookup_index", "O(log n)", 1.2,
      lookups("SELECT id, a FROM t WHERE k = ?", 2000,
              [](Ctx& c) { return std::vector<Value>{Value::integer(pick(c, c.rows))}; }));
  add("range_rowid_100", "O(log n + 100)", 1.2,
      lookups("SELECT count(*), sum(a) FROM t WHERE id >= ? AND id < ?", 200, [](Ctx& c) {
        std::int64_t lo = pick(c, c.rows);
        return std::vector<Value>{Value::integer(lo), Value::integer(lo + 100)};
      }));
  add("range_index_100", "O(log n + 100)", 1.2,
      lookups("SELECT count(*), sum(a) FROM t WHERE k >= ? AND k < ?", 200, [](Ctx& c) {
        std::int64_t lo = pick(c, c.rows);
        return std::vector<Value>{Value::integer(lo), Value::integer(lo + 100)};
      }));
  add("scan_filter", "O(n)", 8, once("SELECT count(*), sum(a) FROM t WHERE b LIKE '%7'"));
  add("group_by", "O(n log n)", 10, once("SELECT k / 4, count(*), sum(a) FROM t GROUP BY k / 4"));
  // Rows that arrive grouped, for contrast: the same work without the
  // random walk over the groups.
  add("group_by_in_order", "O(n log n)", 10, once("SELECT id / 4, count(*), sum(a) FROM t GROUP BY id / 4"));
  add("distinct", "O(n)", 8, once("SELECT DISTINCT k / 4 FROM t"));
  add("order_by", "O(n log n)", 10, once("SELECT id, b FROM t ORDER BY b"));
  // Rows that arrive in the reverse order, for contrast: every merge still
  // compares, but walks memory in order.
  add("order_by_reversed", "O(n log n)", 10, once("SELECT id, b FROM t ORDER BY id DESC"));
  add("order_by_limit", "O(n)", 8, once("SELECT id, b FROM t ORDER BY b LIMIT 10"));
  add("join_rowid", "O(n log n)", 10, once("SELECT count(*), sum(u.w) FROM t JOIN u ON u.id = t.k"));
  // The same join probing u in row-id order rather than at random, for
  // contrast.
  add("join_rowid_in_order", "O(n log n)", 10, once("SELECT count(*), sum(u.w) FROM t JOIN u ON u.id = t.id"));
  add("join_index", "O(n log n)", 10, once("SELECT count(*), sum(u.w) FROM t JOIN u ON u.v = t.k"));
  add("join_no_access_path", "O(n^2)", 64, once("SELECT count(*) FROM tq JOIN uq ON uq.v + 0 = tq.k"), {}, true);
  add("in_list_n/10", "O(n log n)", 10, [](Ctx& c) -> std::uint64_t {
    std::string sql = "SELECT count(*) FROM t WHERE k IN (";
    for (std::int64_t i = 0; i < c.rows / 10; ++i) sql += (i ? ", " : "") + std::to_string(i * 10);
    sql += ")";
    must(c.db.execute(sql), "in list");
    return 1;
  });
  add("in_subquery", "O(n log n)", 10, once("SELECT count(*) FROM t WHERE k IN (SELECT v FROM u)"));
  add("not_in_subquery", "O(n log n)", 10, once("SELECT count(*) FROM t WHERE k NOT IN (SELECT v FROM u)"));
  add("in_correlated_operand", "O(n log n)", 10,
      once("SELECT count(*) FROM t WHERE (SELECT u.w FROM u WHERE u.id = t.id) IN (SELECT a FROM t)"));
  add("correlated_scalar", "O(n log n)", 10,
      once("SELECT count(*) FROM t WHERE (SELECT u.w FROM u WHERE u.id = t.k) = 5"));
  add("union", "O(n log n)", 10, once("SELECT k FROM t UNION SELECT v FROM u"));
  add("insert_select", "O(n log n)", 10, once("INSERT INTO t2 SELECT id, k, a, b FROM t"),
      [](Ctx& c) { fresh_t2(c, false); });
  add("replace_select", "O(n log n)", 10, once("REPLACE INTO t2 SELECT id, k, a + 1, b FROM t"),
      [](Ctx& c) { fresh_t2(c, true); });
  add("on_duplicate_key_update", "O(n log n)", 10,
      once("INSERT INTO t2 SELECT id, k, a, b FROM t ON DUPLICATE KEY UPDATE a = a + 1"),
      [](Ctx& c) { fresh_t2(c, true); });
  // The range also moves the rows' keys in the index on k: n/10 index
  // deletes and inserts, each O(log n).
  add("update_range_n/10", "O(n log n)", 10, [](Ctx& c) -> std::uint64_t {
    std::int64_t lo = c.rows / 3;
    must(c.db.execute("UPDATE t2 SET a = a + 1, k = k + 1 WHERE id >= " + std::to_string(lo) +
                      " AND id < " + std::to_string(lo + c.rows / 10)),
         "update range");
    return 1;
  }, [](Ctx& c) { fresh_t2(c, true); });
  add("delete_range_n/10", "O(n log n)", 10, [](Ctx& c) -> std::uint64_t {
    std::int64_t lo = c.rows / 3;
    must(c.db.execute("DELETE FROM t2 WHERE id >= " + std::to_string(lo) + " AND id < " +
                      std::to_string(lo + c.rows / 10)),
         "delete range");
    return 1;
  }, [](Ctx& c) { fresh_t2(c, true); });
  add("create_index", "O(n log n)", 10, once("CREATE INDEX t2_b ON t2 (b)"), [](Ctx& c) { fresh_t2(c, true); });
  return s;
}

// Tables t and u of `rows` rows, tq and uq of rows / 16.
void build(Database& db, std::int64_t rows) {
  must(db.execute("PRAGMA synchronous = 0"), "synchronous");
  must(db.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, k INT, a INT, b TEXT); CREATE INDEX t_k ON t (k);"
                  "CREATE TABLE u (id INTEGER PRIMARY KEY, v INT, w INT); CREATE INDEX u_v ON u (v);"
                  "CREATE TABLE tq (id INTEGER PRIMARY KEY, k INT, a INT, b TEXT);"
                  "CREATE TABLE uq (id INTEGER PRIMARY KEY, v INT, w INT)"),
       "schema");
  auto fill = [&](const char* t, const char* u, std::int64_t n) {
    auto it = db.prepare(std::string("INSERT INTO ") + t + " VALUES (?, ?, ?, ?)");
    auto iu = db.prepare(std::string("INSERT INTO ") + u + " VALUES (?, ?, ?)");
    if (!it) die("prepare", it.error());
    if (!iu) die("prepare", iu.error());
    must(db.execute("BEGIN"), "begin");
    for (std::int64_t i = 1; i <= n; ++i) {
      // k runs over 0..n-1 in a scattered order; u.v meets about half of it.
      const std::int64_t k = (i * 7919) % n;
      Value tv[4] = {Value::integer(i), Value::integer(k), Value::integer(i % 1000),
                     Value::text("b" + std::to_string((i * 104729) % n))};
      must(db.execute_prepared(*it, tv), "insert t");
      Value uv[3] = {Value::integer(i), Value::integer((i * 31) % (2 * n)), Value::integer(i % 97)};
      must(db.execute_prepared(*iu, uv), "insert u");
    }
    must(db.execute("COMMIT"), "commit");
  };
  fill("t", "u", rows);
  fill("tq", "uq", rows / 16 > 0 ? rows / 16 : 1);
}

// Seconds of one operation of a shape on the n-row and on the 8n-row
// database: the fastest of rounds taken on the two in turn, for at least
// min_time in all (and at least two rounds each), so that other work on a
// shared machine weighs on both sizes alike and stays out of the figures.
std::pair<double, double> measure(const Shape& shape, Ctx (&c)[2], double min_time) {
  double spent = 0;
  double best[2] = {0, 0};
  for (int round = 0; round < 1000 && (round < 2 || spent < min_time); ++round) {
    for (int size = 0; size < 2; ++size) {
      if (shape.setup) shape.setup(c[size]);
      auto t0 = Clock::now();
      const std::uint64_t ops = shape.round(c[size]);
      const double s = since(t0);
      spent += s;
      const double per_op = s / static_cast<double>(ops);
      if (round == 0 || per_op < best[size]) best[size] = per_op;
    }
  }
  return {best[0], best[1]};
}

std::string per_op_text(double s) {
  char buf[32];
  if (s < 1e-3) std::snprintf(buf, sizeof buf, "%.1f us", s * 1e6);
  else if (s < 1) std::snprintf(buf, sizeof buf, "%.1f ms", s * 1e3);
  else std::snprintf(buf, sizeof buf, "%.2f s", s);
  return buf;
}

void fixed_in(const std::string& path, std::int64_t rows) {
  remove_db(path);
  auto db = Database::open(path);
  if (!db) die("open", db.error());
  must(db->execute("PRAGMA synchronous = 0"), "synchronous");
  must(db->execute("CREATE TABLE t (id INTEGER PRIMARY KEY, a INT); CREATE TABLE u (id INTEGER PRIMARY KEY, b INT)"),
       "schema");
  auto it = db->prepare("INSERT INTO t VALUES (?, ?)");
  auto iu = db->prepare("INSERT INTO u VALUES (?, ?)");
  if (!it || !iu) std::exit(1);
  must(db->execute("BEGIN"), "begin");
  for (std::int64_t i = 1; i <= rows; ++i) {
    Value tv[2] = {Value::integer(i), Value::integer((i * 7) % (2 * rows))};
    Value uv[2] = {Value::integer(i), Value::integer((i * 3) % (2 * rows))};
    must(db->execute_prepared(*it, tv), "insert t");
    must(db->execute_prepared(*iu, uv), "insert u");
  }
  must(db->execute("COMMIT"), "commit");
  auto t0 = Clock::now();
  auto r = must(db->execute("SELECT count(*) FROM t WHERE a IN (SELECT b FROM u)"), "in query");
  double s = since(t0);
  std::printf("in_subquery_fixed@%lldx%lld 1 %.6f %.1f\n", static_cast<long long>(rows),
              static_cast<long long>(rows), s, 1 / s);
  std::printf("# in_subquery_fixed count %s\n", value_debug(r.back().rows.at(0).at(0)).c_str());
  remove_db(path);
}

// The scaling table: every shape at n and 8n rows, then the growth table.
void table(const std::string& dir, std::int64_t n, double min_time, const std::string& only) {
  std::vector<Shape> all = shapes();
  std::erase_if(all, [&](const Shape& s) { return std::string(s.name).find(only) == std::string::npos; });
  std::printf("# scaling_bench: n = %lld and 8n = %lld rows (the join without an access path: n/16 and n/2)\n",
              static_cast<long long>(n), static_cast<long long>(8 * n));
  const std::string base = dir + "/bkf-scaling-bench-" + std::to_string(::getpid());
  const std::string path[2] = {base + "-n.db", base + "-8n.db"};
  std::vector<Database> dbs;
  for (int size = 0; size < 2; ++size) {
    remove_db(path[size]);
    auto db = Database::open(path[size]);
    if (!db) die("open", db.error());
    build(*db, size == 0 ? n : 8 * n);
    dbs.push_back(std::move(*db));
  }
  std::mt19937_64 rng(7);
  Ctx c[2] = {{dbs[0], n, rng}, {dbs[1], 8 * n, rng}};
  std::vector<std::pair<double, double>> per_op;
  for (const Shape& shape : all) {
    per_op.push_back(measure(shape, c, min_time));
    for (int size = 0; size < 2; ++size) {
      const double s = size == 0 ? per_op.back().first : per_op.back().second;
      const std::int64_t rows = c[size].rows;
      std::printf("%s@%lld 1 %.9f %.1f\n", shape.name, static_cast<long long>(shape.small ? rows / 16 : rows), s, 1 / s);
    }
    std::fflush(stdout);
  }
  dbs.clear();
  for (const std::string& p : path) remove_db(p);
  std::printf("# growth of the time of one operation from n to 8n rows\n");
  std::printf("# %-24s %-15s %12s %12s %8s %9s\n", "shape", "class", "at n", "at 8n", "growth", "expected");
  int over = 0;
  for (std::size_t i = 0; i < all.size(); ++i) {
    const auto [at_n, at_8n] = per_op[i];
    const double g = at_8n / at_n;
    const bool bad = g > 1.5 * all[i].expected;
    over += bad;
    std::printf("# %-24s %-15s %12s %12s %8.1f %9.1f%s\n", all[i].name, all[i].cls, per_op_text(at_n).c_str(),
                per_op_text(at_8n).c_str(), g, all[i].expected, bad ? "  (grows faster than its class)" : "");
  }
  std::printf("# shapes growing faster than their class: %d\n", over);
}

}  // namespace

int main(int argc, char** argv) {
  std::int64_t n = 20000;
  double min_time = 0.2;
  std::int64_t fixed = 30000;
  std::string only;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp && *tmp ? tmp : "/tmp";
  const char* usage = "usage: %s [--n N] [--dir DIR] [--min-time SECONDS] [--fixed-in N] [--only NAME]\n";
  for (int i = 1; i < argc; ++i) {
    const char* opt = argv[i];
    if (!std::strcmp(opt, "--help") || !std::strcmp(opt, "-h")) {
      std::printf(usage, argv[0]);
      return 0;
    }
    const bool known = !std::strcmp(opt, "--n") || !std::strcmp(opt, "--dir") || !std::strcmp(opt, "--min-time") ||
                       !std::strcmp(opt, "--fixed-in") || !std::strcmp(opt, "--only");
    if (!known || i + 1 >= argc) {
      std::fprintf(stderr, known ? "%s: %s needs a value\n" : "%s: unknown option %s\n", argv[0], opt);
      std::fprintf(stderr, usage, argv[0]);
      return 2;
    }
    const char* value = argv[++i];
    if (!std::strcmp(opt, "--n")) n = std::atoll(value);
    else if (!std::strcmp(opt, "--dir")) dir = value;
    else if (!std::strcmp(opt, "--min-time")) min_time = std::atof(value);
    else if (!std::strcmp(opt, "--fixed-in")) fixed = std::atoll(value);
    else only = value;
  }
  if (n > 0) table(dir, n < 16 ? 16 : n, min_time, only);
  if (fixed > 0) fixed_in(dir + "/bkf-scaling-bench-" + std::to_string(::getpid()) + "-in.db", fixed);
  return 0;
}
