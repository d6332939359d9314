// Engine: the state and the inner operations behind Database.
//
// Database (database.h) is a thin, stable face for the bindings; this class
// does the work. It owns the pager and the catalog, and every path through it
// follows one discipline:
//
//  * Nothing reads a page without a lock. A query outside a transaction runs
//    between read_begin() and read_end(); anything that writes runs inside
//    autocommit(), which begins a write transaction when none is open. Both
//    bring the catalog up to date (Catalog::refresh) right after the lock is
//    taken and before anything is folded or compiled, so a schema change
//    committed by another connection is always seen.
//  * The catalog follows the pager: every commit discards the catalog's
//    snapshot, every rollback restores it. A commit that fails is followed by
//    a rollback, so no failure leaves a transaction (or its lock) open.
//  * Subqueries are folded under the statement's lock, at every execution.
//  * A failed statement inside BEGIN keeps its finished rows in the open
//    transaction, but one that failed in the storage layer (I/O, a short
//    read, corrupt or invalid pages) may have left pages half changed: it
//    spoils the transaction, and every later statement but ROLLBACK fails
//    with kTxSpoiled until the transaction ends, so nothing of it can be
//    committed.
//
// The operations are spread over the engine's source files by topic:
// database.cc (opening, the statement frame, prepared statements, locks),
// schema_statements.cc, pragmas.cc (with BEGIN/COMMIT/ROLLBACK), select.cc
// (queries, UNION, result post-processing), dml.cc and insert_policies.cc
// (data changes), folding.cc (subquery folding and constant evaluation).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/result.h"
#include "catalog/catalog.h"
#include "exec/engine/database.h"
#include "exec/vm/program.h"
#include "exec/vm/vm.h"
#include "pager/os_vfs.h"
#include "pager/pager.h"
#include "record/sort.h"
#include "record/value.h"
#include "sql/ast.h"

namespace bkf::engine {

using vm::Program;

// What a Prepared holds.
struct PreparedState {
  // The statement as parsed, IN lists already turned into comparisons; kept
  // so that the statement can be compiled again.
  Statement stmt = Statement::Begin{};
  // The program as last compiled, and what it was compiled against.
  Program program;
  const void* owner = nullptr;
  std::uint64_t generation = 0;
  bool is_dml = false;
  bool is_insert = false;
  bool calc_found_rows = false;
  // The statement holds subqueries: they are folded, with the parameter
  // values put into them, and the statement compiled, at every execution.
  bool folds_each_run = false;
  std::size_t param_count = 0;
  // The machine that runs the program, kept from one execution to the next
  // and rearmed for each, so that a run reuses its registers, cursor slots
  // and buffers; made on first use for the pager it runs on. Between runs it
  // pins no page.
  std::unique_ptr<vm::Vm> vm;
};

// The rows of a query with their column names.
struct QueryRows {
  std::vector<std::string> columns;
  std::vector<Row> rows;
};

class Engine {
 public:
  // vfs null: the engine's own operating-system layer.
  static Result<std::unique_ptr<Engine>> open(Vfs* vfs, const std::string& path);

  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // ---- the operations of Database ----
  Result<std::vector<ExecResult>> execute(std::string_view sql);
  Result<std::unique_ptr<PreparedState>> prepare(std::string_view sql);
  Result<ExecResult> execute_prepared(PreparedState& ps, std::span<const Value> params);
  std::uint64_t found_rows() const noexcept { return found_rows_; }
  std::int64_t last_insert_id() const noexcept { return last_insert_id_; }
  bool in_transaction() const noexcept { return pager_->in_transaction(); }

  // ---- locks and the catalog (database.cc) ----
  Pager& pager() noexcept { return *pager_; }
  Catalog& catalog() noexcept { return *catalog_; }

  // Pager::begin, then the catalog brought up to date. On failure nothing
  // is held.
  Status begin_write();
  // Pager::commit; the catalog drops its snapshot. A failed commit is
  // rolled back (its error is the one returned).
  Status commit_write();
  // Pager::rollback (its error dropped) and the catalog put back.
  void rollback_write();
  // Pager::read_lock, then the catalog brought up to date. On failure no
  // lock is held.
  Status read_begin();
  void read_end();

  // Runs work() inside a write transaction: the open one, or one begun here
  // and committed on success, rolled back on failure (the work's error is
  // returned, an error of the rollback dropped). work returns a Result.
  // Inside BEGIN, a storage error of work() spoils the transaction.
  template <class F>
  auto autocommit(F&& work) -> std::invoke_result_t<F&> {
    if (pager_->in_transaction()) {
      // Cheap inside a transaction: only a schema operation that failed
      // after writing to the schema tree makes the catalog reload.
      if (Status st = catalog_->refresh(*pager_); !st) return std::move(st).error();
      auto r = work();
      if (!r && r.error().is_storage()) spoiled_ = true;
      return r;
    }
    if (Status st = begin_write(); !st) return std::move(st).error();
    auto r = work();
    if (!r) {
      rollback_write();
      return r;
    }
    if (Status st = commit_write(); !st) return std::move(st).error();
    return r;
  }

