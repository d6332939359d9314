// Workloads of compiled statements on a 1,000,000-row table: prepared point
// lookups by row id (and, for contrast, the same lookup as a full scan) and
// by an indexed column, row-id range scans, a join probing an index per
// outer row, and GROUP BY over every row. The first argument sets the row
// count.
// Prints one line per workload: name ops seconds ops_per_sec.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "exec/vm/post_run.h"
#include "exec/vm/vm.h"
#include "sql_harness.h"

using namespace bkf;
using bkf::testing::QueryResult;
using bkf::testing::SqlHarness;

namespace {

void die(const char* what, const Error& e) {
  std::fprintf(stderr, "%s: %s\n", what, e.to_string().c_str());
  std::exit(1);
}

template <class T>
T must(Result<T> r, const char* what) {
  if (!r) die(what, r.error());
  return std::move(*r);
}

void report(const char* name, std::uint64_t ops, double secs) {
  std::printf("%s %llu %.6f %.0f\n", name, static_cast<unsigned long long>(ops), secs, ops / secs);
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Runs a compiled query with binds under a read lock; returns the number of
// rows (after post-processing) and adds the first column of each to sum.
std::uint64_t query(SqlHarness& db, const vm::Program& p, std::span<const Value> binds, std::int64_t& sum) {
  QueryResult r = must(db.run(p, false, binds), "query");
  for (const Row& row : r.rows) {
    if (!row.empty() && row[0].is_int()) sum += row[0].int_value();
  }
  return r.rows.size();
}

}  // namespace

int main(int argc, char** argv) {
  const std::int64_t n = argc > 1 ? std::atoll(argv[1]) : 1000000;
  char tmpl[] = "/tmp/bkf-compile-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  std::string dir = tmpl;
  {
    auto db = must(SqlHarness::open(dir + "/b.db"), "open");
    must(db->exec("CREATE TABLE t (id INTEGER PRIMARY KEY, k INT, a INT, b TEXT); CREATE INDEX t_k ON t (k);"
                  "CREATE TABLE u (id INTEGER PRIMARY KEY, v INT)"),
         "schema");
    std::mt19937_64 rng(42);
    {
      must(db->exec("BEGIN"), "begin");
      vm::Program ins = must(db->compile("INSERT INTO t VALUES (?, ?, ?, ?)"), "compile insert");
      auto t0 = std::chrono::steady_clock::now();
      for (std::int64_t i = 1; i <= n; ++i) {
        Value binds[4] = {Value::integer(i), Value::integer((i * 7919) % n), Value::integer(i % 1000),
                          Value::text("row" + std::to_string(i))};
        must(db->run(ins, true, binds), "insert");
      }
      vm::Program ins_u = must(db->compile("INSERT INTO u VALUES (?, ?)"), "compile insert u");
      for (std::int64_t i = 1; i <= n / 10; ++i) {
        Value binds[2] = {Value::integer(i), Value::integer(static_cast<std::int64_t>(rng() % n))};
        must(db->run(ins_u, true, binds), "insert u");
      }
      must(db->exec("COMMIT"), "commit");
      report("insert_prepared", static_cast<std::uint64_t>(n + n / 10), seconds_since(t0));
    }
    std::int64_t sum = 0;

    {
      vm::Program p = must(db->compile("SELECT a, b FROM t WHERE id = ?"), "compile");
      const int ops = 200000;
      auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < ops; ++i) {
        Value k = Value::integer(static_cast<std::int64_t>(rng() % n) + 1);
        query(*db, p, std::span<const Value>(&k, 1), sum);
      }
      report("point_lookup_rowid", ops, seconds_since(t0));
    }
    {
      // The same lookup written so that no access path applies: a full scan
      // per execution, for contrast.
      vm::Program p = must(db->compile("SELECT a, b FROM t WHERE id + 0 = ?"), "compile");
      const int ops = 20;
      auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < ops; ++i) {
        Value k = Value::integer(static_cast<std::int64_t>(rng() % n) + 1);
        query(*db, p, std::span<const Value>(&k, 1), sum);
      }
      report("point_lookup_full_scan", ops, seconds_since(t0));
    }
    {
      vm::Program p = must(db->compile("SELECT id, a FROM t WHERE k = ?"), "compile");
      const int ops = 200000;
      auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < ops; ++i) {
        Value k = Value::integer(static_cast<std::int64_t>(rng() % n));
        query(*db, p, std::span<const Value>(&k, 1), sum);
      }
      report("point_lookup_index", ops, seconds_since(t0));
    }
    {
      vm::Program p = must(db->compile("SELECT id, a FROM t WHERE id >= ? AND id < ?"), "compile");
      const int ops = 2000;
      std::uint64_t rows = 0;
      auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < ops; ++i) {
        std::int64_t lo = static_cast<std::int64_t>(rng() % n);
        Value b[2] = {Value::integer(lo), Value::integer(lo + 1000)};
        rows += query(*db, p, b, sum);
      }
      double s = seconds_since(t0);
      report("range_scan_1000", ops, s);
      report("range_scan_rows", rows, s);
    }
    {
      vm::Program p = must(db->compile("SELECT count(*), sum(t.a) FROM u JOIN t ON t.k = u.v"), "compile");
      auto t0 = std::chrono::steady_clock::now();
      query(*db, p, {}, sum);
      report("join_index_probe", static_cast<std::uint64_t>(n / 10), seconds_since(t0));
    }
    {
      vm::Program p = must(db->compile("SELECT a % 100, count(*), sum(k) FROM t GROUP BY a % 100"), "compile");
      auto t0 = std::chrono::steady_clock::now();
      query(*db, p, {}, sum);
      report("group_by_rows", static_cast<std::uint64_t>(n), seconds_since(t0));
    }
    std::fprintf(stderr, "checksum %lld\n", static_cast<long long>(sum));
  }
  std::filesystem::remove_all(dir);
  return 0;
}
