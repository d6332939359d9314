// Throughput of the virtual machine on hand-assembled programs: the bare
// dispatch loop, appending rows, a filtered scan with count and sum, a
// GROUP BY, wide column reads and correlated-subquery lookups.
// Prints one line per workload: name ops seconds ops_per_sec.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "btree/btree.h"
#include "btree/cursor.h"
#include "btree/index.h"
#include "btree/keyenc.h"
#include "exec/vm/builder.h"
#include "exec/vm/vm.h"
#include "pager/os_vfs.h"
#include "pager/pager.h"
#include "record/record.h"

namespace {

using namespace bkf;
using namespace bkf::vm;

constexpr std::int64_t kRows = 1000000;

void report(const char* name, std::uint64_t ops, double secs) {
  std::printf("%s %llu %.6f %.0f\n", name, static_cast<unsigned long long>(ops), secs,
              secs > 0 ? static_cast<double>(ops) / secs : 0.0);
}

Program finish(ProgramBuilder& b) {
  auto p = b.finish();
  if (!p.ok()) {
    std::fprintf(stderr, "bad program: %s\n", p.error().to_string().c_str());
    std::exit(1);
  }
  return std::move(p).value();
}

// Runs a program once and returns the machine's rows; exits on error.
std::vector<Row> run(Pager& pager, const Program& p, double& secs, std::uint64_t* changes = nullptr) {
  auto start = std::chrono::steady_clock::now();
  Vm vm(pager, {});
  Status s = vm.run(p);
  secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!s.ok()) {
    std::fprintf(stderr, "run failed: %s\n", s.error().to_string().c_str());
    std::exit(1);
  }
  if (changes) *changes = vm.changes();
  return vm.take_rows();
}

// i = 0; loop: i = i + 1; while i < n.
Program counting_loop(std::int64_t n) {
  ProgramBuilder b;
  auto i = b.reg(), one = b.reg(), limit = b.reg(), more = b.reg();
  b.emit(Op::integer(0, i));
  b.emit(Op::integer(1, one));
  b.emit(Op::integer(n, limit));
  auto top = b.here();
  b.emit(Op::binop(BinKind::Add, i, one, i));
  b.emit(Op::binop(BinKind::Lt, i, limit, more));
  b.emit(Op::if_true(more, top));
  return finish(b);
}

// Appends n rows (i, i % 1000, 'name-i' text, i * 0.5, 4 more integers).
Program append_rows(std::uint32_t root, std::int64_t n) {
  ProgramBuilder b;
  auto cur = b.cursor();
  auto i = b.reg(), one = b.reg(), limit = b.reg(), thousand = b.reg(), half = b.reg(), more = b.reg();
  auto rid = b.reg(), cols = b.regs(8), rec = b.reg(), name = b.reg();
  b.emit(Op::open_write(cur, root));
  b.emit(Op::integer(0, i));
  b.emit(Op::integer(1, one));
  b.emit(Op::integer(n, limit));
  b.emit(Op::integer(1000, thousand));
  b.emit(Op::real(0.5, half));
  b.str("name-", name);
  auto top = b.here();
  b.emit(Op::binop(BinKind::Add, i, one, i));
  b.emit(Op::new_rowid(cur, rid));
  b.emit(Op::copy(i, cols));
  b.emit(Op::binop(BinKind::Mod, i, thousand, cols + 1));
  b.func(ScalarKind::Concat, {name, i}, cols + 2);
  b.emit(Op::binop(BinKind::Mul, i, half, cols + 3));
  for (std::uint32_t k = 4; k < 8; ++k) b.emit(Op::binop(BinKind::Add, i, cols + k - 3, cols + k));
  b.emit(Op::make_record(cols, 8, rec));
  b.emit(Op::insert(cur, rec, rid));
  b.emit(Op::binop(BinKind::Lt, i, limit, more));
  b.emit(Op::if_true(more, top));
  return finish(b);
}

