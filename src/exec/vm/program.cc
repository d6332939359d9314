#include "exec/vm/program.h"

#include <cstdio>
#include <cstdlib>

#include "record/value.h"

namespace bkf::vm {
namespace {

// What an operand is, for validation and for the debug form.
enum class T : std::uint8_t {
  Reg,        // one register
  Run,        // first register of a run; aux = slot of its length
  Cnt,        // a count (the length of a run)
  Cur,        // table-cursor slot
  ICur,       // index-cursor slot
  Tgt,        // jump target
  Root,       // root page
  Col,        // column position
  Str,        // text in Program::strings
  Bytes,      // bytes in Program::strings
  RegList,    // offset into reg_lists; aux = slot of its length
  FlagList,   // offset into flag_lists; aux = slot of its length
  ParamList,  // offset into param_lists; aux = slot of its length
  Agg,        // accumulator index
  Idx,        // parameter or bind number (past the end reads Null)
  Sub,        // sub-program index
  Set,        // index into Program::in_sets
  Bool,       // the flag byte as a bool
  Bin,        // the flag byte as BinKind
  Un,         // the flag byte as UnKind
  Cast,       // the flag byte as CastType
  Scalar,     // the flag byte as ScalarKind
  I64,        // the immediate as an integer
  F64,        // the immediate as a real
};

struct Opnd {
  const char* name;
  T type;
  std::uint8_t slot = 0;
  std::uint8_t aux = 0;
};

struct Info {
  const char* name;
  std::uint8_t n;
  Opnd o[5];
};

// Operands of every kind in declared order, with the slot each one uses.
constexpr Info kInfo[kOpKindCount] = {
    {"Halt", 0, {}},
    {"IfFalse", 2, {{"reg", T::Reg, 0}, {"target", T::Tgt, 1}}},
    {"IfTrue", 2, {{"reg", T::Reg, 0}, {"target", T::Tgt, 1}}},
    {"Goto", 1, {{"target", T::Tgt, 0}}},
    {"NullRow", 1, {{"cur", T::Cur, 0}}},
    {"Integer", 2, {{"v", T::I64}, {"dest", T::Reg, 0}}},
    {"Real", 2, {{"v", T::F64}, {"dest", T::Reg, 0}}},
    {"Str", 2, {{"v", T::Str, 0}, {"dest", T::Reg, 1}}},
    {"Blob", 2, {{"v", T::Bytes, 0}, {"dest", T::Reg, 1}}},
    {"Null", 1, {{"dest", T::Reg, 0}}},
    {"Copy", 2, {{"src", T::Reg, 0}, {"dest", T::Reg, 1}}},
    {"OpenRead", 2, {{"cur", T::Cur, 0}, {"root", T::Root, 1}}},
    {"OpenWrite", 2, {{"cur", T::Cur, 0}, {"root", T::Root, 1}}},
    {"Rewind", 2, {{"cur", T::Cur, 0}, {"empty_target", T::Tgt, 1}}},
    {"Next", 2, {{"cur", T::Cur, 0}, {"row_target", T::Tgt, 1}}},
    {"SeekRowid", 3, {{"cur", T::Cur, 0}, {"key_reg", T::Reg, 1}, {"notfound_target", T::Tgt, 2}}},
    {"CursorSetRowid", 2, {{"cur", T::Cur, 0}, {"rowid_reg", T::Reg, 1}}},
    {"Seek", 3, {{"cur", T::Cur, 0}, {"key_reg", T::Reg, 1}, {"empty_target", T::Tgt, 2}}},
    {"Rowid", 2, {{"cur", T::Cur, 0}, {"dest", T::Reg, 1}}},
    {"Column", 3, {{"cur", T::Cur, 0}, {"col", T::Col, 1}, {"dest", T::Reg, 2}}},
    {"Count", 2, {{"cur", T::Cur, 0}, {"dest", T::Reg, 1}}},
    {"ResultRow", 2, {{"start", T::Run, 0, 1}, {"count", T::Cnt, 1}}},
    {"Binop", 4, {{"op", T::Bin}, {"a", T::Reg, 0}, {"b", T::Reg, 1}, {"dest", T::Reg, 2}}},
    {"Un", 3, {{"op", T::Un}, {"a", T::Reg, 0}, {"dest", T::Reg, 1}}},
    {"IsNull", 3, {{"a", T::Reg, 0}, {"negated", T::Bool}, {"dest", T::Reg, 1}}},
    {"MakeRecord", 3, {{"start", T::Run, 0, 1}, {"count", T::Cnt, 1}, {"dest", T::Reg, 2}}},
    {"MakeUpdatedRecord", 4,
     {{"cur", T::Cur, 0}, {"start", T::Run, 1, 3}, {"kept", T::FlagList, 2, 3}, {"dest", T::Reg, 4}}},
    {"NewRowid", 2, {{"cur", T::Cur, 0}, {"dest", T::Reg, 1}}},
    {"Insert", 3, {{"cur", T::Cur, 0}, {"record_reg", T::Reg, 1}, {"rowid_reg", T::Reg, 2}}},
    {"DeleteCurrent", 1, {{"cur", T::Cur, 0}}},
    {"TruncateFrom", 2, {{"cur", T::Cur, 0}, {"key_reg", T::Reg, 1}}},
    {"UpdateCurrent", 2, {{"cur", T::Cur, 0}, {"record_reg", T::Reg, 1}}},
    {"ApplyDeferred", 1, {{"cur", T::Cur, 0}}},
    {"OpenIndex", 2, {{"cur", T::ICur, 0}, {"root", T::Root, 1}}},
    {"MakeIndexKey", 4,
     {{"start", T::Run, 0, 1}, {"count", T::Cnt, 1}, {"rowid_reg", T::Reg, 2}, {"dest", T::Reg, 3}}},
    {"MakeIndexPrefix", 3, {{"start", T::Run, 0, 1}, {"count", T::Cnt, 1}, {"dest", T::Reg, 2}}},
    {"IdxInsert", 2, {{"cur", T::ICur, 0}, {"key_reg", T::Reg, 1}}},
    {"IdxInsertUnique", 4,
     {{"cur", T::ICur, 0}, {"key_reg", T::Reg, 1}, {"prefix_reg", T::Reg, 2}, {"column", T::Str, 3}}},
    {"IdxConflictJump", 3, {{"cur", T::ICur, 0}, {"prefix_reg", T::Reg, 1}, {"target", T::Tgt, 2}}},
    {"RowidExistsJump", 3, {{"cur", T::Cur, 0}, {"key_reg", T::Reg, 1}, {"target", T::Tgt, 2}}},
    {"IdxDelete", 2, {{"cur", T::ICur, 0}, {"key_reg", T::Reg, 1}}},
    {"NotNullGuard", 2, {{"reg", T::Reg, 0}, {"column", T::Str, 1}}},
    {"IdxSeek", 3, {{"cur", T::ICur, 0}, {"prefix_reg", T::Reg, 1}, {"notfound_target", T::Tgt, 2}}},
    {"IdxNext", 2, {{"cur", T::ICur, 0}, {"row_target", T::Tgt, 1}}},
    {"IdxRowid", 2, {{"cur", T::ICur, 0}, {"dest", T::Reg, 1}}},
    {"IdxPrefixGuard", 3, {{"cur", T::ICur, 0}, {"prefix_reg", T::Reg, 1}, {"fail_target", T::Tgt, 2}}},
    {"MakeBoundKey", 4, {{"start", T::Run, 0, 1}, {"count", T::Cnt, 1}, {"pad", T::Bool}, {"dest", T::Reg, 2}}},
    {"IdxRangeGuard", 3, {{"cur", T::ICur, 0}, {"bound_reg", T::Reg, 1}, {"fail_target", T::Tgt, 2}}},
    {"AggStart", 2, {{"key_start", T::Run, 0, 1}, {"key_count", T::Cnt, 1}}},
    {"AggStep", 2, {{"idx", T::Agg, 0}, {"arg_reg", T::Reg, 1}}},
    {"AggRewind", 4,
     {{"done_target", T::Tgt, 0}, {"key_dest", T::Run, 1, 2}, {"key_count", T::Cnt, 2}, {"grouped", T::Bool}}},
    {"AggNext", 3, {{"row_target", T::Tgt, 0}, {"key_dest", T::Run, 1, 2}, {"key_count", T::Cnt, 2}}},
    {"AggResult", 2, {{"idx", T::Agg, 0}, {"dest", T::Reg, 1}}},
    {"Func", 3, {{"kind", T::Scalar}, {"args", T::RegList, 0, 1}, {"dest", T::Reg, 2}}},
    {"Cast", 3, {{"a", T::Reg, 0}, {"to", T::Cast}, {"dest", T::Reg, 1}}},
    {"Affinity", 2, {{"reg", T::Reg, 0}, {"real", T::Bool}}},
    {"Like", 4, {{"a", T::Reg, 0}, {"pat", T::Reg, 1}, {"negated", T::Bool}, {"dest", T::Reg, 2}}},
    {"Param", 2, {{"idx", T::Idx, 0}, {"dest", T::Reg, 1}}},
    {"Bind", 2, {{"idx", T::Idx, 0}, {"dest", T::Reg, 1}}},
    {"ScalarSub", 3, {{"sub", T::Sub, 0}, {"params", T::ParamList, 1, 2}, {"dest", T::Reg, 3}}},
    {"IdxUniqueGuard", 4,
     {{"cur", T::ICur, 0}, {"prefix_reg", T::Reg, 1}, {"rowid_reg", T::Reg, 2}, {"column", T::Str, 3}}},
    {"RowidGuard", 3, {{"cur", T::Cur, 0}, {"key_reg", T::Reg, 1}, {"column", T::Str, 2}}},
    {"IdxKeyGuard", 2, {{"cur", T::ICur, 0}, {"key_reg", T::Reg, 1}}},
    {"SpoolRow", 2, {{"start", T::Run, 0, 1}, {"count", T::Cnt, 1}}},
    {"SpoolRewind", 3, {{"empty_target", T::Tgt, 0}, {"dest", T::Run, 1, 2}, {"count", T::Cnt, 2}}},
    {"SpoolNext", 3, {{"row_target", T::Tgt, 0}, {"dest", T::Run, 1, 2}, {"count", T::Cnt, 2}}},
    {"InSet", 4, {{"set", T::Set, 0}, {"a", T::Reg, 1}, {"negated", T::Bool}, {"dest", T::Reg, 2}}},
};

constexpr const char* kCastNames[] = {"Integer", "Real", "Text"};
// Operand counts of the enumerations stored in the flag byte.
constexpr std::uint8_t kBinKindCount = static_cast<std::uint8_t>(BinKind::Or) + 1;
constexpr std::uint8_t kUnKindCount = static_cast<std::uint8_t>(UnKind::Neg) + 1;
constexpr const char* kAggNames[] = {"CountStar", "Count", "Sum", "Avg", "Min", "Max", "Any"};

template <std::size_t N>
constexpr std::size_t count_of(const char* const (&)[N]) {
  return N;
}

std::uint32_t slot_value(const Op& op, std::uint8_t slot) {
  switch (slot) {
    case 0: return op.a;
    case 1: return op.b;
    case 2: return op.c;
    case 3: return op.d();
    default: return op.e();
  }
}

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

void append_name(std::string& out, std::uint8_t v, int count, std::string_view name) {
  if (v < count) out += name;
  else out += "#" + std::to_string(v);
}

void append_enum(std::string& out, std::uint8_t v, const char* const* names, std::size_t n) {
  if (v < n) out += names[v];
  else out += "#" + std::to_string(v);
}

}  // namespace

const char* op_kind_name(OpKind k) noexcept {
  auto i = static_cast<std::size_t>(k);
  return i < static_cast<std::size_t>(kOpKindCount) ? kInfo[i].name : "?";
}

int patch_slot(OpKind k) noexcept {
  switch (k) {
    case OpKind::Goto:
    case OpKind::AggRewind:
    case OpKind::SpoolRewind:
      return 0;
    case OpKind::IfFalse:
    case OpKind::IfTrue:
    case OpKind::Rewind:
    case OpKind::Next:
    case OpKind::IdxNext:
      return 1;
    case OpKind::SeekRowid:
    case OpKind::Seek:
    case OpKind::IdxConflictJump:
    case OpKind::RowidExistsJump:
    case OpKind::IdxSeek:
    case OpKind::IdxPrefixGuard:
    case OpKind::IdxRangeGuard:
      return 2;
    default:
      return -1;
  }
}

std::uint32_t Program::emit(const Op& op) {
  ops.push_back(op);
  return static_cast<std::uint32_t>(ops.size() - 1);
}

void Program::patch(std::uint32_t at, std::uint32_t target) {
  if (at >= ops.size()) internal_fault("patch of instruction " + std::to_string(at) + " past the end");
  Op& op = ops[at];
  switch (patch_slot(op.kind)) {
    case 0: op.a = target; break;
    case 1: op.b = target; break;
    case 2: op.c = target; break;
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

Program::Shape Program::shape() const noexcept {
  return Shape{ops.size(),         agg_specs.size(),   subprograms.size(), strings.size(),
               reg_lists.size(),   flag_lists.size(),  param_lists.size(), in_sets.size(),
               nregs,              ncursors,           nindex_cursors};
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
    if (static_cast<std::size_t>(agg_specs[i].kind) >= count_of(kAggNames)) {
      return Error::exec("internal error: invalid program: aggregate " + std::to_string(i) + " has no valid kind");
    }
  }
  // A run always has at least one register, even when nregs is 0.
  const std::uint64_t regs = nregs == 0 ? 1 : nregs;
  const std::uint64_t nops = ops.size();
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const Op& op = ops[i];
    auto k = static_cast<std::size_t>(op.kind);
    if (k >= static_cast<std::size_t>(kOpKindCount)) return bad(i, *this, "unknown instruction kind");
    const Info& info = kInfo[k];
    for (std::uint8_t j = 0; j < info.n; ++j) {
      const Opnd& o = info.o[j];
      std::uint64_t v = slot_value(op, o.slot);
      std::uint64_t len = slot_value(op, o.aux);
      switch (o.type) {
        case T::Reg:
          if (v >= regs) return bad(i, *this, std::string(o.name) + " is not a register");
          break;
        case T::Run:
          if (len != 0 && v + len > regs) return bad(i, *this, std::string(o.name) + " run passes the last register");
          break;
        case T::Cur:
          if (v >= ncursors) return bad(i, *this, std::string(o.name) + " is not a table-cursor slot");
          break;
        case T::ICur:
          if (v >= nindex_cursors) return bad(i, *this, std::string(o.name) + " is not an index-cursor slot");
          break;
        case T::Tgt:
          if (v > nops) return bad(i, *this, std::string(o.name) + " is past the end of the program");
          break;
        case T::Str:
        case T::Bytes:
          if (v >= strings.size()) return bad(i, *this, std::string(o.name) + " is not a string of the program");
          break;
        case T::RegList:
          if (v + len > reg_lists.size()) return bad(i, *this, std::string(o.name) + " is not a register list");
          for (std::uint64_t r = v; r < v + len; ++r) {
            if (reg_lists[r] >= regs) return bad(i, *this, std::string(o.name) + " names a register past the last");
          }
          break;
        case T::FlagList:
          if (v + len > flag_lists.size()) return bad(i, *this, std::string(o.name) + " is not a flag list");
          break;
        case T::ParamList:
          if (v + len > param_lists.size()) return bad(i, *this, std::string(o.name) + " is not a parameter list");
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
        case T::Agg:
          if (v >= agg_specs.size()) return bad(i, *this, std::string(o.name) + " is not an accumulator");
          break;
        case T::Sub:
          if (v >= subprograms.size()) return bad(i, *this, std::string(o.name) + " is not a sub-program");
          break;
        case T::Set:
          if (v >= in_sets.size()) return bad(i, *this, std::string(o.name) + " is not an IN set of the program");
          break;
        case T::Bool:
          if (op.flag > 1) return bad(i, *this, std::string(o.name) + " is not a bool");
          break;
        case T::Bin:
          if (op.flag >= kBinKindCount) return bad(i, *this, "unknown binary operator");
          break;
        case T::Un:
          if (op.flag >= kUnKindCount) return bad(i, *this, "unknown unary operator");
          break;
        case T::Cast:
          if (op.flag >= count_of(kCastNames)) return bad(i, *this, "unknown cast type");
          break;
        case T::Scalar:
          if (op.flag >= kScalarKindCount) return bad(i, *this, "unknown scalar function");
          break;
        case T::Cnt:
        case T::Root:
        case T::Col:
        case T::Idx:
        case T::I64:
        case T::F64:
          break;
      }
    }
  }
  for (const Program& sub : subprograms) BKF_TRY(sub.check());
  return {};
}

std::string Program::op_debug(std::size_t i) const {
  if (i >= ops.size()) return "?";
  const Op& op = ops[i];
  auto k = static_cast<std::size_t>(op.kind);
  if (k >= static_cast<std::size_t>(kOpKindCount)) return "#" + std::to_string(k);
  const Info& info = kInfo[k];
  std::string out = info.name;
  if (info.n == 0) return out;
  out += " { ";
  for (std::uint8_t j = 0; j < info.n; ++j) {
    const Opnd& o = info.o[j];
    if (j) out += ", ";
    out += o.name;
    out += ": ";
    std::uint64_t v = slot_value(op, o.slot);
    std::uint64_t len = slot_value(op, o.aux);
    switch (o.type) {
      case T::Str:
        if (v < strings.size()) append_quoted(out, strings[v]);
        else out += "#" + std::to_string(v);
        break;
      case T::Bytes:
        if (v < strings.size()) {
          std::string d = value_debug(Value::blob(strings[v]));
          out.append(d, 5, d.size() - 6);  // keep the [..] of Blob([..])
        } else {
          out += "#" + std::to_string(v);
        }
        break;
      case T::RegList:
        out += '[';
        for (std::uint64_t r = v; r < v + len; ++r) {
          if (r != v) out += ", ";
          out += r < reg_lists.size() ? std::to_string(reg_lists[r]) : "?";
        }
        out += ']';
        break;
      case T::FlagList:
        out += '[';
        for (std::uint64_t r = v; r < v + len; ++r) {
          if (r != v) out += ", ";
          out += r < flag_lists.size() ? (flag_lists[r] ? "true" : "false") : "?";
        }
        out += ']';
        break;
      case T::ParamList:
        out += '[';
        for (std::uint64_t r = v; r < v + len; ++r) {
          if (r != v) out += ", ";
          if (r < param_lists.size()) append_param_src(out, param_lists[r]);
          else out += "?";
        }
        out += ']';
        break;
      case T::Bool: out += op.flag ? "true" : "false"; break;
      case T::Bin: append_name(out, op.flag, kBinKindCount, bin_kind_name(static_cast<BinKind>(op.flag))); break;
      case T::Un: append_name(out, op.flag, kUnKindCount, un_kind_name(static_cast<UnKind>(op.flag))); break;
      case T::Cast: append_enum(out, op.flag, kCastNames, count_of(kCastNames)); break;
      case T::Scalar:
        append_name(out, op.flag, kScalarKindCount, scalar_kind_name(static_cast<ScalarKind>(op.flag)));
        break;
      case T::I64: out += std::to_string(op.imm_int()); break;
      case T::F64: append_real_debug(out, op.imm_real()); break;
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
