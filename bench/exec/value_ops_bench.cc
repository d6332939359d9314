// Throughput of the value operators and the hottest scalar functions, on
// registers reused across calls the way the virtual machine uses them.
// Prints one line per workload: name ops seconds ops_per_sec.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "exec/numeric_text.h"
#include "exec/scalar_funcs.h"
#include "exec/value_ops.h"

namespace {

using bkf::Value;

volatile double g_sink = 0;  // keeps results observable

template <class Body>
void run(const char* name, std::size_t ops, Body body) {
  auto start = std::chrono::steady_clock::now();
  double acc = body();
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  g_sink = g_sink + acc;
  std::printf("%s %zu %.6f %.0f\n", name, ops, secs, secs > 0 ? static_cast<double>(ops) / secs : 0.0);
}

double checksum(const Value& v) {
  switch (v.kind()) {
    case bkf::ValueKind::Int: return static_cast<double>(v.int_value());
    case bkf::ValueKind::Real: return v.real_value();
    default: return static_cast<double>(v.bytes().size());
  }
}

}  // namespace

int main() {
  constexpr std::size_t kPairs = 1000000;
  std::mt19937_64 rng(1);

  std::vector<Value> ints(kPairs), reals(kPairs), mixed(kPairs);
  for (std::size_t i = 0; i < kPairs; ++i) {
    ints[i] = Value::integer(static_cast<std::int64_t>(rng() % 2000000) - 1000000);
    reals[i] = Value::real(static_cast<double>(rng() % 1000000) / 7.0);
    switch (rng() % 3) {
      case 0: mixed[i] = Value::integer(static_cast<std::int64_t>(rng() % 1000)); break;
      case 1: mixed[i] = Value::real(static_cast<double>(rng() % 1000) / 3.0); break;
      default: mixed[i] = Value::text(std::to_string(rng() % 1000)); break;
    }
  }

  Value out;
  auto bin_loop = [&](bkf::BinKind op, const std::vector<Value>& a, const std::vector<Value>& b) {
    return [&, op] {
      double acc = 0;
      for (std::size_t i = 0; i + 1 < kPairs; ++i) {
        bkf::apply_bin(op, a[i], b[i + 1], out);
        acc += checksum(out);
      }
      return acc;
    };
  };
  run("add_int", kPairs - 1, bin_loop(bkf::BinKind::Add, ints, ints));
  run("mul_int_real", kPairs - 1, bin_loop(bkf::BinKind::Mul, ints, reals));
  run("div_int", kPairs - 1, bin_loop(bkf::BinKind::Div, ints, ints));
  run("lt_int", kPairs - 1, bin_loop(bkf::BinKind::Lt, ints, ints));
  run("eq_mixed_kinds", kPairs - 1, bin_loop(bkf::BinKind::Eq, mixed, mixed));
  run("and_mixed_kinds", kPairs - 1, bin_loop(bkf::BinKind::And, mixed, mixed));

  // LIKE over short subjects with a leading wildcard (backtracking).
  std::vector<Value> subjects;
  const char* words[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta"};
  for (int i = 0; i < 1000; ++i) {
    std::string s;
    for (int k = 0; k < 4; ++k) s += words[rng() % 6], s += ' ';
    subjects.push_back(Value::text(s));
  }
  Value pattern = Value::text("%ta%EPS%");
  constexpr std::size_t kLike = 1000000;
  run("like_backtracking", kLike, [&] {
    double acc = 0;
    for (std::size_t i = 0; i < kLike; ++i) {
      bkf::like_op(subjects[i % subjects.size()], pattern, false, out);
      acc += checksum(out);
    }
    return acc;
  });

  // UPPER on ASCII and on non-ASCII text, into one reused register.
  Value ascii = Value::text("The quick brown fox jumps over the lazy dog 0123456789");
  Value greek = Value::text("\xce\xb1\xce\xb2\xce\xb3 stra\xc3\x9f" "e \xce\xb4\xce\xbf\xce\xbf\xcf\x82 \xc3\xa9t\xc3\xa9");
  constexpr std::size_t kCase = 1000000;
  run("upper_ascii", kCase, [&] {
    double acc = 0;
    for (std::size_t i = 0; i < kCase; ++i) {
      bkf::eval_scalar(bkf::ScalarKind::Upper, std::span<const Value>(&ascii, 1), out);
      acc += checksum(out);
    }
    return acc;
  });
  run("upper_unicode", kCase, [&] {
    double acc = 0;
    for (std::size_t i = 0; i < kCase; ++i) {
      bkf::eval_scalar(bkf::ScalarKind::Upper, std::span<const Value>(&greek, 1), out);
      acc += checksum(out);
    }
    return acc;
  });
  run("lower_unicode", kCase, [&] {
    double acc = 0;
    for (std::size_t i = 0; i < kCase; ++i) {
      bkf::eval_scalar(bkf::ScalarKind::Lower, std::span<const Value>(&greek, 1), out);
      acc += checksum(out);
    }
    return acc;
  });

  // num_from_text on typical and long inputs.
  std::vector<std::string> texts;
  for (int i = 0; i < 1000; ++i) {
    switch (i % 4) {
      case 0: texts.push_back(std::to_string(rng() % 100000)); break;
      case 1: texts.push_back(" " + std::to_string(rng() % 100000) + ".25 "); break;
      case 2: texts.push_back(std::to_string(rng() % 1000) + "abc"); break;
      default: texts.push_back("1.5e" + std::to_string(rng() % 300) + "xyz"); break;
    }
  }
  constexpr std::size_t kNum = 1000000;
  run("num_from_text", kNum, [&] {
    double acc = 0;
    for (std::size_t i = 0; i < kNum; ++i) acc += bkf::num_from_text(texts[i % texts.size()]);
    return acc;
  });
  std::string long_text(1 << 20, '7');
  long_text += "x";
  run("num_from_text_1mib_bytes", 1 << 20, [&] {
    return bkf::num_from_text(long_text);
  });

  // Text form of reals (CAST AS TEXT) into a reused register.
  run("cast_real_to_text", kPairs, [&] {
    double acc = 0;
    for (std::size_t i = 0; i < kPairs; ++i) {
      bkf::cast_value(reals[i], bkf::CastType::Text, out);
      acc += checksum(out);
    }
    return acc;
  });
  return 0;
}
