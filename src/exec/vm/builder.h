// ProgramBuilder: a small helper that assembles a Program by hand.
//
// It hands out registers and cursor slots, appends instructions, puts
// strings and lists into the program's side tables, and patches forward
// jumps, so that tests and benchmarks (and anything else that writes
// programs without the statement compiler) can write
//
//   ProgramBuilder b;
//   auto cur = b.cursor();
//   b.emit(Op::open_read(cur, root));
//   auto rewind = b.emit(Op::rewind(cur, 0));   // target patched below
//   auto top = b.here();
//   ...
//   b.emit(Op::next(cur, top));
//   b.patch_here(rewind);
//   Program p = b.finish().value();
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "exec/vm/program.h"

namespace bkf::vm {

class ProgramBuilder {
 public:
  Program& program() noexcept { return p_; }

  // Allocation of registers and slots; counts end up in the program.
  std::uint32_t reg() { return p_.nregs++; }
  std::uint32_t regs(std::uint32_t n) {
    std::uint32_t first = p_.nregs;
    p_.nregs += n;
    return first;
  }
  std::uint32_t cursor() { return p_.ncursors++; }
  std::uint32_t index_cursor() { return p_.nindex_cursors++; }
  std::uint32_t agg(AggKind kind, bool distinct = false) {
    p_.agg_specs.push_back(AggSpec{distinct, kind});
    return static_cast<std::uint32_t>(p_.agg_specs.size() - 1);
  }
  std::uint32_t sub(Program program) { return p_.add_subprogram(std::move(program)); }

  // Instructions.
  std::uint32_t here() const noexcept { return p_.next_index(); }
  std::uint32_t emit(const Op& op) { return p_.emit(op); }
  void patch(std::uint32_t at, std::uint32_t target) { p_.patch(at, target); }
  // Points the jump of instruction `at` at the next instruction to be emitted.
  void patch_here(std::uint32_t at) { p_.patch(at, here()); }

  // Instructions with operands in the side tables.
  std::uint32_t str(std::string_view text, std::uint32_t dest) { return emit(Op::str(p_.add_string(text), dest)); }
  std::uint32_t blob(std::string_view bytes, std::uint32_t dest) {
    return emit(Op::blob(p_.add_string(bytes), dest));
  }
  std::uint32_t func(ScalarKind kind, std::initializer_list<std::uint32_t> args, std::uint32_t dest) {
    return emit(Op::func(kind, p_.add_reg_list(args), static_cast<std::uint32_t>(args.size()), dest));
  }
  std::uint32_t make_updated_record(std::uint32_t cur, std::uint32_t start, const std::vector<bool>& kept,
                                    std::uint32_t dest) {
    return emit(Op::make_updated_record(cur, start, p_.add_flag_list(kept), static_cast<std::uint32_t>(kept.size()),
                                        dest));
  }
  std::uint32_t scalar_sub(std::uint32_t sub, std::initializer_list<ParamSrc> params, std::uint32_t dest) {
    return emit(Op::scalar_sub(sub, p_.add_param_list(params), static_cast<std::uint32_t>(params.size()), dest));
  }
  std::uint32_t not_null_guard(std::uint32_t reg, std::string_view column) {
    return emit(Op::not_null_guard(reg, p_.add_string(column)));
  }
  // What the UNIQUE instructions of one index need (program.h): the number
  // to give them as their `unique` operand.
  std::uint32_t unique_spec(std::string_view label, catalog::IndexedRows rows) {
    return p_.add_unique_spec(UniqueSpec{std::string(label), std::move(rows)});
  }
  std::uint32_t rowid_guard(std::uint32_t cur, std::uint32_t key_reg, std::string_view column) {
    return emit(Op::rowid_guard(cur, key_reg, p_.add_string(column)));
  }

  // Validates the program and hands it over; the builder is empty afterwards.
  Result<Program> finish() {
    Program out = std::move(p_);
    p_ = Program();
    BKF_TRY(out.validate());
    return out;
  }

 private:
  Program p_;
};

}  // namespace bkf::vm
