// AggAcc: one aggregate accumulator (count(*), count, sum, avg, min, max,
// any), optionally DISTINCT.
//
// step() takes the value by reference: counting and adding never copy it,
// and min/max/any copy it into their kept value only when it replaces the
// kept one (reusing the kept value's buffer). finalize() does not change the
// accumulator, so a result can be read any number of times.
//
// Sums are exact: the integers of a sum are added in 128 bits, so a sum
// whose intermediate totals pass the 64-bit range but whose final total
// fits (9223372036854775807 + 1 - 2) is still an Int. Once a non-integer
// value was added, or when the exact total does not fit 64 bits, the result
// is the Real running floating-point total of every value.
//
// DISTINCT accumulators skip Null and every value whose identity key (the
// exact in-memory encoding of the records layer) they have already seen:
// Int 1 and Real 1.0 are one value, and so are -0.0 and 0.0, while distinct
// 64-bit integers never merge even beyond 2^53.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

#include "exec/vm/program.h"
#include "record/compare.h"
#include "record/value.h"

namespace bkf::vm {

// Hash and equality that let an unordered container of std::string be
// probed with a std::string_view without building a string.
struct BytesHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
struct BytesEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

class AggAcc {
 public:
  explicit AggAcc(const AggSpec& spec);
  AggAcc(AggAcc&&) noexcept = default;
  AggAcc& operator=(AggAcc&&) noexcept = default;

  // Counting and summing numbers, and min and max of integers and of texts,
  // the steps of a scan's inner loop, are taken here (inlined into the
  // virtual machine's loop); everything else (DISTINCT, other kinds) out of line.
  [[gnu::always_inline]] void step(const Value& v) {
    if (!distinct_) {
      switch (kind_) {
        case AggKind::CountStar:
          ++n_;
          return;
        case AggKind::Count:
          if (!v.is_null()) ++n_;
          return;
        case AggKind::Sum:
          if (v.is_int()) {
            seen_ = true;
            exact_ += v.int_value();
            total_ += static_cast<double>(v.int_value());
            return;
          }
          if (v.is_real()) {
            seen_ = true;
            non_integer_ = true;
            total_ += v.real_value();
            return;
          }
          break;
        case AggKind::Avg:
          if (v.is_int()) {
            total_ += static_cast<double>(v.int_value());
            ++n_;
            return;
          }
          if (v.is_real()) {
            total_ += v.real_value();
            ++n_;
            return;
          }
          break;
        case AggKind::Min:
        case AggKind::Max:
          // Integers against a kept integer, as cmp_value orders them (a
          // tie keeps the earlier value).
          if (seen_ && v.is_int() && kept_.is_int()) {
            if (kind_ == AggKind::Min ? v.int_value() < kept_.int_value() : v.int_value() > kept_.int_value()) {
              kept_.set_int(v.int_value());
            }
            return;
          }
          // Texts against a kept text, by their bytes; the kept text's
          // buffer is reused when a value replaces it.
          if (seen_ && v.is_text() && kept_.is_text()) {
            const int c = compare_bytes(v.bytes(), kept_.bytes());
            if (kind_ == AggKind::Min ? c < 0 : c > 0) kept_.assign(v);
            return;
          }
          break;
        default:
          break;
      }
    }
    step_general(v);
  }
  void finalize(Value& out) const;
  Value finalize() const {
    Value out;
    finalize(out);
    return out;
  }

 private:
  // Returns false when a DISTINCT accumulator must skip v.
  bool admit(const Value& v);
  void step_general(const Value& v);

  AggKind kind_;
  bool non_integer_ = false;  // sum: a value other than Int was added
  bool seen_ = false;         // sum: a non-Null value was added; min/max/any: kept_ holds one
  std::uint64_t n_ = 0;       // count, count(*), avg
  double total_ = 0.0;        // sum, avg
  __int128 exact_ = 0;        // sum of the Int values
  Value kept_;                // min, max, any
  struct DistinctSet {
    std::unordered_set<std::string, BytesHash, BytesEq> seen;
    std::string scratch;
  };
  std::unique_ptr<DistinctSet> distinct_;
};

}  // namespace bkf::vm
