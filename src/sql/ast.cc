#include "sql/ast.h"

#include <algorithm>
#include <cstring>

#include "base/ascii.h"

namespace bkf {
namespace {

// The variants' alternative order is the fixed kind numbering.
static_assert(std::variant_size_v<Expr::Node> == 19);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(ExprKind::Case), Expr::Node>, Expr::Case>);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(ExprKind::Blob), Expr::Node>, Expr::Blob>);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(ExprKind::SubParam), Expr::Node>, Expr::SubParam>);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(ExprKind::InSelect), Expr::Node>, Expr::InSelect>);
static_assert(std::variant_size_v<Statement::Node> == 13);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(StatementKind::Pragma), Statement::Node>, Statement::Pragma>);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(StatementKind::AlterTableAddColumn), Statement::Node>, Statement::AlterTableAddColumn>);
static_assert(std::variant_size_v<Constraint::Node> == 5);
static_assert(std::variant_size_v<SelectItem::Node> == 3);
static_assert(std::variant_size_v<InsertSource::Node> == 2);
static_assert(std::variant_size_v<OnConflict::Node> == 4);

// A copy of one node with every Expr child slot left empty (lists sized to
// the source's); SelectStmts inside it are copied deeply. Expr::clone fills
// the slots without recursion.
Expr shallow_copy(const Expr& e) {
  switch (e.kind()) {
    case ExprKind::Null: return Expr::Null{};
    case ExprKind::Integer: return e.as<Expr::Integer>();
    case ExprKind::Real: return e.as<Expr::Real>();
    case ExprKind::Str: return e.as<Expr::Str>();
    case ExprKind::Column: return e.as<Expr::Column>();
    case ExprKind::Unary: return Expr::Unary{e.as<Expr::Unary>().op, nullptr};
    case ExprKind::Binary: return Expr::Binary{e.as<Expr::Binary>().op, nullptr, nullptr};
    case ExprKind::IsNull: return Expr::IsNull{e.as<Expr::IsNull>().negated, nullptr};
    case ExprKind::Aggregate: {
      const auto& x = e.as<Expr::Aggregate>();
      return Expr::Aggregate{x.func, x.distinct, nullptr};
    }
    case ExprKind::Function: {
      const auto& x = e.as<Expr::Function>();
      return Expr::Function{x.name, std::vector<ExprPtr>(x.args.size())};
    }
    case ExprKind::Cast: return Expr::Cast{nullptr, e.as<Expr::Cast>().ty};
    case ExprKind::Subquery:
      return Expr::Subquery{std::make_unique<SelectStmt>(e.as<Expr::Subquery>().select->clone())};
    case ExprKind::InSelect: {
      const auto& x = e.as<Expr::InSelect>();
      return Expr::InSelect{x.negated, nullptr, std::make_unique<SelectStmt>(x.select->clone())};
    }
    case ExprKind::InList: {
      const auto& x = e.as<Expr::InList>();
      return Expr::InList{x.negated, nullptr, std::vector<ExprPtr>(x.list.size())};
    }
    case ExprKind::SubParam: return e.as<Expr::SubParam>();
    case ExprKind::Param: return e.as<Expr::Param>();
    case ExprKind::Like: return Expr::Like{e.as<Expr::Like>().negated, nullptr, nullptr};
    case ExprKind::Blob: return e.as<Expr::Blob>();
    case ExprKind::Case: return Expr::Case{nullptr, std::vector<WhenClause>(e.as<Expr::Case>().whens.size()), nullptr};
  }
  return Expr::Null{};
}

