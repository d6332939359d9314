// The conflict probe: a program that finds the rows an INSERT of one row
// would collide with, for the conflict policies REPLACE (which deletes
// them) and ON DUPLICATE KEY UPDATE (which updates the first).
//
// The probe is run once per row, with the row's values as its parameters
// ?0 .. ?n-1 in the order of the insert column list, and emits one row
// [row id] for every row a conflict key finds, in key order. Conflicts
// are found the way the constraints themselves find them, so the policy
// deletes or updates exactly the row the insert would have collided with:
//   - the conflict keys are the row-id alias, then every UNIQUE index (in
//     creation order) whose columns all appear in the insert column list;
//     an index or alias column not listed makes no key (an index holding
//     the alias finds nothing then anyway: the row gets a fresh row id);
//   - the key values get their columns' affinity first, as INSERT applies
//     it (the text '5' meets the integer 5 in an INTEGER column, while the
//     integer 0 never meets the text 'abc' in a TEXT column);
//   - the row-id alias finds the row under that row id when the value is
//     an integer; a UNIQUE index finds every row whose entry conflicts with
//     the values (its key begins with their key prefix and the row holds
//     equal values: catalog/unique_probe.h), in key order, so that the
//     first is the lowest row id; a NULL key value never conflicts.
// The same row may be found by several keys.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "catalog/catalog.h"
#include "exec/vm/program.h"

namespace bkf::compile {

struct ConflictProbe {
  vm::Program program;
  // The number of conflict keys; without any the probe finds nothing.
  std::size_t keys = 0;
};

// The probe of an insert into `table` (Exec "no such table: {}" when it is
// missing) of the columns named in `columns`, matched to the table's
// ignoring ASCII case. first_only: the probe stops at the first row found.
Result<ConflictProbe> compile_conflict_probe(std::string_view table, const std::vector<std::string>& columns,
                                             const Catalog& catalog, bool first_only);

}  // namespace bkf::compile
