// Inputs built to exhaust the stack or memory: each must give a result or a
// Parse error, never a crash, and every tree must copy, compare and destroy
// safely however deep it is. Meant to run under AddressSanitizer too.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql/parser.h"

namespace bkf::sql {
namespace {

constexpr int kNesting = 100000;
#ifdef BKF_SANITIZED
constexpr int kDeepTree = 300000;
#else
constexpr int kDeepTree = 1000000;
#endif

std::string repeat(std::string_view s, int n) {
  std::string out;
  out.reserve(s.size() * static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// Nodes and height of an expression tree, walked with an explicit stack.
std::pair<std::size_t, std::size_t> size_and_height(const Expr& root) {
  std::size_t nodes = 0, height = 0;
  std::vector<std::pair<const Expr*, std::size_t>> stack{{&root, 1}};
  while (!stack.empty()) {
    auto [e, d] = stack.back();
    stack.pop_back();
    ++nodes;
    height = std::max(height, d);
    e->for_each_child([&, d = d](const ExprPtr& c) { stack.emplace_back(c.get(), d + 1); });
  }
  return {nodes, height};
}

TEST(ParserLimitsTest, DeepNestingIsAParseError) {
  const std::pair<std::string, std::string> shapes[] = {
      {"(", ")"}, {"NOT ", ""}, {"- ", ""}, {"(SELECT ", ")"}, {"f(", ")"}, {"count(", ")"}, {"CAST(", " AS INT)"},
      {"CASE WHEN ", " THEN 1 END"}, {"CASE ", " WHEN 1 THEN 1 END"}, {"a IN (", ")"}, {"a IN (SELECT ", ")"},
      {"1 + (", ")"}, {"1 = NOT ", ""}, {"VALUES(", ")"},
  };
  for (const auto& [open, close] : shapes) {
    const std::string text = "SELECT " + repeat(open, kNesting) + "1" + repeat(close, kNesting);
    auto r = parse(text);
    ASSERT_FALSE(r.ok()) << open;
    EXPECT_EQ(r.error().message(), "expression nested too deeply") << open;
    EXPECT_LT(r.error().pos(), 7 + open.size() * (kNesting / 100)) << open;  // found early, not at the end
  }
  auto r = parse("INSERT INTO t VALUES (" + repeat("(", kNesting) + "1" + repeat(")", kNesting + 1));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "expression nested too deeply");
}

TEST(ParserLimitsTest, ReasonableNestingParses) {
  const int depth = kMaxNestingDepth - 10;
  for (const auto& [open, close] : {std::pair<std::string, std::string>{"(", ")"}, {"NOT ", ""}, {"f(", ")"}}) {
    const std::string text = "SELECT " + repeat(open, depth) + "1" + repeat(close, depth);
    auto r = parse(text);
    ASSERT_TRUE(r.ok()) << open << ": " << r.error().to_string();
    const Expr& e = *(*r)[0].as<Statement::Select>().select.items[0].as<SelectItem::Expr>().expr;
    EXPECT_EQ(size_and_height(e).second, open == "(" ? 1u : static_cast<std::size_t>(depth + 1));
  }
}

TEST(ParserLimitsTest, LongChainsParseCopyCompareAndDestroy) {
  // 200,000 terms joined by OR, and 200,000 terms added: left-deep spines.
  std::string ors = "SELECT 1 FROM t WHERE a = 0";
  std::string sums = "SELECT 1";
  for (int i = 1; i < 200000; ++i) {
    ors += " OR a = " + std::to_string(i);
    sums += " + 1";
  }
  for (const std::string* text : {&ors, &sums}) {
    auto r = parse(*text);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    const SelectStmt& q = (*r)[0].as<Statement::Select>().select;
    const Expr& e = q.where ? *q.where : *q.items[0].as<SelectItem::Expr>().expr;
    auto [nodes, height] = size_and_height(e);
    EXPECT_EQ(height, q.where ? 200001u : 200000u);
    EXPECT_EQ(nodes, q.where ? 799999u : 399999u);
    Statement copy = (*r)[0].clone();
    EXPECT_TRUE(eq((*r)[0], copy));
  }
}

TEST(ParserLimitsTest, HugeInsert) {
  // About 30 MB of rows in one INSERT.
  const std::string row = "(123456, 'some text', 2.5, NULL, -7, x'00ff'),";
  const int rows = 30 * 1024 * 1024 / static_cast<int>(row.size());
  std::string text = "INSERT INTO t (a, b, c, d, e, f) VALUES ";
  text.reserve(text.size() + row.size() * static_cast<std::size_t>(rows));
  for (int i = 0; i < rows; ++i) text += row;
  text.back() = ';';
  auto r = parse(text);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  const auto& v = (*r)[0].as<Statement::Insert>().source.as<InsertSource::Values>();
  EXPECT_EQ(v.width, 6u);
  EXPECT_EQ(v.values.size(), 6u * static_cast<std::size_t>(rows));
  EXPECT_EQ(v.values.back()->as<Expr::Blob>().bytes, std::string("\x00\xff", 2));

  // The same text with one short row at the end fails there.
  text.back() = ',';
  text += "(1)";
  auto bad = parse(text);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "all VALUES rows must have 6 columns, got 1");
  EXPECT_EQ(bad.error().pos(), text.size());
}

// Trees deeper than any parser output, along every kind of Expr edge, as
// later layers' rewriting could build them.
ExprPtr deep_tree(int shape, int n) {
  ExprPtr e = make_expr(Expr::Integer{0});
  for (int i = 1; i < n; ++i) {
    ExprPtr leaf = make_expr(Expr::Integer{i});
    switch (shape) {
      case 0: e = make_expr(Expr::Binary{BinaryOp::Or, std::move(e), std::move(leaf)}); break;
      case 1: e = make_expr(Expr::Binary{BinaryOp::Add, std::move(leaf), std::move(e)}); break;
      case 2: e = make_expr(Expr::Unary{UnaryOp::Not, std::move(e)}); break;
      case 3: {
        std::vector<ExprPtr> args;
        args.push_back(std::move(leaf));
        args.push_back(std::move(e));
        e = make_expr(Expr::Function{"F", std::move(args)});
        break;
      }
      case 4: {
        Expr::Case c;
        c.whens.push_back(WhenClause{std::move(leaf), make_expr(Expr::Null{})});
        c.else_expr = std::move(e);
        e = make_expr(std::move(c));
        break;
      }
      default: {
        std::vector<ExprPtr> list;
        list.push_back(std::move(e));
        e = make_expr(Expr::InList{i % 2 == 0, std::move(leaf), std::move(list)});
        break;
      }
    }
  }
  return e;
}

TEST(ParserLimitsTest, DeepTreesCopyCompareAndDestroy) {
  for (int shape = 0; shape < 6; ++shape) {
    ExprPtr e = deep_tree(shape, kDeepTree);
    EXPECT_EQ(size_and_height(*e).second, static_cast<std::size_t>(kDeepTree)) << shape;
    Expr copy = e->clone();
    EXPECT_TRUE(eq(*e, copy)) << shape;
    // Change the deepest leaf of the copy: equality must look all the way down.
    Expr* x = &copy;
    for (;;) {
      Expr* next = nullptr;
      x->for_each_child([&](ExprPtr& c) {
        if (c->kind() != ExprKind::Integer && c->kind() != ExprKind::Null) next = c.get();
      });
      if (!next) break;
      x = next;
    }
    x->for_each_child([](ExprPtr& c) {
      if (c->kind() == ExprKind::Integer && c->as<Expr::Integer>().value == 0) c = make_expr(Expr::Integer{-1});
    });
    EXPECT_FALSE(eq(*e, copy)) << shape;
    // Replace the whole tree by a node deep inside it.
    Expr* mid = e.get();
    for (int i = 0; i < kDeepTree / 2; ++i) {
      Expr* next = nullptr;
      mid->for_each_child([&](ExprPtr& c) {
        if (!next && c->kind() != ExprKind::Integer && c->kind() != ExprKind::Null) next = c.get();
      });
      if (!next) break;
      mid = next;
    }
    *e = std::move(*mid);
    EXPECT_LE(size_and_height(*e).second, static_cast<std::size_t>(kDeepTree / 2 + 2)) << shape;
  }
}

}  // namespace
}  // namespace bkf::sql
