// Tokens of the SQL dialect and the tokenizer that produces them.
//
// tokenize() turns the bytes of one request's SQL text into a list of tokens
// ending with exactly one Eof. Tokens never leave the front end: the parser
// is their only reader, and it keeps the text alive while it works.
//
// A token is compact: its kind, its byte offset in the text and either its
// numeric value (Int, Real) or the offset just past its last byte (Str,
// Blob, Ident). Names and literals are not copied while tokenizing; the
// parser decodes them from the text on demand (token_text, token_blob), so
// keywords and punctuation cost no heap allocation at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace bkf::sql {

// The 24 token kinds; the numbers are fixed.
enum class TokenKind : std::uint8_t {
  Int = 0,
  Real = 1,
  Str = 2,
  Blob = 3,
  Ident = 4,
  Keyword = 5,
  LParen = 6,
  RParen = 7,
  Comma = 8,
  Semicolon = 9,
  Dot = 10,
  Star = 11,
  Plus = 12,
  Minus = 13,
  Slash = 14,
  Percent = 15,
  Eq = 16,
  Ne = 17,
  Lt = 18,
  Le = 19,
  Gt = 20,
  Ge = 21,
  Param = 22,
  Eof = 23,
};

// The 49 reserved words; the numbers are fixed. A bare word spelled like one
// of them in any ASCII letter case is always a Keyword token and is never
// accepted as a name; every other word of the dialect (CASE, WHEN, REPLACE,
// ...) is an Ident the parser recognises by its text.
enum class Keyword : std::uint8_t {
  Select = 0, From, Where, Insert, Into, Values, Create, Table, Drop, Update,
  Set = 10, Delete, Order, By, Asc, Desc, Limit, And, Or, Not,
  Null = 20, Is, Primary, Key, Unique, Begin, Commit, Rollback, If, Exists,
  As = 30, Index, On, Group, Having, Distinct, Join, Inner, Cross, Pragma,
  Left = 40, Outer, Cast, In, Like, Offset, Default, Union, Right,
};
inline constexpr int kKeywordCount = 49;

// Flags of Str and Ident tokens.
inline constexpr std::uint8_t kTokenQuoted = 1;         // enclosed in quote characters
inline constexpr std::uint8_t kTokenDoubledQuote = 2;   // content holds a doubled quote

// One token and where it starts. For Eof, pos is the text length.
struct Token {
  TokenKind kind = TokenKind::Eof;
  Keyword keyword = Keyword::Select;  // Keyword tokens only
  std::uint8_t flags = 0;             // Str and Ident tokens only
  std::size_t pos = 0;
  union {
    std::int64_t int_value;  // Int
    double real_value;       // Real
    std::size_t end;         // Str, Blob, Ident: offset just past the token
  };

  Token() : end(0) {}
  bool is(TokenKind k) const noexcept { return kind == k; }
  bool is_keyword(Keyword k) const noexcept { return kind == TokenKind::Keyword && keyword == k; }
};

// Tokenizes `text`. Returns the tokens in text order, the last one Eof, or
// the first fault as a Parse error at the byte where the faulty token (or
// character) starts; no partial list is returned.
Result<std::vector<Token>> tokenize(std::string_view text);

// The content of a Str or Ident token: quotes removed, doubled quotes
// collapsed, letter case as written.
std::string token_text(const Token& t, std::string_view text);
// The content of a Str or Ident without decoding; equal to token_text when
// the token has no doubled quote.
std::string_view token_raw_text(const Token& t, std::string_view text);
// True when the content of an Ident equals `word` ignoring ASCII case.
// `word` holds no quote characters, so a token with a doubled quote never
// matches.
bool token_text_equals_ci(const Token& t, std::string_view text, std::string_view word);
// The bytes of a Blob token (validated by the tokenizer).
std::string token_blob(const Token& t, std::string_view text);

// The Debug name of a keyword: "Select", "From", ...
const char* keyword_name(Keyword k);
// The Debug form of a token, as shown inside parser messages: Int(42),
// Real(1.5), Str("abc"), Blob([1, 255]), Ident("name"), Keyword(From),
// LParen, ..., Eof.
void append_token_debug(std::string& out, const Token& t, std::string_view text);
std::string token_debug(const Token& t, std::string_view text);

}  // namespace bkf::sql
