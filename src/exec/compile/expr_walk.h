// Iterative walks over expression trees.
//
// An expression may be arbitrarily deep along its Expr edges (a chain of
// 100,000 ORs is a left-deep spine of 100,000 Binary nodes), so nothing in
// the compiler walks an expression by recursion: these helpers keep an
// explicit stack. Subqueries are not entered (their SelectStmt is not an
// Expr child); callers that need them look at Expr::Subquery and
// Expr::InSelect nodes themselves.
#pragma once

#include <algorithm>
#include <vector>

#include "sql/ast.h"

namespace bkf::compile {

enum class Walk { Descend, Skip, Stop };

// Pre-order, children left to right. f(const Expr&) -> Walk. Returns false
// when f stopped the walk.
template <class F>
bool walk(const Expr& root, F&& f) {
  std::vector<const Expr*> stack;
  stack.push_back(&root);
  while (!stack.empty()) {
    const Expr* e = stack.back();
    stack.pop_back();
    Walk w = f(*e);
    if (w == Walk::Stop) return false;
    if (w == Walk::Skip) continue;
    std::size_t base = stack.size();
    e->for_each_child([&](const ExprPtr& c) { stack.push_back(c.get()); });
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(base), stack.end());
  }
  return true;
}

// Pre-order over the slots of a tree that may be rewritten in place.
// f(ExprPtr& slot) -> Walk may replace *slot; the walk then descends into
// the children of whatever the slot holds afterwards (unless told to skip).
template <class F>
bool walk_slots(ExprPtr& root, F&& f) {
  std::vector<ExprPtr*> stack;
  stack.push_back(&root);
  while (!stack.empty()) {
    ExprPtr* slot = stack.back();
    stack.pop_back();
    Walk w = f(*slot);
    if (w == Walk::Stop) return false;
    if (w == Walk::Skip || !*slot) continue;
    std::size_t base = stack.size();
    (*slot)->for_each_child([&](ExprPtr& c) { stack.push_back(&c); });
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(base), stack.end());
  }
  return true;
}

// Post-order over the slots of a tree: f(ExprPtr& slot) sees a node after
// all of its children (left to right) and may replace it.
template <class F>
void walk_slots_post(ExprPtr& root, F&& f) {
  struct Frame {
    ExprPtr* slot;
    bool expanded;
  };
  std::vector<Frame> stack{{&root, false}};
  while (!stack.empty()) {
    Frame fr = stack.back();
    stack.pop_back();
    if (fr.expanded) {
      f(*fr.slot);
      continue;
    }
    stack.push_back({fr.slot, true});
    std::size_t base = stack.size();
    (*fr.slot)->for_each_child([&](ExprPtr& c) { stack.push_back({&c, false}); });
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(base), stack.end());
  }
}

// True when some node satisfies pred (all nodes, subqueries not entered).
template <class P>
bool any_node(const Expr& root, P&& pred) {
  return !walk(root, [&](const Expr& e) { return pred(e) ? Walk::Stop : Walk::Descend; });
}

}  // namespace bkf::compile
