#include "exec/engine/engine.h"

#include <utility>

#include "exec/engine/compiled_statement.h"
#include "exec/engine/fold_rewrites.h"
#include "exec/engine/folding.h"
#include "exec/engine/insert_policies.h"
#include "exec/engine/pragmas.h"
#include "exec/engine/queries.h"
#include "exec/engine/schema_statements.h"
#include "exec/engine/transaction_statements.h"
#include "record/utf8.h"
#include "sql/parser.h"

namespace bkf::engine {

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

Result<std::unique_ptr<Engine>> Engine::open(Vfs* vfs, const std::string& path) {
  std::unique_ptr<Engine> e(new Engine(vfs));
  BKF_TRY(e->session_.open(path));
  return e;
}

Result<std::vector<ExecResult>> Engine::execute(std::string_view sql) {
  std::vector<Statement> stmts = BKF_TRY(parse_text(sql));
  std::vector<ExecResult> out;
  out.reserve(stmts.size());
  for (Statement& st : stmts) out.push_back(BKF_TRY(run_statement(std::move(st))));
  return out;
}

template <class R>
R Engine::noted(R result) {
  if (!result) session_.note_failure(result.error());
  return result;
}

Result<ExecResult> Engine::run_statement(Statement st) {
  if (st.kind() != StatementKind::Rollback) BKF_TRY(session_.refuse_if_spoiled());
  return noted(run_unit(std::move(st)));
}

Result<ExecResult> Engine::run_unit(Statement st) {
  if (CompiledStatement::takes_road(st)) return CompiledStatement::for_text(std::move(st)).run(*this, {});
  switch (st.kind()) {
    case StatementKind::Select:
      // UNION and SELECT FOUND_ROWS(). The subqueries run under the query's
      // own shared lock.
      return session_.with_read_lock([&]() -> Result<ExecResult> {
        st = BKF_TRY(fold_statement(*this, std::move(st), {}));
        return run_select_statement(*this, st.as<Statement::Select>().select);
      });
    case StatementKind::Insert:
      // INSERT ... SELECT, REPLACE, ON DUPLICATE KEY UPDATE. Begun before
      // folding: the subqueries read under the write lock and the freshly
      // refreshed catalog, and a failure anywhere rolls back.
      return session_.autocommit([&]() -> Result<ExecResult> {
        if (stmt_has_subquery(st)) st = BKF_TRY(fold_statement(*this, std::move(st), {}));
        return ExecResult::affected_rows(BKF_TRY(run_insert_policy(*this, st.as<Statement::Insert>())));
      });
    case StatementKind::CreateTable: return run_create_table(session_, st.as<Statement::CreateTable>());
    case StatementKind::DropTable: return run_drop_table(session_, st.as<Statement::DropTable>());
    case StatementKind::CreateIndex: return run_create_index(session_, st.as<Statement::CreateIndex>());
    case StatementKind::DropIndex: return run_drop_index(session_, st.as<Statement::DropIndex>());
    case StatementKind::AlterTableAddColumn:
      return run_add_column(session_, st.as<Statement::AlterTableAddColumn>());
    case StatementKind::Begin: return run_begin(session_);
    case StatementKind::Commit: return run_commit(session_);
    case StatementKind::Rollback: return run_rollback(session_);
    case StatementKind::Pragma: return run_pragma(session_, st.as<Statement::Pragma>());
    case StatementKind::Update:
    case StatementKind::Delete: break;  // on the compiled road
  }
  return Error::exec("unsupported statement");
}

Result<std::unique_ptr<CompiledStatement>> Engine::prepare(std::string_view sql) {
  std::vector<Statement> stmts = BKF_TRY(parse_text(sql));
  BKF_TRY(session_.refuse_if_spoiled());
  if (stmts.size() != 1) return Error::exec("prepare expects exactly one statement");
  std::unique_ptr<CompiledStatement> stmt = BKF_TRY(CompiledStatement::for_prepare(std::move(stmts[0])));
  // Compiled now, so that a faulty statement fails here; a statement with
  // subqueries runs them once for that, with every `?` reading NULL.
  BKF_TRY(noted(session_.with_read_lock([&]() -> Status { return stmt->compile(*this, {}); })));
  return stmt;
}

Result<ExecResult> Engine::execute_prepared(CompiledStatement& stmt, std::span<const Value> params) {
  BKF_TRY(session_.refuse_if_spoiled());
  return noted(stmt.run(*this, params));
}

}  // namespace bkf::engine