  // Runs work() under a shared lock when no write transaction is open.
  template <class F>
  auto with_read_lock(F&& work) -> std::invoke_result_t<F&> {
    if (pager_->in_transaction()) {
      if (Status st = catalog_->refresh(*pager_); !st) return std::move(st).error();
      return work();
    }
    if (Status st = read_begin(); !st) return std::move(st).error();
    auto r = work();
    read_end();
    return r;
  }

  // Fails with kTxSpoiled while a spoiled transaction is open.
  Status refuse_if_spoiled();

  // ---- statements ----
  // The frame of one statement of execute(): locks, folding, dispatch.
  Result<ExecResult> run_statement(Statement st);

  // schema_statements.cc
  Result<ExecResult> run_create_table(const Statement::CreateTable& s);
  Result<ExecResult> run_drop_table(const Statement::DropTable& s);
  Result<ExecResult> run_create_index(const Statement::CreateIndex& s);
  Result<ExecResult> run_drop_index(const Statement::DropIndex& s);
  Result<ExecResult> run_add_column(const Statement::AlterTableAddColumn& s);

  // pragmas.cc
  Result<ExecResult> run_begin();
  Result<ExecResult> run_commit();
  Result<ExecResult> run_rollback();
  Result<ExecResult> run_pragma(const Statement::Pragma& s);

  // select.cc. run_query runs a compiled query and post-processes its rows
  // (sort, cut, DISTINCT, found rows, OFFSET, LIMIT). run_select_rows runs a
  // whole query, UNION members included; it is the one road of SELECT,
  // INSERT ... SELECT and subquery evaluation.
  // kept: a machine to rearm for the run instead of making a new one (it
  // pins no page afterwards).
  Result<std::vector<Row>> run_query(const Program& program, bool calc_found_rows, std::span<const Value> params,
                                     vm::Vm* kept = nullptr);
  // first_row_only: only the first row is wanted (a scalar subquery); the
  // program may stop there.
  Result<QueryRows> run_select_rows(const SelectStmt& s, bool calc_found_rows, bool first_row_only = false);
  Result<ExecResult> run_select_statement(const SelectStmt& s);

  // dml.cc. A data change (after folding), inside the write transaction.
  Result<ExecResult> run_data_change(Statement& st);
  // Runs a data-change program once, on `kept` rearmed when given (as for
  // run_query). Only an INSERT program moves last_insert_id (to the row id
  // of its last inserted row, when non-zero).
  Result<std::uint64_t> run_program_dml(const Program& program, std::span<const Value> params, bool is_insert,
                                        vm::Vm* kept = nullptr);
  // The prepared statement's kept machine, made for this engine's pager
  // when it has none yet.
  vm::Vm& kept_vm(PreparedState& ps);

  // insert_policies.cc: INSERT ... SELECT, REPLACE, ON DUPLICATE KEY UPDATE.
  Result<std::uint64_t> run_insert_policy(Statement::Insert& ins);

  // folding.cc
  // Folds every subquery of the statement; binds are put into the
  // subqueries first (their `?` read these values; none: NULL).
  Result<Statement> fold_statement(Statement st, std::span<const Value> binds);
  // The value of an expression evaluated without tables.
  Result<Value> eval_const_expr(const Expr& e);

  // Compiles a SELECT (without UNION members), INSERT ... VALUES, UPDATE or
  // DELETE, and validates the program.
  Result<Program> compile_statement(const Statement& st);
  // Compiles one query core (its UNION members are not read).
  Result<Program> compile_query(const SelectStmt& s, bool first_row_only = false);

 private:
  explicit Engine(Vfs* vfs) : vfs_(vfs ? vfs : &os_vfs_) {}
  // Compiles a prepared statement (folding it first when it holds
  // subqueries), and again at execution when it must (see PreparedState).
  Status compile_prepared(PreparedState& ps, std::span<const Value> params);
  Status ensure_compiled(PreparedState& ps, std::span<const Value> params);

  OsVfs os_vfs_;
  Vfs* vfs_;
  std::unique_ptr<Pager> pager_;
  std::optional<Catalog> catalog_;
  std::uint64_t found_rows_ = 0;
  std::int64_t last_insert_id_ = 0;
  // The open transaction saw a storage error (see the file comment); it
  // ends with the transaction.
  bool spoiled_ = false;
};

}  // namespace bkf::engine
