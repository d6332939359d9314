// Hand-assembled programs over real B-trees: table scans and seeks, row
// inserts (append hint), in-place and deferred updates, deletes,
// truncation, index keys, index seeks and range guards, UNIQUE checks and
// the guards that check a row before it is written.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "btree/keyenc.h"
#include "vdbe_testing.h"

namespace bkf::vdbe {
namespace {

using namespace bkf::vdbe::testing;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr double kTwo63 = 9223372036854775808.0;

Program done(ProgramBuilder& b) {
  auto p = b.finish();
  EXPECT_TRUE(p.ok()) << p.error().to_string();
  return std::move(p).value();
}

class TableTest : public VmFixture {
 protected:
  // Emits (row id, column 0, column 1) for every row of the table.
  Program scan(std::uint32_t root) {
    ProgramBuilder b;
    auto cur = b.cursor();
    auto out = b.regs(3);
    b.emit(Op::open_read(cur, root));
    auto rewind = b.emit(Op::rewind(cur, 0));
    auto top = b.here();
    b.emit(Op::rowid(cur, out));
    b.emit(Op::column(cur, 0, out + 1));
    b.emit(Op::column(cur, 1, out + 2));
    b.emit(Op::result_row(out, 3));
    b.emit(Op::next(cur, top));
    b.patch_here(rewind);
    return done(b);
  }
  std::uint32_t numbered(std::int64_t n) {
    std::uint32_t root = new_table();
    for (std::int64_t i = 1; i <= n; ++i) put(root, i, {I(i * 10), T("v")});
    return root;
  }
};

// ---- one machine run again and again ----

// A rearmed machine behaves exactly like a new one: a sequence of programs
// (inserts, lookups, scans, index maintenance, aggregates, a correlated
// subquery, failing runs) gives the same rows, counters, errors and file
// contents when each run gets a new machine as when one machine is rearmed
// for every run, and a slot opened by an earlier run is closed again.
TEST(RearmTest, RearmedMachineActsLikeANewOne) {
  struct Step {
    const Program* program;
    std::vector<Value> binds;
  };
  auto outcomes = [](bool rearm) {
    ::bkf::testing::TempDir dir;
    OsVfs vfs;
    auto pager = std::move(Pager::create(vfs, dir.file("r.db"), 512)).value();
    EXPECT_TRUE(pager->begin().ok());
    std::uint32_t root = BTree::create(*pager).value().root();
    std::uint32_t index = IndexBTree::create(*pager).value().root();

    ProgramBuilder ins;  // INSERT (rowid ?1, value ?2), with a UNIQUE index on the value
    {
      auto cur = ins.cursor();
      auto ic = ins.index_cursor();
      auto r = ins.regs(5);
      ins.emit(Op::open_write(cur, root));
      ins.emit(Op::open_index(ic, index));
      ins.emit(Op::bind(0, r));
      ins.emit(Op::bind(1, r + 1));
      ins.emit(Op::make_index_key(r + 1, 1, r, r + 2));
      ins.emit(Op::make_index_prefix(r + 1, 1, r + 3));
      ins.idx_insert_unique(ic, r + 2, r + 3, "t.v");
      ins.emit(Op::make_record(r + 1, 1, r + 4));
      ins.emit(Op::insert(cur, r + 4, r));
    }
    Program insert = ins.finish().value();
    ProgramBuilder lk;  // SELECT rowid, v, (SELECT count(*) FROM t WHERE rowid <= v) FROM t WHERE rowid = ?1
    {
      ProgramBuilder sb;
      auto c = sb.agg(AggKind::CountStar);
      auto scur = sb.cursor();
      auto sr = sb.regs(4);
      sb.emit(Op::open_read(scur, root));
      sb.emit(Op::param(0, sr));
      auto rw = sb.emit(Op::rewind(scur, 0));
      auto top = sb.here();
      sb.emit(Op::rowid(scur, sr + 1));
      sb.emit(Op::binop(BinKind::Le, sr + 1, sr, sr + 2));
      auto skip = sb.emit(Op::if_false(sr + 2, 0));
      sb.emit(Op::agg_start(0, 0));
      sb.emit(Op::agg_step(c, sr + 1));
      sb.patch_here(skip);
      sb.emit(Op::next(scur, top));
      sb.patch_here(rw);
      sb.emit(Op::agg_rewind(0, 0, 0, false));
      sb.emit(Op::agg_result(c, sr + 3));
      sb.emit(Op::result_row(sr + 3, 1));
      Program sub = sb.finish().value();
      sub.visible = 1;
      auto s = lk.sub(std::move(sub));
      auto cur = lk.cursor();
      auto r = lk.regs(4);
      lk.emit(Op::open_read(cur, root));
      lk.emit(Op::bind(0, r));
      auto miss = lk.emit(Op::seek_rowid(cur, r, 0));
      lk.emit(Op::rowid(cur, r + 1));
      lk.emit(Op::column(cur, 0, r + 2));
      lk.scalar_sub(s, {ParamSrc::col(cur, 0)}, r + 3);
      lk.emit(Op::result_row(r + 1, 3));
      lk.patch_here(miss);
    }
    Program lookup = lk.finish().value();
    ProgramBuilder sc;  // SELECT count(*), sum(v), max(rowid) FROM t
    {
      auto c = sc.agg(AggKind::CountStar), sum = sc.agg(AggKind::Sum), mx = sc.agg(AggKind::Max);
      auto cur = sc.cursor();
      auto r = sc.regs(5);
      sc.emit(Op::open_read(cur, root));
      auto rw = sc.emit(Op::rewind(cur, 0));
      auto top = sc.here();
      sc.emit(Op::column(cur, 0, r));
      sc.emit(Op::rowid(cur, r + 1));
      sc.emit(Op::agg_start(0, 0));
      sc.emit(Op::agg_step(c, r));
      sc.emit(Op::agg_step(sum, r));
      sc.emit(Op::agg_step(mx, r + 1));
      sc.emit(Op::next(cur, top));
      sc.patch_here(rw);
      sc.emit(Op::agg_rewind(0, 0, 0, false));
      for (std::uint32_t k = 0; k < 3; ++k) sc.emit(Op::agg_result(k, r + 2 + k));
      sc.emit(Op::result_row(r + 2, 3));
    }
    Program scan = sc.finish().value();
    ProgramBuilder un;  // reads cursor 0 without opening it
    {
      auto cur = un.cursor();
      auto r = un.reg();
      un.emit(Op::column(cur, 0, r));
      un.emit(Op::result_row(r, 1));
    }
    Program unopened = un.finish().value();

    std::vector<Step> steps;
    for (std::int64_t i = 1; i <= 60; ++i) steps.push_back({&insert, {I(i * 7 % 61), I(i * 3)}});
    steps.push_back({&insert, {I(5), I(9)}});     // UNIQUE failure after the index probe
    steps.push_back({&insert, {T("x"), I(1000)}});  // row id of the wrong type
    steps.push_back({&unopened, {}});
    for (std::int64_t k : {1, 7, 61, 0, 30, 30, 59}) steps.push_back({&lookup, {I(k)}});
    steps.push_back({&scan, {}});
    steps.push_back({&unopened, {}});
    steps.push_back({&insert, {I(100), I(1)}});
    steps.push_back({&scan, {}});

    std::vector<std::string> out;
    Vm kept(*pager, {});
    for (const Step& st : steps) {
      std::unique_ptr<Vm> fresh;
      Vm* vm = &kept;
      if (rearm) {
        kept.rearm(st.binds);
      } else {
        fresh = std::make_unique<Vm>(*pager, st.binds);
        vm = fresh.get();
      }
      Status status = vm->run(*st.program);
      out.push_back((status.ok() ? std::string("ok") : status.error().to_string()) + " " +
                    dump(vm->rows()) + " changes " + std::to_string(vm->changes()) + " last " +
                    std::to_string(vm->last_rowid()) + " subruns " + std::to_string(vm->subquery_runs()));
    }
    std::string contents;
    Cursor c(*pager, root);
    EXPECT_TRUE(c.rewind().ok());
    std::string buf;
    while (auto id = c.next_into(buf).value()) contents += std::to_string(*id) + ":" + buf + ";";
    IndexCursor ic(*pager, index);
    EXPECT_TRUE(ic.seek("").ok());
    while (ic.next_into(buf).value()) contents += buf + ";";
    out.push_back(contents);
    return out;
  };
  std::vector<std::string> fresh = outcomes(false), rearmed = outcomes(true);
  ASSERT_EQ(fresh.size(), rearmed.size());
  for (std::size_t i = 0; i < fresh.size(); ++i) EXPECT_EQ(fresh[i], rearmed[i]) << "step " << i;
  // The unopened cursor is an internal error in both.
  EXPECT_NE(fresh[62].find("is not open"), std::string::npos) << fresh[62];
}

// ---- inserts ----

TEST_F(TableTest, AppendsThroughTheHintAndReplacesExistingRows) {
  std::uint32_t root = new_table();
  const std::int64_t n = 3000;  // several leaves
  ProgramBuilder b;
  auto cur = b.cursor();
  auto i = b.reg(), one = b.reg(), limit = b.reg(), rid = b.reg(), vals = b.regs(2), rec = b.reg(), more = b.reg();
  b.emit(Op::open_write(cur, root));
  b.emit(Op::integer(0, i));
  b.emit(Op::integer(1, one));
  b.emit(Op::integer(n, limit));
  b.str("payload", vals + 1);
  auto top = b.here();
  b.emit(Op::binop(BinKind::Add, i, one, i));
  b.emit(Op::new_rowid(cur, rid));
  b.emit(Op::copy(i, vals));
  b.emit(Op::make_record(vals, 2, rec));
  b.emit(Op::insert(cur, rec, rid));
  b.emit(Op::binop(BinKind::Lt, i, limit, more));
  b.emit(Op::if_true(more, top));
  RunResult r = run(done(b));
  ASSERT_TRUE(r.status.ok()) << r.error();
  EXPECT_EQ(r.changes, static_cast<std::uint64_t>(n));
  EXPECT_EQ(r.last_rowid, n);
  std::vector<Row> rows = table_rows(root);
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(n));
  for (std::int64_t k = 0; k < n; ++k) EXPECT_TRUE(rows[k][1].identical(I(k + 1)));