// SELECT count(*), sum(c0) FROM t WHERE c1 % 3 = 0.
Program filtered_count_sum(std::uint32_t root) {
  ProgramBuilder b;
  auto count = b.agg(AggKind::CountStar), sum = b.agg(AggKind::Sum);
  auto cur = b.cursor();
  auto c0 = b.reg(), c1 = b.reg(), three = b.reg(), zero = b.reg(), m = b.reg(), out = b.regs(2);
  b.emit(Op::open_read(cur, root));
  b.emit(Op::integer(3, three));
  b.emit(Op::integer(0, zero));
  auto rewind = b.emit(Op::rewind(cur, 0));
  auto top = b.here();
  b.emit(Op::column(cur, 1, c1));
  b.emit(Op::binop(BinKind::Mod, c1, three, m));
  b.emit(Op::binop(BinKind::Eq, m, zero, m));
  auto skip = b.emit(Op::if_false(m, 0));
  b.emit(Op::column(cur, 0, c0));
  b.emit(Op::agg_start(0, 0));
  b.emit(Op::agg_step(count, c0));
  b.emit(Op::agg_step(sum, c0));
  b.patch_here(skip);
  b.emit(Op::next(cur, top));
  b.patch_here(rewind);
  auto emit = b.emit(Op::agg_rewind(0, 0, 0, false));
  b.emit(Op::agg_result(count, out));
  b.emit(Op::agg_result(sum, out + 1));
  b.emit(Op::result_row(out, 2));
  b.patch_here(emit);
  return finish(b);
}

// SELECT c1, count(*), sum(c3), max(c2) FROM t GROUP BY c1.
Program group_by(std::uint32_t root) {
  ProgramBuilder b;
  auto count = b.agg(AggKind::CountStar), sum = b.agg(AggKind::Sum), max = b.agg(AggKind::Max);
  auto cur = b.cursor();
  auto key = b.reg(), c2 = b.reg(), c3 = b.reg(), out = b.regs(4);
  b.emit(Op::open_read(cur, root));
  auto rewind = b.emit(Op::rewind(cur, 0));
  auto top = b.here();
  b.emit(Op::column(cur, 1, key));
  b.emit(Op::column(cur, 2, c2));
  b.emit(Op::column(cur, 3, c3));
  b.emit(Op::agg_start(key, 1));
  b.emit(Op::agg_step(count, c3));
  b.emit(Op::agg_step(sum, c3));
  b.emit(Op::agg_step(max, c2));
  b.emit(Op::next(cur, top));
  b.patch_here(rewind);
  auto emit = b.emit(Op::agg_rewind(0, out, 1, true));
  auto loop = b.here();
  b.emit(Op::agg_result(count, out + 1));
  b.emit(Op::agg_result(sum, out + 2));
  b.emit(Op::agg_result(max, out + 3));
  b.emit(Op::result_row(out, 4));
  b.emit(Op::agg_next(loop, out, 1));
  b.patch_here(emit);
  return finish(b);
}

// Reads all eight columns of every row and keeps a running sum of one.
Program wide_scan(std::uint32_t root) {
  ProgramBuilder b;
  auto cur = b.cursor();
  auto cols = b.regs(8), acc = b.reg(), out = b.reg();
  b.emit(Op::open_read(cur, root));
  b.emit(Op::integer(0, acc));
  auto rewind = b.emit(Op::rewind(cur, 0));
  auto top = b.here();
  for (std::uint32_t k = 0; k < 8; ++k) b.emit(Op::column(cur, k, cols + k));
  b.emit(Op::binop(BinKind::Add, acc, cols + 7, acc));
  b.emit(Op::next(cur, top));
  b.patch_here(rewind);
  b.emit(Op::copy(acc, out));
  b.emit(Op::result_row(out, 1));
  return finish(b);
}

