// INSERT ... SELECT, REPLACE and INSERT ... ON DUPLICATE KEY UPDATE.
//
// These run row by row inside the statement's one write transaction. The
// source rows are computed first (a SELECT from the target table sees only
// the rows that were there before), then every row goes through a row
// inserter compiled once: an INSERT of the insert column list whose values
// are the parameters ?0 .. ?n-1.
//
// The rows an insert would collide with are found by the conflict probe
// (exec/compile/conflict_probe.h), a program compiled once per statement
// and run for every row, which finds them the way the constraints
// themselves do; REPLACE deletes and ON DUPLICATE KEY UPDATE updates them
// by their row id, through programs compiled once per statement from
// syntax trees, so table and column names need no quoting, whatever they
// are.

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "exec/compile/compiler.h"
#include "exec/engine/engine.h"

namespace bkf::engine {

namespace {

// The first entry of names equal to name ignoring ASCII case.
std::optional<std::size_t> find_name(const std::vector<std::string>& names, std::string_view name) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (ascii_iequal(names[i], name)) return i;
  }
  return std::nullopt;
}

// A copy of an ON DUPLICATE KEY UPDATE expression for the compiled UPDATE:
// VALUES(c) becomes ?i, i the position of c in the insert column list (NULL
// when c is not listed or the argument is not a plain column), anywhere in
// the expression; a `?` of the statement's text reads NULL.
ExprPtr subst_values_refs(const Expr& e, const std::vector<std::string>& cols) {
  ExprPtr root = std::make_unique<Expr>(e.clone());
  std::vector<ExprPtr*> stack{&root};
  while (!stack.empty()) {
    ExprPtr* slot = stack.back();
    stack.pop_back();
    Expr& n = **slot;
    if (n.is<Expr::Param>()) {
      *slot = make_expr(Expr::Null{});
      continue;
    }
    if (auto* f = n.get_if<Expr::Function>();
        f && f->args.size() == 1 && ascii_iequal(f->name, "VALUES")) {
      std::optional<std::size_t> pos;
      if (auto* c = f->args[0]->get_if<Expr::Column>()) pos = find_name(cols, c->name);
      *slot = pos ? make_expr(Expr::Param{*pos}) : make_expr(Expr::Null{});
      continue;
    }
    n.for_each_child([&](ExprPtr& c) { stack.push_back(&c); });
  }
  return root;
}

ExprPtr rowid_equals_param(std::size_t index) {
  return make_expr(Expr::Binary{BinaryOp::Eq, make_expr(Expr::Column{std::nullopt, "rowid"}),
                                make_expr(Expr::Param{index})});
}

}  // namespace

