// The engine measured through its public C interface only: this program
// includes brackenford.h and links libbrackenford.so, nothing else of the
// engine. It runs workloads W0-W9 on one database file per journal mode
// (rollback journal, then write-ahead log), both with synchronous 2, and two
// probes, printing one line per workload:
//
//   name ops seconds ops_per_sec
//
//   W0_select_1        prepared SELECT 1                        (ops: runs)
//   W1_insert          BEGIN; prepared 4-column INSERT; COMMIT  (ops: rows)
//   W2_point_lookup    prepared SELECT a, b, c FROM t WHERE id = ?, random ids
//   W3_create_index    CREATE INDEX t_a ON t (a)                (ops: 1)
//   W3_index_lookup    prepared SELECT id, c FROM t WHERE a = ?, ~20 rows each
//   W4_aggregate_scan  COUNT(*), SUM(c), MIN(b), MAX(a) over t  (ops: rows scanned)
//   W5_group_by        a % 100, COUNT(*), AVG(c) GROUP BY a % 100 (ops: rows scanned)
//   W6_join            t JOIN u ON t.a = u.id WHERE u.name < 'n01000'
//                      (ops: joined rows, one per row of t, before the filter)
//   W7_autocommit_insert  prepared one-row INSERT, each a durable commit
//   W8_range_update    prepared UPDATE t SET c = c + 1 over 20,000-row id
//                      ranges, each its own transaction    (ops: rows updated)
//   W9_order_limit     SELECT id, c FROM t ORDER BY c DESC LIMIT 10
//                      (ops: rows scanned)
//   probe_fdatasync    4096-byte pwrite at offset 0 + fdatasync, in the
//                      database's directory, just before W7
//   probe_std_map      the W2 keys looked up in a std::map<int64_t, std::string>
//
// Every name carries its journal mode as a prefix ("delete." or "wal.").
// Each workload folds what it read into a checksum, printed as a comment
// line "# checksum <name> <hex>"; the random keys come from a fixed seed, so
// the checksums are the same in both modes and from run to run, and the
// program fails when the two modes disagree. W7's rate against the probe's
// is printed as a comment too.
//
// Usage: api_bench [--dir DIR] [--scale F] [--mode delete|wal|both]
//   --dir    where the database files go (default $TMPDIR or /tmp); removed
//            afterwards
//   --scale  multiplies every count (the smoke test runs it tiny)

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "c_bench.h"

namespace {

using namespace bkf_bench;
using Clock = std::chrono::steady_clock;

// ---- deterministic inputs -------------------------------------------------

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    std::uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  std::int64_t below(std::int64_t n) { return static_cast<std::int64_t>(next() % static_cast<std::uint64_t>(n)); }
};

// The b column of row id: 20 characters.
std::string text_of(std::int64_t id) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz";
  Rng r{static_cast<std::uint64_t>(id) * 7919};
  std::string s(20, 'x');
  for (char& ch : s) ch = kLetters[r.next() % 26];
  return s;
}

// ---- checksums ------------------------------------------------------------

struct Sum {
  std::uint64_t h = 0xcbf29ce484222325ull;
  void bytes(const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      h ^= static_cast<unsigned char>(p[i]);
      h *= 0x100000001b3ull;
    }
  }
  void i64(std::int64_t v) { bytes(reinterpret_cast<const char*>(&v), sizeof v); }
  void str(const char* s) {
    if (s == nullptr) i64(-7);
    else bytes(s, std::strlen(s) + 1);
  }
};

// ---- the C interface, failing loudly --------------------------------------

std::int64_t run(BkfDb* db, BkfStmt* s, const char* what) {
  std::int64_t n = bkf_exec_prepared(db, s);
  if (n < 0) die(db, what);
  return n;
}

std::int64_t cell_int(BkfDb* db, std::size_t row, std::size_t col) {
  std::int64_t v = 0;
  if (bkf_get_i64(db, row, col, &v) < 0) die(db, "cell out of range");
  return v;
}

// ---- reporting --------------------------------------------------------------

struct Line {
  std::string name;
  std::uint64_t ops;
  double seconds;
  std::uint64_t checksum;
  bool has_checksum;
};

std::vector<Line> g_lines;

double report(const std::string& name, std::uint64_t ops, Clock::time_point start, const Sum* sum) {
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  const double rate = s > 0 ? static_cast<double>(ops) / s : 0.0;
  std::printf("%s %" PRIu64 " %.6f %.1f\n", name.c_str(), ops, s, rate);
  std::fflush(stdout);
  g_lines.push_back(Line{name, ops, s, sum != nullptr ? sum->h : 0, sum != nullptr});
  return rate;
}