// For every row: (SELECT c0 FROM t WHERE rowid = outer.c1 + 1), cached per
// distinct c1 (1000 of them).
Program correlated_lookup(std::uint32_t root) {
  ProgramBuilder sb;
  auto scur = sb.cursor();
  auto p = sb.reg(), one = sb.reg(), v = sb.reg();
  sb.emit(Op::open_read(scur, root));
  sb.emit(Op::param(0, p));
  sb.emit(Op::integer(1, one));
  sb.emit(Op::binop(BinKind::Add, p, one, p));
  auto miss = sb.emit(Op::seek_rowid(scur, p, 0));
  sb.emit(Op::column(scur, 0, v));
  sb.emit(Op::result_row(v, 1));
  sb.patch_here(miss);
  Program sub = finish(sb);

  ProgramBuilder b;
  auto cur = b.cursor();
  auto s = b.sub(std::move(sub));
  auto val = b.reg(), acc = b.reg();
  b.emit(Op::open_read(cur, root));
  b.emit(Op::integer(0, acc));
  auto rewind = b.emit(Op::rewind(cur, 0));
  auto top = b.here();
  b.scalar_sub(s, {ParamSrc::col(cur, 1)}, val);
  b.emit(Op::binop(BinKind::Add, acc, val, acc));
  b.emit(Op::next(cur, top));
  b.patch_here(rewind);
  b.emit(Op::result_row(acc, 1));
  return finish(b);
}

// The narrow table of the lookups and scans below: (id alias stored as
// Null, a = i % 10000, b = a 20-character text, c = i * 0.25), 1,000,000
// rows appended in one program.
Program append_narrow(std::uint32_t root, std::int64_t n) {
  ProgramBuilder b;
  auto cur = b.cursor();
  auto i = b.reg(), one = b.reg(), limit = b.reg(), tenk = b.reg(), quarter = b.reg(), more = b.reg();
  auto cols = b.regs(4), rec = b.reg();
  b.emit(Op::open_write(cur, root));
  b.emit(Op::integer(0, i));
  b.emit(Op::integer(1, one));
  b.emit(Op::integer(n, limit));
  b.emit(Op::integer(10000, tenk));
  b.emit(Op::real(0.25, quarter));
  b.emit(Op::null(cols));
  b.str("abcdefghijklmnopqrst", cols + 2);
  auto top = b.here();
  b.emit(Op::binop(BinKind::Add, i, one, i));
  b.emit(Op::binop(BinKind::Mod, i, tenk, cols + 1));
  b.emit(Op::binop(BinKind::Mul, i, quarter, cols + 3));
  b.emit(Op::make_record(cols, 4, rec));
  b.emit(Op::insert(cur, rec, i));
  b.emit(Op::binop(BinKind::Lt, i, limit, more));
  b.emit(Op::if_true(more, top));
  return finish(b);
}

// INSERT INTO t (id, a, b, c) VALUES (?, ?, ?, ?) as a prepared statement
// would run it: binds 0..3, one run per row.
Program prepared_insert(std::uint32_t root) {
  ProgramBuilder b;
  auto cur = b.cursor();
  auto id = b.reg(), cols = b.regs(4), rec = b.reg();
  b.emit(Op::open_write(cur, root));
  b.emit(Op::bind(0, id));
  b.emit(Op::null(cols));
  b.emit(Op::bind(1, cols + 1));
  b.emit(Op::bind(2, cols + 2));
  b.emit(Op::bind(3, cols + 3));
  b.emit(Op::make_record(cols, 4, rec));
  b.emit(Op::insert(cur, rec, id));
  return finish(b);
}

// SELECT a, b, c FROM t WHERE id = ?, one run per lookup.
Program prepared_point_lookup(std::uint32_t root) {
  ProgramBuilder b;
  auto cur = b.cursor();
  auto key = b.reg(), out = b.regs(3);
  b.emit(Op::open_read(cur, root));
  b.emit(Op::bind(0, key));
  auto miss = b.emit(Op::seek_rowid(cur, key, 0));
  b.emit(Op::column(cur, 1, out));
  b.emit(Op::column(cur, 2, out + 1));
  b.emit(Op::column(cur, 3, out + 2));
  b.emit(Op::result_row(out, 3));
  b.patch_here(miss);
  return finish(b);
}

