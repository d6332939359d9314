// BEGIN (START TRANSACTION), COMMIT and ROLLBACK: the user's control of the
// session's write transaction.
//
// BEGIN opens a write transaction that the statements after it share (the
// autocommit frame then begins none); COMMIT makes it durable, and a COMMIT
// that fails is rolled back, so the transaction never outlives it; ROLLBACK
// drops it. COMMIT and ROLLBACK without a transaction fail with the pager's
// error. Each gives ExecResult::Ok.
#pragma once

#include "base/result.h"
#include "exec/engine/database.h"

namespace bkf::engine {

class Session;

Result<ExecResult> run_begin(Session& session);
Result<ExecResult> run_commit(Session& session);
Result<ExecResult> run_rollback(Session& session);

}  // namespace bkf::engine