// ---- the probes ---------------------------------------------------------------

double probe_fdatasync(const std::string& dir, const std::string& prefix, int n) {
  const std::string path = dir + "/api_bench_probe.bin";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) die(nullptr, "probe file");
  std::vector<char> page(4096, 'p');
  if (::pwrite(fd, page.data(), page.size(), 0) != 4096 || ::fdatasync(fd) != 0) die(nullptr, "probe write");
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    page[0] = static_cast<char>(i);
    if (::pwrite(fd, page.data(), page.size(), 0) != 4096 || ::fdatasync(fd) != 0) die(nullptr, "probe write");
  }
  const double rate = report(prefix + "probe_fdatasync", static_cast<std::uint64_t>(n), start, nullptr);
  ::close(fd);
  ::unlink(path.c_str());
  return rate;
}

void probe_std_map(const std::string& prefix, std::int64_t rows, const std::vector<std::int64_t>& keys) {
  std::map<std::int64_t, std::string> m;
  for (std::int64_t id = 1; id <= rows; ++id) m.emplace(id, text_of(id));
  Sum sum;
  const auto start = Clock::now();
  for (std::int64_t k : keys) {
    auto it = m.find(k);
    if (it == m.end()) die(nullptr, "std::map key missing");
    sum.bytes(it->second.data(), it->second.size());
  }
  report(prefix + "probe_std_map", keys.size(), start, nullptr);
}

// ---- one journal mode ---------------------------------------------------------

struct Sizes {
  std::int64_t rows = 200'000;       // W1 (t's rows)
  std::int64_t lookups = 200'000;    // W2
  std::int64_t index_lookups = 100'000;  // W3
  int scans = 20;                    // W4, W6, W9 repetitions
  int groups = 10;                   // W5 repetitions
  std::int64_t u_rows = 10'000;      // W6's u
  int commits = 1'000;               // W7
  std::int64_t range = 20'000;       // W8 range width
  int ranges = 10;                   // W8 repetitions
  int probe_syncs = 1'000;
  int w0 = 20'000;
};

Sizes scaled(double f) {
  Sizes s;
  auto sc = [f](std::int64_t v) { return std::max<std::int64_t>(1, static_cast<std::int64_t>(v * f)); };
  s.rows = std::max<std::int64_t>(100, sc(s.rows));
  s.lookups = sc(s.lookups);
  s.index_lookups = sc(s.index_lookups);
  s.u_rows = std::max<std::int64_t>(10, sc(s.u_rows));
  s.commits = static_cast<int>(sc(s.commits));
  s.range = std::max<std::int64_t>(1, s.rows / s.ranges);
  s.probe_syncs = static_cast<int>(sc(s.probe_syncs));
  s.w0 = static_cast<int>(sc(s.w0));
  if (f < 1.0) {
    s.scans = std::max(1, static_cast<int>(s.scans * f * 10));
    s.groups = std::max(1, static_cast<int>(s.groups * f * 10));
  }
  return s;
}

std::string name_of_u(std::int64_t id) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "n%05" PRId64, id);
  return buf;
}

