// Access paths and the nested loops of a query (or of an UPDATE or DELETE).
//
// Every FROM entry is one loop level, the first one outermost. Each level
// gets an access path from the comparisons that constrain it:
//   - Scan: the whole table in row-id order;
//   - Rowid: a row-id point or range (row id = k, or bounds by <, <=, >, >=);
//   - Index: an index whose leading columns are bound by = and whose next
//     column may carry a range.
// The comparisons come from the level's ON condition and, for the first
// level and for inner-joined levels, from the top-level WHERE conjuncts. A
// key (the other side of such a comparison) must be computable before the
// level is positioned: a constant, a `?` or sub-program parameter, or an
// expression over earlier levels. Keys are evaluated at run time, so a
// prepared `WHERE id = ?` seeks.
//
// An access path only narrows the rows visited: the whole ON condition and
// every WHERE conjunct are still tested on every row, and each path visits
// a superset of the rows its comparisons accept, so the result never
// depends on whether an index exists. Comparisons between a number and a
// text are numeric while index keys order numbers before texts before
// blobs, so an index probe walks up to five regions of the index for one
// comparison (a column value v, key k):
//   R1  reals that are NaN with the sign bit set (below -inf)
//   R2  the ordinary numbers, where k (or the number a text k reads as)
//       narrows the interval; -0.0 and 0.0 are taken together
//   R3  NaNs with the sign bit clear (above +inf)
//   R4  texts: all of them against a numeric k, the interval of a text k
//   R5  blobs: the interval of a blob k, all of them above a non-blob lower
//       bound
// NaN compares equal to every number and every text, so R1 and R3 belong to
// every numeric or text comparison that admits equality. A Null key
// matches nothing and skips the probe. For the levels of a join, which probe
// once per outer row, the program checks once per run which regions of the
// index hold any entry and skips the empty ones.
//
// Row-id paths seek on the key and stop with the very comparison of the
// condition (the row-id order is monotone in every comparison), so they are
// exact at their end and start at or before their first row.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "base/result.h"
#include "catalog/catalog.h"
#include "exec/compile/compile_expr.h"
#include "exec/compile/gen.h"
#include "exec/compile/scope.h"
#include "sql/ast.h"

namespace bkf::compile {

enum class CmpOp : std::uint8_t { Eq, Lt, Le, Gt, Ge };

// One comparison `column op key` that can drive an access path.
struct KeyBound {
  CmpOp op = CmpOp::Eq;
  const Expr* key = nullptr;
  const Expr* source = nullptr;  // the conjunct it came from
};

struct AccessPlan {
  enum class Kind : std::uint8_t { Scan, Rowid, Index };
  Kind kind = Kind::Scan;
  // Rowid: an equality, or a lower and/or upper bound.
  // Index: `eq` binds the leading index columns (in index order); lower and
  // upper bound the next column.
  std::optional<KeyBound> rowid_eq;
  std::vector<KeyBound> eq;
  std::optional<KeyBound> lower, upper;
  const IndexDef* index = nullptr;
};

// Chooses the access path of `level` from the candidate conditions (top-level
// conjuncts). Preference: row-id equality; the index with the most leading
// columns bound by = (an earlier index wins ties), with a range on its next
// column if one is there; the first index with a range on its first column;
// a row-id range; a scan.
AccessPlan plan_access(const Ctx& ctx, std::uint32_t level, const std::vector<const Expr*>& conds,
                       const Catalog& catalog);

// One level of the loop nest.
struct NestLevel {
  JoinKind kind = JoinKind::Inner;
  const Expr* on = nullptr;
  AccessPlan plan;
  // Index path whose table row is read only when the index entry alone
  // cannot prove the ON equality (the row is then read and ON tested).
  bool index_only = false;
  // LEFT level whose WHERE demands its row id be NULL: the first match ends
  // the outer row.
  bool not_matched = false;
  std::vector<const Expr*> conds;  // WHERE conjuncts tested at this level
};

class LoopNest {
 public:
  LoopNest(Gen& gen, const Ctx& ctx, const Catalog& catalog) : g_(gen), ctx_(ctx), catalog_(catalog) {}

  std::vector<NestLevel> levels;
  std::vector<const Expr*> pre_conds;  // conjuncts reading no table, tested once

  // Sets up one level per scope (join kinds and ON conditions from `from`
  // when given), chooses the access paths and places the WHERE conjuncts:
  // each at the deepest level it reads; at the innermost level when it holds
  // a subquery, when a LEFT level lies between, or when a name in it does not
  // resolve; before the loops when it reads no table.
  void plan(const Expr* where, const std::vector<JoinedTable>* from);

  // Emits the index opens, the loops, body() innermost, and the loop ends.
  // The instruction after the loops is where `exit` jumps go.
  Status emit(const std::function<Status()>& body);
  Label exit;

 private:
  static constexpr std::uint32_t kNoReg = UINT32_MAX;

  // One probe segment of an index path: a key interval [lo, hi) of bound
  // keys, visited when `en` is true; `ex` tells whether every entry in it is
  // known to satisfy the ON equality without reading the row.
  struct Segment {
    std::uint32_t en = 0, lo = 0, hi = 0, ex = 0;
  };

  // Code positions and registers of one level while its loop is emitted.
  struct LevelState {
    std::uint32_t cur = 0;   // table cursor
    std::uint32_t icur = 0;  // index cursor (Index paths)
    std::uint32_t flag = kNoReg;      // LEFT: a row matched
    std::uint32_t nullpass = kNoReg;  // LEFT index level: in the null-row pass
    std::uint32_t body = 0;           // where the loop instruction jumps back to
    std::uint32_t inner = 0;          // after the ON test and the flag update
    Label cont;                       // next candidate row
    Label done;                       // level exhausted
    Label after_null;                 // past the null-row block
    Label next_segment;               // Index: the current segment is exhausted
    std::uint32_t single = kNoReg;    // Rowid equality: positioned by SeekRowid
    std::uint32_t exact_entry = kNoReg;  // Rowid equality: the jump into the body after SeekRowid
    std::vector<Segment> segs;        // Index: the probe segments
    std::vector<std::uint32_t> seg_blocks;  // Index: first instruction of each segment's block
    std::uint32_t seg_no = kNoReg, ucur = kNoReg, curex = kNoReg;
    std::uint32_t region_exists[5] = {kNoReg, kNoReg, kNoReg, kNoReg, kNoReg};
  };
  Status open_level(std::size_t k, LevelState& st);
  Status close_level(std::size_t k, LevelState& st);
  Status emit_rowid_open(std::size_t k, LevelState& st);
  Status emit_index_open(std::size_t k, LevelState& st);
  Status emit_on_test(std::size_t k, LevelState& st);
  // Whether the ON test of level k holds on every row its row-id equality
  // seek finds with an integer key (see emit_rowid_open).
  bool on_is_exact_key_test(std::size_t k) const;
  Status test_to(const Expr& cond, Label& on_false, std::optional<std::uint32_t> max_level);

  Gen& g_;
  const Ctx& ctx_;
  const Catalog& catalog_;
  std::vector<LevelState> states_;
};

}  // namespace bkf::compile