  // Replacing a row in the middle, then appending again through the same
  // slot and through a second slot on the same table.
  auto c1 = b.cursor(), c2 = b.cursor();
  auto reg = b.regs(3);
  b.emit(Op::open_write(c1, root));
  b.emit(Op::open_write(c2, root));
  b.str("replaced", reg);
  b.emit(Op::make_record(reg, 1, reg + 1));
  const std::int64_t ids[] = {1500, n + 1, n + 2, 7, n + 3};
  for (std::size_t k = 0; k < std::size(ids); ++k) {
    b.emit(Op::integer(ids[k], reg + 2));
    b.emit(Op::insert(k % 2 ? c2 : c1, reg + 1, reg + 2));
  }
  r = run(done(b));
  ASSERT_TRUE(r.status.ok()) << r.error();
  EXPECT_EQ(r.changes, 5u);
  EXPECT_EQ(r.last_rowid, n + 3);
  rows = table_rows(root);
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(n + 3));
  for (std::int64_t id : ids) {
    auto found = BTree(pager(), root).search(id).value();
    ASSERT_TRUE(found.has_value()) << id;
    EXPECT_EQ(*found, encode_record(std::vector<Value>{T("replaced")}));
  }
}

// NewRowid through a slot that appends: the next id follows the last
// insert, and after a delete, a truncation or a rewrite through another slot
// it is taken from the table again.
TEST_F(TableTest, NewRowidFollowsEveryChangeOfTheTable) {
  std::uint32_t root = new_table();
  ProgramBuilder b;
  auto ins = b.cursor(), del = b.cursor();
  auto rec = b.reg(), id = b.reg(), i = b.reg(), one = b.reg(), n = b.reg(), more = b.reg(), key = b.reg();
  b.emit(Op::open_write(ins, root));
  b.emit(Op::open_write(del, root));
  b.str("row", rec);
  b.emit(Op::make_record(rec, 1, rec));
  b.emit(Op::integer(0, i));
  b.emit(Op::integer(1, one));
  b.emit(Op::integer(2000, n));  // several leaves
  auto top = b.here();
  b.emit(Op::new_rowid(ins, id));
  b.emit(Op::insert(ins, rec, id));
  b.emit(Op::binop(BinKind::Add, i, one, i));
  b.emit(Op::binop(BinKind::Lt, i, n, more));
  b.emit(Op::if_true(more, top));
  // Delete row 2000 through the other slot: the next id is 2000 again.
  b.emit(Op::integer(2000, key));
  auto miss = b.emit(Op::seek(del, key, 0));
  b.emit(Op::delete_current(del));
  b.patch_here(miss);
  b.emit(Op::new_rowid(ins, id));
  b.emit(Op::result_row(id, 1));
  b.emit(Op::insert(ins, rec, id));
  b.emit(Op::new_rowid(ins, id));
  b.emit(Op::result_row(id, 1));
  // Cut the table from row 101 on: the next id is 101.
  b.emit(Op::integer(101, key));
  b.emit(Op::truncate_from(del, key));
  b.emit(Op::new_rowid(ins, id));
  b.emit(Op::result_row(id, 1));
  b.emit(Op::insert(ins, rec, id));
  // A row far ahead written through the other slot.
  b.emit(Op::integer(5000, key));
  b.emit(Op::insert(del, rec, key));
  b.emit(Op::new_rowid(ins, id));
  b.emit(Op::result_row(id, 1));
  RunResult r = run(done(b));
  ASSERT_TRUE(r.status.ok()) << r.error();
  EXPECT_EQ(dump(r.rows), "(Int(2000))(Int(2001))(Int(101))(Int(5001))");
}