void run_mode(const std::string& dir, const char* mode, const Sizes& z) {
  const std::string prefix = std::string(mode) + ".";
  const std::string path = dir + "/api_bench_" + mode + ".db";
  remove_db_files(path);
  BkfDb* db = bkf_open(path.c_str());
  if (db == nullptr) die(nullptr, "bkf_open");
  exec(db, (std::string("PRAGMA journal_mode = ") + mode).c_str());
  exec(db, "PRAGMA synchronous = 2");
  exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, a INTEGER, b TEXT, c REAL)");
  exec(db, "CREATE TABLE u (id INTEGER PRIMARY KEY, name TEXT)");
  exec(db, "CREATE TABLE log (id INTEGER PRIMARY KEY, v INTEGER, note TEXT)");

  // W0: the per-call floor.
  {
    BkfStmt* s = prepare(db, "SELECT 1");
    Sum sum;
    const auto start = Clock::now();
    for (int i = 0; i < z.w0; ++i) {
      run(db, s, "W0");
      sum.i64(cell_int(db, 0, 0));
    }
    report(prefix + "W0_select_1", static_cast<std::uint64_t>(z.w0), start, &sum);
    bkf_finalize(s);
  }

  // W1: bulk insert inside one transaction.
  {
    std::vector<std::string> texts;
    texts.reserve(static_cast<std::size_t>(z.rows));
    for (std::int64_t id = 1; id <= z.rows; ++id) texts.push_back(text_of(id));
    Rng r{1};
    BkfStmt* s = prepare(db, "INSERT INTO t (id, a, b, c) VALUES (?, ?, ?, ?)");
    Sum sum;
    const auto start = Clock::now();
    exec(db, "BEGIN");
    for (std::int64_t id = 1; id <= z.rows; ++id) {
      bkf_bind_int(s, 0, id);
      bkf_bind_int(s, 1, r.below(10000));
      bkf_bind_text(s, 2, texts[static_cast<std::size_t>(id - 1)].c_str());
      bkf_bind_real(s, 3, static_cast<double>(r.below(100000)) / 8.0);
      sum.i64(run(db, s, "W1"));
    }
    exec(db, "COMMIT");
    sum.i64(bkf_last_insert_id(db));
    report(prefix + "W1_insert", static_cast<std::uint64_t>(z.rows), start, &sum);
    bkf_finalize(s);
  }

  // W2: point lookups by primary key, and the same keys in a std::map.
  std::vector<std::int64_t> keys;
  {
    Rng r{2};
    keys.reserve(static_cast<std::size_t>(z.lookups));
    for (std::int64_t i = 0; i < z.lookups; ++i) keys.push_back(1 + r.below(z.rows));
    BkfStmt* s = prepare(db, "SELECT a, b, c FROM t WHERE id = ?");
    Sum sum;
    const auto start = Clock::now();
    for (std::int64_t k : keys) {
      bkf_bind_int(s, 0, k);
      if (run(db, s, "W2") != 1) die(db, "W2 row missing");
      sum.i64(cell_int(db, 0, 0));
      sum.str(bkf_get_text(db, 0, 1));
      sum.i64(cell_int(db, 0, 2));
    }
    report(prefix + "W2_point_lookup", keys.size(), start, &sum);
    bkf_finalize(s);
  }
  probe_std_map(prefix, z.rows, keys);

  // W3: an index, then equality lookups through it.
  {
    auto start = Clock::now();
    exec(db, "CREATE INDEX t_a ON t (a)");
    report(prefix + "W3_create_index", 1, start, nullptr);
    Rng r{3};
    BkfStmt* s = prepare(db, "SELECT id, c FROM t WHERE a = ?");
    Sum sum;
    std::uint64_t found = 0;
    start = Clock::now();
    for (std::int64_t i = 0; i < z.index_lookups; ++i) {
      bkf_bind_int(s, 0, r.below(10000));
      const std::int64_t n = run(db, s, "W3");
      found += static_cast<std::uint64_t>(n);
      sum.i64(n);
      for (std::int64_t j = 0; j < n; ++j) {
        sum.i64(cell_int(db, static_cast<std::size_t>(j), 0));
        sum.i64(cell_int(db, static_cast<std::size_t>(j), 1));
      }
    }
    report(prefix + "W3_index_lookup", static_cast<std::uint64_t>(z.index_lookups), start, &sum);
    std::printf("# %sW3 rows found %" PRIu64 "\n", prefix.c_str(), found);
    bkf_finalize(s);
  }

  // W4: aggregates over a whole-table scan.
  {
    Sum sum;
    const auto start = Clock::now();
    for (int i = 0; i < z.scans; ++i) {
      exec(db, "SELECT COUNT(*), SUM(c), MIN(b), MAX(a) FROM t");
      for (std::size_t col = 0; col < 4; ++col) sum.str(bkf_get_str(db, 0, col));
    }
    report(prefix + "W4_aggregate_scan", static_cast<std::uint64_t>(z.scans * z.rows), start, &sum);
  }

  // W5: grouping on an expression.
  {
    Sum sum;
    const auto start = Clock::now();
    for (int i = 0; i < z.groups; ++i) {
      const std::int64_t n = exec(db, "SELECT a % 100, COUNT(*), AVG(c) FROM t GROUP BY a % 100");
      for (std::int64_t row = 0; row < n; ++row) {
        for (std::size_t col = 0; col < 3; ++col) sum.str(bkf_get_str(db, static_cast<std::size_t>(row), col));
      }
    }
    report(prefix + "W5_group_by", static_cast<std::uint64_t>(z.groups * z.rows), start, &sum);
  }

  // W6: a join of t with a 10,000-row u.
  {
    exec(db, "BEGIN");
    BkfStmt* ins = prepare(db, "INSERT INTO u (id, name) VALUES (?, ?)");
    for (std::int64_t id = 0; id < z.u_rows; ++id) {
      bkf_bind_int(ins, 0, id);
      bkf_bind_text(ins, 1, name_of_u(id).c_str());
      run(db, ins, "W6 setup");
    }
    bkf_finalize(ins);
    exec(db, "COMMIT");
    Sum sum;
    const auto start = Clock::now();
    for (int i = 0; i < z.scans; ++i) {
      exec(db, "SELECT COUNT(*), SUM(t.c) FROM t JOIN u ON t.a = u.id WHERE u.name < 'n01000'");
      sum.str(bkf_get_str(db, 0, 0));
      sum.str(bkf_get_str(db, 0, 1));
    }
    report(prefix + "W6_join", static_cast<std::uint64_t>(z.scans * z.rows), start, &sum);
  }

  // W7: durable single-row commits, against the disk's own sync rate.
  {
    const double probe = probe_fdatasync(dir, prefix, z.probe_syncs);
    BkfStmt* s = prepare(db, "INSERT INTO log (v, note) VALUES (?, ?)");
    Sum sum;
    const auto start = Clock::now();
    for (int i = 0; i < z.commits; ++i) {
      bkf_bind_int(s, 0, i);
      bkf_bind_text(s, 1, "a durable row");
      sum.i64(run(db, s, "W7"));
      sum.i64(bkf_last_insert_id(db));
    }
    const double rate = report(prefix + "W7_autocommit_insert", static_cast<std::uint64_t>(z.commits), start, &sum);
    std::printf("# %sW7 at %.1f%% of probe_fdatasync\n", prefix.c_str(), probe > 0 ? 100.0 * rate / probe : 0.0);
    bkf_finalize(s);
  }

  // W8: range updates, each its own transaction.
  {
    BkfStmt* s = prepare(db, "UPDATE t SET c = c + 1 WHERE id >= ? AND id < ?");
    Sum sum;
    std::uint64_t updated = 0;
    const auto start = Clock::now();
    for (int i = 0; i < z.ranges; ++i) {
      bkf_bind_int(s, 0, 1 + i * z.range);
      bkf_bind_int(s, 1, 1 + (i + 1) * z.range);
      const std::int64_t n = run(db, s, "W8");
      updated += static_cast<std::uint64_t>(n);
      sum.i64(n);
    }
    report(prefix + "W8_range_update", updated, start, &sum);
    bkf_finalize(s);
  }

  // W9: the ten largest c.
  {
    Sum sum;
    const auto start = Clock::now();
    for (int i = 0; i < z.scans; ++i) {
      const std::int64_t n = exec(db, "SELECT id, c FROM t ORDER BY c DESC LIMIT 10");
      for (std::int64_t row = 0; row < n; ++row) {
        sum.i64(cell_int(db, static_cast<std::size_t>(row), 0));
        sum.str(bkf_get_str(db, static_cast<std::size_t>(row), 1));
      }
    }
    report(prefix + "W9_order_limit", static_cast<std::uint64_t>(z.scans * z.rows), start, &sum);
  }

  bkf_close(db);
  remove_db_files(path);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = default_dir();
  double scale = 1.0;
  std::string modes = "both";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--dir" && i + 1 < argc) dir = argv[++i];
    else if (a == "--scale" && i + 1 < argc) scale = std::atof(argv[++i]);
    else if (a == "--mode" && i + 1 < argc) modes = argv[++i];
    else {
      std::fprintf(stderr, "usage: api_bench [--dir DIR] [--scale F] [--mode delete|wal|both]\n");
      return 2;
    }
  }
  if (!(scale > 0) || scale > 1.0) {
    std::fprintf(stderr, "api_bench: --scale takes a number in (0, 1]\n");
    return 2;
  }
  const Sizes z = scaled(scale);
  if (modes == "both" || modes == "delete") run_mode(dir, "delete", z);
  if (modes == "both" || modes == "wal") run_mode(dir, "wal", z);

  // Checksums, and the two modes compared workload by workload.
  bool agree = true;
  for (const Line& l : g_lines) {
    if (!l.has_checksum) continue;
    std::printf("# checksum %s %016" PRIx64 "\n", l.name.c_str(), l.checksum);
    if (l.name.rfind("wal.", 0) != 0) continue;
    const std::string other = "delete." + l.name.substr(4);
    for (const Line& d : g_lines) {
      if (d.name == other && d.checksum != l.checksum) {
        std::fprintf(stderr, "api_bench: %s and %s disagree\n", other.c_str(), l.name.c_str());
        agree = false;
      }
    }
  }
  return agree ? 0 : 1;
}
