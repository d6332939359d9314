// CREATE TABLE, DROP TABLE, CREATE INDEX, DROP INDEX and ALTER TABLE ADD
// COLUMN: the parsed statement turned into catalog calls (how column
// definitions become catalog columns is in schema_rules.h), each inside the
// session's autocommit frame.
//
// The existence checks (a table or index of that name, IF [NOT] EXISTS)
// are made against the catalog brought up to date under the statement's
// lock, right before the change. When the check alone ends the statement
// outside BEGIN, it is confirmed under a shared lock and no write
// transaction is begun.
#pragma once

#include "base/result.h"
#include "exec/engine/database.h"
#include "sql/ast.h"

namespace bkf::engine {

class Session;

// Makes the table, every column of its PRIMARY KEY NOT NULL, then an index
// for every UNIQUE column and one for every key declared in the statement
// (none for a key on the row-id alias alone), named as schema_rules.h says.
// Refused before anything is made: two PRIMARY KEYs ("table \"{}\" has more
// than one PRIMARY KEY"), a key on a missing column ("no such column: {}"),
// two columns of one name (the catalog's "duplicate column name: {}").
Result<ExecResult> run_create_table(Session& session, const Statement::CreateTable& s);
Result<ExecResult> run_drop_table(Session& session, const Statement::DropTable& s);
Result<ExecResult> run_create_index(Session& session, const Statement::CreateIndex& s);
Result<ExecResult> run_drop_index(Session& session, const Statement::DropIndex& s);
// Appends the column; rows already stored read NULL in it, its DEFAULT
// serves rows inserted afterwards. Refused: "cannot add a PRIMARY KEY
// column: {}", "cannot add an AUTO_INCREMENT column: {}", and "cannot add a
// NOT NULL column to a table that holds rows: {}".
Result<ExecResult> run_add_column(Session& session, const Statement::AlterTableAddColumn& s);

}  // namespace bkf::engine
