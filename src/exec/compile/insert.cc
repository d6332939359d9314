#include "exec/compile/compile_expr.h"
#include "exec/compile/dml.h"
#include "exec/compile/row_writes.h"

namespace bkf::compile {

namespace {

void load_default(Gen& g, const Column& c, std::uint32_t dest) {
  if (!c.default_value) {
    g.emit(Op::null(dest));
    return;
  }
  const Value& v = *c.default_value;
  switch (v.kind()) {
    case ValueKind::Null: g.emit(Op::null(dest)); break;
    case ValueKind::Int: g.emit(Op::integer(v.int_value(), dest)); break;
    case ValueKind::Real: g.emit(Op::real(v.real_value(), dest)); break;
    case ValueKind::Text: g.str(v.bytes(), dest); break;
    case ValueKind::Blob: g.blob(v.bytes(), dest); break;
  }
}

}  // namespace

Result<Program> compile_insert(std::string_view table_name, const std::optional<std::vector<std::string>>& columns,
                               const std::vector<ExprPtr>& values, std::size_t width, bool ignore,
                               const Catalog& catalog) {
  const TableDef* tp = catalog.get(table_name);
  if (!tp) return Error::exec("no such table: " + std::string(table_name));
  const TableDef& t = *tp;
  const std::size_t ncols = t.columns.size();

  Gen g;
  g.start();
  g.emit(Op::open_write(0, t.root));
  std::vector<IndexPlan> indexes = BKF_TRY(open_index_plans(g, catalog, t));

  std::vector<std::uint32_t> targets;
  if (columns) {
    for (const std::string& name : *columns) {
      std::optional<std::size_t> pos = t.column_index(name);
      if (!pos) return Error::exec("no such column: " + name);
      targets.push_back(static_cast<std::uint32_t>(*pos));
    }
  } else {
    for (std::size_t i = 0; i < ncols; ++i) targets.push_back(static_cast<std::uint32_t>(i));
  }
  if (width != targets.size()) {
    return Error::exec("table " + t.name + " expects " + std::to_string(targets.size()) + " values, got " +
                       std::to_string(width));
  }

  const std::uint32_t base = g.regs(static_cast<std::uint32_t>(ncols));
  const std::uint32_t record = g.reg();
  const std::uint32_t new_rowid = g.reg();
  std::vector<bool> is_target(ncols, false);
  for (std::uint32_t p : targets) is_target[p] = true;
  const bool alias_listed = t.rowid_alias && is_target[*t.rowid_alias];
  const std::uint32_t rowid = alias_listed ? base + static_cast<std::uint32_t>(*t.rowid_alias) : new_rowid;
  const std::string rowid_label = t.rowid_alias ? t.name + "." + t.columns[*t.rowid_alias].name : std::string();
  std::vector<IndexRegs> ixregs;
  for (const IndexPlan& ix : indexes) ixregs.push_back(alloc_index_regs(g, ix));
  const std::uint32_t int_check = g.reg();
  // An index-key build over no values: fails with "expected an integer"
  // when the row id is not an integer, before anything of the row is
  // written.
  auto check_rowid_is_int = [&]() { g.emit(Op::make_index_key(base, 0, rowid, int_check)); };

  const std::size_t rows = width == 0 ? 0 : values.size() / width;
  for (std::size_t row = 0; row < rows; ++row) {
    Label row_end;
    for (std::size_t i = 0; i < ncols; ++i) {
      if (!is_target[i]) load_default(g, t.columns[i], base + static_cast<std::uint32_t>(i));
    }
    for (std::size_t j = 0; j < width; ++j) {
      BKF_TRY(compile_into(g, *values[row * width + j], nullptr, base + targets[j]));
    }
    emit_affinity(g, t, base, {});
    emit_not_null_guards(g, t, base, {});

    if (alias_listed) {
      if (ignore) {
        row_end.add(g.emit(Op::rowid_exists_jump(0, rowid, 0)));
      } else {
        check_rowid_is_int();
        g.rowid_guard(0, rowid, rowid_label);
      }
    } else {
      g.emit(Op::new_rowid(0, new_rowid));
    }
    if (ignore) {
      for (std::size_t i = 0; i < indexes.size(); ++i) {
        const IndexPlan& ix = indexes[i];
        if (!ix.unique) continue;
        std::uint32_t values = values_from_registers(g, ix, ixregs[i], base, t.rowid_alias, rowid);
        row_end.add(g.emit(Op::idx_conflict_jump(ix.cursor, 0, values, static_cast<std::uint32_t>(ix.columns.size()),
                                                 ix.unique_spec)));
      }
      if (alias_listed) check_rowid_is_int();
    }
    std::vector<std::uint32_t> keys;
    for (std::size_t i = 0; i < indexes.size(); ++i) {
      const IndexPlan& ix = indexes[i];
      std::uint32_t key = key_from_registers(g, ix, ixregs[i], base, t.rowid_alias, rowid);
      if (ix.unique && !ignore) {
        emit_unique_guard(g, ix, values_from_registers(g, ix, ixregs[i], base, t.rowid_alias, rowid), g.k_null());
      }
      g.emit(Op::idx_key_guard(ix.cursor, key));
      keys.push_back(key);
    }
    g.emit(Op::make_record(base, static_cast<std::uint32_t>(ncols), record));
    g.emit(Op::insert(0, record, rowid));
    for (std::size_t i = 0; i < indexes.size(); ++i) g.emit(Op::idx_insert(indexes[i].cursor, keys[i]));
    row_end.resolve_here(g);
  }
  g.emit(Op::halt());
  g.program().ncursors = 1;
  return g.finish();
}

}  // namespace bkf::compile