TEST_F(TableTest, InsertChecksItsOperands) {
  std::uint32_t root = new_table();
  auto attempt = [&](Value rowid, Value record) {
    ProgramBuilder b;
    auto cur = b.cursor();
    auto r = b.regs(2);
    b.emit(Op::open_write(cur, root));
    b.emit(Op::bind(0, r));
    b.emit(Op::bind(1, r + 1));
    b.emit(Op::insert(cur, r + 1, r));
    return run(done(b), {rowid, record}).error();
  };
  EXPECT_EQ(attempt(T("x"), N()), "execution error: expected an integer, found Text(\"x\")");
  EXPECT_EQ(attempt(I(1), N()), "execution error: expected a record blob");
  EXPECT_EQ(attempt(R(3.0), B("\x01")), "execution error: expected an integer, found Real(3.0)");
  EXPECT_TRUE(table_rows(root).empty());
}

TEST_F(TableTest, NewRowidNeverWraps) {
  std::uint32_t root = new_table();
  auto next_id = [&] {
    ProgramBuilder b;
    auto cur = b.cursor();
    auto r = b.reg();
    b.emit(Op::open_read(cur, root));
    b.emit(Op::new_rowid(cur, r));
    b.emit(Op::result_row(r, 1));
    RunResult res = run(done(b));
    return res.status.ok() ? dump(res.rows) : res.error();
  };
  EXPECT_EQ(next_id(), "(Int(1))");
  for (std::int64_t id : {1, 2, 10}) put(root, id, {});
  EXPECT_EQ(next_id(), "(Int(11))");
  put(root, kMax, {});
  EXPECT_EQ(next_id(), "execution error: row id overflow");
}

