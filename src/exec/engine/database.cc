// Opening, the statement frame, prepared statements and the lock helpers.

#include "exec/engine/database.h"

#include <utility>

#include "exec/engine/engine.h"
#include "exec/engine/folding.h"
#include "record/utf8.h"
#include "sql/parser.h"

namespace bkf {

// ---- Prepared -------------------------------------------------------------

Prepared::Prepared(std::unique_ptr<engine::PreparedState> state) : state_(std::move(state)) {}
Prepared::Prepared(Prepared&&) noexcept = default;
Prepared& Prepared::operator=(Prepared&&) noexcept = default;
Prepared::~Prepared() = default;

bool Prepared::is_dml() const noexcept { return state_->is_dml; }
bool Prepared::calc_found_rows() const noexcept { return state_->calc_found_rows; }
const std::vector<std::string>& Prepared::columns() const noexcept { return state_->program.columns; }
std::size_t Prepared::parameter_count() const noexcept { return state_->param_count; }
bool Prepared::has_subqueries() const noexcept { return state_->folds_each_run; }

// ---- Database -------------------------------------------------------------

Database::Database(std::unique_ptr<engine::Engine> engine) : engine_(std::move(engine)) {}
Database::Database(Database&&) noexcept = default;
Database& Database::operator=(Database&&) noexcept = default;
Database::~Database() = default;

Result<Database> Database::open(const std::string& path) {
  return Database(BKF_TRY(engine::Engine::open(nullptr, path)));
}

Result<Database> Database::open(Vfs& vfs, const std::string& path) {
  return Database(BKF_TRY(engine::Engine::open(&vfs, path)));
}

Result<std::vector<ExecResult>> Database::execute(std::string_view sql) { return engine_->execute(sql); }

Result<Prepared> Database::prepare(std::string_view sql) { return Prepared(BKF_TRY(engine_->prepare(sql))); }

Result<ExecResult> Database::execute_prepared(Prepared& stmt, std::span<const Value> params) {
  return engine_->execute_prepared(*stmt.state_, params);
}

std::uint64_t Database::found_rows() const noexcept { return engine_->found_rows(); }
std::int64_t Database::last_insert_id() const noexcept { return engine_->last_insert_id(); }
bool Database::in_transaction() const noexcept { return engine_->in_transaction(); }

namespace engine {

// ---- opening ---------------------------------------------------------------

Result<std::unique_ptr<Engine>> Engine::open(Vfs* vfs, const std::string& path) {
  std::unique_ptr<Engine> e(new Engine(vfs));
  if (e->vfs_->exists(path)) {
    e->pager_ = BKF_TRY(Pager::open(*e->vfs_, path));
  } else {
    e->pager_ = BKF_TRY(Pager::create(*e->vfs_, path, Pager::kDefaultPageSize));
  }
  // On failure the engine, and with it the pager and its file, goes away.
  e->catalog_.emplace(BKF_TRY(Catalog::open(*e->pager_)));
  return e;
}

// ---- locks and the catalog ---------------------------------------------------

Status Engine::refuse_if_spoiled() {
  // Every way out of a transaction ends the spoiling with it.
  if (spoiled_ && !pager_->in_transaction()) spoiled_ = false;
  if (spoiled_) return Error::tx(kTxSpoiled);
  return {};
}

Status Engine::begin_write() {
  BKF_TRY(pager_->begin());
  if (Status st = catalog_->refresh(*pager_); !st) {
    rollback_write();
    return st;
  }
  return {};
}

Status Engine::commit_write() {
  Status st = pager_->commit();
  if (st) {
    catalog_->discard();
    return st;
  }
  if (pager_->in_transaction()) {
    // The changes did not become durable: undo them, so that the failure
    // leaves neither the transaction nor its exclusive lock behind.
    (void)pager_->rollback();
    catalog_->restore();
  } else {
    // The commit went through and only a step after its commit point (the
    // unlock) failed: the schema in memory is the committed one.
    catalog_->discard();
  }
  return st;
}

void Engine::rollback_write() {
  (void)pager_->rollback();
  catalog_->restore();
}

Status Engine::read_begin() {
  BKF_TRY(pager_->read_lock());
  if (Status st = catalog_->refresh(*pager_); !st) {
    read_end();
    return st;
  }
  return {};
}

void Engine::read_end() { (void)pager_->read_unlock(); }

// ---- running a text ----------------------------------------------------------

namespace {

// Names and text literals become text in records, which must be UTF-8: a
// table named by other bytes would make the schema, and so the whole file,
// unreadable. The text is refused before anything runs.
Result<std::vector<Statement>> parse_text(std::string_view sql) {
  if (const std::size_t valid = valid_utf8_prefix(sql); valid != sql.size()) {
    return Error::parse("invalid UTF-8", valid);
  }
  return sql::parse(sql);
}

}  // namespace

Result<std::vector<ExecResult>> Engine::execute(std::string_view sql) {
  std::vector<Statement> stmts = BKF_TRY(parse_text(sql));
  std::vector<ExecResult> out;
  out.reserve(stmts.size());
  for (Statement& st : stmts) out.push_back(BKF_TRY(run_statement(std::move(st))));
  return out;
}

Result<ExecResult> Engine::run_statement(Statement st) {
  if (st.kind() != StatementKind::Rollback) BKF_TRY(refuse_if_spoiled());
  switch (st.kind()) {
    case StatementKind::Select:
      // The subqueries run under the query's own shared lock.
      return with_read_lock([&]() -> Result<ExecResult> {
        if (stmt_has_subquery(st)) st = BKF_TRY(fold_statement(std::move(st), {}));
        return run_select_statement(st.as<Statement::Select>().select);
      });
    case StatementKind::Insert:
    case StatementKind::Update:
    case StatementKind::Delete:
      // Begun before folding: the subqueries read under the write lock and
      // the freshly refreshed catalog, and a failure anywhere rolls back.
      return autocommit([&]() -> Result<ExecResult> {
        if (stmt_has_subquery(st)) st = BKF_TRY(fold_statement(std::move(st), {}));
        return run_data_change(st);
      });
    case StatementKind::CreateTable: return run_create_table(st.as<Statement::CreateTable>());
    case StatementKind::DropTable: return run_drop_table(st.as<Statement::DropTable>());
    case StatementKind::CreateIndex: return run_create_index(st.as<Statement::CreateIndex>());
    case StatementKind::DropIndex: return run_drop_index(st.as<Statement::DropIndex>());
    case StatementKind::AlterTableAddColumn: return run_add_column(st.as<Statement::AlterTableAddColumn>());
    case StatementKind::Begin: return run_begin();
    case StatementKind::Commit: return run_commit();
    case StatementKind::Rollback: return run_rollback();
    case StatementKind::Pragma: return run_pragma(st.as<Statement::Pragma>());
  }
  return Error::exec("unsupported statement");
}

// ---- prepared statements -------------------------------------------------------

Result<std::unique_ptr<PreparedState>> Engine::prepare(std::string_view sql) {
  std::vector<Statement> stmts = BKF_TRY(parse_text(sql));
  BKF_TRY(refuse_if_spoiled());
  if (stmts.size() != 1) return Error::exec("prepare expects exactly one statement");
  auto ps = std::make_unique<PreparedState>();
  Statement& st = stmts[0];
  switch (st.kind()) {
    case StatementKind::Select: {
      const SelectStmt& s = st.as<Statement::Select>().select;
      if (!s.compound.empty()) return Error::exec("UNION queries cannot be prepared");
      ps->calc_found_rows = s.calc_found_rows;
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
      ps->is_dml = true;
      ps->is_insert = true;
      break;
    }
    case StatementKind::Update:
    case StatementKind::Delete: ps->is_dml = true; break;
    default: return Error::exec("only SELECT/INSERT/UPDATE/DELETE can be prepared");
  }
  ps->param_count = count_params(st);
  // IN lists become comparisons once; what still holds a subquery is folded
  // at every execution, with that execution's parameter values.
  rewrite_in_lists(st);
  ps->folds_each_run = stmt_has_fold_targets(st);
  ps->stmt = std::move(st);
  // Compiled now, so that a faulty statement fails here; a statement with
  // subqueries runs them once for that, with every `?` reading NULL.
  BKF_TRY(with_read_lock([&]() -> Status { return compile_prepared(*ps, {}); }));
  return ps;
}

Status Engine::compile_prepared(PreparedState& ps, std::span<const Value> params) {
  if (ps.folds_each_run) {
    Statement folded = BKF_TRY(fold_statement(ps.stmt.clone(), params));
    ps.program = BKF_TRY(compile_statement(folded));
  } else {
    ps.program = BKF_TRY(compile_statement(ps.stmt));
  }
  ps.owner = this;
  ps.generation = catalog_->generation();
  return {};
}

Status Engine::ensure_compiled(PreparedState& ps, std::span<const Value> params) {
  // Compiled again when the schema changed since (root pages, column
  // positions and indexes may differ now) or another database made it.
  if (ps.folds_each_run || ps.owner != this || ps.generation != catalog_->generation()) {
    return compile_prepared(ps, params);
  }
  return {};
}

Result<ExecResult> Engine::execute_prepared(PreparedState& ps, std::span<const Value> params) {
  BKF_TRY(refuse_if_spoiled());
  if (!ps.is_dml) {
    return with_read_lock([&]() -> Result<ExecResult> {
      BKF_TRY(ensure_compiled(ps, params));
      std::vector<Row> rows = BKF_TRY(run_query(ps.program, ps.calc_found_rows, params, &kept_vm(ps)));
      return ExecResult::rows_of(ps.program.columns, std::move(rows));
    });
  }
  return autocommit([&]() -> Result<ExecResult> {
    BKF_TRY(ensure_compiled(ps, params));
    std::uint64_t n = BKF_TRY(run_program_dml(ps.program, params, ps.is_insert, &kept_vm(ps)));
    return ExecResult::affected_rows(n);
  });
}

}  // namespace engine
}  // namespace bkf
