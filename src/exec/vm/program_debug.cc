// The debug form of instructions and programs.
#include <string>

#include "exec/vm/program.h"
#include "record/value.h"

namespace bkf::vm {
namespace {

using namespace oplist;

void append_quoted(std::string& out, std::string_view s) {
  // The text debug form is Text("..."); keep only the quoted part.
  std::string d = value_debug(Value::text(s));
  out.append(d, 5, d.size() - 6);
}

void append_param_src(std::string& out, const ParamSrc& p) {
  switch (p.kind) {
    case ParamSrc::Kind::Rowid:
      out += "Rowid(" + std::to_string(p.cursor) + ")";
      return;
    case ParamSrc::Kind::Column:
      out += "Column(" + std::to_string(p.cursor) + ", " + std::to_string(p.column) + ")";
      return;
    case ParamSrc::Kind::Param:
      out += "Param(" + std::to_string(p.index) + ")";
      return;
  }
  out += "?";
}

// The enumerator name of a flag byte, or #n for a byte no enumerator has.
void append_name(std::string& out, std::uint8_t v, std::string_view name) {
  if (name != "?") out += name;
  else out += "#" + std::to_string(v);
}

const char* cast_name(std::uint8_t v) {
  switch (static_cast<CastType>(v)) {
    case CastType::Integer: return "Integer";
    case CastType::Real: return "Real";
    case CastType::Text: return "Text";
  }
  return "?";
}

// The items of a list operand, [a, b, ...], each written by item(i); an
// index past the table is written ?.
template <class F>
void append_list(std::string& out, std::uint64_t from, std::uint64_t count, std::size_t table_size, F item) {
  out += '[';
  for (std::uint64_t r = from; r < from + count; ++r) {
    if (r != from) out += ", ";
    if (r < table_size) item(static_cast<std::size_t>(r));
    else out += "?";
  }
  out += ']';
}

}  // namespace

std::string Program::op_debug(std::size_t i) const {
  if (i >= ops.size()) return "?";
  const Op& op = ops[i];
  const OpInfo* info = op_info(op.kind);
  if (info == nullptr) return "#" + std::to_string(static_cast<unsigned>(op.kind));
  std::string out = info->name;
  if (info->operand_count() == 0) return out;
  out += " { ";
  bool first = true;
  for (const OperandInfo& o : info->operands) {
    if (o.name == nullptr) break;
    if (!first) out += ", ";
    first = false;
    out += o.name;
    out += ": ";
    const std::uint64_t v = op.slot(o.slot);
    const std::uint64_t len = op.slot(o.aux);
    switch (o.type) {
      case OperandType::Text:
        if (v < strings.size()) append_quoted(out, strings[v]);
        else out += "#" + std::to_string(v);
        break;
      case OperandType::Bytes:
        if (v < strings.size()) {
          std::string d = value_debug(Value::blob(strings[v]));
          out.append(d, 5, d.size() - 6);  // keep the [..] of Blob([..])
        } else {
          out += "#" + std::to_string(v);
        }
        break;
      case OperandType::RegList:
        append_list(out, v, len, reg_lists.size(), [&](std::size_t r) { out += std::to_string(reg_lists[r]); });
        break;
      case OperandType::FlagList:
        append_list(out, v, len, flag_lists.size(), [&](std::size_t r) { out += flag_lists[r] ? "true" : "false"; });
        break;
      case OperandType::ParamList:
        append_list(out, v, len, param_lists.size(), [&](std::size_t r) { append_param_src(out, param_lists[r]); });
        break;
      case OperandType::Unique:
        if (v < unique_specs.size()) append_quoted(out, unique_specs[v].label);
        else out += "#" + std::to_string(v);
        break;
      case OperandType::Bool: out += op.flag ? "true" : "false"; break;
      case OperandType::BinOp: append_name(out, op.flag, bin_kind_name(static_cast<BinKind>(op.flag))); break;
      case OperandType::UnOp: append_name(out, op.flag, un_kind_name(static_cast<UnKind>(op.flag))); break;
      case OperandType::CastTo: append_name(out, op.flag, cast_name(op.flag)); break;
      case OperandType::Scalar: append_name(out, op.flag, scalar_kind_name(static_cast<ScalarKind>(op.flag))); break;
      case OperandType::ProbeMode:
        out += (op.flag & kProbeLower) ? ((op.flag & kProbeUpper) ? "lower+upper" : "lower")
                                       : ((op.flag & kProbeUpper) ? "upper" : "eq");
        if (op.flag & kProbeSkipEmptyRegions) out += "+skip_empty";
        if (op.flag & ~kProbeModeMask) out += "+#" + std::to_string(op.flag);
        break;
      case OperandType::Int: out += std::to_string(op.imm_int()); break;
      case OperandType::Real: append_real_debug(out, op.imm_real()); break;
      default: out += std::to_string(v); break;
    }
  }
  out += " }";
  return out;
}

std::string Program::debug() const {
  std::string out;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    std::string n = std::to_string(i);
    if (n.size() < 4) out.append(4 - n.size(), ' ');
    out += n;
    out += "  ";
    out += op_debug(i);
    out += '\n';
  }
  for (std::size_t s = 0; s < subprograms.size(); ++s) {
    out += "sub " + std::to_string(s) + ":\n";
    std::string body = subprograms[s].debug();
    // Indent the sub-program's listing by two spaces.
    std::size_t start = 0;
    while (start < body.size()) {
      std::size_t end = body.find('\n', start);
      if (end == std::string::npos) end = body.size();
      out += "  ";
      out.append(body, start, end - start);
      out += '\n';
      start = end + 1;
    }
  }
  return out;
}

}  // namespace bkf::vm
