#include "exec/compile/expr_util.h"

#include <algorithm>
#include <utility>

#include "exec/compile/expr_walk.h"

namespace bkf::compile {

const Expr* InTrees::operand(const Expr& top) {
  if (auto it = known_.find(&top); it != known_.end()) return it->second;
  const BinaryOp join = top.as<Expr::Binary>().op;
  const BinaryOp cmp = join == BinaryOp::Or ? BinaryOp::Eq : BinaryOp::Ne;
  auto is_join = [&](const Expr& x) {
    const auto* b = x.get_if<Expr::Binary>();
    return b != nullptr && b->op == join;
  };
  // An OR (AND) node below top not answered before: answered in this walk.
  auto fresh = [&](const Expr& c) { return is_join(c) && !known_.contains(&c); };
  // The operand any other child brings: its earlier answer, or a
  // comparison's left side.
  auto known_operand = [&](const Expr& c) -> const Expr* {
    if (is_join(c)) return known_.at(&c);
    const auto* b = c.get_if<Expr::Binary>();
    return b != nullptr && b->op == cmp ? b->left.get() : nullptr;
  };
  // Post-order over the fresh nodes; `results` holds the answers of the
  // finished nodes whose parent has not used them yet (left below right).
  struct Item {
    const Expr* e;
    bool expanded;
  };
  std::vector<Item> stack{{&top, false}};
  std::vector<const Expr*> results;
  std::vector<std::pair<const Expr*, const Expr*>> answers;
  auto take = [&] {
    const Expr* x = results.back();
    results.pop_back();
    return x;
  };
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    const auto& b = item.e->as<Expr::Binary>();
    if (!item.expanded) {
      stack.push_back({item.e, true});
      if (fresh(*b.right)) stack.push_back({b.right.get(), false});
      if (fresh(*b.left)) stack.push_back({b.left.get(), false});
      continue;
    }
    const Expr* r = fresh(*b.right) ? take() : known_operand(*b.right);
    const Expr* l = fresh(*b.left) ? take() : known_operand(*b.left);
    const Expr* x = l != nullptr && r != nullptr && eq(*l, *r, RealEq::Bits) ? l : nullptr;
    results.push_back(x);
    answers.emplace_back(item.e, x);
  }
  // Nobody descends into an IN tree, so only its top is kept; below any
  // other node, every answer may be asked for.
  const Expr* x = results.back();
  if (x != nullptr) known_.emplace(&top, x);
  else known_.insert(answers.begin(), answers.end());
  return x;
}

std::vector<const Expr*> InTrees::items(const Expr& top) {
  const BinaryOp join = top.as<Expr::Binary>().op;
  std::vector<const Expr*> out;
  std::vector<const Expr*> stack{&top};
  while (!stack.empty()) {
    const auto& b = stack.back()->as<Expr::Binary>();
    stack.pop_back();
    if (b.op == join) {
      stack.push_back(b.right.get());
      stack.push_back(b.left.get());
    } else {
      out.push_back(b.right.get());
    }
  }
  return out;
}

std::vector<const Expr*> conjuncts(const Expr& e) {
  std::vector<const Expr*> out;
  std::vector<const Expr*> stack{&e};
  InTrees in_trees;
  while (!stack.empty()) {
    const Expr* x = stack.back();
    stack.pop_back();
    if (const auto* b = x->get_if<Expr::Binary>(); b && b->op == BinaryOp::And && !in_trees.operand(*x)) {
      stack.push_back(b->right.get());
      stack.push_back(b->left.get());
    } else {
      out.push_back(x);
    }
  }
  return out;
}

namespace {

const char* agg_name(AggFunc f) {
  switch (f) {
    case AggFunc::Count: return "count";
    case AggFunc::Sum: return "sum";
    case AggFunc::Avg: return "avg";
    case AggFunc::Min: return "min";
    case AggFunc::Max: return "max";
    case AggFunc::Any: return "any";
  }
  return "any";
}

}  // namespace

std::string expr_name(const Expr& e) {
  // Aggregate calls nest only through their argument; unwrap them in a loop.
  std::string prefix;
  std::size_t open = 0;
  const Expr* x = &e;
  while (const auto* a = x->get_if<Expr::Aggregate>()) {
    if (a->func != AggFunc::Any) {
      prefix += agg_name(a->func);
      prefix += '(';
      ++open;
    }
    if (!a->arg) {  // count(*); an any() always has its column
      prefix += '*';
      return prefix + std::string(open, ')');
    }
    x = a->arg.get();
  }
  if (const auto* c = x->get_if<Expr::Column>()) prefix += c->name;
  else prefix += "expr";
  return prefix + std::string(open, ')');
}

