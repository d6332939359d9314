#include <gtest/gtest.h>

#include <string>

#include "sql/token.h"

namespace bkf::sql {
namespace {

// "Kind(payload)@pos ..." for every token, or "error@pos: message".
std::string lex(std::string_view text) {
  auto r = tokenize(text);
  if (!r) return "error@" + std::to_string(r.error().pos()) + ": " + r.error().message();
  std::string out;
  for (const Token& t : *r) {
    if (!out.empty()) out += ' ';
    append_token_debug(out, t, text);
    out += '@' + std::to_string(t.pos);
  }
  return out;
}

struct LexCase {
  std::string text;
  std::string want;
};

TEST(TokenizerTest, TokensAndOffsets) {
  const LexCase cases[] = {
      {"", "Eof@0"},
      {" \t\r\n\f", "Eof@5"},
      {"-- only a comment", "Eof@17"},
      {"/* a */ -- b\n", "Eof@13"},
      // Keywords in any case; near misses and quoted words are identifiers.
      {"select", "Keyword(Select)@0 Eof@6"},
      {"SeLeCt FROM wHeRe", "Keyword(Select)@0 Keyword(From)@7 Keyword(Where)@12 Eof@17"},
      {"selects", "Ident(\"selects\")@0 Eof@7"},
      {"\"select\" `select`", "Ident(\"select\")@0 Ident(\"select\")@9 Eof@17"},
      {"rollback distinct right union", "Keyword(Rollback)@0 Keyword(Distinct)@9 Keyword(Right)@18 Keyword(Union)@24 Eof@29"},
      {"case when then end replace ignore", "Ident(\"case\")@0 Ident(\"when\")@5 Ident(\"then\")@10 Ident(\"end\")@15 "
                                             "Ident(\"replace\")@19 Ident(\"ignore\")@27 Eof@33"},
      {"_x1 a_b2", "Ident(\"_x1\")@0 Ident(\"a_b2\")@4 Eof@8"},
      {"na\xc3\xafve \xc3\xa9t\xc3\xa9", "Ident(\"na\xc3\xafve\")@0 Ident(\"\xc3\xa9t\xc3\xa9\")@7 Eof@12"},
      {"\xc3\x89ND", "Ident(\"\xc3\x89ND\")@0 Eof@4"},
      // Quotes: doubled quotes, other quote characters, empty content.
      {"'it''s'", "Str(\"it's\")@0 Eof@7"},
      {"''", "Str(\"\")@0 Eof@2"},
      {"\"a\"\"b\"", "Ident(\"a\\\"b\")@0 Eof@6"},
      {"``", "Ident(\"\")@0 Eof@2"},
      {"'a\"b`c\nd\\'", "Str(\"a\\\"b`c\\nd\\\\\")@0 Eof@10"},
      {"`a``b`", "Ident(\"a`b\")@0 Eof@6"},
      {"'\t\x01'", "Str(\"\\t\\u{1}\")@0 Eof@4"},
      // Blobs.
      {"X'0aFF'", "Blob([10, 255])@0 Eof@7"},
      {"x''", "Blob([])@0 Eof@3"},
      {"x 'ab'", "Ident(\"x\")@0 Str(\"ab\")@2 Eof@6"},
      {"X'ab''cd'", "Blob([171])@0 Str(\"cd\")@5 Eof@9"},
      {"xy'a'", "Ident(\"xy\")@0 Str(\"a\")@2 Eof@5"},
      // Numbers.
      {"1.", "Real(1.0)@0 Eof@2"},
      {".5", "Real(0.5)@0 Eof@2"},
      {"1.e3", "Real(1000.0)@0 Eof@4"},
      {"1.2.3", "Real(1.2)@0 Real(0.3)@3 Eof@5"},
      {"1e400", "Real(inf)@0 Eof@5"},
      {"1e-400", "Real(0.0)@0 Eof@6"},
      {"1000e306 0.001e-322", "Real(inf)@0 Real(0.0)@9 Eof@19"},
      {"0.0000001e310 100e-99999999999999999999", "Real(1e303)@0 Real(0.0)@14 Eof@39"},
      {"1e-320", "Real(1e-320)@0 Eof@6"},
      {"1E+2 2.5e-7 1e16 0.0001 1e15", "Real(100.0)@0 Real(2.5e-7)@5 Real(1e16)@12 Real(0.0001)@17 Real(1000000000000000.0)@24 Eof@28"},
      {"0.1 3.14159", "Real(0.1)@0 Real(3.14159)@4 Eof@11"},
      {"12abc", "Int(12)@0 Ident(\"abc\")@2 Eof@5"},
      {"9223372036854775807", "Int(9223372036854775807)@0 Eof@19"},
      {"00000000000000000000000000042", "Int(42)@0 Eof@29"},
      {"-5", "Minus@0 Int(5)@1 Eof@2"},
      {"a.b", "Ident(\"a\")@0 Dot@1 Ident(\"b\")@2 Eof@3"},
      {"t.5", "Ident(\"t\")@0 Real(0.5)@1 Eof@3"},
      // Operators.
      {"a<>b a!=b", "Ident(\"a\")@0 Ne@1 Ident(\"b\")@3 Ident(\"a\")@5 Ne@6 Ident(\"b\")@8 Eof@9"},
      {"a==b", "Ident(\"a\")@0 Eq@1 Eq@2 Ident(\"b\")@3 Eof@4"},
      {"< <= > >= <>=", "Lt@0 Le@2 Gt@5 Ge@7 Ne@10 Eq@12 Eof@13"},
      {"(),;.*+-/%=?", "LParen@0 RParen@1 Comma@2 Semicolon@3 Dot@4 Star@5 Plus@6 Minus@7 Slash@8 Percent@9 Eq@10 "
                       "Param@11 Eof@12"},
      {"1-2--3", "Int(1)@0 Minus@1 Int(2)@2 Eof@6"},
      {"4/*/ */5", "Int(4)@0 Int(5)@7 Eof@8"},
      {"SELECT 1 -- note", "Keyword(Select)@0 Int(1)@7 Eof@16"},
      {"/* a */ SELECT", "Keyword(Select)@8 Eof@14"},
      {"a--x\nb", "Ident(\"a\")@0 Ident(\"b\")@5 Eof@6"},
  };
  for (const LexCase& c : cases) EXPECT_EQ(lex(c.text), c.want) << "text: " << c.text;
}

TEST(TokenizerTest, ErrorsAndTheirOffsets) {
  const LexCase cases[] = {
      {"/*", "error@0: unterminated block comment"},
      {"SELECT /* x", "error@7: unterminated block comment"},
      {"a /*/", "error@2: unterminated block comment"},
      {"X'", "error@0: unterminated blob literal"},
      {"1, x'ab", "error@3: unterminated blob literal"},
      {"X'ABC'", "error@0: blob literal needs an even number of hex digits"},
      {"X'GG'", "error@0: blob literal needs an even number of hex digits"},
      {" x'0g'", "error@1: blob literal needs an even number of hex digits"},
      {"'abc", "error@0: unterminated string literal"},
      {"'it''", "error@0: unterminated string literal"},
      {"a \"b", "error@2: unterminated quoted identifier"},
      {"`b``", "error@0: unterminated backtick identifier"},
      {"3e", "error@0: invalid number"},
      {"3ex", "error@0: invalid number"},
      {"x = 2E-", "error@4: invalid number"},
      {".5e+ 1", "error@0: invalid number"},
      {"9223372036854775808", "error@0: integer out of range"},
      {"1 + 99999999999999999999", "error@4: integer out of range"},
      {"a ! b", "error@2: unexpected '!' (did you mean '!=' ?)"},
      {"!", "error@0: unexpected '!' (did you mean '!=' ?)"},
      {"a || b", "error@2: unexpected character '|'"},
      {"[x]", "error@0: unexpected character '['"},
      {"a ~ b", "error@2: unexpected character '~'"},
      {"{", "error@0: unexpected character '{'"},
      {"^", "error@0: unexpected character '^'"},
      {"1 & 2", "error@2: unexpected character '&'"},
      {"#", "error@0: unexpected character '#'"},
      {"$1", "error@0: unexpected character '$'"},
      {"a:b", "error@1: unexpected character ':'"},
      {"\\", "error@0: unexpected character '\\'"},
      {"a\vb", "error@1: unexpected character '\v'"},
      {std::string("a\0b", 3), std::string("error@1: unexpected character '") + '\0' + "'"},
      // The first fault wins, even when a later one would be found first by
      // a parser.
      {"SELECT 'x' FROM | 'unterminated", "error@16: unexpected character '|'"},
  };
  for (const LexCase& c : cases) EXPECT_EQ(lex(c.text), c.want) << "text: " << c.text;
}

TEST(TokenizerTest, KeywordNamesFollowTheirNumbers) {
  // Every reserved word tokenizes to the keyword of its number, in any case,
  // and its Debug name is the capitalised word.
  for (int k = 0; k < kKeywordCount; ++k) {
    std::string name = keyword_name(static_cast<Keyword>(k));
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(c | 0x20);
    auto r = tokenize(lower);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    EXPECT_TRUE((*r)[0].is_keyword(static_cast<Keyword>(k))) << name;
  }
}

}  // namespace
}  // namespace bkf::sql
