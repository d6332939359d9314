#include "exec/vm/program.h"

#include <cstdio>
#include <cstdlib>

namespace bkf::vm {
namespace {

using namespace oplist;

constexpr std::uint8_t kBinKindCount = static_cast<std::uint8_t>(BinKind::Or) + 1;
constexpr std::uint8_t kUnKindCount = static_cast<std::uint8_t>(UnKind::Neg) + 1;
constexpr std::uint8_t kCastTypeCount = static_cast<std::uint8_t>(CastType::Text) + 1;
constexpr std::uint8_t kAggKindCount = static_cast<std::uint8_t>(AggKind::Any) + 1;

[[noreturn]] void internal_fault(const std::string& msg) {
  std::fprintf(stderr, "internal fault: %s\n", msg.c_str());
  std::abort();
}

Error bad(std::size_t at, const Program& p, std::string_view what) {
  std::string msg = "internal error: invalid program: instruction ";
  msg += std::to_string(at);
  msg += " (";
  msg += p.op_debug(at);
  msg += "): ";
  msg += what;
  return Error::exec(msg);
}

}  // namespace

std::uint32_t Program::emit(const Op& op) {
  ops.push_back(op);
  return static_cast<std::uint32_t>(ops.size() - 1);
}

void Program::patch(std::uint32_t at, std::uint32_t target) {
  if (at >= ops.size()) internal_fault("patch of instruction " + std::to_string(at) + " past the end");
  Op& op = ops[at];
  switch (patch_slot(op.kind)) {
    case A: op.a = target; break;
    case B: op.b = target; break;
    case C: op.c = target; break;
    default: internal_fault("patch on non-jump op: " + op_debug(at));
  }
  // A patched target is re-checked before the next run.
  validated_.reset();
}

std::uint32_t Program::add_string(std::string_view s) {
  strings.emplace_back(s);
  return static_cast<std::uint32_t>(strings.size() - 1);
}

std::uint32_t Program::add_reg_list(std::span<const std::uint32_t> regs) {
  auto off = static_cast<std::uint32_t>(reg_lists.size());
  reg_lists.insert(reg_lists.end(), regs.begin(), regs.end());
  return off;
}

std::uint32_t Program::add_flag_list(const std::vector<bool>& flags) {
  auto off = static_cast<std::uint32_t>(flag_lists.size());
  for (bool f : flags) flag_lists.push_back(f ? 1 : 0);
  return off;
}

std::uint32_t Program::add_param_list(std::span<const ParamSrc> params) {
  auto off = static_cast<std::uint32_t>(param_lists.size());
  param_lists.insert(param_lists.end(), params.begin(), params.end());
  return off;
}

std::uint32_t Program::add_subprogram(Program sub) {
  subprograms.push_back(std::move(sub));
  return static_cast<std::uint32_t>(subprograms.size() - 1);
}

std::uint32_t Program::add_in_set(InSetSpec items) {
  in_sets.push_back(std::move(items));
  return static_cast<std::uint32_t>(in_sets.size() - 1);
}

std::uint32_t Program::add_unique_spec(UniqueSpec spec) {
  unique_specs.push_back(std::move(spec));
  return static_cast<std::uint32_t>(unique_specs.size() - 1);
}

Program::Shape Program::shape() const noexcept {
  return Shape{ops.size(),        agg_specs.size(),  subprograms.size(), strings.size(),
               reg_lists.size(),  flag_lists.size(), param_lists.size(), in_sets.size(),
               unique_specs.size(), nregs,           ncursors,           nindex_cursors};
}

bool Program::is_validated() const noexcept { return validated_ && *validated_ == shape(); }

Status Program::validate() {
  validated_.reset();
  BKF_TRY(check());
  for (Program& sub : subprograms) BKF_TRY(sub.validate());
  validated_ = shape();
  return {};
}

Status Program::check() const {
  if (ops.size() >= 0xFFFFFFFFull) return Error::exec("internal error: invalid program: too many instructions");
  for (std::size_t i = 0; i < agg_specs.size(); ++i) {
    if (static_cast<std::uint8_t>(agg_specs[i].kind) >= kAggKindCount) {
      return Error::exec("internal error: invalid program: aggregate " + std::to_string(i) + " has no valid kind");
    }
  }
  // A run always has at least one register, even when nregs is 0.
  const std::uint64_t regs = nregs == 0 ? 1 : nregs;
  const std::uint64_t nops = ops.size();
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const Op& op = ops[i];
    const OpInfo* info = op_info(op.kind);
    if (info == nullptr) return bad(i, *this, "unknown instruction kind");
    for (const OperandInfo& o : info->operands) {
      if (o.name == nullptr) break;
      const std::uint64_t v = op.slot(o.slot);
      const std::uint64_t len = op.slot(o.aux);
      auto fail = [&](std::string_view what) { return bad(i, *this, std::string(o.name) + " " + std::string(what)); };
      switch (o.type) {
        case OperandType::Reg:
          if (v >= regs) return fail("is not a register");
          break;
        case OperandType::Run:
          if (len != 0 && v + len > regs) return fail("run passes the last register");
          break;
        case OperandType::Cursor:
          if (v >= ncursors) return fail("is not a table-cursor slot");
          break;
        case OperandType::IndexCursor:
          if (v >= nindex_cursors) return fail("is not an index-cursor slot");
          break;
        case OperandType::Target:
        case OperandType::BackTarget:
          if (v > nops) return fail("is past the end of the program");
          break;
        case OperandType::Text:
        case OperandType::Bytes:
          if (v >= strings.size()) return fail("is not a string of the program");
          break;
        case OperandType::RegList:
          if (v + len > reg_lists.size()) return fail("is not a register list");
          for (std::uint64_t r = v; r < v + len; ++r) {
            if (reg_lists[r] >= regs) return fail("names a register past the last");
          }
          break;
        case OperandType::FlagList:
          if (v + len > flag_lists.size()) return fail("is not a flag list");
          break;
        case OperandType::ParamList:
          if (v + len > param_lists.size()) return fail("is not a parameter list");
          for (std::uint64_t p = v; p < v + len; ++p) {
            const ParamSrc& src = param_lists[p];
            if (src.kind != ParamSrc::Kind::Param && src.kind != ParamSrc::Kind::Rowid &&
                src.kind != ParamSrc::Kind::Column) {
              return bad(i, *this, "parameter source of unknown kind");
            }
            if (src.kind != ParamSrc::Kind::Param && src.cursor >= ncursors) {
              return bad(i, *this, "parameter source names a table-cursor slot past the last");
            }
          }
          break;
        case OperandType::Agg:
          if (v >= agg_specs.size()) return fail("is not an accumulator");
          break;
        case OperandType::Sub:
          if (v >= subprograms.size()) return fail("is not a sub-program");
          break;
        case OperandType::InSet:
          if (v >= in_sets.size()) return fail("is not an IN set of the program");
          break;
        case OperandType::Unique:
          if (v >= unique_specs.size()) return fail("is not a UNIQUE spec of the program");
          if (len != unique_specs[v].rows.positions.size()) return fail("does not have as many columns as the values");
          break;
        case OperandType::ProbeState:
          if (v + 3 > regs) return fail("is not the first of three registers");
          break;
        case OperandType::ProbeMode: {
          if (op.flag > kProbeModeMask) return bad(i, *this, "unknown probe mode");
          // Every bound has its key, and a probe without bounds has an equality.
          const unsigned bounds = ((op.flag & kProbeLower) != 0) + ((op.flag & kProbeUpper) != 0);
          if (len < bounds || len == 0) return bad(i, *this, "the keys do not hold the probe's values");
          break;
        }
        case OperandType::Bool:
          if (op.flag > 1) return fail("is not a bool");
          break;
        case OperandType::BinOp:
          if (op.flag >= kBinKindCount) return bad(i, *this, "unknown binary operator");
          break;
        case OperandType::UnOp:
          if (op.flag >= kUnKindCount) return bad(i, *this, "unknown unary operator");
          break;
        case OperandType::CastTo:
          if (op.flag >= kCastTypeCount) return bad(i, *this, "unknown cast type");
          break;
        case OperandType::Scalar:
          if (op.flag >= kScalarKindCount) return bad(i, *this, "unknown scalar function");
          break;
        case OperandType::Count:
        case OperandType::Root:
        case OperandType::Col:
        case OperandType::Number:
        case OperandType::Int:
        case OperandType::Real:
          break;
      }
    }
  }
  for (const Program& sub : subprograms) BKF_TRY(sub.check());
  return {};
}

}  // namespace bkf::vm
