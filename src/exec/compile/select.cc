#include "exec/compile/select.h"

#include <limits>

#include "exec/compile/aggregate.h"
#include "exec/compile/compile_expr.h"
#include "exec/compile/expr_util.h"

namespace bkf::compile {

Result<std::optional<std::int64_t>> const_limit(const ExprPtr& e) {
  if (!e) return std::optional<std::int64_t>();
  if (const auto* i = e->get_if<Expr::Integer>()) return std::optional<std::int64_t>(i->value);
  return Error::exec("LIMIT must be a constant integer");
}

Result<Ctx> make_scopes(const std::vector<JoinedTable>& from, const Catalog& catalog) {
  Ctx ctx;
  ctx.catalog = &catalog;
  for (std::size_t k = 0; k < from.size(); ++k) {
    const TableDef* t = catalog.get(from[k].table);
    if (!t) return Error::exec("no such table: " + from[k].table);
    ctx.scopes.push_back(TableScope{from[k].alias ? *from[k].alias : from[k].table, t, static_cast<std::uint32_t>(k)});
  }
  return ctx;
}

Result<std::vector<ResultItem>> expand_items(const SelectStmt& s, const Ctx* ctx) {
  std::vector<ResultItem> out;
  auto expand_scope = [&](const TableScope& sc) {
    for (const Column& c : sc.table->columns) {
      ResultItem it;
      it.owned = make_expr(Expr::Column{sc.name, c.name});
      it.expr = it.owned.get();
      it.name = c.name;
      out.push_back(std::move(it));
    }
  };
  for (const SelectItem& item : s.items) {
    switch (item.kind()) {
      case SelectItemKind::Star: {
        if (!ctx) return Error::exec("SELECT * requires a FROM clause");
        for (const TableScope& sc : ctx->scopes) expand_scope(sc);
        break;
      }
      case SelectItemKind::QualifiedStar: {
        const std::string& q = item.as<SelectItem::QualifiedStar>().table;
        if (!ctx) return Error::exec("SELECT * requires a FROM clause");
        const TableScope* found = nullptr;
        for (const TableScope& sc : ctx->scopes) {
          if (ascii_iequal(sc.name, q)) {
            found = &sc;
            break;
          }
        }
        if (!found) return Error::exec("unknown table in " + q + ".*");
        expand_scope(*found);
        break;
      }
      case SelectItemKind::Expr: {
        const auto& x = item.as<SelectItem::Expr>();
        ResultItem it;
        it.expr = x.expr.get();
        it.name = x.alias ? *x.alias : expr_name(*x.expr);
        out.push_back(std::move(it));
        break;
      }
    }
  }
  return out;
}

void mark_index_only(const SelectStmt& s, const Ctx& ctx, LoopNest& nest) {
  for (std::size_t k = 1; k < nest.levels.size(); ++k) {
    NestLevel& lv = nest.levels[k];
    const AccessPlan& p = lv.plan;
    if (p.kind != AccessPlan::Kind::Index || p.eq.size() != 1 || p.lower || p.upper) continue;
    const auto* on = lv.on ? lv.on->get_if<Expr::Binary>() : nullptr;
    if (!on || on->op != BinaryOp::Eq || p.eq[0].source != lv.on) continue;
    const std::uint32_t level = static_cast<std::uint32_t>(k);
    auto reads = [&](const ExprPtr& e) { return e && reads_level_columns(*e, ctx, level); };
    bool ok = true;
    for (const SelectItem& it : s.items) {
      if (it.is<SelectItem::Star>()) ok = false;
      else if (const auto* q = it.get_if<SelectItem::QualifiedStar>()) {
        if (ascii_iequal(q->table, ctx.scopes[k].name)) ok = false;
      } else if (reads(it.as<SelectItem::Expr>().expr)) {
        ok = false;
      }
    }
    if (reads(s.where) || reads(s.having)) ok = false;
    for (const ExprPtr& g : s.group_by) {
      if (reads(g)) ok = false;
    }
    for (const OrderTerm& o : s.order_by) {
      if (reads(o.expr)) ok = false;
    }
    for (std::size_t j = 0; j < s.from.size(); ++j) {
      if (j != k && reads(s.from[j].on)) ok = false;
    }
    lv.index_only = ok;
  }
}

std::optional<std::uint64_t> rows_needed(const SelectStmt& s, std::optional<std::int64_t> limit,
                                         std::optional<std::int64_t> offset, const SelectOptions& opts) {
  if (!s.order_by.empty() || s.distinct || s.calc_found_rows) return std::nullopt;
  std::uint64_t skip = offset && *offset > 0 ? static_cast<std::uint64_t>(*offset) : 0;
  std::optional<std::uint64_t> keep;
  if (limit) keep = *limit > 0 ? static_cast<std::uint64_t>(*limit) : 0;
  if (opts.first_row_only) keep = keep ? std::min<std::uint64_t>(*keep, 1) : 1;
  if (!keep) return std::nullopt;
  if (*keep == 0) return 0;
  if (skip > std::numeric_limits<std::uint64_t>::max() - *keep) return std::nullopt;
  return skip + *keep;
}

QueryLimits query_limits(const SelectStmt& s, const SelectOptions& opts) {
  QueryLimits q{const_limit(s.limit), const_limit(s.offset), std::nullopt};
  if (q.limit && q.offset) q.needed = rows_needed(s, *q.limit, *q.offset, opts);
  return q;
}

Result<Program> finish_query(Gen& g, const SelectStmt& s, QueryLimits& limits, std::vector<ResultItem>& items,
                             const Ctx& ctx) {
  g.program().limit = BKF_TRY(std::move(limits.limit));
  g.program().offset = BKF_TRY(std::move(limits.offset));
  for (ResultItem& it : items) g.program().columns.push_back(std::move(it.name));
  for (const OrderTerm& o : s.order_by) g.program().order_desc.push_back(o.desc);
  g.program().ncursors = static_cast<std::uint32_t>(ctx.scopes.size());
  g.program().visible = static_cast<std::uint32_t>(items.size());
  g.program().distinct = s.distinct;
  return g.finish();
}

void RowLimiter::init(Label& stop) {
  if (!needed_) return;
  if (*needed_ == 0) {
    stop.add(g_.emit(Op::goto_(0)));
    return;
  }
  counter_ = g_.reg();
  g_.emit(Op::integer(0, counter_));
}

void RowLimiter::after_row(Label& stop) {
  if (!needed_ || *needed_ == 0) return;
  std::uint32_t t = g_.reg(), c = g_.reg();
  g_.emit(Op::binop(BinKind::Add, counter_, g_.k_int(1), t));
  g_.emit(Op::copy(t, counter_));
  std::int64_t n = *needed_ > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                       ? std::numeric_limits<std::int64_t>::max()
                       : static_cast<std::int64_t>(*needed_);
  g_.emit(Op::binop(BinKind::Ge, t, g_.k_int(n), c));
  stop.add(g_.emit(Op::if_true(c, 0)));
}

namespace {

bool is_bare_count(const SelectStmt& s) {
  if (s.from.size() != 1 || s.where || !s.group_by.empty() || s.having || !s.order_by.empty() || s.items.size() != 1)
    return false;
  const auto* it = s.items[0].get_if<SelectItem::Expr>();
  if (!it) return false;
  const auto* a = it->expr->get_if<Expr::Aggregate>();
  return a && a->func == AggFunc::Count && !a->distinct && !a->arg;
}

bool is_aggregate_query(const SelectStmt& s) {
  if (!s.group_by.empty() || s.having) return true;
  for (const SelectItem& it : s.items) {
    if (const auto* x = it.get_if<SelectItem::Expr>(); x && expr_has_agg(*x->expr)) return true;
  }
  return false;
}

Result<Program> compile_bare_count(const SelectStmt& s, const Catalog& catalog) {
  const TableDef* t = catalog.get(s.from[0].table);
  if (!t) return Error::exec("no such table: " + s.from[0].table);
  Gen g;
  g.start();
  std::uint32_t r = g.reg();
  g.emit(Op::open_read(0, t->root));
  g.emit(Op::count(0, r));
  g.emit(Op::result_row(r, 1));
  g.emit(Op::halt());
  const auto& item = s.items[0].as<SelectItem::Expr>();
  g.program().columns.push_back(item.alias ? *item.alias : "count(*)");
  g.program().limit = BKF_TRY(const_limit(s.limit));
  g.program().offset = BKF_TRY(const_limit(s.offset));
  g.program().ncursors = 1;
  g.program().visible = 1;
  g.program().distinct = s.distinct;
  return g.finish();
}

Result<Program> compile_no_from(const SelectStmt& s, const SelectOptions& opts) {
  if (s.where || !s.order_by.empty()) return Error::exec("WHERE/ORDER BY require a FROM clause");
  std::vector<ResultItem> items = BKF_TRY(expand_items(s, nullptr));
  Gen g;
  g.start();
  const std::uint32_t n = static_cast<std::uint32_t>(items.size());
  const std::uint32_t base = g.regs(n);
  for (std::uint32_t i = 0; i < n; ++i) BKF_TRY(compile_into(g, *items[i].expr, nullptr, base + i));
  std::optional<std::int64_t> limit = BKF_TRY(const_limit(s.limit));
  std::optional<std::int64_t> offset = BKF_TRY(const_limit(s.offset));
  Label stop;
  RowLimiter limiter(g, rows_needed(s, limit, offset, opts));
  limiter.init(stop);
  g.emit(Op::result_row(base, n));
  stop.resolve_here(g);
  g.emit(Op::halt());
  for (ResultItem& it : items) g.program().columns.push_back(std::move(it.name));
  g.program().limit = limit;
  g.program().offset = offset;
  g.program().visible = n;
  g.program().distinct = s.distinct;
  return g.finish();
}

Result<Program> compile_plain(const SelectStmt& s, const Catalog& catalog, const SelectOptions& opts) {
  Ctx ctx = BKF_TRY(make_scopes(s.from, catalog));
  std::vector<ResultItem> items = BKF_TRY(expand_items(s, &ctx));
  Gen g;
  g.start();
  const std::uint32_t n = static_cast<std::uint32_t>(items.size());
  const std::uint32_t m = static_cast<std::uint32_t>(s.order_by.size());
  const std::uint32_t base = g.regs(n + m);
  for (const TableScope& sc : ctx.scopes) g.emit(Op::open_read(sc.level, sc.table->root));

  QueryLimits limits = query_limits(s, opts);

  LoopNest nest(g, ctx, catalog);
  nest.plan(s.where.get(), &s.from);
  mark_index_only(s, ctx, nest);
  RowLimiter limiter(g, limits.needed);
  limiter.init(nest.exit);
  BKF_TRY(nest.emit([&]() -> Status {
    ExprCompiler ec(g, &ctx);
    for (std::uint32_t i = 0; i < n; ++i) BKF_TRY(ec.compile_into(*items[i].expr, base + i));
    for (std::uint32_t j = 0; j < m; ++j) BKF_TRY(ec.compile_into(*s.order_by[j].expr, base + n + j));
    g.emit(Op::result_row(base, n + m));
    limiter.after_row(nest.exit);
    return {};
  }));
  g.emit(Op::halt());
  return finish_query(g, s, limits, items, ctx);
}

}  // namespace

Result<Program> compile_select_with(const SelectStmt& s, const Catalog& catalog, const SelectOptions& opts) {
  if (is_bare_count(s)) return compile_bare_count(s, catalog);
  if (is_aggregate_query(s)) return compile_aggregate(s, catalog, opts);
  if (s.from.empty()) return compile_no_from(s, opts);
  return compile_plain(s, catalog, opts);
}

Result<Program> compile_select(const SelectStmt& s, const Catalog& catalog) {
  return compile_select_with(s, catalog, SelectOptions{});
}

}  // namespace bkf::compile
