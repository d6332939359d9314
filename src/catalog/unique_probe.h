// UNIQUE conflicts: which entries of a UNIQUE index hold values equal to
// new ones. Every path that decides a UNIQUE conflict decides it here: the
// statements' checks in the virtual machine (INSERT, INSERT IGNORE, REPLACE,
// ON DUPLICATE KEY UPDATE, UPDATE), and CREATE UNIQUE INDEX, reindex and the
// integrity check in the catalog.
//
// Index keys hold each number as its nearest double (btree/keyenc.h), so
// integers beyond 2^53 that round to one double share a key prefix while
// being different values. An entry therefore conflicts with new values when
//   - its key begins with the key prefix of the new values, and
//   - the values its row holds at the index's columns equal the new values
//     under SQL `=` (two integers exactly; an integer and a real, or two
//     reals, as doubles, a NaN equal to every number; texts and blobs by
//     their bytes), a Null meeting a Null, as UNIQUE has always counted it.
// Several entries may share the prefix of distinct values, so a probe walks
// every entry with the prefix, not just the first. `=` is not transitive
// across the shared prefix: a real may equal two stored integers that are
// not equal to each other, and then conflicts with both.
//
// When the prefix decides alone. Two value lists with one key prefix hold,
// position by position, values of one encoding: Null and Null; texts (or
// blobs) with the same bytes, which are equal; or numbers that are the same
// double d, bit for bit. Two such numbers are equal under `=` as soon as
// one of them is a Real, since `=` then compares doubles; two Ints compare
// exactly and differ only when they round to d without both being d, which
// needs |d| >= 2^53: every integer of smaller magnitude is a double of its
// own, and rounding is monotonic with 2^53 itself exact, so no integer of
// magnitude 2^53 or more rounds below it. (A NaN equals every number under
// `=`, so the same NaN bits decide too; -0.0 and 0.0 have different keys
// and so never reach this test.) Hence an entry's row needs reading only
// when one of the new values is an Int of magnitude at least 2^53; every
// other probe, which is what statements meet almost always, costs what a
// probe of the keys alone costs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/result.h"
#include "btree/index.h"
#include "pager/pager.h"
#include "record/value.h"

namespace bkf::catalog {

// Where the values behind an index's entries are read back: the rows of its
// table, by the row id that ends each entry.
struct IndexedRows {
  PageId table_root = 0;
  std::vector<std::size_t> positions;      // the indexed columns, in index order
  std::optional<std::size_t> rowid_alias;  // the table's row-id alias column
};

// The indexed values of one decoded row, into out: the row id for the
// table's row-id alias column (whose stored value may be anything, Null when
// the row was inserted without it, while every read of the column yields the
// row id), Null past the end of the row (a row stored before a column was
// added). The values every index key of the row is built from.
void pick_values(const std::vector<Value>& row, std::int64_t rowid, std::optional<std::size_t> rowid_alias,
                 std::span<const std::size_t> positions, std::vector<Value>& out);

// Whether an entry whose key begins with the key prefix of `values`
// conflicts with them without its row being read: false exactly when one of
// them is an Int of magnitude at least 2^53 (see the top of this file).
bool prefix_decides(std::span<const Value> values) noexcept;

// Whether two value lists of one index are equal for UNIQUE: pairwise `=`,
// a Null equal to a Null only. Lists of different lengths are not.
bool unique_equal(std::span<const Value> a, std::span<const Value> b) noexcept;

// A probe of one UNIQUE index for new values: walks the entries whose key
// begins with the values' key prefix and tells which of them conflict. A
// caller that keeps one probe reuses its buffers, so probing allocates
// nothing once they have grown.
//
//   BKF_TRY(probe.start(entries, values));
//   while (std::optional<std::int64_t> id = BKF_TRY(probe.next(entries))) {
//     if (BKF_TRY(probe.conflicts(pager, rows, *id))) ...;
//   }
class UniqueProbe {
 public:
  // Positions `entries`, a cursor over the index, before the first entry
  // whose key begins with the key prefix of values. The values must stay
  // unchanged while the probe uses them.
  Status start(IndexCursor& entries, std::span<const Value> values);

  // The row id of the next entry with the prefix, moving `entries` past it;
  // nothing once the entries with the prefix are done. Corrupt when a key is
  // too short to hold a row id.
  Result<std::optional<std::int64_t>> next(IndexCursor& entries);

  // Whether the entry of row `rowid` (one next() gave) conflicts with the
  // probed values. True at once when the prefix decides; otherwise the
  // row's values are read, from `record` when given (the row's record while
  // it is not yet written to the table) or else from the table, and
  // compared. Corrupt when the row is missing (an orphaned entry) or its
  // record is damaged.
  Result<bool> conflicts(Pager& pager, const IndexedRows& rows, std::int64_t rowid,
                         std::optional<std::string_view> record = std::nullopt);

 private:
  std::span<const Value> values_;
  bool prefix_decides_ = true;
  std::string prefix_, key_, payload_;
  std::vector<Value> row_, stored_;
};

// Finds entries of a UNIQUE index whose rows hold equal values, given the
// entries in key order (as an integrity check walks them), each with the
// values of its row. Entries with one key prefix lie together as a run, and
// only entries of one run can hold equal values. An entry whose values the
// prefix decides (prefix_decides) equals every other entry of its run, so
// the first such entry is all a run needs to remember of them. The others
// hold an integer of magnitude 2^53 or more: those without a real of that
// magnitude are found by the identity key of their values (keyenc.h: equal
// exactly when the values are, since every value of the run encodes like
// theirs), while those with one, which may equal integers that are not
// equal to each other, are compared one by one. A run of n entries thus
// costs n lookups plus n comparisons per such real, not n^2 comparisons,
// and a run of values the prefix decides stores nothing.
class DuplicateFinder {
 public:
  // Starts a new run when key's prefix (the key without its row id)
  // differs from the run's, then looks for an earlier entry of the run
  // whose values equal `values`, and adds this one. The row id of such an
  // entry, or nothing. Entries whose values do not match their keys (stale
  // ones) must not be given.
  std::optional<std::int64_t> add(std::string_view key, std::int64_t rowid, std::span<const Value> values);

 private:
  void store(std::int64_t rowid, std::span<const Value> values);

  struct Entry {
    std::int64_t rowid = 0;
    std::vector<Value> values;
  };
  std::string prefix_;
  std::optional<std::int64_t> first_;    // the run's first entry
  std::optional<std::int64_t> decider_;  // its first entry whose values the prefix decides
  // The run's other entries, [0, count_) of stored_ (kept to be reused),
  // and which of them hold a real of magnitude 2^53 or more.
  std::vector<Entry> stored_;
  std::size_t count_ = 0;
  std::vector<std::size_t> loose_;
  std::unordered_map<std::string, std::int64_t> by_identity_;  // the stored entries that are not loose
  std::string identity_;
};

}  // namespace bkf::catalog
