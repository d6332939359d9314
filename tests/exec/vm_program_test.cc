// Program validation: every operand class out of range is refused, edge
// values pass, and a program changed after validation must be checked again.
#include <gtest/gtest.h>

#include <string>

#include "exec/vm/builder.h"
#include "exec/vm/program.h"

namespace bkf::vm {
namespace {

// One program per operand class, each with exactly one fault.
TEST(ProgramValidate, RejectsEveryOutOfRangeOperand) {
  auto base = [] {
    Program p;
    p.nregs = 4;
    p.ncursors = 1;
    p.nindex_cursors = 1;
    p.agg_specs.push_back({false, AggKind::Count});
    p.add_string("x");
    return p;
  };
  struct Case {
    const char* what;  // a fragment of the expected message
    void (*build)(Program&);
  };
  const Case bad_cases[] = {
      {"dest is not a register", [](Program& p) { p.emit(Op::copy(0, 4)); }},
      {"start run passes", [](Program& p) { p.emit(Op::result_row(2, 3)); }},
      {"not a table-cursor slot", [](Program& p) { p.emit(Op::rowid(1, 0)); }},
      {"not an index-cursor slot", [](Program& p) { p.emit(Op::idx_rowid(1, 0)); }},
      {"past the end of the program", [](Program& p) { p.emit(Op::goto_(2)); }},
      {"v is not a string", [](Program& p) { p.emit(Op::str(1, 0)); }},
      {"args is not a register list", [](Program& p) { p.emit(Op::func(ScalarKind::Abs, 0, 1, 0)); }},
      {"names a register past the last",
       [](Program& p) {
         p.emit(Op::func(ScalarKind::Abs, p.add_reg_list({9}), 1, 0));
       }},
      {"kept is not a flag list", [](Program& p) { p.emit(Op::make_updated_record(0, 0, 0, 2, 1)); }},
      {"start run passes",
       [](Program& p) { p.emit(Op::make_updated_record(0, 3, p.add_flag_list({true, true}), 2, 1)); }},
      {"params is not a parameter list",
       [](Program& p) {
         p.add_subprogram(Program());
         p.emit(Op::scalar_sub(0, 0, 1, 0));
       }},
      {"parameter source names a table-cursor slot",
       [](Program& p) {
         p.add_subprogram(Program());
         p.emit(Op::scalar_sub(0, p.add_param_list({ParamSrc::rowid(3)}), 1, 0));
       }},
      {"sub is not a sub-program", [](Program& p) { p.emit(Op::scalar_sub(0, 0, 0, 0)); }},
      {"set is not an IN set", [](Program& p) { p.emit(Op::in_set(0, 0, false, 0)); }},
      {"idx is not an accumulator", [](Program& p) { p.emit(Op::agg_step(1, 0)); }},
      {"real is not a bool", [](Program& p) { p.emit(Op::make(OpKind::Affinity, 0, 0, 0, 0, 0, 2)); }},
      {"unknown binary operator", [](Program& p) { p.emit(Op::make(OpKind::Binop, 0, 0, 0, 0, 0, 13)); }},
      {"unknown unary operator", [](Program& p) { p.emit(Op::make(OpKind::Un, 0, 0, 0, 0, 0, 2)); }},
      {"unknown cast type", [](Program& p) { p.emit(Op::make(OpKind::Cast, 0, 0, 0, 0, 0, 3)); }},
      {"unknown scalar function", [](Program& p) { p.emit(Op::make(OpKind::Func, 0, 0, 0, 0, 0, 24)); }},
      {"unknown instruction kind", [](Program& p) { p.emit(Op::make(static_cast<OpKind>(kOpKindCount))); }},
      {"state is not the first of three registers", [](Program& p) { p.emit(Op::idx_probe(0, 2, 0, 0, 1, 0)); }},
      {"unknown probe mode", [](Program& p) { p.emit(Op::idx_probe(0, 0, 0, 0, 1, 8)); }},
      {"keys do not hold the probe's values",
       [](Program& p) { p.emit(Op::idx_probe(0, 0, 0, 0, 1, kProbeLower | kProbeUpper)); }},
      {"keys do not hold the probe's values", [](Program& p) { p.emit(Op::idx_probe(0, 0, 0, 0, 0, 0)); }},
      {"unique is not a UNIQUE spec", [](Program& p) { p.emit(Op::idx_unique_guard(0, 0, 0, 1, 0)); }},
      {"unique does not have as many columns as the values",
       [](Program& p) {
         const auto spec = p.add_unique_spec(UniqueSpec{"u", {2, {0, 1}, std::nullopt}});
         p.emit(Op::idx_next_conflict(0, 0, 0, 1, spec, true));
       }},
      {"has no valid kind", [](Program& p) { p.agg_specs.push_back({false, static_cast<AggKind>(7)}); }},
      {"dest is not a register",
       [](Program& p) {
         Program sub;
         sub.emit(Op::null(1));
         p.add_subprogram(std::move(sub));
       }},
  };
  for (const Case& c : bad_cases) {
    Program p = base();
    c.build(p);
    Status s = p.validate();
    ASSERT_FALSE(s.ok()) << c.what;
    EXPECT_EQ(s.error().kind(), ErrorKind::Exec) << c.what;
    EXPECT_NE(s.error().message().find("invalid program"), std::string::npos) << s.error().message();
    EXPECT_NE(s.error().message().find(c.what), std::string::npos) << s.error().message();
    EXPECT_FALSE(p.is_validated());
  }
}

TEST(ProgramValidate, AcceptsEdgeValues) {
  Program p;  // nregs 0 still has register 0
  p.emit(Op::null(0));
  p.emit(Op::goto_(2));        // a jump to the end is valid
  p.emit(Op::result_row(77, 0));  // an empty run may start anywhere
  p.emit(Op::bind(1000, 0));   // binds and params past the end read Null
  p.emit(Op::param(1000, 0));
  p.emit(Op::column(0, 0, 0)); // invalid cursor ...
  p.ops.pop_back();            // ... removed again
  ASSERT_TRUE(p.validate().ok());
  EXPECT_TRUE(p.is_validated());
}

TEST(ProgramValidate, ShapeChangesDropTheMark) {
  ProgramBuilder b;
  auto r = b.reg();
  auto j = b.emit(Op::if_true(r, 0));
  b.emit(Op::integer(1, r));
  b.patch_here(j);
  Program p = b.finish().value();
  EXPECT_TRUE(p.is_validated());
  Program copy = p;
  EXPECT_TRUE(copy.is_validated());
  p.emit(Op::halt());
  EXPECT_FALSE(p.is_validated());
  ASSERT_TRUE(p.validate().ok());
  p.patch(j, 99);  // out of range: patch drops the mark, check finds it
  EXPECT_FALSE(p.is_validated());
  EXPECT_FALSE(p.check().ok());
  p.nregs = 0;
  p.patch(j, 3);
  ASSERT_TRUE(p.validate().ok());
}

}  // namespace
}  // namespace bkf::vm
