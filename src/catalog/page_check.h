// The page half of the integrity check: every page of the file is used
// exactly once, by the header (page 1), the free list (trunks and leaves),
// the schema tree, or one table or index tree (node pages and overflow
// pages), and every row of the schema and of each table reads whole and
// decodes.
//
// The walk reads the free list, then the schema tree, the tables and the
// indexes in ascending schema key order (each tree with walk_tree_pages).
// Messages, in that order, then the unused pages in ascending order:
//   "free list: {error}"                          a damaged free list
//   "free list: the header counts {} pages but the list holds {}"
//   "{owner}: page {}: {error}"                   a damaged node page
//   "{owner}: row {}: {error}"                    a row that does not read
//                                                 whole or does not decode
//   "page {} is used twice: by {owner} and by {owner}"
//   "page {} is used twice by {owner}"            within one tree
//   "page {} is used by nothing" / "pages {}-{} are used by nothing"
// where {owner} is "the header", "the free list", "the schema", "table {}"
// or "index {}", and {error} the display text of the damage found. Pages
// left behind by dropped or rebuilt trees in files written before drops
// gave them back show up as used by nothing: the file reads as before,
// only the check names them.
#pragma once

#include <string>
#include <vector>

#include "btree/page_set.h"
#include "catalog/schema_state.h"
#include "pager/pager.h"
#include "base/result.h"

namespace bkf::catalog {

struct PageCheck {
  std::vector<std::string> messages;
  // Roots of the trees in which the walk met damage or a page used twice:
  // comparing such a tree's rows would only fail on the same damage.
  PageIdSet unsound_roots;
};

// Reads only, under the caller's read lock or write transaction. Damage is
// reported in messages; errors that are not damage (I/O) are returned.
Result<PageCheck> check_pages(Pager& pager, const SchemaState& state);

}  // namespace bkf::catalog
