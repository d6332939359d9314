// The query and expression level of the parser: SELECT with its clauses,
// joins and UNION members, and expressions by binding power.
#include "base/ascii.h"
#include "sql/parser.h"
#include "sql/parser_state.h"

namespace bkf::sql {
namespace {

// Binding powers. An infix operator is taken while its left power is at
// least the caller's minimum; its right side is parsed with the right power,
// one above the left, which makes every binary operator left-associative.
constexpr int kOrPower = 2;
constexpr int kAndPower = 4;
constexpr int kNotOperandPower = 7;  // prefix NOT: looser than comparisons, tighter than AND
constexpr int kComparePower = 8;     // = != < <= > >= LIKE IN IS
constexpr int kAddPower = 10;        // + -
constexpr int kMulPower = 12;        // * / %
constexpr int kNegOperandPower = 14; // prefix minus: tighter than every binary operator

const char* const kSelectModifiers[] = {
    "HIGH_PRIORITY", "STRAIGHT_JOIN", "SQL_SMALL_RESULT", "SQL_BIG_RESULT",
    "SQL_BUFFER_RESULT", "SQL_CACHE", "SQL_NO_CACHE", "SQL_CALC_FOUND_ROWS",
};

struct InfixOp {
  int power;
  BinaryOp op;
};

// The binary operator a token stands for, if any.
bool binary_operator(const Token& t, InfixOp& out) {
  switch (t.kind) {
    case TokenKind::Eq: out = {kComparePower, BinaryOp::Eq}; return true;
    case TokenKind::Ne: out = {kComparePower, BinaryOp::Ne}; return true;
    case TokenKind::Lt: out = {kComparePower, BinaryOp::Lt}; return true;
    case TokenKind::Le: out = {kComparePower, BinaryOp::Le}; return true;
    case TokenKind::Gt: out = {kComparePower, BinaryOp::Gt}; return true;
    case TokenKind::Ge: out = {kComparePower, BinaryOp::Ge}; return true;
    case TokenKind::Plus: out = {kAddPower, BinaryOp::Add}; return true;
    case TokenKind::Minus: out = {kAddPower, BinaryOp::Sub}; return true;
    case TokenKind::Star: out = {kMulPower, BinaryOp::Mul}; return true;
    case TokenKind::Slash: out = {kMulPower, BinaryOp::Div}; return true;
    case TokenKind::Percent: out = {kMulPower, BinaryOp::Mod}; return true;
    case TokenKind::Keyword:
      if (t.keyword == Keyword::Or) {
        out = {kOrPower, BinaryOp::Or};
        return true;
      }
      if (t.keyword == Keyword::And) {
        out = {kAndPower, BinaryOp::And};
        return true;
      }
      return false;
    default: return false;
  }
}

bool starts_join(const Token& t) {
  return t.is_keyword(Keyword::Join) || t.is_keyword(Keyword::Inner) || t.is_keyword(Keyword::Cross) ||
         t.is_keyword(Keyword::Left) || t.is_keyword(Keyword::Right) || t.is_keyword(Keyword::Outer);
}

}  // namespace

// ---------------------------------------------------------------------------
// Queries.

Result<SelectStmt> Parser::parse_select() {
  if (depth_ >= kMaxNestingDepth) return err("expression nested too deeply");
  ++depth_;
  Result<SelectStmt> r = [&]() -> Result<SelectStmt> {
    SelectStmt s = BKF_TRY(parse_select_core());
    while (eat_kw(Keyword::Union)) {
      CompoundMember m;
      if (eat_ident_kw("ALL")) m.all = true;
      else eat_kw(Keyword::Distinct);
      m.select = BKF_TRY(parse_select_core());
      s.compound.push_back(std::move(m));
    }
    // ORDER BY / LIMIT / OFFSET after the last member apply to the whole
    // union, unless the first SELECT has its own.
    if (!s.compound.empty() && s.order_by.empty() && !s.limit && !s.offset) {
      SelectStmt& last = s.compound.back().select;
      s.order_by = std::move(last.order_by);
      last.order_by.clear();
      s.limit = std::move(last.limit);
      s.offset = std::move(last.offset);
    }
    return s;
  }();
  --depth_;
  return r;
}

Result<SelectStmt> Parser::parse_select_core() {
  BKF_TRY(expect_kw(Keyword::Select));
  SelectStmt s;
  if (eat_kw(Keyword::Distinct)) s.distinct = true;
  for (bool more = true; more;) {
    more = false;
    for (const char* m : kSelectModifiers) {
      if (eat_ident_kw(m)) {
        if (m == kSelectModifiers[7]) s.calc_found_rows = true;
        more = true;
        break;
      }
    }
  }
  BKF_TRY(parse_select_items(s));
  if (eat_kw(Keyword::From)) BKF_TRY(parse_from(s));
  if (eat_kw(Keyword::Where)) s.where = BKF_TRY(parse_expr(0));
  if (eat_kw(Keyword::Group)) {
    BKF_TRY(expect_kw(Keyword::By));
    do {
      s.group_by.push_back(BKF_TRY(parse_expr(0)));
    } while (eat(TokenKind::Comma));
  }
  if (eat_kw(Keyword::Having)) s.having = BKF_TRY(parse_expr(0));
  if (eat_kw(Keyword::Order)) {
    BKF_TRY(expect_kw(Keyword::By));
    do {
      OrderTerm t;
      t.expr = BKF_TRY(parse_expr(0));
      if (eat_kw(Keyword::Desc)) t.desc = true;
      else eat_kw(Keyword::Asc);
      s.order_by.push_back(std::move(t));
    } while (eat(TokenKind::Comma));
  }
  if (eat_kw(Keyword::Limit)) {
    ExprPtr a = BKF_TRY(parse_expr(0));
    if (eat_kw(Keyword::Offset)) {
      s.limit = std::move(a);
      s.offset = BKF_TRY(parse_expr(0));
    } else if (eat(TokenKind::Comma)) {  // LIMIT offset, count
      s.offset = std::move(a);
      s.limit = BKF_TRY(parse_expr(0));
    } else {
      s.limit = std::move(a);
    }
  }
  return s;
}

Status Parser::parse_select_items(SelectStmt& s) {
  do {
    if (eat(TokenKind::Star)) {
      s.items.emplace_back(SelectItem::Star{});
    } else if (at(TokenKind::Ident) && peek(1).is(TokenKind::Dot) && peek(2).is(TokenKind::Star)) {
      std::string table = text_of(cur());
      advance();
      advance();
      advance();
      s.items.emplace_back(SelectItem::QualifiedStar{std::move(table)});
    } else {
      SelectItem::Expr item;
      item.expr = BKF_TRY(parse_expr(0));
      if (at(TokenKind::Ident)) {
        item.alias = text_of(cur());
        advance();
      } else if (eat_kw(Keyword::As)) {
        item.alias = BKF_TRY(expect_ident());
      }
      s.items.emplace_back(std::move(item));
    }
  } while (eat(TokenKind::Comma));
  return {};
}

Status Parser::parse_from(SelectStmt& s) {
  s.from.push_back(BKF_TRY(parse_table_ref()));
  bool any_right = false;
  for (;;) {
    if (eat(TokenKind::Comma)) {
      s.from.push_back(BKF_TRY(parse_table_ref()));
      continue;
    }
    if (!(at_kw(Keyword::Join) || at_kw(Keyword::Inner) || at_kw(Keyword::Cross) || at_kw(Keyword::Left) ||
          at_kw(Keyword::Right))) {
      break;
    }
    const bool left = at_kw(Keyword::Left);
    const bool right = at_kw(Keyword::Right);
    if (!at_kw(Keyword::Join)) advance();  // INNER, CROSS, LEFT, RIGHT
    if (left || right) eat_kw(Keyword::Outer);
    BKF_TRY(expect_kw(Keyword::Join));
    JoinedTable t = BKF_TRY(parse_table_ref());
    if (eat_kw(Keyword::On)) {
      t.on = BKF_TRY(parse_expr(0));
      if (left || right) t.kind = JoinKind::Left;
    } else if (left || right) {
      return err("outer JOIN requires an ON clause");
    }
    any_right = any_right || right;
    s.from.push_back(std::move(t));
  }
  if (any_right) {
    if (s.from.size() != 2) return err("RIGHT JOIN is only supported between exactly two tables");
    // a RIGHT JOIN b ON c is b LEFT JOIN a ON c.
    JoinedTable& a = s.from[0];
    JoinedTable& b = s.from[1];
    std::swap(a.table, b.table);
    std::swap(a.alias, b.alias);
  }
  return {};
}

Result<JoinedTable> Parser::parse_table_ref() {
  JoinedTable t;
  t.table = BKF_TRY(expect_ident());
  if (at(TokenKind::Ident)) {
    // A bare NATURAL or FULL followed by a join word starts a NATURAL or
    // FULL join, which the dialect does not have: it is not taken as an
    // alias, so the statement fails at that word instead of quietly becoming
    // a cross or inner join. Quoted, the word is an ordinary alias.
    const bool unsupported_join = !(cur().flags & kTokenQuoted) &&
                                  (at_ident_kw("NATURAL") || at_ident_kw("FULL")) && starts_join(peek(1));
    if (!unsupported_join) {
      t.alias = text_of(cur());
      advance();
    }
  } else if (eat_kw(Keyword::As)) {
    t.alias = BKF_TRY(expect_ident());
  }
  return t;
}

// ---------------------------------------------------------------------------
// Expressions.

Result<ExprPtr> Parser::parse_expr(int min_bp) {
  if (depth_ >= kMaxNestingDepth) return err("expression nested too deeply");
  ++depth_;
  Result<ExprPtr> r = [&]() -> Result<ExprPtr> {
    ExprPtr left;
    if (eat(TokenKind::Minus)) {
      left = make_expr(Expr::Unary{UnaryOp::Neg, BKF_TRY(parse_expr(kNegOperandPower))});
    } else if (eat_kw(Keyword::Not)) {
      left = make_expr(Expr::Unary{UnaryOp::Not, BKF_TRY(parse_expr(kNotOperandPower))});
    } else {
      left = BKF_TRY(parse_primary());
    }
    // The infix loop builds left-deep chains without recursing.
    for (;;) {
      const Token& t = cur();
      InfixOp op;
      if (binary_operator(t, op)) {
        if (op.power < min_bp) break;
        advance();
        ExprPtr right = BKF_TRY(parse_expr(op.power + 1));
        left = make_expr(Expr::Binary{op.op, std::move(left), std::move(right)});
        continue;
      }
      if (kComparePower < min_bp) break;
      bool negated = false;
      if (t.is_keyword(Keyword::Not)) {
        // Infix NOT only in NOT IN and NOT LIKE; otherwise it ends the expression.
        if (!peek(1).is_keyword(Keyword::In) && !peek(1).is_keyword(Keyword::Like)) break;
        advance();
        negated = true;
      }
      if (eat_kw(Keyword::Like)) {
        ExprPtr pattern = BKF_TRY(parse_expr(kComparePower + 1));
        left = make_expr(Expr::Like{negated, std::move(left), std::move(pattern)});
      } else if (eat_kw(Keyword::In)) {
        left = BKF_TRY(parse_in(std::move(left), negated));
      } else if (eat_kw(Keyword::Is)) {
        const bool is_not = eat_kw(Keyword::Not);
        BKF_TRY(expect_kw(Keyword::Null));
        left = make_expr(Expr::IsNull{is_not, std::move(left)});
      } else {
        break;
      }
    }
    return left;
  }();
  --depth_;
  return r;
}

Result<ExprPtr> Parser::parse_in(ExprPtr operand, bool negated) {
  BKF_TRY(expect(TokenKind::LParen));
  if (at_kw(Keyword::Select)) {
    std::unique_ptr<SelectStmt> q = BKF_TRY(parse_subquery());
    return make_expr(Expr::InSelect{negated, std::move(operand), std::move(q)});
  }
  std::vector<ExprPtr> list;
  do {
    list.push_back(BKF_TRY(parse_expr(0)));
  } while (eat(TokenKind::Comma));
  BKF_TRY(expect(TokenKind::RParen));
  return make_expr(Expr::InList{negated, std::move(operand), std::move(list)});
}

Result<std::unique_ptr<SelectStmt>> Parser::parse_subquery() {
  auto q = std::make_unique<SelectStmt>(BKF_TRY(parse_select()));
  BKF_TRY(expect(TokenKind::RParen));
  return q;
}

Result<ExprPtr> Parser::parse_primary() {
  const Token& t = cur();
  switch (t.kind) {
    case TokenKind::Int: {
      ExprPtr e = make_expr(Expr::Integer{t.int_value});
      advance();
      return e;
    }
    case TokenKind::Real: {
      ExprPtr e = make_expr(Expr::Real{t.real_value});
      advance();
      return e;
    }
    case TokenKind::Str: {
      ExprPtr e = make_expr(Expr::Str{text_of(t)});
      advance();
      return e;
    }
    case TokenKind::Blob: {
      ExprPtr e = make_expr(Expr::Blob{token_blob(t, text_)});
      advance();
      return e;
    }
    case TokenKind::Param:
      advance();
      return make_expr(Expr::Param{param_count_++});
    case TokenKind::Ident: {
      if (at_ident_kw("CASE")) return parse_case();
      std::string name = text_of(t);
      advance();
      if (eat(TokenKind::LParen)) return parse_call(std::move(name));
      if (eat(TokenKind::Dot)) {
        std::string column = BKF_TRY(expect_ident());
        return make_expr(Expr::Column{std::move(name), std::move(column)});
      }
      return make_expr(Expr::Column{std::nullopt, std::move(name)});
    }
    case TokenKind::Keyword:
      switch (t.keyword) {
        case Keyword::Null: advance(); return make_expr(Expr::Null{});
        case Keyword::Values: {  // VALUES(col) of ON DUPLICATE KEY UPDATE
          advance();
          BKF_TRY(expect(TokenKind::LParen));
          ExprPtr arg = BKF_TRY(parse_expr(0));
          BKF_TRY(expect(TokenKind::RParen));
          std::vector<ExprPtr> args;
          args.push_back(std::move(arg));
          return make_expr(Expr::Function{"VALUES", std::move(args)});
        }
        case Keyword::Cast: return parse_cast();
        default: break;
      }
      break;
    case TokenKind::LParen: {
      advance();
      if (at_kw(Keyword::Select)) return make_expr(Expr::Subquery{BKF_TRY(parse_subquery())});
      ExprPtr e = BKF_TRY(parse_expr(0));
      BKF_TRY(expect(TokenKind::RParen));
      return e;
    }
    default: break;
  }
  return err_found("expected an expression, found ");
}

Result<ExprPtr> Parser::parse_call(std::string name) {
  if (std::optional<AggFunc> func = agg_func_from_name(name)) {
    Expr::Aggregate a{*func, false, nullptr};
    a.distinct = eat_kw(Keyword::Distinct);
    if (a.distinct || !eat(TokenKind::Star)) a.arg = BKF_TRY(parse_expr(0));  // (*) takes no argument
    BKF_TRY(expect(TokenKind::RParen));
    return make_expr(std::move(a));
  }
  for (char& c : name) c = ascii_upper(c);
  Expr::Function f{std::move(name), {}};
  if (!at(TokenKind::RParen)) {
    do {
      f.args.push_back(BKF_TRY(parse_expr(0)));
    } while (eat(TokenKind::Comma));
  }
  BKF_TRY(expect(TokenKind::RParen));
  return make_expr(std::move(f));
}

Result<ExprPtr> Parser::parse_case() {
  advance();  // CASE
  Expr::Case c;
  if (!at_ident_kw("WHEN")) c.operand = BKF_TRY(parse_expr(0));
  while (eat_ident_kw("WHEN")) {
    WhenClause w;
    w.condition = BKF_TRY(parse_expr(0));
    BKF_TRY(expect_ident_kw("THEN"));
    w.result = BKF_TRY(parse_expr(0));
    c.whens.push_back(std::move(w));
  }
  if (c.whens.empty()) return err("CASE requires at least one WHEN");
  if (eat_ident_kw("ELSE")) c.else_expr = BKF_TRY(parse_expr(0));
  BKF_TRY(expect_ident_kw("END"));
  return make_expr(std::move(c));
}

Result<ExprPtr> Parser::parse_cast() {
  advance();  // CAST
  BKF_TRY(expect(TokenKind::LParen));
  ExprPtr operand = BKF_TRY(parse_expr(0));
  BKF_TRY(expect_kw(Keyword::As));
  std::string type_name = BKF_TRY(expect_ident());
  eat_ident_kw("INTEGER");  // SIGNED INTEGER, UNSIGNED INTEGER
  if (eat(TokenKind::LParen)) {  // CHAR(10), DECIMAL(10,2): arguments dropped
    while (!at(TokenKind::RParen) && !at(TokenKind::Eof)) advance();
    BKF_TRY(expect(TokenKind::RParen));
  }
  BKF_TRY(expect(TokenKind::RParen));
  return make_expr(Expr::Cast{std::move(operand), cast_type_from_type_name(type_name)});
}

}  // namespace bkf::sql