// Compares everything of two nodes except their Expr children: kind,
// scalars, texts, list lengths, and (deeply) any SelectStmt they hold.
bool shallow_eq(const Expr& a, const Expr& b, RealEq reals) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case ExprKind::Null: return true;
    case ExprKind::Integer: return a.as<Expr::Integer>().value == b.as<Expr::Integer>().value;
    case ExprKind::Real: {
      const double x = a.as<Expr::Real>().value, y = b.as<Expr::Real>().value;
      return reals == RealEq::Ieee ? x == y : std::memcmp(&x, &y, sizeof x) == 0;
    }
    case ExprKind::Str: return a.as<Expr::Str>().value == b.as<Expr::Str>().value;
    case ExprKind::Column: {
      const auto& x = a.as<Expr::Column>();
      const auto& y = b.as<Expr::Column>();
      return x.table == y.table && x.name == y.name;
    }
    case ExprKind::Unary: return a.as<Expr::Unary>().op == b.as<Expr::Unary>().op;
    case ExprKind::Binary: return a.as<Expr::Binary>().op == b.as<Expr::Binary>().op;
    case ExprKind::IsNull: return a.as<Expr::IsNull>().negated == b.as<Expr::IsNull>().negated;
    case ExprKind::Aggregate: {
      const auto& x = a.as<Expr::Aggregate>();
      const auto& y = b.as<Expr::Aggregate>();
      return x.func == y.func && x.distinct == y.distinct;
    }
    case ExprKind::Function: {
      const auto& x = a.as<Expr::Function>();
      const auto& y = b.as<Expr::Function>();
      return x.name == y.name && x.args.size() == y.args.size();
    }
    case ExprKind::Cast: return a.as<Expr::Cast>().ty == b.as<Expr::Cast>().ty;
    case ExprKind::Subquery: return eq(*a.as<Expr::Subquery>().select, *b.as<Expr::Subquery>().select);
    case ExprKind::InSelect: {
      const auto& x = a.as<Expr::InSelect>();
      const auto& y = b.as<Expr::InSelect>();
      return x.negated == y.negated && eq(*x.select, *y.select);
    }
    case ExprKind::InList: {
      const auto& x = a.as<Expr::InList>();
      const auto& y = b.as<Expr::InList>();
      return x.negated == y.negated && x.list.size() == y.list.size();
    }
    case ExprKind::SubParam: return a.as<Expr::SubParam>().index == b.as<Expr::SubParam>().index;
    case ExprKind::Param: return a.as<Expr::Param>().index == b.as<Expr::Param>().index;
    case ExprKind::Like: return a.as<Expr::Like>().negated == b.as<Expr::Like>().negated;
    case ExprKind::Blob: return a.as<Expr::Blob>().bytes == b.as<Expr::Blob>().bytes;
    case ExprKind::Case: return a.as<Expr::Case>().whens.size() == b.as<Expr::Case>().whens.size();
  }
  return false;
}

bool has_grandchildren(const Expr& e) {
  bool deep = false;
  e.for_each_child([&](const ExprPtr& c) {
    if (!deep) c->for_each_child([&](const ExprPtr&) { deep = true; });
  });
  return deep;
}

template <class T>
std::vector<T> clone_all(const std::vector<T>& v) {
  std::vector<T> out;
  out.reserve(v.size());
  for (const T& x : v) out.push_back(x.clone());
  return out;
}

template <class T>
bool eq_all(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!eq(a[i], b[i])) return false;
  }
  return true;
}

