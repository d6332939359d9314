#include "exec/engine/schema_statements.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "btree/btree.h"
#include "exec/engine/schema_rules.h"
#include "exec/engine/session.h"

namespace bkf::engine {

namespace {

// The verdict of an existence check: nothing (go on and make the change),
// or the statement's whole outcome (Ok for IF [NOT] EXISTS, else the
// error).
using Verdict = std::optional<Result<ExecResult>>;

// Runs a schema change inside the autocommit rule. The existence check is
// made against a catalog brought up to date under the statement's lock,
// right before the change: another connection may have created or dropped
// the object since this one last looked. When the check ends the statement
// before any transaction (the usual IF [NOT] EXISTS case), it is first
// confirmed under a shared lock only, so that no write transaction is begun
// for a statement that changes nothing.
template <class Check, class Work>
Result<ExecResult> schema_change(Session& session, Check&& check, Work&& work) {
  if (!session.in_transaction()) {
    if (Verdict early = check()) {
      Verdict confirmed = BKF_TRY(session.with_read_lock([&]() -> Result<Verdict> { return check(); }));
      if (confirmed) return std::move(*confirmed);
    }
  }
  return session.autocommit([&]() -> Result<ExecResult> {
    if (Verdict v = check()) return std::move(*v);
    BKF_TRY(work());
    return ExecResult::ok();
  });
}

template <class T>
bool has_constraint(const ColumnDef& def) {
  for (const Constraint& c : def.constraints) {
    if (c.is<T>()) return true;
  }
  return false;
}

// The columns of CREATE TABLE, the position of the row-id alias and the
// one-column indexes the columns ask for.
//
// Every column of the PRIMARY KEY is NOT NULL, whether the key is written in
// the column or at table level, over one column or several. The flag is
// stored with each column, which is how a loaded table knows it: an index
// row does not say whether its key was the PRIMARY KEY. A one-column key
// (the parser folds a table-level one onto its column) is also UNIQUE, with
// an automatic index named after the key when it was declared with a name,
// unless the column has one of the integer types or AUTO_INCREMENT; the
// first such key column aliases the row id, and the compiler exempts the
// alias from the NOT NULL check so that a NULL there still assigns the next
// row id. A key over several columns gets its index from run_create_table.
// Other columns take NOT NULL and UNIQUE as written; a one-column key's own
// NOT NULL and UNIQUE are not consulted.
struct ColumnIndex {
  std::string name;
  std::string column;
};

struct TableColumns {
  std::vector<Column> columns;
  std::optional<std::size_t> rowid_alias;
  std::vector<ColumnIndex> indexes;  // in column order
};

const Constraint::PrimaryKey* primary_key_of(const ColumnDef& def) {
  for (const Constraint& c : def.constraints) {
    if (const auto* pk = c.get_if<Constraint::PrimaryKey>()) return pk;
  }
  return nullptr;
}

// Call after check_table_keys: every key column is a column of the table.
TableColumns table_columns(const Statement::CreateTable& s) {
  TableColumns out;
  out.columns.reserve(s.columns.size());
  for (std::size_t i = 0; i < s.columns.size(); ++i) {
    const ColumnDef& def = s.columns[i];
    Column c;
    c.name = def.name;
    c.decl_type = def.type_name.value_or("");
    c.default_value = column_default(def);
    const bool integer_type = def.type_name && is_integer_type(*def.type_name);
    const bool auto_increment = has_constraint<Constraint::AutoIncrement>(def);
    std::optional<std::string> index_name;
    if (const Constraint::PrimaryKey* pk = primary_key_of(def)) {
      c.not_null = true;
      c.unique = !integer_type && !auto_increment;
      if ((integer_type || auto_increment) && !out.rowid_alias) out.rowid_alias = i;
      if (pk->name) index_name = named_key_index_name(s.name, *pk->name);
    } else {
      c.not_null = has_constraint<Constraint::NotNull>(def);
      c.unique = has_constraint<Constraint::Unique>(def);
    }
    if (c.unique) {
      out.indexes.push_back({index_name ? std::move(*index_name) : unique_column_index_name(s.name, c.name), c.name});
    }
    out.columns.push_back(std::move(c));
  }
  for (const TableIndex& ti : s.indexes) {
    if (!ti.primary) continue;
    for (const std::string& key_column : ti.columns) {
      for (Column& c : out.columns) {
        if (ascii_iequal(c.name, key_column)) c.not_null = true;
      }
    }
  }
  return out;
}

// What CREATE TABLE declares must hold together before anything is made:
// at most one PRIMARY KEY (column or table level, each one written counts),
// and every key naming columns of the table. Column names are compared with
// each other by the catalog.
Status check_table_keys(const Statement::CreateTable& s) {
  std::size_t primary_keys = 0;
  for (const ColumnDef& def : s.columns) {
    for (const Constraint& c : def.constraints) primary_keys += c.is<Constraint::PrimaryKey>() ? 1 : 0;
  }
  for (const TableIndex& ti : s.indexes) primary_keys += ti.primary ? 1 : 0;
  if (primary_keys > 1) return Error::schema("table \"" + s.name + "\" has more than one PRIMARY KEY");
  for (const TableIndex& ti : s.indexes) {
    for (const std::string& col : ti.columns) {
      const bool found = std::any_of(s.columns.begin(), s.columns.end(),
                                     [&](const ColumnDef& def) { return ascii_iequal(def.name, col); });
      if (!found) return Error::schema("no such column: " + col);
    }
  }
  return {};
}

// ADD COLUMN cannot give the table a new key: the row id and its alias are
// fixed when the table is made, and rows already there would read NULL in
// the new column.
Status check_added_column(const ColumnDef& def) {
  if (has_constraint<Constraint::PrimaryKey>(def)) {
    return Error::schema("cannot add a PRIMARY KEY column: " + def.name);
  }
  if (has_constraint<Constraint::AutoIncrement>(def)) {
    return Error::schema("cannot add an AUTO_INCREMENT column: " + def.name);
  }
  return {};
}

}  // namespace

Result<ExecResult> run_create_table(Session& session, const Statement::CreateTable& s) {
  Catalog& catalog = session.catalog();
  Pager& pager = session.pager();
  auto check = [&]() -> Verdict {
    if (!catalog.get(s.name)) return std::nullopt;
    if (s.if_not_exists) return ExecResult::ok();
    return Error::schema("table \"" + s.name + "\" already exists");
  };
  auto work = [&]() -> Status {
    BKF_TRY(check_table_keys(s));
    TableColumns tc = table_columns(s);
    // Kept before the columns move into the catalog.
    std::optional<std::string> alias_name;
    if (tc.rowid_alias) alias_name = tc.columns[*tc.rowid_alias].name;

    BKF_TRY(catalog.create_table(pager, s.name, std::move(tc.columns), tc.rowid_alias));
    for (ColumnIndex& ci : tc.indexes) {
      BKF_TRY(catalog.create_index(pager, std::move(ci.name), s.name, {std::move(ci.column)}, true));
    }
    for (std::size_t i = 0; i < s.indexes.size(); ++i) {
      const TableIndex& ti = s.indexes[i];
      // A key on the row-id alias alone needs no index: the table is keyed
      // by it already.
      if (ti.columns.size() == 1 && alias_name && ascii_iequal(ti.columns[0], *alias_name)) continue;
      BKF_TRY(catalog.create_index(pager, table_key_index_name(s.name, ti.name, i), s.name, ti.columns,
                                     ti.unique));
    }
    return {};
  };
  return schema_change(session, check, work);
}

Result<ExecResult> run_drop_table(Session& session, const Statement::DropTable& s) {
  Catalog& catalog = session.catalog();
  Pager& pager = session.pager();
  auto check = [&]() -> Verdict {
    if (catalog.get(s.name)) return std::nullopt;
    if (s.if_exists) return ExecResult::ok();
    return Error::schema("no such table: " + s.name);
  };
  auto work = [&]() -> Status {
    BKF_TRY(catalog.drop_table(pager, s.name));
    return {};
  };
  return schema_change(session, check, work);
}

Result<ExecResult> run_create_index(Session& session, const Statement::CreateIndex& s) {
  Catalog& catalog = session.catalog();
  Pager& pager = session.pager();
  // Only the index name is checked here; the catalog reports a missing
  // table or column, also under IF NOT EXISTS.
  auto check = [&]() -> Verdict {
    if (!catalog.get_index(s.name)) return std::nullopt;
    if (s.if_not_exists) return ExecResult::ok();
    return Error::schema("index \"" + s.name + "\" already exists");
  };
  auto work = [&]() -> Status {
    BKF_TRY(catalog.create_index(pager, s.name, s.table, s.columns, s.unique));
    return {};
  };
  return schema_change(session, check, work);
}

Result<ExecResult> run_drop_index(Session& session, const Statement::DropIndex& s) {
  Catalog& catalog = session.catalog();
  Pager& pager = session.pager();
  auto check = [&]() -> Verdict {
    if (catalog.get_index(s.name)) return std::nullopt;
    if (s.if_exists) return ExecResult::ok();
    return Error::schema("no such index: " + s.name);
  };
  auto work = [&]() -> Status {
    BKF_TRY(catalog.drop_index(pager, s.name));
    return {};
  };
  return schema_change(session, check, work);
}

Result<ExecResult> run_add_column(Session& session, const Statement::AlterTableAddColumn& s) {
  Catalog& catalog = session.catalog();
  Pager& pager = session.pager();
  // No check against the catalog before the transaction: the catalog
  // reports a missing table and a taken column name.
  return session.autocommit([&]() -> Result<ExecResult> {
    BKF_TRY(check_added_column(s.column));
    Column c = plain_column(s.column);
    // Rows already stored are not rewritten: they would read NULL in a NOT
    // NULL column.
    const TableDef* t = catalog.get(s.table);
    if (c.not_null && t != nullptr && !t->column_index(c.name) && BKF_TRY(BTree(pager, t->root).last_rowid())) {
      return Error::schema("cannot add a NOT NULL column to a table that holds rows: " + c.name);
    }
    const bool unique = c.unique;
    BKF_TRY(catalog.add_column(pager, s.table, std::move(c)));
    if (unique) {
      BKF_TRY(catalog.create_index(pager, unique_column_index_name(s.table, s.column.name), s.table,
                                     {s.column.name}, true));
    }
    return ExecResult::ok();
  });
}

}  // namespace bkf::engine
