// Vm: the virtual machine that runs one Program once.
//
// The database engine makes a machine per execution of a statement:
//
//   Vm vm(pager, binds);                 // binds: the statement's ? values
//   BKF_TRY(vm.run(program));            // program.validate() done once after compiling
//   std::vector<Row> rows = vm.take_rows();        // SELECT
//   std::uint64_t n = vm.changes();                // INSERT, UPDATE, DELETE
//   std::int64_t id = vm.last_rowid();
//
// and then applies apply_post_run (post_run.h) to the rows of a query. A
// prepared statement may keep its machine instead and call rearm(binds)
// before each run, which reuses the registers, slots and buffers.
//
// The machine owns its registers (at least one), its table- and
// index-cursor slots, the result rows, the rows UPDATE postponed, the
// grouping state, the spool, the IN items read from the run's values and
// the cache of correlated subquery results; it borrows the pager and the bind values for its whole life and the
// program for the length of the run. The pager must already hold the lock
// (or the write transaction) the statement needs; the machine never begins,
// commits or rolls back. On a failed run the rows emitted and the pages
// written so far stay, and the records an UPDATE postponed for rows it had
// finished are written before run() returns: every row a failed statement
// touched is then whole, its record and its index keys in step, as a failed
// statement inside BEGIN leaves its changes in the open transaction. The
// caller's transaction handling undoes writes.
//
// A correlated scalar subquery runs on a child machine over the same pager
// and the same binds (a ? inside a subquery reads the statement's value),
// with the caller's argument values as its parameters. The child's rows go
// through apply_post_run, so the subquery's own ORDER BY, DISTINCT, OFFSET
// and LIMIT decide which row is first; its value is that row's first column,
// or Null without a row. Results are cached per run under the sub-program
// and the exact record bytes of the arguments (Int 1 and Real 1.0, -0.0 and
// 0.0, and integers beyond 2^53 are all different arguments).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/result.h"
#include "exec/vm/agg.h"
#include "exec/vm/group_index.h"
#include "exec/vm/program.h"
#include "record/sort.h"
#include "record/value.h"

namespace bkf {
class Pager;
}

namespace bkf::vm {

struct TableSlot;
struct IndexSlot;
// Deletes cursor slots where their types are complete (the cursor files).
struct SlotDelete {
  void operator()(TableSlot* t) const noexcept;
  void operator()(IndexSlot* t) const noexcept;
};

class Vm {
 public:
  // Both references must outlive the machine.
  Vm(Pager& pager, std::span<const Value> binds);
  ~Vm();
  Vm(const Vm&) = delete;
  Vm& operator=(const Vm&) = delete;

  // Runs the program from its first instruction until Halt, a jump to the
  // end or the last instruction; the first error ends the run. A machine
  // runs once (a second call fails with an internal error) unless rearm()
  // is called in between. A program that is not validated in its present
  // shape is checked first.
  Status run(const Program& program);

  // Makes the machine ready for another run, with these bind values (which
  // must outlive it), exactly as a new machine on the same pager would be,
  // but keeping its storage: registers, cursor slots with their row and key
  // buffers, scratch space. A prepared statement that keeps one machine and
  // rearms it for each execution allocates nothing per run beyond its
  // result rows. The previous run's rows, counters, deferred rows and
  // subquery cache are dropped; no cursor keeps a position or a page.
  void rearm(std::span<const Value> binds);

  // Makes the next run a check: it stops, successfully, at its first
  // instruction that would write (Insert, DeleteCurrent, TruncateFrom,
  // UpdateCurrent, ApplyDeferred, IdxInsert, IdxInsertUnique, IdxDelete),
  // so that it succeeds exactly when the statement's rows pass every check
  // that comes before their writes. The rows in `gone` (which must outlive
  // the run) count as deleted for the UNIQUE instructions, RowidGuard and
  // the row-id overflow check of NewRowid. A REPLACE checks its new row this
  // way before it deletes the rows it displaces. rearm() ends it.
  void check_only(std::span<const std::int64_t> gone);

  // Unpins every page the cursors of this machine and of its subquery
  // machines hold, and forgets the bind values. A machine kept between runs
  // calls it after each run, so that it holds nothing of the pager's cache
  // (which may be emptied, or the pager closed) until the next rearm().
  void release_pages() noexcept;
  Pager& pager() const noexcept { return pager_; }

  // For a query whose rows the caller sorts and cuts to their first k (its
  // ORDER BY, no DISTINCT, OFFSET + LIMIT = k; see apply_post_run): the run
  // keeps only rows that can be among those k, so it holds O(k) rows rather
  // than all of them. A row that k kept rows precede is dropped as it is
  // emitted. rows() then holds a subset of the rows that contains the first
  // k (in no particular order) and rows_emitted() counts every row emitted.
  // Called before run(); rearm() ends it. Without ORDER BY keys, with
  // DISTINCT, or for a very large k it does nothing.
  void keep_first_rows(std::uint64_t k);
  bool keeps_first_rows() const noexcept { return first_.on; }
  std::uint64_t rows_emitted() const noexcept { return first_.emitted; }