// ---- reading ----

TEST_F(TableTest, ScansCountsAndShortRecords) {
  std::uint32_t root = new_table();
  EXPECT_EQ(rows_of(scan(root)), "");
  put(root, 2, {I(1)});  // a row written before a second column existed
  put(root, -5, {T("a"), B("b")});
  EXPECT_EQ(rows_of(scan(root)), "(Int(-5), Text(\"a\"), Blob([98]))(Int(2), Int(1), Null)");
  ProgramBuilder b;
  auto cur = b.cursor();
  auto r = b.regs(3);
  b.emit(Op::open_read(cur, root));
  b.emit(Op::count(cur, r));
  b.emit(Op::rewind(cur, 4));
  b.emit(Op::column(cur, 1, r + 1));  // columns read in any order
  b.emit(Op::column(cur, 0, r + 2));
  b.emit(Op::result_row(r, 3));
  EXPECT_EQ(rows_of(done(b)), "(Int(2), Blob([98]), Text(\"a\"))");
}

TEST_F(TableTest, SeekRowidFindsOnlyExactKeys) {
  std::uint32_t root = numbered(5);
  put(root, kMax, {T("max")});
  put(root, kMin, {T("min")});
  // Emits (row id, column 0) of the row found, or (Rowid, Column) of the
  // cursor after a miss, which must both be Null.
  ProgramBuilder b;
  auto cur = b.cursor();
  auto key = b.reg(), out = b.regs(2);
  b.emit(Op::open_read(cur, root));
  b.emit(Op::rewind(cur, 0));  // a current row that a miss must not leave behind
  b.emit(Op::bind(0, key));
  b.emit(Op::seek_rowid(cur, key, 4));  // found or not, go on
  b.emit(Op::rowid(cur, out));
  b.emit(Op::column(cur, 0, out + 1));
  b.emit(Op::result_row(out, 2));
  Program p = done(b);
  struct Case {
    Value key;
    const char* want;
  };
  const Case cases[] = {
      {I(3), "(Int(3), Int(30))"},
      {R(3.0), "(Int(3), Int(30))"},
      {T(" +3 "), "(Int(3), Int(30))"},
      {R(kTwo63), "(Int(9223372036854775807), Text(\"max\"))"},
      {R(-kTwo63), "(Int(-9223372036854775808), Text(\"min\"))"},
      {R(3.5), "(Null, Null)"},
      {R(1e19), "(Null, Null)"},
      {R(NAN), "(Null, Null)"},
      {T("3x"), "(Null, Null)"},
      {T("-"), "(Null, Null)"},
      {T("+"), "(Null, Null)"},
      {T("9223372036854775808"), "(Null, Null)"},
      {N(), "(Null, Null)"},
      {B("\x03"), "(Null, Null)"},
      {I(6), "(Null, Null)"},
  };
  for (const Case& c : cases) EXPECT_EQ(rows_of(p, {c.key}), c.want) << value_debug(c.key);
}

TEST_F(TableTest, SeekStartsAtTheCeilingOrAtTheFirstRow) {
  std::uint32_t root = numbered(5);
  put(root, kMax, {});
  put(root, kMin, {});
  ProgramBuilder b;
  auto cur = b.cursor();
  auto key = b.reg(), out = b.reg();
  b.emit(Op::open_read(cur, root));
  b.emit(Op::bind(0, key));
  auto seek = b.emit(Op::seek(cur, key, 0));
  b.emit(Op::rowid(cur, out));
  b.emit(Op::result_row(out, 1));
  b.patch_here(seek);
  Program p = done(b);
  struct Case {
    Value key;
    const char* want;
  };
  const Case cases[] = {
      {I(3), "(Int(3))"},
      {R(2.5), "(Int(3))"},
      {R(-2.5), "(Int(1))"},
      {R(1e300), "(Int(9223372036854775807))"},
      {R(-1e300), "(Int(-9223372036854775808))"},
      {R(INFINITY), "(Int(-9223372036854775808))"},
      {R(NAN), "(Int(-9223372036854775808))"},
      {T("4"), "(Int(-9223372036854775808))"},
      {N(), "(Int(-9223372036854775808))"},
  };
  for (const Case& c : cases) EXPECT_EQ(rows_of(p, {c.key}), c.want) << value_debug(c.key);
  ASSERT_TRUE(BTree(pager(), root).remove(kMax).value());
  EXPECT_EQ(rows_of(p, {I(6)}), "");
}

