// Gen: the program under construction.
//
// Every statement compiler owns one Gen for one compilation. It holds the
// Program being built (instructions, side tables, sub-programs and the
// register and cursor counters) and hands out registers, which are never
// reused: each allocation takes the next number, and the final counter is
// the program's register count.
//
// Jumps whose destination is not known yet are emitted with target 0 and
// patched once the destination's index is known (patch / patch_here).
// A Label collects such jumps when several of them go to one place that is
// emitted later.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "exec/scalar_funcs.h"
#include "exec/vdbe/program.h"
#include "pager/result.h"
#include "record/value.h"

namespace bkf::compile {

using vdbe::Op;
using vdbe::OpKind;
using vdbe::ParamSrc;
using vdbe::Program;

class Gen {
 public:
  Program prog;

  // Starts the program with a jump over the constant pool (see below);
  // every compiler calls it before emitting anything else.
  void start() { emit(Op::goto_(1)); }
  // Appends the constant pool, validates the program and hands it over.
  Result<Program> finish();

  // The constant pool: registers loaded once, before anything else runs.
  // Instruction 0 jumps to the loads at the end of the program, which jump
  // back to instruction 1, so constants can be requested anywhere (also
  // inside loops and branches) and read everywhere.
  std::uint32_t k_int(std::int64_t v);
  std::uint32_t k_real(double v);
  std::uint32_t k_str(std::string_view s);
  std::uint32_t k_blob(std::string_view s);
  std::uint32_t k_null();

  std::uint32_t reg() { return prog.nregs++; }
  // n consecutive registers; returns the first.
  std::uint32_t regs(std::uint32_t n) {
    std::uint32_t first = prog.nregs;
    prog.nregs += n;
    return first;
  }
  std::uint32_t index_cursor() { return prog.nindex_cursors++; }

  std::uint32_t here() const noexcept { return prog.next_index(); }
  std::uint32_t emit(const Op& op) { return prog.emit(op); }
  void patch(std::uint32_t at, std::uint32_t target) { prog.patch(at, target); }
  void patch_here(std::uint32_t at) { prog.patch(at, here()); }

  // Instructions with operands in the program's side tables.
  std::uint32_t emit_str(std::string_view text, std::uint32_t dest) {
    return emit(Op::str(prog.add_string(text), dest));
  }
  std::uint32_t emit_blob(std::string_view bytes, std::uint32_t dest) {
    return emit(Op::blob(prog.add_string(bytes), dest));
  }
  std::uint32_t emit_func(ScalarKind kind, std::span<const std::uint32_t> args, std::uint32_t dest) {
    std::uint32_t off = prog.add_reg_list(args);
    return emit(Op::func(kind, off, static_cast<std::uint32_t>(args.size()), dest));
  }
  std::uint32_t emit_not_null_guard(std::uint32_t reg, std::string_view column) {
    return emit(Op::not_null_guard(reg, prog.add_string(column)));
  }
  std::uint32_t emit_idx_unique_guard(std::uint32_t cur, std::uint32_t prefix_reg, std::uint32_t rowid_reg,
                                      std::string_view label) {
    return emit(Op::idx_unique_guard(cur, prefix_reg, rowid_reg, prog.add_string(label)));
  }
  std::uint32_t emit_rowid_guard(std::uint32_t cur, std::uint32_t key_reg, std::string_view label) {
    return emit(Op::rowid_guard(cur, key_reg, prog.add_string(label)));
  }
  std::uint32_t emit_updated_record(std::uint32_t cur, std::uint32_t start, const std::vector<bool>& kept,
                                    std::uint32_t dest) {
    std::uint32_t off = prog.add_flag_list(kept);
    return emit(Op::make_updated_record(cur, start, off, static_cast<std::uint32_t>(kept.size()), dest));
  }
  std::uint32_t emit_scalar_sub(std::uint32_t sub, std::span<const ParamSrc> params, std::uint32_t dest) {
    std::uint32_t off = prog.add_param_list(params);
    return emit(Op::scalar_sub(sub, off, static_cast<std::uint32_t>(params.size()), dest));
  }

  // A register holding the integer v, loaded where this is called.
  std::uint32_t int_const(std::int64_t v) {
    std::uint32_t r = reg();
    emit(Op::integer(v, r));
    return r;
  }

 private:
  struct PoolEntry {
    ValueKind kind;
    std::uint64_t bits;  // Int value or Real bits
    std::string bytes;   // Text / Blob
    std::uint32_t reg;
  };
  std::uint32_t pool_find(ValueKind kind, std::uint64_t bits, std::string_view bytes);
  std::vector<PoolEntry> pool_;
};

// Jumps that all go to one place emitted later.
class Label {
 public:
  void add(std::uint32_t jump_at) { jumps_.push_back(jump_at); }
  // Points every collected jump at `target`.
  void resolve(Gen& g, std::uint32_t target) {
    for (std::uint32_t at : jumps_) g.patch(at, target);
    jumps_.clear();
  }
  void resolve_here(Gen& g) { resolve(g, g.here()); }
  bool empty() const noexcept { return jumps_.empty(); }

 private:
  std::vector<std::uint32_t> jumps_;
};

}  // namespace bkf::compile