  // The result rows in emission order; take_rows() moves them out.
  const std::vector<Row>& rows() const noexcept { return rows_; }
  std::vector<Row> take_rows() noexcept { return std::move(rows_); }
  std::vector<Row> into_output() && noexcept { return std::move(rows_); }
  // Rows inserted, deleted or rewritten (counted when written).
  std::uint64_t changes() const noexcept { return changes_; }
  // Row id of the latest Insert; 0 until one ran.
  std::int64_t last_rowid() const noexcept { return last_rowid_; }

  // How often ScalarSub ran a sub-program, and how often it found the value
  // in the cache instead (diagnostics and tests).
  std::uint64_t subquery_runs() const noexcept { return subquery_runs_; }
  std::uint64_t subquery_cache_hits() const noexcept { return subquery_cache_hits_; }

 private:
  struct Group {
    std::string key;                // identity key of the group's values
    std::vector<Value> key_values;  // the key registers of the group's first row
    std::vector<AggAcc> accs;       // one per AggSpec
  };

  Status exec(const Program& p);
  Status init_run(const Program& p);
  // ResultRow under keep_first_rows.
  void keep_row(const Value* values, std::uint32_t count);

  // Helpers of the instruction groups (vm.cc, vm_group.cc, vm_spool.cc,
  // vm_subquery.cc, vm_table.cc, vm_index.cc).
  std::string& blob_dest(std::uint32_t dest, std::uint32_t start, std::uint32_t count, std::uint32_t also = ~0u);
  void finish_blob_dest(std::uint32_t dest);
  Status agg_start(std::uint32_t key_start, std::uint32_t key_count);
  void enter_group(std::uint32_t key_start, std::uint32_t key_count);
  Status agg_rewind(const Op& op, std::size_t& pc);
  void load_group_key(std::uint32_t dest, std::uint32_t count);
  Status scalar_sub(const Program& p, const Op& op);
  // Evaluates one sub-program argument into out (reusing its buffer).
  Status param_value(const ParamSrc& src, Value& out);
  // Puts the spooled rows in replay order (spool_order_).
  void spool_order_rows();
  void spool_load(std::uint32_t dest, std::uint32_t count);
  // The items of an InSet read from this run's `?` values and parameters,
  // read on first use in the run.
  const ValueSet& run_set(const InSetSpec& spec, std::uint32_t set);

  TableSlot* table(std::uint32_t cur);
  IndexSlot* index(std::uint32_t cur);
  Status open_table(std::uint32_t cur, std::uint32_t root);
  Status null_row(std::uint32_t cur);
  Status rewind(std::uint32_t cur, bool& empty);
  Status next(std::uint32_t cur, bool& has_row);
  Status seek_rowid(std::uint32_t cur, const Value& key, bool& found);
  Status seek(std::uint32_t cur, const Value& key, bool& found);
  Status cursor_set_rowid(std::uint32_t cur, const Value& key);
  Status read_rowid(std::uint32_t cur, Value& out);
  Status read_column(std::uint32_t cur, std::uint32_t col, Value& out);
  Status count_rows(std::uint32_t cur, Value& out);
  Status make_updated_record(const Program& p, const Op& op);
  Status new_rowid(std::uint32_t cur, Value& out);
  Status insert(std::uint32_t cur, const Value& record, const Value& rowid);
  Status delete_current(std::uint32_t cur);
  Status truncate_from(std::uint32_t cur, const Value& key);
  Status update_current(std::uint32_t cur, const Value& record);
  Status apply_deferred(std::uint32_t cur);
  Result<bool> rowid_exists(std::uint32_t cur, const Value& key);
  void forget_hints(std::uint32_t root, const TableSlot* except);
  void reset_cursors(std::uint32_t root);

