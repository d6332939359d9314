#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "record/value.h"
#include "sql/parser.h"
#include "tree_text.h"

namespace bkf::sql {
namespace {

using testing::show;

// The statements of `text` in their text form, joined by " | ", or
// "error@pos: message".
std::string parsed(std::string_view text) {
  auto r = parse(text);
  if (!r) return "error@" + std::to_string(r.error().pos()) + ": " + r.error().message();
  std::string out;
  for (const Statement& s : *r) out += (out.empty() ? "" : " | ") + show(s);
  return out;
}

struct ParseCase {
  const char* text;
  const char* want;
};

// Every statement form and clause, with the tree each one must give.
const ParseCase kMustParse[] = {
    {"", ""},
    {";;;", ""},
    {"SELECT 1;;SELECT 2;", "SELECT 1 | SELECT 2"},
    {"select 1", "SELECT 1"},
    // CREATE TABLE: columns, types, modifiers, constraints, keys, skipped elements, options.
    {"CREATE TABLE t (id INTEGER PRIMARY KEY AUTO_INCREMENT, name VARCHAR(20) NOT NULL DEFAULT 'x' COMMENT 'n', "
     "UNIQUE KEY u (name(10) DESC)) ENGINE=x",
     "CreateTable t (id INTEGER PrimaryKey AutoIncrement, name VARCHAR NotNull Default('x')) UniqueKey u(name)"},
    {"CREATE TABLE t (a INT, b INT, PRIMARY KEY (a))", "CreateTable t (a INT PrimaryKey, b INT)"},
    {"CREATE TABLE t (a INT, b INT, PRIMARY KEY (a, b))", "CreateTable t (a INT, b INT) UniqueKey -(a, b) PRIMARY"},
    // A key naming no column, and every PRIMARY KEY written, stay visible
    // for the engine to refuse.
    {"CREATE TABLE t (a INT, PRIMARY KEY (zz))", "CreateTable t (a INT) UniqueKey -(zz) PRIMARY"},
    {"CREATE TABLE t (a INT PRIMARY KEY, PRIMARY KEY (A))", "CreateTable t (a INT PrimaryKey PrimaryKey)"},
    {"CREATE TABLE t (a INT, a TEXT)", "CreateTable t (a INT, a TEXT)"},
    {"CREATE TABLE IF NOT EXISTS t (a INT, CONSTRAINT fk FOREIGN KEY (a) REFERENCES p(id), CONSTRAINT pk PRIMARY KEY (a), "
     "FULLTEXT KEY ft (a), SPATIAL INDEX (a), KEY k (a ASC, b), INDEX (a, b), UNIQUE INDEX (b), UNIQUE (a))",
     "CreateTable IF NOT EXISTS t (a INT PrimaryKey(pk)) Key k(a, b) Key -(a, b) UniqueKey -(b) UniqueKey -(a)"},
    // CONSTRAINT [name] before PRIMARY KEY or UNIQUE is that key under that
    // name (a UNIQUE key's own name wins), also when a one-column PRIMARY KEY
    // is folded onto its column; other constraints are skipped. A quoted name
    // starting an element is a column.
    {"CREATE TABLE t (a INT, b INT, CONSTRAINT uq UNIQUE (a), CONSTRAINT `c2` UNIQUE KEY own (b), CONSTRAINT UNIQUE (a, b), "
     "CONSTRAINT PRIMARY KEY (b), CONSTRAINT ck CHECK (a > (0)), CONSTRAINT FOREIGN KEY (a) REFERENCES p(id), "
     "CONSTRAINT pk PRIMARY KEY (a, b))",
     "CreateTable t (a INT, b INT PrimaryKey) UniqueKey uq(a) UniqueKey own(b) UniqueKey -(a, b) UniqueKey pk(a, b) PRIMARY"},
    {"CREATE TABLE t (id INT, `foreign` INT, \"constraint\" TEXT, `fulltext` INT, \"Spatial\" INT, x INT)",
     "CreateTable t (id INT, foreign INT, constraint TEXT, fulltext INT, Spatial INT, x INT)"},
    {"CREATE TABLE t (a INT(11) UNSIGNED ZEROFILL NOT NULL, b DECIMAL(10,2) DEFAULT -1.5, "
     "c ENUM('x','y') CHARACTER SET utf8 COLLATE utf8_bin DEFAULT NULL, "
     "d TIMESTAMP DEFAULT CURRENT_TIMESTAMP ON UPDATE CURRENT_TIMESTAMP, e TEXT BINARY UNIQUE KEY, "
     "f INT DEFAULT -5 KEY NULL UNIQUE UNIQUE, g BOOL DEFAULT TRUE, h DATETIME DEFAULT NOW(), i CHAR CHARSET latin1, "
     "j INT DEFAULT 7 COMMENT 'c' COLLATE x, k) DEFAULT CHARSET=utf8 COMMENT 'tbl'",
     "CreateTable t (a INT NotNull, b DECIMAL Default(-1.5), c ENUM Default(NULL), d TIMESTAMP Default(NULL), "
     "e TEXT Unique, f INT Default(-5) Unique Unique, g BOOL Default(NULL), h DATETIME Default(NULL), i CHAR, "
     "j INT Default(7), k)"},
    {"CREATE TABLE t (a INT DEFAULT 2.5, b TEXT DEFAULT 'q''r', c INT DEFAULT - 3, d INT DEFAULT DEFAULT)",
     "CreateTable t (a INT Default(2.5), b TEXT Default('q''r'), c INT Default(-3), d INT Default(NULL))"},
    {"CREATE TABLE `order` (\"select\" INT, `my col` text)", "CreateTable order (select INT, my col text)"},
    // Indexes, DROP, ALTER.
    {"CREATE INDEX i ON t (a, b)", "CreateIndex i ON t(a, b)"},
    {"CREATE UNIQUE INDEX IF NOT EXISTS i ON t (a)", "CreateIndex UNIQUE IF NOT EXISTS i ON t(a)"},
    {"DROP TABLE t; DROP TABLE IF EXISTS t; DROP INDEX i; DROP INDEX IF EXISTS i",
     "DropTable t | DropTable IF EXISTS t | DropIndex i | DropIndex IF EXISTS i"},
    {"ALTER TABLE t ADD c TEXT", "AlterTableAddColumn t (c TEXT)"},
    {"alter table t add column c int not null default 0", "AlterTableAddColumn t (c int NotNull Default(0))"},
    // Transactions and pragmas.
    {"BEGIN; BEGIN TRANSACTION; START TRANSACTION; begin work; start; COMMIT; COMMIT WORK; ROLLBACK; ROLLBACK TRANSACTION",
     "Begin | Begin | Begin | Begin | Begin | Commit | Commit | Rollback | Rollback"},
    {"PRAGMA journal_mode = WAL; PRAGMA synchronous = 0; PRAGMA journal_mode = DELETE; PRAGMA integrity_check; "
     "PRAGMA x = 'a b'; PRAGMA y = 007; PRAGMA \"z\" = `q`",
     "Pragma journal_mode = \"WAL\" | Pragma synchronous = \"0\" | Pragma journal_mode = \"delete\" | "
     "Pragma integrity_check | Pragma x = \"a b\" | Pragma y = \"7\" | Pragma z = \"q\""},
    // INSERT and its policies and sources.
    {"INSERT INTO t VALUES (1, 'a'), (2, NULL)", "Insert t VALUES (1, 'a'), (2, NULL)"},
    {"INSERT INTO t (a, b) VALUES (?, ?)", "Insert t (a, b) VALUES (?0, ?1)"},
    {"INSERT IGNORE INTO t VALUES (1); INSERT OR IGNORE INTO t VALUES (1); INSERT OR REPLACE INTO t VALUES (1); "
     "REPLACE INTO t VALUES (1); INSERT OR ROLLBACK INTO t VALUES (1)",
     "InsertIgnore t VALUES (1) | InsertIgnore t VALUES (1) | InsertReplace t VALUES (1) | InsertReplace t VALUES (1) | "
     "Insert t VALUES (1)"},
    {"INSERT INTO t SELECT a FROM u UNION SELECT b FROM v", "Insert t SELECT a FROM u UNION {SELECT b FROM v}"},
    {"INSERT INTO t (a) VALUES (1) ON DUPLICATE KEY UPDATE a = VALUES(a) + 1, b = 2",
     "Insert t (a) VALUES (1) ON DUPLICATE a = Add(VALUES(a), 1), b = 2"},
    {"UPDATE t SET a = a + 1, b = 'x' WHERE id = 3", "Update t SET a = Add(a, 1), b = 'x' WHERE Eq(id, 3)"},
    {"DELETE FROM t; DELETE FROM t WHERE a IS NOT NULL", "Delete t | Delete t WHERE IsNotNull(a)"},
    // Precedence and associativity.
    {"SELECT 1 + 2 * 3", "SELECT Add(1, Mul(2, 3))"},
    {"SELECT -2 * 3", "SELECT Mul(Neg(2), 3)"},
    {"SELECT NOT a = 1 OR b", "SELECT Or(Not(Eq(a, 1)), b)"},
    {"SELECT a = 1 IS NULL", "SELECT IsNull(Eq(a, 1))"},
    {"SELECT a - b - c, a = b = c, a / b % c", "SELECT Sub(Sub(a, b), c), Eq(Eq(a, b), c), Mod(Div(a, b), c)"},
    {"SELECT NOT a = b AND c", "SELECT And(Not(Eq(a, b)), c)"},
    {"SELECT a OR b AND c OR d", "SELECT Or(Or(a, And(b, c)), d)"},
    {"SELECT a < b <> c >= d", "SELECT Ge(Ne(Lt(a, b), c), d)"},
    {"SELECT a = NOT b = c", "SELECT Eq(a, Not(Eq(b, c)))"},
    {"SELECT - - 1, -a.b, - NOT a", "SELECT Neg(Neg(1)), Neg(a.b), Neg(Not(a))"},
    {"SELECT a + 1 LIKE b + 2, a NOT LIKE 'x%' AND c", "SELECT Like(Add(a, 1), Add(b, 2)), And(NotLike(a, 'x%'), c)"},
    {"SELECT a NOT IN (1, 2), b IN (SELECT x FROM u), c IN (d)",
     "SELECT NotInList(a, [1, 2]), In(b, SELECT x FROM u), InList(c, [d])"},
    {"SELECT a IS NOT NULL = b, NOT a IS NULL", "SELECT Eq(IsNotNull(a), b), Not(IsNull(a))"},
    // Calls, aggregates, CASE, CAST, literals, subqueries.
    {"SELECT count(*), COUNT(DISTINCT a), sum(*) FROM t", "SELECT Count(*), Count(DISTINCT a), Sum(*) FROM t"},
    {"SELECT lower(x), now(), replace(s, 'a', 'b'), Avg(a), MIN(b), max(c + 1), countx(1)",
     "SELECT LOWER(x), NOW(), REPLACE(s, 'a', 'b'), Avg(a), Min(b), Max(Add(c, 1)), COUNTX(1)"},
    {"SELECT CASE WHEN a THEN 1 END", "SELECT Case(-; a => 1; else -)"},
    {"SELECT CASE x WHEN 1 THEN 'a' WHEN 2 THEN 'b' ELSE 'c' END AS y",
     "SELECT Case(x; 1 => 'a'; 2 => 'b'; else 'c') AS y"},
    {"select \"case\" when a then b else c end", "SELECT Case(-; a => b; else c)"},
    {"SELECT CAST(x AS UNSIGNED INTEGER), CAST(x AS VARCHAR(20)), CAST(x AS DOUBLE), CAST(x AS DECIMAL(10, 2)), "
     "CAST(x AS SIGNED)",
     "SELECT Cast(x AS Integer), Cast(x AS Text), Cast(x AS Real), Cast(x AS Real), Cast(x AS Integer)"},
    {"SELECT x'00ff', 1.5, 'a''b', NULL, 1e20", "SELECT X'00ff', 1.5, 'a''b', NULL, 1e20"},
    {"SELECT (SELECT max(a) FROM t) + 1, (1 + 2) * 3", "SELECT Add((SELECT Max(a) FROM t), 1), Mul(Add(1, 2), 3)"},
    {"SELECT VALUES(a) + 1", "SELECT Add(VALUES(a), 1)"},
    // Items, aliases, FROM and joins.
    {"SELECT a b, c AS d, t.* FROM t x", "SELECT a AS b, c AS d, t.* FROM t AS x"},
    {"SELECT * FROM a RIGHT JOIN b ON a.x = b.x", "SELECT * FROM b LEFT JOIN a ON Eq(a.x, b.x)"},
    {"SELECT \"my col\" FROM \"weird table\" AS `x y`", "SELECT my col FROM weird table AS x y"},
    {"SELECT * FROM a AS p RIGHT OUTER JOIN b q ON p.x = q.x WHERE p.y > 1",
     "SELECT * FROM b AS q LEFT JOIN a AS p ON Eq(p.x, q.x) WHERE Gt(p.y, 1)"},
    {"SELECT * FROM a, b JOIN c ON a.x = c.x INNER JOIN d ON 1 CROSS JOIN e LEFT JOIN f ON 2 LEFT OUTER JOIN g ON 3 JOIN h",
     "SELECT * FROM a, b JOIN c ON Eq(a.x, c.x) JOIN d ON 1, e LEFT JOIN f ON 2 LEFT JOIN g ON 3, h"},
    {"SELECT * FROM t natural; SELECT * FROM t full WHERE 1; SELECT * FROM t AS natural JOIN u; "
     "SELECT * FROM t \"natural\" JOIN u ON 1; SELECT * FROM t `FULL` LEFT JOIN u ON 1",
     "SELECT * FROM t AS natural | SELECT * FROM t AS full WHERE 1 | SELECT * FROM t AS natural, u | "
     "SELECT * FROM t AS natural JOIN u ON 1 | SELECT * FROM t AS FULL LEFT JOIN u ON 1"},
    // Clauses, LIMIT forms, UNION.
    {"SELECT a, count(*) FROM t WHERE b > 0 GROUP BY a, c HAVING count(*) > 1 ORDER BY 2 DESC, a ASC, c",
     "SELECT a, Count(*) FROM t WHERE Gt(b, 0) GROUP BY a, c HAVING Gt(Count(*), 1) ORDER BY 2 DESC, a, c"},
    {"SELECT 1 HAVING 1", "SELECT 1 HAVING 1"},
    {"SELECT a FROM t LIMIT 5, 10; SELECT a FROM t LIMIT 10 OFFSET 5; SELECT a FROM t LIMIT ?",
     "SELECT a FROM t LIMIT 10 OFFSET 5 | SELECT a FROM t LIMIT 10 OFFSET 5 | SELECT a FROM t LIMIT ?0"},
    {"SELECT a FROM t UNION ALL SELECT a FROM u ORDER BY a LIMIT 1",
     "SELECT a FROM t ORDER BY a LIMIT 1 UNION ALL {SELECT a FROM u}"},
    {"SELECT a FROM t ORDER BY a UNION SELECT a FROM u ORDER BY a DESC LIMIT 1",
     "SELECT a FROM t ORDER BY a UNION {SELECT a FROM u ORDER BY a DESC LIMIT 1}"},
    {"SELECT a FROM t UNION DISTINCT SELECT b FROM u UNION SELECT c FROM v LIMIT 3 OFFSET 1",
     "SELECT a FROM t LIMIT 3 OFFSET 1 UNION {SELECT b FROM u} UNION {SELECT c FROM v}"},
    {"SELECT SQL_CALC_FOUND_ROWS * FROM t; SELECT DISTINCT HIGH_PRIORITY SQL_NO_CACHE a FROM t",
     "SELECT CALC * FROM t | SELECT DISTINCT a FROM t"},
    // Placeholders are numbered across the whole text.
    {"SELECT ? + ?", "SELECT Add(?0, ?1)"},
    {"SELECT ?; UPDATE t SET a = ? WHERE b = ?; DELETE FROM t WHERE c IN (?, ?)",
     "SELECT ?0 | Update t SET a = ?1 WHERE Eq(b, ?2) | Delete t WHERE InList(c, [?3, ?4])"},
    {"SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE u.c = t.c) AND NOT b IS NULL",
     "SELECT a FROM t WHERE And(In(a, SELECT b FROM u WHERE Eq(u.c, t.c)), Not(IsNull(b)))"},
    // The statements other layers generate.
    {"INSERT IGNORE INTO t (a, b) VALUES (?, ?); DELETE FROM t WHERE a = ? AND b = ?; SELECT 1 FROM t WHERE a = ? AND b = ?",
     "InsertIgnore t (a, b) VALUES (?0, ?1) | Delete t WHERE And(Eq(a, ?2), Eq(b, ?3)) | "
     "SELECT 1 FROM t WHERE And(Eq(a, ?4), Eq(b, ?5))"},
};

// Each must fail with this message at this byte.
struct FailCase {
  const char* text;
  const char* message;
  std::size_t pos;
};

const FailCase kMustFail[] = {
    {"SELECT 1 SELECT 2", "expected ';' or end of input after statement", 9},
    {"FOO", "expected a statement, found Ident(\"FOO\")", 0},
    {"; FROM t", "expected a statement, found Keyword(From)", 2},
    {"CREATE TABLE t ()", "expected identifier, found RParen", 16},
    {"CREATE TABLE t (a INT,)", "expected identifier, found RParen", 22},
    {"CREATE TABLE t (x INT DEFAULT - 'a')", "expected a number after '-', found Str(\"a\")", 35},
    {"CREATE TABLE t (x INT DEFAULT -", "expected a number after '-', found Eof", 31},
    {"CREATE TABLE t (x INT DEFAULT (1))", "expected a DEFAULT value, found LParen", 30},
    {"CREATE TABLE t (x INT DEFAULT X'00')", "expected a DEFAULT value, found Blob([0])", 30},
    {"CREATE TABLE t (x INT DEFAULT ?)", "expected a DEFAULT value, found Param", 30},
    {"CREATE TABLE t (x INT DEFAULT NOW(1))", "expected RParen, found Int(1)", 34},
    {"CREATE TABLE t (x VARCHAR())", "expected RParen, found Eof", 28},
    {"CREATE TABLE t (x INT NOT 5)", "expected keyword Null, found Int(5)", 26},
    {"CREATE TABLE t (a INT", "expected RParen, found Eof", 21},
    {"CREATE TABLE t (a INT) ; garbage", "expected a statement, found Ident(\"garbage\")", 25},
    {"CREATE UNIQUE TABLE t (a INT)", "expected INDEX after CREATE UNIQUE", 14},
    {"CREATE INDEX IF EXISTS i ON t (a)", "expected keyword Not, found Keyword(Exists)", 16},
    {"CREATE INDEX i ON t (a(10))", "expected RParen, found LParen", 22},
    {"CREATE VIEW v", "expected keyword Table, found Ident(\"VIEW\")", 7},
    {"DROP VIEW v", "expected keyword Table, found Ident(\"VIEW\")", 5},
    {"DROP TABLE IF t", "expected keyword Exists, found Ident(\"t\")", 14},
    {"DELETE t", "expected keyword From, found Ident(\"t\")", 7},
    {"INSERT IGNORE INTO t VALUES (1) ON DUPLICATE KEY UPDATE a = 1", "expected ';' or end of input after statement", 32},
    {"INSERT INTO t VALUES (1, 2), (3)", "all VALUES rows must have 2 columns, got 1", 32},
    {"INSERT INTO t VALUES (1), (2, 3); SELECT 1", "all VALUES rows must have 1 columns, got 2", 32},
    {"INSERT INTO t VALUES (1) ON KEY UPDATE a = 1", "expected DUPLICATE, found Keyword(Key)", 28},
    {"INSERT INTO t VALUES (1) ON DUPLICATE UPDATE a = 1", "expected keyword Key, found Keyword(Update)", 38},
    {"INSERT INTO t VALUES ()", "expected an expression, found RParen", 22},
    {"INSERT INTO my table VALUES (1)", "expected keyword Values, found Keyword(Table)", 15},
    {"INSERT INTO t (order) VALUES (1)", "expected identifier, found Keyword(Order)", 15},
    {"REPLACE t VALUES (1)", "expected keyword Into, found Ident(\"t\")", 8},
    {"UPDATE t SET a = 1 WHERE", "expected an expression, found Eof", 24},
    {"UPDATE t SET a + 1", "expected Eq, found Plus", 15},
    // A column name too long for the string's inline buffer, then no value:
    // the name must not leak (the sanitized build checks).
    {"UPDATE t SET a_long_column_name = ", "expected an expression, found Eof", 34},
    {"PRAGMA cache_size = -1", "expected a pragma value, found Minus", 20},
    {"PRAGMA x = 1.5", "expected a pragma value, found Real(1.5)", 11},
    {"ALTER TABLE t DROP c", "only ALTER TABLE ... ADD [COLUMN] is supported", 14},
    {"ALTER t ADD c", "expected keyword Table, found Ident(\"t\")", 6},
    {"BEGIN IMMEDIATE", "expected ';' or end of input after statement", 6},
    // Query forms the dialect does not have.
    {"SELECT a NOT BETWEEN 1 AND 2", "expected ';' or end of input after statement", 9},
    {"SELECT a BETWEEN 1 AND 2", "expected ';' or end of input after statement", 17},
    {"SELECT EXISTS (SELECT 1)", "expected an expression, found Keyword(Exists)", 7},
    {"SELECT +1", "expected an expression, found Plus", 7},
    {"SELECT a LIKE b ESCAPE c", "expected ';' or end of input after statement", 23},
    {"SELECT a IS TRUE", "expected keyword Null, found Ident(\"TRUE\")", 12},
    {"SELECT a IN 1", "expected LParen, found Int(1)", 12},
    {"SELECT a IN ()", "expected an expression, found RParen", 13},
    {"SELECT a || b", "unexpected character '|'", 9},
    {"SELECT 1 INTERSECT SELECT 2", "expected ';' or end of input after statement", 19},
    {"SELECT 1 EXCEPT SELECT 2", "expected ';' or end of input after statement", 16},
    {"SELECT * FROM (SELECT 1)", "expected identifier, found LParen", 14},
    {"SELECT * FROM a NATURAL JOIN b", "expected ';' or end of input after statement", 16},
    {"SELECT * FROM a natural left join b on 1", "expected ';' or end of input after statement", 16},
    {"SELECT * FROM a FULL OUTER JOIN b ON 1", "expected ';' or end of input after statement", 16},
    {"SELECT * FROM a full join b on 1", "expected ';' or end of input after statement", 16},
    {"SELECT * FROM a JOIN b USING (x)", "expected ';' or end of input after statement", 29},
    {"SELECT * FROM a LEFT JOIN b", "outer JOIN requires an ON clause", 27},
    {"SELECT * FROM a RIGHT JOIN b WHERE 1", "outer JOIN requires an ON clause", 29},
    {"SELECT * FROM a, b RIGHT JOIN c ON 1", "RIGHT JOIN is only supported between exactly two tables", 36},
    {"SELECT * FROM a RIGHT JOIN b ON 1 RIGHT JOIN c ON 2 WHERE 1", "RIGHT JOIN is only supported between exactly two tables", 52},
    {"SELECT * FROM a INNER OUTER JOIN b", "expected keyword Join, found Keyword(Outer)", 22},
    {"SELECT count(DISTINCT *) FROM t", "expected an expression, found Star", 22},
    {"SELECT max(a, b)", "expected RParen, found Comma", 12},
    {"SELECT count()", "expected an expression, found RParen", 13},
    {"SELECT LEFT(s, 2)", "expected an expression, found Keyword(Left)", 7},
    {"SELECT IF(a, 1, 2)", "expected an expression, found Keyword(If)", 7},
    {"SELECT CASE a END", "CASE requires at least one WHEN", 14},
    {"SELECT CASE WHEN a 1 END", "expected THEN, found Int(1)", 19},
    {"SELECT CASE WHEN a THEN 1", "expected END, found Eof", 25},
    {"SELECT a AS FROM t", "expected identifier, found Keyword(From)", 12},
    {"SELECT a FROM t OFFSET 5", "expected ';' or end of input after statement", 16},
    {"SELECT SQL_CALC_FOUND_ROWS DISTINCT a FROM t", "expected an expression, found Keyword(Distinct)", 27},
    {"SELECT t.* AS x FROM t", "expected ';' or end of input after statement", 11},
    {"SELECT 1 + a.*", "expected identifier, found Star", 13},
    {"SELECT", "expected an expression, found Eof", 6},
    {"SELECT a FROM", "expected identifier, found Eof", 13},
    {"SELECT (1", "expected RParen, found Eof", 9},
    {"SELECT (SELECT 1", "expected RParen, found Eof", 16},
    {"SELECT CAST(a AS)", "expected identifier, found RParen", 16},
    {"SELECT CAST(a INT)", "expected keyword As, found Ident(\"INT\")", 14},
    {"SELECT CAST(a AS CHAR(10)", "expected RParen, found Eof", 25},
    {"SELECT `select` FROM t WHERE select = 1", "expected an expression, found Keyword(Select)", 29},
    {"SELECT a FROM t GROUP a", "expected keyword By, found Ident(\"a\")", 22},
    {"SELECT 'it''s", "unterminated string literal", 7},
};

TEST(ParserTest, MustParse) {
  for (const ParseCase& c : kMustParse) EXPECT_EQ(parsed(c.text), c.want) << "text: " << c.text;
}

TEST(ParserTest, MustFail) {
  for (const FailCase& c : kMustFail) {
    EXPECT_EQ(parsed(c.text), "error@" + std::to_string(c.pos) + ": " + c.message) << "text: " << c.text;
    auto r = parse(c.text);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::Parse);
  }
  // The display text users see.
  EXPECT_EQ(parse("SELECT 1 SELECT 2").error().to_string(),
            "parse error at byte 9: expected ';' or end of input after statement");
}

// ---------------------------------------------------------------------------
// Robustness: whatever the text, parse returns trees or a Parse error at a
// byte within the text, and every tree copies into an equal tree.

void check_robust(std::string_view text) {
  auto r = parse(text);
  if (!r) {
    ASSERT_EQ(r.error().kind(), ErrorKind::Parse) << text;
    ASSERT_LE(r.error().pos(), text.size()) << text;
    return;
  }
  for (const Statement& s : *r) {
    Statement copy = s.clone();
    ASSERT_TRUE(eq(s, copy)) << text;
  }
}

TEST(ParserRobustnessTest, EveryPrefixOfEveryCase) {
  for (const ParseCase& c : kMustParse) {
    std::string_view text = c.text;
    for (std::size_t n = 0; n <= text.size(); ++n) check_robust(text.substr(0, n));
  }
  for (const FailCase& c : kMustFail) {
    std::string_view text = c.text;
    for (std::size_t n = 0; n <= text.size(); ++n) check_robust(text.substr(0, n));
  }
}

TEST(ParserRobustnessTest, RandomTokenSoups) {
  static const char* const kFragments[] = {
      "SELECT", "FROM", "WHERE", "INSERT", "INTO", "VALUES", "CREATE", "TABLE", "DROP", "UPDATE", "SET", "DELETE",
      "ORDER", "BY", "LIMIT", "OFFSET", "AND", "OR", "NOT", "NULL", "IS", "PRIMARY", "KEY", "UNIQUE", "INDEX", "ON",
      "GROUP", "HAVING", "DISTINCT", "JOIN", "LEFT", "RIGHT", "INNER", "CROSS", "OUTER", "UNION", "ALL", "CAST", "AS",
      "IN", "LIKE", "DEFAULT", "IF", "EXISTS", "BEGIN", "COMMIT", "ROLLBACK", "PRAGMA", "CASE", "WHEN", "THEN", "ELSE",
      "END", "REPLACE", "IGNORE", "DUPLICATE", "ALTER", "ADD", "COLUMN", "START", "NATURAL", "FULL", "CONSTRAINT",
      "AUTO_INCREMENT", "count", "max", "t", "u", "a", "b", "x", "\"q\"", "`b`", "1", "0", "2.5", ".5", "1e3", "'s'",
      "''", "X'ab'", "?", "(", ")", "(", ")", ",", ";", ".", "*", "+", "-", "/", "%", "=", "!=", "<>", "<", "<=", ">",
      ">=", "'", "\"", "`", "X'", "/*", "*/", "--", "!", "|", "9223372036854775808", "1e", "\xc3\xa9",
  };
  constexpr std::size_t kCount = sizeof kFragments / sizeof kFragments[0];
#ifdef BKF_SANITIZED
  constexpr int kSoups = 20000;
#else
  constexpr int kSoups = 30000;
#endif
  std::mt19937 rng(20240611);
  for (int i = 0; i < kSoups; ++i) {
    std::string text;
    // Half start like a statement, so the soups reach deep into the grammar.
    if (i % 2 == 0) text = (i % 4 == 0) ? "SELECT " : "INSERT INTO t VALUES (";
    const int n = 1 + static_cast<int>(rng() % 40);
    for (int k = 0; k < n; ++k) {
      text += kFragments[rng() % kCount];
      if (rng() % 4 != 0) text += ' ';
    }
    check_robust(text);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// ---------------------------------------------------------------------------
// Randomized round trip: a random expression tree, written as SQL with only
// the parentheses its operator powers require, parses back into an equal
// tree. This checks every binding power and associativity rule against an
// independent model of them.

class ExprWriter {
 public:
  explicit ExprWriter(std::mt19937& rng) : rng_(rng) {}

  ExprPtr random_expr(int depth) {
    const int pick = static_cast<int>(rng_() % (depth <= 0 ? 5 : 17));
    switch (pick) {
      case 0: return make_expr(Expr::Integer{static_cast<std::int64_t>(rng_() % 1000)});
      case 1: {
        static const double kReals[] = {0.5, 2.25, 1e20, 1.5e-7, 3.0};
        return make_expr(Expr::Real{kReals[rng_() % 5]});
      }
      case 2: return make_expr(Expr::Str{rng_() % 2 ? "a'b" : ""});
      case 3: {
        static const char* const kNames[] = {"a", "b", "select", "Col"};
        std::optional<std::string> table;
        if (rng_() % 3 == 0) table = "t";
        return make_expr(Expr::Column{table, kNames[rng_() % 4]});
      }
      case 4: return rng_() % 2 ? make_expr(Expr::Param{0}) : make_expr(Expr::Null{});
      case 5:
      case 6: {
        UnaryOp op = rng_() % 2 ? UnaryOp::Neg : UnaryOp::Not;
        return make_expr(Expr::Unary{op, random_expr(depth - 1)});
      }
      case 7: return make_expr(Expr::IsNull{rng_() % 2 == 0, random_expr(depth - 1)});
      case 8: return make_expr(Expr::Like{rng_() % 2 == 0, random_expr(depth - 1), random_expr(depth - 1)});
      case 9: {
        std::vector<ExprPtr> list;
        for (int n = 1 + static_cast<int>(rng_() % 3); n > 0; --n) list.push_back(random_expr(depth - 1));
        return make_expr(Expr::InList{rng_() % 2 == 0, random_expr(depth - 1), std::move(list)});
      }
      case 10: {
        std::vector<ExprPtr> args;
        for (int n = static_cast<int>(rng_() % 3); n > 0; --n) args.push_back(random_expr(depth - 1));
        return make_expr(Expr::Function{"F", std::move(args)});
      }
      case 11: {
        Expr::Case c;
        if (rng_() % 2) c.operand = random_expr(depth - 1);
        for (int n = 1 + static_cast<int>(rng_() % 2); n > 0; --n) {
          c.whens.push_back(WhenClause{random_expr(depth - 1), random_expr(depth - 1)});
        }
        if (rng_() % 2) c.else_expr = random_expr(depth - 1);
        return make_expr(std::move(c));
      }
      case 12: {
        const bool star = rng_() % 3 == 0;
        return make_expr(Expr::Aggregate{static_cast<AggFunc>(rng_() % 5), !star && rng_() % 2 == 0,
                                         star ? nullptr : random_expr(depth - 1)});
      }
      case 13: return make_expr(Expr::Cast{random_expr(depth - 1), static_cast<CastType>(rng_() % 3)});
      default:
        return make_expr(Expr::Binary{static_cast<BinaryOp>(rng_() % 13), random_expr(depth - 1), random_expr(depth - 1)});
    }
  }

  // Writes `e` so that it parses back as itself, numbering '?' in text order
  // (hence every part is written in its own statement, in text order).
  std::string write(Expr& e) { return write(e, 0, Context::Top); }

 private:
  enum class Context { Top, Logic, Other };

  static int binary_power(BinaryOp op) {
    switch (op) {
      case BinaryOp::Or: return 2;
      case BinaryOp::And: return 4;
      case BinaryOp::Add:
      case BinaryOp::Sub: return 10;
      case BinaryOp::Mul:
      case BinaryOp::Div:
      case BinaryOp::Mod: return 12;
      default: return 8;
    }
  }

  // The power a node binds with as an operand: operands need at least the
  // position's minimum, else they are parenthesised. A prefix NOT reaches
  // to the right over everything tighter than AND, so it is only written
  // bare where nothing of that kind can follow it: at the top, directly
  // under AND/OR, or under another NOT.
  std::string write(Expr& e, int min_power, Context ctx) {
    int power = 100;
    std::string s;
    switch (e.kind()) {
      case ExprKind::Binary: {
        auto& b = e.as<Expr::Binary>();
        power = binary_power(b.op);
        static const char* const kOps[] = {" + ", " - ", " * ", " / ", " % ", " = ", " != ",
                                           " < ", " <= ", " > ", " >= ", " AND ", " OR "};
        const Context sub = power <= 4 ? Context::Logic : Context::Other;
        s = write(*b.left, power, sub);
        s += kOps[static_cast<int>(b.op)];
        s += write(*b.right, power + 1, sub);
        break;
      }
      case ExprKind::Unary: {
        auto& u = e.as<Expr::Unary>();
        if (u.op == UnaryOp::Not) {
          if (ctx == Context::Other) return "(" + write(e, 0, Context::Top) + ")";
          power = 7;
          s = "NOT " + write(*u.operand, 7, Context::Logic);
        } else {
          std::string operand = write(*u.operand, 14, Context::Other);
          s = (operand[0] == '-' ? "- " : "-") + operand;  // "--" would start a comment
        }
        break;
      }
      case ExprKind::IsNull: {
        auto& x = e.as<Expr::IsNull>();
        power = 8;
        s = write(*x.operand, 8, Context::Other) + (x.negated ? " IS NOT NULL" : " IS NULL");
        break;
      }
      case ExprKind::Like: {
        auto& x = e.as<Expr::Like>();
        power = 8;
        s = write(*x.operand, 8, Context::Other);
        s += x.negated ? " NOT LIKE " : " LIKE ";
        s += write(*x.pattern, 9, Context::Other);
        break;
      }
      case ExprKind::InList: {
        auto& x = e.as<Expr::InList>();
        power = 8;
        s = write(*x.operand, 8, Context::Other);
        s += x.negated ? " NOT IN (" : " IN (";
        s += list(x.list) + ")";
        break;
      }
      case ExprKind::Function: s = e.as<Expr::Function>().name + "(" + list(e.as<Expr::Function>().args) + ")"; break;
      case ExprKind::Aggregate: {
        auto& a = e.as<Expr::Aggregate>();
        static const char* const kAgg[] = {"count", "SUM", "Avg", "min", "MAX"};
        s = std::string(kAgg[static_cast<int>(a.func)]) + "(" + (a.distinct ? "DISTINCT " : "") +
            (a.arg ? write(*a.arg, 0, Context::Top) : "*") + ")";
        break;
      }
      case ExprKind::Cast: {
        static const char* const kTypes[] = {"SIGNED INTEGER", "DOUBLE", "VARCHAR(10)"};
        s = "CAST(" + write(*e.as<Expr::Cast>().operand, 0, Context::Top) + " AS " +
            kTypes[static_cast<int>(e.as<Expr::Cast>().ty)] + ")";
        break;
      }
      case ExprKind::Case: {
        auto& c = e.as<Expr::Case>();
        s = "CASE";
        if (c.operand) s += " " + write(*c.operand, 0, Context::Top);
        for (WhenClause& w : c.whens) {
          s += " WHEN " + write(*w.condition, 0, Context::Top);
          s += " THEN " + write(*w.result, 0, Context::Top);
        }
        if (c.else_expr) s += " ELSE " + write(*c.else_expr, 0, Context::Top);
        s += " END";
        break;
      }
      case ExprKind::Integer: s = std::to_string(e.as<Expr::Integer>().value); break;
      case ExprKind::Real: append_real_debug(s, e.as<Expr::Real>().value); break;
      case ExprKind::Str: s = show(e); break;
      case ExprKind::Column: {
        auto& c = e.as<Expr::Column>();
        s = (c.table ? *c.table + "." : "") + "\"" + c.name + "\"";
        break;
      }
      case ExprKind::Param:
        e.as<Expr::Param>().index = params_++;
        s = "?";
        break;
      case ExprKind::Null: s = "NULL"; break;
      default: ADD_FAILURE() << "unexpected kind"; break;
    }
    if (power < min_power) return "(" + s + ")";
    return s;
  }

  std::string list(std::vector<ExprPtr>& v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + write(*v[i], 0, Context::Top);
    return out;
  }

  std::mt19937& rng_;
  std::size_t params_ = 0;
};

TEST(ParserRoundTripTest, RandomExpressionsParseBackToThemselves) {
  std::mt19937 rng(77);
  for (int i = 0; i < 3000; ++i) {
    ExprWriter w(rng);
    ExprPtr e = w.random_expr(1 + i % 6);
    const std::string sql = "SELECT " + w.write(*e);
    auto r = parse(sql);
    ASSERT_TRUE(r.ok()) << sql << "\n" << r.error().to_string();
    ASSERT_EQ(r->size(), 1u);
    const Expr& got = *(*r)[0].as<Statement::Select>().select.items[0].as<SelectItem::Expr>().expr;
    ASSERT_TRUE(eq(got, *e)) << sql << "\nwant " << show(*e) << "\ngot  " << show(got);
  }
}

}  // namespace
}  // namespace bkf::sql
