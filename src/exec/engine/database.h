// Database: one open database file, and the only door into the engine.
//
// The C interface and the Python module each own one Database per handle and
// call nothing else of the engine. Every fallible call returns a Result
// (base/result.h) whose Error carries the display text users see ("schema
// error: no such table: t", ...). The one exception is running out of
// memory: any call may then throw std::bad_alloc, which the bindings report
// as their out-of-memory failure. By then the statement has ended as a
// failed one does (see Transactions below): nothing is left locked or half
// done, and the Database goes on working. A statement that committed (or
// changed a setting) never throws: what it reports is made before its
// commit, so a caller told of a failure may run it again without applying it
// twice. (In a text of several statements, those before the failing one
// keep their effects, as with any failure.)
//
//   auto db = Database::open("app.db");              // creates the file if missing
//   if (!db) report(db.error().to_string());
//   auto results = db->execute("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT);"
//                              "INSERT INTO t (v) VALUES ('a'), ('b');"
//                              "SELECT id, v FROM t ORDER BY id");
//   // results->back().rows == {{Int(1), Text("a")}, {Int(2), Text("b")}}
//
//   auto ins = db->prepare("INSERT INTO t (v) VALUES (?)");
//   Value v = Value::text("c");
//   db->execute_prepared(*ins, std::span<const Value>(&v, 1));
//
// Transactions. Outside BEGIN every statement that writes (schema statements,
// INSERT, UPDATE, DELETE, PRAGMA reindex) is one transaction of its own:
// committed when it succeeds, rolled back when it fails. After BEGIN (or
// START TRANSACTION) writes accumulate until COMMIT or ROLLBACK; a statement
// that fails inside BEGIN is reported and what it changed stays until then.
// A COMMIT that fails ends in a rollback and reports the commit's error, so
// no failure ever leaves a transaction (or its file lock) behind. Running
// out of memory is such a failure too; inside BEGIN, a statement that
// writes and runs out of memory spoils the transaction (it may have stopped
// half-way): every statement but ROLLBACK then fails until it ends.
//
// Several Database objects, in one process or many, may share a file: they
// exclude each other through blocking file locks and see each other's
// commits, schema changes included, at the start of their next statement.
//
// Threads: a Database and its Prepared statements belong to one thread at a
// time; nothing here locks. Moving a Database keeps its Prepared statements
// usable with it.
//
// Processes: a Database belongs to the process that opened it. A child made
// by fork() would share the parent's open files and so the parent's file
// locks (they belong to the open files, not to a process), and a statement
// run there would take the parent's locks for its own and change the file
// under the parent's transaction. In any other process execute, prepare and
// execute_prepared therefore fail before doing anything, with "execution
// error: this connection belongs to process {owner}, not to process
// {caller}: open a new connection in this process". Destroying the
// Database there only closes that process's descriptors, which leaves the
// parent's locks, transaction, journal and log as they are. A process is
// told from its parent without any fork handler having run (a child of
// _Fork() or of a clone system call, one whose handlers were skipped, an
// application's child handler running first) and from an ancestor whose id
// it reuses (pager/os_fork.h). Nor does a child keep its parent's files
// open: the engine's fork handler puts /dev/null over a forked child's
// copies of the descriptors, so the parent's locks end when the parent ends
// its transaction, destroys the Database or dies, whatever children it
// has. A child that ran no engine fork handler hands its copies back at its
// first call into the engine; until then (or its exit, when it makes none)
// it keeps them: the parent's locks then still end with the parent's own
// unlocks, but not with its death.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "pager/os_fork.h"
#include "record/value.h"

namespace bkf {

class Vfs;

namespace engine {
class Engine;
class CompiledStatement;
}  // namespace engine

// The outcome of one statement.
struct ExecResult {
  enum class Kind : std::uint8_t {
    Ok = 0,        // schema statements, BEGIN, COMMIT, ROLLBACK, PRAGMA wal_checkpoint
    Rows = 1,      // SELECT and the pragmas that report something
    Affected = 2,  // INSERT, UPDATE, DELETE
  };

  Kind kind = Kind::Ok;
  // Rows: the result column names and the rows, each as wide as `columns`.
  std::vector<std::string> columns;
  std::vector<std::vector<Value>> rows;
  // Affected: the number of rows the statement inserted, changed or deleted.
  std::uint64_t affected = 0;

  static ExecResult ok() { return ExecResult{}; }
  static ExecResult rows_of(std::vector<std::string> columns, std::vector<std::vector<Value>> rows) {
    ExecResult r;
    r.kind = Kind::Rows;
    r.columns = std::move(columns);
    r.rows = std::move(rows);
    return r;
  }
  static ExecResult affected_rows(std::uint64_t n) {
    ExecResult r;
    r.kind = Kind::Affected;
    r.affected = n;
    return r;
  }