std::vector<ExprPtr> clone_all(const std::vector<ExprPtr>& v) {
  std::vector<ExprPtr> out;
  out.reserve(v.size());
  for (const ExprPtr& x : v) out.push_back(clone(x));
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Names.

std::optional<AggFunc> agg_func_from_name(std::string_view name) {
  if (name.size() != 3 && name.size() != 5) return std::nullopt;
  std::string up = ascii_upper(name);
  if (up == "COUNT") return AggFunc::Count;
  if (up == "SUM") return AggFunc::Sum;
  if (up == "AVG") return AggFunc::Avg;
  if (up == "MIN") return AggFunc::Min;
  if (up == "MAX") return AggFunc::Max;
  return std::nullopt;
}

CastType cast_type_from_type_name(std::string_view name) {
  std::string up = ascii_upper(name);
  auto has = [&](const char* w) { return up.find(w) != std::string::npos; };
  if (has("INT") || has("SIGNED")) return CastType::Integer;
  if (has("CHAR") || has("TEXT") || has("CLOB") || has("BINARY") || has("DATE") || has("TIME")) {
    return CastType::Text;
  }
  return CastType::Real;
}

const char* cast_type_name(CastType t) {
  switch (t) {
    case CastType::Integer: return "Integer";
    case CastType::Real: return "Real";
    case CastType::Text: return "Text";
  }
  return "?";
}

// ---------------------------------------------------------------------------
// Expr: moves, iterative destruction, clone, eq.

Expr::Expr(Expr&& other) noexcept : node(std::move(other.node)) { other.node.emplace<Null>(); }

Expr& Expr::operator=(Expr&& other) noexcept {
  if (this == &other) return *this;
  // `other` may live inside this tree: take it out before this node's old
  // payload is destroyed, then let `old` dismantle the rest.
  Expr incoming(std::move(other));
  Expr old(std::move(*this));
  node = std::move(incoming.node);
  return *this;
}

namespace {

// Taking a tree apart without recursion and without memory (a destructor
// must not allocate: it runs when memory has run out too). Every node kind
// with children has one spine slot, the others are side slots. A node
// whose side slots are empty is freed and its spine child takes its place;
// a side child is rotated up instead: the side slot takes the child's spine
// subtree, and the node itself goes into the child's spine slot. A rotation
// puts one node on the chain of spine slots and a free takes one off, so a
// tree of n nodes is gone after O(n) steps. Lists drop their trailing empty
// entries as they are met (shrinking a vector allocates nothing), so no
// slot is looked at twice.

// The spine slot of e (present or not), or null when e has no child slots.
ExprPtr* spine_slot(Expr& e) noexcept {
  switch (e.kind()) {
    case ExprKind::Unary: return &e.as<Expr::Unary>().operand;
    case ExprKind::Binary: return &e.as<Expr::Binary>().right;
    case ExprKind::IsNull: return &e.as<Expr::IsNull>().operand;
    case ExprKind::Aggregate: return &e.as<Expr::Aggregate>().arg;
    case ExprKind::Function: {
      auto& args = e.as<Expr::Function>().args;
      return args.empty() ? nullptr : &args.front();
    }
    case ExprKind::Cast: return &e.as<Expr::Cast>().operand;
    case ExprKind::InSelect: return &e.as<Expr::InSelect>().operand;
    case ExprKind::InList: return &e.as<Expr::InList>().operand;
    case ExprKind::Like: return &e.as<Expr::Like>().pattern;
    case ExprKind::Case: return &e.as<Expr::Case>().else_expr;
    default: return nullptr;
  }
}

// A side slot of e that holds a child, or null when there is none.
ExprPtr* side_child(Expr& e) noexcept {
  switch (e.kind()) {
    case ExprKind::Binary: {
      ExprPtr& left = e.as<Expr::Binary>().left;
      return left ? &left : nullptr;
    }
    case ExprKind::Function: {
      auto& args = e.as<Expr::Function>().args;
      while (args.size() > 1 && !args.back()) args.pop_back();
      return args.size() > 1 ? &args.back() : nullptr;
    }
    case ExprKind::InList: {
      auto& list = e.as<Expr::InList>().list;
      while (!list.empty() && !list.back()) list.pop_back();
      return list.empty() ? nullptr : &list.back();
    }
    case ExprKind::Like: {
      ExprPtr& operand = e.as<Expr::Like>().operand;
      return operand ? &operand : nullptr;
    }
    case ExprKind::Case: {
      auto& c = e.as<Expr::Case>();
      if (c.operand) return &c.operand;
      while (!c.whens.empty()) {
        WhenClause& w = c.whens.back();
        if (w.result) return &w.result;
        if (w.condition) return &w.condition;
        c.whens.pop_back();
      }
      return nullptr;
    }
    default: return nullptr;
  }
}

void dismantle(ExprPtr node) noexcept {
  while (node) {
    if (ExprPtr* side = side_child(*node)) {
      ExprPtr child = std::move(*side);
      ExprPtr* child_spine = spine_slot(*child);
      if (child_spine == nullptr) continue;  // a leaf: freed here
      *side = std::move(*child_spine);
      *child_spine = std::move(node);
      node = std::move(child);
    } else {
      ExprPtr* spine = spine_slot(*node);
      ExprPtr next = spine != nullptr ? std::move(*spine) : nullptr;
      node = std::move(next);  // the childless node is freed
    }
  }
}

}  // namespace

Expr::~Expr() {
  // A node whose children are all leaves is destroyed by the members'
  // destructors one level deep; anything deeper is taken apart by
  // dismantle(), so no destructor below this one ever sees a grandchild.
  if (!has_grandchildren(*this)) return;
  for_each_child([](ExprPtr& c) { dismantle(std::move(c)); });
}

Expr Expr::clone() const {
  Expr root = shallow_copy(*this);
  std::vector<std::pair<const Expr*, ExprPtr*>> work;
  auto schedule = [&](const ExprPtr& from, ExprPtr& to) {
    if (from) work.emplace_back(from.get(), &to);
  };
  ast_detail::zip_child_slots(*this, root, schedule);
  while (!work.empty()) {
    auto [from, to] = work.back();
    work.pop_back();
    *to = std::make_unique<Expr>(shallow_copy(*from));
    ast_detail::zip_child_slots(*from, **to, schedule);
  }
  return root;
}

ExprPtr clone(const ExprPtr& e) { return e ? std::make_unique<Expr>(e->clone()) : nullptr; }

bool eq(const Expr& a, const Expr& b, RealEq reals) {
  std::vector<std::pair<const Expr*, const Expr*>> work;
  const Expr* x = &a;
  const Expr* y = &b;
  for (;;) {
    if (!shallow_eq(*x, *y, reals)) return false;
    bool same_shape = true;
    ast_detail::zip_child_slots(*x, *y, [&](const ExprPtr& p, const ExprPtr& q) {
      if (!p != !q) same_shape = false;
      else if (p) work.emplace_back(p.get(), q.get());
    });
    if (!same_shape) return false;
    if (work.empty()) return true;
    std::tie(x, y) = work.back();
    work.pop_back();
  }
}

bool eq(const ExprPtr& a, const ExprPtr& b) {
  if (!a || !b) return !a && !b;
  return eq(*a, *b);
}

// ---------------------------------------------------------------------------
// The other tree types: clone and eq, recursive only through SelectStmt.

WhenClause WhenClause::clone() const { return WhenClause{bkf::clone(condition), bkf::clone(result)}; }

bool eq(const WhenClause& a, const WhenClause& b) { return eq(a.condition, b.condition) && eq(a.result, b.result); }

SelectItem SelectItem::clone() const {
  switch (kind()) {
    case SelectItemKind::Star: return Star{};
    case SelectItemKind::QualifiedStar: return as<QualifiedStar>();
    case SelectItemKind::Expr: {
      const auto& x = as<SelectItem::Expr>();
      return SelectItem::Expr{bkf::clone(x.expr), x.alias};
    }
  }
  return Star{};
}

bool eq(const SelectItem& a, const SelectItem& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case SelectItemKind::Star: return true;
    case SelectItemKind::QualifiedStar:
      return a.as<SelectItem::QualifiedStar>().table == b.as<SelectItem::QualifiedStar>().table;
    case SelectItemKind::Expr: {
      const auto& x = a.as<SelectItem::Expr>();
      const auto& y = b.as<SelectItem::Expr>();
      return x.alias == y.alias && eq(x.expr, y.expr);
    }
  }
  return false;
}

