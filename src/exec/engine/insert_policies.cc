#include "exec/engine/insert_policies.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "base/on_exit.h"
#include "exec/compile/compiler.h"
#include "exec/engine/compiling.h"
#include "exec/engine/data_changes.h"
#include "exec/engine/engine.h"
#include "exec/engine/queries.h"
#include "exec/vm/vm.h"

namespace bkf::engine {

namespace {

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
      if (auto* c = f->args[0]->get_if<Expr::Column>()) {
        for (std::size_t i = 0; i < cols.size() && !pos; ++i) {
          if (ascii_iequal(cols[i], c->name)) pos = i;
        }
      }
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

// The source rows, all of them before the first write: the SELECT's rows,
// or the VALUES rows evaluated.
Result<std::vector<Row>> source_rows(Engine& engine, const Statement::Insert& ins) {
  if (const auto* sel = ins.source.get_if<InsertSource::Select>()) {
    return std::move(BKF_TRY(run_select_rows(engine, sel->select, false)).rows);
  }
  const auto& v = ins.source.as<InsertSource::Values>();
  const std::size_t width = v.width == 0 ? 1 : v.width;
  std::vector<Row> rows;
  rows.reserve(v.values.size() / width + 1);
  for (std::size_t i = 0; i < v.values.size(); ++i) {
    if (i % width == 0) rows.emplace_back().reserve(width);
    rows.back().push_back(BKF_TRY(eval_const_expr(engine, *v.values[i])));
  }
  return rows;
}

// The conflict probe of a statement on a machine kept for all its rows.
class ConflictFinder {
 public:
  ConflictFinder(Pager& pager, compile::ConflictProbe probe) : probe_(std::move(probe)), vm_(pager, {}) {}

  bool has_keys() const noexcept { return probe_.keys != 0; }

  // One row [row id] per conflict key that finds a row for `row`, in key
  // order (see conflict_probe.h); valid until the next call.
  Result<std::span<const Row>> find(const Row& row) {
    vm_.rearm(row);
    const OnExit released([this] { vm_.release_pages(); });
    BKF_TRY(vm_.run(probe_.program));
    return std::span<const Row>(vm_.rows());
  }

