// Case-mapping tables behind UPPER and LOWER, generated once from the
// Unicode character data by tools/gen_unicode_case.py (unicode_case_data.cc
// is that script's output and is not edited by hand). unicode.h holds the
// functions that use them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bkf::unicode_data {

// Code points first, first+stride, ..., last map to themselves plus delta.
// No other code point inside [first, last] has a mapping, and runs are
// sorted by first and disjoint.
struct CaseRun {
  std::uint32_t first;
  std::uint32_t last;
  std::int32_t delta;
  std::uint8_t stride;  // 1 or 2
};

// A mapping to two or three code points (unused trailing slots are 0).
struct CaseMulti {
  std::uint32_t cp;
  std::uint32_t to[3];
};

// Classes used by the final-sigma rule of lower-casing.
enum : std::uint8_t { kCaseIgnorable = 1, kCased = 2 };
struct CaseClassRun {
  std::uint32_t first;
  std::uint32_t last;
  std::uint8_t cls;  // kCaseIgnorable or kCased; code points in no run are neither
};

extern const CaseRun kUpperRuns[];
extern const std::size_t kUpperRuns_size;
extern const CaseMulti kUpperMulti[];
extern const std::size_t kUpperMulti_size;
extern const CaseRun kLowerRuns[];
extern const std::size_t kLowerRuns_size;
extern const CaseMulti kLowerMulti[];
extern const std::size_t kLowerMulti_size;
extern const CaseClassRun kCaseClassRuns[];
extern const std::size_t kCaseClassRuns_size;

}  // namespace bkf::unicode_data