JoinedTable JoinedTable::clone() const { return JoinedTable{table, alias, bkf::clone(on), kind}; }

bool eq(const JoinedTable& a, const JoinedTable& b) {
  return a.table == b.table && a.alias == b.alias && a.kind == b.kind && eq(a.on, b.on);
}

OrderTerm OrderTerm::clone() const { return OrderTerm{bkf::clone(expr), desc}; }

bool eq(const OrderTerm& a, const OrderTerm& b) { return a.desc == b.desc && eq(a.expr, b.expr); }

SelectStmt::SelectStmt() = default;
SelectStmt::SelectStmt(SelectStmt&&) noexcept = default;
SelectStmt& SelectStmt::operator=(SelectStmt&&) noexcept = default;
SelectStmt::~SelectStmt() = default;

SelectStmt SelectStmt::clone() const {
  SelectStmt s;
  s.distinct = distinct;
  s.calc_found_rows = calc_found_rows;
  s.items = clone_all(items);
  s.from = clone_all(from);
  s.where = bkf::clone(where);
  s.group_by = clone_all(group_by);
  s.having = bkf::clone(having);
  s.order_by = clone_all(order_by);
  s.limit = bkf::clone(limit);
  s.offset = bkf::clone(offset);
  s.compound = clone_all(compound);
  return s;
}