 private:
  compile::ConflictProbe probe_;
  vm::Vm vm_;
};

// REPLACE: every row the new row collides with goes, then the row is
// inserted; each source row counts 1. The row is first checked as if the
// conflicting rows were gone, so that a row the insert would refuse anyway
// (NOT NULL, another UNIQUE index, ...) deletes nothing: each source row
// takes effect whole or not at all, which matters inside BEGIN, where a
// failed statement keeps its earlier rows.
Result<std::uint64_t> replace_rows(Engine& engine, const std::string& table, const std::vector<Row>& rows,
                                   const vm::Program& inserter, ConflictFinder& finder) {
  const Catalog& catalog = engine.session().catalog();
  std::optional<vm::Program> remove;
  if (finder.has_keys()) {
    Statement::Delete del;
    del.table = table;
    del.where = rowid_equals_param(0);
    remove = BKF_TRY(compile_statement(catalog, Statement(std::move(del))));
  }
  std::vector<std::int64_t> gone;
  vm::Vm check(engine.session().pager(), {});
  std::uint64_t total = 0;
  for (const Row& row : rows) {
    gone.clear();
    for (const Row& hit : BKF_TRY(finder.find(row))) {
      const std::int64_t id = hit[0].int_value();
      if (std::find(gone.begin(), gone.end(), id) == gone.end()) gone.push_back(id);
    }
    if (!gone.empty()) {
      check.rearm(row);
      check.check_only(gone);
      const OnExit released([&check] { check.release_pages(); });
      BKF_TRY(check.run(inserter));
    }
    for (std::int64_t id : gone) {
      const Value bind = Value::integer(id);
      BKF_TRY(run_change_program(engine, *remove, std::span<const Value>(&bind, 1), false));
    }
    BKF_TRY(run_change_program(engine, inserter, row, true));
    ++total;
  }
  return total;
}

// ON DUPLICATE KEY UPDATE: the first key that finds a duplicate decides;
// the duplicate is updated by its row id (bound after the row's values).
// The UPDATE is compiled at the first duplicate, so that a faulty
// assignment list fails only when it is needed.
Result<std::uint64_t> update_duplicates(Engine& engine, const Statement::Insert& ins,
                                        const std::vector<std::string>& cols, const std::vector<Row>& rows,
                                        const vm::Program& inserter, ConflictFinder& finder) {
  const auto& odku = ins.on_conflict.as<OnConflict::Update>();
  std::optional<vm::Program> update;
  std::vector<Value> binds;
  std::uint64_t total = 0;
  for (const Row& row : rows) {
    std::span<const Row> hits = BKF_TRY(finder.find(row));
    if (hits.empty()) {
      BKF_TRY(run_change_program(engine, inserter, row, true));
      ++total;
      continue;
    }
    const std::int64_t dup = hits[0][0].int_value();
    if (!update) {
      Statement::Update up;
      up.table = ins.table;
      up.assignments.reserve(odku.assignments.size());
      for (const Assignment& a : odku.assignments) {
        up.assignments.push_back(Assignment{a.column, subst_values_refs(*a.value, cols)});
      }
      up.where = rowid_equals_param(cols.size());
      update = BKF_TRY(compile_statement(engine.session().catalog(), Statement(std::move(up))));
    }
    binds.assign(row.begin(), row.end());
    binds.push_back(Value::integer(dup));
    total += BKF_TRY(run_change_program(engine, *update, binds, false));
  }
  return total;
}

}  // namespace

Result<std::uint64_t> run_insert_policy(Engine& engine, const Statement::Insert& ins) {
  const Catalog& catalog = engine.session().catalog();
  std::vector<std::string> cols;
  if (const TableDef* table = catalog.get(ins.table); !table) {
    return Error::exec("no such table: " + ins.table);
  } else if (ins.columns) {
    cols = *ins.columns;
  } else {
    cols.reserve(table->columns.size());
    for (const Column& c : table->columns) cols.push_back(c.name);
  }

  const std::vector<Row> rows = BKF_TRY(source_rows(engine, ins));
  for (const Row& r : rows) {
    if (r.size() != cols.size()) {
      return Error::exec("INSERT into " + ins.table + " expects " + std::to_string(cols.size()) + " values, got " +
                         std::to_string(r.size()));
    }
  }

  // The row inserter: INSERT [IGNORE] INTO table (cols) VALUES (?0, ..., ?n-1).
  vm::Program inserter;
  {
    InsertSource::Values values;
    values.width = cols.size();
    values.values.reserve(cols.size());
    for (std::size_t i = 0; i < cols.size(); ++i) values.values.push_back(make_expr(Expr::Param{i}));
    Statement::Insert gen;
    gen.table = ins.table;
    gen.columns = cols;
    gen.source = InsertSource(std::move(values));
    gen.on_conflict = ins.on_conflict.is<OnConflict::Ignore>() ? OnConflict(OnConflict::Ignore{})
                                                               : OnConflict(OnConflict::Plain{});
    inserter = BKF_TRY(compile_statement(catalog, Statement(std::move(gen))));
  }

  const bool replace = ins.on_conflict.is<OnConflict::Replace>();
  if (replace || ins.on_conflict.is<OnConflict::Update>()) {
    ConflictFinder finder(engine.session().pager(),
                          BKF_TRY(compile::compile_conflict_probe(ins.table, cols, catalog, !replace)));
    if (replace) return replace_rows(engine, ins.table, rows, inserter, finder);
    return update_duplicates(engine, ins, cols, rows, inserter, finder);
  }

  // Plain or IGNORE from a SELECT: the inserter's own constraint handling.
  std::uint64_t total = 0;
  for (const Row& row : rows) total += BKF_TRY(run_change_program(engine, inserter, row, true));
  return total;
}

}  // namespace bkf::engine