// SELECT count(*), sum(c) FROM t.
Program count_sum_narrow(std::uint32_t root) {
  ProgramBuilder b;
  auto count = b.agg(AggKind::CountStar), sum = b.agg(AggKind::Sum);
  auto cur = b.cursor();
  auto c = b.reg(), out = b.regs(2);
  b.emit(Op::open_read(cur, root));
  auto rewind = b.emit(Op::rewind(cur, 0));
  auto top = b.here();
  b.emit(Op::column(cur, 3, c));
  b.emit(Op::agg_start(0, 0));
  b.emit(Op::agg_step(count, c));
  b.emit(Op::agg_step(sum, c));
  b.emit(Op::next(cur, top));
  b.patch_here(rewind);
  b.emit(Op::agg_rewind(0, 0, 0, false));
  b.emit(Op::agg_result(count, out));
  b.emit(Op::agg_result(sum, out + 1));
  b.emit(Op::result_row(out, 2));
  return finish(b);
}

// SELECT count(*), sum(c), min(b), max(a) FROM t.
Program four_aggregates_narrow(std::uint32_t root) {
  ProgramBuilder b;
  auto count = b.agg(AggKind::CountStar), sum = b.agg(AggKind::Sum), min = b.agg(AggKind::Min),
       max = b.agg(AggKind::Max);
  auto cur = b.cursor();
  auto cols = b.regs(3), out = b.regs(4);
  b.emit(Op::open_read(cur, root));
  auto rewind = b.emit(Op::rewind(cur, 0));
  auto top = b.here();
  b.emit(Op::column(cur, 1, cols));
  b.emit(Op::column(cur, 2, cols + 1));
  b.emit(Op::column(cur, 3, cols + 2));
  b.emit(Op::agg_start(0, 0));
  b.emit(Op::agg_step(count, cols));
  b.emit(Op::agg_step(sum, cols + 2));
  b.emit(Op::agg_step(min, cols + 1));
  b.emit(Op::agg_step(max, cols));
  b.emit(Op::next(cur, top));
  b.patch_here(rewind);
  b.emit(Op::agg_rewind(0, 0, 0, false));
  for (std::uint32_t k = 0; k < 4; ++k) b.emit(Op::agg_result(k, out + k));
  b.emit(Op::result_row(out, 4));
  return finish(b);
}

// SELECT a % 100, count(*), avg(c) FROM t GROUP BY a % 100.
Program group_by_mod_narrow(std::uint32_t root) {
  ProgramBuilder b;
  auto count = b.agg(AggKind::CountStar), avg = b.agg(AggKind::Avg);
  auto cur = b.cursor();
  auto a = b.reg(), hundred = b.reg(), key = b.reg(), c = b.reg(), out = b.regs(3);
  b.emit(Op::open_read(cur, root));
  b.emit(Op::integer(100, hundred));
  auto rewind = b.emit(Op::rewind(cur, 0));
  auto top = b.here();
  b.emit(Op::column(cur, 1, a));
  b.emit(Op::binop(BinKind::Mod, a, hundred, key));
  b.emit(Op::column(cur, 3, c));
  b.emit(Op::agg_start(key, 1));
  b.emit(Op::agg_step(count, c));
  b.emit(Op::agg_step(avg, c));
  b.emit(Op::next(cur, top));
  b.patch_here(rewind);
  auto done = b.emit(Op::agg_rewind(0, out, 1, true));
  auto loop = b.here();
  b.emit(Op::agg_result(count, out + 1));
  b.emit(Op::agg_result(avg, out + 2));
  b.emit(Op::result_row(out, 3));
  b.emit(Op::agg_next(loop, out, 1));
  b.patch_here(done);
  return finish(b);
}

