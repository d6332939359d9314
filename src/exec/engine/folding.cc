#include "exec/engine/folding.h"

#include <optional>
#include <utility>
#include <vector>

#include "exec/compile/expr_walk.h"
#include "exec/engine/fold_rewrites.h"
#include "exec/engine/queries.h"

namespace bkf::engine {

namespace {

class Folder {
 public:
  explicit Folder(Engine& engine) : engine_(engine) {}

  void fold_select(SelectStmt& s) {
    for_each_expr_root(s, [&](ExprPtr& root) { fold_expr(root); });
  }

  // Children before their parent, so that an IN test's operand and items
  // are folded before the comparisons copy them.
  void fold_expr(ExprPtr& root) {
    if (!expr_has_subquery(*root)) return;
    compile::walk_slots_post(root, [&](ExprPtr& slot) { fold_node(slot); });
  }

  // The first storage failure (I/O, a damaged page or record) met running a
  // subquery: the statement reports it as it is, where any other failure
  // leaves the subquery as written for the compiler.
  std::optional<Error> failure;

 private:
  void note(const Error& e) {
    if (e.is_storage() && !failure) failure = e;
  }

  void fold_node(ExprPtr& slot) {
    if (failure) return;
    Expr& e = *slot;
    if (auto* sq = e.get_if<Expr::Subquery>()) {
      // A subquery that cannot run on its own stays as written; the
      // compiler makes a sub-program of it (or reports why it cannot).
      Result<std::vector<Row>> rows = run(*sq->select, true);
      if (!rows) {
        note(rows.error());
        return;
      }
      Value v;
      if (!rows->empty() && !(*rows)[0].empty()) v = std::move((*rows)[0][0]);
      slot = value_to_expr(v);
    } else if (auto* in = e.get_if<Expr::InSelect>()) {
      Result<std::vector<Row>> rows = run(*in->select, false);
      if (!rows) {
        note(rows.error());
        return;
      }
      std::vector<ExprPtr> items;
      items.reserve(rows->size());
      for (const Row& r : *rows) {
        if (!r.empty()) items.push_back(value_to_expr(r[0]));
      }
      ExprPtr chain = in_comparisons(std::move(in->operand), std::move(items), in->negated);
      slot = std::move(chain);
    } else if (auto* list = e.get_if<Expr::InList>()) {
      ExprPtr chain = in_comparisons(std::move(list->operand), std::move(list->list), list->negated);
      slot = std::move(chain);
    }
  }

  // Folds a copy of the subquery (innermost subqueries first) and runs it,
  // UNION members included; the rows are ordered, de-duplicated and cut.
  Result<std::vector<Row>> run(const SelectStmt& q, bool first_row_only) {
    SelectStmt copy = q.clone();
    fold_select(copy);
    if (failure) return *failure;
    QueryRows r = BKF_TRY(run_select_rows(engine_, copy, false, first_row_only));
    return std::move(r.rows);
  }

  Engine& engine_;
};

}  // namespace

Result<Statement> fold_statement(Engine& engine, Statement st, std::span<const Value> binds) {
  if (!binds.empty()) bind_params_in_subqueries(st, binds);
  Folder folder(engine);
  for_each_expr_root(st, [&](ExprPtr& root) { folder.fold_expr(root); });
  if (folder.failure) return std::move(*folder.failure);
  return st;
}

}  // namespace bkf::engine
