// Database and Prepared: each operation is the engine's of the same name
// (engine.h).

#include "exec/engine/database.h"

#include <string>
#include <utility>

#include "exec/engine/compiled_statement.h"
#include "exec/engine/engine.h"
#include "pager/os_fork.h"

namespace bkf {

// ---- Prepared -------------------------------------------------------------

Prepared::Prepared(std::unique_ptr<engine::CompiledStatement> state) : state_(std::move(state)) {}
Prepared::Prepared(Prepared&&) noexcept = default;
Prepared& Prepared::operator=(Prepared&&) noexcept = default;
Prepared::~Prepared() = default;

bool Prepared::is_dml() const noexcept { return state_->is_dml(); }
bool Prepared::calc_found_rows() const noexcept { return state_->calc_found_rows(); }
const std::vector<std::string>& Prepared::columns() const noexcept { return state_->columns(); }
std::size_t Prepared::parameter_count() const noexcept { return state_->param_count(); }
bool Prepared::has_subqueries() const noexcept { return state_->folds_each_run(); }

// ---- Database -------------------------------------------------------------

Database::Database(std::unique_ptr<engine::Engine> engine)
    : engine_(std::move(engine)), owner_(this_process()) {}
Database::Database(Database&&) noexcept = default;

Database& Database::operator=(Database&& other) noexcept {
  if (this != &other) {
    release();
    engine_ = std::move(other.engine_);
    owner_ = other.owner_;
  }
  return *this;
}

Database::~Database() { release(); }

void Database::release() noexcept {
  // In another process (a forked child) the files are only closed.
  if (engine_ && owned_by_this_process()) engine_->session().close();
}

Result<Database> Database::open(const std::string& path) {
  return Database(BKF_TRY(engine::Engine::open(nullptr, path)));
}

Result<Database> Database::open(Vfs& vfs, const std::string& path) {
  return Database(BKF_TRY(engine::Engine::open(&vfs, path)));
}

bool Database::owned_by_this_process() const noexcept { return this_process() == owner_; }

Status Database::check_process() const {
  const ProcessTag here = this_process();
  if (here == owner_) return {};
  return Error::exec("this connection belongs to process " + std::to_string(owner_.pid()) + ", not to process " +
                     std::to_string(here.pid()) + ": open a new connection in this process");
}

Result<std::vector<ExecResult>> Database::execute(std::string_view sql) {
  BKF_TRY(check_process());
  return engine_->execute(sql);
}

Result<Prepared> Database::prepare(std::string_view sql) {
  BKF_TRY(check_process());
  return Prepared(BKF_TRY(engine_->prepare(sql)));
}

Result<ExecResult> Database::execute_prepared(Prepared& stmt, std::span<const Value> params) {
  BKF_TRY(check_process());
  return engine_->execute_prepared(*stmt.state_, params);
}

std::uint64_t Database::found_rows() const noexcept { return engine_->found_rows(); }
std::int64_t Database::last_insert_id() const noexcept { return engine_->last_insert_id(); }
bool Database::in_transaction() const noexcept { return engine_->in_transaction(); }

}  // namespace bkf
