// The pragmas journal_mode, synchronous, integrity_check, reindex and
// wal_checkpoint. Names, and the values of journal_mode and synchronous,
// are matched ignoring ASCII case; reindex's value names a table, matched
// exactly. Each result is one column named after the pragma, except
// wal_checkpoint's ExecResult::Ok:
//
//   journal_mode [= wal | delete]        "wal" or "delete"
//   synchronous [= 0 | 1 | 2 | off | normal | full]   0, 1 or 2
//   integrity_check                      "ok", or one problem per row
//   reindex [= table]                    "rebuilt {n} index(es)"; writes,
//                                        in the autocommit frame
//
// A pragma that writes (journal_mode with a value, reindex, wal_checkpoint)
// is never reported as failed once its change is made: a result that needs
// memory is made before the change, and filling it in afterwards allocates
// nothing.
#pragma once

#include "base/result.h"
#include "exec/engine/database.h"
#include "sql/ast.h"

namespace bkf::engine {

class Session;

// Errors: "unsupported journal_mode: {}", "unsupported synchronous: {}"
// and "unknown pragma: {}" (the value or name lower-cased), and those of
// the pager and the catalog.
Result<ExecResult> run_pragma(Session& session, const Statement::Pragma& s);

}  // namespace bkf::engine
