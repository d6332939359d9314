// De-duplication of result rows for DISTINCT and UNION.
//
// Two rows are duplicates exactly when their records would be equal bytes:
// same number of values, and value by value the same kind and the same
// payload, reals compared bit for bit. So the integer 1 and the real 1.0 are
// different rows, so are 0.0 and -0.0, and two all-NULL rows are the same.
// The rows are compared as values, without encoding a record per row: each
// row is hashed once and kept rows are found through an OpenTable
// (base/open_table.h) of row positions, so the work is linear in the number
// of rows and nothing is allocated per row.
#pragma once

#include <vector>

#include "record/sort.h"

namespace bkf::engine {

// Removes every row that duplicates an earlier one; the rows that stay keep
// their order.
void dedup_rows(std::vector<Row>& rows);

}  // namespace bkf::engine
