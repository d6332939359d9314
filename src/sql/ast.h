// The syntax tree: one Statement per SQL statement, SelectStmt for queries
// and Expr for expressions.
//
// Built by the parser (sql/parser.h), read and rewritten by the compiler and
// the database engine. The tree is a plain owned value: every node owns its
// children (std::unique_ptr for boxed and optional children, std::vector for
// lists), nothing is shared, nothing points back into the SQL text.
//
// Sum types. Each sum type (Expr, Statement, SelectItem, Constraint,
// InsertSource, OnConflict) is a struct with a `node` member of type
// std::variant over its alternatives, which are nested structs named after
// the kinds: Expr::Binary, Statement::CreateTable, SelectItem::Star, ...
// The variant's alternative order is the kind numbering, so kind() returns
// the fixed kind number as an enum. Accessors:
//   e.kind()                 the kind enum (ExprKind::Binary, ...)
//   e.is<Expr::Binary>()     test
//   e.as<Expr::Binary>()     reference (asserts the kind)
//   e.get_if<Expr::Binary>() pointer or nullptr
// and an implicit constructor from any alternative:
//   ExprPtr p = make_expr(Expr::Binary{BinaryOp::Add, std::move(l), std::move(r)});
//   *slot = make_expr(Expr::Integer{5});      // replace a subtree
//
// Copy and equality. Nodes are move-only; clone() makes a deep copy that
// shares nothing with its source. eq(a, b) is structural equality: same
// kinds, equal flags, operators and enumeration values, texts and bytes
// compared byte for byte (letter case matters), Real compared as IEEE
// doubles (NaN equals nothing, not even itself; 0.0 equals -0.0), optional
// parts both absent or both present and equal, lists of equal length and
// pairwise equal. eq is deliberately not operator==, because it is not
// reflexive for trees holding a NaN. The compiler, which must find an
// expression again (an aggregate call, a GROUP BY term) even when it holds
// a NaN literal, asks for RealEq::Bits: Real literals of the expression
// then compare bit for bit (a NaN equals itself, 0.0 differs from -0.0).
//
// Depth. Expression trees may be arbitrarily deep along their Expr edges:
// a chain of 100,000 ORs or additions is a left-deep spine of 100,000
// Binary nodes, and the compiler's rewriting can make longer ones. Destroying,
// moving, clone() and eq() never recurse along Expr edges (they keep an
// explicit stack), and code in later layers must walk expressions the same
// way: iteratively, with for_each_child() giving a node's direct children.
// Only nesting through a SelectStmt (subqueries) costs recursion; the parser
// bounds it with its nesting limit.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "sql/cast_type.h"

