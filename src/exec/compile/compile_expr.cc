#include "exec/compile/compile_expr.h"

#include <algorithm>

#include "exec/compile/subquery.h"
#include "exec/value_ops.h"

namespace bkf::compile {

namespace {

constexpr std::uint32_t kNone = UINT32_MAX;
// The pool size up to which literal operands go to the pool.
constexpr std::size_t kPooledLiterals = 64;
// An IN tree tests its items fixed for the run in one InSet from this many
// on (a lookup already costs less than two comparisons joined by OR).
constexpr std::size_t kMinSetItems = 2;

bool is_and_or(const Expr& e) {
  const auto* b = e.get_if<Expr::Binary>();
  return b != nullptr && (b->op == BinaryOp::Or || b->op == BinaryOp::And);
}

// The value of an IN item known at compile time: a literal, or a number
// literal with a minus before it.
std::optional<Value> compile_time_value(const Expr& e) {
  switch (e.kind()) {
    case ExprKind::Null: return Value();
    case ExprKind::Integer: return Value::integer(e.as<Expr::Integer>().value);
    case ExprKind::Real: return Value::real(e.as<Expr::Real>().value);
    case ExprKind::Str: return Value::text(e.as<Expr::Str>().value);
    case ExprKind::Blob: return Value::blob(e.as<Expr::Blob>().bytes);
    case ExprKind::Unary: {
      const auto& u = e.as<Expr::Unary>();
      std::optional<Value> v;
      if (u.op == UnaryOp::Neg && (u.operand->is<Expr::Integer>() || u.operand->is<Expr::Real>())) {
        v.emplace();
        value_ops::neg(*compile_time_value(*u.operand), *v);
      }
      return v;
    }
    default: return std::nullopt;
  }
}

// An IN item whose value is fixed for a whole run of the program.
bool fixed_for_run(const Expr& e) {
  return e.is<Expr::Param>() || e.is<Expr::SubParam>() || compile_time_value(e).has_value();
}

// The instruction operators of the syntax tree's operators. (Their numbers
// differ: the syntax tree numbers negation 0 and NOT 1.)
UnKind un_kind(UnaryOp op) {
  switch (op) {
    case UnaryOp::Neg: return UnKind::Neg;
    case UnaryOp::Not: return UnKind::Not;
  }
  return UnKind::Not;
}

BinKind bin_kind(BinaryOp op) {
  switch (op) {
    case BinaryOp::Add: return BinKind::Add;
    case BinaryOp::Sub: return BinKind::Sub;
    case BinaryOp::Mul: return BinKind::Mul;
    case BinaryOp::Div: return BinKind::Div;
    case BinaryOp::Mod: return BinKind::Mod;
    case BinaryOp::Eq: return BinKind::Eq;
    case BinaryOp::Ne: return BinKind::Ne;
    case BinaryOp::Lt: return BinKind::Lt;
    case BinaryOp::Le: return BinKind::Le;
    case BinaryOp::Gt: return BinKind::Gt;
    case BinaryOp::Ge: return BinKind::Ge;
    case BinaryOp::And: return BinKind::And;
    case BinaryOp::Or: return BinKind::Or;
  }
  return BinKind::Add;
}

bool is_plain_literal(const Expr& e) {
  switch (e.kind()) {
    case ExprKind::Null:
    case ExprKind::Integer:
    case ExprKind::Real:
    case ExprKind::Str: return true;
    default: return false;
  }
}

}  // namespace

bool load_literal(Gen& g, const Expr& e, std::uint32_t dest) {
  switch (e.kind()) {
    case ExprKind::Null: g.emit(Op::null(dest)); return true;
    case ExprKind::Integer: g.emit(Op::integer(e.as<Expr::Integer>().value, dest)); return true;
    case ExprKind::Real: g.emit(Op::real(e.as<Expr::Real>().value, dest)); return true;
    case ExprKind::Str: g.str(e.as<Expr::Str>().value, dest); return true;
    case ExprKind::Blob: g.blob(e.as<Expr::Blob>().bytes, dest); return true;
    default: return false;
  }
}

std::uint32_t ExprCompiler::pooled_literal(const Expr& e) {
  switch (e.kind()) {
    case ExprKind::Integer: return g_.k_int(e.as<Expr::Integer>().value);
    case ExprKind::Real: return g_.k_real(e.as<Expr::Real>().value);
    case ExprKind::Str: return g_.k_str(e.as<Expr::Str>().value);
    case ExprKind::Blob: return g_.k_blob(e.as<Expr::Blob>().bytes);
    default: return g_.k_null();
  }
}

Status ExprCompiler::compile_into(const Expr& e, std::uint32_t target) {
  if (is_plain_literal(e)) {
    load_literal(g_, e, target);
    return {};
  }
  // Outside the group phase (where an expression may stand for a GROUP BY
  // key) a column, a `?` value or a parameter is read straight into the
  // target rather than into a fresh register and copied from there: one
  // instruction less per row, and no second copy of a text.
  if (!agg_) {
    switch (e.kind()) {
      case ExprKind::Column: return column_into(e.as<Expr::Column>(), target);
      case ExprKind::Param:
        g_.emit(Op::bind(static_cast<std::uint32_t>(e.as<Expr::Param>().index), target));
        return {};
      case ExprKind::SubParam:
        g_.emit(Op::param(static_cast<std::uint32_t>(e.as<Expr::SubParam>().index), target));
        return {};
      default: break;
    }
  }
  std::uint32_t r = BKF_TRY(compile(e));
  if (r != target) g_.emit(Op::copy(r, target));
  return {};
}

Status ExprCompiler::check_level(std::uint32_t level) const {
  if (max_level_ && level > *max_level_) {
    return Error::exec("ON clause refers to a later table: " + ctx_->scopes[level].name);
  }
  return {};
}

Result<std::uint32_t> ExprCompiler::column_ref(const Expr::Column& c) {
  if (!ctx_) return Error::exec("no such column: " + c.name);
  std::uint32_t r = g_.reg();
  BKF_TRY(column_into(c, r));
  return r;
}

Status ExprCompiler::column_into(const Expr::Column& c, std::uint32_t target) {
  if (!ctx_) return Error::exec("no such column: " + c.name);
  Resolved res = BKF_TRY(ctx_->resolve(c));
  BKF_TRY(check_level(res.level));
  if (res.is_rowid()) g_.emit(Op::rowid(res.level, target));
  else g_.emit(Op::column(res.level, *res.column, target));
  return {};
}

Result<std::uint32_t> ExprCompiler::subquery(const SelectStmt& s) {
  if (!ctx_) return Error::exec("subquery requires a FROM context");
  CorrelatedSub sub = BKF_TRY(compile_correlated_subquery(s, *ctx_));
  for (const ParamSrc& p : sub.params) {
    if (p.kind != ParamSrc::Kind::Param) BKF_TRY(check_level(p.cursor));
  }
  std::uint32_t idx = g_.program().add_subprogram(std::move(sub.program));
  std::uint32_t r = g_.reg();
  g_.scalar_sub(idx, sub.params, r);
  return r;
}

std::optional<std::uint32_t> ExprCompiler::group_key(const Expr& e) const {
  if (!agg_ || !agg_->group_by) return std::nullopt;
  const auto& gb = *agg_->group_by;
  for (std::size_t i = 0; i < gb.size(); ++i) {
    if (gb[i] && eq(e, *gb[i], RealEq::Bits)) return agg_->key_start + static_cast<std::uint32_t>(i);
  }
  return std::nullopt;
}

Result<std::uint32_t> ExprCompiler::operand_reg(const Expr& e) {
  if (!agg_ && is_plain_literal(e) && g_.pool_size() < kPooledLiterals) return pooled_literal(e);
  return compile_tree(e);
}

Result<std::uint32_t> ExprCompiler::in_tree(const Expr& top, const Expr& operand) {
  const bool negated = top.as<Expr::Binary>().op == BinaryOp::And;
  std::vector<const Expr*> items = InTrees::items(top);
  const std::uint32_t x = BKF_TRY(operand_reg(operand));
  std::vector<const Expr*> compared;
  std::size_t fixed = 0;
  for (const Expr* item : items) fixed += fixed_for_run(*item);
  std::uint32_t acc = kNone;
  if (fixed >= kMinSetItems) {
    vm::InSetSpec spec;
    for (const Expr* item : items) {
      if (std::optional<Value> v = compile_time_value(*item)) {
        spec.values.add(*v);
      } else if (const auto* p = item->get_if<Expr::Param>()) {
        spec.binds.push_back(static_cast<std::uint32_t>(p->index));
      } else if (const auto* q = item->get_if<Expr::SubParam>()) {
        spec.params.push_back(static_cast<std::uint32_t>(q->index));
      } else {
        compared.push_back(item);
      }
    }
    spec.values.finish();
    acc = g_.reg();
    g_.emit(Op::in_set(g_.program().add_in_set(std::move(spec)), x, negated, acc));
  } else {
    compared = std::move(items);
  }
  const BinKind cmp = negated ? BinKind::Ne : BinKind::Eq;
  const BinKind link = negated ? BinKind::And : BinKind::Or;
  for (const Expr* item : compared) {
    const std::uint32_t v = BKF_TRY(operand_reg(*item));
    const std::uint32_t c = g_.reg();
    g_.emit(Op::binop(cmp, x, v, c));
    if (acc == kNone) {
      acc = c;
    } else {
      const std::uint32_t r = g_.reg();
      g_.emit(Op::binop(link, acc, c, r));
      acc = r;
    }
  }
  return acc;
}

Result<std::uint32_t> ExprCompiler::compile(const Expr& root) {
  // The answers about IN trees name nodes by address: they hold for the
  // tree being compiled only (a later tree may reuse a freed node's place).
  in_trees_ = InTrees();
  return compile_tree(root);
}

// The stacks of one compile_tree(): the nodes being compiled, the registers
// of the finished ones (the values their parents read), and the jumps of
// CASE pairs to the end of their CASE.
struct ExprCompiler::Walk {
  enum Stage : std::uint8_t {
    kFirst,         // not started
    kOperandsDone,  // operators: the operands are on the value stack
    // CASE, in the order of its parts:
    kCaseOperandDone,  // CASE x: x is on the value stack
    kCaseWhenDone,     // a pair's condition is on the value stack
    kCaseThenDone,     // a pair's value is in (on the stack, or loaded)
    kCaseElseDone,     // the ELSE value is on the value stack
  };
  struct Frame {
    const Expr* e;
    Stage stage = kFirst;
    // An operand of a binary operator, which only reads the register.
    bool is_operand = false;
    // Operators: where the operands start on the value stack.
    std::size_t operands_base = 0;
    // CASE
    std::uint32_t result = kNone;        // the CASE's register
    std::uint32_t case_operand = kNone;  // the register of CASE x's x
    std::size_t pair = 0;                // the WHEN pair being compiled
    std::uint32_t to_next_pair = 0;      // the pair's IfFalse
    bool then_on_stack = false;          // the pair's value is on the value stack
    std::size_t exits_base = 0;          // where the CASE's exits start
  };

