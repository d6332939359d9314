// Gen: the program under construction.
//
// Every statement compiler owns one Gen for one compilation. It is the
// machine's ProgramBuilder (registers, which are never reused, instructions,
// side tables, jump patching; program() is the Program being built) with
// what only the compiler needs: the constant pool, and calls whose operand
// lists are built at run time.
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

#include "base/result.h"
#include "exec/scalar_funcs.h"
#include "exec/vm/builder.h"
#include "exec/vm/program.h"
#include "record/value.h"

namespace bkf::compile {

using vm::Op;
using vm::OpKind;
using vm::ParamSrc;
using vm::Program;

class Gen : public vm::ProgramBuilder {
 public:
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
  // Constants in the pool so far (each request searches them).
  std::size_t pool_size() const noexcept { return pool_.size(); }

  // Calls whose operand lists the compiler builds at run time (the
  // builder's own take initializer lists).
  using ProgramBuilder::func;
  using ProgramBuilder::scalar_sub;
  std::uint32_t func(ScalarKind kind, std::span<const std::uint32_t> args, std::uint32_t dest) {
    std::uint32_t off = program().add_reg_list(args);
    return emit(Op::func(kind, off, static_cast<std::uint32_t>(args.size()), dest));
  }
  std::uint32_t scalar_sub(std::uint32_t sub, std::span<const ParamSrc> params, std::uint32_t dest) {
    std::uint32_t off = program().add_param_list(params);
    return emit(Op::scalar_sub(sub, off, static_cast<std::uint32_t>(params.size()), dest));
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

 private:
  std::vector<std::uint32_t> jumps_;
};

}  // namespace bkf::compile
