#include "exec/compile/access_plan.h"

#include <map>

#include "exec/compile/expr_walk.h"

namespace bkf::compile {

namespace {

std::optional<CmpOp> cmp_op(BinaryOp op) {
  switch (op) {
    case BinaryOp::Eq: return CmpOp::Eq;
    case BinaryOp::Lt: return CmpOp::Lt;
    case BinaryOp::Le: return CmpOp::Le;
    case BinaryOp::Gt: return CmpOp::Gt;
    case BinaryOp::Ge: return CmpOp::Ge;
    default: return std::nullopt;
  }
}

// `k op c` read as `c op' k`.
CmpOp mirror(CmpOp op) {
  switch (op) {
    case CmpOp::Lt: return CmpOp::Gt;
    case CmpOp::Le: return CmpOp::Ge;
    case CmpOp::Gt: return CmpOp::Lt;
    case CmpOp::Ge: return CmpOp::Le;
    case CmpOp::Eq: return CmpOp::Eq;
  }
  return op;
}

bool is_lower(CmpOp op) { return op == CmpOp::Gt || op == CmpOp::Ge; }

// A key can be evaluated before `level` is positioned: it reads only earlier
// levels (or nothing) and holds no aggregate, subquery or IN list.
bool key_available(const Expr& key, const Ctx& ctx, std::uint32_t level) {
  return !any_node(key, [&](const Expr& x) {
    switch (x.kind()) {
      case ExprKind::Column: {
        Result<Resolved> r = ctx.resolve(x.as<Expr::Column>());
        return !r || r->level >= level;
      }
      case ExprKind::Aggregate:
      case ExprKind::Subquery:
      case ExprKind::InSelect:
      case ExprKind::InList: return true;
      default: return false;
    }
  });
}

struct ColumnCands {
  std::vector<KeyBound> eq, lower, upper;
};

}  // namespace

AccessPlan plan_access(const Ctx& ctx, std::uint32_t level, const std::vector<const Expr*>& conds,
                       const Catalog& catalog) {
  ColumnCands rowid;
  std::map<std::uint32_t, ColumnCands> cols;

  auto orient = [&](const Expr& col_side, const Expr& key_side, CmpOp op, const Expr* source) {
    const auto* c = col_side.get_if<Expr::Column>();
    if (!c) return false;
    Result<Resolved> r = ctx.resolve(*c);
    if (!r || r->level != level) return false;
    if (!key_available(key_side, ctx, level)) return false;
    ColumnCands& cands = r->is_rowid() ? rowid : cols[*r->column];
    KeyBound b{op, &key_side, source};
    if (op == CmpOp::Eq) cands.eq.push_back(b);
    else if (is_lower(op)) cands.lower.push_back(b);
    else cands.upper.push_back(b);
    return true;
  };
  for (const Expr* cond : conds) {
    const auto* b = cond->get_if<Expr::Binary>();
    if (!b) continue;
    std::optional<CmpOp> op = cmp_op(b->op);
    if (!op) continue;
    if (!orient(*b->left, *b->right, *op, cond)) orient(*b->right, *b->left, mirror(*op), cond);
  }

  AccessPlan plan;
  if (!rowid.eq.empty()) {
    plan.kind = AccessPlan::Kind::Rowid;
    plan.rowid_eq = rowid.eq.front();
    return plan;
  }

  const TableScope& scope = ctx.scopes[level];
  std::vector<const IndexDef*> indexes = catalog.indexes_for(scope.table->name);
  auto usable = [](const IndexDef* ix) {
    return !ix->column_positions.empty() && ix->column_positions.size() == ix->columns.size();
  };
  const IndexDef* best = nullptr;
  std::size_t best_score = 0;
  for (const IndexDef* ix : indexes) {
    if (!usable(ix)) continue;
    std::size_t score = 0;
    while (score < ix->column_positions.size()) {
      auto it = cols.find(static_cast<std::uint32_t>(ix->column_positions[score]));
      if (it == cols.end() || it->second.eq.empty()) break;
      ++score;
    }
    if (score > best_score) {
      best = ix;
      best_score = score;
    }
  }
  auto attach_range = [&](const IndexDef* ix, std::size_t pos) {
    auto it = cols.find(static_cast<std::uint32_t>(ix->column_positions[pos]));
    if (it == cols.end()) return;
    if (!it->second.lower.empty()) plan.lower = it->second.lower.back();
    if (!it->second.upper.empty()) plan.upper = it->second.upper.back();
  };
  if (best) {
    plan.kind = AccessPlan::Kind::Index;
    plan.index = best;
    for (std::size_t i = 0; i < best_score; ++i) {
      plan.eq.push_back(cols[static_cast<std::uint32_t>(best->column_positions[i])].eq.back());
    }
    if (best_score < best->column_positions.size()) attach_range(best, best_score);
    return plan;
  }
  for (const IndexDef* ix : indexes) {
    if (!usable(ix)) continue;
    attach_range(ix, 0);
    if (plan.lower || plan.upper) {
      plan.kind = AccessPlan::Kind::Index;
      plan.index = ix;
      return plan;
    }
  }
  if (!rowid.lower.empty() || !rowid.upper.empty()) {
    plan.kind = AccessPlan::Kind::Rowid;
    if (!rowid.lower.empty()) plan.lower = rowid.lower.front();
    if (!rowid.upper.empty()) plan.upper = rowid.upper.front();
  }
  return plan;
}

}  // namespace bkf::compile