TEST_F(TableTest, NullRowAndRowIdWithoutItsRow) {
  std::uint32_t root = numbered(3);
  ProgramBuilder b;
  auto cur = b.cursor();
  auto out = b.regs(2);
  b.emit(Op::open_read(cur, root));
  b.emit(Op::rewind(cur, 0));
  b.emit(Op::null_row(cur));
  b.emit(Op::rowid(cur, out));
  b.emit(Op::column(cur, 0, out + 1));
  b.emit(Op::result_row(out, 2));
  b.emit(Op::next(cur, 0));  // falls through once without reading
  b.emit(Op::next(cur, 9));  // reads row 2 and jumps
  b.emit(Op::halt());
  b.emit(Op::rowid(cur, out));  // 9
  b.emit(Op::column(cur, 0, out + 1));
  b.emit(Op::result_row(out, 2));
  b.emit(Op::integer(7, out));
  b.emit(Op::cursor_set_rowid(cur, out));
  b.emit(Op::rowid(cur, out));
  b.emit(Op::column(cur, 0, out + 1));  // the row itself was not read
  b.emit(Op::result_row(out, 2));
  EXPECT_EQ(rows_of(done(b)), "(Null, Null)(Int(2), Int(20))(Int(7), Null)");
}

// A damaged record or index key is a Corrupt error of the instruction that
// decodes it, never a crash; instructions that do not decode it still work.
TEST_F(TableTest, DamagedRowsAndKeysAreCorruptErrors) {
  std::uint32_t root = new_table();
  ASSERT_TRUE(BTree(pager(), root).insert(1, std::string("\x05\x01", 2)).ok());
  ProgramBuilder b;
  auto cur = b.cursor();
  auto r = b.regs(2);
  b.emit(Op::open_write(cur, root));
  b.emit(Op::rewind(cur, 7));
  b.emit(Op::rowid(cur, r));
  b.emit(Op::result_row(r, 1));
  b.emit(Op::bind(0, r + 1));
  auto column = b.emit(Op::if_false(r + 1, 0));
  b.make_updated_record(cur, r, {true}, r);
  b.patch_here(column);
  b.emit(Op::column(cur, 0, r));
  Program p = done(b);
  RunResult res = run(p, {I(0)});
  EXPECT_EQ(dump(res.rows), "(Int(1))");
  EXPECT_EQ(res.error(), "corrupt data: record header size exceeds buffer");
  EXPECT_EQ(run(p, {I(1)}).error(), "corrupt data: record header size exceeds buffer");

  std::uint32_t index = new_index();
  ASSERT_TRUE(IndexBTree(pager(), index).insert("abc").ok());
  // Binds: the probe prefix. IdxRowid, then IdxUniqueGuard, meet the short key.
  for (bool guard : {false, true}) {
    ProgramBuilder w;
    auto ic = w.index_cursor();
    auto k = w.regs(2);
    w.emit(Op::open_index(ic, index));
    w.blob("a", k);
    if (guard) {
      w.idx_unique_guard(ic, k, k + 1, "i");
    } else {
      w.emit(Op::idx_seek(ic, k, 4));
      w.emit(Op::idx_rowid(ic, k + 1));
    }
    EXPECT_EQ(run(done(w)).error().rfind("corrupt data: ", 0), 0u) << guard;
  }
}

// ---- row changes ----

TEST_F(TableTest, DeletesDuringAScan) {
  std::uint32_t root = numbered(2000);
  ProgramBuilder b;
  auto cur = b.cursor();
  auto r = b.regs(4);
  b.emit(Op::open_write(cur, root));
  b.emit(Op::integer(2, r + 1));
  b.emit(Op::integer(0, r + 3));
  auto rewind = b.emit(Op::rewind(cur, 0));
  auto top = b.here();
  b.emit(Op::rowid(cur, r));
  b.emit(Op::binop(BinKind::Mod, r, r + 1, r + 2));
  auto keep = b.emit(Op::if_true(r + 2, 0));  // odd: keep
  b.emit(Op::delete_current(cur));
  b.patch_here(keep);
  b.emit(Op::next(cur, top));
  b.patch_here(rewind);
  RunResult res = run(done(b));
  ASSERT_TRUE(res.status.ok()) << res.error();
  EXPECT_EQ(res.changes, 1000u);
  std::vector<Row> rows = table_rows(root);
  ASSERT_EQ(rows.size(), 1000u);
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i][0].int_value(), static_cast<std::int64_t>(2 * i + 1));

  b.cursor();
  b.emit(Op::open_write(0, root));
  b.emit(Op::rewind(0, 4));
  b.emit(Op::delete_current(0));
  b.emit(Op::delete_current(0));  // no row read since the first delete
  EXPECT_NE(run(done(b)).error().find("internal error: DeleteCurrent without a row"), std::string::npos);
}

