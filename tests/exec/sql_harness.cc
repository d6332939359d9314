#include "sql_harness.h"

#include "exec/engine/compiled_statement.h"
#include "exec/engine/compiling.h"
#include "exec/vm/post_run.h"
#include "exec/vm/vm.h"
#include "sql/parser.h"
#include "support/hex.h"

namespace bkf::testing {

std::string value_text(const Value& v) {
  std::string s;
  switch (v.kind()) {
    case ValueKind::Null: return "NULL";
    case ValueKind::Int: return std::to_string(v.int_value());
    case ValueKind::Real: append_real_debug(s, v.real_value()); return s;
    case ValueKind::Text: return v.bytes_string();
    case ValueKind::Blob: return "x'" + hex(v.bytes()) + "'";
  }
  return "?";
}

std::string rows_text(const std::vector<Row>& rows) {
  std::string out;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t j = 0; j < rows[i].size(); ++j) out += (j ? "|" : i ? ";" : "") + value_text(rows[i][j]);
  }
  return out;
}

Result<std::unique_ptr<SqlHarness>> SqlHarness::open(const std::string& path) {
  auto h = std::make_unique<SqlHarness>();
  h->engine_ = BKF_TRY(engine::Engine::open(nullptr, path));
  return h;
}

Result<QueryResult> SqlHarness::exec(std::string_view sql, std::span<const Value> binds) {
  ExecResult last;
  if (binds.empty()) {
    std::vector<ExecResult> all = BKF_TRY(engine_->execute(sql));
    if (!all.empty()) last = std::move(all.back());
  } else {
    auto prepared = BKF_TRY(engine_->prepare(sql));
    last = BKF_TRY(engine_->execute_prepared(*prepared, binds));
  }
  return QueryResult{std::move(last.columns), std::move(last.rows), last.affected, engine_->last_insert_id()};
}

Result<vm::Program> SqlHarness::compile(std::string_view sql) {
  std::vector<Statement> sts = BKF_TRY(sql::parse(sql));
  if (sts.size() != 1) return Error::exec("harness: expected exactly one statement");
  engine::Session& session = engine_->session();
  return session.with_read_lock([&] { return engine::compile_statement(session.catalog(), sts[0]); });
}

Result<QueryResult> SqlHarness::run(const vm::Program& program, bool writes, std::span<const Value> binds) {
  auto body = [&]() -> Result<QueryResult> {
    vm::Vm vm(engine_->session().pager(), binds);
    BKF_TRY(vm.run(program));
    QueryResult out{program.columns, vm.take_rows(), vm.changes(), vm.last_rowid()};
    out.emitted = out.rows.size();
    out.subquery_runs = vm.subquery_runs();
    out.subquery_cache_hits = vm.subquery_cache_hits();
    vm::apply_post_run(out.rows, vm::PostRun::of(program));
    return out;
  };
  return writes ? engine_->session().autocommit(body) : engine_->session().with_read_lock(body);
}

Status SqlHarness::add_column_unchecked(std::string_view table, Column column) {
  engine::Session& session = engine_->session();
  return session.autocommit([&] { return session.catalog().add_column(session.pager(), table, std::move(column)); });
}

}  // namespace bkf::testing
