#include "exec/compile/loops.h"

#include "btree/keyenc.h"

#include <limits>
#include <map>

#include "exec/compile/expr_util.h"
#include "exec/compile/expr_walk.h"

namespace bkf::compile {

// ---------------------------------------------------------------------------
// Planning

namespace {

std::optional<CmpOp> cmp_op(BinaryOp op) {
  switch (op) {
    case BinaryOp::Eq: return CmpOp::Eq;
    case BinaryOp::Lt: return CmpOp::Lt;
    case BinaryOp::Le: return CmpOp::Le;
    case BinaryOp::Gt: return CmpOp::Gt;
    case BinaryOp::Ge: return CmpOp::Ge;
    default: return std::nullopt;
  }
}

// `k op c` read as `c op' k`.
CmpOp mirror(CmpOp op) {
  switch (op) {
    case CmpOp::Lt: return CmpOp::Gt;
    case CmpOp::Le: return CmpOp::Ge;
    case CmpOp::Gt: return CmpOp::Lt;
    case CmpOp::Ge: return CmpOp::Le;
    case CmpOp::Eq: return CmpOp::Eq;
  }
  return op;
}

bool is_lower(CmpOp op) { return op == CmpOp::Gt || op == CmpOp::Ge; }

// A key can be evaluated before `level` is positioned: it reads only earlier
// levels (or nothing) and holds no aggregate, subquery or IN list.
bool key_available(const Expr& key, const Ctx& ctx, std::uint32_t level) {
  return !any_node(key, [&](const Expr& x) {
    switch (x.kind()) {
      case ExprKind::Column: {
        Result<Resolved> r = ctx.resolve(x.as<Expr::Column>());
        return !r || r->level >= level;
      }
      case ExprKind::Aggregate:
      case ExprKind::Subquery:
      case ExprKind::InSelect:
      case ExprKind::InList: return true;
      default: return false;
    }
  });
}

struct ColumnCands {
  std::vector<KeyBound> eq, lower, upper;
};

}  // namespace

AccessPlan plan_access(const Ctx& ctx, std::uint32_t level, const std::vector<const Expr*>& conds,
                       const Catalog& catalog) {
  ColumnCands rowid;
  std::map<std::uint32_t, ColumnCands> cols;

  auto orient = [&](const Expr& col_side, const Expr& key_side, CmpOp op, const Expr* source) {
    const auto* c = col_side.get_if<Expr::Column>();
    if (!c) return false;
    Result<Resolved> r = ctx.resolve(*c);
    if (!r || r->level != level) return false;
    if (!key_available(key_side, ctx, level)) return false;
    ColumnCands& cands = r->is_rowid() ? rowid : cols[*r->column];
    KeyBound b{op, &key_side, source};
    if (op == CmpOp::Eq) cands.eq.push_back(b);
    else if (is_lower(op)) cands.lower.push_back(b);
    else cands.upper.push_back(b);
    return true;
  };
  for (const Expr* cond : conds) {
    const auto* b = cond->get_if<Expr::Binary>();
    if (!b) continue;
    std::optional<CmpOp> op = cmp_op(b->op);
    if (!op) continue;
    if (!orient(*b->left, *b->right, *op, cond)) orient(*b->right, *b->left, mirror(*op), cond);
  }

  AccessPlan plan;
  if (!rowid.eq.empty()) {
    plan.kind = AccessPlan::Kind::Rowid;
    plan.rowid_eq = rowid.eq.front();
    return plan;
  }

  const TableScope& scope = ctx.scopes[level];
  std::vector<const IndexDef*> indexes = catalog.indexes_for(scope.table->name);
  auto usable = [](const IndexDef* ix) {
    return !ix->column_positions.empty() && ix->column_positions.size() == ix->columns.size();
  };
  const IndexDef* best = nullptr;
  std::size_t best_score = 0;
  for (const IndexDef* ix : indexes) {
    if (!usable(ix)) continue;
    std::size_t score = 0;
    while (score < ix->column_positions.size()) {
      auto it = cols.find(static_cast<std::uint32_t>(ix->column_positions[score]));
      if (it == cols.end() || it->second.eq.empty()) break;
      ++score;
    }
    if (score > best_score) {
      best = ix;
      best_score = score;
    }
  }
  auto attach_range = [&](const IndexDef* ix, std::size_t pos) {
    auto it = cols.find(static_cast<std::uint32_t>(ix->column_positions[pos]));
    if (it == cols.end()) return;
    if (!it->second.lower.empty()) plan.lower = it->second.lower.back();
    if (!it->second.upper.empty()) plan.upper = it->second.upper.back();
  };
  if (best) {
    plan.kind = AccessPlan::Kind::Index;
    plan.index = best;
    for (std::size_t i = 0; i < best_score; ++i) {
      plan.eq.push_back(cols[static_cast<std::uint32_t>(best->column_positions[i])].eq.back());
    }
    if (best_score < best->column_positions.size()) attach_range(best, best_score);
    return plan;
  }
  for (const IndexDef* ix : indexes) {
    if (!usable(ix)) continue;
    attach_range(ix, 0);
    if (plan.lower || plan.upper) {
      plan.kind = AccessPlan::Kind::Index;
      plan.index = ix;
      return plan;
    }
  }
  if (!rowid.lower.empty() || !rowid.upper.empty()) {
    plan.kind = AccessPlan::Kind::Rowid;
    if (!rowid.lower.empty()) plan.lower = rowid.lower.front();
    if (!rowid.upper.empty()) plan.upper = rowid.upper.front();
  }
  return plan;
}

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
  if (!b || cmp_op(b->op) != CmpOp::Eq) return false;
  switch (lv.plan.rowid_eq->key->kind()) {
    case ExprKind::Column:
    case ExprKind::Param:
    case ExprKind::SubParam:
    case ExprKind::Integer: return true;
    default: return false;
  }
}

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Run-time facts about one key value, computed by emitted code.
struct KeyInfo {
  std::uint32_t k = 0;
  std::uint32_t is_int = 0, is_text = 0, is_blob = 0;
  std::uint32_t nan = 0, zero = 0;
  std::uint32_t nlo = 0, nhi = 0;  // numeric interval of the key (NaN: all numbers)
};

