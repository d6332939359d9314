#include "exec/engine/compiled_statement.h"

#include <utility>

#include "exec/engine/compiling.h"
#include "exec/engine/data_changes.h"
#include "exec/engine/engine.h"
#include "exec/engine/fold_rewrites.h"
#include "exec/engine/folding.h"
#include "exec/engine/queries.h"
#include "exec/engine/select_rules.h"
#include "exec/vm/vm.h"

namespace bkf::engine {

CompiledStatement::CompiledStatement(CompiledStatement&&) noexcept = default;
CompiledStatement& CompiledStatement::operator=(CompiledStatement&&) noexcept = default;
CompiledStatement::~CompiledStatement() = default;

bool CompiledStatement::takes_road(const Statement& st) {
  switch (st.kind()) {
    case StatementKind::Select: {
      const SelectStmt& s = st.as<Statement::Select>().select;
      return s.compound.empty() && !found_rows_query(s).has_value();
    }
    case StatementKind::Insert: {
      const auto& ins = st.as<Statement::Insert>();
      return ins.source.is<InsertSource::Values>() &&
             (ins.on_conflict.is<OnConflict::Plain>() || ins.on_conflict.is<OnConflict::Ignore>());
    }
    case StatementKind::Update:
    case StatementKind::Delete: return true;
    default: return false;
  }
}

CompiledStatement CompiledStatement::for_text(Statement st) {
  CompiledStatement cs;
  if (const auto* sel = st.get_if<Statement::Select>()) {
    cs.calc_found_rows_ = sel->select.calc_found_rows;
  } else {
    cs.is_dml_ = true;
    cs.is_insert_ = st.is<Statement::Insert>();
  }
  cs.folds_each_run_ = stmt_has_subquery(st);
  cs.runs_once_ = true;
  cs.stmt_ = std::move(st);
  return cs;
}

Result<std::unique_ptr<CompiledStatement>> CompiledStatement::for_prepare(Statement st) {
  std::unique_ptr<CompiledStatement> cs(new CompiledStatement());
  switch (st.kind()) {
    case StatementKind::Select: {
      const SelectStmt& s = st.as<Statement::Select>().select;
      if (!s.compound.empty()) return Error::exec("UNION queries cannot be prepared");
      cs->calc_found_rows_ = s.calc_found_rows;
      break;
    }
    case StatementKind::Insert: {
      const auto& ins = st.as<Statement::Insert>();
      if (ins.source.is<InsertSource::Select>() || ins.on_conflict.is<OnConflict::Replace>() ||
          ins.on_conflict.is<OnConflict::Update>()) {
        return Error::exec(
            "only plain INSERT \xE2\x80\xA6 VALUES can be prepared (not REPLACE / ON DUPLICATE / "
            "INSERT\xE2\x80\xA6SELECT)");
      }
      cs->is_dml_ = true;
      cs->is_insert_ = true;
      break;
    }
    case StatementKind::Update:
    case StatementKind::Delete: cs->is_dml_ = true; break;
    default: return Error::exec("only SELECT/INSERT/UPDATE/DELETE can be prepared");
  }
  cs->param_count_ = count_params(st);
  rewrite_in_lists(st);
  cs->folds_each_run_ = stmt_has_fold_targets(st);
  cs->stmt_ = std::move(st);
  return cs;
}

Status CompiledStatement::compile(Engine& engine, std::span<const Value> params) {
  Session& session = engine.session();
  // A machine made for another session's pager (closed, perhaps) never
  // runs here.
  if (!session.is_identity(compiled_in_)) vm_.reset();
  if (folds_each_run_) {
    Statement folded = BKF_TRY(fold_statement(engine, runs_once_ ? std::move(stmt_) : stmt_.clone(), params));
    program_ = BKF_TRY(compile_statement(session.catalog(), folded));
  } else {
    program_ = BKF_TRY(compile_statement(session.catalog(), stmt_));
  }
  compiled_in_ = session.identity();
  generation_ = session.catalog().generation();
  return {};
}

vm::Vm* CompiledStatement::make_machine(Session& session) {
  vm_ = std::make_unique<vm::Vm>(session.pager(), std::span<const Value>());
  return vm_.get();
}

Result<ExecResult> CompiledStatement::run(Engine& engine, std::span<const Value> params) {
  Session& session = engine.session();
  if (!is_dml_) {
    return session.with_read_lock([&]() -> Result<ExecResult> {
      if (must_compile(session)) BKF_TRY(compile(engine, params));
      std::vector<Row> rows = BKF_TRY(run_query(engine, program_, calc_found_rows_, params, machine(session)));
      if (runs_once_) return ExecResult::rows_of(std::move(program_.columns), std::move(rows));
      return ExecResult::rows_of(program_.columns, std::move(rows));
    });
  }
  return session.autocommit([&]() -> Result<ExecResult> {
    if (must_compile(session)) BKF_TRY(compile(engine, params));
    const std::uint64_t n = BKF_TRY(run_change_program(engine, program_, params, is_insert_, machine(session)));
    return ExecResult::affected_rows(n);
  });
}

}  // namespace bkf::engine
