#include "sql_harness.h"

#include <cstdio>

#include "exec/compile/compiler.h"
#include "exec/vdbe/post_run.h"
#include "exec/vdbe/vm.h"
#include "pager/os_vfs.h"
#include "sql/parser.h"

namespace bkf::testing {

namespace {

bool is_integer_type(const std::optional<std::string>& type) {
  if (!type) return false;
  std::string t = *type;
  for (char& c : t) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return t.find("INT") != std::string::npos;
}

Value literal_value(const Expr& e) {
  switch (e.kind()) {
    case ExprKind::Integer: return Value::integer(e.as<Expr::Integer>().value);
    case ExprKind::Real: return Value::real(e.as<Expr::Real>().value);
    case ExprKind::Str: return Value::text(e.as<Expr::Str>().value);
    case ExprKind::Blob: return Value::blob(e.as<Expr::Blob>().bytes);
    default: return Value::null();
  }
}

}  // namespace

std::string value_text(const Value& v) {
  switch (v.kind()) {
    case ValueKind::Null: return "NULL";
    case ValueKind::Int: return std::to_string(v.int_value());
    case ValueKind::Real: {
      std::string s;
      append_real_debug(s, v.real_value());
      return s;
    }
    case ValueKind::Text: return std::string(v.bytes());
    case ValueKind::Blob: {
      std::string s = "x'";
      static const char* hex = "0123456789abcdef";
      for (unsigned char c : v.bytes()) {
        s += hex[c >> 4];
        s += hex[c & 15];
      }
      return s + "'";
    }
  }
  return "?";
}

std::string rows_text(const std::vector<Row>& rows) {
  std::string out;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i) out += ';';
    for (std::size_t j = 0; j < rows[i].size(); ++j) {
      if (j) out += '|';
      out += value_text(rows[i][j]);
    }
  }
  return out;
}

Result<std::unique_ptr<SqlHarness>> SqlHarness::open(const std::string& path) {
  std::unique_ptr<SqlHarness> h(new SqlHarness());
  h->vfs_ = std::make_unique<OsVfs>();
  h->pager_ = BKF_TRY(Pager::create(*h->vfs_, path, 4096));
  h->catalog_ = std::make_unique<Catalog>(BKF_TRY(Catalog::open(*h->pager_)));
  return h;
}

SqlHarness::~SqlHarness() = default;

Result<vdbe::Program> SqlHarness::compile(const Statement& st) {
  using namespace compile;
  switch (st.kind()) {
    case StatementKind::Select: return compile_select(st.as<Statement::Select>().select, *catalog_);
    case StatementKind::Insert: {
      const auto& ins = st.as<Statement::Insert>();
      const auto* vals = ins.source.get_if<InsertSource::Values>();
      if (!vals) return Error::exec("harness: INSERT ... SELECT is not supported");
      bool ignore = ins.on_conflict.is<OnConflict::Ignore>();
      if (!ignore && !ins.on_conflict.is<OnConflict::Plain>()) return Error::exec("harness: conflict clause unsupported");
      return compile_insert(ins.table, ins.columns, vals->values, vals->width, ignore, *catalog_);
    }
    case StatementKind::Update: {
      const auto& u = st.as<Statement::Update>();
      return compile_update(u.table, u.assignments, u.where.get(), *catalog_);
    }
    case StatementKind::Delete: {
      const auto& d = st.as<Statement::Delete>();
      return compile_delete(d.table, d.where.get(), *catalog_);
    }
    default: return Error::exec("harness: not a compiled statement");
  }
}

Result<vdbe::Program> SqlHarness::compile(std::string_view sql) {
  std::vector<Statement> sts = BKF_TRY(sql::parse(sql));
  if (sts.size() != 1) return Error::exec("harness: expected exactly one statement");
  return compile(sts[0]);
}

Result<QueryResult> SqlHarness::run_program(const vdbe::Program& program, std::span<const Value> binds) {
  vdbe::Vm vm(*pager_, binds);
  BKF_TRY(vm.run(program));
  QueryResult out;
  out.columns = program.columns;
  out.rows = vm.take_rows();
  out.emitted = out.rows.size();
  out.changes = vm.changes();
  out.last_rowid = vm.last_rowid();
  out.subquery_runs = vm.subquery_runs();
  out.subquery_cache_hits = vm.subquery_cache_hits();
  vdbe::apply_post_run(out.rows, vdbe::PostRun::of(program));
  return out;
}

Result<QueryResult> SqlHarness::run(const vdbe::Program& program, bool writes, std::span<const Value> binds) {
  if (in_tx_) return run_program(program, binds);
  if (!writes) {
    BKF_TRY(pager_->read_lock());
    Result<QueryResult> r = run_program(program, binds);
    (void)pager_->read_unlock();
    return r;
  }
  BKF_TRY(pager_->begin());
  Result<QueryResult> r = run_program(program, binds);
  if (r) {
    Status c = pager_->commit();
    if (c) {
      catalog_->discard();
      return r;
    }
    r = c.error();
  }
  (void)pager_->rollback();
  catalog_->restore();
  return r;
}