// Emits the kind tests of key register k and its numeric interval: the
// number it compares as (its value, or the number a text reads as), widened
// to [-0.0, 0.0] for zero and to [-inf, inf] for NaN.
KeyInfo key_info(Gen& g, std::uint32_t k) {
  KeyInfo ki;
  ki.k = k;
  std::uint32_t t = g.reg();
  std::uint32_t args[1] = {k};
  g.func(ScalarKind::Typeof, args, t);
  ki.is_int = g.reg();
  g.emit(Op::binop(BinKind::Eq, t, g.k_str("integer"), ki.is_int));
  ki.is_text = g.reg();
  g.emit(Op::binop(BinKind::Eq, t, g.k_str("text"), ki.is_text));
  ki.is_blob = g.reg();
  g.emit(Op::binop(BinKind::Eq, t, g.k_str("blob"), ki.is_blob));
  std::uint32_t n = g.reg();
  g.emit(Op::cast(k, CastType::Real, n));
  // NaN compares equal to everything: it is the only value both >= inf and
  // <= -inf.
  std::uint32_t ge = g.reg(), le = g.reg();
  g.emit(Op::binop(BinKind::Ge, n, g.k_real(kInf), ge));
  g.emit(Op::binop(BinKind::Le, n, g.k_real(-kInf), le));
  ki.nan = g.reg();
  g.emit(Op::binop(BinKind::And, ge, le, ki.nan));
  std::uint32_t z = g.reg(), not_nan = g.reg();
  g.emit(Op::binop(BinKind::Eq, n, g.k_real(0.0), z));
  g.emit(Op::un(UnKind::Not, ki.nan, not_nan));
  ki.zero = g.reg();
  g.emit(Op::binop(BinKind::And, z, not_nan, ki.zero));
  ki.nlo = g.reg();
  ki.nhi = g.reg();
  g.emit(Op::copy(n, ki.nlo));
  g.emit(Op::copy(n, ki.nhi));
  std::uint32_t j1 = g.emit(Op::if_false(ki.zero, 0));
  g.emit(Op::copy(g.k_real(-0.0), ki.nlo));
  g.emit(Op::copy(g.k_real(0.0), ki.nhi));
  g.patch_here(j1);
  std::uint32_t j2 = g.emit(Op::if_false(ki.nan, 0));
  g.emit(Op::copy(g.k_real(-kInf), ki.nlo));
  g.emit(Op::copy(g.k_real(kInf), ki.nhi));
  g.patch_here(j2);
  return ki;
}