TEST_F(TableTest, TruncateFromRemovesTheTailAndStopsScans) {
  std::uint32_t root = numbered(2000);
  auto truncate = [&](Value key) {
    ProgramBuilder b;
    auto scan_cur = b.cursor(), cur = b.cursor();
    auto r = b.regs(2);
    b.emit(Op::open_read(scan_cur, root));
    b.emit(Op::open_write(cur, root));
    b.emit(Op::rewind(scan_cur, 0));
    b.emit(Op::bind(0, r));
    b.emit(Op::truncate_from(cur, r));
    b.emit(Op::next(scan_cur, 7));  // the scan's pages may be gone: it ends
    b.emit(Op::halt());
    b.emit(Op::rowid(scan_cur, r + 1));
    b.emit(Op::result_row(r + 1, 1));
    return run(done(b), {key});
  };
  RunResult res = truncate(I(5));
  ASSERT_TRUE(res.status.ok()) << res.error();
  EXPECT_EQ(res.changes, 1996u);
  EXPECT_EQ(dump(res.rows), "");
  EXPECT_EQ(table_rows(root).size(), 4u);
  EXPECT_EQ(truncate(R(1.0)).error(), "execution error: expected an integer, found Real(1.0)");
  res = truncate(I(kMin));
  EXPECT_EQ(res.changes, 4u);
  EXPECT_TRUE(table_rows(root).empty());
}

TEST_F(TableTest, UpdatesInPlaceOrAfterTheScan) {
  std::uint32_t root = new_table();
  for (std::int64_t i = 1; i <= 400; ++i) put(root, i, {I(i), T("aaaa")});
  // Odd rows get a text of the same length (rewritten in place), even rows
  // a longer one (deferred); column 0 is kept from the old record.
  auto update = [&](bool apply) {
    ProgramBuilder b;
    auto cur = b.cursor();
    auto r = b.regs(5);
    b.emit(Op::open_write(cur, root));
    b.emit(Op::integer(2, r + 3));
    auto rewind = b.emit(Op::rewind(cur, 0));
    auto top = b.here();
    b.emit(Op::rowid(cur, r));
    b.emit(Op::binop(BinKind::Mod, r, r + 3, r + 4));
    b.str("bbbb", r + 2);
    auto odd = b.emit(Op::if_true(r + 4, 0));
    b.str("cccccccccccc", r + 2);
    b.patch_here(odd);
    b.make_updated_record(cur, r + 1, {true, false}, r);
    b.emit(Op::update_current(cur, r));
    b.emit(Op::next(cur, top));
    b.patch_here(rewind);
    if (apply) b.emit(Op::apply_deferred(cur));
    return run(done(b));
  };
  RunResult res = update(false);
  ASSERT_TRUE(res.status.ok()) << res.error();
  EXPECT_EQ(res.changes, 200u);  // deferred rows are not counted until written
  std::vector<Row> rows = table_rows(root);
  EXPECT_EQ(dump({rows[0], rows[1]}), "(Int(1), Int(1), Text(\"bbbb\"))(Int(2), Int(2), Text(\"aaaa\"))");

  res = update(true);
  ASSERT_TRUE(res.status.ok()) << res.error();
  EXPECT_EQ(res.changes, 400u);
  rows = table_rows(root);
  ASSERT_EQ(rows.size(), 400u);
  EXPECT_EQ(dump({rows[0], rows[1], rows[399]}),
            "(Int(1), Int(1), Text(\"bbbb\"))(Int(2), Int(2), Text(\"cccccccccccc\"))"
            "(Int(400), Int(400), Text(\"cccccccccccc\"))");
}

TEST_F(TableTest, RowIdProbesLeaveTheScanAlone) {
  std::uint32_t root = numbered(5);
  ProgramBuilder b;
  auto cur = b.cursor();
  auto r = b.regs(4);
  b.emit(Op::open_read(cur, root));
  b.emit(Op::bind(0, r + 2));
  auto rewind = b.emit(Op::rewind(cur, 0));
  auto top = b.here();
  b.emit(Op::rowid(cur, r));
  b.emit(Op::integer(0, r + 1));
  auto probe = b.emit(Op::rowid_exists_jump(cur, r + 2, 0));
  auto skip = b.emit(Op::goto_(0));
  b.patch_here(probe);
  b.emit(Op::integer(1, r + 1));
  b.patch_here(skip);
  b.emit(Op::column(cur, 0, r + 3));
  b.emit(Op::result_row(r, 2));
  b.emit(Op::next(cur, top));
  b.patch_here(rewind);
  Program p = done(b);
  EXPECT_EQ(rows_of(p, {I(3)}), "(Int(1), Int(1))(Int(2), Int(1))(Int(3), Int(1))(Int(4), Int(1))(Int(5), Int(1))");
  for (Value v : {I(99), N(), T("3"), R(3.0)}) {
    EXPECT_EQ(rows_of(p, {v}), "(Int(1), Int(0))(Int(2), Int(0))(Int(3), Int(0))(Int(4), Int(0))(Int(5), Int(0))");
  }
}

// A plain INSERT naming an existing row id fails before anything is written.
TEST_F(TableTest, RowidGuardChecksBeforeTheWrite) {
  std::uint32_t root = numbered(3);
  ProgramBuilder b;
  auto cur = b.cursor();
  auto r = b.regs(2);
  b.emit(Op::open_write(cur, root));
  b.emit(Op::bind(0, r));
  b.rowid_guard(cur, r, "t.id");
  b.str("new", r + 1);
  b.emit(Op::make_record(r + 1, 1, r + 1));
  b.emit(Op::insert(cur, r + 1, r));
  Program p = done(b);
  RunResult res = run(p, {I(2)});
  EXPECT_EQ(res.error(), "constraint violation: UNIQUE constraint failed: t.id");
  EXPECT_EQ(res.changes, 0u);
  EXPECT_EQ(dump(table_rows(root)),
            "(Int(1), Int(10), Text(\"v\"))(Int(2), Int(20), Text(\"v\"))(Int(3), Int(30), Text(\"v\"))");
  res = run(p, {I(4)});
  EXPECT_TRUE(res.status.ok()) << res.error();
  EXPECT_EQ(res.last_rowid, 4);
  // A key that is no integer passes the guard; Insert reports it.
  EXPECT_EQ(run(p, {T("2")}).error(), "execution error: expected an integer, found Text(\"2\")");
}

