#include "tree_text.h"

#include "record/value.h"
#include "support/hex.h"

namespace bkf::testing {
namespace {

const char* const kBinaryNames[] = {"Add", "Sub", "Mul", "Div", "Mod", "Eq", "Ne",
                                    "Lt",  "Le",  "Gt",  "Ge",  "And", "Or"};
const char* const kAggNames[] = {"Count", "Sum", "Avg", "Min", "Max", "Any"};

// The items joined by ", ", each through f.
template <class V, class F>
std::string join(const V& v, F f) {
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + f(v[i]);
  return out;
}
std::string list(const std::vector<ExprPtr>& v) { return join(v, [](const ExprPtr& e) { return show(e); }); }
std::string names(const std::vector<std::string>& v) { return join(v, [](const std::string& n) { return n; }); }

std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? "''" : std::string(1, c);
  return out + "'";
}

std::string show_column(const ColumnDef& c) {
  std::string out = c.name;
  if (c.type_name) out += " " + *c.type_name;
  for (const Constraint& k : c.constraints) {
    switch (k.kind()) {
      case ConstraintKind::Default: out += " Default(" + show(k.as<Constraint::Default>().value) + ")"; break;
      case ConstraintKind::PrimaryKey: {
        const auto& name = k.as<Constraint::PrimaryKey>().name;
        out += " PrimaryKey" + (name ? "(" + *name + ")" : std::string());
        break;
      }
      case ConstraintKind::NotNull: out += " NotNull"; break;
      case ConstraintKind::Unique: out += " Unique"; break;
      case ConstraintKind::AutoIncrement: out += " AutoIncrement"; break;
    }
  }
  return out;
}

std::string show_assignments(const std::vector<Assignment>& v) {
  return join(v, [](const Assignment& a) { return a.column + " = " + show(a.value); });
}

}  // namespace

std::string show(const ExprPtr& e) { return e ? show(*e) : "-"; }

std::string show(const Expr& e) {
  switch (e.kind()) {
    case ExprKind::Null: return "NULL";
    case ExprKind::Integer: return std::to_string(e.as<Expr::Integer>().value);
    case ExprKind::Real: {
      std::string out;
      append_real_debug(out, e.as<Expr::Real>().value);
      return out;
    }
    case ExprKind::Str: return quoted(e.as<Expr::Str>().value);
    case ExprKind::Blob: return "X'" + hex(e.as<Expr::Blob>().bytes) + "'";
    case ExprKind::Column: {
      const auto& c = e.as<Expr::Column>();
      return c.table ? *c.table + "." + c.name : c.name;
    }
    case ExprKind::Unary: {
      const auto& u = e.as<Expr::Unary>();
      return std::string(u.op == UnaryOp::Neg ? "Neg(" : "Not(") + show(u.operand) + ")";
    }
    case ExprKind::Binary: {
      const auto& b = e.as<Expr::Binary>();
      return std::string(kBinaryNames[static_cast<int>(b.op)]) + "(" + show(b.left) + ", " + show(b.right) + ")";
    }
    case ExprKind::IsNull: {
      const auto& x = e.as<Expr::IsNull>();
      return std::string(x.negated ? "IsNotNull(" : "IsNull(") + show(x.operand) + ")";
    }
    case ExprKind::Aggregate: {
      const auto& a = e.as<Expr::Aggregate>();
      std::string out = std::string(kAggNames[static_cast<int>(a.func)]) + "(";
      if (a.distinct) out += "DISTINCT ";
      return out + (a.arg ? show(a.arg) : "*") + ")";
    }
    case ExprKind::Function: {
      const auto& f = e.as<Expr::Function>();
      return f.name + "(" + list(f.args) + ")";
    }
    case ExprKind::Cast: {
      const auto& c = e.as<Expr::Cast>();
      return "Cast(" + show(c.operand) + " AS " + cast_type_name(c.ty) + ")";
    }
    case ExprKind::Subquery: return "(" + show(*e.as<Expr::Subquery>().select) + ")";
    case ExprKind::InSelect: {
      const auto& x = e.as<Expr::InSelect>();
      return std::string(x.negated ? "NotIn(" : "In(") + show(x.operand) + ", " + show(*x.select) + ")";
    }
    case ExprKind::InList: {
      const auto& x = e.as<Expr::InList>();
      return std::string(x.negated ? "NotInList(" : "InList(") + show(x.operand) + ", [" + list(x.list) + "])";
    }
    case ExprKind::SubParam: return "$" + std::to_string(e.as<Expr::SubParam>().index);
    case ExprKind::Param: return "?" + std::to_string(e.as<Expr::Param>().index);
    case ExprKind::Like: {
      const auto& x = e.as<Expr::Like>();
      return std::string(x.negated ? "NotLike(" : "Like(") + show(x.operand) + ", " + show(x.pattern) + ")";
    }
    case ExprKind::Case: {
      const auto& c = e.as<Expr::Case>();
      std::string out = "Case(" + show(c.operand);
      for (const WhenClause& w : c.whens) out += "; " + show(w.condition) + " => " + show(w.result);
      return out + "; else " + show(c.else_expr) + ")";
    }
  }
  return "?";
}