bool eq(const SelectStmt& a, const SelectStmt& b) {
  return a.distinct == b.distinct && a.calc_found_rows == b.calc_found_rows && eq_all(a.items, b.items) &&
         eq_all(a.from, b.from) && eq(a.where, b.where) && eq_all(a.group_by, b.group_by) &&
         eq(a.having, b.having) && eq_all(a.order_by, b.order_by) && eq(a.limit, b.limit) &&
         eq(a.offset, b.offset) && eq_all(a.compound, b.compound);
}

CompoundMember CompoundMember::clone() const { return CompoundMember{all, select.clone()}; }

bool eq(const CompoundMember& a, const CompoundMember& b) { return a.all == b.all && eq(a.select, b.select); }

Assignment Assignment::clone() const { return Assignment{column, bkf::clone(value)}; }

bool eq(const Assignment& a, const Assignment& b) { return a.column == b.column && eq(a.value, b.value); }

Constraint Constraint::clone() const {
  switch (kind()) {
    case ConstraintKind::Default: return Default{bkf::clone(as<Default>().value)};
    case ConstraintKind::PrimaryKey: return PrimaryKey{as<PrimaryKey>().name};
    case ConstraintKind::NotNull: return NotNull{};
    case ConstraintKind::Unique: return Unique{};
    case ConstraintKind::AutoIncrement: return AutoIncrement{};
  }
  return NotNull{};
}

bool eq(const Constraint& a, const Constraint& b) {
  if (a.kind() != b.kind()) return false;
  if (a.kind() == ConstraintKind::Default) {
    return eq(a.as<Constraint::Default>().value, b.as<Constraint::Default>().value);
  }
  if (a.kind() == ConstraintKind::PrimaryKey) {
    return a.as<Constraint::PrimaryKey>().name == b.as<Constraint::PrimaryKey>().name;
  }
  return true;
}

ColumnDef ColumnDef::clone() const { return ColumnDef{name, type_name, clone_all(constraints)}; }

bool eq(const ColumnDef& a, const ColumnDef& b) {
  return a.name == b.name && a.type_name == b.type_name && eq_all(a.constraints, b.constraints);
}

bool eq(const TableIndex& a, const TableIndex& b) {
  return a.columns == b.columns && a.name == b.name && a.unique == b.unique && a.primary == b.primary;
}

InsertSource InsertSource::clone() const {
  if (const auto* s = get_if<Select>()) return Select{s->select.clone()};
  const auto& v = as<Values>();
  return Values{clone_all(v.values), v.width};
}

bool eq(const InsertSource& a, const InsertSource& b) {
  if (a.kind() != b.kind()) return false;
  if (a.kind() == InsertSourceKind::Select) {
    return eq(a.as<InsertSource::Select>().select, b.as<InsertSource::Select>().select);
  }
  const auto& x = a.as<InsertSource::Values>();
  const auto& y = b.as<InsertSource::Values>();
  return x.width == y.width && eq_all(x.values, y.values);
}

OnConflict OnConflict::clone() const {
  switch (kind()) {
    case OnConflictKind::Plain: return Plain{};
    case OnConflictKind::Ignore: return Ignore{};
    case OnConflictKind::Replace: return Replace{};
    case OnConflictKind::Update: return Update{clone_all(as<Update>().assignments)};
  }
  return Plain{};
}

bool eq(const OnConflict& a, const OnConflict& b) {
  if (a.kind() != b.kind()) return false;
  if (a.kind() == OnConflictKind::Update) {
    return eq_all(a.as<OnConflict::Update>().assignments, b.as<OnConflict::Update>().assignments);
  }
  return true;
}