// ---- indexes ----

class IndexTest : public TableTest {
 protected:
  void add_key(std::uint32_t index, std::vector<Value> values, std::int64_t rowid) {
    ASSERT_TRUE(IndexBTree(pager(), index).insert(keyenc::encode_index_key(values, rowid)).ok());
  }
};

TEST_F(IndexTest, KeysPrefixesAndMaintenance) {
  std::uint32_t index = new_index();
  // Binds: value, row id. Inserts the key twice, deletes a missing key,
  // then inserts under a UNIQUE check.
  ProgramBuilder b;
  auto cur = b.index_cursor();
  auto r = b.regs(4);
  b.emit(Op::open_index(cur, index));
  b.emit(Op::bind(0, r));
  b.emit(Op::bind(1, r + 1));
  b.emit(Op::make_index_key(r, 1, r + 1, r + 2));
  b.emit(Op::make_index_prefix(r, 1, r + 3));
  b.idx_insert_unique(cur, r + 2, r + 3, "t__a__unique");
  b.emit(Op::idx_insert(cur, r + 2));
  b.emit(Op::integer(999, r + 1));
  b.emit(Op::make_index_key(r, 1, r + 1, r + 2));
  b.emit(Op::idx_delete(cur, r + 2));
  Program p = done(b);
  const char* unique = "constraint violation: UNIQUE constraint failed: t__a__unique";
  EXPECT_TRUE(run(p, {N(), I(1)}).status.ok());
  EXPECT_EQ(run(p, {N(), I(2)}).error(), unique);  // Null takes part like any value
  EXPECT_TRUE(run(p, {I(1), I(3)}).status.ok());
  EXPECT_EQ(run(p, {R(1.0), I(4)}).error(), unique);
  EXPECT_TRUE(run(p, {T("1"), I(5)}).status.ok());
  EXPECT_EQ(run(p, {I(1), R(3.0)}).error(), "execution error: expected an integer, found Real(3.0)");
  std::vector<std::string> want = {keyenc::encode_index_key(std::vector<Value>{N()}, 1),
                                   keyenc::encode_index_key(std::vector<Value>{I(1)}, 3),
                                   keyenc::encode_index_key(std::vector<Value>{T("1")}, 5)};
  EXPECT_EQ(index_keys(index), want);

  ProgramBuilder w;
  auto c = w.index_cursor();
  auto reg = w.reg();
  w.emit(Op::open_index(c, index));
  w.emit(Op::integer(1, reg));
  w.emit(Op::idx_insert(c, reg));
  EXPECT_EQ(run(done(w)).error(), "execution error: expected a record blob");
}

TEST_F(IndexTest, ConflictJumpAndUniqueGuardIgnoreTheRowItself) {
  std::uint32_t index = new_index();
  add_key(index, {I(1)}, 1);
  add_key(index, {I(2)}, 2);
  // Binds: value, row id. Emits 1 when IdxConflictJump jumps.
  ProgramBuilder b;
  auto cur = b.index_cursor();
  auto r = b.regs(4);
  b.emit(Op::open_index(cur, index));
  b.emit(Op::bind(0, r));
  b.emit(Op::bind(1, r + 1));
  b.emit(Op::make_index_prefix(r, 1, r + 2));
  b.emit(Op::integer(0, r + 3));
  auto j = b.emit(Op::idx_conflict_jump(cur, r + 2, 0));
  auto skip = b.emit(Op::goto_(0));
  b.patch_here(j);
  b.emit(Op::integer(1, r + 3));
  b.patch_here(skip);
  b.emit(Op::result_row(r + 3, 1));
  b.idx_unique_guard(cur, r + 2, r + 1, "t__a__unique");
  Program p = done(b);
  const char* unique = "constraint violation: UNIQUE constraint failed: t__a__unique";
  EXPECT_EQ(rows_of(p, {I(1), I(1)}), "(Int(1))");  // the row keeps its own value
  EXPECT_EQ(run(p, {I(1), I(2)}).error(), unique);
  EXPECT_EQ(run(p, {R(2.0), N()}).error(), unique);  // no row of its own
  EXPECT_EQ(rows_of(p, {I(3), N()}), "(Int(0))");
  EXPECT_EQ(run(p, {I(1), T("1")}).error(), "execution error: expected an integer, found Text(\"1\")");
}

