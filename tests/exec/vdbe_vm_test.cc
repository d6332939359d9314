// Hand-assembled programs: records built over their own sources, the
// machine's defences against faulty programs, grouping against a model and
// at scale, and the exactness of the correlated-subquery cache.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "btree/keyenc.h"
#include "vdbe_testing.h"

namespace bkf::vdbe {
namespace {

using namespace bkf::vdbe::testing;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();


Program done(ProgramBuilder& b) {
  auto p = b.finish();
  EXPECT_TRUE(p.ok()) << p.error().to_string();
  return std::move(p).value();
}

// A sub-program with one visible result column.
Program sub_done(ProgramBuilder& b) {
  Program p = done(b);
  p.visible = 1;
  return p;
}

class VmTest : public VmFixture {};

TEST_F(VmTest, RecordsMayBeBuiltOverTheirSources) {
  ProgramBuilder b;
  auto r = b.regs(2);
  b.emit(Op::integer(1, r));
  b.str("a", r + 1);
  b.emit(Op::make_record(r, 2, r + 1));
  b.emit(Op::make_index_prefix(r, 2, r));
  b.emit(Op::result_row(r, 2));
  RunResult res = run(done(b));
  ASSERT_TRUE(res.status.ok()) << res.error();
  ASSERT_EQ(res.rows.size(), 1u);
  std::string prefix;
  Value src[] = {I(1), B(encode_record(std::vector<Value>{I(1), T("a")}))};
  keyenc::encode_key_prefix_into(prefix, src);
  EXPECT_TRUE(res.rows[0][0].identical(B(prefix)));
  EXPECT_TRUE(res.rows[0][1].identical(src[1]));
}

TEST_F(VmTest, FaultyProgramsAreInternalErrors) {
  auto expect_internal = [](const RunResult& r, const char* fragment) {
    ASSERT_FALSE(r.status.ok());
    EXPECT_EQ(r.status.error().kind(), ErrorKind::Exec);
    EXPECT_NE(r.error().find("internal error: "), std::string::npos) << r.error();
    EXPECT_NE(r.error().find(fragment), std::string::npos) << r.error();
  };
  Program bad;  // never validated, and register 5 does not exist
  bad.emit(Op::copy(0, 5));
  expect_internal(run(bad), "invalid program");

  ProgramBuilder b;
  b.cursor();
  b.index_cursor();
  b.emit(Op::rowid(0, 0));
  expect_internal(run(done(b)), "table cursor 0 is not open");
  b.cursor();
  b.index_cursor();
  b.emit(Op::idx_rowid(0, 0));
  expect_internal(run(done(b)), "index cursor 0 is not open");
  b.agg(AggKind::Count);
  b.emit(Op::agg_step(0, 0));
  expect_internal(run(done(b)), "AggStep before any AggStart");
  b.agg(AggKind::Count);
  b.emit(Op::agg_result(0, 0));
  expect_internal(run(done(b)), "AggResult outside");

  Program ok;
  ASSERT_TRUE(ok.validate().ok());
  Vm vm(pager(), {});
  ASSERT_TRUE(vm.run(ok).ok());
  Status again = vm.run(ok);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().to_string(), "execution error: internal error: a machine runs only once");
}

// ---- grouping and aggregates ----

// Feeds (key, value) pairs from the binds into count(*), sum(value) and
// any(key) grouped by key, and emits (key, count, sum, any) per group.
Program group_program(std::size_t pairs, bool grouped) {
  ProgramBuilder b;
  auto count = b.agg(AggKind::CountStar), sum = b.agg(AggKind::Sum), any = b.agg(AggKind::Any);
  auto key = b.reg(), val = b.reg(), out = b.regs(4);
  for (std::uint32_t i = 0; i < pairs; ++i) {
    b.emit(Op::bind(2 * i, key));
    b.emit(Op::bind(2 * i + 1, val));
    b.emit(Op::agg_start(key, grouped ? 1 : 0));
    b.emit(Op::agg_step(count, val));
    b.emit(Op::agg_step(sum, val));
    b.emit(Op::agg_step(any, key));
  }
  auto rewind = b.emit(Op::agg_rewind(0, out, 1, grouped));
  auto top = b.here();
  b.emit(Op::agg_result(count, out + 1));
  b.emit(Op::agg_result(sum, out + 2));
  b.emit(Op::agg_result(any, out + 3));
  b.emit(Op::result_row(out, 4));
  b.emit(Op::agg_next(top, out, 1));
  b.patch_here(rewind);
  return done(b);
}


// Random keys from a pool whose groups and order are known, against a model.
TEST_F(VmTest, GroupingMatchesAModel) {
  struct PoolEntry {
    Value v;
    int group;  // groups are numbered in key order
  };
  const PoolEntry pool[] = {{N(), 0},           {I(kMin), 1},         {I(-5), 2},
                            {R(-0.0), 3},       {I(0), 3},            {R(1.0), 4},
                            {I(1), 4},          {I(9007199254740992), 5}, {I(9007199254740993), 6},
                            {I(kMax), 7},       {T("a"), 8},          {T("a\x01"), 9},
                            {B(std::string("\0", 1)), 10}};
  std::mt19937_64 rng(7);
  for (int round = 0; round < 20; ++round) {
    const std::size_t n = rng() % 60;
    std::vector<Value> binds;
    struct Model {
      std::int64_t count = 0;
      __int128 sum = 0;
      Value first;
    };
    std::map<int, Model> model;
    for (std::size_t i = 0; i < n; ++i) {
      const PoolEntry& e = pool[rng() % std::size(pool)];
      std::int64_t val = static_cast<std::int64_t>(rng() % 2001) - 1000;
      binds.push_back(e.v);
      binds.push_back(I(val));
      Model& m = model[e.group];
      if (m.count++ == 0) m.first = e.v;
      m.sum += val;
    }
    std::vector<Row> want;
    for (auto& [g, m] : model) {
      want.push_back(Row{m.first, I(m.count), I(static_cast<std::int64_t>(m.sum)), m.first});
    }
    EXPECT_EQ(rows_of(group_program(n, true), binds), dump(want)) << "round " << round;
  }
}

// Thousands of groups, met in scattered order: every row lands in its own
// key's group however large the table of groups grows.
TEST_F(VmTest, ManyGroupsFromATableScan) {
  std::uint32_t root = new_table();
  std::map<std::int64_t, std::int64_t> ints;
  std::map<std::string, std::int64_t> texts;
  for (std::int64_t i = 1; i <= 20000; ++i) {
    std::int64_t k = (i * 7919) % 5003;
    if (k % 2 == 0) {
      put(root, i, {I(k)});
      ++ints[k];
    } else {
      std::string t = "t" + std::to_string(k);
      put(root, i, {Value::text(t)});
      ++texts[t];
    }
  }
  ProgramBuilder b;
  auto count = b.agg(AggKind::CountStar);
  auto cur = b.cursor();
  auto key = b.reg(), out = b.regs(2);
  b.emit(Op::open_read(cur, root));
  auto rewind = b.emit(Op::rewind(cur, 0));
  auto top = b.here();
  b.emit(Op::column(cur, 0, key));
  b.emit(Op::agg_start(key, 1));
  b.emit(Op::agg_step(count, key));
  b.emit(Op::next(cur, top));
  b.patch_here(rewind);
  auto end = b.emit(Op::agg_rewind(0, out, 1, true));
  auto loop = b.here();
  b.emit(Op::agg_result(count, out + 1));
  b.emit(Op::result_row(out, 2));
  b.emit(Op::agg_next(loop, out, 1));
  b.patch_here(end);
  std::vector<Row> want;
  for (auto& [k, n] : ints) want.push_back(Row{I(k), I(n)});
  for (auto& [t, n] : texts) want.push_back(Row{Value::text(t), I(n)});
  EXPECT_EQ(rows_of(done(b)), dump(want));
}

// ---- correlated subqueries ----

class SubqueryTest : public VmFixture {
 protected:
  // Scans table t (one column) and emits (x, subquery(x)) per row.
  Program outer(std::uint32_t root, Program sub) {
    ProgramBuilder b;
    auto cur = b.cursor();
    auto s = b.sub(std::move(sub));
    auto out = b.regs(2);
    b.emit(Op::open_read(cur, root));
    auto rewind = b.emit(Op::rewind(cur, 0));
    auto top = b.here();
    b.emit(Op::column(cur, 0, out));
    b.scalar_sub(s, {ParamSrc::col(cur, 0)}, out + 1);
    b.emit(Op::result_row(out, 2));
    b.emit(Op::next(cur, top));
    b.patch_here(rewind);
    return done(b);
  }
  std::uint32_t table(const std::vector<Value>& xs) {
    std::uint32_t root = new_table();
    for (std::size_t i = 0; i < xs.size(); ++i) put(root, static_cast<std::int64_t>(i + 1), {xs[i]});
    return root;
  }
};

TEST_F(SubqueryTest, CacheIsExactAndChildSeesTheBinds) {
  // Sub-program: its parameter, then the statement's first bind.
  ProgramBuilder sb;
  auto r = sb.regs(2);
  sb.emit(Op::param(0, r));
  sb.emit(Op::bind(0, r + 1));
  sb.emit(Op::binop(BinKind::Add, r, r + 1, r));
  sb.emit(Op::result_row(r, 1));
  std::uint32_t t = table({I(1), I(1), R(1.0), I(9007199254740993), I(9007199254740992), I(1), N()});
  RunResult res = run(outer(t, sub_done(sb)), {I(100)});
  ASSERT_TRUE(res.status.ok()) << res.error();
  EXPECT_EQ(dump(res.rows),
            "(Int(1), Int(101))(Int(1), Int(101))(Real(1.0), Real(101.0))"
            "(Int(9007199254740993), Int(9007199254741093))(Int(9007199254740992), Int(9007199254741092))"
            "(Int(1), Int(101))(Null, Null)");
  EXPECT_EQ(res.subquery_runs, 5u);
  EXPECT_EQ(res.subquery_cache_hits, 2u);
}

}  // namespace
}  // namespace bkf::vdbe