// Builds bound keys over a fixed prefix of index-column values followed by
// one more value. Without a prefix, the bound of a constant value is encoded
// once, at compile time, into a pool constant.
class BoundMaker {
 public:
  BoundMaker(Gen& g, const std::vector<std::uint32_t>& prefix) : g_(g), p_(static_cast<std::uint32_t>(prefix.size())) {
    block_ = g.regs(p_ + 1);
    for (std::uint32_t i = 0; i < p_; ++i) g.emit(Op::copy(prefix[i], block_ + i));
  }
  bool has_prefix() const noexcept { return p_ > 0; }
  // The bound key of (prefix, register v), padded or not, into dest.
  void value(std::uint32_t v, bool pad, std::uint32_t dest) {
    if (p_ == 0) {
      g_.emit(Op::make_bound_key(v, 1, pad, dest));
      return;
    }
    g_.emit(Op::copy(v, block_ + p_));
    g_.emit(Op::make_bound_key(block_, p_ + 1, pad, dest));
  }
  // The bound key of (prefix, constant c) into dest.
  void fixed(const Value& c, bool pad, std::uint32_t dest) {
    if (p_ == 0) {
      g_.emit(Op::copy(const_bound(g_, c, pad), dest));
      return;
    }
    value(pool_value(c), pad, dest);
  }
  // The padded prefix alone: above every key that extends the prefix.
  void prefix_end(std::uint32_t dest) {
    if (p_ == 0) {
      g_.emit(Op::copy(g_.k_blob(std::string(keyenc::kBoundPadLen, '\xff')), dest));
      return;
    }
    g_.emit(Op::make_bound_key(block_, p_, true, dest));
  }

  // The pool constant holding the bound key of c alone.
  static std::uint32_t const_bound(Gen& g, const Value& c, bool pad) {
    std::string bytes;
    Value vals[1];
    vals[0].assign(c);
    keyenc::encode_bound_key_into(bytes, vals, pad);
    return g.k_blob(bytes);
  }

 private:
  std::uint32_t pool_value(const Value& c) {
    switch (c.kind()) {
      case ValueKind::Null: return g_.k_null();
      case ValueKind::Int: return g_.k_int(c.int_value());
      case ValueKind::Real: return g_.k_real(c.real_value());
      case ValueKind::Text: return g_.k_str(c.bytes());
      case ValueKind::Blob: return g_.k_blob(c.bytes());
    }
    return g_.k_null();
  }

  Gen& g_;
  std::uint32_t p_;
  std::uint32_t block_;
};