  Status open_index(std::uint32_t cur, std::uint32_t root);
  Status idx_insert(std::uint32_t cur, const Value& key);
  // The UNIQUE instructions (op.h): IdxInsertUnique, IdxConflictJump
  // (whether to jump), IdxUniqueGuard, IdxNextConflict.
  Status idx_insert_unique(const Program& p, const Op& op);
  Result<bool> idx_has_conflict(const Program& p, const Op& op);
  Status idx_unique_guard(const Program& p, const Op& op);
  Status idx_next_conflict(const Program& p, const Op& op);
  // What they share: the row id of the next entry of the slot's index that
  // conflicts with the op's values, walking `entries` (from the first entry
  // with their prefix when restart is set), passing over the row `own` and
  // the rows check_only() named; nothing when no entry is left.
  Result<std::optional<std::int64_t>> next_conflict(IndexSlot& slot, IndexCursor& entries, const Program& p,
                                                    const Op& op, bool restart, std::optional<std::int64_t> own);
  // The record UpdateCurrent postponed for row `rowid` of the table at
  // root, if any: the row's values as its index entries already have them.
  std::optional<std::string_view> pending_record(PageId root, std::int64_t rowid) const;
  Status idx_delete(std::uint32_t cur, const Value& key);
  Status idx_seek(std::uint32_t cur, const Value& prefix, bool& found);
  Status idx_next(std::uint32_t cur, bool& has_key);
  Status idx_rowid(std::uint32_t cur, Value& out);
  Result<bool> idx_prefix_matches(std::uint32_t cur, const Value& prefix);
  Result<bool> idx_below_bound(std::uint32_t cur, const Value& bound);
  Status idx_key_guard(std::uint32_t cur, const Value& key);
  Status idx_probe(const Op& op, bool& found);
  Status find_regions_with_entries(IndexSlot& slot);

  Pager& pager_;
  std::span<const Value> binds_;
  bool ran_ = false;
  // check_only(): stop at the first write; these rows count as deleted.
  bool check_only_ = false;
  std::span<const std::int64_t> gone_;
  bool is_gone(std::int64_t rowid) const noexcept;

  std::vector<Value> regs_;
  std::vector<std::unique_ptr<TableSlot, SlotDelete>> tables_;
  std::vector<std::unique_ptr<IndexSlot, SlotDelete>> indexes_;
  std::vector<Row> rows_;
  // Records UpdateCurrent postponed, for table cursor deferred_cur_, and
  // whether their row ids ascend (as an UPDATE, which rewrites rows in
  // row-id order, leaves them), so that pending_record can search them.
  std::vector<std::pair<std::int64_t, std::string>> deferred_;
  std::uint32_t deferred_cur_ = 0;
  bool deferred_ascending_ = true;
  std::vector<Value> params_;
  std::uint64_t changes_ = 0;
  std::int64_t last_rowid_ = 0;
  // A child that only needs its first rows stops after this many.
  std::uint64_t row_cap_ = ~std::uint64_t{0};

  // keep_first_rows. rows_[0, live) are the rows kept; the rows after them
  // are storage for the next ones. Once rows were dropped, rows_[k - 1] is
  // the k-th of all rows so far, which a new row must precede to be kept.
  struct FirstRows {
    bool on = false;
    bool dropped = false;
    std::size_t k = 0;
    std::size_t live = 0;
    std::uint64_t emitted = 0;
    std::vector<SortKey> keys;
    std::vector<Row> spare;  // storage of the selection
  };
  FirstRows first_;

  // Grouping. agg_specs_ points into the running program. Groups live on
  // the heap one by one (a machine without groups allocates nothing for
  // them); group_map_ finds a key's group. cur_accs_ is the accumulators of
  // the current group.
  const std::vector<AggSpec>* agg_specs_ = nullptr;
  std::vector<std::unique_ptr<Group>> groups_;
  AggAcc* cur_accs_ = nullptr;
  GroupIndex group_map_;
  IntGroupIndex<AggAcc> int_group_map_;  // single-Int keys already placed by group_map_
  std::uint32_t current_group_ = 0;
  bool has_group_ = false;
  std::vector<std::uint32_t> group_order_;
  std::size_t group_pos_ = 0;
  std::string key_scratch_;

  // Spool: rows of registers kept for a second pass.
  std::vector<Value> spool_values_;
  std::vector<std::size_t> spool_starts_;  // row i is values [starts[i], starts[i+1])
  std::vector<std::size_t> spool_order_;   // the rows to replay, in row-id order
  std::size_t spool_pos_ = 0;

  // Correlated subqueries. children_[i] is the machine that runs
  // sub-program i, rearmed for every run.
  std::unordered_map<std::string, Value, BytesHash, BytesEq> subquery_cache_;
  std::vector<std::unique_ptr<Vm>> children_;
  std::uint64_t subquery_runs_ = 0;
  std::uint64_t subquery_cache_hits_ = 0;
  std::string sub_key_scratch_;

  // InSet items read from the run's values, by InSet number.
  struct RunSet {
    ValueSet values;
    bool built = false;
  };
  std::vector<RunSet> run_sets_;

  // Scratch space reused by instructions.
  std::vector<Value> args_scratch_;
  std::vector<bool> flags_scratch_;
  std::string bytes_scratch_;
  std::string probe_;  // rows read by look-ups of their own (RowidExistsJump, RowidGuard)
  bool blob_via_scratch_ = false;
};

}  // namespace bkf::vm
