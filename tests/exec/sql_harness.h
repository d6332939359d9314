// A small SQL runner for the statement compiler's tests and benchmarks, on
// the database engine: exec() runs a text the way Database does (folding
// included), compile() gives the program of one statement as the compiler
// makes it (no folding, so subqueries stay sub-programs), and run() runs
// such a program in the engine's transaction frame, reporting what the
// machine counted.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "catalog/catalog.h"
#include "exec/engine/engine.h"
#include "exec/vm/program.h"
#include "record/sort.h"
#include "record/value.h"

namespace bkf::testing {

struct QueryResult {
  std::vector<std::string> columns;
  std::vector<Row> rows;
  std::uint64_t changes = 0;
  std::int64_t last_rowid = 0;
  // Filled by run() only.
  std::size_t emitted = 0;  // rows the program produced, before ORDER BY/DISTINCT/OFFSET/LIMIT
  std::uint64_t subquery_runs = 0;
  std::uint64_t subquery_cache_hits = 0;
};

class SqlHarness {
 public:
  static Result<std::unique_ptr<SqlHarness>> open(const std::string& path);

  // Runs the text with Engine::execute and returns its last statement's
  // result; with binds the text is one statement, prepared and run with them.
  Result<QueryResult> exec(std::string_view sql, std::span<const Value> binds = {});
  // Compiles the one SELECT / INSERT / UPDATE / DELETE statement of `sql`.
  Result<vm::Program> compile(std::string_view sql);
  // Runs a compiled program outside BEGIN in a transaction of its own when
  // it writes, under a shared lock otherwise.
  Result<QueryResult> run(const vm::Program& program, bool writes, std::span<const Value> binds = {});

  Catalog& catalog() { return engine_->session().catalog(); }
  // Catalog::add_column in a transaction of its own, without the checks of
  // ALTER TABLE: makes what files written before those checks may hold,
  // such as a NOT NULL column that the table's rows read as NULL.
  Status add_column_unchecked(std::string_view table, Column column);

 private:
  std::unique_ptr<engine::Engine> engine_;
};

// "NULL", "12", "1.5", "abc", "x'0a'" for one value; rows as
// "v|v;v|v" (columns joined by '|', rows by ';').
std::string value_text(const Value& v);
std::string rows_text(const std::vector<Row>& rows);

}  // namespace bkf::testing