const Value kNullV = Value::null();
const Value kNegInfV = Value::real(-kInf);
const Value kPosInfV = Value::real(kInf);
const Value kNegZeroV = Value::real(-0.0);
const Value kEmptyTextV = Value::text("");
const Value kEmptyBlobV = Value::blob("");

}  // namespace

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
  ExprCompiler keys(g_, &ctx_);
  const bool gated = k > 0;  // probes repeat per outer row: skip empty regions

  // Segment registers: three side segments per leading = column that is
  // followed by another constrained column, five region segments for the
  // last constrained column.
  const bool has_range = plan.lower || plan.upper;
  const std::size_t side_cols = has_range ? plan.eq.size() : plan.eq.size() - 1;
  const std::size_t nsegs = side_cols * 3 + 5;
  st.segs.resize(nsegs);
  for (Segment& s : st.segs) {
    s.en = g_.reg();
    s.lo = g_.reg();
    s.hi = g_.reg();
    s.ex = g_.reg();
    g_.emit(Op::integer(0, s.en));
  }
  Label ready;  // segment registers are final
  std::vector<std::uint32_t> mains;  // the point values of the leading columns

  auto set_seg = [&](Segment& s, std::uint32_t ex_reg) {
    g_.emit(Op::integer(1, s.en));
    if (lv.index_only) g_.emit(Op::copy(ex_reg, s.ex));
  };
  auto gate = [&](Segment& s, std::uint32_t exists) {
    std::uint32_t t = g_.reg();
    g_.emit(Op::binop(BinKind::And, s.en, exists, t));
    g_.emit(Op::copy(t, s.en));
  };
  auto null_ends = [&](std::uint32_t kreg) {
    std::uint32_t n = g_.reg();
    g_.emit(Op::is_null(kreg, false, n));
    st.done.add(g_.emit(Op::if_true(n, 0)));
  };
  const std::uint32_t one = g_.k_int(1);
  const std::uint32_t zero_c = g_.k_int(0);

  for (std::size_t i = 0; i < side_cols; ++i) {
    std::uint32_t kreg = BKF_TRY(keys.compile(*plan.eq[i].key));
    null_ends(kreg);
    KeyInfo ki = key_info(g_, kreg);
    BoundMaker bm(g_, mains);
    Segment& s1 = st.segs[i * 3];
    Segment& s2 = st.segs[i * 3 + 1];
    Segment& s34 = st.segs[i * 3 + 2];
    // R1: NaNs below -inf, for numeric and text keys.
    std::uint32_t j = g_.emit(Op::if_true(ki.is_blob, 0));
    set_seg(s1, one);
    bm.fixed(kNullV, true, s1.lo);
    bm.fixed(kNegInfV, false, s1.hi);
    // R2 beside the point: a text key's numeric interval, all numbers for a
    // NaN key, -0.0 beside a zero key (whose point is 0).
    std::uint32_t j_text = g_.emit(Op::if_true(ki.is_text, 0));
    std::uint32_t j_nan = g_.emit(Op::if_true(ki.nan, 0));
    std::uint32_t j_nozero = g_.emit(Op::if_false(ki.zero, 0));
    set_seg(s2, one);
    bm.fixed(kNegZeroV, false, s2.lo);
    bm.fixed(kNegZeroV, true, s2.hi);
    std::uint32_t j_s2end = g_.emit(Op::goto_(0));
    g_.patch_here(j_text);
    g_.patch_here(j_nan);
    set_seg(s2, one);
    bm.value(ki.nlo, false, s2.lo);
    bm.value(ki.nhi, true, s2.hi);
    g_.patch_here(j_s2end);
    g_.patch_here(j_nozero);
    // R3 (and R4, all texts, for a numeric key).
    set_seg(s34, zero_c);
    bm.fixed(kPosInfV, true, s34.lo);
    std::uint32_t j_t = g_.emit(Op::if_true(ki.is_text, 0));
    bm.fixed(kEmptyBlobV, false, s34.hi);
    std::uint32_t j_e = g_.emit(Op::goto_(0));
    g_.patch_here(j_t);
    bm.fixed(kEmptyTextV, false, s34.hi);
    g_.patch_here(j_e);
    g_.patch_here(j);
    if (gated && i == 0) {
      gate(s1, st.region_exists[0]);
      gate(s2, st.region_exists[1]);
      std::uint32_t r34 = g_.reg();
      g_.emit(Op::binop(BinKind::Or, st.region_exists[2], st.region_exists[3], r34));
      gate(s34, r34);
    }
    // The point value that the next column extends: the key itself (a
    // number normalised so that -0.0 becomes 0); a NaN has none.
    std::uint32_t m = g_.reg();
    std::uint32_t j_k1 = g_.emit(Op::if_true(ki.is_blob, 0));
    std::uint32_t j_k2 = g_.emit(Op::if_true(ki.is_text, 0));
    ready.add(g_.emit(Op::if_true(ki.nan, 0)));
    g_.emit(Op::binop(BinKind::Add, kreg, zero_c, m));
    std::uint32_t j_m = g_.emit(Op::goto_(0));
    g_.patch_here(j_k1);
    g_.patch_here(j_k2);
    g_.emit(Op::copy(kreg, m));
    g_.patch_here(j_m);
    mains.push_back(m);
  }

  // The last constrained column: five regions, narrowed by the bounds.
  {
    const std::size_t base = side_cols * 3;
    BoundMaker bm(g_, mains);
    Segment* r = &st.segs[base];
    for (int i = 0; i < 5; ++i) g_.emit(Op::integer(1, r[i].en));
    if (bm.has_prefix()) {
      bm.fixed(kNullV, true, r[0].lo);
      bm.fixed(kNegInfV, false, r[0].hi);
      bm.fixed(kPosInfV, true, r[2].lo);
      bm.fixed(kEmptyTextV, false, r[2].hi);
    } else {
      // R1 and R3 are never narrowed: their bounds are constants.
      r[0].lo = BoundMaker::const_bound(g_, kNullV, true);
      r[0].hi = BoundMaker::const_bound(g_, kNegInfV, false);
      r[2].lo = BoundMaker::const_bound(g_, kPosInfV, true);
      r[2].hi = BoundMaker::const_bound(g_, kEmptyTextV, false);
    }
    bm.fixed(kNegInfV, false, r[1].lo);
    bm.fixed(kPosInfV, true, r[1].hi);
    bm.fixed(kEmptyTextV, false, r[3].lo);
    bm.fixed(kEmptyBlobV, false, r[3].hi);
    bm.fixed(kEmptyBlobV, false, r[4].lo);
    bm.prefix_end(r[4].hi);

    std::optional<KeyBound> lower = plan.lower, upper = plan.upper;
    std::optional<KeyInfo> lo_info, hi_info;
    if (!has_range) {
      std::uint32_t kreg = BKF_TRY(keys.compile(*plan.eq.back().key));
      null_ends(kreg);
      lo_info = hi_info = key_info(g_, kreg);
    } else {
      if (lower) {
        std::uint32_t kreg = BKF_TRY(keys.compile(*lower->key));
        null_ends(kreg);
        lo_info = key_info(g_, kreg);
      }
      if (upper) {
        std::uint32_t kreg = BKF_TRY(keys.compile(*upper->key));
        null_ends(kreg);
        hi_info = key_info(g_, kreg);
      }
    }
    if (lo_info) {
      const KeyInfo& ki = *lo_info;
      std::uint32_t j_blob = g_.emit(Op::if_true(ki.is_blob, 0));
      bm.value(ki.nlo, false, r[1].lo);
      std::uint32_t j_end1 = g_.emit(Op::if_false(ki.is_text, 0));
      bm.value(ki.k, false, r[3].lo);
      std::uint32_t j_end2 = g_.emit(Op::goto_(0));
      g_.patch_here(j_blob);
      for (int i = 0; i < 4; ++i) g_.emit(Op::integer(0, r[i].en));
      bm.value(ki.k, false, r[4].lo);
      g_.patch_here(j_end1);
      g_.patch_here(j_end2);
    }
    if (hi_info) {
      const KeyInfo& ki = *hi_info;
      std::uint32_t j_blob = g_.emit(Op::if_true(ki.is_blob, 0));
      bm.value(ki.nhi, true, r[1].hi);
      g_.emit(Op::integer(0, r[4].en));
      std::uint32_t j_end1 = g_.emit(Op::if_false(ki.is_text, 0));
      bm.value(ki.k, true, r[3].hi);
      std::uint32_t j_end2 = g_.emit(Op::goto_(0));
      g_.patch_here(j_blob);
      bm.value(ki.k, true, r[4].hi);
      g_.patch_here(j_end1);
      g_.patch_here(j_end2);
    }
    if (lv.index_only && !has_range) {
      // Entries whose encoded value equals the key's satisfy `col = key`,
      // except integers beyond 2^53 (they share encodings with their
      // neighbours); a numeric key's R4 holds arbitrary texts.
      const KeyInfo& ki = *lo_info;
      for (int i = 0; i < 5; ++i) g_.emit(Op::copy(one, r[i].ex));
      std::uint32_t a = g_.reg(), big = g_.reg(), bigint = g_.reg();
      std::uint32_t args[1] = {ki.k};
      g_.func(ScalarKind::Abs, args, a);
      g_.emit(Op::binop(BinKind::Ge, a, g_.k_real(0x1p53), big));
      g_.emit(Op::binop(BinKind::And, big, ki.is_int, bigint));
      g_.emit(Op::un(UnKind::Not, bigint, r[1].ex));
      g_.emit(Op::copy(ki.is_text, r[3].ex));
    }
    if (gated && mains.empty()) {
      for (int i = 0; i < 5; ++i) gate(r[i], st.region_exists[i]);
    }
  }
  ready.resolve_here(g_);

  // Segment driver: each enabled segment seeks its lower key and runs the
  // body while entries stay below its upper key.
  st.seg_no = g_.reg();
  st.ucur = g_.reg();
  if (lv.index_only) st.curex = g_.reg();
  std::vector<std::uint32_t> skip_jumps;  // IfFalse en / IdxSeek not found -> next block
  std::vector<std::uint32_t> body_jumps;
  for (std::size_t j = 0; j < nsegs; ++j) {
    std::uint32_t start = g_.here();
    st.seg_blocks.push_back(start);
    for (std::uint32_t at : skip_jumps) g_.patch(at, start);
    skip_jumps.clear();
    const Segment& s = st.segs[j];
    skip_jumps.push_back(g_.emit(Op::if_false(s.en, 0)));
    g_.emit(Op::copy(s.hi, st.ucur));
    if (lv.index_only) g_.emit(Op::copy(s.ex, st.curex));
    g_.emit(Op::integer(static_cast<std::int64_t>(j), st.seg_no));
    skip_jumps.push_back(g_.emit(Op::idx_seek(st.icur, s.lo, 0)));
    body_jumps.push_back(g_.emit(Op::goto_(0)));
  }
  for (std::uint32_t at : skip_jumps) st.done.add(at);
  st.body = g_.here();
  for (std::uint32_t at : body_jumps) g_.patch(at, st.body);

  st.next_segment.add(g_.emit(Op::idx_range_guard(st.icur, st.ucur, 0)));
  std::uint32_t rid = g_.reg();
  g_.emit(Op::idx_rowid(st.icur, rid));
  if (lv.index_only) {
    std::uint32_t j_only = g_.emit(Op::if_true(st.curex, 0));
    st.cont.add(g_.emit(Op::seek_rowid(st.cur, rid, 0)));
    BKF_TRY(emit_on_test(k, st));
    std::uint32_t j_join = g_.emit(Op::goto_(0));
    g_.patch_here(j_only);
    g_.emit(Op::cursor_set_rowid(st.cur, rid));
    g_.patch_here(j_join);
  } else {
    st.cont.add(g_.emit(Op::seek_rowid(st.cur, rid, 0)));
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
    case AccessPlan::Kind::Index: {
      if (st.nullpass != kNoReg) st.after_null.add(g_.emit(Op::if_true(st.nullpass, 0)));
      g_.emit(Op::idx_next(st.icur, st.body));
      st.next_segment.resolve_here(g_);
      for (std::size_t j = 0; j + 1 < st.seg_blocks.size(); ++j) {
        std::uint32_t c = g_.reg();
        g_.emit(Op::binop(BinKind::Eq, st.seg_no, g_.k_int(static_cast<std::int64_t>(j)), c));
        g_.emit(Op::if_true(c, st.seg_blocks[j + 1]));
      }
      break;
    }
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
    if (k == 0) continue;
    // Which regions of the index's first column hold any entry at all.
    static const int kRegions = 5;
    const std::uint32_t lo[kRegions] = {
        BoundMaker::const_bound(g_, kNullV, true), BoundMaker::const_bound(g_, kNegInfV, false),
        BoundMaker::const_bound(g_, kPosInfV, true), BoundMaker::const_bound(g_, kEmptyTextV, false),
        BoundMaker::const_bound(g_, kEmptyBlobV, false)};
    const std::uint32_t hi[kRegions] = {lo[1], BoundMaker::const_bound(g_, kPosInfV, true), lo[3], lo[4],
                                        g_.k_blob(std::string(keyenc::kBoundPadLen, '\xff'))};
    for (int i = 0; i < kRegions; ++i) {
      std::uint32_t ex = g_.reg();
      st.region_exists[i] = ex;
      g_.emit(Op::integer(0, ex));
      std::uint32_t j1 = g_.emit(Op::idx_seek(st.icur, lo[i], 0));
      std::uint32_t j2 = g_.emit(Op::idx_range_guard(st.icur, hi[i], 0));
      g_.emit(Op::integer(1, ex));
      g_.patch_here(j1);
      g_.patch_here(j2);
    }
  }

  for (std::size_t k = 0; k < n; ++k) BKF_TRY(open_level(k, states_[k]));
  BKF_TRY(body());
  for (std::size_t k = n; k-- > 0;) BKF_TRY(close_level(k, states_[k]));
  exit.resolve_here(g_);
  return {};
}

}  // namespace bkf::compile
