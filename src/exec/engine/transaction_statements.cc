#include "exec/engine/transaction_statements.h"

#include "exec/engine/session.h"

namespace bkf::engine {

Result<ExecResult> run_begin(Session& session) {
  BKF_TRY(session.begin_write());
  return ExecResult::ok();
}

Result<ExecResult> run_commit(Session& session) {
  if (!session.in_transaction()) {
    BKF_TRY(session.pager().commit());  // reports that there is nothing to commit
    return ExecResult::ok();
  }
  BKF_TRY(session.commit_write());
  return ExecResult::ok();
}

Result<ExecResult> run_rollback(Session& session) {
  if (!session.in_transaction()) {
    BKF_TRY(session.pager().rollback());  // reports that there is nothing to roll back
    return ExecResult::ok();
  }
  BKF_TRY(session.rollback_write());
  return ExecResult::ok();
}

}  // namespace bkf::engine
