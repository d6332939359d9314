#include "exec/engine/queries.h"

#include <optional>
#include <utility>

#include "base/on_exit.h"
#include "exec/engine/compiling.h"
#include "exec/engine/engine.h"
#include "exec/engine/fold_rewrites.h"
#include "exec/engine/row_set.h"
#include "exec/engine/select_rules.h"
#include "exec/value_ops.h"
#include "exec/vm/post_run.h"
#include "exec/vm/vm.h"

namespace bkf::engine {

namespace {

// The first SELECT of a UNION on its own: the statement without its
// members and without the ORDER BY, LIMIT and OFFSET that belong to the
// whole UNION.
SelectStmt union_core(const SelectStmt& s) {
  SelectStmt core;
  core.distinct = s.distinct;
  core.calc_found_rows = s.calc_found_rows;
  core.items.reserve(s.items.size());
  for (const SelectItem& item : s.items) core.items.push_back(item.clone());
  core.from.reserve(s.from.size());
  for (const JoinedTable& jt : s.from) core.from.push_back(jt.clone());
  core.where = clone(s.where);
  core.group_by.reserve(s.group_by.size());
  for (const ExprPtr& g : s.group_by) core.group_by.push_back(clone(g));
  core.having = clone(s.having);
  return core;
}

}  // namespace

Result<std::vector<Row>> run_query(Engine& engine, const vm::Program& program, bool calc_found_rows,
                                   std::span<const Value> params, vm::Vm* kept) {
  // Sort on the trailing keys and cut them off; then DISTINCT, the found
  // rows, OFFSET and LIMIT. Without DISTINCT that is one post-run, and when
  // it cuts to the first rows of an ORDER BY the machine keeps only rows
  // that can be among them.
  vm::PostRun first = vm::PostRun::of(program);
  const std::optional<std::uint64_t> cut_to =
      program.distinct || first.sort_keys.empty() ? std::nullopt : vm::rows_kept(first);
  std::vector<Row> rows;
  std::optional<std::uint64_t> emitted;
  std::optional<vm::Vm> own;
  vm::Vm& vm = kept != nullptr ? *kept : own.emplace(engine.session().pager(), params);
  if (kept != nullptr) kept->rearm(params);
  if (cut_to) vm.keep_first_rows(*cut_to);
  {
    // A kept machine holds no page between runs, whatever ends this one.
    const OnExit released([kept] {
      if (kept != nullptr) kept->release_pages();
    });
    BKF_TRY(vm.run(program));
    rows = vm.take_rows();
    if (vm.keeps_first_rows()) emitted = vm.rows_emitted();
  }
  if (!program.distinct) {
    const std::uint64_t found = vm::apply_post_run(rows, first);
    if (calc_found_rows) engine.set_found_rows(emitted ? *emitted : found);
    return rows;
  }
  // DISTINCT compares the rows' values directly (row_set.h), which is
  // cheaper than encoding each row.
  first.distinct = false;
  first.offset.reset();
  first.limit.reset();
  vm::apply_post_run(rows, first);
  dedup_rows(rows);
  if (calc_found_rows) engine.set_found_rows(rows.size());
  if (program.offset || program.limit) {
    vm::PostRun cut;
    cut.offset = program.offset;
    cut.limit = program.limit;
    vm::apply_post_run(rows, cut);
  }
  return rows;
}

Result<QueryRows> run_select_rows(Engine& engine, const SelectStmt& s, bool calc_found_rows, bool first_row_only) {
  const Catalog& catalog = engine.session().catalog();
  if (s.compound.empty()) {
    vm::Program p = BKF_TRY(compile_query(catalog, s, first_row_only && !calc_found_rows));
    std::vector<Row> rows = BKF_TRY(run_query(engine, p, calc_found_rows, {}));
    return QueryRows{std::move(p.columns), std::move(rows)};
  }

  vm::Program first = BKF_TRY(compile_query(catalog, union_core(s)));
  QueryRows out;
  out.columns = std::move(first.columns);
  out.rows = BKF_TRY(run_query(engine, first, false, {}));
  bool dedup = false;
  for (const CompoundMember& m : s.compound) {
    vm::Program p = BKF_TRY(compile_query(catalog, m.select));
    if (p.columns.size() != out.columns.size()) {
      return Error::exec("each UNION branch must return the same number of columns");
    }
    std::vector<Row> rows = BKF_TRY(run_query(engine, p, false, {}));
    out.rows.reserve(out.rows.size() + rows.size());
    for (Row& r : rows) out.rows.push_back(std::move(r));
    if (!m.all) dedup = true;
  }
  if (dedup) dedup_rows(out.rows);
  // The ORDER BY, OFFSET and LIMIT of the whole UNION, in one post-run.
  vm::PostRun post;
  post.sort_keys.reserve(s.order_by.size());
  for (const OrderTerm& t : s.order_by) {
    std::size_t col = BKF_TRY(resolve_union_order_col(*t.expr, out.columns));
    post.sort_keys.push_back(SortKey{col, t.desc});
  }
  if (s.offset) post.offset = val_to_i64(BKF_TRY(eval_const_expr(engine, *s.offset)));
  if (s.limit) post.limit = val_to_i64(BKF_TRY(eval_const_expr(engine, *s.limit)));
  vm::apply_post_run(out.rows, post);
  return out;
}

Result<ExecResult> run_select_statement(Engine& engine, const SelectStmt& s) {
  if (std::optional<std::string> name = found_rows_query(s)) {
    std::vector<Row> rows(1);
    rows[0].push_back(Value::integer(static_cast<std::int64_t>(engine.found_rows())));
    return ExecResult::rows_of({std::move(*name)}, std::move(rows));
  }
  QueryRows r = BKF_TRY(run_select_rows(engine, s, s.calc_found_rows));
  return ExecResult::rows_of(std::move(r.columns), std::move(r.rows));
}

Result<Value> eval_const_expr(Engine& engine, const Expr& e) {
  switch (e.kind()) {
    case ExprKind::Null:
    case ExprKind::Integer:
    case ExprKind::Real:
    case ExprKind::Str:
    case ExprKind::Blob: return literal_value(e);
    case ExprKind::Unary: {
      // A negative number is a minus before a literal: no program needed.
      const auto& u = e.as<Expr::Unary>();
      if (u.op == UnaryOp::Neg && (u.operand->is<Expr::Integer>() || u.operand->is<Expr::Real>())) {
        Value out;
        value_ops::neg(literal_value(*u.operand), out);
        return out;
      }
      break;
    }
    default: break;
  }
  // Anything else runs as a one-item query without FROM.
  SelectStmt q;
  q.items.push_back(SelectItem(SelectItem::Expr{std::make_unique<Expr>(e.clone()), std::nullopt}));
  vm::Program p = BKF_TRY(compile_query(engine.session().catalog(), q));
  std::vector<Row> rows = BKF_TRY(run_query(engine, p, false, {}));
  if (rows.empty() || rows[0].empty()) return Value();
  return std::move(rows[0][0]);
}

}  // namespace bkf::engine
