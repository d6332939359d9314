// The steps applied to a query's rows after its program ran.
//
// A query program emits its rows in the order its loops meet them and
// carries ORDER BY, DISTINCT, OFFSET and LIMIT only as settings; each row
// holds the ORDER BY key values as trailing columns after the `visible`
// ones. apply_post_run carries the settings out, always in this order:
//   1. a stable sort on the trailing keys (cmp_sort_value order: a total
//      order, NaNs after every number, integers and reals by exact value;
//      the first key that differs decides, DESC keys reversed), through the
//      records layer's sort_rows;
//   2. every row cut back to `visible` columns;
//   3. DISTINCT: a row stays only when no earlier row has the same record
//      bytes (so Int 1 and Real 1.0 are different rows, two all-Null rows
//      are the same);
//   4. OFFSET (negative counts as 0), then LIMIT (negative keeps nothing).
// It returns the number of rows after step 3, the found-rows count.
//
// The database engine calls it on every query result, and the register
// machine on the rows of a correlated subquery before taking its value, so
// that both see the same rows.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "exec/vm/program.h"
#include "record/sort.h"
#include "record/value.h"

namespace bkf::vm {

struct PostRun {
  std::vector<SortKey> sort_keys;  // row positions with their directions
  std::optional<std::size_t> visible;  // cut rows to this many columns (none: keep rows whole)
  bool distinct = false;
  std::optional<std::int64_t> offset;
  std::optional<std::int64_t> limit;

  // The settings a program records: key i at position visible + i.
  static PostRun of(const Program& program);
};

// Applies the steps above to rows in place; returns the found-rows count.
// Without DISTINCT, when LIMIT is set, only the rows the cut keeps are
// sorted (the same rows in the same order as sorting every row gives).
std::uint64_t apply_post_run(std::vector<Row>& rows, const PostRun& settings);

// OFFSET + LIMIT (each negative counted as 0, saturated): how many rows from
// the front the cut can keep; none without LIMIT.
std::optional<std::uint64_t> rows_kept(const PostRun& settings);

}  // namespace bkf::vm
