// CompiledStatement: the compiled road, which every SELECT (one query
// core), plain or IGNORE INSERT ... VALUES, UPDATE and DELETE takes, run as
// text or prepared.
//
// A statement on the road is compiled to one program and run on the
// machine. run() takes the statement's lock (a shared lock for a query, the
// autocommit frame for a data change: session.h), then, under it, folds
// the statement's subqueries (folding.h) and compiles it when it must, and
// runs the program: a query's rows are post-processed (queries.h), a data
// change's count and last row id read (data_changes.h).
//
// Two kinds of statements take the road:
//   - a statement of a text (for_text): run once; its tree is folded in
//     place, and the program runs on a machine of its own;
//   - a prepared statement (for_prepare, then compile; the Prepared of
//     database.h holds it): run any number of times with parameter values.
//     Its IN lists become comparisons once; what still holds a subquery is
//     folded at every run, with that run's parameter values put into the
//     subqueries. Its machine is kept from one run to the next and rearmed
//     for each, reusing its registers, cursor slots and buffers; between
//     runs it pins no page.
//
// A prepared statement is compiled again before a run when it holds
// subqueries, when the schema changed since (its catalog generation moved:
// root pages, column positions and indexes may differ now), and when it was
// compiled in another session. The session is told by its identity
// (session.h), not its address, so a statement whose database was closed
// never runs its old program on a database opened in its place; a new
// machine is then made for the new session's pager.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/result.h"
#include "exec/engine/database.h"
#include "exec/engine/session.h"
#include "exec/vm/program.h"
#include "record/value.h"
#include "sql/ast.h"

namespace bkf::vm {
class Vm;
}

namespace bkf::engine {

class Engine;

class CompiledStatement {
 public:
  // A statement of a text takes the road when it is a SELECT without UNION
  // members other than SELECT FOUND_ROWS(), an INSERT ... VALUES, plain or
  // IGNORE, an UPDATE or a DELETE.
  static bool takes_road(const Statement& st);
  // For a statement of a text that takes_road.
  static CompiledStatement for_text(Statement st);
  // For Database::prepare: refuses what cannot be prepared ("UNION queries
  // cannot be prepared", "only plain INSERT … VALUES can be prepared (not
  // REPLACE / ON DUPLICATE / INSERT…SELECT)", "only SELECT/INSERT/UPDATE/
  // DELETE can be prepared"). compile() must follow, under a lock.
  static Result<std::unique_ptr<CompiledStatement>> for_prepare(Statement st);

  CompiledStatement(CompiledStatement&&) noexcept;
  CompiledStatement& operator=(CompiledStatement&&) noexcept;
  ~CompiledStatement();

  // Compiles the statement in the engine's session, folding it first with
  // these parameter values when it holds subqueries. The caller holds the
  // statement's lock.
  Status compile(Engine& engine, std::span<const Value> params);
  // Runs the statement once (see the top of this file): ExecResult::Rows
  // for a query, ExecResult::Affected for a data change.
  Result<ExecResult> run(Engine& engine, std::span<const Value> params);

  bool is_dml() const noexcept { return is_dml_; }
  bool calc_found_rows() const noexcept { return calc_found_rows_; }
  // The result column names of a query as last compiled.
  const std::vector<std::string>& columns() const noexcept { return program_.columns; }
  std::size_t param_count() const noexcept { return param_count_; }
  // Folded and compiled at every run.
  bool folds_each_run() const noexcept { return folds_each_run_; }

 private:
  CompiledStatement() = default;
  // The program at hand cannot serve a run in this session (see the top of
  // this file).
  bool must_compile(const Session& session) const noexcept {
    return folds_each_run_ || !session.is_identity(compiled_in_) || generation_ != session.catalog().generation();
  }
  // The machine to rearm for a run: none for a text's statement, else the
  // kept one, made for the session's pager when there is none.
  vm::Vm* machine(Session& session) {
    if (runs_once_) return nullptr;
    return vm_ ? vm_.get() : make_machine(session);
  }
  vm::Vm* make_machine(Session& session);

  // The statement as parsed (a prepared one's IN lists already turned into
  // comparisons); kept so that it can be compiled again.
  Statement stmt_ = Statement::Begin{};
  // The program as last compiled, and the session and schema generation it
  // was compiled against.
  vm::Program program_;
  std::weak_ptr<const Session::Identity> compiled_in_;
  std::uint64_t generation_ = 0;
  bool is_dml_ = false;
  bool is_insert_ = false;
  bool calc_found_rows_ = false;
  bool folds_each_run_ = false;
  bool runs_once_ = false;
  std::size_t param_count_ = 0;
  // The kept machine of a prepared statement, made for the pager of the
  // session it was compiled in.
  std::unique_ptr<vm::Vm> vm_;
};

}  // namespace bkf::engine
