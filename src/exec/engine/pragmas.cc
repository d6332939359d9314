#include "exec/engine/pragmas.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "exec/engine/session.h"
#include "record/sort.h"

namespace bkf::engine {

namespace {

ExecResult one_row(const char* column, Value v) {
  std::vector<Row> rows(1);
  rows[0].push_back(std::move(v));
  return ExecResult::rows_of({column}, std::move(rows));
}

// reindex's result text, "rebuilt {n} index(es)", written into `buf`
// without allocating.
std::string_view reindex_text(std::size_t n, std::array<char, 48>& buf) {
  constexpr std::string_view kBefore = "rebuilt ";
  constexpr std::string_view kAfter = " index(es)";
  char* p = std::copy(kBefore.begin(), kBefore.end(), buf.data());
  p = std::to_chars(p, buf.data() + buf.size() - kAfter.size(), n).ptr;
  p = std::copy(kAfter.begin(), kAfter.end(), p);
  return std::string_view(buf.data(), static_cast<std::size_t>(p - buf.data()));
}

}  // namespace

Result<ExecResult> run_pragma(Session& session, const Statement::Pragma& s) {
  Pager& pager = session.pager();
  Catalog& catalog = session.catalog();
  const std::string name = ascii_lower(s.name);

  if (name == "journal_mode") {
    // The result is made before the switch, holding the longer of the two
    // names: a switch that was made is never reported as failed for want
    // of memory to report it (filling in the shorter name reuses the text).
    ExecResult out = one_row("journal_mode", Value::text("delete"));
    if (s.value) {
      const std::string v = ascii_lower(*s.value);
      if (v == "wal") {
        BKF_TRY(pager.set_journal_mode_wal());
      } else if (v == "delete") {
        BKF_TRY(pager.set_journal_mode_delete());
      } else {
        return Error::exec("unsupported journal_mode: " + v);
      }
    }
    out.rows[0][0].set_text(pager.is_wal() ? "wal" : "delete");
    return out;
  }

  if (name == "synchronous") {
    // Made before the level changes, so that a change made is never
    // reported as failed.
    ExecResult out = one_row("synchronous", Value::integer(pager.synchronous()));
    if (s.value) {
      const std::string v = ascii_lower(*s.value);
      std::uint8_t level;
      if (v == "0" || v == "off") level = 0;
      else if (v == "1" || v == "normal") level = 1;
      else if (v == "2" || v == "full") level = 2;
      else return Error::exec("unsupported synchronous: " + v);
      pager.set_synchronous(level);
    }
    out.rows[0][0].set_int(pager.synchronous());
    return out;
  }

  if (name == "integrity_check") {
    std::vector<std::string> problems =
        BKF_TRY(session.with_read_lock([&] { return catalog.integrity_check(pager); }));
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
    // As for journal_mode, the result is made before the transaction, its
    // text as long as the largest count makes it: a reindex that committed
    // is never reported as failed for want of memory to report it (writing
    // the count in reuses the text).
    std::array<char, 48> buf;
    ExecResult out = one_row("reindex", Value::text(reindex_text(std::numeric_limits<std::size_t>::max(), buf)));
    const std::size_t n = BKF_TRY(session.autocommit([&] { return catalog.reindex(pager, table); }));
    out.rows[0][0].set_text(reindex_text(n, buf));
    return out;
  }

  if (name == "wal_checkpoint") {
    BKF_TRY(pager.wal_checkpoint());
    return ExecResult::ok();
  }

  return Error::exec("unknown pragma: " + name);
}

}  // namespace bkf::engine
