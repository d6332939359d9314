// The key ranges of an index probe.
//
// A probe asks an index for the entries whose leading values are equal (=)
// to given values and, optionally, whose next value lies between a lower and
// an upper bound (>=, <=; a strict bound asks for a subset, which the caller
// tests again row by row). Index keys order Null < numbers < texts < blobs
// (keyenc.h), while the comparison operators compare a number with a text
// numerically (the text read as a number), take a NaN as equal to every
// number and text, and -0.0 as equal to 0.0. So the entries of one probe lie
// in several separate ranges of keys, and ProbeRanges lists them.
//
// The values of one index column fall into five regions, in key order:
//   NegativeNaN  NaNs with the sign bit set (below -inf)
//   Number       the ordinary numbers, -inf to +inf
//   PositiveNaN  NaNs with the sign bit clear (above +inf)
//   Text, Blob
// For a probed column with value v (and n, the number v compares as):
//   - a blob v: only the blob v;
//   - otherwise both NaN regions; the numbers equal to n (-0.0 and 0.0
//     together; every number when n is NaN); and the texts: only v itself
//     when v is a text, every text when v is a number (a text equal to a
//     number can be any of many spellings, '5', '5.0', ' 5', '5x', ...).
// A bound narrows the same regions instead: a lower bound cuts the numbers
// (and for a text bound the texts) from below, or leaves only the blobs from
// a blob bound on; an upper bound cuts them from above and drops the blobs,
// or for a blob bound cuts the blobs.
//
// An equality column followed by more probed columns contributes the part
// of those ranges whose values have another encoding than v's (the NaNs, the
// numbers equal to a text v, -0.0 beside a zero v, the texts beside a
// number), with every value of the later columns, and then v's own encoding
// (0.0 for -0.0) becomes the prefix that the later columns extend; a NaN v
// has no such encoding and ends the probe there. A Null among the values
// that are reached asks for nothing: there are no ranges.
//
// So the ranges hold every entry the probe asks for, and besides those only
// entries that differ from it at their first column whose encoding is not
// the probed value's, by being a text against a number there (or an integer
// beyond 2^53 that shares its encoding). They are disjoint. They come in the
// order of the columns, for each column the ones beside its value first: the
// order in which a probe visits them, which is not key order.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "record/value.h"

namespace bkf::keyenc {

// One probed value. `text_number` is, for a Text, the number it compares as
// against a number (its longest numeric prefix); it is not read otherwise.
struct ProbeValue {
  const Value* value = nullptr;
  double text_number = 0.0;
};

// At least one equality or one bound; a probe of neither has no ranges.
struct IndexProbe {
  std::span<const ProbeValue> eq;     // the leading columns, in index order
  const ProbeValue* lower = nullptr;  // the next column's lower bound, if any
  const ProbeValue* upper = nullptr;  // the next column's upper bound, if any
};

// The regions of the values of one index column, in key order (see above).
enum class ValueRegion : std::uint8_t { NegativeNaN = 0, Number = 1, PositiveNaN = 2, Text = 3, Blob = 4 };
inline constexpr int kValueRegionCount = 5;
inline constexpr std::uint8_t region_bit(ValueRegion r) { return static_cast<std::uint8_t>(1u << static_cast<int>(r)); }

// The keys lo <= key < hi (compare_keys).
struct KeyRange {
  std::string lo;
  std::string hi;
  // Every entry in the range satisfies the probe. Claimed only for a probe
  // of equalities, where it holds except for the texts against a number and
  // integers beyond 2^53 (which share their encodings with their neighbours).
  bool exact = false;
  // The regions (region_bit) that the range's entries have their first value
  // in: when no entry of the index has its first value there, the range is
  // empty.
  std::uint8_t first_regions = 0;
};

// The range of the entries whose first value lies in region r.
KeyRange region_range(ValueRegion r);

// The ranges of one probe. Reused from probe to probe, it keeps its buffers.
class ProbeRanges {
 public:
  void compute(const IndexProbe& probe);
  std::span<const KeyRange> ranges() const noexcept { return {ranges_.data(), count_}; }

 private:
  // A new range with empty bounds; the storage of an earlier one is reused.
  KeyRange& add(std::uint8_t first_regions);

  std::vector<KeyRange> ranges_;
  std::size_t count_ = 0;
  std::string prefix_;
};

}  // namespace bkf::keyenc
