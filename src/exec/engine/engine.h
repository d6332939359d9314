// Engine: the work behind Database (database.h), read from the top.
//
// Database is a thin, stable face for the bindings; each of its operations
// calls the one of the same name here. The engine holds the session (the
// file, its schema, locks and transactions: session.h) and the two numbers a
// connection remembers between statements, found_rows and last_insert_id.
//
// A text (execute) is parsed whole, then its statements run one by one
// through run_statement, which sends each to the unit of its kind:
//
//   SELECT (one query core), plain or IGNORE INSERT ... VALUES,
//   UPDATE, DELETE               the compiled road (compiled_statement.h):
//                                lock, fold, compile, run; the same road as
//                                a prepared statement's
//   SELECT with UNION members,
//   SELECT FOUND_ROWS()          queries.h, after folding, under the
//                                query's shared lock
//   INSERT ... SELECT, REPLACE,
//   ON DUPLICATE KEY UPDATE      insert_policies.h, after folding, in the
//                                autocommit frame
//   CREATE/DROP TABLE/INDEX,
//   ALTER TABLE ADD COLUMN       schema_statements.h
//   BEGIN, COMMIT, ROLLBACK      transaction_statements.h
//   PRAGMA                       pragmas.h
//
// prepare() makes a CompiledStatement of one statement of the road and
// compiles it; execute_prepared() runs it on the road.
//
// Below these, shared by them: compiling.h (syntax tree to program),
// queries.h (running a query program and post-processing its rows, UNION,
// constant evaluation), data_changes.h (running a data-change program),
// folding.h (subqueries replaced by their values before compiling).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "exec/engine/database.h"
#include "exec/engine/session.h"
#include "record/value.h"
#include "sql/ast.h"

namespace bkf::engine {

class CompiledStatement;

class Engine {
 public:
  // vfs null: the engine's own operating-system layer.
  static Result<std::unique_ptr<Engine>> open(Vfs* vfs, const std::string& path);

  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // ---- the operations of Database ----
  Result<std::vector<ExecResult>> execute(std::string_view sql);
  Result<std::unique_ptr<CompiledStatement>> prepare(std::string_view sql);
  Result<ExecResult> execute_prepared(CompiledStatement& stmt, std::span<const Value> params);
  std::uint64_t found_rows() const noexcept { return found_rows_; }
  std::int64_t last_insert_id() const noexcept { return last_insert_id_; }
  bool in_transaction() const noexcept { return session_.in_transaction(); }

  // One statement of a text, in its frame: the spoiled-transaction check,
  // then the unit of its kind (see the top of this file); a storage error
  // inside BEGIN spoils the transaction (Session::note_failure).
  Result<ExecResult> run_statement(Statement st);

  Session& session() noexcept { return session_; }
  // Set by the query runs that count found rows (queries.h) and by the
  // data-change runs that insert a row (data_changes.h).
  void set_found_rows(std::uint64_t n) noexcept { found_rows_ = n; }
  void set_last_insert_id(std::int64_t id) noexcept { last_insert_id_ = id; }

 private:
  explicit Engine(Vfs* vfs) : session_(vfs) {}
  Result<ExecResult> run_unit(Statement st);
  // Passes a statement's result on, after showing its failure to the
  // session.
  template <class R>
  R noted(R result);

  Session session_;
  std::uint64_t found_rows_ = 0;
  std::int64_t last_insert_id_ = 0;
};

}  // namespace bkf::engine
