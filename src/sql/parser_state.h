// The parser's state and its shared operations, used by the statement level
// (parse_statement.cc) and the query and expression level (parse_query.cc).
// Internal to the front end.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "sql/ast.h"
#include "sql/token.h"

namespace bkf::sql {

class Parser {
 public:
  Parser(std::string_view text, std::vector<Token> tokens) : text_(text), tokens_(std::move(tokens)) {}

  // The statement list of the whole text.
  Result<std::vector<Statement>> parse_statements();

  // Statement level.
  Result<Statement> parse_statement();
  Result<Statement> parse_alter_table();
  Result<Statement> parse_create();
  Result<Statement> parse_create_index(bool unique);
  Result<Statement> parse_create_table();
  Result<Statement> parse_drop();
  Result<Statement> parse_insert();
  Result<Statement> parse_update();
  Result<Statement> parse_delete();
  Result<Statement> parse_pragma();
  Result<ColumnDef> parse_column_def();
  Result<TableIndex> parse_table_key(std::optional<std::string> constraint_name);
  void skip_table_element();
  Result<std::vector<std::string>> parse_index_columns();
  Result<ExprPtr> parse_default_value();
  Result<std::vector<Assignment>> parse_assignments();
  Status parse_if_not_exists(bool& flag);
  void eat_txn_noise();

  // Query and expression level.
  Result<SelectStmt> parse_select();
  Result<SelectStmt> parse_select_core();
  Status parse_select_items(SelectStmt& s);
  Status parse_from(SelectStmt& s);
  Result<JoinedTable> parse_table_ref();
  Result<ExprPtr> parse_expr(int min_bp);
  Result<ExprPtr> parse_primary();
  Result<ExprPtr> parse_case();
  Result<ExprPtr> parse_cast();
  Result<ExprPtr> parse_call(std::string name);
  Result<ExprPtr> parse_in(ExprPtr operand, bool negated);
  // A query up to its closing ')'. Kept out of line so that the frames of
  // parse_primary and parse_in, which every nesting level pays for, do not
  // hold a SelectStmt.
  [[gnu::noinline]] Result<std::unique_ptr<SelectStmt>> parse_subquery();

  // Shared operations. Errors carry the current token's offset.
  const Token& cur() const { return tokens_[pos_]; }
  // The token k places after the current one; Eof past the end.
  const Token& peek(std::size_t k) const {
    return pos_ + k < tokens_.size() ? tokens_[pos_ + k] : tokens_.back();
  }
  // Takes the current token; the final Eof is never passed.
  void advance() {
    if (pos_ + 1 < tokens_.size()) ++pos_;
  }
  bool at(TokenKind k) const { return cur().kind == k; }
  bool at_kw(Keyword k) const { return cur().is_keyword(k); }
  bool at_ident_kw(std::string_view word) const { return token_text_equals_ci(cur(), text_, word); }
  // The same for a word written bare: at the start of a CREATE TABLE
  // element a quoted `foreign` or "constraint" is a column's name.
  bool at_element_word(std::string_view word) const {
    return (cur().flags & kTokenQuoted) == 0 && at_ident_kw(word);
  }
  bool eat(TokenKind k);
  bool eat_kw(Keyword k);
  bool eat_ident_kw(std::string_view word);
  Status expect(TokenKind k);
  Status expect_kw(Keyword k);
  Status expect_ident_kw(std::string_view word);
  Result<std::string> expect_ident();
  Error err(std::string_view msg) const { return Error::parse(msg, cur().pos); }
  // "<prefix><Debug form of the current token>"
  Error err_found(std::string_view prefix) const;
  std::string text_of(const Token& t) const { return token_text(t, text_); }

 private:
  std::string_view text_;
  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  std::size_t param_count_ = 0;  // ordinal of the next '?', across all statements
  int depth_ = 0;                // current nesting, bounded by kMaxNestingDepth
};

}  // namespace bkf::sql
