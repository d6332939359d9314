// The SQL parser's entry point.
//
// parse() turns the text of one request, which may hold several statements
// separated by semicolons, into syntax trees (sql/ast.h). It is a
// hand-written recursive-descent parser over the tokens of sql/token.h, with
// Pratt-style binding powers for expressions. It copies names and literals
// into the tree as written and looks nothing up in the catalog.
#pragma once

#include <string_view>
#include <vector>

#include "base/result.h"
#include "sql/ast.h"

namespace bkf::sql {

// How deeply parentheses, subqueries, CASE, function arguments and prefix
// operators may nest. Each level costs the parser a few stack frames; past
// this depth parsing fails with "expression nested too deeply" at the token
// where the next level would start, so no text can exhaust the stack. Long
// flat chains (a OR b OR c ..., 1+1+1 ...) are built by a loop and are not
// limited.
inline constexpr int kMaxNestingDepth = 256;

// Parses every statement of `text` in order. An empty text (or one of only
// semicolons, whitespace and comments) gives an empty list. The '?'
// placeholders are numbered 0, 1, 2, ... in text order across all the
// statements. Any fault, of the tokenizer or the grammar, is a Parse error
// naming the byte offset where it was found; statements parsed before it
// are discarded.
Result<std::vector<Statement>> parse(std::string_view text);

}  // namespace bkf::sql
