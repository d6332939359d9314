// Access paths: how one level of a query's loops (one FROM entry) finds its
// rows.
//
// A level gets its path from the comparisons that constrain it (the level's
// ON conjuncts and, for the first level and for inner-joined levels, the
// top-level WHERE conjuncts):
//   - Scan: the whole table in row-id order;
//   - Rowid: a row-id point or range (row id = k, or bounds by <, <=, >, >=);
//   - Index: an index whose leading columns are bound by = and whose next
//     column may carry a range.
// A comparison of the row-id alias column is one of the row id (the name
// resolves to it, scope.h): it never binds an index column. An index led by
// the alias is therefore never chosen, the row-id path serving those
// comparisons better, and an index holding the alias further on is probed
// only through its columns before it: the probe finds the same entries
// whatever the alias place of a key holds.
// A key (the other side of such a comparison) must be computable before the
// level is positioned: a constant, a `?` or sub-program parameter, or an
// expression over earlier levels. Keys are evaluated at run time, so a
// prepared `WHERE id = ?` seeks. The path only narrows the rows visited: the
// conditions are still tested on every row (loops.h).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "catalog/catalog.h"
#include "exec/compile/scope.h"
#include "sql/ast.h"

namespace bkf::compile {

enum class CmpOp : std::uint8_t { Eq, Lt, Le, Gt, Ge };

// One comparison `column op key` that can drive an access path.
struct KeyBound {
  CmpOp op = CmpOp::Eq;
  const Expr* key = nullptr;
  const Expr* source = nullptr;  // the conjunct it came from
};

struct AccessPlan {
  enum class Kind : std::uint8_t { Scan, Rowid, Index };
  Kind kind = Kind::Scan;
  // Rowid: an equality, or a lower and/or upper bound.
  // Index: `eq` binds the leading index columns (in index order); lower and
  // upper bound the next column.
  std::optional<KeyBound> rowid_eq;
  std::vector<KeyBound> eq;
  std::optional<KeyBound> lower, upper;
  const IndexDef* index = nullptr;
};

// Chooses the access path of `level` from the candidate conditions (top-level
// conjuncts). Preference: row-id equality; the index with the most leading
// columns bound by = (an earlier index wins ties), with a range on its next
// column if one is there; the first index with a range on its first column;
// a row-id range; a scan.
AccessPlan plan_access(const Ctx& ctx, std::uint32_t level, const std::vector<const Expr*>& conds,
                       const Catalog& catalog);

}  // namespace bkf::compile