bool expr_has_agg(const Expr& e) {
  return !walk(e, [](const Expr& x) {
    switch (x.kind()) {
      case ExprKind::Aggregate: return Walk::Stop;
      case ExprKind::Case:
      case ExprKind::Subquery:
      case ExprKind::InSelect:
      case ExprKind::InList: return Walk::Skip;
      default: return Walk::Descend;
    }
  });
}

void collect_aggs(const Expr& e, std::vector<const Expr*>& list, std::vector<AggCall>& index_of) {
  walk(e, [&](const Expr& x) {
    switch (x.kind()) {
      case ExprKind::Aggregate: {
        std::uint32_t idx = static_cast<std::uint32_t>(list.size());
        for (std::size_t i = 0; i < list.size(); ++i) {
          if (eq(*list[i], x, RealEq::Bits)) {
            idx = static_cast<std::uint32_t>(i);
            break;
          }
        }
        if (idx == list.size()) list.push_back(&x);
        index_of.push_back(AggCall{&x, idx});
        return Walk::Skip;
      }
      case ExprKind::Subquery:
      case ExprKind::InSelect:
      case ExprKind::InList: return Walk::Skip;
      default: return Walk::Descend;
    }
  });
}

ExprPtr wrap_bare_columns(const Expr& e, const std::vector<ExprPtr>& group_by) {
  ExprPtr out = std::make_unique<Expr>(e.clone());
  walk_slots(out, [&](ExprPtr& slot) {
    for (const ExprPtr& g : group_by) {
      if (g && eq(*slot, *g, RealEq::Bits)) return Walk::Skip;
    }
    switch (slot->kind()) {
      case ExprKind::Column: {
        ExprPtr col = std::move(slot);
        slot = make_expr(Expr::Aggregate{AggFunc::Any, false, std::move(col)});
        return Walk::Skip;
      }
      case ExprKind::Unary:
      case ExprKind::Binary:
      case ExprKind::IsNull:
      case ExprKind::Cast:
      case ExprKind::Like:
      case ExprKind::Function: return Walk::Descend;
      default: return Walk::Skip;
    }
  });
  return out;
}

bool expr_reads_table(const Expr& e, std::string_view table) {
  return any_node(e, [&](const Expr& x) {
    if (const auto* s = x.get_if<Expr::Subquery>()) return select_reads_table(*s->select, table);
    if (const auto* s = x.get_if<Expr::InSelect>()) return select_reads_table(*s->select, table);
    return false;
  });
}

bool select_reads_table(const SelectStmt& s, std::string_view table) {
  auto reads = [&](const ExprPtr& e) { return e && expr_reads_table(*e, table); };
  for (const JoinedTable& j : s.from) {
    if (j.table == table || reads(j.on)) return true;
  }
  for (const SelectItem& it : s.items) {
    if (const auto* x = it.get_if<SelectItem::Expr>(); x && reads(x->expr)) return true;
  }
  if (reads(s.where) || reads(s.having) || reads(s.limit) || reads(s.offset)) return true;
  for (const ExprPtr& g : s.group_by) {
    if (reads(g)) return true;
  }
  for (const OrderTerm& o : s.order_by) {
    if (reads(o.expr)) return true;
  }
  for (const CompoundMember& m : s.compound) {
    if (select_reads_table(m.select, table)) return true;
  }
  return false;
}

LevelUse level_use(const Expr& e, const Ctx& ctx) {
  LevelUse use;
  walk(e, [&](const Expr& x) {
    switch (x.kind()) {
      case ExprKind::Column: {
        Result<Resolved> r = ctx.resolve(x.as<Expr::Column>());
        if (!r) use.unresolved = true;
        else use.deepest = std::max(use.deepest, static_cast<int>(r->level));
        return Walk::Skip;
      }
      case ExprKind::Subquery:
      case ExprKind::InSelect: use.subquery = true; return Walk::Descend;
      default: return Walk::Descend;
    }
  });
  return use;
}

bool reads_level_columns(const Expr& e, const Ctx& ctx, std::uint32_t level) {
  return any_node(e, [&](const Expr& x) {
    switch (x.kind()) {
      case ExprKind::Column: {
        Result<Resolved> r = ctx.resolve(x.as<Expr::Column>());
        if (!r) return true;
        return r->level == level && !r->is_rowid();
      }
      case ExprKind::Subquery:
      case ExprKind::InSelect: return true;
      default: return false;
    }
  });
}

}  // namespace bkf::compile