// UPDATE t SET c = c + 1 WHERE id >= ? AND id < ?: seek to the first id,
// rewrite c in place (a and b kept byte for byte) until the upper bound.
Program update_range_narrow(std::uint32_t root) {
  ProgramBuilder b;
  auto cur = b.cursor();
  auto lo = b.reg(), hi = b.reg(), id = b.reg(), in = b.reg(), one = b.reg(), vals = b.regs(4), rec = b.reg();
  b.emit(Op::open_write(cur, root));
  b.emit(Op::bind(0, lo));
  b.emit(Op::bind(1, hi));
  b.emit(Op::integer(1, one));
  auto seek = b.emit(Op::seek(cur, lo, 0));
  auto top = b.here();
  b.emit(Op::rowid(cur, id));
  b.emit(Op::binop(BinKind::Lt, id, hi, in));
  auto stop = b.emit(Op::if_false(in, 0));
  b.emit(Op::column(cur, 3, vals + 3));
  b.emit(Op::binop(BinKind::Add, vals + 3, one, vals + 3));
  b.make_updated_record(cur, vals, {true, true, true, false}, rec);
  b.emit(Op::update_current(cur, rec));
  b.emit(Op::next(cur, top));
  b.patch_here(seek);
  b.patch_here(stop);
  b.emit(Op::apply_deferred(cur));
  return finish(b);
}

// SELECT rowid, c FROM t WHERE a = ? through an index on a: the keys with
// the value's prefix, each followed to its row.
Program index_equality_lookup(std::uint32_t root, std::uint32_t index) {
  ProgramBuilder b;
  auto cur = b.cursor();
  auto icur = b.index_cursor();
  auto a = b.reg(), prefix = b.reg(), rid = b.reg(), out = b.regs(2);
  b.emit(Op::open_read(cur, root));
  b.emit(Op::open_index(icur, index));
  b.emit(Op::bind(0, a));
  b.emit(Op::make_index_prefix(a, 1, prefix));
  auto seek = b.emit(Op::idx_seek(icur, prefix, 0));
  auto top = b.here();
  auto guard = b.emit(Op::idx_prefix_guard(icur, prefix, 0));
  b.emit(Op::idx_rowid(icur, rid));
  auto miss = b.emit(Op::seek_rowid(cur, rid, 0));
  b.emit(Op::rowid(cur, out));
  b.emit(Op::column(cur, 3, out + 1));
  b.emit(Op::result_row(out, 2));
  b.patch_here(miss);
  b.emit(Op::idx_next(icur, top));
  b.patch_here(seek);
  b.patch_here(guard);
  return finish(b);
}