namespace bkf {

struct Expr;
struct SelectStmt;
using ExprPtr = std::unique_ptr<Expr>;

// ---------------------------------------------------------------------------
// Small enumerations. The numbers are fixed (tests and dumps show them);
// other layers map them to their own kinds by name, with a switch.

enum class UnaryOp : std::uint8_t { Neg = 0, Not = 1 };

enum class BinaryOp : std::uint8_t {
  Add = 0, Sub = 1, Mul = 2, Div = 3, Mod = 4,
  Eq = 5, Ne = 6, Lt = 7, Le = 8, Gt = 9, Ge = 10,
  And = 11, Or = 12,
};

// Any is never made by the parser: the compiler wraps a bare column of an
// aggregate query in it.
enum class AggFunc : std::uint8_t { Count = 0, Sum = 1, Avg = 2, Min = 3, Max = 4, Any = 5 };

// The aggregate named `name` (ASCII case ignored, whole name): COUNT, SUM,
// AVG, MIN, MAX; anything else, including the empty name, gives nullopt.
// Never returns Any.
std::optional<AggFunc> agg_func_from_name(std::string_view name);

// The CAST target for a written type name: ASCII letters upper-cased, then
// Integer if it contains INT or SIGNED, else Text if it contains CHAR, TEXT,
// CLOB, BINARY, DATE or TIME, else Real.
CastType cast_type_from_type_name(std::string_view name);
// "Integer", "Real", "Text".
const char* cast_type_name(CastType t);

// Join kind of a FROM entry. Left is a left outer join; a RIGHT JOIN is
// stored as the equivalent LEFT JOIN with the two tables swapped.
enum class JoinKind : std::uint8_t { Inner = 0, Left = 1 };

enum class ExprKind : std::uint8_t {
  Null = 0, Integer = 1, Real = 2, Str = 3, Column = 4, Unary = 5, Binary = 6,
  IsNull = 7, Aggregate = 8, Function = 9, Cast = 10, Subquery = 11,
  InSelect = 12, InList = 13, SubParam = 14, Param = 15, Like = 16, Blob = 17,
  Case = 18,
};

enum class StatementKind : std::uint8_t {
  CreateTable = 0, DropTable = 1, CreateIndex = 2, DropIndex = 3, Insert = 4,
  Select = 5, Update = 6, Delete = 7, AlterTableAddColumn = 8, Begin = 9,
  Commit = 10, Rollback = 11, Pragma = 12,
};

enum class SelectItemKind : std::uint8_t { Star = 0, QualifiedStar = 1, Expr = 2 };
enum class ConstraintKind : std::uint8_t { Default = 0, PrimaryKey = 1, NotNull = 2, Unique = 3, AutoIncrement = 4 };
enum class InsertSourceKind : std::uint8_t { Select = 0, Values = 1 };
enum class OnConflictKind : std::uint8_t { Plain = 0, Ignore = 1, Replace = 2, Update = 3 };

namespace ast_detail {
template <class T, class V>
struct is_alternative : std::false_type {};
template <class T, class... Ts>
struct is_alternative<T, std::variant<Ts...>> : std::disjunction<std::is_same<T, Ts>...> {};
template <class T, class V>
inline constexpr bool is_alternative_v = is_alternative<std::remove_cvref_t<T>, V>::value;
}  // namespace ast_detail

// kind(), is<T>(), as<T>(), get_if<T>() and the constructor from an
// alternative, shared by every sum type below.
#define BKF_AST_SUM_TYPE(Self, KindEnum)                                                        \
  template <class T, class = std::enable_if_t<::bkf::ast_detail::is_alternative_v<T, Node>>>   \
  Self(T&& alt) : node(std::forward<T>(alt)) {}                                                 \
  KindEnum kind() const noexcept { return static_cast<KindEnum>(node.index()); }               \
  template <class T>                                                                            \
  bool is() const noexcept {                                                                    \
    return std::holds_alternative<T>(node);                                                     \
  }                                                                                             \
  template <class T>                                                                            \
  T& as() noexcept {                                                                            \
    assert(is<T>());                                                                            \
    return *std::get_if<T>(&node);                                                              \
  }                                                                                             \
  template <class T>                                                                            \
  const T& as() const noexcept {                                                                \
    assert(is<T>());                                                                            \
    return *std::get_if<T>(&node);                                                              \
  }                                                                                             \
  template <class T>                                                                            \
  T* get_if() noexcept {                                                                        \
    return std::get_if<T>(&node);                                                               \
  }                                                                                             \
  template <class T>                                                                            \
  const T* get_if() const noexcept {                                                            \
    return std::get_if<T>(&node);                                                               \
  }

// One WHEN ... THEN ... pair of a CASE expression.
struct WhenClause {
  ExprPtr condition;
  ExprPtr result;
  WhenClause clone() const;
};

// ---------------------------------------------------------------------------
// Expr: one expression node, nineteen kinds.

struct Expr {
  struct Null {};
  struct Integer { std::int64_t value = 0; };  // a negative number is Unary{Neg} around it
  struct Real { double value = 0.0; };
  struct Str { std::string value; };
  struct Column {
    std::optional<std::string> table;  // qualifier as written (t.c), absent for c
    std::string name;
  };
  struct Unary { UnaryOp op = UnaryOp::Neg; ExprPtr operand; };
  struct Binary { BinaryOp op = BinaryOp::Add; ExprPtr left; ExprPtr right; };
  struct IsNull { bool negated = false; ExprPtr operand; };  // negated: IS NOT NULL
  struct Aggregate {
    AggFunc func = AggFunc::Count;
    bool distinct = false;
    ExprPtr arg;  // null for (*)
  };
  struct Function {
    std::string name;  // ASCII capitals
    std::vector<ExprPtr> args;
  };
  struct Cast { ExprPtr operand; CastType ty = CastType::Integer; };
  struct Subquery { std::unique_ptr<SelectStmt> select; };  // scalar subquery; never null
  struct InSelect { bool negated = false; ExprPtr operand; std::unique_ptr<SelectStmt> select; };
  struct InList { bool negated = false; ExprPtr operand; std::vector<ExprPtr> list; };  // list never empty
  struct SubParam { std::size_t index = 0; };  // made only by the compiler
  struct Param { std::size_t index = 0; };     // 0-based ordinal of a '?' in the request text
  struct Like { bool negated = false; ExprPtr operand; ExprPtr pattern; };
  struct Blob { std::string bytes; };
  struct Case {
    ExprPtr operand;  // CASE x WHEN ...; null for CASE WHEN ...
    std::vector<WhenClause> whens;  // never empty after parsing
    ExprPtr else_expr;  // null without ELSE
  };

