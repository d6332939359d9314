#include "exec/engine/fold_rewrites.h"

#include <algorithm>
#include <utility>

#include "exec/compile/expr_walk.h"

namespace bkf::engine {

namespace {

// ---- walking ------------------------------------------------------------------

// Calls f(slot) for every expression root of the query's own clauses (not
// its UNION members): items, ON conditions, WHERE, GROUP BY, HAVING,
// ORDER BY, LIMIT, OFFSET. This order is also the order in which folding
// runs the subqueries.
template <class F>
void for_each_root(SelectStmt& s, F&& f) {
  for (SelectItem& item : s.items) {
    if (auto* e = item.get_if<SelectItem::Expr>()) f(e->expr);
  }
  for (JoinedTable& jt : s.from) {
    if (jt.on) f(jt.on);
  }
  if (s.where) f(s.where);
  for (ExprPtr& g : s.group_by) f(g);
  if (s.having) f(s.having);
  for (OrderTerm& t : s.order_by) f(t.expr);
  if (s.limit) f(s.limit);
  if (s.offset) f(s.offset);
}

// The query's roots, then every UNION member's.
template <class F>
void for_each_root_with_members(SelectStmt& s, F&& f) {
  for_each_root(s, f);
  for (CompoundMember& m : s.compound) for_each_root_with_members(m.select, f);
}

// Calls f(slot) for every expression root of a statement's own clauses; a
// SELECT (or INSERT's SELECT source) with its UNION members.
template <class F>
void for_each_root(Statement& st, F&& f) {
  if (auto* sel = st.get_if<Statement::Select>()) {
    for_each_root_with_members(sel->select, f);
  } else if (auto* ins = st.get_if<Statement::Insert>()) {
    if (auto* v = ins->source.get_if<InsertSource::Values>()) {
      for (ExprPtr& e : v->values) f(e);
    } else {
      for_each_root_with_members(ins->source.as<InsertSource::Select>().select, f);
    }
    if (auto* u = ins->on_conflict.get_if<OnConflict::Update>()) {
      for (Assignment& a : u->assignments) f(a.value);
    }
  } else if (auto* up = st.get_if<Statement::Update>()) {
    for (Assignment& a : up->assignments) f(a.value);
    if (up->where) f(up->where);
  } else if (auto* del = st.get_if<Statement::Delete>()) {
    if (del->where) f(del->where);
  }
}

// The query of a subquery node, or null for any other node.
SelectStmt* subquery_of(Expr& e) {
  if (auto* sq = e.get_if<Expr::Subquery>()) return sq->select.get();
  if (auto* in = e.get_if<Expr::InSelect>()) return in->select.get();
  return nullptr;
}

// Pre-order over every node of the tree below `root` (not into subqueries):
// f(slot) may replace the node in its slot; the replacement's children are
// then visited.
template <class F>
void visit_nodes(ExprPtr& root, F&& f) {
  compile::walk_slots(root, [&](ExprPtr& slot) {
    f(slot);
    return compile::Walk::Descend;
  });
}

// Every node of the query, its members and, through subquery nodes, every
// nested query.
template <class F>
void visit_nodes_deep(SelectStmt& s, F& f) {
  for_each_root_with_members(s, [&](ExprPtr& root) {
    visit_nodes(root, [&](ExprPtr& slot) {
      f(slot);
      if (SelectStmt* sub = subquery_of(*slot)) visit_nodes_deep(*sub, f);
    });
  });
}

bool is_fold_target(const Expr& e) {
  return e.is<Expr::Subquery>() || e.is<Expr::InSelect>() || e.is<Expr::InList>();
}

ExprPtr make_binary(BinaryOp op, ExprPtr l, ExprPtr r) {
  return make_expr(Expr::Binary{op, std::move(l), std::move(r)});
}

}  // namespace

// ---- tests and pure rewrites ------------------------------------------------------

void for_each_expr_root(Statement& st, const std::function<void(ExprPtr&)>& f) { for_each_root(st, f); }
void for_each_expr_root(SelectStmt& s, const std::function<void(ExprPtr&)>& f) { for_each_root_with_members(s, f); }

bool expr_has_subquery(const Expr& e) { return compile::any_node(e, is_fold_target); }

bool stmt_has_subquery(const Statement& st) {
  if (st.is<Statement::Select>()) return true;
  if (auto* ins = st.get_if<Statement::Insert>(); ins && ins->source.is<InsertSource::Select>()) return true;
  if (!st.is<Statement::Insert>() && !st.is<Statement::Update>() && !st.is<Statement::Delete>()) return false;
  return stmt_has_fold_targets(st);
}

bool stmt_has_fold_targets(const Statement& st) {
  bool found = false;
  for_each_root(const_cast<Statement&>(st), [&](ExprPtr& root) {
    if (!found && expr_has_subquery(*root)) found = true;
  });
  return found;
}

std::size_t count_params(const Statement& st) {
  std::size_t n = 0;
  auto note = [&](ExprPtr& slot) {
    if (auto* p = slot->get_if<Expr::Param>()) n = std::max(n, p->index + 1);
  };
  for_each_root(const_cast<Statement&>(st), [&](ExprPtr& root) {
    visit_nodes(root, [&](ExprPtr& slot) {
      note(slot);
      if (SelectStmt* sub = subquery_of(*slot)) visit_nodes_deep(*sub, note);
    });
  });
  return n;
}

void rewrite_in_lists(Statement& st) {
  // Post-order, so that an IN list inside an operand or item is rewritten
  // before the copy of that operand is made.
  for_each_root(st, [](ExprPtr& root) {
    compile::walk_slots_post(root, [](ExprPtr& slot) {
      if (auto* in = slot->get_if<Expr::InList>()) {
        ExprPtr chain = in_comparisons(std::move(in->operand), std::move(in->list), in->negated);
        slot = std::move(chain);
      }
    });
  });
}

void bind_params_in_subqueries(Statement& st, std::span<const Value> binds) {
  auto bind = [&](ExprPtr& slot) {
    if (auto* p = slot->get_if<Expr::Param>()) {
      slot = p->index < binds.size() ? value_to_expr(binds[p->index]) : make_expr(Expr::Null{});
    }
  };
  for_each_root(st, [&](ExprPtr& root) {
    visit_nodes(root, [&](ExprPtr& slot) {
      if (SelectStmt* sub = subquery_of(*slot)) visit_nodes_deep(*sub, bind);
    });
  });
}

ExprPtr in_comparisons(ExprPtr operand, std::vector<ExprPtr> items, bool negated) {
  if (items.empty()) return make_expr(Expr::Integer{negated ? 1 : 0});
  const BinaryOp cmp = negated ? BinaryOp::Ne : BinaryOp::Eq;
  const BinaryOp join = negated ? BinaryOp::And : BinaryOp::Or;
  std::vector<ExprPtr> level;
  level.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    ExprPtr lhs = i + 1 == items.size() ? std::move(operand) : clone(operand);
    level.push_back(make_binary(cmp, std::move(lhs), std::move(items[i])));
  }
  // Pairs neighbours level by level: the tree keeps the items' order from
  // left to right and has depth ceil(log2(n)).
  while (level.size() > 1) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < level.size(); i += 2) {
      if (i + 1 < level.size()) level[out++] = make_binary(join, std::move(level[i]), std::move(level[i + 1]));
      else level[out++] = std::move(level[i]);
    }
    level.resize(out);
  }
  return std::move(level[0]);
}

ExprPtr value_to_expr(const Value& v) {
  switch (v.kind()) {
    case ValueKind::Null: return make_expr(Expr::Null{});
    case ValueKind::Int: return make_expr(Expr::Integer{v.int_value()});
    case ValueKind::Real: return make_expr(Expr::Real{v.real_value()});
    case ValueKind::Text: return make_expr(Expr::Str{v.bytes_string()});
    case ValueKind::Blob: return make_expr(Expr::Blob{v.bytes_string()});
  }
  return make_expr(Expr::Null{});
}

Value literal_value(const Expr& e) {
  switch (e.kind()) {
    case ExprKind::Integer: return Value::integer(e.as<Expr::Integer>().value);
    case ExprKind::Real: return Value::real(e.as<Expr::Real>().value);
    case ExprKind::Str: return Value::text(e.as<Expr::Str>().value);
    case ExprKind::Blob: return Value::blob(e.as<Expr::Blob>().bytes);
    default: return Value::null();
  }
}

}  // namespace bkf::engine
