// A compact text form of syntax trees for test assertions, e.g.
//   SELECT Add(1, Mul(2, 3)) AS x FROM t LEFT JOIN u ON Eq(t.a, u.a) LIMIT 5
// Recursive; meant for the small trees tests build.
#pragma once

#include <string>

#include "sql/ast.h"

namespace bkf::testing {

std::string show(const Expr& e);
std::string show(const ExprPtr& e);  // "-" for an absent expression
std::string show(const SelectStmt& s);
std::string show(const Statement& s);

}  // namespace bkf::testing
