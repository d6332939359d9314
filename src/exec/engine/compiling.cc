#include "exec/engine/compiling.h"

#include "exec/compile/compiler.h"

namespace bkf::engine {

namespace {

Result<Program> validated(Result<Program> r) {
  if (r && !r->is_validated()) {
    if (Status st = r->validate(); !st) return std::move(st).error();
  }
  return r;
}

}  // namespace

Result<Program> compile_query(const Catalog& catalog, const SelectStmt& s, bool first_row_only) {
  compile::SelectOptions opts;
  opts.first_row_only = first_row_only;
  return validated(compile::compile_select_with(s, catalog, opts));
}

Result<Program> compile_statement(const Catalog& catalog, const Statement& st) {
  switch (st.kind()) {
    case StatementKind::Select: return compile_query(catalog, st.as<Statement::Select>().select, false);
    case StatementKind::Insert: {
      const auto& ins = st.as<Statement::Insert>();
      const auto& v = ins.source.as<InsertSource::Values>();
      return validated(compile::compile_insert(ins.table, ins.columns, v.values, v.width,
                                               ins.on_conflict.is<OnConflict::Ignore>(), catalog));
    }
    case StatementKind::Update: {
      const auto& up = st.as<Statement::Update>();
      return validated(compile::compile_update(up.table, up.assignments, up.where.get(), catalog));
    }
    case StatementKind::Delete: {
      const auto& del = st.as<Statement::Delete>();
      return validated(compile::compile_delete(del.table, del.where.get(), catalog));
    }
    default: return Error::exec("only SELECT/INSERT/UPDATE/DELETE can be prepared");
  }
}

}  // namespace bkf::engine
