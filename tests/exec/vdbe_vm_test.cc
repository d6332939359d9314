// Hand-assembled programs: control flow, registers and expressions,
// grouping and aggregates, correlated subqueries, the spool, and the
// machine's defences against faulty programs.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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

// ---- control flow and registers ----

TEST_F(VmTest, ConditionalJumpsFollowTruth) {
  // Row per value: (IfTrue jumped, IfFalse jumped).
  ProgramBuilder b;
  auto v = b.reg(), yes = b.reg(), no = b.reg(), out1 = b.reg(), out2 = b.reg();
  b.emit(Op::integer(1, yes));
  b.emit(Op::integer(0, no));
  const std::vector<Value> values = {N(),       B("\x01"), T("abc"), T(" 2x"), R(NAN), R(-0.0),
                                     I(0),      I(5),      T("0.0"), R(0.5),   T("")};
  for (std::uint32_t i = 0; i < values.size(); ++i) {
    b.emit(Op::bind(i, v));
    b.emit(Op::copy(no, out1));
    b.emit(Op::copy(no, out2));
    auto t = b.emit(Op::if_true(v, 0));
    auto skip_t = b.emit(Op::goto_(0));
    b.patch_here(t);
    b.emit(Op::copy(yes, out1));
    b.patch_here(skip_t);
    auto f = b.emit(Op::if_false(v, 0));
    auto skip_f = b.emit(Op::goto_(0));
    b.patch_here(f);
    b.emit(Op::copy(yes, out2));
    b.patch_here(skip_f);
    b.emit(Op::result_row(out1, 2));
  }
  EXPECT_EQ(rows_of(done(b), values),
            "(Int(0), Int(1))(Int(0), Int(1))(Int(0), Int(1))(Int(1), Int(0))(Int(1), Int(0))(Int(0), Int(1))"
            "(Int(0), Int(1))(Int(1), Int(0))(Int(0), Int(1))(Int(1), Int(0))(Int(0), Int(1))");
}

TEST_F(VmTest, RunEndsAtHaltJumpToEndOrLastInstruction) {
  Program empty;
  ASSERT_TRUE(empty.validate().ok());
  EXPECT_EQ(rows_of(empty), "");

  ProgramBuilder b;  // no register allocated: register 0 still exists
  b.emit(Op::integer(7, 0));
  b.emit(Op::result_row(0, 1));
  EXPECT_EQ(rows_of(done(b)), "(Int(7))");

  b.emit(Op::goto_(2));
  b.emit(Op::result_row(0, 1));
  EXPECT_EQ(rows_of(done(b)), "");

  b.emit(Op::result_row(0, 1));
  b.emit(Op::halt());
  b.emit(Op::result_row(0, 1));
  EXPECT_EQ(rows_of(done(b)), "(Null)");
}

TEST_F(VmTest, RegistersAndExpressions) {
  ProgramBuilder b;
  auto r = b.regs(8);
  b.emit(Op::bind(0, r));       // 5
  b.emit(Op::bind(9, r + 1));   // past the binds: Null
  b.emit(Op::param(0, r + 2));  // a top-level program has no parameters: Null
  b.emit(Op::copy(r, r));
  b.emit(Op::binop(BinKind::Add, r, r, r));  // the destination may be an operand: 10
  b.emit(Op::integer(kMin, r + 3));
  b.emit(Op::un(UnKind::Neg, r + 3, r + 3));  // Real 2^63
  b.str(" 42 ", r + 4);
  b.emit(Op::affinity(r + 4, false));
  b.str("x", r + 5);
  b.func(ScalarKind::Concat, {r + 5, r, r + 5}, r + 6);  // arguments not in a row
  b.emit(Op::is_null(r + 1, false, r + 7));
  b.emit(Op::result_row(r, 8));
  EXPECT_EQ(rows_of(done(b), {I(5)}),
            "(Int(10), Null, Null, Real(9.223372036854776e18), Int(42), Text(\"x\"), Text(\"x10x\"), Int(1))");
}

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

TEST_F(VmTest, GroupsComeOutInExactKeyOrder) {
  const std::vector<Value> pairs = {I(3),    I(1), N(),    I(1),  I(1),     I(kMax), R(-0.0),  I(1),
                                    I(3),    I(2), R(1.0), I(1),  R(0.0),   I(1),    T("a"),   I(1),
                                    I(9007199254740993), I(1), I(9007199254740992), I(1), I(2), I(-2),
                                    I(1),    I(-3)};
  EXPECT_EQ(rows_of(group_program(pairs.size() / 2, true), pairs),
            "(Null, Int(1), Int(1), Null)"
            "(Real(-0.0), Int(2), Int(2), Real(-0.0))"
            "(Int(1), Int(3), Int(9223372036854775805), Int(1))"  // the sum passes 2^63 on the way
            "(Int(2), Int(1), Int(-2), Int(2))"
            "(Int(3), Int(2), Int(3), Int(3))"
            "(Int(9007199254740992), Int(1), Int(1), Int(9007199254740992))"
            "(Int(9007199254740993), Int(1), Int(1), Int(9007199254740993))"
            "(Text(\"a\"), Int(1), Int(1), Text(\"a\"))");
}

