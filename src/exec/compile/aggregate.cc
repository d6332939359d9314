#include "exec/compile/aggregate.h"

#include "exec/compile/compile_expr.h"
#include "exec/compile/expr_util.h"
#include "exec/compile/loops.h"

namespace bkf::compile {

namespace {

vm::AggSpec agg_spec(const Expr::Aggregate& a) {
  vm::AggSpec spec;
  spec.distinct = a.distinct;
  switch (a.func) {
    case AggFunc::Count: spec.kind = a.arg ? vm::AggKind::Count : vm::AggKind::CountStar; break;
    case AggFunc::Sum: spec.kind = vm::AggKind::Sum; break;
    case AggFunc::Avg: spec.kind = vm::AggKind::Avg; break;
    case AggFunc::Min: spec.kind = vm::AggKind::Min; break;
    case AggFunc::Max: spec.kind = vm::AggKind::Max; break;
    case AggFunc::Any: spec.kind = vm::AggKind::Any; break;
  }
  return spec;
}

}  // namespace

Result<Program> compile_aggregate(const SelectStmt& s, const Catalog& catalog, const SelectOptions& opts) {
  if (s.from.empty()) return Error::exec("aggregate query needs a FROM clause");
  Ctx ctx = BKF_TRY(make_scopes(s.from, catalog));
  std::vector<ResultItem> items = BKF_TRY(expand_items(s, &ctx));

  // Rewritten trees of the group phase.
  std::vector<ExprPtr> wrapped_items;
  for (const ResultItem& it : items) wrapped_items.push_back(wrap_bare_columns(*it.expr, s.group_by));
  ExprPtr having = s.having ? wrap_bare_columns(*s.having, s.group_by) : nullptr;
  std::vector<ExprPtr> wrapped_order;
  for (const OrderTerm& o : s.order_by) wrapped_order.push_back(wrap_bare_columns(*o.expr, s.group_by));

  std::vector<const Expr*> aggs;
  std::vector<AggCall> calls;
  for (const ExprPtr& e : wrapped_items) collect_aggs(*e, aggs, calls);
  if (having) collect_aggs(*having, aggs, calls);
  for (const ExprPtr& e : wrapped_order) collect_aggs(*e, aggs, calls);

  Gen g;
  g.start();
  const std::uint32_t ng = static_cast<std::uint32_t>(s.group_by.size());
  const std::uint32_t na = static_cast<std::uint32_t>(aggs.size());
  const std::uint32_t n = static_cast<std::uint32_t>(items.size());
  const std::uint32_t m = static_cast<std::uint32_t>(s.order_by.size());
  const std::uint32_t K = g.regs(ng);
  const std::uint32_t R = g.regs(na);
  const std::uint32_t O = g.regs(n + m);
  const std::uint32_t S = g.regs(ng);
  const std::uint32_t A = g.regs(na);
  for (const Expr* a : aggs) g.program().agg_specs.push_back(agg_spec(a->as<Expr::Aggregate>()));

  for (const TableScope& sc : ctx.scopes) g.emit(Op::open_read(sc.level, sc.table->root));

  QueryLimits limits = query_limits(s, opts);

  // Scan phase (skipped entirely when LIMIT keeps no row).
  Label stop;
  RowLimiter limiter(g, limits.needed);
  limiter.init(stop);
  LoopNest nest(g, ctx, catalog);
  nest.plan(s.where.get(), &s.from);
  mark_index_only(s, ctx, nest);
  BKF_TRY(nest.emit([&]() -> Status {
    ExprCompiler ec(g, &ctx);
    for (std::uint32_t i = 0; i < ng; ++i) BKF_TRY(ec.compile_into(*s.group_by[i], S + i));
    for (std::uint32_t j = 0; j < na; ++j) {
      const auto& a = aggs[j]->as<Expr::Aggregate>();
      if (a.arg) BKF_TRY(ec.compile_into(*a.arg, A + j));
      else g.emit(Op::null(A + j));
    }
    g.emit(Op::agg_start(S, ng));
    for (std::uint32_t j = 0; j < na; ++j) g.emit(Op::agg_step(j, A + j));
    return {};
  }));

  // Group phase.
  AggContext actx;
  actx.group_by = &s.group_by;
  actx.key_start = K;
  actx.result_start = R;
  actx.calls = &calls;
  std::uint32_t rewind = g.emit(Op::agg_rewind(0, K, ng, ng > 0));
  std::uint32_t top = g.here();
  for (std::uint32_t j = 0; j < na; ++j) g.emit(Op::agg_result(j, R + j));
  ExprCompiler gc(g, actx);
  Label next_group;
  if (having) {
    std::uint32_t h = BKF_TRY(gc.compile(*having));
    next_group.add(g.emit(Op::if_false(h, 0)));
  }
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint32_t r = BKF_TRY(gc.compile(*wrapped_items[i]));
    g.emit(Op::copy(r, O + i));
  }
  for (std::uint32_t k = 0; k < m; ++k) {
    std::uint32_t r = BKF_TRY(gc.compile(*wrapped_order[k]));
    g.emit(Op::copy(r, O + n + k));
  }
  g.emit(Op::result_row(O, n + m));
  limiter.after_row(stop);
  next_group.resolve_here(g);
  g.emit(Op::agg_next(top, K, ng));
  g.patch_here(rewind);
  stop.resolve_here(g);
  g.emit(Op::halt());
  return finish_query(g, s, limits, items, ctx);
}

}  // namespace bkf::compile
