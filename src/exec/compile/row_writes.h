// What INSERT, UPDATE and DELETE share to write a row: the indexes they keep
// in step with the table, key building, column affinity and NOT NULL guards.
//
// Every data change checks a row completely before writing any of it: NOT
// NULL guards, the row-id check, the UNIQUE probes and the key-size checks
// of every index come first, then the table write and the index writes. A
// failing row therefore leaves the table and its indexes consistent, which
// matters inside BEGIN, where a failed statement is not undone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "catalog/catalog.h"
#include "catalog/decl_type.h"
#include "exec/compile/gen.h"

namespace bkf::compile {

// One index of the target table.
struct IndexPlan {
  std::vector<std::uint32_t> columns;  // positions in the table, index order
  std::string label;                   // the index name, shown in UNIQUE errors
  std::uint32_t cursor = 0;            // index cursor
  bool unique = false;
  std::uint32_t unique_spec = 0;       // of a UNIQUE index: its Program::unique_specs entry
};

// Opens an index cursor on every index of `table` (creation order) that
// `wanted` accepts (all when empty) and returns their plans, with a UNIQUE
// spec (the index name, the table's rows) for each UNIQUE index. An index
// whose columns are not all in the table (only a damaged schema has one) is
// Corrupt.
Result<std::vector<IndexPlan>> open_index_plans(Gen& g, const Catalog& catalog, const TableDef& table,
                                                const std::vector<bool>& wanted_columns = {});

// Registers for building one index's key and the values its UNIQUE checks
// compare, allocated once and reused for every row of a statement.
struct IndexRegs {
  std::uint32_t key_cols = 0, key = 0, values = 0;
  std::uint32_t old_cols = 0, old_key = 0;  // the key a row had before an UPDATE
};
IndexRegs alloc_index_regs(Gen& g, const IndexPlan& ix);

// The index key of a row held in registers base + position (the row-id
// alias column taken from rowid_reg) and the row id, into regs.key.
std::uint32_t key_from_registers(Gen& g, const IndexPlan& ix, const IndexRegs& regs, std::uint32_t base,
                                 std::optional<std::size_t> alias, std::uint32_t rowid_reg);
// The indexed values of the same row, in index order, into the run at
// regs.values, which it returns.
std::uint32_t values_from_registers(Gen& g, const IndexPlan& ix, const IndexRegs& regs, std::uint32_t base,
                                    std::optional<std::size_t> alias, std::uint32_t rowid_reg);
// A UNIQUE index's check of those values (a UNIQUE instruction of op.h):
// IdxUniqueGuard, passing over the row in rowid_reg (a Null register for a
// new row).
void emit_unique_guard(Gen& g, const IndexPlan& ix, std::uint32_t values, std::uint32_t rowid_reg);
// The index key of the row table cursor `cur` stands on, into regs.old_key.
std::uint32_t key_from_cursor(Gen& g, const IndexPlan& ix, const IndexRegs& regs, std::optional<std::size_t> alias,
                              std::uint32_t cur, std::uint32_t rowid_reg);

// NotNullGuard for every NOT NULL column except the row-id alias whose
// `check` flag is set (all when `check` is empty), in column order.
void emit_not_null_guards(Gen& g, const TableDef& table, std::uint32_t base, const std::vector<bool>& check);

// Affinity on the registers of the flagged columns with a numeric type
// (catalog::value_affinity).
void emit_affinity(Gen& g, const TableDef& table, std::uint32_t base, const std::vector<bool>& which);

}  // namespace bkf::compile
