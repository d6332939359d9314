#include "exec/engine/data_changes.h"

#include <optional>
#include <utility>

#include "base/on_exit.h"
#include "exec/engine/engine.h"
#include "exec/vm/vm.h"

namespace bkf::engine {

Result<std::uint64_t> run_change_program(Engine& engine, const vm::Program& program, std::span<const Value> params,
                                         bool is_insert, vm::Vm* kept) {
  std::optional<vm::Vm> own;
  vm::Vm& vm = kept != nullptr ? *kept : own.emplace(engine.session().pager(), params);
  if (kept != nullptr) kept->rearm(params);
  // A kept machine holds no page between runs, whatever ends this one.
  const OnExit released([kept] {
    if (kept != nullptr) kept->release_pages();
  });
  BKF_TRY(vm.run(program));
  if (is_insert && vm.last_rowid() != 0) engine.set_last_insert_id(vm.last_rowid());
  return vm.changes();
}

}  // namespace bkf::engine