// SELECT count(*), sum(t.c) FROM t JOIN u ON t.a = u.id WHERE u.name <
// 'n01000': the rows of t in order, u probed by row id for each.
Program join_probe(std::uint32_t troot, std::uint32_t uroot) {
  ProgramBuilder b;
  auto count = b.agg(AggKind::CountStar), sum = b.agg(AggKind::Sum);
  auto t = b.cursor(), u = b.cursor();
  auto a = b.reg(), name = b.reg(), bound = b.reg(), lt = b.reg(), c = b.reg(), out = b.regs(2);
  b.emit(Op::open_read(t, troot));
  b.emit(Op::open_read(u, uroot));
  b.str("n01000", bound);
  auto rewind = b.emit(Op::rewind(t, 0));
  auto top = b.here();
  b.emit(Op::column(t, 1, a));
  auto miss = b.emit(Op::seek_rowid(u, a, 0));
  b.emit(Op::column(u, 0, name));
  b.emit(Op::binop(BinKind::Lt, name, bound, lt));
  auto skip = b.emit(Op::if_false(lt, 0));
  b.emit(Op::column(t, 3, c));
  b.emit(Op::agg_start(0, 0));
  b.emit(Op::agg_step(count, c));
  b.emit(Op::agg_step(sum, c));
  b.patch_here(miss);
  b.patch_here(skip);
  b.emit(Op::next(t, top));
  b.patch_here(rewind);
  b.emit(Op::agg_rewind(0, 0, 0, false));
  b.emit(Op::agg_result(count, out));
  b.emit(Op::agg_result(sum, out + 1));
  b.emit(Op::result_row(out, 2));
  return finish(b);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void must_run(Vm& vm, const Program& p) {
  Status s = vm.run(p);
  if (!s.ok()) {
    std::fprintf(stderr, "run failed: %s\n", s.error().to_string().c_str());
    std::exit(1);
  }
}

// The narrow-table workloads.
void narrow_workloads(Pager& pager) {
  double secs = 0;
  std::uint32_t root = BTree::create(pager).value().root();
  std::uint64_t changes = 0;
  run(pager, append_narrow(root, kRows), secs, &changes);
  report("vm_insert_append_narrow", changes, secs);

  // One run of a prepared single-row INSERT per row, into a table of its
  // own: a new machine per run, then one machine rearmed for every run.
  std::uint32_t iroot = 0;
  for (bool rearm : {false, true}) {
    constexpr std::int64_t kInserts = 200000;
    iroot = BTree::create(pager).value().root();
    Program p = prepared_insert(iroot);
    std::vector<Value> binds = {Value::integer(0), Value::integer(0), Value::text("abcdefghijklmnopqrst"),
                                Value::real(0)};
    Vm kept(pager, binds);
    auto start = std::chrono::steady_clock::now();
    for (std::int64_t i = 1; i <= kInserts; ++i) {
      binds[0].set_int(i);
      binds[1].set_int(i % 10000);
      binds[3].set_real(static_cast<double>(i) * 0.25);
      if (rearm) {
        kept.rearm(binds);
        must_run(kept, p);
      } else {
        Vm vm(pager, binds);
        must_run(vm, p);
      }
    }
    report(rearm ? "vm_prepared_insert_200k_rearmed" : "vm_prepared_insert_200k", kInserts, seconds_since(start));
  }

  // One run of a prepared point lookup per random id of the first 200,000.
  for (bool rearm : {false, true}) {
    constexpr std::int64_t kLookups = 200000;
    Program p = prepared_point_lookup(root);
    std::vector<Value> binds = {Value::integer(0)};
    std::uint64_t x = 88172645463325252ull, found = 0;
    Vm kept(pager, binds);
    auto start = std::chrono::steady_clock::now();
    for (std::int64_t i = 0; i < kLookups; ++i) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      binds[0].set_int(static_cast<std::int64_t>(1 + x % kLookups));
      if (rearm) {
        kept.rearm(binds);
        must_run(kept, p);
        found += kept.rows().size();
      } else {
        Vm vm(pager, binds);
        must_run(vm, p);
        found += vm.rows().size();
      }
    }
    report(rearm ? "vm_prepared_point_lookup_200k_rearmed" : "vm_prepared_point_lookup_200k", kLookups,
           seconds_since(start));
    if (found != static_cast<std::uint64_t>(kLookups)) std::exit(2);
  }

  // An index on a of the 200,000 rows just inserted (20 rows per value),
  // probed by random values through one rearmed machine.
  {
    std::uint32_t index = IndexBTree::create(pager).value().root();
    IndexBTree ix(pager, index);
    Cursor c(pager, iroot);
    std::string payload, key;
    if (!c.rewind().ok()) std::exit(1);
    std::vector<Value> a(1);
    while (auto id = c.next_into(payload).value()) {
      if (!decode_column_into(payload, 1, a[0]).ok()) std::exit(1);
      keyenc::encode_index_key_into(key, a, *id);
      if (!ix.insert(key).ok()) std::exit(1);
    }
    constexpr std::int64_t kProbes = 100000;
    Program p = index_equality_lookup(iroot, index);
    std::vector<Value> binds = {Value::integer(0)};
    Vm vm(pager, binds);
    std::uint64_t x = 88172645463325252ull, rows = 0;
    auto start = std::chrono::steady_clock::now();
    for (std::int64_t i = 0; i < kProbes; ++i) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      binds[0].set_int(static_cast<std::int64_t>(x % 10000));
      vm.rearm(binds);
      must_run(vm, p);
      rows += vm.rows().size();
    }
    report("vm_index_equality_lookup_20_rows", kProbes, seconds_since(start));
    if (rows != static_cast<std::uint64_t>(kProbes) * 20) std::exit(2);
  }

  std::vector<Row> rows = run(pager, count_sum_narrow(root), secs);
  report("vm_scan_count_sum_narrow", kRows, secs);
  rows = run(pager, four_aggregates_narrow(root), secs);
  report("vm_scan_4_aggregates_narrow", kRows, secs);
  rows = run(pager, group_by_mod_narrow(root), secs);
  report("vm_group_by_mod_100_narrow", kRows, secs);

  // u(id, name) with 10,000 rows, probed by row id for every row of t.
  {
    std::uint32_t uroot = BTree::create(pager).value().root();
    BTree ut(pager, uroot);
    AppendHint hint;
    std::string rec;
    std::vector<Value> urow(1);
    for (std::int64_t id = 1; id <= 10000; ++id) {
      std::string name = std::to_string(id);
      urow[0].set_text("n" + std::string(5 - name.size(), '0') + name);
      encode_record_into(rec, urow);
      if (!ut.insert_fast(id, rec, hint).ok()) std::exit(1);
    }
    rows = run(pager, join_probe(root, uroot), secs);
    report("vm_join_probe_by_rowid", kRows, secs);
  }

  {
    Program p = update_range_narrow(root);
    std::vector<Value> binds = {Value::integer(0), Value::integer(0)};
    std::uint64_t updated = 0;
    auto start = std::chrono::steady_clock::now();
    for (std::int64_t r = 0; r < 10; ++r) {
      binds[0].set_int(1 + r * 90000);
      binds[1].set_int(1 + r * 90000 + 20000);
      Vm vm(pager, binds);
      must_run(vm, p);
      updated += vm.changes();
    }
    report("vm_update_range_narrow", updated, seconds_since(start));
  }
}

}  // namespace