std::string show(const SelectStmt& s) {
  std::string out = "SELECT ";
  if (s.distinct) out += "DISTINCT ";
  if (s.calc_found_rows) out += "CALC ";
  for (std::size_t i = 0; i < s.items.size(); ++i) {
    if (i) out += ", ";
    const SelectItem& it = s.items[i];
    if (it.is<SelectItem::Star>()) out += "*";
    else if (const auto* q = it.get_if<SelectItem::QualifiedStar>()) out += q->table + ".*";
    else {
      const auto& x = it.as<SelectItem::Expr>();
      out += show(x.expr);
      if (x.alias) out += " AS " + *x.alias;
    }
  }
  for (std::size_t i = 0; i < s.from.size(); ++i) {
    const JoinedTable& t = s.from[i];
    if (i == 0) out += t.kind == JoinKind::Left ? " FROM LEFT " : " FROM ";
    else if (t.kind == JoinKind::Left) out += " LEFT JOIN ";
    else if (t.on) out += " JOIN ";
    else out += ", ";
    out += t.table;
    if (t.alias) out += " AS " + *t.alias;
    if (t.on) out += " ON " + show(t.on);
  }
  if (s.where) out += " WHERE " + show(s.where);
  if (!s.group_by.empty()) out += " GROUP BY " + list(s.group_by);
  if (s.having) out += " HAVING " + show(s.having);
  for (std::size_t i = 0; i < s.order_by.size(); ++i) {
    out += i ? ", " : " ORDER BY ";
    out += show(s.order_by[i].expr) + (s.order_by[i].desc ? " DESC" : "");
  }
  if (s.limit) out += " LIMIT " + show(s.limit);
  if (s.offset) out += " OFFSET " + show(s.offset);
  for (const CompoundMember& m : s.compound) out += std::string(m.all ? " UNION ALL {" : " UNION {") + show(m.select) + "}";
  return out;
}

std::string show(const Statement& st) {
  switch (st.kind()) {
    case StatementKind::CreateTable: {
      const auto& s = st.as<Statement::CreateTable>();
      std::string out = "CreateTable " + std::string(s.if_not_exists ? "IF NOT EXISTS " : "") + s.name + " (";
      out += join(s.columns, show_column) + ")";
      for (const TableIndex& ix : s.indexes) {
        out += std::string(ix.unique ? " UniqueKey " : " Key ") + (ix.name ? *ix.name : "-") + "(" + names(ix.columns) + ")";
        if (ix.primary) out += " PRIMARY";
      }
      return out;
    }
    case StatementKind::DropTable: {
      const auto& s = st.as<Statement::DropTable>();
      return "DropTable " + std::string(s.if_exists ? "IF EXISTS " : "") + s.name;
    }
    case StatementKind::CreateIndex: {
      const auto& s = st.as<Statement::CreateIndex>();
      return "CreateIndex " + std::string(s.unique ? "UNIQUE " : "") + (s.if_not_exists ? "IF NOT EXISTS " : "") + s.name +
             " ON " + s.table + "(" + names(s.columns) + ")";
    }
    case StatementKind::DropIndex: {
      const auto& s = st.as<Statement::DropIndex>();
      return "DropIndex " + std::string(s.if_exists ? "IF EXISTS " : "") + s.name;
    }
    case StatementKind::Insert: {
      const auto& s = st.as<Statement::Insert>();
      const char* policy[] = {"Insert", "InsertIgnore", "InsertReplace", "Insert"};
      std::string out = std::string(policy[static_cast<int>(s.on_conflict.kind())]) + " " + s.table;
      if (s.columns) out += " (" + names(*s.columns) + ")";
      if (const auto* q = s.source.get_if<InsertSource::Select>()) {
        out += " " + show(q->select);
      } else {
        const auto& v = s.source.as<InsertSource::Values>();
        out += " VALUES";
        for (std::size_t r = 0; r * v.width < v.values.size(); ++r) {
          out += r ? ", (" : " (";
          for (std::size_t c = 0; c < v.width; ++c) out += (c ? ", " : "") + show(v.values[r * v.width + c]);
          out += ")";
        }
      }
      if (const auto* u = s.on_conflict.get_if<OnConflict::Update>()) out += " ON DUPLICATE " + show_assignments(u->assignments);
      return out;
    }
    case StatementKind::Select: return show(st.as<Statement::Select>().select);
    case StatementKind::Update: {
      const auto& s = st.as<Statement::Update>();
      std::string out = "Update " + s.table + " SET " + show_assignments(s.assignments);
      if (s.where) out += " WHERE " + show(s.where);
      return out;
    }
    case StatementKind::Delete: {
      const auto& s = st.as<Statement::Delete>();
      return "Delete " + s.table + (s.where ? " WHERE " + show(s.where) : "");
    }
    case StatementKind::AlterTableAddColumn: {
      const auto& s = st.as<Statement::AlterTableAddColumn>();
      return "AlterTableAddColumn " + s.table + " (" + show_column(s.column) + ")";
    }
    case StatementKind::Begin: return "Begin";
    case StatementKind::Commit: return "Commit";
    case StatementKind::Rollback: return "Rollback";
    case StatementKind::Pragma: {
      const auto& s = st.as<Statement::Pragma>();
      return "Pragma " + s.name + (s.value ? " = \"" + *s.value + "\"" : "");
    }
  }
  return "?";
}

}  // namespace bkf::testing
