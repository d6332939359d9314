// The nested loops of a query (or of an UPDATE or DELETE).
//
// Every FROM entry is one loop level, the first one outermost, with the
// access path plan_access chooses for it (access_plan.h). An access path
// only narrows the rows visited: the whole ON condition and every WHERE
// conjunct are still tested on every row, and each path visits a superset
// of the rows its comparisons accept, so the result never depends on
// whether an index exists.
//
// An index path is one IdxProbe loop (op.h): the probe's values (the =
// keys, then the bounds) are evaluated into a block of registers, and the
// instruction walks the key ranges that keyenc::ProbeRanges computes from
// them (btree/key_ranges.h): the comparisons of the condition compare a
// number with a text numerically and take NaN as equal to every number and
// text, while index keys order numbers before texts before blobs, so one
// probe visits several ranges. A Null key matches nothing and ends the
// probe at once. The levels of a join, which probe once per outer row, skip
// the ranges in regions of the index that hold no entry.
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
#include "exec/compile/access_plan.h"
#include "exec/compile/compile_expr.h"
#include "exec/compile/gen.h"
#include "exec/compile/scope.h"
#include "sql/ast.h"

namespace bkf::compile {

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
    std::uint32_t single = kNoReg;    // Rowid equality: positioned by SeekRowid
    std::uint32_t exact_entry = kNoReg;  // Rowid equality: the jump into the body after SeekRowid
    std::uint32_t probe = 0;              // Index: the IdxProbe instruction
    std::uint32_t probe_state = kNoReg;   // Index: IdxProbe's three state registers
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