  bool is_ok() const noexcept { return kind == Kind::Ok; }
  bool is_rows() const noexcept { return kind == Kind::Rows; }
  bool is_affected() const noexcept { return kind == Kind::Affected; }
};

// One SELECT, INSERT ... VALUES, UPDATE or DELETE compiled once and run any
// number of times with parameter values through Database::execute_prepared.
// It stays valid across schema changes (it is compiled again when the
// schema it was compiled against changed; a table that vanished then gives
// "no such table") and its subqueries are evaluated afresh, with the
// parameter values, at every execution.
class Prepared {
 public:
  Prepared(Prepared&&) noexcept;
  Prepared& operator=(Prepared&&) noexcept;
  ~Prepared();

  // INSERT, UPDATE or DELETE (executions report ExecResult::Affected);
  // otherwise a query (ExecResult::Rows).
  bool is_dml() const noexcept;
  // The query says SQL_CALC_FOUND_ROWS; never for a data change.
  bool calc_found_rows() const noexcept;
  // The result column names of a query as last compiled; empty for a data
  // change.
  const std::vector<std::string>& columns() const noexcept;
  // The number of `?` markers in the statement's text.
  std::size_t parameter_count() const noexcept;
  // The statement holds subqueries, which every execution evaluates afresh.
  bool has_subqueries() const noexcept;

 private:
  friend class Database;
  explicit Prepared(std::unique_ptr<engine::CompiledStatement> state);
  std::unique_ptr<engine::CompiledStatement> state_;
};

class Database {
 public:
  // Opens the database file at `path` through the operating system's file
  // layer, creating a new database (4096-byte pages) when the path has no
  // file. Errors of the file layer, the header and the schema are returned.
  static Result<Database> open(const std::string& path);
  // The same through the given file-system layer, which must outlive the
  // Database (tests slide a fault-injecting layer in here).
  static Result<Database> open(Vfs& vfs, const std::string& path);

  Database(Database&&) noexcept;
  Database& operator=(Database&&) noexcept;
  // In the process that opened it: rolls back an open transaction (as
  // ROLLBACK does, undoing what a failed commit left), unlocks every file,
  // then closes the files. In any other process: only closes them (no
  // unlock, removal, rollback or checkpoint), so that in a forked child it
  // leaves the parent's locks and files alone. Never throws; failures,
  // running out of memory included, are dropped. Assigning over a Database
  // does the same to the one replaced.
  ~Database();

  // In a process other than the opener (see Processes above), this and the
  // two calls below fail before doing anything.
  //
  // Parses the whole text first (a parse error anywhere runs nothing), then
  // runs its statements in order and returns one result per statement. The
  // first failing statement ends the call with its error; the statements
  // before it keep their effects. An empty text gives an empty list. A `?`
  // in the text reads NULL.
  Result<std::vector<ExecResult>> execute(std::string_view sql);

  // Compiles the text's one statement. Errors: "execution error: prepare
  // expects exactly one statement", "execution error: UNION queries cannot
  // be prepared", "execution error: only plain INSERT … VALUES can be
  // prepared (not REPLACE / ON DUPLICATE / INSERT…SELECT)", "execution
  // error: only SELECT/INSERT/UPDATE/DELETE can be prepared", and every
  // parse and compile error of the statement.
  Result<Prepared> prepare(std::string_view sql);

  // Runs a statement prepared by this Database. params[i] is the value of
  // the i-th `?` (from 0); a `?` without a value reads NULL and extra values
  // are ignored. A query gives ExecResult::Rows, a data change
  // ExecResult::Affected; outside BEGIN a data change is its own
  // transaction.
  Result<ExecResult> execute_prepared(Prepared& stmt, std::span<const Value> params);

  // The row count that the latest query run with SQL_CALC_FOUND_ROWS had
  // before OFFSET and LIMIT; 0 until there was one.
  std::uint64_t found_rows() const noexcept;
  // The row id of the last row inserted by the latest INSERT (or REPLACE,
  // INSERT ... SELECT, ON DUPLICATE KEY UPDATE) that inserted one with a
  // non-zero row id; 0 until then. Errors and rollbacks do not reset it.
  std::int64_t last_insert_id() const noexcept;
  // A transaction begun by BEGIN is open.
  bool in_transaction() const noexcept;
  // True in the process that opened the database (see Processes above);
  // one atomic load.
  bool owned_by_this_process() const noexcept;
  // Ok in the process that opened the database; elsewhere the Exec error
  // that execute, prepare and execute_prepared return before doing anything.
  Status check_process() const;

 private:
  explicit Database(std::unique_ptr<engine::Engine> engine);
  // The destructor's work before the files close (see ~Database).
  void release() noexcept;

  std::unique_ptr<engine::Engine> engine_;
  // The process that opened the database.
  ProcessTag owner_;
};

}  // namespace bkf
