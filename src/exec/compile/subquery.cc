#include "exec/compile/subquery.h"

#include <algorithm>
#include <utility>

#include "exec/compile/select.h"

namespace bkf::compile {

std::uint32_t intern(ParamMap& map, std::vector<ParamSrc>& list, std::string key, const ParamSrc& src) {
  auto it = map.find(key);
  if (it != map.end()) return it->second;
  std::uint32_t idx = static_cast<std::uint32_t>(list.size());
  list.push_back(src);
  map.emplace(std::move(key), idx);
  return idx;
}

ExprPtr in_list_chain(const Expr::InList& in) {
  const BinaryOp cmp = in.negated ? BinaryOp::Ne : BinaryOp::Eq;
  const BinaryOp join = in.negated ? BinaryOp::And : BinaryOp::Or;
  if (in.list.empty()) return make_expr(Expr::Integer{in.negated ? 1 : 0});
  std::vector<ExprPtr> level;
  level.reserve(in.list.size());
  for (const ExprPtr& item : in.list) {
    level.push_back(make_expr(Expr::Binary{cmp, clone(in.operand), clone(item)}));
  }
  // Pair neighbours until one tree is left: depth grows with log(items).
  while (level.size() > 1) {
    std::vector<ExprPtr> next;
    next.reserve((level.size() + 1) / 2);
    for (std::size_t i = 0; i + 1 < level.size(); i += 2) {
      next.push_back(make_expr(Expr::Binary{join, std::move(level[i]), std::move(level[i + 1])}));
    }
    if (level.size() % 2 == 1) next.push_back(std::move(level.back()));
    level = std::move(next);
  }
  return std::move(level[0]);
}

namespace {

bool shadowed(const std::vector<std::string>& shadow, std::string_view q) {
  for (const std::string& s : shadow) {
    if (ascii_iequal(s, q)) return true;
  }
  return false;
}

std::string scope_name(const JoinedTable& j) { return j.alias ? *j.alias : j.table; }

}  // namespace

Result<ExprPtr> subst_expr(const Expr& e, const std::vector<std::string>& shadow, const Ctx& ctx,
                           std::vector<ParamSrc>& list, ParamMap& map) {
  ExprPtr out = std::make_unique<Expr>(e.clone());
  // Pre-order over the slots of the copy; the subquery of an IN (subquery)
  // is rewritten after its operand (a second visit, `post`), so parameters
  // are numbered in the order the references appear.
  struct Item {
    ExprPtr* slot;
    bool post;
  };
  std::vector<Item> stack{{&out, false}};
  auto push_children = [&](Expr& x) {
    std::size_t base = stack.size();
    x.for_each_child([&](ExprPtr& c) { stack.push_back(Item{&c, false}); });
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(base), stack.end());
  };
  while (!stack.empty()) {
    Item item = stack.back();
    stack.pop_back();
    ExprPtr& slot = *item.slot;
    Expr& x = *slot;
    if (item.post) {
      auto& in = x.as<Expr::InSelect>();
      *in.select = BKF_TRY(subst_select(*in.select, shadow, ctx, list, map));
      continue;
    }
    switch (x.kind()) {
      case ExprKind::Column: {
        const auto& c = x.as<Expr::Column>();
        if (!c.table || shadowed(shadow, *c.table)) break;
        Resolved r = BKF_TRY(ctx.resolve(c));
        ParamSrc src = r.is_rowid() ? ParamSrc::rowid(r.level) : ParamSrc::col(r.level, *r.column);
        std::uint32_t idx = intern(map, list, ascii_lower(*c.table) + "." + ascii_lower(c.name), src);
        slot = make_expr(Expr::SubParam{idx});
        break;
      }
      case ExprKind::SubParam: {
        std::size_t i = x.as<Expr::SubParam>().index;
        std::uint32_t idx =
            intern(map, list, "$p" + std::to_string(i), ParamSrc::param(static_cast<std::uint32_t>(i)));
        slot = make_expr(Expr::SubParam{idx});
        break;
      }
      case ExprKind::Subquery: {
        auto& sq = x.as<Expr::Subquery>();
        *sq.select = BKF_TRY(subst_select(*sq.select, shadow, ctx, list, map));
        break;
      }
      case ExprKind::InSelect:
        stack.push_back(Item{item.slot, true});
        push_children(x);
        break;
      case ExprKind::InList:
        // Replaced by its comparison chain, whose parts are then rewritten.
        slot = in_list_chain(x.as<Expr::InList>());
        push_children(*slot);
        break;
      default: push_children(x); break;
    }
  }
  return out;
}

Result<SelectStmt> subst_select(const SelectStmt& s, const std::vector<std::string>& shadow, const Ctx& ctx,
                                std::vector<ParamSrc>& list, ParamMap& map) {
  std::vector<std::string> names = shadow;
  for (const JoinedTable& j : s.from) names.push_back(scope_name(j));

  auto rewrite = [&](const ExprPtr& e) -> Result<ExprPtr> {
    if (!e) return ExprPtr();
    return subst_expr(*e, names, ctx, list, map);
  };

  SelectStmt out;
  out.distinct = s.distinct;
  out.calc_found_rows = s.calc_found_rows;
  for (const SelectItem& it : s.items) {
    if (const auto* x = it.get_if<SelectItem::Expr>()) {
      out.items.push_back(SelectItem(SelectItem::Expr{BKF_TRY(rewrite(x->expr)), x->alias}));
    } else {
      out.items.push_back(it.clone());
    }
  }
  for (const JoinedTable& j : s.from) {
    JoinedTable nj;
    nj.table = j.table;
    nj.alias = j.alias;
    nj.kind = j.kind;
    nj.on = BKF_TRY(rewrite(j.on));
    out.from.push_back(std::move(nj));
  }
  out.where = BKF_TRY(rewrite(s.where));
  for (const ExprPtr& g : s.group_by) out.group_by.push_back(BKF_TRY(rewrite(g)));
  out.having = BKF_TRY(rewrite(s.having));
  for (const OrderTerm& o : s.order_by) {
    OrderTerm t;
    t.expr = BKF_TRY(rewrite(o.expr));
    t.desc = o.desc;
    out.order_by.push_back(std::move(t));
  }
  out.limit = BKF_TRY(rewrite(s.limit));
  out.offset = BKF_TRY(rewrite(s.offset));
  for (const CompoundMember& m : s.compound) out.compound.push_back(m.clone());
  return out;
}

Result<CorrelatedSub> compile_correlated_subquery(const SelectStmt& s, const Ctx& ctx) {
  if (!s.compound.empty()) return Error::exec("UNION is not supported in a correlated subquery");
  CorrelatedSub out;
  ParamMap map;
  SelectStmt rewritten = BKF_TRY(subst_select(s, {}, ctx, out.params, map));
  SelectOptions opts;
  opts.first_row_only = true;
  out.program = BKF_TRY(compile_select_with(rewritten, *ctx.catalog, opts));
  return out;
}

}  // namespace bkf::compile