Result<std::uint64_t> Engine::run_insert_policy(Statement::Insert& ins) {
  const TableDef* table = catalog_->get(ins.table);
  if (!table) return Error::exec("no such table: " + ins.table);

  std::vector<std::string> cols;
  if (ins.columns) {
    cols = *ins.columns;
  } else {
    cols.reserve(table->columns.size());
    for (const Column& c : table->columns) cols.push_back(c.name);
  }
  table = nullptr;  // catalog views are not kept across the work below

  // The source rows, all of them before the first write.
  std::vector<Row> rows;
  if (auto* sel = ins.source.get_if<InsertSource::Select>()) {
    rows = BKF_TRY(run_select_rows(sel->select, false)).rows;
  } else {
    const auto& v = ins.source.as<InsertSource::Values>();
    const std::size_t width = v.width == 0 ? 1 : v.width;
    rows.reserve(v.values.size() / width + 1);
    for (std::size_t i = 0; i < v.values.size(); ++i) {
      if (i % width == 0) rows.emplace_back().reserve(width);
      rows.back().push_back(BKF_TRY(eval_const_expr(*v.values[i])));
    }
  }
  for (const Row& r : rows) {
    if (r.size() != cols.size()) {
      return Error::exec("INSERT into " + ins.table + " expects " + std::to_string(cols.size()) + " values, got " +
                         std::to_string(r.size()));
    }
  }

  // The row inserter: INSERT [IGNORE] INTO table (cols) VALUES (?0, ..., ?n-1).
  const bool ignore = ins.on_conflict.is<OnConflict::Ignore>();
  Program inserter;
  {
    InsertSource::Values values;
    values.width = cols.size();
    values.values.reserve(cols.size());
    for (std::size_t i = 0; i < cols.size(); ++i) values.values.push_back(make_expr(Expr::Param{i}));
    Statement::Insert gen;
    gen.table = ins.table;
    gen.columns = cols;
    gen.source = InsertSource(std::move(values));
    gen.on_conflict = ignore ? OnConflict(OnConflict::Ignore{}) : OnConflict(OnConflict::Plain{});
    inserter = BKF_TRY(compile_statement(Statement(std::move(gen))));
  }

  // The conflict probe, kept with its machine for every row: one row [row
  // id] per conflict key that finds a row, in key order.
  const bool replace = ins.on_conflict.is<OnConflict::Replace>();
  std::optional<compile::ConflictProbe> probe;
  std::optional<vm::Vm> probe_vm;
  if (replace || ins.on_conflict.is<OnConflict::Update>()) {
    probe = BKF_TRY(compile::compile_conflict_probe(ins.table, cols, *catalog_, !replace));
    probe_vm.emplace(*pager_, std::span<const Value>());
  }
  auto conflicts = [&](const Row& row) -> Result<const std::vector<Row>*> {
    probe_vm->rearm(row);
    Status st = probe_vm->run(probe->program);
    probe_vm->release_pages();
    BKF_TRY(std::move(st));
    return &probe_vm->rows();
  };

  std::uint64_t total = 0;

  if (replace) {
    // Every conflicting row goes, then the row is inserted; each source row
    // counts 1, deleted rows are not counted. The row is first checked as
    // if the conflicting rows were gone, so that a row the insert would
    // refuse anyway (NOT NULL, another UNIQUE index, ...) deletes nothing:
    // each source row takes effect whole or not at all, which matters
    // inside BEGIN, where a failed statement keeps its earlier rows.
    std::optional<Program> remove;
    if (probe->keys != 0) {
      Statement::Delete del;
      del.table = ins.table;
      del.where = rowid_equals_param(0);
      remove = BKF_TRY(compile_statement(Statement(std::move(del))));
    }
    std::vector<std::int64_t> gone;
    vm::Vm check(*pager_, {});
    for (const Row& row : rows) {
      gone.clear();
      for (const Row& hit : *BKF_TRY(conflicts(row))) {
        const std::int64_t id = hit[0].int_value();
        if (std::find(gone.begin(), gone.end(), id) == gone.end()) gone.push_back(id);
      }
      if (!gone.empty()) {
        check.rearm(row);
        check.check_only(gone);
        Status checked = check.run(inserter);
        check.release_pages();
        BKF_TRY(std::move(checked));
      }
      for (std::int64_t id : gone) {
        const Value bind = Value::integer(id);
        BKF_TRY(run_program_dml(*remove, std::span<const Value>(&bind, 1), false));
      }
      BKF_TRY(run_program_dml(inserter, row, true));
      ++total;
    }
    return total;
  }

  if (auto* odku = ins.on_conflict.get_if<OnConflict::Update>()) {
    // The first key that finds a duplicate decides; the duplicate is
    // updated by its row id (bound after the row's values). The UPDATE is
    // compiled at the first duplicate, so that a faulty assignment list
    // fails only when it is needed.
    std::optional<Program> update;
    std::vector<Value> binds;
    for (const Row& row : rows) {
      const std::vector<Row>& hits = *BKF_TRY(conflicts(row));
      if (hits.empty()) {
        BKF_TRY(run_program_dml(inserter, row, true));
        ++total;
        continue;
      }
      if (!update) {
        Statement::Update up;
        up.table = ins.table;
        up.assignments.reserve(odku->assignments.size());
        for (const Assignment& a : odku->assignments) {
          up.assignments.push_back(Assignment{a.column, subst_values_refs(*a.value, cols)});
        }
        up.where = rowid_equals_param(cols.size());
        update = BKF_TRY(compile_statement(Statement(std::move(up))));
      }
      binds.assign(row.begin(), row.end());
      binds.push_back(Value::integer(hits[0][0].int_value()));
      total += BKF_TRY(run_program_dml(*update, binds, false));
    }
    return total;
  }

  // Plain or IGNORE from a SELECT: the inserter's own constraint handling.
  for (const Row& row : rows) total += BKF_TRY(run_program_dml(inserter, row, true));
  return total;
}

}  // namespace bkf::engine
