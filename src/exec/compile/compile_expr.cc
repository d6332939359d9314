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

// The low bit of the syntax tree's unary operator is flipped to get the
// instruction's (Neg 0 / Not 1 against Not 0 / Neg 1).
UnKind un_kind(UnaryOp op) { return static_cast<UnKind>(static_cast<std::uint8_t>(op) ^ 1u); }

bool is_plain_literal(const Expr& e) {
  switch (e.kind()) {
    case ExprKind::Null:
    case ExprKind::Integer:
    case ExprKind::Real:
    case ExprKind::Str: return true;
    default: return false;
  }
}

// One node being compiled. Generic nodes use stage 0 (push children) and
// stage 1 (emit); CASE walks through its own stages.
struct Frame {
  const Expr* e;
  std::uint32_t stage = 0;
  std::uint32_t vbase = 0;  // values stack size before the children
  // CASE state
  std::uint32_t r = kNone;  // result register
  std::uint32_t o = kNone;  // operand register
  std::uint32_t i = 0;      // current WHEN pair
  std::uint32_t jf = 0;     // the pair's IfFalse
  std::uint32_t exits = 0;  // exits stack size at the start
  bool operand = false;     // an operand of a binary operator, which only reads it
};

enum CaseStage : std::uint32_t {
  kCaseStart = 0,
  kCaseOperandDone = 1,
  kCaseWhenDone = 2,
  kCaseThenDone = 3,
  kCaseElseDone = 4,
};

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