  using Node = std::variant<Null, Integer, Real, Str, Column, Unary, Binary, IsNull, Aggregate,
                            Function, Cast, Subquery, InSelect, InList, SubParam, Param, Like,
                            Blob, Case>;
  Node node;

  Expr() noexcept = default;  // a Null literal
  BKF_AST_SUM_TYPE(Expr, ExprKind)

  // Moving leaves the source a Null literal. Move-assigning from an
  // expression owned by this one (e = std::move(*child)) is allowed.
  Expr(Expr&& other) noexcept;
  Expr& operator=(Expr&& other) noexcept;
  Expr(const Expr&) = delete;
  Expr& operator=(const Expr&) = delete;
  ~Expr();  // iterative: never recurses along Expr edges

  Expr clone() const;

  // Calls f(ExprPtr&) for each present direct child, in field order (list
  // elements in order, a WHEN's condition before its result). Subqueries'
  // SelectStmts are not children here. The callee may replace the child.
  template <class F>
  void for_each_child(F&& f);
  template <class F>
  void for_each_child(F&& f) const;  // f(const ExprPtr&)
};

template <class T>
ExprPtr make_expr(T&& alt) {
  return std::make_unique<Expr>(std::forward<T>(alt));
}

// A deep copy of an optional/boxed child (null stays null).
ExprPtr clone(const ExprPtr& e);

// ---------------------------------------------------------------------------
// Queries.

struct SelectItem {
  struct Star {};                                    // *
  struct QualifiedStar { std::string table; };       // t.*
  struct Expr { ExprPtr expr; std::optional<std::string> alias; };
  using Node = std::variant<Star, QualifiedStar, Expr>;
  Node node;

  BKF_AST_SUM_TYPE(SelectItem, SelectItemKind)
  SelectItem clone() const;
};

struct JoinedTable {
  std::string table;
  std::optional<std::string> alias;
  ExprPtr on;  // the ON condition; the first FROM entry never has one
  JoinKind kind = JoinKind::Inner;  // the first FROM entry is always Inner
  JoinedTable clone() const;
};

struct OrderTerm {
  ExprPtr expr;
  bool desc = false;
  OrderTerm clone() const;
};

struct CompoundMember;

struct SelectStmt {
  bool distinct = false;
  bool calc_found_rows = false;  // SQL_CALC_FOUND_ROWS
  std::vector<SelectItem> items;  // never empty
  std::vector<JoinedTable> from;  // empty without FROM
  ExprPtr where;
  std::vector<ExprPtr> group_by;
  ExprPtr having;
  std::vector<OrderTerm> order_by;
  ExprPtr limit;
  ExprPtr offset;  // also the first number of LIMIT a, b
  // The UNION members after the first, in text order. Only the outermost
  // query of a UNION has members; an ORDER BY/LIMIT/OFFSET written after the
  // last member belongs to this outer statement when the first SELECT has
  // none of its own.
  std::vector<CompoundMember> compound;

