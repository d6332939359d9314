// The statement level of the parser: the statement list, schema statements,
// INSERT/REPLACE, UPDATE, DELETE, transactions and PRAGMA, and the shared
// token operations.
#include <algorithm>
#include <charconv>

#include "base/ascii.h"
#include "sql/parser.h"
#include "sql/parser_state.h"

namespace bkf::sql {
namespace {

std::string unit_debug(TokenKind k) {
  Token t;
  t.kind = k;
  return token_debug(t, {});
}

// A one-column PRIMARY KEY element becomes a PrimaryKey constraint of the
// column it names, with the key's name, added even when the column already
// has one, so that every PRIMARY KEY written stays visible. A longer one, or
// one naming no column, stays a unique key marked primary. The engine
// counts the keys and refuses a key on a missing column; the parser reports
// no schema errors.
void fold_primary_keys(Statement::CreateTable& t) {
  std::vector<TableIndex> kept;
  kept.reserve(t.indexes.size());
  for (TableIndex& ix : t.indexes) {
    if (ix.primary && ix.columns.size() == 1) {
      auto c = std::find_if(t.columns.begin(), t.columns.end(),
                            [&](const ColumnDef& def) { return ascii_iequal(def.name, ix.columns[0]); });
      if (c != t.columns.end()) {
        c->constraints.emplace_back(Constraint::PrimaryKey{std::move(ix.name)});
        continue;
      }
    }
    kept.push_back(std::move(ix));
  }
  t.indexes = std::move(kept);
}

}  // namespace

Result<std::vector<Statement>> parse(std::string_view text) {
  std::vector<Token> tokens = BKF_TRY(tokenize(text));
  return Parser(text, std::move(tokens)).parse_statements();
}

// ---------------------------------------------------------------------------
// Shared operations.

bool Parser::eat(TokenKind k) {
  if (!at(k)) return false;
  advance();
  return true;
}

bool Parser::eat_kw(Keyword k) {
  if (!at_kw(k)) return false;
  advance();
  return true;
}

bool Parser::eat_ident_kw(std::string_view word) {
  if (!at_ident_kw(word)) return false;
  advance();
  return true;
}

Error Parser::err_found(std::string_view prefix) const {
  std::string msg(prefix);
  append_token_debug(msg, cur(), text_);
  return err(msg);
}

Status Parser::expect(TokenKind k) {
  if (eat(k)) return {};
  return err_found("expected " + unit_debug(k) + ", found ");
}

Status Parser::expect_kw(Keyword k) {
  if (eat_kw(k)) return {};
  return err_found(std::string("expected keyword ") + keyword_name(k) + ", found ");
}

Status Parser::expect_ident_kw(std::string_view word) {
  if (eat_ident_kw(word)) return {};
  return err_found("expected " + std::string(word) + ", found ");
}

Result<std::string> Parser::expect_ident() {
  if (!at(TokenKind::Ident)) return err_found("expected identifier, found ");
  std::string name = text_of(cur());
  advance();
  return name;
}

// ---------------------------------------------------------------------------
// Statement list and dispatch.

Result<std::vector<Statement>> Parser::parse_statements() {
  std::vector<Statement> out;
  for (;;) {
    while (eat(TokenKind::Semicolon)) {
    }
    if (at(TokenKind::Eof)) return out;
    out.push_back(BKF_TRY(parse_statement()));
    if (eat(TokenKind::Semicolon)) continue;
    if (at(TokenKind::Eof)) return out;
    return err("expected ';' or end of input after statement");
  }
}

Result<Statement> Parser::parse_statement() {
  const Token& t = cur();
  if (t.is(TokenKind::Ident)) {
    if (eat_ident_kw("START")) {
      eat_txn_noise();
      return Statement(Statement::Begin{});
    }
    if (at_ident_kw("ALTER")) return parse_alter_table();
    if (at_ident_kw("REPLACE")) return parse_insert();
  } else if (t.is(TokenKind::Keyword)) {
    switch (t.keyword) {
      case Keyword::Select: return Statement(Statement::Select{BKF_TRY(parse_select())});
      case Keyword::Insert: return parse_insert();
      case Keyword::Create: return parse_create();
      case Keyword::Drop: return parse_drop();
      case Keyword::Update: return parse_update();
      case Keyword::Delete: return parse_delete();
      case Keyword::Begin:
        advance();
        eat_txn_noise();
        return Statement(Statement::Begin{});
      case Keyword::Commit:
        advance();
        eat_txn_noise();
        return Statement(Statement::Commit{});
      case Keyword::Rollback:
        advance();
        eat_txn_noise();
        return Statement(Statement::Rollback{});
      case Keyword::Pragma: return parse_pragma();
      default: break;
    }
  }
  return err_found("expected a statement, found ");
}

void Parser::eat_txn_noise() {
  if (!eat_ident_kw("TRANSACTION")) eat_ident_kw("WORK");
}

// ---------------------------------------------------------------------------
// Schema statements.

Result<Statement> Parser::parse_alter_table() {
  advance();  // ALTER
  BKF_TRY(expect_kw(Keyword::Table));
  std::string table = BKF_TRY(expect_ident());
  if (!eat_ident_kw("ADD")) return err("only ALTER TABLE ... ADD [COLUMN] is supported");
  eat_ident_kw("COLUMN");
  ColumnDef column = BKF_TRY(parse_column_def());
  return Statement(Statement::AlterTableAddColumn{std::move(table), std::move(column)});
}

Result<Statement> Parser::parse_create() {
  advance();  // CREATE
  const bool unique = eat_kw(Keyword::Unique);
  if (at_kw(Keyword::Index)) return parse_create_index(unique);
  if (unique) return err("expected INDEX after CREATE UNIQUE");
  BKF_TRY(expect_kw(Keyword::Table));
  return parse_create_table();
}

Status Parser::parse_if_not_exists(bool& flag) {
  if (!eat_kw(Keyword::If)) return {};
  BKF_TRY(expect_kw(Keyword::Not));
  BKF_TRY(expect_kw(Keyword::Exists));
  flag = true;
  return {};
}

Result<Statement> Parser::parse_create_index(bool unique) {
  advance();  // INDEX
  Statement::CreateIndex s;
  s.unique = unique;
  BKF_TRY(parse_if_not_exists(s.if_not_exists));
  s.name = BKF_TRY(expect_ident());
  BKF_TRY(expect_kw(Keyword::On));
  s.table = BKF_TRY(expect_ident());
  BKF_TRY(expect(TokenKind::LParen));
  do {
    s.columns.push_back(BKF_TRY(expect_ident()));
  } while (eat(TokenKind::Comma));
  BKF_TRY(expect(TokenKind::RParen));
  return Statement(std::move(s));
}

Result<Statement> Parser::parse_drop() {
  advance();  // DROP
  const bool index = eat_kw(Keyword::Index);
  if (!index) BKF_TRY(expect_kw(Keyword::Table));
  bool if_exists = false;
  if (eat_kw(Keyword::If)) {
    BKF_TRY(expect_kw(Keyword::Exists));
    if_exists = true;
  }
  std::string name = BKF_TRY(expect_ident());
  if (index) return Statement(Statement::DropIndex{std::move(name), if_exists});
  return Statement(Statement::DropTable{std::move(name), if_exists});
}

Result<Statement> Parser::parse_create_table() {
  Statement::CreateTable s;
  BKF_TRY(parse_if_not_exists(s.if_not_exists));
  s.name = BKF_TRY(expect_ident());
  BKF_TRY(expect(TokenKind::LParen));
  for (;;) {
    if (at_kw(Keyword::Primary) || at_kw(Keyword::Unique) || at_kw(Keyword::Key) || at_kw(Keyword::Index)) {
      s.indexes.push_back(BKF_TRY(parse_table_key(std::nullopt)));
    } else if (at_element_word("CONSTRAINT")) {
      // CONSTRAINT [name] PRIMARY KEY ... and CONSTRAINT [name] UNIQUE ...
      // are those keys, under that name; any other named constraint
      // (FOREIGN KEY, CHECK) is skipped.
      advance();
      std::optional<std::string> name;
      if (at(TokenKind::Ident)) name = BKF_TRY(expect_ident());
      if (at_kw(Keyword::Primary) || at_kw(Keyword::Unique)) {
        s.indexes.push_back(BKF_TRY(parse_table_key(std::move(name))));
      } else {
        skip_table_element();
      }
    } else if (at_element_word("FOREIGN") || at_element_word("FULLTEXT") || at_element_word("SPATIAL")) {
      skip_table_element();
    } else {
      s.columns.push_back(BKF_TRY(parse_column_def()));
    }
    if (eat(TokenKind::Comma)) continue;
    BKF_TRY(expect(TokenKind::RParen));
    break;
  }
  // Table options (ENGINE=..., DEFAULT CHARSET=..., COMMENT '...') are dropped.
  while (!at(TokenKind::Semicolon) && !at(TokenKind::Eof)) advance();
  fold_primary_keys(s);
  return Statement(std::move(s));
}

// A key element: PRIMARY KEY (...), UNIQUE [KEY] [INDEX] [name] (...), KEY
// or INDEX [name] (...). `constraint_name` names a PRIMARY KEY, and a
// UNIQUE key that has no name of its own.
Result<TableIndex> Parser::parse_table_key(std::optional<std::string> constraint_name) {
  TableIndex ix;
  if (eat_kw(Keyword::Primary)) {
    BKF_TRY(expect_kw(Keyword::Key));
    ix.unique = true;
    ix.primary = true;
    ix.name = std::move(constraint_name);
  } else {
    if (eat_kw(Keyword::Unique)) {
      ix.unique = true;
      eat_kw(Keyword::Key);
      eat_kw(Keyword::Index);
      ix.name = std::move(constraint_name);
    } else {
      advance();  // KEY or INDEX
    }
    if (at(TokenKind::Ident)) ix.name = BKF_TRY(expect_ident());
  }
  ix.columns = BKF_TRY(parse_index_columns());
  return ix;
}

// Skips an element up to the ',' or ')' that ends it.
void Parser::skip_table_element() {
  int depth = 0;
  while (!at(TokenKind::Eof)) {
    if (depth == 0 && (at(TokenKind::Comma) || at(TokenKind::RParen))) break;
    if (at(TokenKind::LParen)) ++depth;
    if (at(TokenKind::RParen)) --depth;
    advance();
  }
}

Result<std::vector<std::string>> Parser::parse_index_columns() {
  BKF_TRY(expect(TokenKind::LParen));
  std::vector<std::string> names;
  for (;;) {
    names.push_back(BKF_TRY(expect_ident()));
    if (eat(TokenKind::LParen)) {  // prefix length, dropped
      advance();
      BKF_TRY(expect(TokenKind::RParen));
    }
    eat_kw(Keyword::Asc);
    eat_kw(Keyword::Desc);
    if (eat(TokenKind::Comma)) continue;
    BKF_TRY(expect(TokenKind::RParen));
    return names;
  }
}

Result<ColumnDef> Parser::parse_column_def() {
  ColumnDef c;
  c.name = BKF_TRY(expect_ident());
  if (at(TokenKind::Ident)) {
    c.type_name = text_of(cur());
    advance();
    if (eat(TokenKind::LParen)) {  // VARCHAR(255), DECIMAL(10,2), ENUM('a','b'): one token per argument
      advance();
      while (eat(TokenKind::Comma)) advance();
      BKF_TRY(expect(TokenKind::RParen));
    }
    for (;;) {
      if (eat_ident_kw("UNSIGNED") || eat_ident_kw("ZEROFILL") || eat_ident_kw("BINARY")) continue;
      if (eat_ident_kw("CHARACTER") || eat_ident_kw("CHARSET") || eat_ident_kw("COLLATE")) {
        eat_kw(Keyword::Set);
        advance();  // the character set or collation name
        continue;
      }
      break;
    }
  }
  for (;;) {
    if (eat_kw(Keyword::Primary)) {
      BKF_TRY(expect_kw(Keyword::Key));
      c.constraints.emplace_back(Constraint::PrimaryKey{});
    } else if (eat_kw(Keyword::Not)) {
      BKF_TRY(expect_kw(Keyword::Null));
      c.constraints.emplace_back(Constraint::NotNull{});
    } else if (eat_kw(Keyword::Null) || eat_kw(Keyword::Key)) {
      // nothing recorded
    } else if (eat_kw(Keyword::Unique)) {
      eat_kw(Keyword::Key);
      c.constraints.emplace_back(Constraint::Unique{});
    } else if (eat_kw(Keyword::On)) {  // ON UPDATE CURRENT_TIMESTAMP
      advance();
      advance();
    } else if (eat_kw(Keyword::Default)) {
      c.constraints.emplace_back(Constraint::Default{BKF_TRY(parse_default_value())});
    } else if (eat_ident_kw("AUTO_INCREMENT")) {
      c.constraints.emplace_back(Constraint::AutoIncrement{});
    } else if (eat_ident_kw("UNSIGNED") || eat_ident_kw("ZEROFILL") || eat_ident_kw("BINARY")) {
      // nothing recorded
    } else if (eat_ident_kw("COLLATE") || eat_ident_kw("COMMENT")) {
      advance();
    } else {
      return c;
    }
  }
}

Result<ExprPtr> Parser::parse_default_value() {
  const Token t = cur();
  switch (t.kind) {
    case TokenKind::Int: advance(); return make_expr(Expr::Integer{t.int_value});
    case TokenKind::Real: advance(); return make_expr(Expr::Real{t.real_value});
    case TokenKind::Str: advance(); return make_expr(Expr::Str{text_of(t)});
    case TokenKind::Keyword:
    case TokenKind::Ident:
      // NULL, and words such as CURRENT_TIMESTAMP, NOW(), TRUE: a null default.
      advance();
      if (!t.is_keyword(Keyword::Null) && eat(TokenKind::LParen)) BKF_TRY(expect(TokenKind::RParen));
      return make_expr(Expr::Null{});
    case TokenKind::Minus: {
      advance();
      const Token n = cur();
      advance();
      // Reported at the token after the one that is not a number.
      if (n.is(TokenKind::Int)) return make_expr(Expr::Integer{-n.int_value});
      if (n.is(TokenKind::Real)) return make_expr(Expr::Real{-n.real_value});
      std::string msg = "expected a number after '-', found ";
      append_token_debug(msg, n, text_);
      return err(msg);
    }
    default: return err_found("expected a DEFAULT value, found ");
  }
}

// ---------------------------------------------------------------------------
// Data changes.

Result<Statement> Parser::parse_insert() {
  Statement::Insert s;
  if (eat_ident_kw("REPLACE")) {
    s.on_conflict = OnConflict::Replace{};
  } else {
    BKF_TRY(expect_kw(Keyword::Insert));
    if (eat_ident_kw("IGNORE")) s.on_conflict = OnConflict::Ignore{};
    if (eat_kw(Keyword::Or)) {
      // INSERT OR IGNORE / OR REPLACE; any other word is dropped.
      if (at_ident_kw("IGNORE")) s.on_conflict = OnConflict::Ignore{};
      else if (at_ident_kw("REPLACE")) s.on_conflict = OnConflict::Replace{};
      advance();
    }
  }
  BKF_TRY(expect_kw(Keyword::Into));
  s.table = BKF_TRY(expect_ident());
  if (eat(TokenKind::LParen)) {
    std::vector<std::string> cols;
    do {
      cols.push_back(BKF_TRY(expect_ident()));
    } while (eat(TokenKind::Comma));
    BKF_TRY(expect(TokenKind::RParen));
    s.columns = std::move(cols);
  }
  if (at_kw(Keyword::Select)) {
    s.source = InsertSource::Select{BKF_TRY(parse_select())};
  } else {
    BKF_TRY(expect_kw(Keyword::Values));
    InsertSource::Values v;
    do {
      BKF_TRY(expect(TokenKind::LParen));
      std::size_t n = 0;
      do {
        v.values.push_back(BKF_TRY(parse_expr(0)));
        ++n;
      } while (eat(TokenKind::Comma));
      BKF_TRY(expect(TokenKind::RParen));
      if (v.width == 0) {
        v.width = n;
      } else if (n != v.width) {
        return err("all VALUES rows must have " + std::to_string(v.width) + " columns, got " + std::to_string(n));
      }
    } while (eat(TokenKind::Comma));
    s.source = std::move(v);
  }
  if (s.on_conflict.is<OnConflict::Plain>() && eat_kw(Keyword::On)) {
    BKF_TRY(expect_ident_kw("DUPLICATE"));
    BKF_TRY(expect_kw(Keyword::Key));
    BKF_TRY(expect_kw(Keyword::Update));
    s.on_conflict = OnConflict::Update{BKF_TRY(parse_assignments())};
  }
  return Statement(std::move(s));
}

Result<std::vector<Assignment>> Parser::parse_assignments() {
  std::vector<Assignment> out;
  do {
    std::string column = BKF_TRY(expect_ident());
    BKF_TRY(expect(TokenKind::Eq));
    // The value first: leaving a half-built Assignment by BKF_TRY's return
    // would skip the destructor of its column name.
    ExprPtr value = BKF_TRY(parse_expr(0));
    out.push_back(Assignment{std::move(column), std::move(value)});
  } while (eat(TokenKind::Comma));
  return out;
}

Result<Statement> Parser::parse_update() {
  advance();  // UPDATE
  Statement::Update s;
  s.table = BKF_TRY(expect_ident());
  BKF_TRY(expect_kw(Keyword::Set));
  s.assignments = BKF_TRY(parse_assignments());
  if (eat_kw(Keyword::Where)) s.where = BKF_TRY(parse_expr(0));
  return Statement(std::move(s));
}

Result<Statement> Parser::parse_delete() {
  advance();  // DELETE
  BKF_TRY(expect_kw(Keyword::From));
  Statement::Delete s;
  s.table = BKF_TRY(expect_ident());
  if (eat_kw(Keyword::Where)) s.where = BKF_TRY(parse_expr(0));
  return Statement(std::move(s));
}

Result<Statement> Parser::parse_pragma() {
  advance();  // PRAGMA
  Statement::Pragma s;
  s.name = BKF_TRY(expect_ident());
  if (eat(TokenKind::Eq)) {
    const Token& t = cur();
    switch (t.kind) {
      case TokenKind::Int: {
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, t.int_value);
        s.value = std::string(buf, res.ptr);
        break;
      }
      case TokenKind::Str:
      case TokenKind::Ident: s.value = text_of(t); break;
      case TokenKind::Keyword: {
        s.value = ascii_lower(keyword_name(t.keyword));
        break;
      }
      default: return err_found("expected a pragma value, found ");
    }
    advance();
  }
  return Statement(std::move(s));
}

}  // namespace bkf::sql
