// Random values of every kind, including malformed UTF-8 text, pushed
// through every operator and function: nothing may crash or trip the
// sanitizers, results keep the kinds their operators promise, and the
// virtual machine's inline operator paths agree with the general ones.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "exec/scalar_funcs.h"
#include "exec/value_ops.h"
#include "exec/value_set.h"
#include "record/utf8.h"
#include "support/values.h"

namespace bkf {
namespace {

using namespace bkf::testing;

class ValueSource {
 public:
  explicit ValueSource(std::uint64_t seed) : rng_(seed) {}

  Value next() {
    switch (rng_() % 8) {
      case 0: return N();
      case 1: return I(pick_int());
      case 2: return R(pick_real());
      case 3: return B(random_bytes());
      default: return T(random_text());
    }
  }

 private:
  std::int64_t pick_int() {
    static const std::int64_t edge[] = {0, 1, -1, kMax, kMin, 2024, 12, -400, 1LL << 53};
    if (rng_() % 2) return edge[rng_() % std::size(edge)];
    return static_cast<std::int64_t>(rng_()) >> (rng_() % 64);
  }
  double pick_real() {
    static const double edge[] = {0.0, -0.0, kNaN, kInf, -kInf, 5e-324, 1.7976931348623157e308,
                                  0.5, -2.5, 1e20, 4503599627370495.5};
    if (rng_() % 2) return edge[rng_() % std::size(edge)];
    std::uint64_t bits = rng_();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  std::string random_bytes() {
    std::string s;
    for (int n = static_cast<int>(rng_() % 12); n > 0; --n) s += static_cast<char>(rng_());
    return s;
  }
  std::string random_text() {
    static const char* fragments[] = {"2024", "-", ":", " ", "T", ".", "5", "e", "%", "_", "a", "Z",
                                   "\xc3\x9f", "\xce\xa3", "\xc4\xb0", "\xc7\x85", "\xcc\x81",
                                   "\xe2\x80\xa8", "\xf0\x9f\x98\x80", "\xff", "\xc3", "\xe2\x80",
                                   "\x80", "inf", "nan", "9223372036854775807", "+", "\xc2\xa0"};
    std::string s;
    for (int n = static_cast<int>(rng_() % 9); n > 0; --n) s += fragments[rng_() % std::size(fragments)];
    return s;
  }

  std::mt19937_64 rng_;
};

bool is_bool_or_null(const Value& v) {
  return v.is_null() || (v.is_int() && (v.int_value() == 0 || v.int_value() == 1));
}

TEST(ValueFuzzTest, EveryOperatorAndFunctionOnRandomValues) {
  ValueSource src(2024);
  Value out;
  std::vector<Value> args;
  for (int iter = 0; iter < 30000; ++iter) {
    Value a = src.next(), b = src.next();
    for (int op = 0; op <= 12; ++op) {
      apply_bin(static_cast<BinKind>(op), a, b, out);
      // The virtual machine's inline path answers exactly as apply_bin.
      Value fast = I(77);
      if (apply_bin_fast(static_cast<BinKind>(op), a, b, fast)) {
        ASSERT_TRUE(same_value(fast, out)) << value_debug(a) << " " << op << " " << value_debug(b);
      }
      if (op >= static_cast<int>(BinKind::Eq)) {
        ASSERT_TRUE(is_bool_or_null(out)) << value_debug(a) << " " << op << " " << value_debug(b);
      } else {
        ASSERT_FALSE(out.is_text() || out.is_blob());
      }
    }
    ASSERT_EQ(is_truthy(a), truth(a) == Truth::True);
    apply_un(UnKind::Not, a, out);
    ASSERT_TRUE(is_bool_or_null(out));
    apply_un(UnKind::Neg, a, out);
    like_op(a, b, false, out);
    ASSERT_TRUE(is_bool_or_null(out));
    for (int to = 0; to < 3; ++to) cast_value(a, static_cast<CastType>(to), out);
    Value c;
    c.assign(a);
    apply_affinity(c, iter % 2 == 0);

    args.clear();
    for (int n = static_cast<int>(iter % 5); n > 0; --n) args.push_back(src.next());
    for (int k = 0; k < kScalarKindCount; ++k) {
      eval_scalar(static_cast<ScalarKind>(k), args, out);
      if (!args.empty()) {
        // The same call with the destination being the first argument.
        std::vector<Value> regs = args;
        eval_scalar(static_cast<ScalarKind>(k), regs, regs[0]);
        ASSERT_TRUE(same_value(regs[0], out)) << scalar_kind_name(static_cast<ScalarKind>(k));
      }
      if (out.is_text()) {
        // Functions never invent malformed text out of well-formed input.
        bool inputs_valid = true;
        for (const Value& v : args) inputs_valid &= !v.is_text() || is_valid_utf8(v.bytes());
        if (inputs_valid) {
          ASSERT_TRUE(is_valid_utf8(out.bytes())) << scalar_kind_name(static_cast<ScalarKind>(k));
        }
      }
    }
  }
}

// The set an IN builds answers as the chain x = v1 OR ... OR x = vk does,
// over items and operands of every kind, most of them values that meet
// across kinds: texts and the numbers they read as, NaN, -0.0, integers
// beyond 2^53 and the reals next to them, NULL.
TEST(ValueFuzzTest, InSetAnswersAsTheChainOfComparisons) {
  const std::int64_t two53 = std::int64_t{1} << 53;
  const std::vector<Value> near = {
      N(), I(0), I(1), I(-1), I(two53), I(two53 + 1), I(kMax), I(kMin), R(0.0), R(-0.0), R(1.0), R(0.5),
      R(kNaN), R(kInf), R(-kInf), R(static_cast<double>(two53)), R(9223372036854775808.0), T(""), T("0"),
      T("-0"), T("1"), T(" 1"), T("1.0"), T("1abc"), T("abc"), T("nan"), T("inf"), T("0.5"),
      T("9007199254740993"), T("9223372036854775807"), B(""), B("1"), B("abc")};
  ValueSource src(77);
  std::mt19937_64 rng(78);
  auto draw = [&] { return rng() % 4 ? near[rng() % near.size()] : src.next(); };
  Value want, cmp;
  for (int iter = 0; iter < 3000; ++iter) {
    std::vector<Value> items(rng() % 9);
    ValueSet set;
    for (Value& v : items) {
      v = draw();
      set.add(v);
    }
    set.finish();
    for (std::size_t j = 0; j < near.size() + 4; ++j) {
      const Value x = j < near.size() ? near[j] : draw();
      want = I(0);
      for (const Value& v : items) {
        apply_bin(BinKind::Eq, x, v, cmp);
        apply_bin(BinKind::Or, want, cmp, want);
      }
      const Truth t = set.test(x);
      std::string list;
      for (const Value& v : items) list += value_debug(v) + " ";
      ASSERT_TRUE(same_value(t == Truth::Unknown ? N() : I(t == Truth::True), want))
          << value_debug(x) << " IN " << list;
    }
  }
}

}  // namespace
}  // namespace bkf