  SelectStmt();
  SelectStmt(SelectStmt&&) noexcept;
  SelectStmt& operator=(SelectStmt&&) noexcept;
  ~SelectStmt();
  SelectStmt clone() const;
};

struct CompoundMember {
  bool all = false;  // UNION ALL
  SelectStmt select;
  CompoundMember clone() const;
};

// ---------------------------------------------------------------------------
// Statements.

// A column assignment of UPDATE or ON DUPLICATE KEY UPDATE: column = value.
struct Assignment {
  std::string column;  // as written
  ExprPtr value;
  Assignment clone() const;
};

struct Constraint {
  // The parser stores only Null, Integer, Real or Str literals here.
  struct Default { ExprPtr value; };
  // The name of `CONSTRAINT name PRIMARY KEY (column)` folded onto its
  // column; none for a key written in the column or without a name.
  struct PrimaryKey { std::optional<std::string> name; };
  struct NotNull {};
  struct Unique {};
  struct AutoIncrement {};
  using Node = std::variant<Default, PrimaryKey, NotNull, Unique, AutoIncrement>;
  Node node;

  BKF_AST_SUM_TYPE(Constraint, ConstraintKind)
  Constraint clone() const;
};

struct ColumnDef {
  std::string name;
  std::optional<std::string> type_name;  // first word of the declared type, as written
  std::vector<Constraint> constraints;   // in source order, repeats kept
  ColumnDef clone() const;
};

// A key declared inside CREATE TABLE. A one-column PRIMARY KEY that names a
// column is folded onto that column (a PrimaryKey constraint, carrying the
// key's name) and leaves no entry; any other PRIMARY KEY (several columns,
// or a name no column has) stays as an entry with both `unique` and
// `primary` set. `name` is the key's own name or the one given by
// CONSTRAINT name.
struct TableIndex {
  std::vector<std::string> columns;
  std::optional<std::string> name;
  bool unique = false;
  bool primary = false;
};

struct InsertSource {
  struct Select { SelectStmt select; };
  // All rows' expressions in one list, row after row; at least one row and
  // every row has `width` expressions.
  struct Values { std::vector<ExprPtr> values; std::size_t width = 0; };
  using Node = std::variant<Select, Values>;
  Node node;

  InsertSource() = default;
  BKF_AST_SUM_TYPE(InsertSource, InsertSourceKind)
  InsertSource clone() const;
};

struct OnConflict {
  struct Plain {};
  struct Ignore {};   // INSERT IGNORE, INSERT OR IGNORE
  struct Replace {};  // REPLACE INTO, INSERT OR REPLACE
  struct Update { std::vector<Assignment> assignments; };  // ON DUPLICATE KEY UPDATE
  using Node = std::variant<Plain, Ignore, Replace, Update>;
  Node node;

  OnConflict() = default;
  BKF_AST_SUM_TYPE(OnConflict, OnConflictKind)
  OnConflict clone() const;
};

struct Statement {
  struct CreateTable {
    std::string name;
    std::vector<ColumnDef> columns;
    std::vector<TableIndex> indexes;
    bool if_not_exists = false;
  };
  struct DropTable { std::string name; bool if_exists = false; };
  struct CreateIndex {
    std::string name;
    std::string table;
    std::vector<std::string> columns;
    bool unique = false;
    bool if_not_exists = false;
  };
  struct DropIndex { std::string name; bool if_exists = false; };
  struct Insert {
    std::string table;
    std::optional<std::vector<std::string>> columns;  // absent when no column list was written
    InsertSource source;
    OnConflict on_conflict;
  };
  struct Select { SelectStmt select; };
  struct Update {
    std::string table;
    std::vector<Assignment> assignments;  // in source order
    ExprPtr where;
  };
  struct Delete { std::string table; ExprPtr where; };
  struct AlterTableAddColumn { std::string table; ColumnDef column; };
  struct Begin {};
  struct Commit {};
  struct Rollback {};
  struct Pragma {
    std::string name;
    // The decimal digits of an integer, a string's content, a name, or a
    // reserved word in lower case; absent without '='.
    std::optional<std::string> value;
  };
  using Node = std::variant<CreateTable, DropTable, CreateIndex, DropIndex, Insert, Select, Update,
                            Delete, AlterTableAddColumn, Begin, Commit, Rollback, Pragma>;
  Node node;

