#include "exec/compile/row_writes.h"

namespace bkf::compile {

Result<std::vector<IndexPlan>> open_index_plans(Gen& g, const Catalog& catalog, const TableDef& table,
                                                const std::vector<bool>& wanted_columns) {
  std::vector<IndexPlan> plans;
  for (const IndexDef* ix : catalog.indexes_for(table.name)) {
    if (ix->column_positions.size() != ix->columns.size() || ix->column_positions.empty()) {
      return Error::corrupt("index " + ix->name + " names a column its table does not have");
    }
    if (!wanted_columns.empty()) {
      bool touched = false;
      for (std::size_t p : ix->column_positions) touched = touched || (p < wanted_columns.size() && wanted_columns[p]);
      if (!touched) continue;
    }
    IndexPlan plan;
    for (std::size_t p : ix->column_positions) plan.columns.push_back(static_cast<std::uint32_t>(p));
    plan.label = ix->name;
    plan.cursor = g.index_cursor();
    plan.unique = ix->unique;
    if (ix->unique) plan.unique_spec = g.unique_spec(ix->name, {table.root, ix->column_positions, table.rowid_alias});
    g.emit(Op::open_index(plan.cursor, ix->root));
    plans.push_back(std::move(plan));
  }
  return plans;
}

IndexRegs alloc_index_regs(Gen& g, const IndexPlan& ix) {
  const std::uint32_t n = static_cast<std::uint32_t>(ix.columns.size());
  IndexRegs r;
  r.key_cols = g.regs(n);
  r.key = g.reg();
  r.values = g.regs(n);
  r.old_cols = g.regs(n);
  r.old_key = g.reg();
  return r;
}

namespace {

void copy_columns(Gen& g, const IndexPlan& ix, std::uint32_t dest, std::uint32_t base,
                  std::optional<std::size_t> alias, std::uint32_t rowid_reg) {
  const std::uint32_t n = static_cast<std::uint32_t>(ix.columns.size());
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint32_t src = alias && ix.columns[i] == *alias ? rowid_reg : base + ix.columns[i];
    g.emit(Op::copy(src, dest + i));
  }
}

}  // namespace

std::uint32_t key_from_registers(Gen& g, const IndexPlan& ix, const IndexRegs& regs, std::uint32_t base,
                                 std::optional<std::size_t> alias, std::uint32_t rowid_reg) {
  copy_columns(g, ix, regs.key_cols, base, alias, rowid_reg);
  g.emit(Op::make_index_key(regs.key_cols, static_cast<std::uint32_t>(ix.columns.size()), rowid_reg, regs.key));
  return regs.key;
}

std::uint32_t values_from_registers(Gen& g, const IndexPlan& ix, const IndexRegs& regs, std::uint32_t base,
                                    std::optional<std::size_t> alias, std::uint32_t rowid_reg) {
  copy_columns(g, ix, regs.values, base, alias, rowid_reg);
  return regs.values;
}

void emit_unique_guard(Gen& g, const IndexPlan& ix, std::uint32_t values, std::uint32_t rowid_reg) {
  g.emit(Op::idx_unique_guard(ix.cursor, rowid_reg, values, static_cast<std::uint32_t>(ix.columns.size()),
                              ix.unique_spec));
}

std::uint32_t key_from_cursor(Gen& g, const IndexPlan& ix, const IndexRegs& regs, std::optional<std::size_t> alias,
                              std::uint32_t cur, std::uint32_t rowid_reg) {
  const std::uint32_t n = static_cast<std::uint32_t>(ix.columns.size());
  for (std::uint32_t i = 0; i < n; ++i) {
    if (alias && ix.columns[i] == *alias) g.emit(Op::rowid(cur, regs.old_cols + i));
    else g.emit(Op::column(cur, ix.columns[i], regs.old_cols + i));
  }
  g.emit(Op::make_index_key(regs.old_cols, n, rowid_reg, regs.old_key));
  return regs.old_key;
}

void emit_not_null_guards(Gen& g, const TableDef& table, std::uint32_t base, const std::vector<bool>& check) {
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    const Column& c = table.columns[i];
    if (!c.not_null || (table.rowid_alias && *table.rowid_alias == i)) continue;
    if (!check.empty() && !(i < check.size() && check[i])) continue;
    g.not_null_guard(base + static_cast<std::uint32_t>(i), c.name);
  }
}

void emit_affinity(Gen& g, const TableDef& table, std::uint32_t base, const std::vector<bool>& which) {
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (!which.empty() && !(i < which.size() && which[i])) continue;
    catalog::Affinity a = catalog::value_affinity(table.columns[i].decl_type);
    if (a == catalog::Affinity::None) continue;
    g.emit(Op::affinity(base + static_cast<std::uint32_t>(i), a == catalog::Affinity::Real));
  }
}

}  // namespace bkf::compile