Result<std::uint32_t> ExprCompiler::compile_tree(const Expr& root) {
  std::vector<Frame> frames;
  std::vector<std::uint32_t> vals;   // results of finished nodes
  std::vector<std::uint32_t> exits;  // pending Gotos of CASE pairs
  frames.push_back(Frame{&root});

  auto push_children = [&](const Expr& e) {
    std::size_t base = frames.size();
    const bool operands = e.kind() == ExprKind::Binary;
    e.for_each_child([&](const ExprPtr& c) {
      frames.push_back(Frame{c.get()});
      frames.back().operand = operands;
    });
    std::reverse(frames.begin() + static_cast<std::ptrdiff_t>(base), frames.end());
  };
  auto finish = [&](std::uint32_t reg) {
    frames.pop_back();
    vals.push_back(reg);
  };

  while (!frames.empty()) {
    const Expr& e = *frames.back().e;
    const std::uint32_t stage = frames.back().stage;

    if (stage == 0 && agg_) {
      if (std::optional<std::uint32_t> k = group_key(e)) {
        finish(*k);
        continue;
      }
    }
    if (stage == 0 && is_and_or(e)) {
      if (const Expr* x = in_trees_.operand(e)) {
        finish(BKF_TRY(in_tree(e, *x)));
        continue;
      }
    }

    switch (e.kind()) {
      case ExprKind::Null:
      case ExprKind::Integer:
      case ExprKind::Real:
      case ExprKind::Str:
      case ExprKind::Blob: {
        if (frames.back().operand && g_.pool_size() < kPooledLiterals) {
          // Nothing writes an operand's register, so a literal operand is
          // read from the constant pool, loaded once per run rather than
          // once per row (up to a bound, so that a statement of very many
          // literals is not slowed by the searches of the pool).
          finish(pooled_literal(e));
          continue;
        }
        std::uint32_t r = g_.reg();
        load_literal(g_, e, r);
        finish(r);
        continue;
      }
      case ExprKind::Column: {
        if (agg_) {
          return Error::exec("column \"" + e.as<Expr::Column>().name + "\" must appear in GROUP BY or an aggregate");
        }
        finish(BKF_TRY(column_ref(e.as<Expr::Column>())));
        continue;
      }
      case ExprKind::Aggregate: {
        if (!agg_) return Error::exec("aggregate functions are not allowed here");
        const std::vector<AggCall>* calls = agg_->calls;
        std::optional<std::uint32_t> idx;
        if (calls) {
          for (const AggCall& c : *calls) {
            if (c.node == &e) {
              idx = c.index;
              break;
            }
          }
        }
        if (!idx) return Error::exec("aggregate call was not collected");
        finish(agg_->result_start + *idx);
        continue;
      }
      case ExprKind::Subquery: {
        if (agg_) return Error::exec("subquery/IN not supported in this position");
        finish(BKF_TRY(subquery(*e.as<Expr::Subquery>().select)));
        continue;
      }
      case ExprKind::InSelect:
      case ExprKind::InList: {
        if (agg_) return Error::exec("subquery/IN not supported in this position");
        return Error::exec("IN(...) must be folded before compilation");
      }
      case ExprKind::SubParam: {
        std::uint32_t r = g_.reg();
        g_.emit(Op::param(static_cast<std::uint32_t>(e.as<Expr::SubParam>().index), r));
        finish(r);
        continue;
      }
      case ExprKind::Param: {
        std::uint32_t r = g_.reg();
        g_.emit(Op::bind(static_cast<std::uint32_t>(e.as<Expr::Param>().index), r));
        finish(r);
        continue;
      }
      case ExprKind::Unary:
      case ExprKind::Binary:
      case ExprKind::IsNull:
      case ExprKind::Function:
      case ExprKind::Cast:
      case ExprKind::Like: {
        if (stage == 0) {
          if (const auto* f = e.get_if<Expr::Function>()) {
            if (!scalar_kind_from_name(f->name)) return Error::exec("unknown function " + f->name);
          }
          frames.back().stage = 1;
          frames.back().vbase = static_cast<std::uint32_t>(vals.size());
          push_children(e);
          continue;
        }
        const std::uint32_t vbase = frames.back().vbase;
        const std::uint32_t* v = vals.data() + vbase;
        const std::uint32_t n = static_cast<std::uint32_t>(vals.size()) - vbase;
        std::uint32_t r = g_.reg();
        switch (e.kind()) {
          case ExprKind::Unary: g_.emit(Op::un(un_kind(e.as<Expr::Unary>().op), v[0], r)); break;
          case ExprKind::Binary:
            g_.emit(Op::binop(static_cast<BinKind>(e.as<Expr::Binary>().op), v[0], v[1], r));
            break;
          case ExprKind::IsNull: g_.emit(Op::is_null(v[0], e.as<Expr::IsNull>().negated, r)); break;
          case ExprKind::Function:
            g_.func(*scalar_kind_from_name(e.as<Expr::Function>().name), std::span<const std::uint32_t>(v, n),
                         r);
            break;
          case ExprKind::Cast: g_.emit(Op::cast(v[0], e.as<Expr::Cast>().ty, r)); break;
          case ExprKind::Like: g_.emit(Op::like(v[0], v[1], e.as<Expr::Like>().negated, r)); break;
          default: break;
        }
        vals.resize(vbase);
        finish(r);
        continue;
      }
      case ExprKind::Case: {
        const auto& c = e.as<Expr::Case>();
        Frame& f = frames.back();
        switch (stage) {
          case kCaseStart: {
            f.r = g_.reg();
            g_.emit(Op::null(f.r));
            f.exits = static_cast<std::uint32_t>(exits.size());
            f.i = 0;
            f.stage = kCaseOperandDone;
            if (c.operand) {
              f.vbase = static_cast<std::uint32_t>(vals.size());
              frames.push_back(Frame{c.operand.get()});
            }
            continue;
          }
          case kCaseOperandDone:
          case kCaseThenDone: {
            if (stage == kCaseOperandDone) {
              if (c.operand) {
                f.o = vals.back();
                vals.pop_back();
              }
            } else {
              // The THEN value of pair i is in; jump to the end and let the
              // pair's test fall to the next pair.
              if (f.vbase != kNone) {
                g_.emit(Op::copy(vals.back(), f.r));
                vals.pop_back();
              }
              exits.push_back(g_.emit(Op::goto_(0)));
              g_.patch_here(f.jf);
              ++f.i;
            }
            if (f.i < c.whens.size()) {
              f.stage = kCaseWhenDone;
              frames.push_back(Frame{c.whens[f.i].condition.get()});
              continue;
            }
            // ELSE, then every pair's exit lands after it.
            if (c.else_expr && !is_plain_literal(*c.else_expr)) {
              f.stage = kCaseElseDone;
              frames.push_back(Frame{c.else_expr.get()});
              continue;
            }
            if (c.else_expr) load_literal(g_, *c.else_expr, f.r);
            [[fallthrough]];
          }
          case kCaseElseDone: {
            if (stage == kCaseElseDone) {
              g_.emit(Op::copy(vals.back(), f.r));
              vals.pop_back();
            }
            for (std::size_t k = f.exits; k < exits.size(); ++k) g_.patch_here(exits[k]);
            exits.resize(f.exits);
            finish(f.r);
            continue;
          }
          case kCaseWhenDone: {
            std::uint32_t w = vals.back();
            vals.pop_back();
            std::uint32_t test = w;
            if (f.o != kNone) {
              test = g_.reg();
              g_.emit(Op::binop(BinKind::Eq, f.o, w, test));
            }
            f.jf = g_.emit(Op::if_false(test, 0));
            const Expr& then = *c.whens[f.i].result;
            f.stage = kCaseThenDone;
            if (is_plain_literal(then)) {
              load_literal(g_, then, f.r);
              f.vbase = kNone;  // nothing to copy
            } else {
              f.vbase = 0;
              frames.push_back(Frame{&then});
            }
            continue;
          }
          default: break;
        }
        continue;
      }
    }
  }
  return vals.back();
}

}  // namespace bkf::compile