  BKF_AST_SUM_TYPE(Statement, StatementKind)
  Statement clone() const;
};

// ---------------------------------------------------------------------------
// Structural equality (see the top of this file).

// How eq compares Real literals. Bits applies to the expression's own
// nodes; a subquery inside is compared as queries are, by the IEEE rule.
enum class RealEq : std::uint8_t { Ieee, Bits };

bool eq(const Expr& a, const Expr& b, RealEq reals = RealEq::Ieee);
bool eq(const ExprPtr& a, const ExprPtr& b);  // both null, or both present and equal
bool eq(const WhenClause& a, const WhenClause& b);
bool eq(const SelectItem& a, const SelectItem& b);
bool eq(const JoinedTable& a, const JoinedTable& b);
bool eq(const OrderTerm& a, const OrderTerm& b);
bool eq(const SelectStmt& a, const SelectStmt& b);
bool eq(const CompoundMember& a, const CompoundMember& b);
bool eq(const Assignment& a, const Assignment& b);
bool eq(const Constraint& a, const Constraint& b);
bool eq(const ColumnDef& a, const ColumnDef& b);
bool eq(const TableIndex& a, const TableIndex& b);
bool eq(const InsertSource& a, const InsertSource& b);
bool eq(const OnConflict& a, const OnConflict& b);
bool eq(const Statement& a, const Statement& b);

// ---------------------------------------------------------------------------

namespace ast_detail {
// Calls f(slot_of_a, slot_of_b) for every child slot, present or not, of
// two nodes of the same kind whose lists have the same lengths (a and b may
// be the same node). The one place that knows where each kind keeps its
// Expr children.
template <class A, class B, class F>
void zip_child_slots(A& a, B& b, F&& f) {
  switch (a.kind()) {
    case ExprKind::Null:
    case ExprKind::Integer:
    case ExprKind::Real:
    case ExprKind::Str:
    case ExprKind::Column:
    case ExprKind::Subquery:
    case ExprKind::SubParam:
    case ExprKind::Param:
    case ExprKind::Blob: return;
    case ExprKind::Unary: f(a.template as<Expr::Unary>().operand, b.template as<Expr::Unary>().operand); return;
    case ExprKind::Binary: {
      auto& x = a.template as<Expr::Binary>();
      auto& y = b.template as<Expr::Binary>();
      f(x.left, y.left);
      f(x.right, y.right);
      return;
    }
    case ExprKind::IsNull: f(a.template as<Expr::IsNull>().operand, b.template as<Expr::IsNull>().operand); return;
    case ExprKind::Aggregate: f(a.template as<Expr::Aggregate>().arg, b.template as<Expr::Aggregate>().arg); return;
    case ExprKind::Function: {
      auto& x = a.template as<Expr::Function>().args;
      auto& y = b.template as<Expr::Function>().args;
      for (std::size_t i = 0; i < x.size(); ++i) f(x[i], y[i]);
      return;
    }
    case ExprKind::Cast: f(a.template as<Expr::Cast>().operand, b.template as<Expr::Cast>().operand); return;
    case ExprKind::InSelect: f(a.template as<Expr::InSelect>().operand, b.template as<Expr::InSelect>().operand); return;
    case ExprKind::InList: {
      auto& x = a.template as<Expr::InList>();
      auto& y = b.template as<Expr::InList>();
      f(x.operand, y.operand);
      for (std::size_t i = 0; i < x.list.size(); ++i) f(x.list[i], y.list[i]);
      return;
    }
    case ExprKind::Like: {
      auto& x = a.template as<Expr::Like>();
      auto& y = b.template as<Expr::Like>();
      f(x.operand, y.operand);
      f(x.pattern, y.pattern);
      return;
    }
    case ExprKind::Case: {
      auto& x = a.template as<Expr::Case>();
      auto& y = b.template as<Expr::Case>();
      f(x.operand, y.operand);
      for (std::size_t i = 0; i < x.whens.size(); ++i) {
        f(x.whens[i].condition, y.whens[i].condition);
        f(x.whens[i].result, y.whens[i].result);
      }
      f(x.else_expr, y.else_expr);
      return;
    }
  }
}
}  // namespace ast_detail

template <class F>
void Expr::for_each_child(F&& f) {
  ast_detail::zip_child_slots(*this, *this, [&](ExprPtr& slot, ExprPtr&) {
    if (slot) f(slot);
  });
}

template <class F>
void Expr::for_each_child(F&& f) const {
  ast_detail::zip_child_slots(*this, *this, [&](const ExprPtr& slot, const ExprPtr&) {
    if (slot) f(slot);
  });
}

}  // namespace bkf
