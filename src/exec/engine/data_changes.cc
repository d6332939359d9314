#include "exec/engine/data_changes.h"

#include <optional>
#include <utility>

#include "exec/engine/engine.h"
#include "exec/vm/vm.h"

namespace bkf::engine {

Result<std::uint64_t> run_change_program(Engine& engine, const vm::Program& program, std::span<const Value> params,
                                         bool is_insert, vm::Vm* kept) {
  std::optional<vm::Vm> own;
  vm::Vm& vm = kept != nullptr ? *kept : own.emplace(engine.session().pager(), params);
  if (kept != nullptr) kept->rearm(params);
  const vm::PagesReleased released(kept);
  BKF_TRY(vm.run(program));
  if (is_insert && vm.last_rowid() != 0) engine.set_last_insert_id(vm.last_rowid());
  return vm.changes();
}

}  // namespace bkf::engine
