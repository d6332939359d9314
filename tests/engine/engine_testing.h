// Helpers shared by the engine's tests: a compact text form of results and
// errors, and a runner for SQL scripts kept as data.
//
// Result text:
//   ok                      ExecResult::Ok
//   affected N              ExecResult::Affected
//   [a, b] (1, 'x') (2, NULL)
//                           ExecResult::Rows: the column names, then each
//                           row; values as 5, 2.5 / 1.0 (reals keep a
//                           fraction or exponent), 'text', x'0a1b', NULL
//   !<error display text>   a failure, e.g. !schema error: no such table: t
// A text of several statements shows its results joined by " / ".
//
// Script files (tests/engine/scripts/*.sql): blocks of SQL, each followed by
// one or more lines starting with "> " that hold the expected text (several
// such lines are joined with a space). Lines starting with "--" are
// comments. A block runs with Database::execute on the current connection.
// Directives, on lines of their own:
//   @use NAME     switch to connection NAME on the same file (opened when
//                 first used; the first connection is "main")
//   @reopen       close every connection and open the current one again
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "exec/engine/database.h"
#include "support/temp_dir.h"

namespace bkf::testing {

std::string value_text(const Value& v);
std::string result_text(const ExecResult& r);
std::string results_text(const Result<std::vector<ExecResult>>& r);

// Runs of 16 or more of one character shortened to "L*5000", for readable
// failures about long values.
std::string squeeze(const std::string& s);

// Whether the index exists: it does when it can be dropped (the drop is
// rolled back). Outside a transaction only.
bool index_exists(Database& db, const std::string& name);

// Database::execute, shown as text.
std::string run_sql(Database& db, std::string_view sql);
// Database::prepare, then execute_prepared with `params`, shown as text (a
// failure of either step as its error).
std::string run_prepared(Database& db, std::string_view sql, const std::vector<Value>& params);

// Opens a database or fails the test.
Database open_db(const std::string& path);

// Runs a script file; every mismatch is a test failure naming the line.
void run_script_file(const std::string& path);

}  // namespace bkf::testing