Status SqlHarness::schema(const Statement& st) {
  Pager& p = *pager_;
  Catalog& cat = *catalog_;
  switch (st.kind()) {
    case StatementKind::CreateTable: {
      const auto& ct = st.as<Statement::CreateTable>();
      std::vector<Column> cols;
      std::optional<std::size_t> alias;
      std::vector<std::string> unique_cols;
      for (std::size_t i = 0; i < ct.columns.size(); ++i) {
        const ColumnDef& cd = ct.columns[i];
        Column c;
        c.name = cd.name;
        c.decl_type = cd.type_name.value_or("");
        bool pk = false, autoinc = false;
        for (const Constraint& k : cd.constraints) {
          switch (k.kind()) {
            case ConstraintKind::Default: c.default_value = literal_value(*k.as<Constraint::Default>().value); break;
            case ConstraintKind::PrimaryKey: pk = true; break;
            case ConstraintKind::NotNull: c.not_null = true; break;
            case ConstraintKind::Unique: c.unique = true; break;
            case ConstraintKind::AutoIncrement: autoinc = true; break;
          }
        }
        if (pk) {
          c.not_null = true;
          if (!alias && (is_integer_type(cd.type_name) || autoinc)) alias = i;
          else c.unique = true;
        }
        if (c.unique) unique_cols.push_back(c.name);
        cols.push_back(std::move(c));
      }
      BKF_TRY(cat.create_table(p, ct.name, std::move(cols), alias));
      for (const std::string& c : unique_cols) {
        BKF_TRY(cat.create_index(p, ct.name + "__" + c + "__unique", ct.name, {c}, true));
      }
      for (std::size_t i = 0; i < ct.indexes.size(); ++i) {
        const TableIndex& ti = ct.indexes[i];
        std::string part = ti.name ? *ti.name : ct.name + "__idx" + std::to_string(i);
        BKF_TRY(cat.create_index(p, ct.name + "__" + part, ct.name, ti.columns, ti.unique));
      }
      return {};
    }
    case StatementKind::CreateIndex: {
      const auto& ci = st.as<Statement::CreateIndex>();
      BKF_TRY(cat.create_index(p, ci.name, ci.table, ci.columns, ci.unique));
      return {};
    }
    case StatementKind::DropTable: {
      bool found = BKF_TRY(cat.drop_table(p, st.as<Statement::DropTable>().name));
      if (!found && !st.as<Statement::DropTable>().if_exists) return Error::schema("no such table");
      return {};
    }
    case StatementKind::DropIndex: {
      bool found = BKF_TRY(cat.drop_index(p, st.as<Statement::DropIndex>().name));
      if (!found && !st.as<Statement::DropIndex>().if_exists) return Error::schema("no such index");
      return {};
    }
    case StatementKind::AlterTableAddColumn: {
      const auto& a = st.as<Statement::AlterTableAddColumn>();
      Column c;
      c.name = a.column.name;
      c.decl_type = a.column.type_name.value_or("");
      for (const Constraint& k : a.column.constraints) {
        if (k.is<Constraint::Default>()) c.default_value = literal_value(*k.as<Constraint::Default>().value);
        if (k.is<Constraint::NotNull>()) c.not_null = true;
      }
      return cat.add_column(p, a.table, std::move(c));
    }
    default: return Error::exec("harness: unsupported statement");
  }
}

Result<QueryResult> SqlHarness::exec_statement(const Statement& st, std::span<const Value> binds) {
  switch (st.kind()) {
    case StatementKind::Begin:
      BKF_TRY(pager_->begin());
      in_tx_ = true;
      return QueryResult{};
    case StatementKind::Commit: {
      in_tx_ = false;
      Status c = pager_->commit();
      if (!c) {
        (void)pager_->rollback();
        catalog_->restore();
        return c.error();
      }
      catalog_->discard();
      return QueryResult{};
    }
    case StatementKind::Rollback:
      in_tx_ = false;
      BKF_TRY(pager_->rollback());
      catalog_->restore();
      return QueryResult{};
    case StatementKind::Pragma: {
      const auto& pr = st.as<Statement::Pragma>();
      if (pr.name != "integrity_check") return Error::exec("harness: unsupported pragma");
      QueryResult r;
      r.columns = {"integrity_check"};
      std::vector<std::string> msgs = BKF_TRY(integrity_check());
      if (msgs.empty()) msgs.push_back("ok");
      for (std::string& m : msgs) r.rows.push_back(Row{Value::text(m)});
      return r;
    }
    case StatementKind::Select:
    case StatementKind::Insert:
    case StatementKind::Update:
    case StatementKind::Delete: {
      vdbe::Program prog = BKF_TRY(compile(st));
      return run(prog, st.kind() != StatementKind::Select, binds);
    }
    default: {
      if (in_tx_) {
        BKF_TRY(schema(st));
        return QueryResult{};
      }
      BKF_TRY(pager_->begin());
      Status s = schema(st);
      if (s) s = pager_->commit();
      if (!s) {
        (void)pager_->rollback();
        catalog_->restore();
        return s.error();
      }
      catalog_->discard();
      return QueryResult{};
    }
  }
}

Result<QueryResult> SqlHarness::exec(std::string_view sql, std::span<const Value> binds) {
  std::vector<Statement> sts = BKF_TRY(sql::parse(sql));
  QueryResult last;
  for (const Statement& st : sts) last = BKF_TRY(exec_statement(st, binds));
  return last;
}

Result<std::vector<std::string>> SqlHarness::integrity_check() {
  if (in_tx_) return catalog_->integrity_check(*pager_);
  BKF_TRY(pager_->read_lock());
  Result<std::vector<std::string>> r = catalog_->integrity_check(*pager_);
  (void)pager_->read_unlock();
  return r;
}

}  // namespace bkf::testing
