#include "sql/token.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

#include "base/ascii.h"
#include "record/value.h"

namespace bkf::sql {
namespace {

struct KeywordWord {
  const char* debug_name;
  const char* word;  // upper case, as matched in the text
};

constexpr KeywordWord kKeywords[kKeywordCount] = {
    {"Select", "SELECT"}, {"From", "FROM"},       {"Where", "WHERE"},
    {"Insert", "INSERT"}, {"Into", "INTO"},       {"Values", "VALUES"},
    {"Create", "CREATE"}, {"Table", "TABLE"},     {"Drop", "DROP"},
    {"Update", "UPDATE"}, {"Set", "SET"},         {"Delete", "DELETE"},
    {"Order", "ORDER"},   {"By", "BY"},           {"Asc", "ASC"},
    {"Desc", "DESC"},     {"Limit", "LIMIT"},     {"And", "AND"},
    {"Or", "OR"},         {"Not", "NOT"},         {"Null", "NULL"},
    {"Is", "IS"},         {"Primary", "PRIMARY"}, {"Key", "KEY"},
    {"Unique", "UNIQUE"}, {"Begin", "BEGIN"},     {"Commit", "COMMIT"},
    {"Rollback", "ROLLBACK"}, {"If", "IF"},       {"Exists", "EXISTS"},
    {"As", "AS"},         {"Index", "INDEX"},     {"On", "ON"},
    {"Group", "GROUP"},   {"Having", "HAVING"},   {"Distinct", "DISTINCT"},
    {"Join", "JOIN"},     {"Inner", "INNER"},     {"Cross", "CROSS"},
    {"Pragma", "PRAGMA"}, {"Left", "LEFT"},       {"Outer", "OUTER"},
    {"Cast", "CAST"},     {"In", "IN"},           {"Like", "LIKE"},
    {"Offset", "OFFSET"}, {"Default", "DEFAULT"}, {"Union", "UNION"},
    {"Right", "RIGHT"},
};

constexpr std::size_t kLongestKeyword = 8;

constexpr std::size_t cstr_len(const char* s) {
  std::size_t n = 0;
  while (s[n]) ++n;
  return n;
}

// The keywords grouped by word length, so a word is only compared with the
// reserved words of its own length.
struct KeywordsByLength {
  std::array<std::uint8_t, kKeywordCount> order{};
  std::array<std::uint8_t, kLongestKeyword + 2> start{};  // start[len]..start[len+1]
};

constexpr KeywordsByLength make_keywords_by_length() {
  KeywordsByLength t;
  std::size_t n = 0;
  for (std::size_t len = 0; len <= kLongestKeyword; ++len) {
    t.start[len] = static_cast<std::uint8_t>(n);
    for (int k = 0; k < kKeywordCount; ++k) {
      if (cstr_len(kKeywords[k].word) == len) t.order[n++] = static_cast<std::uint8_t>(k);
    }
  }
  t.start[kLongestKeyword + 1] = static_cast<std::uint8_t>(n);
  return t;
}

constexpr KeywordsByLength kByLength = make_keywords_by_length();
static_assert(kByLength.start[kLongestKeyword + 1] == kKeywordCount, "every keyword is at most 8 bytes");

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool is_word_start(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}
inline bool is_word_byte(unsigned char c) { return is_word_start(c) || is_digit(c); }
inline int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Returns the keyword index of a bare word, or -1.
int find_keyword(std::string_view word) {
  if (word.size() < 2 || word.size() > kLongestKeyword) return -1;
  char upper[kLongestKeyword];
  for (std::size_t i = 0; i < word.size(); ++i) upper[i] = ascii_upper(word[i]);
  for (std::size_t j = kByLength.start[word.size()]; j < kByLength.start[word.size() + 1]; ++j) {
    int k = kByLength.order[j];
    if (std::memcmp(upper, kKeywords[k].word, word.size()) == 0) return k;
  }
  return -1;
}

// A text too far out of range for a double: infinity when its magnitude is
// large, 0.0 when it is tiny. `num` is a validated literal (digits, optional
// '.', digits, optional exponent); the decimal exponent of its first
// non-zero digit decides.
double out_of_range_value(std::string_view num) {
  std::size_t e = num.find_first_of("eE");
  std::string_view mant = num.substr(0, e);
  std::int64_t exp = 0;
  if (e != std::string_view::npos) {
    std::size_t k = e + 1;
    bool neg = false;
    if (k < num.size() && (num[k] == '+' || num[k] == '-')) neg = num[k++] == '-';
    constexpr std::int64_t kCap = std::int64_t{1} << 40;  // saturate: far beyond any double
    for (; k < num.size(); ++k) exp = std::min<std::int64_t>(kCap, exp * 10 + (num[k] - '0'));
    if (neg) exp = -exp;
  }
  std::size_t dot = mant.find('.');
  std::string_view ipart = mant.substr(0, dot);
  std::string_view fpart = dot == std::string_view::npos ? std::string_view() : mant.substr(dot + 1);
  std::int64_t lead;  // decimal exponent of the first non-zero digit, before `exp`
  std::size_t nz = ipart.find_first_not_of('0');
  if (nz != std::string_view::npos) {
    lead = static_cast<std::int64_t>(ipart.size() - nz) - 1;
  } else {
    std::size_t fz = fpart.find_first_not_of('0');
    if (fz == std::string_view::npos) return 0.0;
    lead = -static_cast<std::int64_t>(fz) - 1;
  }
  return lead + exp >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : text_(text), n_(text.size()) {}

  Result<std::vector<Token>> run() {
    // Room for one token per three bytes, capped so that a huge text does
    // not reserve memory its tokens may never need; beyond the cap the list
    // grows geometrically.
    constexpr std::size_t kReserveCap = std::size_t{1} << 18;
    out_.reserve(std::min(n_ / 3 + 8, kReserveCap));
    while (i_ < n_) {
      const unsigned char c = byte(i_);
      if (c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r') {
        ++i_;
      } else if (c == '-' && byte(i_ + 1) == '-') {
        skip_line_comment();
      } else if (c == '/' && byte(i_ + 1) == '*') {
        BKF_TRY(skip_block_comment());
      } else if ((c == 'X' || c == 'x') && byte(i_ + 1) == '\'') {
        BKF_TRY(blob());
      } else if (is_word_start(c)) {
        word();
      } else if (c == '\'' || c == '"' || c == '`') {
        BKF_TRY(quoted(c));
      } else if (is_digit(c) || (c == '.' && is_digit(byte(i_ + 1)))) {
        BKF_TRY(number());
      } else {
        BKF_TRY(punctuation(c));
      }
    }
    Token eof;
    eof.kind = TokenKind::Eof;
    eof.pos = n_;
    out_.push_back(eof);
    return std::move(out_);
  }

 private:
  // The byte at k, or 0 past the end (no rule looks ahead for a 0 byte).
  unsigned char byte(std::size_t k) const { return k < n_ ? static_cast<unsigned char>(text_[k]) : 0; }

  void push(TokenKind kind, std::size_t pos) {
    Token t;
    t.kind = kind;
    t.pos = pos;
    out_.push_back(t);
  }

  void skip_line_comment() {
    std::size_t lf = text_.find('\n', i_ + 2);
    i_ = lf == std::string_view::npos ? n_ : lf;
  }

  Status skip_block_comment() {
    std::size_t close = text_.find("*/", i_ + 2);
    if (close == std::string_view::npos) return Error::parse("unterminated block comment", i_);
    i_ = close + 2;
    return {};
  }

  Status blob() {
    const std::size_t start = i_;
    std::size_t close = text_.find('\'', i_ + 2);
    if (close == std::string_view::npos) return Error::parse("unterminated blob literal", start);
    std::string_view body = text_.substr(i_ + 2, close - (i_ + 2));
    bool ok = body.size() % 2 == 0;
    for (std::size_t k = 0; ok && k < body.size(); ++k) ok = hex_value(static_cast<unsigned char>(body[k])) >= 0;
    if (!ok) return Error::parse("blob literal needs an even number of hex digits", start);
    Token t;
    t.kind = TokenKind::Blob;
    t.pos = start;
    t.end = close + 1;
    out_.push_back(t);
    i_ = close + 1;
    return {};
  }

  void word() {
    const std::size_t start = i_;
    while (i_ < n_ && is_word_byte(byte(i_))) ++i_;
    int k = find_keyword(text_.substr(start, i_ - start));
    Token t;
    t.pos = start;
    if (k >= 0) {
      t.kind = TokenKind::Keyword;
      t.keyword = static_cast<Keyword>(k);
    } else {
      t.kind = TokenKind::Ident;
      t.end = i_;
    }
    out_.push_back(t);
  }

  Status quoted(unsigned char q) {
    const std::size_t start = i_;
    std::uint8_t flags = kTokenQuoted;
    std::size_t k = i_ + 1;
    for (;;) {
      std::size_t close = text_.find(static_cast<char>(q), k);
      if (close == std::string_view::npos) {
        const char* msg = q == '\'' ? "unterminated string literal"
                          : q == '"' ? "unterminated quoted identifier"
                                     : "unterminated backtick identifier";
        return Error::parse(msg, start);
      }
      if (byte(close + 1) == q) {
        flags |= kTokenDoubledQuote;
        k = close + 2;
        continue;
      }
      i_ = close + 1;
      break;
    }
    Token t;
    t.kind = q == '\'' ? TokenKind::Str : TokenKind::Ident;
    t.flags = flags;
    t.pos = start;
    t.end = i_;
    out_.push_back(t);
    return {};
  }

  Status number() {
    const std::size_t start = i_;
    while (i_ < n_ && is_digit(byte(i_))) ++i_;
    bool real = false;
    if (i_ < n_ && byte(i_) == '.') {
      real = true;
      ++i_;
      while (i_ < n_ && is_digit(byte(i_))) ++i_;
    }
    if (i_ < n_ && (byte(i_) == 'e' || byte(i_) == 'E')) {
      real = true;
      ++i_;
      if (i_ < n_ && (byte(i_) == '+' || byte(i_) == '-')) ++i_;
      const std::size_t digits = i_;
      while (i_ < n_ && is_digit(byte(i_))) ++i_;
      if (i_ == digits) return Error::parse("invalid number", start);
    }
    std::string_view num = text_.substr(start, i_ - start);
    Token t;
    t.pos = start;
    if (real) {
      // from_chars never consults the locale and rounds correctly.
      double v = 0.0;
      auto res = std::from_chars(num.data(), num.data() + num.size(), v);
      if (res.ec == std::errc::result_out_of_range) {
        v = out_of_range_value(num);
      } else if (res.ec != std::errc() || res.ptr != num.data() + num.size()) {
        return Error::parse("invalid number", start);
      }
      t.kind = TokenKind::Real;
      t.real_value = v;
    } else {
      // Leading zeros are allowed, so accumulate with an overflow check
      // rather than limiting the digit count.
      std::int64_t v = 0;
      for (char ch : num) {
        const int d = ch - '0';
        if (v > (std::numeric_limits<std::int64_t>::max() - d) / 10) {
          return Error::parse("integer out of range", start);
        }
        v = v * 10 + d;
      }
      t.kind = TokenKind::Int;
      t.int_value = v;
    }
    out_.push_back(t);
    return {};
  }

  Status punctuation(unsigned char c) {
    const std::size_t start = i_;
    const unsigned char next = byte(i_ + 1);
    TokenKind kind;
    std::size_t len = 1;
    switch (c) {
      case '(': kind = TokenKind::LParen; break;
      case ')': kind = TokenKind::RParen; break;
      case ',': kind = TokenKind::Comma; break;
      case ';': kind = TokenKind::Semicolon; break;
      case '.': kind = TokenKind::Dot; break;
      case '*': kind = TokenKind::Star; break;
      case '+': kind = TokenKind::Plus; break;
      case '-': kind = TokenKind::Minus; break;
      case '/': kind = TokenKind::Slash; break;
      case '%': kind = TokenKind::Percent; break;
      case '=': kind = TokenKind::Eq; break;
      case '?': kind = TokenKind::Param; break;
      case '!':
        if (next != '=') return Error::parse("unexpected '!' (did you mean '!=' ?)", start);
        kind = TokenKind::Ne;
        len = 2;
        break;
      case '<':
        if (next == '=') {
          kind = TokenKind::Le;
          len = 2;
        } else if (next == '>') {
          kind = TokenKind::Ne;
          len = 2;
        } else {
          kind = TokenKind::Lt;
        }
        break;
      case '>':
        if (next == '=') {
          kind = TokenKind::Ge;
          len = 2;
        } else {
          kind = TokenKind::Gt;
        }
        break;
      default: {
        // Only ASCII bytes reach here (bytes from 0x80 start words), so the
        // byte is the character it encodes.
        std::string msg = "unexpected character '";
        msg += static_cast<char>(c);
        msg += '\'';
        return Error::parse(msg, start);
      }
    }
    push(kind, start);
    i_ += len;
    return {};
  }

  std::string_view text_;
  std::size_t n_;
  std::size_t i_ = 0;
  std::vector<Token> out_;
};

}  // namespace

Result<std::vector<Token>> tokenize(std::string_view text) { return Tokenizer(text).run(); }

std::string_view token_raw_text(const Token& t, std::string_view text) {
  if (t.flags & kTokenQuoted) return text.substr(t.pos + 1, t.end - t.pos - 2);
  return text.substr(t.pos, t.end - t.pos);
}

std::string token_text(const Token& t, std::string_view text) {
  std::string_view raw = token_raw_text(t, text);
  if (!(t.flags & kTokenDoubledQuote)) return std::string(raw);
  const char q = text[t.pos];
  std::string out;
  out.reserve(raw.size());
  for (std::size_t k = 0; k < raw.size(); ++k) {
    out += raw[k];
    if (raw[k] == q) ++k;  // a doubled quote stands for one
  }
  return out;
}

bool token_text_equals_ci(const Token& t, std::string_view text, std::string_view word) {
  if (t.kind != TokenKind::Ident || (t.flags & kTokenDoubledQuote)) return false;
  return ascii_iequal(token_raw_text(t, text), word);
}

std::string token_blob(const Token& t, std::string_view text) {
  std::string_view body = text.substr(t.pos + 2, t.end - t.pos - 3);
  std::string out(body.size() / 2, '\0');
  for (std::size_t k = 0; k < out.size(); ++k) {
    out[k] = static_cast<char>(hex_value(static_cast<unsigned char>(body[2 * k])) * 16 +
                               hex_value(static_cast<unsigned char>(body[2 * k + 1])));
  }
  return out;
}

const char* keyword_name(Keyword k) { return kKeywords[static_cast<int>(k)].debug_name; }

void append_token_debug(std::string& out, const Token& t, std::string_view text) {
  static constexpr const char* kUnitNames[] = {
      "Int",   "Real",    "Str",   "Blob", "Ident", "Keyword", "LParen", "RParen",
      "Comma", "Semicolon", "Dot", "Star", "Plus",  "Minus",   "Slash",  "Percent",
      "Eq",    "Ne",      "Lt",    "Le",   "Gt",    "Ge",      "Param",  "Eof",
  };
  // The literal forms are those of the value debug form, which escapes
  // text the same way; only the wrapper names differ.
  switch (t.kind) {
    case TokenKind::Int: append_value_debug(out, Value::integer(t.int_value)); return;
    case TokenKind::Real: append_value_debug(out, Value::real(t.real_value)); return;
    case TokenKind::Blob: append_value_debug(out, Value::blob(token_blob(t, text))); return;
    case TokenKind::Str:
    case TokenKind::Ident: {
      std::string quoted = value_debug(Value::text(token_text(t, text)));  // Text("...")
      out += t.kind == TokenKind::Str ? "Str" : "Ident";
      out.append(quoted, 4, std::string::npos);
      return;
    }
    case TokenKind::Keyword:
      out += "Keyword(";
      out += keyword_name(t.keyword);
      out += ')';
      return;
    default: out += kUnitNames[static_cast<int>(t.kind)]; return;
  }
}

std::string token_debug(const Token& t, std::string_view text) {
  std::string out;
  append_token_debug(out, t, text);
  return out;
}

}  // namespace bkf::sql
