// Aggregate accumulators over every kind, and the bounded sort of ORDER BY
// with LIMIT against the full sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "exec/vm/agg.h"
#include "exec/vm/post_run.h"
#include "record/compare.h"
#include "vm_testing.h"

namespace bkf::vm {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

using namespace bkf::vm::testing;

Value fold(AggKind kind, bool distinct, const std::vector<Value>& in) {
  AggAcc acc(AggSpec{distinct, kind});
  for (const Value& v : in) acc.step(v);
  Value first = acc.finalize();
  EXPECT_TRUE(acc.finalize().identical(first)) << "finalize changed the accumulator";
  return first;
}

struct AggCase {
  const char* name;
  AggKind kind;
  bool distinct;
  std::vector<Value> in;
  Value want;
};

TEST(AggAcc, EveryKind) {
  const AggCase cases[] = {
      {"count(*) counts Null", AggKind::CountStar, false, {N(), I(1), N()}, I(3)},
      {"count skips Null", AggKind::Count, false, {N(), I(1), T("")}, I(2)},
      {"count of nothing", AggKind::Count, false, {}, I(0)},
      {"sum of nothing", AggKind::Sum, false, {}, N()},
      {"sum of Nulls", AggKind::Sum, false, {N(), N()}, N()},
      {"sum of ints", AggKind::Sum, false, {I(1), I(2)}, I(3)},
      {"sum int and real", AggKind::Sum, false, {I(1), R(2.5)}, R(3.5)},
      {"sum passes 2^63 and comes back", AggKind::Sum, false, {I(kMax), I(1), I(-2)}, I(kMax - 1)},
      {"sum below -2^63 and back", AggKind::Sum, false, {I(kMin), I(-1), I(5)}, I(kMin + 4)},
      {"sum overflows", AggKind::Sum, false, {I(kMax), I(kMax)}, R(2.0 * 9223372036854775807.0)},
      {"sum of texts reads whole texts", AggKind::Sum, false, {T("12abc"), T(" 3 ")}, R(3.0)},
      {"sum of a blob is real", AggKind::Sum, false, {B("\x05"), I(2)}, R(2.0)},
      {"avg", AggKind::Avg, false, {I(1), I(2), N()}, R(1.5)},
      {"avg of nothing", AggKind::Avg, false, {N()}, N()},
      {"min across kinds", AggKind::Min, false, {I(2), T("a"), I(1), N()}, I(1)},
      {"max across kinds", AggKind::Max, false, {I(2), T("a"), I(1), B("")}, B("")},
      {"min tie keeps the first (Int)", AggKind::Min, false, {I(1), R(1.0)}, I(1)},
      {"min tie keeps the first (Real)", AggKind::Min, false, {R(1.0), I(1)}, R(1.0)},
      {"min of Nulls", AggKind::Min, false, {N(), N()}, N()},
      {"any keeps the first, Null included", AggKind::Any, false, {N(), I(7)}, N()},
      {"any keeps the first", AggKind::Any, false, {T("x"), I(7)}, T("x")},
      {"count distinct: 1 and 1.0 are one", AggKind::Count, true, {I(1), R(1.0), T("1"), N()}, I(2)},
      {"count(*) distinct skips Null", AggKind::CountStar, true, {N(), I(1), I(1)}, I(1)},
      {"count distinct: -0.0 and 0.0 are one", AggKind::Count, true, {R(-0.0), R(0.0), I(0)}, I(1)},
      {"sum distinct keeps integers beyond 2^53 apart", AggKind::Sum, true,
       {I(9007199254740993), I(9007199254740992), I(9007199254740993)}, I(18014398509481985)},
      {"avg distinct", AggKind::Avg, true, {I(2), I(2), I(4)}, R(3.0)},
  };
  for (const AggCase& c : cases) {
    Value got = fold(c.kind, c.distinct, c.in);
    EXPECT_TRUE(got.identical(c.want)) << c.name << ": got " << value_debug(got) << ", want " << value_debug(c.want);
  }
}

// min and max against a model built on cmp_value over random mixes of
// kinds (NaN, -0.0, ties between Int and Real, texts that share prefixes),
// including every same-kind comparison the accumulator makes inline.
TEST(AggAcc, MinAndMaxFollowTheValueOrder) {
  std::mt19937_64 rng(3);
  const double reals[] = {0.0, -0.0, 1.0, -1.5, std::nan(""), 1e300, -1e300};
  const char* texts[] = {"", "a", "ab", "abc", "b", "\xc3\xa9"};
  auto pick = [&]() -> Value {
    switch (rng() % 6) {
      case 0: return N();
      case 1: return I(static_cast<std::int64_t>(rng() % 7) - 3);
      case 2: return R(reals[rng() % std::size(reals)]);
      case 3: return T(texts[rng() % std::size(texts)]);
      case 4: return B(texts[rng() % std::size(texts)]);
      default: return I(static_cast<std::int64_t>(rng()));
    }
  };
  for (int round = 0; round < 3000; ++round) {
    std::vector<Value> in(rng() % 12);
    // Mostly one kind, so that the inline comparisons run.
    const int only = static_cast<int>(rng() % 8);
    for (Value& v : in) {
      do v = pick();
      while (only < 5 && v.kind() != static_cast<ValueKind>(only) && rng() % 4 != 0);
    }
    for (AggKind kind : {AggKind::Min, AggKind::Max}) {
      Value want;
      bool seen = false;
      for (const Value& v : in) {
        if (v.is_null()) continue;
        Ordering o = cmp_value(v, want);
        if (!seen || o == (kind == AggKind::Min ? Ordering::Less : Ordering::Greater)) want = v;
        seen = true;
      }
      Value got = fold(kind, false, in);
      EXPECT_TRUE(got.identical(want)) << round << ": got " << value_debug(got) << ", want " << value_debug(want);
    }
  }
}

TEST(AggAcc, KeptValueIsACopy) {
  AggAcc acc(AggSpec{false, AggKind::Max});
  Value v = T("abc");
  acc.step(v);
  v.set_text("zzz-but-changed-afterwards");
  EXPECT_TRUE(acc.finalize().identical(T("abc")));
}

// ---- post-run steps ----

Row row(std::initializer_list<Value> vs) { return Row(vs); }

PostRun settings(std::vector<bool> desc, std::size_t visible, bool distinct = false,
                 std::optional<std::int64_t> offset = {}, std::optional<std::int64_t> limit = {}) {
  Program p;
  p.order_desc = std::move(desc);
  p.visible = static_cast<std::uint32_t>(visible);
  p.distinct = distinct;
  p.offset = offset;
  p.limit = limit;
  return PostRun::of(p);
}

// With ORDER BY and LIMIT (no DISTINCT) only the rows the cut keeps are
// sorted; the outcome must be what the full stable sort and the cut give:
// same rows, same order, ties in emission order, same found rows. Keys come
// from small domains (many ties); some rounds hold a NaN or an integer
// beyond 2^53, where the full sort must be used.
TEST(PostRun, LimitedSortMatchesTheFullSort) {
  std::mt19937_64 rng(11);
  auto key = [&](bool hazard) -> Value {
    switch (rng() % (hazard ? 7 : 5)) {
      case 0: return I(static_cast<std::int64_t>(rng() % 6));
      case 1: return R(static_cast<double>(rng() % 6) / 2);
      case 2: return T(rng() % 2 ? "a" : "b");
      case 3: return N();
      case 4: return R(-0.0);
      case 5: return R(std::nan(""));
      default: return I((std::int64_t{1} << 53) + 1);
    }
  };
  for (int round = 0; round < 300; ++round) {
    const bool hazard = round % 5 == 4;
    const std::size_t n = rng() % 120;
    std::vector<Row> rows;
    for (std::size_t i = 0; i < n; ++i) {
      rows.push_back(row({I(static_cast<std::int64_t>(i)), key(hazard), key(hazard && i % 3 == 0)}));
    }
    const std::vector<bool> desc = {rng() % 2 == 0, rng() % 2 == 0};
    const std::optional<std::int64_t> offset =
        rng() % 3 ? std::optional<std::int64_t>(static_cast<std::int64_t>(rng() % 20) - 5) : std::nullopt;
    const std::int64_t limit = static_cast<std::int64_t>(rng() % 30) - 2;

    std::vector<Row> want = rows;
    EXPECT_EQ(apply_post_run(want, settings(desc, 1)), n);
    const std::size_t skip = std::min<std::size_t>(offset && *offset > 0 ? *offset : 0, want.size());
    want.erase(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(skip));
    if (want.size() > static_cast<std::size_t>(std::max<std::int64_t>(limit, 0))) {
      want.resize(static_cast<std::size_t>(std::max<std::int64_t>(limit, 0)));
    }

    EXPECT_EQ(apply_post_run(rows, settings(desc, 1, false, offset, limit)), n) << round;
    EXPECT_EQ(dump(rows), dump(want)) << round;
  }
}

}  // namespace
}  // namespace bkf::vm
