// Hand-assembled programs, for what SQL cannot aim at directly: records
// built over their own sources, the machine's defences against faulty
// programs, the append hint of NewRowid after changes through another slot,
// damaged rows and keys, and the instructions the compiler never emits.
#include <gtest/gtest.h>

#include "btree/keyenc.h"
#include "vm_testing.h"

namespace bkf::vm {
namespace {

using namespace bkf::vm::testing;

Program done(ProgramBuilder& b) {
  auto p = b.finish();
  EXPECT_TRUE(p.ok()) << p.error().to_string();
  return std::move(p).value();
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

// ---- over real B-trees ----

// NewRowid through a slot that appends: the next id follows the last
// insert, and after a delete, a truncation or a rewrite through another slot
// it is taken from the table again.
TEST_F(VmTest, NewRowidFollowsEveryChangeOfTheTable) {
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


// A damaged record or index key is a Corrupt error of the instruction that
// decodes it, never a crash; instructions that do not decode it still work.
TEST_F(VmTest, DamagedRowsAndKeysAreCorruptErrors) {
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
  ASSERT_TRUE(IndexBTree(pager(), index).insert(std::string("\0bc", 3)).ok());
  // IdxRowid, then IdxUniqueGuard, meet the short key: after a seek by the
  // key prefix of a Null, and in the guard of a Null value.
  for (bool guard : {false, true}) {
    ProgramBuilder w;
    auto ic = w.index_cursor();
    auto k = w.regs(2);
    w.emit(Op::open_index(ic, index));
    if (guard) {
      w.emit(Op::idx_unique_guard(ic, k + 1, k, 1, w.unique_spec("i", {root, {0}, std::nullopt})));
    } else {
      w.blob(std::string_view("\0", 1), k);
      w.emit(Op::idx_seek(ic, k, 4));
      w.emit(Op::idx_rowid(ic, k + 1));
    }
    EXPECT_EQ(run(done(w)).error().rfind("corrupt data: ", 0), 0u) << guard;
  }

  // A UNIQUE check that must read the row behind an entry (an integer
  // beyond 2^53 meets an entry of its double) meets the damaged row 1, or
  // finds no row 2 for its entry.
  constexpr std::int64_t big = std::int64_t{1} << 60;
  std::uint32_t unique = new_index();
  for (std::int64_t id : {1, 2}) {
    const std::vector<Value> stored{I(big * id + 1)};
    ASSERT_TRUE(IndexBTree(pager(), unique).insert(keyenc::encode_index_key(stored, id)).ok());
  }
  for (std::int64_t id : {1, 2}) {
    ProgramBuilder w;
    auto ic = w.index_cursor();
    auto k = w.regs(2);
    w.emit(Op::open_index(ic, unique));
    w.emit(Op::integer(big * id, k));
    w.emit(Op::idx_unique_guard(ic, k + 1, k, 1, w.unique_spec("u", {root, {0}, std::nullopt})));
    EXPECT_EQ(run(done(w)).error(), id == 1 ? "corrupt data: record header size exceeds buffer"
                                            : "corrupt data: index entry for missing row 2");
  }
}

// The instructions the statement compiler never emits, each run once: a
// bound key from its values, a UNIQUE insert that conflicts on its second
// key, a walk guarded by a prefix, and a row-id seek with a real or a text
// key.
TEST_F(VmTest, InstructionsOnlyHandWrittenProgramsUse) {
  const std::uint32_t table = new_table();
  for (std::int64_t id : {2, 3, 4}) {
    ASSERT_TRUE(BTree(pager(), table).insert(id, encode_record(std::vector<Value>{I(id * 10)})).ok());
  }
  const std::uint32_t index = new_index();
  std::string bound, padded;
  keyenc::encode_bound_key_into(bound, std::vector<Value>{I(5), T("ab")}, false);
  keyenc::encode_bound_key_into(padded, std::vector<Value>{I(5), T("ab")}, true);
  struct Case {
    const char* what;
    void (*build)(ProgramBuilder& b, std::uint32_t table, std::uint32_t index);
    std::string rows;
    const char* error;
  };
  const Case cases[] = {
      {"MakeBoundKey",
       [](ProgramBuilder& b, std::uint32_t, std::uint32_t) {
         auto r = b.regs(4);
         b.emit(Op::integer(5, r));
         b.str("ab", r + 1);
         b.emit(Op::make_bound_key(r, 2, false, r + 2));
         b.emit(Op::make_bound_key(r, 2, true, r + 3));
         b.emit(Op::result_row(r + 2, 2));
       },
       "(" + value_debug(B(bound)) + ", " + value_debug(B(padded)) + ")", ""},
      {"IdxInsertUnique and IdxPrefixGuard",
       [](ProgramBuilder& b, std::uint32_t table, std::uint32_t index) {
         auto ic = b.index_cursor();
         auto r = b.regs(5);  // value, row id, key, prefix, read row id
         auto spec = b.unique_spec("ix", {table, {0}, std::nullopt});
         b.emit(Op::open_index(ic, index));
         for (std::int64_t id : {1, 2}) {  // keys (7, 1) and (8, 2)
           b.emit(Op::integer(id + 6, r));
           b.emit(Op::integer(id, r + 1));
           b.emit(Op::make_index_key(r, 1, r + 1, r + 2));
           b.emit(Op::idx_insert_unique(ic, r + 2, r, 1, spec));
         }
         b.emit(Op::integer(7, r));
         b.emit(Op::make_index_prefix(r, 1, r + 3));
         auto seek = b.emit(Op::idx_seek(ic, r + 3, 0));
         auto top = b.here();
         auto guard = b.emit(Op::idx_prefix_guard(ic, r + 3, 0));
         b.emit(Op::idx_rowid(ic, r + 4));
         b.emit(Op::result_row(r + 4, 1));
         b.emit(Op::idx_next(ic, top));
         b.patch_here(seek);
         b.patch_here(guard);
         b.emit(Op::integer(3, r + 1));  // (7, 3) conflicts with (7, 1)
         b.emit(Op::make_index_key(r, 1, r + 1, r + 2));
         b.emit(Op::idx_insert_unique(ic, r + 2, r, 1, spec));
       },
       "(Int(1))", "constraint violation: UNIQUE constraint failed: ix"},
      {"SeekRowid with other keys than integers",
       [](ProgramBuilder& b, std::uint32_t table, std::uint32_t) {
         auto cur = b.cursor();
         auto r = b.regs(2);
         b.emit(Op::open_read(cur, table));
         const auto seek = [&](auto load) {
           load();
           auto miss = b.emit(Op::seek_rowid(cur, r, 0));
           b.emit(Op::column(cur, 0, r + 1));
           b.emit(Op::result_row(r + 1, 1));
           b.patch_here(miss);
         };
         seek([&] { b.emit(Op::real(3.0, r)); });
         seek([&] { b.str(" +3 ", r); });
         seek([&] { b.emit(Op::real(3.5, r)); });
         seek([&] { b.str("3x", r); });
         seek([&] { b.emit(Op::null(r)); });
       },
       "(Int(30))(Int(30))", ""},
  };
  for (const Case& c : cases) {
    ProgramBuilder b;
    c.build(b, table, index);
    RunResult res = run(done(b));
    EXPECT_EQ(res.error(), c.error) << c.what;
    EXPECT_EQ(dump(res.rows), c.rows) << c.what;
  }
}

}  // namespace
}  // namespace bkf::vm
