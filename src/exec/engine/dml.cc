// UPDATE, DELETE and the INSERT forms the compiler carries out alone.

#include <optional>

#include "exec/engine/engine.h"
#include "exec/vm/vm.h"

namespace bkf::engine {

Result<ExecResult> Engine::run_data_change(Statement& st) {
  if (auto* ins = st.get_if<Statement::Insert>()) {
    const bool simple = ins->source.is<InsertSource::Values>() &&
                        (ins->on_conflict.is<OnConflict::Plain>() || ins->on_conflict.is<OnConflict::Ignore>());
    if (!simple) return ExecResult::affected_rows(BKF_TRY(run_insert_policy(*ins)));
    Program p = BKF_TRY(compile_statement(st));
    return ExecResult::affected_rows(BKF_TRY(run_program_dml(p, {}, true)));
  }
  Program p = BKF_TRY(compile_statement(st));
  return ExecResult::affected_rows(BKF_TRY(run_program_dml(p, {}, false)));
}

Result<std::uint64_t> Engine::run_program_dml(const Program& program, std::span<const Value> params,
                                              bool is_insert, vm::Vm* kept) {
  std::optional<vm::Vm> own;
  vm::Vm& vm = kept != nullptr ? *kept : own.emplace(*pager_, params);
  if (kept != nullptr) kept->rearm(params);
  Status st = vm.run(program);
  if (kept != nullptr) kept->release_pages();
  BKF_TRY(std::move(st));
  // A failed run leaves last_insert_id alone, even when it inserted rows
  // before failing; so does a run whose last row id is 0.
  if (is_insert && vm.last_rowid() != 0) last_insert_id_ = vm.last_rowid();
  return vm.changes();
}

vm::Vm& Engine::kept_vm(PreparedState& ps) {
  // A statement run by another engine before gets a machine of this one.
  if (!ps.vm || &ps.vm->pager() != pager_.get()) ps.vm = std::make_unique<vm::Vm>(*pager_, std::span<const Value>());
  return *ps.vm;
}

}  // namespace bkf::engine
