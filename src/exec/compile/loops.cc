#include "exec/compile/loops.h"

#include "exec/compile/expr_util.h"

namespace bkf::compile {

// ---------------------------------------------------------------------------
// Planning

void LoopNest::plan(const Expr* where, const std::vector<JoinedTable>* from) {
  const std::size_t n = ctx_.scopes.size();
  levels.assign(n, NestLevel{});
  if (from) {
    for (std::size_t k = 0; k < n && k < from->size(); ++k) {
      if (k > 0) levels[k].kind = (*from)[k].kind;
      levels[k].on = (*from)[k].on.get();
    }
  }
  std::vector<const Expr*> wc;
  if (where) wc = conjuncts(*where);

  // Placement of the WHERE conjuncts.
  const std::size_t innermost = n - 1;
  for (const Expr* c : wc) {
    LevelUse use = level_use(*c, ctx_);
    if (use.subquery || use.unresolved) {
      levels[innermost].conds.push_back(c);
      continue;
    }
    if (use.deepest < 0) {
      pre_conds.push_back(c);
      continue;
    }
    std::size_t lv = static_cast<std::size_t>(use.deepest);
    for (std::size_t k = 1; k <= lv; ++k) {
      if (levels[k].kind == JoinKind::Left) {
        lv = innermost;
        break;
      }
    }
    levels[lv].conds.push_back(c);
  }

  // Access paths: ON conjuncts of the level, and the WHERE conjuncts unless
  // the level is the inner side of a LEFT JOIN (WHERE must see its null row).
  for (std::size_t k = 0; k < n; ++k) {
    std::vector<const Expr*> conds;
    if (levels[k].on) conds = conjuncts(*levels[k].on);
    if (levels[k].kind != JoinKind::Left) conds.insert(conds.end(), wc.begin(), wc.end());
    levels[k].plan = plan_access(ctx_, static_cast<std::uint32_t>(k), conds, catalog_);
  }

  // A last LEFT level whose row id WHERE requires to be NULL.
  if (n >= 2 && levels[innermost].kind == JoinKind::Left) {
    for (const Expr* c : wc) {
      const auto* isn = c->get_if<Expr::IsNull>();
      if (!isn || isn->negated) continue;
      const auto* col = isn->operand->get_if<Expr::Column>();
      if (!col) continue;
      Result<Resolved> r = ctx_.resolve(*col);
      if (r && r->level == innermost && r->is_rowid()) levels[innermost].not_matched = true;
    }
  }
}

// ---------------------------------------------------------------------------
// Emission

Status LoopNest::test_to(const Expr& cond, Label& on_false, std::optional<std::uint32_t> max_level) {
  ExprCompiler ec(g_, &ctx_);
  ec.set_max_level(max_level);
  std::uint32_t r = BKF_TRY(ec.compile(cond));
  on_false.add(g_.emit(Op::if_false(r, 0)));
  return {};
}

Status LoopNest::emit_on_test(std::size_t k, LevelState& st) {
  if (!levels[k].on) return {};
  return test_to(*levels[k].on, st.cont, static_cast<std::uint32_t>(k));
}

bool LoopNest::on_is_exact_key_test(std::size_t k) const {
  // The ON condition is the one comparison `row id = key` the level seeks
  // by, and the key reads the same value when evaluated again (a column, a
  // literal or a parameter). On a row SeekRowid found with an integer key it
  // compares two equal integers, so it holds.
  const NestLevel& lv = levels[k];
  if (!lv.on || !lv.plan.rowid_eq || lv.plan.rowid_eq->source != lv.on) return false;
  const auto* b = lv.on->get_if<Expr::Binary>();
  if (!b || b->op != BinaryOp::Eq) return false;
  switch (lv.plan.rowid_eq->key->kind()) {
    case ExprKind::Column:
    case ExprKind::Param:
    case ExprKind::SubParam:
    case ExprKind::Integer: return true;
    default: return false;
  }
}

Status LoopNest::emit_rowid_open(std::size_t k, LevelState& st) {
  const AccessPlan& plan = levels[k].plan;
  ExprCompiler keys(g_, &ctx_);
  const std::uint32_t cur = st.cur;

  // Start of a scan at or before the first row whose row id satisfies a
  // lower comparison with key register kreg (not Null): an integer seeks at
  // itself; a real or a text at the number it compares as, lowered by a
  // relative 2^-52 so that integers rounding up to it are not skipped (Seek
  // takes the ceiling of a real and starts at the first row for NaN and the
  // infinities); no row id compares >= a blob.
  auto lower_start = [&](std::uint32_t kreg, std::uint32_t type_int, bool known_not_int) -> std::uint32_t {
    std::uint32_t lo = g_.reg();
    std::uint32_t to_seek = 0;
    std::optional<std::uint32_t> j_nonint;
    if (!known_not_int) {
      j_nonint = g_.emit(Op::if_false(type_int, 0));
      g_.emit(Op::copy(kreg, lo));
      to_seek = g_.emit(Op::goto_(0));
      g_.patch_here(*j_nonint);
    }
    std::uint32_t t = g_.reg(), isblob = g_.reg();
    std::uint32_t args[1] = {kreg};
    g_.func(ScalarKind::Typeof, args, t);
    g_.emit(Op::binop(BinKind::Eq, t, g_.k_str("blob"), isblob));
    st.done.add(g_.emit(Op::if_true(isblob, 0)));
    std::uint32_t x = g_.reg(), a = g_.reg(), m = g_.reg();
    g_.emit(Op::cast(kreg, CastType::Real, x));
    std::uint32_t abs_args[1] = {x};
    g_.func(ScalarKind::Abs, abs_args, a);
    g_.emit(Op::binop(BinKind::Mul, a, g_.k_real(0x1p-52), m));
    g_.emit(Op::binop(BinKind::Sub, x, m, lo));
    if (!known_not_int) g_.patch_here(to_seek);
    return lo;
  };
  auto type_is_int = [&](std::uint32_t kreg) {
    std::uint32_t t = g_.reg(), b = g_.reg();
    std::uint32_t args[1] = {kreg};
    g_.func(ScalarKind::Typeof, args, t);
    g_.emit(Op::binop(BinKind::Eq, t, g_.k_str("integer"), b));
    return b;
  };
  auto null_ends = [&](std::uint32_t kreg) {
    std::uint32_t n = g_.reg();
    g_.emit(Op::is_null(kreg, false, n));
    st.done.add(g_.emit(Op::if_true(n, 0)));
  };

  if (plan.rowid_eq) {
    std::uint32_t kreg = BKF_TRY(keys.compile(*plan.rowid_eq->key));
    // An integer key (the common case) is tested first; only the others can
    // be Null, which matches nothing.
    std::uint32_t isint = type_is_int(kreg);
    st.single = g_.reg();
    std::uint32_t j_range = g_.emit(Op::if_false(isint, 0));
    g_.emit(Op::integer(1, st.single));
    st.done.add(g_.emit(Op::seek_rowid(cur, kreg, 0)));
    std::uint32_t j_body = g_.emit(Op::goto_(0));
    g_.patch_here(j_range);
    // Cleared before the Null test: a Null key ends the level with the
    // flag of this row, not of the row before, so the loop's Next runs.
    g_.emit(Op::integer(0, st.single));
    null_ends(kreg);
    std::uint32_t lo = lower_start(kreg, isint, true);
    st.done.add(g_.emit(Op::seek(cur, lo, 0)));
    st.body = g_.here();
    g_.patch(j_body, st.body);
    std::uint32_t r = g_.reg(), ok = g_.reg();
    g_.emit(Op::rowid(cur, r));
    g_.emit(Op::binop(BinKind::Le, r, kreg, ok));
    st.done.add(g_.emit(Op::if_false(ok, 0)));
    // A row SeekRowid found has the integer key as its row id, so the check
    // above holds there: that path enters after it (open_level may move the
    // entry past the ON test as well).
    g_.patch_here(j_body);
    st.exact_entry = j_body;
    return {};
  }

  std::optional<std::uint32_t> upper_reg;
  if (plan.upper) upper_reg = BKF_TRY(keys.compile(*plan.upper->key));
  if (plan.lower) {
    std::uint32_t kreg = BKF_TRY(keys.compile(*plan.lower->key));
    null_ends(kreg);
    std::uint32_t lo = lower_start(kreg, type_is_int(kreg), false);
    st.done.add(g_.emit(Op::seek(cur, lo, 0)));
  } else {
    st.done.add(g_.emit(Op::rewind(cur, 0)));
  }
  st.body = g_.here();
  if (upper_reg) {
    std::uint32_t r = g_.reg(), ok = g_.reg();
    g_.emit(Op::rowid(cur, r));
    BinKind op = plan.upper->op == CmpOp::Lt ? BinKind::Lt : BinKind::Le;
    g_.emit(Op::binop(op, r, *upper_reg, ok));
    st.done.add(g_.emit(Op::if_false(ok, 0)));
  }
  return {};
}

Status LoopNest::emit_index_open(std::size_t k, LevelState& st) {
  const NestLevel& lv = levels[k];
  const AccessPlan& plan = lv.plan;
  // The probe's values in one block: the keys of the leading columns'
  // equalities, then the bounds of the next column.
  std::vector<const Expr*> keys;
  for (const KeyBound& b : plan.eq) keys.push_back(b.key);
  std::uint8_t mode = 0;
  if (plan.lower) {
    keys.push_back(plan.lower->key);
    mode |= vm::kProbeLower;
  }
  if (plan.upper) {
    keys.push_back(plan.upper->key);
    mode |= vm::kProbeUpper;
  }
  // A join level probes once per outer row: it skips the empty regions.
  if (k > 0) mode |= vm::kProbeSkipEmptyRegions;
  const auto count = static_cast<std::uint32_t>(keys.size());
  const std::uint32_t block = g_.regs(count);
  ExprCompiler ec(g_, &ctx_);
  for (std::uint32_t i = 0; i < count; ++i) BKF_TRY(ec.compile_into(*keys[i], block + i));

  // state: the next range; state + 1: its upper bound; state + 2: whether
  // its entries satisfy the ON equality without reading the row.
  st.probe_state = g_.regs(3);
  g_.emit(Op::integer(0, st.probe_state));
  st.probe = g_.here();
  st.done.add(g_.emit(Op::idx_probe(st.icur, st.probe_state, 0, block, count, mode)));
  st.body = g_.here();
  g_.emit(Op::idx_range_guard(st.icur, st.probe_state + 1, st.probe));
  const std::uint32_t rowid = g_.reg();
  g_.emit(Op::idx_rowid(st.icur, rowid));
  if (lv.index_only) {
    std::uint32_t to_exact = g_.emit(Op::if_true(st.probe_state + 2, 0));
    st.cont.add(g_.emit(Op::seek_rowid(st.cur, rowid, 0)));
    BKF_TRY(emit_on_test(k, st));
    std::uint32_t to_join = g_.emit(Op::goto_(0));
    g_.patch_here(to_exact);
    g_.emit(Op::cursor_set_rowid(st.cur, rowid));
    g_.patch_here(to_join);
  } else {
    st.cont.add(g_.emit(Op::seek_rowid(st.cur, rowid, 0)));
  }
  return {};
}

Status LoopNest::open_level(std::size_t k, LevelState& st) {
  NestLevel& lv = levels[k];
  if (st.flag != kNoReg) g_.emit(Op::integer(0, st.flag));
  if (st.nullpass != kNoReg) g_.emit(Op::integer(0, st.nullpass));
  switch (lv.plan.kind) {
    case AccessPlan::Kind::Scan:
      st.done.add(g_.emit(Op::rewind(st.cur, 0)));
      st.body = g_.here();
      break;
    case AccessPlan::Kind::Rowid: BKF_TRY(emit_rowid_open(k, st)); break;
    case AccessPlan::Kind::Index: BKF_TRY(emit_index_open(k, st)); break;
  }
  if (!lv.index_only) BKF_TRY(emit_on_test(k, st));
  if (st.exact_entry != kNoReg && on_is_exact_key_test(k)) g_.patch_here(st.exact_entry);
  if (lv.not_matched) {
    states_[k - 1].cont.add(g_.emit(Op::goto_(0)));
  } else if (st.flag != kNoReg) {
    g_.emit(Op::integer(1, st.flag));
  }
  st.inner = g_.here();
  for (const Expr* c : lv.conds) BKF_TRY(test_to(*c, st.cont, std::nullopt));
  return {};
}

Status LoopNest::close_level(std::size_t k, LevelState& st) {
  NestLevel& lv = levels[k];
  st.cont.resolve_here(g_);
  switch (lv.plan.kind) {
    case AccessPlan::Kind::Scan: g_.emit(Op::next(st.cur, st.body)); break;
    case AccessPlan::Kind::Rowid:
      if (st.single != kNoReg) st.done.add(g_.emit(Op::if_true(st.single, 0)));
      g_.emit(Op::next(st.cur, st.body));
      break;
    case AccessPlan::Kind::Index:
      if (st.nullpass != kNoReg) st.after_null.add(g_.emit(Op::if_true(st.nullpass, 0)));
      g_.emit(Op::idx_next(st.icur, st.body));
      g_.emit(Op::goto_(st.probe));  // the next range
      break;
  }
  st.done.resolve_here(g_);
  if (lv.kind == JoinKind::Left && k > 0) {
    st.after_null.add(g_.emit(Op::if_true(st.flag, 0)));
    g_.emit(Op::integer(1, st.flag));
    if (st.nullpass != kNoReg) g_.emit(Op::integer(1, st.nullpass));
    g_.emit(Op::null_row(st.cur));
    g_.emit(Op::goto_(st.inner));
  }
  st.after_null.resolve_here(g_);
  return {};
}

Status LoopNest::emit(const std::function<Status()>& body) {
  const std::size_t n = levels.size();
  states_.clear();
  states_.resize(n);

  for (const Expr* c : pre_conds) BKF_TRY(test_to(*c, exit, std::nullopt));

  for (std::size_t k = 0; k < n; ++k) {
    LevelState& st = states_[k];
    st.cur = static_cast<std::uint32_t>(k);
    if (k > 0 && levels[k].kind == JoinKind::Left) {
      st.flag = g_.reg();
      if (levels[k].plan.kind == AccessPlan::Kind::Index) st.nullpass = g_.reg();
    }
    if (levels[k].plan.kind != AccessPlan::Kind::Index) continue;
    st.icur = g_.index_cursor();
    g_.emit(Op::open_index(st.icur, levels[k].plan.index->root));
  }

  for (std::size_t k = 0; k < n; ++k) BKF_TRY(open_level(k, states_[k]));
  BKF_TRY(body());
  for (std::size_t k = n; k-- > 0;) BKF_TRY(close_level(k, states_[k]));
  exit.resolve_here(g_);
  return {};
}

}  // namespace bkf::compile
