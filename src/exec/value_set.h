// ValueSet: the items of an IN test, arranged so that a membership test
// costs O(log m) rather than m comparisons.
//
// test(x) answers exactly what the comparisons x = v1 OR ... OR x = vm
// give under the equality operator (value_ops.h), in three-valued logic:
// True when some item equals x, otherwise Unknown when x or some item is
// Null, otherwise False. The equality is not one order, so the items are
// kept per kind:
//   - integers, compared exactly with an integer operand;
//   - the numbers the items read as, each tagged with the kinds it came
//     from: an integer item as the nearest double (it equals a real or a
//     text operand of that value), a real item itself, a text item through
//     num_from_text (it equals a number operand of that value, never a text
//     operand), searched with ==, so -0.0 finds 0.0;
//   - texts and blobs, compared as bytes with operands of their own kind;
//   - flags for what NaN equals: a NaN real item equals every number and
//     every text operand, a text item that reads as NaN every number
//     operand; a NaN real operand equals every number and text item, a
//     text operand that reads as NaN every number item.
//
// Without items the answer is False, as for an empty IN.
//
// Use: add() every item, finish() once, then test() any number of times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "exec/value_ops.h"
#include "record/value.h"

namespace bkf {

class ValueSet {
 public:
  void add(const Value& v);
  // Sorts the items; test() needs it after the last add().
  void finish();
  // Back to no items, keeping the storage.
  void clear() noexcept;

  std::size_t size() const noexcept { return count_; }
  Truth test(const Value& x) const noexcept;

 private:
  enum : std::uint8_t { kFromInt = 1, kFromReal = 2, kFromText = 4 };
  struct Num {
    double d;
    std::uint8_t from;
  };
  // Whether some item of the kinds in `from` reads as the number d (not NaN).
  bool has_number(double d, std::uint8_t from) const noexcept;

  std::vector<std::int64_t> ints_;
  std::vector<Num> nums_;
  std::vector<std::string> texts_;
  std::vector<std::string> blobs_;
  std::size_t count_ = 0;
  std::uint8_t kinds_ = 0;  // kFrom* of every number and text item
  bool null_ = false;       // a Null item
  bool real_nan_ = false;   // a NaN real item
  bool text_nan_ = false;   // a text item that reads as NaN
};

}  // namespace bkf
