// Building index entries from a table's rows, shared by CREATE INDEX and
// reindex.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "base/result.h"
#include "btree/index.h"
#include "catalog/defs.h"
#include "pager/pager.h"

namespace bkf::catalog {

// Inserts into `index` one key per row of `table`, walking the rows in
// row-id order: the row's values at `positions` followed by its row id. A
// position past the end of a row stored before a column was added gives
// Null. The table's row-id alias column gives the row id, whatever the
// record holds in its place (the column's default, usually Null, when the
// row was inserted without it): reading the column always yields the row
// id, and the statements that write rows key it the same way
// (exec/compile/row_writes.h), so every path agrees on one key per row.
// For a UNIQUE index each row is first probed for an earlier row with equal
// values (catalog/unique_probe.h: SQL `=`, Null counting as equal to Null);
// a hit fails with the Constraint error `duplicate_message`. Errors of the cursor, the record
// decoder and the index tree ("index key too large ...") pass through.
Status fill_index(Pager& pager, const TableDef& table, std::span<const std::size_t> positions, bool unique,
                  IndexBTree& index, const std::string& duplicate_message);

// fill_index into a tree just created for it; when the fill fails, the
// tree's pages go back to the free list (as far as they can) before the
// fill's error is returned, so a transaction that goes on after the failure
// keeps no unused pages.
Status fill_or_free(Pager& pager, const TableDef& table, std::span<const std::size_t> positions, bool unique,
                    IndexBTree& index, const std::string& duplicate_message);

}  // namespace bkf::catalog
