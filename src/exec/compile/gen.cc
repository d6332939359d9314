#include "exec/compile/gen.h"

#include <cstring>

namespace bkf::compile {

std::uint32_t Gen::pool_find(ValueKind kind, std::uint64_t bits, std::string_view bytes) {
  for (const PoolEntry& p : pool_) {
    if (p.kind == kind && p.bits == bits && p.bytes == bytes) return p.reg;
  }
  std::uint32_t r = reg();
  pool_.push_back(PoolEntry{kind, bits, std::string(bytes), r});
  return r;
}

std::uint32_t Gen::k_int(std::int64_t v) { return pool_find(ValueKind::Int, static_cast<std::uint64_t>(v), {}); }

std::uint32_t Gen::k_real(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return pool_find(ValueKind::Real, bits, {});
}

std::uint32_t Gen::k_str(std::string_view s) { return pool_find(ValueKind::Text, 0, s); }
std::uint32_t Gen::k_blob(std::string_view s) { return pool_find(ValueKind::Blob, 0, s); }
std::uint32_t Gen::k_null() { return pool_find(ValueKind::Null, 0, {}); }

namespace {

// Drops the leading jump of a program that has no constant pool: every jump
// target moves down by one.
void drop_first_op(Program& p) {
  for (Op& op : p.ops) {
    const int slot = vm::jump_slot(op.kind);
    if (slot == 0) --op.a;
    else if (slot == 1) --op.b;
    else if (slot == 2) --op.c;
  }
  p.ops.erase(p.ops.begin());
}

}  // namespace

Result<Program> Gen::finish() {
  if (pool_.empty()) {
    drop_first_op(program());
  } else {
    patch(0, here());
    for (const PoolEntry& p : pool_) {
      switch (p.kind) {
        case ValueKind::Null: emit(Op::null(p.reg)); break;
        case ValueKind::Int: emit(Op::integer(static_cast<std::int64_t>(p.bits), p.reg)); break;
        case ValueKind::Real: {
          double v;
          std::memcpy(&v, &p.bits, sizeof v);
          emit(Op::real(v, p.reg));
          break;
        }
        case ValueKind::Text: str(p.bytes, p.reg); break;
        case ValueKind::Blob: blob(p.bytes, p.reg); break;
      }
    }
    emit(Op::goto_(1));
    pool_.clear();
  }
  if (program().nregs == 0) program().nregs = 1;
  return ProgramBuilder::finish();
}

}  // namespace bkf::compile
