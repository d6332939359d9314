// The workload of the kill test and the multi-process test: random work
// against one database, with an exact model of what the database must hold.
//
// Tables: kv (id INTEGER PRIMARY KEY, k INT UNIQUE, v INT, tag TEXT, body
// TEXT, then the columns ADD COLUMN appended) and c (id INTEGER PRIMARY KEY, n INT),
// whose one row is the shared counter. Every worker owns the row ids of its
// own range and touches no others, so its model of those rows stays exact
// while other processes write theirs; k is derived from the row id, so the
// unique index never sees two workers' values collide.
//
// The model changes only through ops, one text line each (also the lines of
// the ledger):
//   I id k v tag body  insert a row (added columns take their defaults)
//   U id col cell    set column number col of a row
//   D id             delete a row
//   A name cell      add a column with that default
//   X name / Y name  create / drop one of the optional indexes
//   N n              set the counter
//   M wal|delete     switch the journal mode
// A cell is an integer, NULL, or a text of one repeated letter written
// "c*1200" (the workload writes no other text), so the ledger stays small
// even when rows spill onto overflow pages.
//
// The ledger (side file) records, before every commit, the transaction's
// ops ("T seq", the ops, "E"), and after it the acknowledgement ("K seq"),
// each synced before going on. Replaying it gives the model after the last
// acknowledged commit and, when the last transaction was not acknowledged,
// the model with it applied: after a kill the database must hold one of the
// two.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "exec/engine/database.h"
#include "pager/vfs.h"

namespace bkf::reliability {

using Cell = std::string;

// The value a cell stands for, as SQL literal text.
std::string cell_sql(const Cell& c);

struct Model {
  std::vector<std::string> columns{"id", "k", "v", "tag", "body"};
  std::vector<Cell> defaults;  // of the added columns, in order
  std::map<std::int64_t, std::vector<Cell>> rows;
  std::set<std::string> indexes{"kv_v"};  // optional indexes that exist
  std::int64_t counter = 0;
  bool wal = false;

  // Applies one op line; false when it does not parse or does not fit.
  bool apply(const std::string& op);
  // The ops that rebuild this model from the initial one.
  std::vector<std::string> snapshot() const;
  // What the database shows: everything but the defaults.
  bool same_content(const Model& o) const {
    return columns == o.columns && rows == o.rows && indexes == o.indexes && counter == o.counter && wal == o.wal;
  }
};

// The first difference between two models, for failure messages.
std::string first_difference(const Model& want, const Model& got);

// The optional indexes a workload may create and drop, by name.
const std::vector<std::pair<std::string, std::string>>& optional_indexes();

// Creates the tables (and kv_v) in a new database, as the initial Model.
Status create_schema(Database& db);

// Reads what the database holds into a model: rows with ids in [lo, hi],
// the counter, the journal mode and, when `indexes`, which optional indexes
// exist. Problems go to `err`.
std::optional<Model> read_model(Database& db, std::int64_t lo, std::int64_t hi, bool indexes, std::string& err);

class Ledger {
 public:
  struct Replay {
    Model acked;
    std::optional<Model> in_flight;
    std::uint64_t last_seq = 0;
    std::string error;
  };
  static Replay replay(const std::string& path);
  // Replaces the ledger by one acknowledged snapshot of `m` (written aside,
  // synced, renamed over).
  static bool rewrite(const std::string& path, const Model& m, std::uint64_t seq);

  // Appends to the ledger at path; an empty path keeps none.
  explicit Ledger(const std::string& path);
  ~Ledger();
  Ledger(const Ledger&) = delete;
  Ledger& operator=(const Ledger&) = delete;
  bool intend(std::uint64_t seq, const std::vector<std::string>& ops);
  bool acknowledge(std::uint64_t seq);

 private:
  bool append(const std::string& text);
  int fd_ = -1;
};

struct WorkloadOptions {
  int worker = 0;           // owns the row ids of range(worker)
  bool sole_writer = true;  // the only process: ADD COLUMN, tracked indexes, whole-table checks
  std::uint64_t seed = 1;
  std::string ledger;            // side file, or none
  int ack_fd = -1;               // gets a byte after every acknowledged commit
  std::uint64_t iterations = 0;  // transactions to run; 0: until killed
  Vfs* vfs = nullptr;            // file layer; null: the operating system's
};

struct WorkloadStats {
  std::uint64_t statements = 0;  // statements and pragmas run
  std::uint64_t commits = 0;     // transactions that committed
  std::uint64_t rollbacks = 0;   // explicit ROLLBACKs
  std::uint64_t checks = 0;      // reads compared with the model
  std::int64_t increments = 0;   // committed counter increments
  std::uint64_t rows = 0;        // rows of this worker at the end
};

// First and last row id of a worker.
std::int64_t range_lo(int worker);
std::int64_t range_hi(int worker);
// Row ids bound in both directions by this cover every row.
inline constexpr std::int64_t kAnyRowId = std::int64_t{1} << 62;

// Runs the workload. In a sole writer the model starts from the ledger; a
// worker among several starts with no rows of its own and counts only its
// own increments. Returns an empty text, or what went wrong.
std::string run_workload(const std::string& db_path, const WorkloadOptions& opts, WorkloadStats& stats);

}  // namespace bkf::reliability
