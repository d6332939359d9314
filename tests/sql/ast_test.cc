#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "sql/ast.h"
#include "sql/parser.h"
#include "tree_text.h"

namespace bkf {
namespace {

using testing::show;

ExprPtr col(const char* name, std::optional<std::string> table = std::nullopt) {
  return make_expr(Expr::Column{std::move(table), name});
}
ExprPtr real(double v) { return make_expr(Expr::Real{v}); }
ExprPtr bin(BinaryOp op, ExprPtr l, ExprPtr r) { return make_expr(Expr::Binary{op, std::move(l), std::move(r)}); }

SelectStmt parse_query(const char* text) {
  auto r = sql::parse(text);
  EXPECT_TRUE(r.ok()) << text;
  return std::move((*r)[0].as<Statement::Select>().select);
}

TEST(AstTest, EqualityOfReals) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(eq(*real(0.0), *real(-0.0)));
  EXPECT_TRUE(eq(*real(1.5), *real(1.5)));
  EXPECT_FALSE(eq(*real(1.5), *real(1.5000000000000002)));
  ExprPtr n = bin(BinaryOp::Add, col("a"), real(nan));
  EXPECT_FALSE(eq(*n, *n));
  EXPECT_FALSE(eq(*n, n->clone()));
  // Bit for bit, as the compiler matches expressions: a NaN equals itself,
  // the two zeros differ.
  EXPECT_TRUE(eq(*n, n->clone(), RealEq::Bits));
  EXPECT_FALSE(eq(*real(0.0), *real(-0.0), RealEq::Bits));
  EXPECT_FALSE(eq(*bin(BinaryOp::Add, col("a"), real(1.5)), *bin(BinaryOp::Add, col("b"), real(1.5)), RealEq::Bits));
  // An integer never equals a real of the same value: kinds differ.
  EXPECT_FALSE(eq(*make_expr(Expr::Integer{1}), *real(1.0)));
}

TEST(AstTest, EqualityOfNamesAndShapes) {
  EXPECT_FALSE(eq(*col("a"), *col("a", "t")));
  EXPECT_FALSE(eq(*col("a"), *col("A")));
  EXPECT_TRUE(eq(*col("a", "t"), *col("a", "t")));
  EXPECT_FALSE(eq(*bin(BinaryOp::Add, col("a"), col("b")), *bin(BinaryOp::Sub, col("a"), col("b"))));
  EXPECT_FALSE(eq(*bin(BinaryOp::Add, col("a"), col("b")), *bin(BinaryOp::Add, col("b"), col("a"))));
  // A present and an absent optional part differ.
  EXPECT_FALSE(eq(*make_expr(Expr::Aggregate{AggFunc::Count, false, nullptr}),
                  *make_expr(Expr::Aggregate{AggFunc::Count, false, col("a")})));
  EXPECT_TRUE(eq(ExprPtr(), ExprPtr()));
  EXPECT_FALSE(eq(ExprPtr(), col("a")));

  // Whole queries: every field takes part.
  const char* const queries[] = {
      "SELECT a FROM t",
      "SELECT DISTINCT a FROM t",
      "SELECT SQL_CALC_FOUND_ROWS a FROM t",
      "SELECT a AS x FROM t",
      "SELECT a FROM t AS x",
      "SELECT a FROM t LEFT JOIN u ON 1",
      "SELECT a FROM t JOIN u ON 1",
      "SELECT a FROM t WHERE a",
      "SELECT a FROM t GROUP BY a",
      "SELECT a FROM t HAVING a",
      "SELECT a FROM t ORDER BY a",
      "SELECT a FROM t ORDER BY a DESC",
      "SELECT a FROM t LIMIT 1",
      "SELECT a FROM t LIMIT 1 OFFSET 2",
      "SELECT a FROM t UNION SELECT a FROM t",
      "SELECT a FROM t UNION ALL SELECT a FROM t",
      "SELECT a FROM t WHERE a IN (SELECT b FROM u)",
      "SELECT a FROM t WHERE a IN (SELECT c FROM u)",
  };
  for (const char* x : queries) {
    for (const char* y : queries) {
      EXPECT_EQ(eq(parse_query(x), parse_query(y)), x == y) << x << " vs " << y;
    }
  }
}

TEST(AstTest, CloneSharesNothing) {
  SelectStmt q = parse_query(
      "SELECT CASE a WHEN 1 THEN 'x' ELSE 'y' END, count(DISTINCT b) FROM t LEFT JOIN u ON t.a = u.a "
      "WHERE c IN (SELECT d FROM v) UNION ALL SELECT 1, 2 FROM w ORDER BY 1 LIMIT 3");
  SelectStmt copy = q.clone();
  ASSERT_TRUE(eq(q, copy));
  const std::string before = show(q);
  // Change the copy everywhere; the source must not notice.
  copy.compound[0].select.from[0].table = "changed";
  copy.from[1].on->as<Expr::Binary>().left->as<Expr::Column>().name = "z";
  copy.items[0].as<SelectItem::Expr>().expr->as<Expr::Case>().whens[0].result = make_expr(Expr::Null{});
  copy.where->as<Expr::InSelect>().select->from[0].table = "other";
  copy.limit = nullptr;
  EXPECT_EQ(show(q), before);
  EXPECT_FALSE(eq(q, copy));
}

TEST(AstTest, CastTypeNames) {
  const std::pair<const char*, CastType> cases[] = {
      {"bigint", CastType::Integer}, {"UNSIGNED", CastType::Integer}, {"smallint", CastType::Integer},
      {"POINT", CastType::Integer},  {"VARCHAR", CastType::Text},     {"varbinary", CastType::Text},
      {"DATETIME", CastType::Text},  {"clob", CastType::Text},        {"DOUBLE", CastType::Real},
      {"DECIMAL", CastType::Real},   {"BLOB", CastType::Real},        {"STRING", CastType::Real},
      {"FLOAT", CastType::Real},     {"", CastType::Real},            {"tinytext", CastType::Text},
      {"CHARINT", CastType::Integer},
  };
  for (const auto& [name, want] : cases) EXPECT_EQ(cast_type_from_type_name(name), want) << name;
}

TEST(AstTest, RewritingInPlace) {
  // Replace a node by one of its own descendants, and a child by a literal,
  // as subquery folding and outer-reference substitution do.
  ExprPtr e = bin(BinaryOp::And, bin(BinaryOp::Eq, col("a"), col("b")), col("c"));
  *e = std::move(*e->as<Expr::Binary>().left);
  EXPECT_EQ(show(*e), "Eq(a, b)");
  e->as<Expr::Binary>().right = make_expr(Expr::Integer{7});
  EXPECT_EQ(show(*e), "Eq(a, 7)");

  // for_each_child visits children in field order and lets them be replaced.
  auto r = sql::parse("SELECT CASE x WHEN 1 THEN 2 WHEN 3 THEN 4 ELSE 5 END");
  ASSERT_TRUE(r.ok());
  Expr& cs = *(*r)[0].as<Statement::Select>().select.items[0].as<SelectItem::Expr>().expr;
  std::string order;
  cs.for_each_child([&](ExprPtr& child) {
    order += show(*child) + " ";
    child = make_expr(Expr::Null{});
  });
  EXPECT_EQ(order, "x 1 2 3 4 5 ");
  EXPECT_EQ(show(cs), "Case(NULL; NULL => NULL; NULL => NULL; else NULL)");
}

}  // namespace
}  // namespace bkf
