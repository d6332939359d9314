// BEGIN, COMMIT, ROLLBACK and the pragmas journal_mode, synchronous,
// integrity_check, reindex and wal_checkpoint.

#include <string>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "exec/engine/engine.h"

namespace bkf::engine {

namespace {

ExecResult one_row(const char* column, Value v) {
  std::vector<Row> rows(1);
  rows[0].push_back(std::move(v));
  return ExecResult::rows_of({column}, std::move(rows));
}

}  // namespace

// ---- transactions --------------------------------------------------------------

Result<ExecResult> Engine::run_begin() {
  BKF_TRY(begin_write());
  return ExecResult::ok();
}

Result<ExecResult> Engine::run_commit() {
  if (!pager_->in_transaction()) {
    BKF_TRY(pager_->commit());  // reports that there is nothing to commit
    return ExecResult::ok();
  }
  // A failed commit is rolled back, so the transaction never outlives it.
  BKF_TRY(commit_write());
  return ExecResult::ok();
}

Result<ExecResult> Engine::run_rollback() {
  if (!pager_->in_transaction()) {
    BKF_TRY(pager_->rollback());  // reports that there is nothing to roll back
    return ExecResult::ok();
  }
  Status st = pager_->rollback();
  catalog_->restore();
  BKF_TRY(std::move(st));
  return ExecResult::ok();
}

// ---- pragmas ---------------------------------------------------------------------

Result<ExecResult> Engine::run_pragma(const Statement::Pragma& s) {
  const std::string name = ascii_lower(s.name);

  if (name == "journal_mode") {
    if (s.value) {
      const std::string v = ascii_lower(*s.value);
      if (v == "wal") {
        BKF_TRY(pager_->set_journal_mode_wal());
      } else if (v == "delete") {
        BKF_TRY(pager_->set_journal_mode_delete());
      } else {
        return Error::exec("unsupported journal_mode: " + v);
      }
    }
    return one_row("journal_mode", Value::text(pager_->is_wal() ? "wal" : "delete"));
  }

  if (name == "synchronous") {
    if (s.value) {
      const std::string v = ascii_lower(*s.value);
      std::uint8_t level;
      if (v == "0" || v == "off") level = 0;
      else if (v == "1" || v == "normal") level = 1;
      else if (v == "2" || v == "full") level = 2;
      else return Error::exec("unsupported synchronous: " + v);
      pager_->set_synchronous(level);
    }
    return one_row("synchronous", Value::integer(pager_->synchronous()));
  }

  if (name == "integrity_check") {
    std::vector<std::string> problems =
        BKF_TRY(with_read_lock([&] { return catalog_->integrity_check(*pager_); }));
    std::vector<Row> rows;
    if (problems.empty()) {
      rows.emplace_back().push_back(Value::text("ok"));
    } else {
      rows.reserve(problems.size());
      for (std::string& p : problems) rows.emplace_back().push_back(Value::text(std::move(p)));
    }
    return ExecResult::rows_of({"integrity_check"}, std::move(rows));
  }

  if (name == "reindex") {
    // The value names a table, matched exactly as written.
    std::optional<std::string_view> table;
    if (s.value) table = *s.value;
    std::size_t n = BKF_TRY(autocommit([&] { return catalog_->reindex(*pager_, table); }));
    return one_row("reindex", Value::text("rebuilt " + std::to_string(n) + " index(es)"));
  }

  if (name == "wal_checkpoint") {
    BKF_TRY(pager_->wal_checkpoint());
    return ExecResult::ok();
  }

  return Error::exec("unknown pragma: " + name);
}

}  // namespace bkf::engine