int main() {
  char dir_template[] = "/tmp/bkf_vm_bench_XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (!dir) return 1;
  std::string path = std::string(dir) + "/bench.db";
  OsVfs vfs;
  auto created = Pager::create(vfs, path, 4096);
  if (!created.ok()) {
    std::fprintf(stderr, "create failed: %s\n", created.error().to_string().c_str());
    return 1;
  }
  std::unique_ptr<Pager> pager = std::move(created).value();
  if (!pager->begin().ok()) return 1;
  std::uint32_t root = BTree::create(*pager).value().root();

  double secs = 0;
  const std::int64_t loop = 20000000;
  run(*pager, counting_loop(loop), secs);
  report("vm_dispatch_3_ops_loop", static_cast<std::uint64_t>(loop) * 3, secs);

  std::uint64_t changes = 0;
  run(*pager, append_rows(root, kRows), secs, &changes);
  report("vm_insert_append_8_cols", changes, secs);

  std::vector<Row> rows = run(*pager, filtered_count_sum(root), secs);
  report("vm_scan_filter_count_sum", kRows, secs);

  rows = run(*pager, group_by(root), secs);
  report("vm_group_by_1000_groups", kRows, secs);

  rows = run(*pager, wide_scan(root), secs);
  report("vm_scan_read_8_columns", kRows, secs);

  rows = run(*pager, correlated_lookup(root), secs);
  report("vm_correlated_subquery_cached", kRows, secs);

  narrow_workloads(*pager);

  pager->rollback().ok();
  pager.reset();
  std::remove(path.c_str());
  std::remove((path + "-journal").c_str());
  rmdir(dir);
  return 0;
}