Statement Statement::clone() const {
  switch (kind()) {
    case StatementKind::CreateTable: {
      const auto& s = as<CreateTable>();
      return CreateTable{s.name, clone_all(s.columns), s.indexes, s.if_not_exists};
    }
    case StatementKind::DropTable: return as<DropTable>();
    case StatementKind::CreateIndex: return as<CreateIndex>();
    case StatementKind::DropIndex: return as<DropIndex>();
    case StatementKind::Insert: {
      const auto& s = as<Insert>();
      return Insert{s.table, s.columns, s.source.clone(), s.on_conflict.clone()};
    }
    case StatementKind::Select: return Select{as<Select>().select.clone()};
    case StatementKind::Update: {
      const auto& s = as<Update>();
      return Update{s.table, clone_all(s.assignments), bkf::clone(s.where)};
    }
    case StatementKind::Delete: {
      const auto& s = as<Delete>();
      return Delete{s.table, bkf::clone(s.where)};
    }
    case StatementKind::AlterTableAddColumn: {
      const auto& s = as<AlterTableAddColumn>();
      return AlterTableAddColumn{s.table, s.column.clone()};
    }
    case StatementKind::Begin: return Begin{};
    case StatementKind::Commit: return Commit{};
    case StatementKind::Rollback: return Rollback{};
    case StatementKind::Pragma: return as<Pragma>();
  }
  return Begin{};
}

bool eq(const Statement& a, const Statement& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case StatementKind::CreateTable: {
      const auto& x = a.as<Statement::CreateTable>();
      const auto& y = b.as<Statement::CreateTable>();
      return x.name == y.name && x.if_not_exists == y.if_not_exists && eq_all(x.columns, y.columns) &&
             eq_all(x.indexes, y.indexes);
    }
    case StatementKind::DropTable: {
      const auto& x = a.as<Statement::DropTable>();
      const auto& y = b.as<Statement::DropTable>();
      return x.name == y.name && x.if_exists == y.if_exists;
    }
    case StatementKind::CreateIndex: {
      const auto& x = a.as<Statement::CreateIndex>();
      const auto& y = b.as<Statement::CreateIndex>();
      return x.name == y.name && x.table == y.table && x.columns == y.columns && x.unique == y.unique &&
             x.if_not_exists == y.if_not_exists;
    }
    case StatementKind::DropIndex: {
      const auto& x = a.as<Statement::DropIndex>();
      const auto& y = b.as<Statement::DropIndex>();
      return x.name == y.name && x.if_exists == y.if_exists;
    }
    case StatementKind::Insert: {
      const auto& x = a.as<Statement::Insert>();
      const auto& y = b.as<Statement::Insert>();
      return x.table == y.table && x.columns == y.columns && eq(x.source, y.source) &&
             eq(x.on_conflict, y.on_conflict);
    }
    case StatementKind::Select: return eq(a.as<Statement::Select>().select, b.as<Statement::Select>().select);
    case StatementKind::Update: {
      const auto& x = a.as<Statement::Update>();
      const auto& y = b.as<Statement::Update>();
      return x.table == y.table && eq_all(x.assignments, y.assignments) && eq(x.where, y.where);
    }
    case StatementKind::Delete: {
      const auto& x = a.as<Statement::Delete>();
      const auto& y = b.as<Statement::Delete>();
      return x.table == y.table && eq(x.where, y.where);
    }
    case StatementKind::AlterTableAddColumn: {
      const auto& x = a.as<Statement::AlterTableAddColumn>();
      const auto& y = b.as<Statement::AlterTableAddColumn>();
      return x.table == y.table && eq(x.column, y.column);
    }
    case StatementKind::Begin:
    case StatementKind::Commit:
    case StatementKind::Rollback: return true;
    case StatementKind::Pragma: {
      const auto& x = a.as<Statement::Pragma>();
      const auto& y = b.as<Statement::Pragma>();
      return x.name == y.name && x.value == y.value;
    }
  }
  return false;
}

}  // namespace bkf