TEST_F(IndexTest, KeyGuardEnforcesTheSizeLimit) {
  std::uint32_t index = new_index();
  ProgramBuilder b;
  auto cur = b.index_cursor();
  auto r = b.reg();
  b.emit(Op::open_index(cur, index));
  b.emit(Op::bind(0, r));
  b.emit(Op::idx_key_guard(cur, r));
  Program p = done(b);
  EXPECT_TRUE(run(p, {B(std::string(2034, 'k'))}).status.ok());
  EXPECT_EQ(run(p, {B(std::string(2035, 'k'))}).error(), "execution error: index key too large (2035 bytes)");
  EXPECT_EQ(run(p, {T("k")}).error(), "execution error: expected a record blob");
  EXPECT_TRUE(index_keys(index).empty());
}

// Emits the row ids an index walk visits: seek to the lower bound (or the
// equality prefix), then test every entry with the guard.
class IndexScanTest : public IndexTest {
 protected:
  Program walk(std::uint32_t index, bool equality, bool lower_pad, bool upper_pad) {
    ProgramBuilder b;
    auto cur = b.index_cursor();
    auto r = b.regs(4);
    b.emit(Op::open_index(cur, index));
    b.emit(Op::bind(0, r));
    b.emit(Op::bind(1, r + 1));
    if (equality) b.emit(Op::make_index_prefix(r, 1, r + 2));
    else b.emit(Op::make_bound_key(r, 1, lower_pad, r + 2));
    b.emit(Op::make_bound_key(r + 1, 1, upper_pad, r + 3));
    auto seek = b.emit(Op::idx_seek(cur, r + 2, 0));
    auto top = b.here();
    auto guard = equality ? b.emit(Op::idx_prefix_guard(cur, r + 2, 0)) : b.emit(Op::idx_range_guard(cur, r + 3, 0));
    b.emit(Op::idx_rowid(cur, r));
    b.emit(Op::result_row(r, 1));
    b.emit(Op::idx_next(cur, top));
    b.patch_here(seek);
    b.patch_here(guard);
    return done(b);
  }
};

TEST_F(IndexScanTest, EqualityWalk) {
  std::uint32_t index = new_index();
  EXPECT_EQ(rows_of(walk(index, true, false, false), {I(2), N()}), "");  // empty index
  const Value values[] = {I(2), I(1), R(2.0), T("2"), I(3), N()};
  for (std::size_t i = 0; i < std::size(values); ++i) add_key(index, {values[i]}, static_cast<std::int64_t>(i + 1));
  EXPECT_EQ(rows_of(walk(index, true, false, false), {I(2), N()}), "(Int(1))(Int(3))");
  EXPECT_EQ(rows_of(walk(index, true, false, false), {T("2"), N()}), "(Int(4))");
  EXPECT_EQ(rows_of(walk(index, true, false, false), {N(), N()}), "(Int(6))");
  EXPECT_EQ(rows_of(walk(index, true, false, false), {I(4), N()}), "");
}

TEST_F(IndexScanTest, RangeBoundsKeepTheLargestRowId) {
  std::uint32_t index = new_index();
  add_key(index, {I(4)}, 3);
  add_key(index, {I(5)}, kMin);
  add_key(index, {I(5)}, 1);
  add_key(index, {I(5)}, kMax);
  add_key(index, {I(6)}, 2);
  // lower 4 inclusive (unpadded); upper 5 inclusive (padded) or exclusive.
  EXPECT_EQ(rows_of(walk(index, false, false, true), {I(4), I(5)}),
            "(Int(3))(Int(-9223372036854775808))(Int(1))(Int(9223372036854775807))");
  EXPECT_EQ(rows_of(walk(index, false, false, false), {I(4), I(5)}), "(Int(3))");
  // lower 5 exclusive (padded) skips every entry of 5, the row id INT64_MAX too.
  EXPECT_EQ(rows_of(walk(index, false, true, true), {I(5), I(6)}), "(Int(2))");
  EXPECT_EQ(rows_of(walk(index, false, false, true), {I(5), I(6)}),
            "(Int(-9223372036854775808))(Int(1))(Int(9223372036854775807))(Int(2))");
  EXPECT_EQ(rows_of(walk(index, false, true, true), {I(6), I(9)}), "");
}

TEST_F(IndexScanTest, GuardsAfterAnExhaustedWalkFail) {
  std::uint32_t index = new_index();
  add_key(index, {I(1)}, 1);
  ProgramBuilder b;
  auto cur = b.index_cursor();
  auto r = b.regs(2);
  b.emit(Op::open_index(cur, index));
  b.emit(Op::integer(1, r));
  b.emit(Op::make_index_prefix(r, 1, r + 1));
  b.emit(Op::idx_seek(cur, r + 1, 9));
  b.emit(Op::idx_next(cur, 9));              // no second key: falls through
  b.emit(Op::idx_prefix_guard(cur, r + 1, 8));  // not valid: jumps
  b.emit(Op::result_row(r, 1));
  b.emit(Op::halt());
  b.emit(Op::idx_rowid(cur, r));  // 8: no key, so Null
  b.emit(Op::result_row(r, 1));
  EXPECT_EQ(rows_of(done(b)), "(Null)");
}

}  // namespace
}  // namespace bkf::vdbe
