// A small SQL runner for the statement compiler's tests and benchmarks.
//
// It opens a database file with the pager and the catalog, parses SQL,
// compiles SELECT, INSERT, UPDATE and DELETE with the statement compiler,
// runs the programs on the register machine and applies the machine's
// post-run step (ORDER BY, DISTINCT, OFFSET, LIMIT) to query rows. Writing
// statements outside BEGIN run in their own transaction, rolled back on
// failure.
//
// The schema statements it understands (CREATE TABLE / INDEX, DROP, ALTER
// TABLE ADD COLUMN) are translated directly into catalog calls, just enough
// to set up test tables: an INTEGER PRIMARY KEY (or AUTO_INCREMENT) column
// becomes the row-id alias, UNIQUE columns and other primary keys get an
// index named "{table}__{column}__unique". No subquery folding is done:
// scalar subqueries run as sub-programs.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog.h"
#include "exec/vdbe/program.h"
#include "pager/pager.h"
#include "pager/result.h"
#include "record/sort.h"
#include "record/value.h"
#include "sql/ast.h"

namespace bkf::testing {

struct QueryResult {
  std::vector<std::string> columns;
  std::vector<Row> rows;
  std::size_t emitted = 0;  // rows the program produced, before ORDER BY/DISTINCT/OFFSET/LIMIT
  std::uint64_t changes = 0;
  std::int64_t last_rowid = 0;
  std::uint64_t subquery_runs = 0;
  std::uint64_t subquery_cache_hits = 0;
};

class SqlHarness {
 public:
  static Result<std::unique_ptr<SqlHarness>> open(const std::string& path);
  ~SqlHarness();

  // Runs every statement of `sql` in order and returns the last one's
  // result; the first failure is returned.
  Result<QueryResult> exec(std::string_view sql, std::span<const Value> binds = {});
  // Compiles the one SELECT / INSERT / UPDATE / DELETE statement of `sql`.
  Result<vdbe::Program> compile(std::string_view sql);
  Result<vdbe::Program> compile(const Statement& st);
  // Runs a compiled program in the transaction frame of its kind.
  Result<QueryResult> run(const vdbe::Program& program, bool writes, std::span<const Value> binds = {});

  Result<std::vector<std::string>> integrity_check();
  bool in_transaction() const noexcept { return in_tx_; }

  Pager& pager() { return *pager_; }
  Catalog& catalog() { return *catalog_; }

 private:
  SqlHarness() = default;
  Result<QueryResult> exec_statement(const Statement& st, std::span<const Value> binds);
  Status schema(const Statement& st);
  Result<QueryResult> run_program(const vdbe::Program& program, std::span<const Value> binds);

  std::unique_ptr<Vfs> vfs_;
  std::unique_ptr<Pager> pager_;
  std::unique_ptr<Catalog> catalog_;
  bool in_tx_ = false;
};

// "NULL", "12", "1.5", "abc", "x'0a'" for one value; rows as
// "v|v;v|v" (columns joined by '|', rows by ';').
std::string value_text(const Value& v);
std::string rows_text(const std::vector<Row>& rows);

}  // namespace bkf::testing