TEST_F(VmTest, EmptyInputGivesOneRowOnlyWithoutGroupBy) {
  EXPECT_EQ(rows_of(group_program(0, false)), "(Null, Int(0), Null, Null)");
  EXPECT_EQ(rows_of(group_program(0, true)), "");
  EXPECT_EQ(rows_of(group_program(2, false), {I(1), I(5), I(2), I(6)}), "(Null, Int(2), Int(11), Int(1))");
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

TEST_F(SubqueryTest, ChildAppliesItsOwnOrderDistinctOffsetAndLimit) {
  // The child emits (v, key) for v = 3, 1, 2, 1 with ORDER BY key.
  auto child = [](std::vector<bool> desc, bool distinct, std::optional<std::int64_t> offset,
                  std::optional<std::int64_t> limit, int rows = 4) {
    ProgramBuilder b;
    auto r = b.regs(2);
    const std::int64_t vs[] = {3, 1, 2, 1};
    for (int i = 0; i < rows; ++i) {
      b.emit(Op::integer(vs[i], r));
      b.emit(Op::param(0, r + 1));
      b.emit(Op::binop(BinKind::Mul, r, r + 1, r + 1));  // key = v * param
      b.emit(Op::result_row(r, 2));
    }
    Program p = sub_done(b);
    p.order_desc = std::move(desc);
    p.distinct = distinct;
    p.offset = offset;
    p.limit = limit;
    EXPECT_TRUE(p.validate().ok());
    return p;
  };
  std::uint32_t t = table({I(1), I(-1)});
  struct Case {
    Program sub;
    const char* want;
  };
  Case cases[] = {
      {child({}, false, {}, {}), "(Int(1), Int(3))(Int(-1), Int(3))"},
      {child({false}, false, {}, {}), "(Int(1), Int(1))(Int(-1), Int(3))"},
      {child({true}, false, {}, {}), "(Int(1), Int(3))(Int(-1), Int(1))"},
      {child({false}, false, 1, 1), "(Int(1), Int(1))(Int(-1), Int(2))"},
      {child({false}, true, 1, {}), "(Int(1), Int(2))(Int(-1), Int(2))"},
      {child({}, false, 2, {}), "(Int(1), Int(2))(Int(-1), Int(2))"},
      {child({}, false, {}, 0), "(Int(1), Null)(Int(-1), Null)"},
      {child({}, false, 9, {}), "(Int(1), Null)(Int(-1), Null)"},
      {child({}, false, {}, {}, 0), "(Int(1), Null)(Int(-1), Null)"},
  };
  for (Case& c : cases) EXPECT_EQ(rows_of(outer(t, std::move(c.sub))), c.want);
}

TEST_F(SubqueryTest, NestedSubProgramsPassParametersOn) {
  // grandchild: param 0 * 10; child: grandchild(param 0) + 1.
  ProgramBuilder gb;
  auto g = gb.regs(2);
  gb.emit(Op::param(0, g));
  gb.emit(Op::integer(10, g + 1));
  gb.emit(Op::binop(BinKind::Mul, g, g + 1, g));
  gb.emit(Op::result_row(g, 1));
  ProgramBuilder cb;
  auto gs = cb.sub(sub_done(gb));
  auto c = cb.regs(2);
  cb.scalar_sub(gs, {ParamSrc::param(0)}, c);
  cb.emit(Op::integer(1, c + 1));
  cb.emit(Op::binop(BinKind::Add, c, c + 1, c));
  cb.emit(Op::result_row(c, 1));
  std::uint32_t t = table({I(4), I(5)});
  EXPECT_EQ(rows_of(outer(t, sub_done(cb))), "(Int(4), Int(41))(Int(5), Int(51))");
}

TEST_F(SubqueryTest, ChildErrorsPassThrough) {
  ProgramBuilder sb;
  auto r = sb.reg();
  sb.not_null_guard(r, "inner.c");
  std::uint32_t t = table({I(1)});
  RunResult res = run(outer(t, done(sb)));
  EXPECT_EQ(res.error(), "constraint violation: NOT NULL constraint failed: inner.c");
}

// ---- spool ----

TEST_F(VmTest, SpoolReplaysRowsInOrder) {
  ProgramBuilder b;
  auto r = b.regs(2), out = b.regs(3);
  for (int i = 1; i <= 3; ++i) {
    b.emit(Op::integer(i, r));
    b.emit(Op::integer(i * i, r + 1));
    b.emit(Op::spool_row(r, i == 2 ? 1 : 2));  // rows may differ in width
  }
  auto rewind = b.emit(Op::spool_rewind(0, out, 3));
  auto top = b.here();
  b.emit(Op::result_row(out, 3));
  b.emit(Op::spool_next(top, out, 3));
  b.patch_here(rewind);
  EXPECT_EQ(rows_of(done(b)), "(Int(1), Int(1), Null)(Int(2), Null, Null)(Int(3), Int(9), Null)");

  out = b.reg();
  auto empty = b.emit(Op::spool_rewind(0, out, 1));
  b.emit(Op::result_row(out, 1));
  b.patch_here(empty);
  EXPECT_EQ(rows_of(done(b)), "");
}

}  // namespace
}  // namespace bkf::vdbe
