#include <functional>
#include <limits>

#include "exec/compile/compile_expr.h"
#include "exec/compile/dml.h"
#include "exec/compile/expr_util.h"
#include "exec/compile/row_writes.h"
#include "exec/compile/loops.h"

namespace bkf::compile {

namespace {

// The one-scope context of an UPDATE or DELETE: the table under its own
// name, read through table cursor 0.
Ctx table_ctx(const TableDef& t, const Catalog& catalog) {
  Ctx ctx;
  ctx.catalog = &catalog;
  ctx.scopes.push_back(TableScope{t.name, &t, 0});
  return ctx;
}

// DELETE without indexes whose WHERE is absent or one `rowid > N` /
// `rowid >= N` (either way round, N an integer literal): the first row id
// to remove, or none when the general path must run.
std::optional<std::int64_t> truncation_start(const Expr* where, const Ctx& ctx) {
  if (!where) return std::numeric_limits<std::int64_t>::min();
  const auto* b = where->get_if<Expr::Binary>();
  if (!b) return std::nullopt;
  auto is_rowid = [&](const Expr& e) {
    const auto* c = e.get_if<Expr::Column>();
    if (!c) return false;
    Result<Resolved> r = ctx.resolve(*c);
    return r && r->is_rowid();
  };
  const Expr* lit = nullptr;
  bool strict = false;
  if ((b->op == BinaryOp::Gt || b->op == BinaryOp::Ge) && is_rowid(*b->left)) {
    lit = b->right.get();
    strict = b->op == BinaryOp::Gt;
  } else if ((b->op == BinaryOp::Lt || b->op == BinaryOp::Le) && is_rowid(*b->right)) {
    lit = b->left.get();
    strict = b->op == BinaryOp::Lt;
  }
  if (!lit) return std::nullopt;
  const auto* n = lit->get_if<Expr::Integer>();
  if (!n) return std::nullopt;
  if (!strict) return n->value;
  if (n->value == std::numeric_limits<std::int64_t>::max()) return std::nullopt;
  return n->value + 1;
}

bool needs_two_passes(const LoopNest& nest, const TableDef& t, const Expr* where,
                      const std::vector<const Expr*>& set_values) {
  if (nest.levels[0].plan.kind == AccessPlan::Kind::Index) return true;
  if (where && expr_reads_table(*where, t.name)) return true;
  for (const Expr* v : set_values) {
    if (v && expr_reads_table(*v, t.name)) return true;
  }
  return false;
}

// Phase two of a two-pass statement: for every spooled row (row id first,
// then `extra` values), position cursor 0 on it and run apply().
Status replay_spool(Gen& g, std::uint32_t width, const std::function<Status(std::uint32_t)>& apply) {
  std::uint32_t blk = g.regs(width);
  std::uint32_t rewind = g.emit(Op::spool_rewind(0, blk, width));
  std::uint32_t top = g.here();
  std::uint32_t missing = g.emit(Op::seek_rowid(0, blk, 0));
  BKF_TRY(apply(blk));
  g.patch_here(missing);
  g.emit(Op::spool_next(top, blk, width));
  g.patch_here(rewind);
  return {};
}

}  // namespace

Result<Program> compile_update(std::string_view table_name, const std::vector<Assignment>& assignments,
                               const Expr* where, const Catalog& catalog) {
  const TableDef* tp = catalog.get(table_name);
  if (!tp) return Error::exec("no such table: " + std::string(table_name));
  const TableDef& t = *tp;
  const std::size_t ncols = t.columns.size();

  std::vector<const Expr*> value_of(ncols, nullptr);
  for (const Assignment& a : assignments) {
    std::optional<std::size_t> pos = t.column_index(a.column);
    if (!pos) return Error::exec("no such column: " + a.column);
    if (t.rowid_alias && *pos == *t.rowid_alias) return Error::exec("cannot update the row id column " + a.column);
    value_of[*pos] = a.value.get();
  }
  std::vector<bool> assigned(ncols, false);
  std::vector<std::uint32_t> assigned_cols;
  for (std::size_t i = 0; i < ncols; ++i) {
    if (value_of[i]) {
      assigned[i] = true;
      assigned_cols.push_back(static_cast<std::uint32_t>(i));
    }
  }

  Ctx ctx = table_ctx(t, catalog);
  Gen g;
  g.start();
  g.emit(Op::open_write(0, t.root));
  // Only indexes over an assigned column change their keys.
  std::vector<IndexPlan> indexes = BKF_TRY(open_index_plans(g, catalog, t, assigned));
  std::vector<IndexRegs> ixregs;
  for (const IndexPlan& ix : indexes) ixregs.push_back(alloc_index_regs(g, ix));
  const std::uint32_t base = g.regs(static_cast<std::uint32_t>(ncols));
  const std::uint32_t rid = g.reg();
  const std::uint32_t record = g.reg();
  std::vector<bool> needed(ncols, false);  // unassigned columns the new keys read
  for (const IndexPlan& ix : indexes) {
    for (std::uint32_t c : ix.columns) {
      if (!assigned[c] && !(t.rowid_alias && c == *t.rowid_alias)) needed[c] = true;
    }
  }
  std::vector<bool> kept(ncols);
  for (std::size_t i = 0; i < ncols; ++i) kept[i] = !assigned[i];

  // Rewrites the row cursor 0 stands on, whose id is in `rid`; load() puts
  // the assigned columns' new values into their registers. Everything that
  // can fail for a reason of the row (its values, NOT NULL, UNIQUE, key
  // size) and everything read from the old row (its keys, the record it is
  // spliced from) comes before the first write, so a failing row is left
  // untouched and a finished one is whole.
  auto rewrite_row = [&](const std::function<Status()>& load) -> Status {
    BKF_TRY(load());
    for (std::size_t i = 0; i < ncols; ++i) {
      if (needed[i]) g.emit(Op::column(0, static_cast<std::uint32_t>(i), base + static_cast<std::uint32_t>(i)));
    }
    emit_affinity(g, t, base, assigned);
    emit_not_null_guards(g, t, base, assigned);
    for (std::size_t i = 0; i < indexes.size(); ++i) {
      const IndexPlan& ix = indexes[i];
      std::uint32_t key = key_from_registers(g, ix, ixregs[i], base, t.rowid_alias, rid);
      if (ix.unique) {
        emit_unique_guard(g, ix, values_from_registers(g, ix, ixregs[i], base, t.rowid_alias, rid), rid);
      }
      g.emit(Op::idx_key_guard(ix.cursor, key));
    }
    for (std::size_t i = 0; i < indexes.size(); ++i) key_from_cursor(g, indexes[i], ixregs[i], t.rowid_alias, 0, rid);
    g.make_updated_record(0, base, kept, record);
    for (std::size_t i = 0; i < indexes.size(); ++i) {
      g.emit(Op::idx_delete(indexes[i].cursor, ixregs[i].old_key));
      g.emit(Op::idx_insert(indexes[i].cursor, ixregs[i].key));
    }
    g.emit(Op::update_current(0, record));
    return {};
  };

  LoopNest nest(g, ctx, catalog);
  nest.plan(where, nullptr);
  if (!needs_two_passes(nest, t, where, value_of)) {
    BKF_TRY(nest.emit([&]() -> Status {
      g.emit(Op::rowid(0, rid));
      return rewrite_row([&]() -> Status {
        ExprCompiler ec(g, &ctx);
        for (std::uint32_t c : assigned_cols) BKF_TRY(ec.compile_into(*value_of[c], base + c));
        return {};
      });
    }));
  } else {
    const std::uint32_t width = 1 + static_cast<std::uint32_t>(assigned_cols.size());
    const std::uint32_t blk = g.regs(width);
    BKF_TRY(nest.emit([&]() -> Status {
      g.emit(Op::rowid(0, blk));
      ExprCompiler ec(g, &ctx);
      for (std::size_t j = 0; j < assigned_cols.size(); ++j) {
        BKF_TRY(ec.compile_into(*value_of[assigned_cols[j]], blk + 1 + static_cast<std::uint32_t>(j)));
      }
      g.emit(Op::spool_row(blk, width));
      return {};
    }));
    BKF_TRY(replay_spool(g, width, [&](std::uint32_t row) -> Status {
      g.emit(Op::copy(row, rid));
      return rewrite_row([&]() -> Status {
        for (std::size_t j = 0; j < assigned_cols.size(); ++j) {
          g.emit(Op::copy(row + 1 + static_cast<std::uint32_t>(j), base + assigned_cols[j]));
        }
        return {};
      });
    }));
  }
  g.emit(Op::apply_deferred(0));
  g.emit(Op::halt());
  g.program().ncursors = 1;
  return g.finish();
}

Result<Program> compile_delete(std::string_view table_name, const Expr* where, const Catalog& catalog) {
  const TableDef* tp = catalog.get(table_name);
  if (!tp) return Error::exec("no such table: " + std::string(table_name));
  const TableDef& t = *tp;
  Ctx ctx = table_ctx(t, catalog);
  Gen g;
  g.start();
  g.emit(Op::open_write(0, t.root));

  if (catalog.indexes_for(t.name).empty()) {
    if (std::optional<std::int64_t> start = truncation_start(where, ctx)) {
      std::uint32_t r = g.reg();
      g.emit(Op::integer(*start, r));
      g.emit(Op::truncate_from(0, r));
      g.emit(Op::halt());
      g.program().ncursors = 1;
      return g.finish();
    }
  }

  std::vector<IndexPlan> indexes = BKF_TRY(open_index_plans(g, catalog, t));
  std::vector<IndexRegs> ixregs;
  for (const IndexPlan& ix : indexes) ixregs.push_back(alloc_index_regs(g, ix));
  const std::uint32_t rid = g.reg();
  auto delete_row = [&]() {
    for (std::size_t i = 0; i < indexes.size(); ++i) {
      std::uint32_t key = key_from_cursor(g, indexes[i], ixregs[i], t.rowid_alias, 0, rid);
      g.emit(Op::idx_delete(indexes[i].cursor, key));
    }
    g.emit(Op::delete_current(0));
  };

  LoopNest nest(g, ctx, catalog);
  nest.plan(where, nullptr);
  if (!needs_two_passes(nest, t, where, {})) {
    BKF_TRY(nest.emit([&]() -> Status {
      g.emit(Op::rowid(0, rid));
      delete_row();
      return {};
    }));
  } else {
    const std::uint32_t blk = g.reg();
    BKF_TRY(nest.emit([&]() -> Status {
      g.emit(Op::rowid(0, blk));
      g.emit(Op::spool_row(blk, 1));
      return {};
    }));
    BKF_TRY(replay_spool(g, 1, [&](std::uint32_t row) -> Status {
      g.emit(Op::copy(row, rid));
      delete_row();
      return {};
    }));
  }
  g.emit(Op::halt());
  g.program().ncursors = 1;
  return g.finish();
}

}  // namespace bkf::compile