  std::vector<Frame> frames;
  std::vector<std::uint32_t> values;
  std::vector<std::uint32_t> exits;

  void push(const Expr& e, bool is_operand = false) {
    frames.push_back(Frame{&e});
    frames.back().is_operand = is_operand;
  }
  // The node on top is done; its value is in reg.
  void finish(std::uint32_t reg) {
    frames.pop_back();
    values.push_back(reg);
  }
  std::uint32_t pop_value() {
    const std::uint32_t reg = values.back();
    values.pop_back();
    return reg;
  }
};

Result<std::uint32_t> ExprCompiler::compile_tree(const Expr& root) {
  Walk w;
  w.push(root);
  while (!w.frames.empty()) {
    const Walk::Frame& f = w.frames.back();
    const Expr& e = *f.e;
    if (f.stage == Walk::kFirst) {
      // An expression equal to a GROUP BY expression reads its key; an IN
      // tree is compiled whole.
      if (std::optional<std::uint32_t> key = group_key(e)) {
        w.finish(*key);
        continue;
      }
      if (is_and_or(e)) {
        if (const Expr* x = in_trees_.operand(e)) {
          w.finish(BKF_TRY(in_tree(e, *x)));
          continue;
        }
      }
    }
    switch (e.kind()) {
      case ExprKind::Unary:
      case ExprKind::Binary:
      case ExprKind::IsNull:
      case ExprKind::Function:
      case ExprKind::Cast:
      case ExprKind::Like: BKF_TRY(operator_step(w)); break;
      case ExprKind::Case: BKF_TRY(case_step(w)); break;
      default: w.finish(BKF_TRY(leaf(e, f.is_operand))); break;
    }
  }
  return w.values.back();
}

Result<std::uint32_t> ExprCompiler::leaf(const Expr& e, bool is_operand) {
  switch (e.kind()) {
    case ExprKind::Null:
    case ExprKind::Integer:
    case ExprKind::Real:
    case ExprKind::Str:
    case ExprKind::Blob: {
      // Nothing writes an operand's register, so a literal operand is read
      // from the constant pool, loaded once per run rather than once per row
      // (up to a bound, so that a statement of very many literals is not
      // slowed by the searches of the pool).
      if (is_operand && g_.pool_size() < kPooledLiterals) return pooled_literal(e);
      const std::uint32_t r = g_.reg();
      load_literal(g_, e, r);
      return r;
    }
    case ExprKind::Column:
      if (agg_) {
        return Error::exec("column \"" + e.as<Expr::Column>().name + "\" must appear in GROUP BY or an aggregate");
      }
      return column_ref(e.as<Expr::Column>());
    case ExprKind::Aggregate: {
      if (!agg_) return Error::exec("aggregate functions are not allowed here");
      if (agg_->calls) {
        for (const AggCall& c : *agg_->calls) {
          if (c.node == &e) return agg_->result_start + c.index;
        }
      }
      return Error::exec("aggregate call was not collected");
    }
    case ExprKind::Subquery:
      if (agg_) return Error::exec("subquery/IN not supported in this position");
      return subquery(*e.as<Expr::Subquery>().select);
    case ExprKind::InSelect:
    case ExprKind::InList:
      if (agg_) return Error::exec("subquery/IN not supported in this position");
      return Error::exec("IN(...) must be folded before compilation");
    case ExprKind::SubParam: {
      const std::uint32_t r = g_.reg();
      g_.emit(Op::param(static_cast<std::uint32_t>(e.as<Expr::SubParam>().index), r));
      return r;
    }
    case ExprKind::Param: {
      const std::uint32_t r = g_.reg();
      g_.emit(Op::bind(static_cast<std::uint32_t>(e.as<Expr::Param>().index), r));
      return r;
    }
    default: return Error::exec("internal error: expression kind with operands compiled as a leaf");
  }
}

Status ExprCompiler::operator_step(Walk& w) {
  Walk::Frame& f = w.frames.back();
  const Expr& e = *f.e;
  if (f.stage == Walk::kFirst) {
    if (const auto* fn = e.get_if<Expr::Function>()) {
      if (!scalar_kind_from_name(fn->name)) return Error::exec("unknown function " + fn->name);
    }
    f.stage = Walk::kOperandsDone;
    f.operands_base = w.values.size();
    // Pushed last to first, so that they are compiled first to last.
    const std::size_t first = w.frames.size();
    const bool binary = e.kind() == ExprKind::Binary;
    e.for_each_child([&](const ExprPtr& c) { w.push(*c, binary); });
    std::reverse(w.frames.begin() + static_cast<std::ptrdiff_t>(first), w.frames.end());
    return {};
  }
  const std::size_t base = f.operands_base;
  const std::uint32_t* v = w.values.data() + base;
  const auto n = static_cast<std::uint32_t>(w.values.size() - base);
  const std::uint32_t r = g_.reg();
  switch (e.kind()) {
    case ExprKind::Unary: g_.emit(Op::un(un_kind(e.as<Expr::Unary>().op), v[0], r)); break;
    case ExprKind::Binary: g_.emit(Op::binop(bin_kind(e.as<Expr::Binary>().op), v[0], v[1], r)); break;
    case ExprKind::IsNull: g_.emit(Op::is_null(v[0], e.as<Expr::IsNull>().negated, r)); break;
    case ExprKind::Function:
      g_.func(*scalar_kind_from_name(e.as<Expr::Function>().name), std::span<const std::uint32_t>(v, n), r);
      break;
    case ExprKind::Cast: g_.emit(Op::cast(v[0], e.as<Expr::Cast>().ty, r)); break;
    case ExprKind::Like: g_.emit(Op::like(v[0], v[1], e.as<Expr::Like>().negated, r)); break;
    default: break;
  }
  w.values.resize(base);
  w.finish(r);
  return {};
}

// CASE [x] WHEN c1 THEN v1 ... [ELSE d] END compiles to
//   result = Null; [x]
//   c1 (or x = c1); IfFalse -> pair 2; result = v1; Goto end
//   ...
//   [result = d]
//   end:
Status ExprCompiler::case_step(Walk& w) {
  Walk::Frame& f = w.frames.back();
  const auto& c = f.e->as<Expr::Case>();
  switch (f.stage) {
    case Walk::kFirst:
      f.result = g_.reg();
      g_.emit(Op::null(f.result));
      f.exits_base = w.exits.size();
      f.stage = Walk::kCaseOperandDone;
      if (c.operand) w.push(*c.operand);
      return {};
    case Walk::kCaseOperandDone:
      if (c.operand) f.case_operand = w.pop_value();
      return case_next_pair(w);
    case Walk::kCaseWhenDone: {
      std::uint32_t test = w.pop_value();
      if (f.case_operand != kNone) {
        const std::uint32_t eq = g_.reg();
        g_.emit(Op::binop(BinKind::Eq, f.case_operand, test, eq));
        test = eq;
      }
      f.to_next_pair = g_.emit(Op::if_false(test, 0));
      f.stage = Walk::kCaseThenDone;
      const Expr& then = *c.whens[f.pair].result;
      f.then_on_stack = !is_plain_literal(then);
      if (f.then_on_stack) w.push(then);
      else load_literal(g_, then, f.result);
      return {};
    }
    case Walk::kCaseThenDone:
      if (f.then_on_stack) g_.emit(Op::copy(w.pop_value(), f.result));
      w.exits.push_back(g_.emit(Op::goto_(0)));
      g_.patch_here(f.to_next_pair);
      ++f.pair;
      return case_next_pair(w);
    case Walk::kCaseElseDone:
      g_.emit(Op::copy(w.pop_value(), f.result));
      return case_end(w);
    default: return Error::exec("internal error: CASE in a stage of another node");
  }
}

// The next WHEN pair of the CASE on top, or its ELSE and end.
Status ExprCompiler::case_next_pair(Walk& w) {
  Walk::Frame& f = w.frames.back();
  const auto& c = f.e->as<Expr::Case>();
  if (f.pair < c.whens.size()) {
    f.stage = Walk::kCaseWhenDone;
    w.push(*c.whens[f.pair].condition);
    return {};
  }
  if (c.else_expr && !is_plain_literal(*c.else_expr)) {
    f.stage = Walk::kCaseElseDone;
    w.push(*c.else_expr);
    return {};
  }
  if (c.else_expr) load_literal(g_, *c.else_expr, f.result);
  return case_end(w);
}

// Every pair's exit lands here, after the ELSE.
Status ExprCompiler::case_end(Walk& w) {
  const Walk::Frame& f = w.frames.back();
  for (std::size_t k = f.exits_base; k < w.exits.size(); ++k) g_.patch_here(w.exits[k]);
  w.exits.resize(f.exits_base);
  w.finish(f.result);
  return {};
}

}  // namespace bkf::compile
