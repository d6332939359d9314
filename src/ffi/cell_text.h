// The text the C interface hands out for a result cell (bkf_get_str).
#pragma once

#include <string>
#include <string_view>

#include "record/value.h"

namespace bkf::ffi {

// Replaces out with the text of v, which is not Null:
//   Int: decimal.
//   Real: a whole number below 1e15 in magnitude as an integer (3.0 gives
//     "3", -0.0 gives "0"); anything else as the shortest decimal that reads
//     back as the same double, positional, never with an exponent ("0.5",
//     "0.0000001", "1000000000000000"), and "NaN", "inf", "-inf".
//   Text: the bytes as they are.
//   Blob: the bytes read as UTF-8, invalid sequences replaced by U+FFFD.
// out is a buffer the caller reuses from call to call.
void cell_text(const Value& v, std::string& out);

// Appends in decoded as UTF-8 with every maximal ill-formed subsequence (the
// longest prefix of a well-formed sequence, or a single byte that starts
// none) replaced by one U+FFFD, the usual practice of UTF-8 decoders.
void append_utf8_lossy(std::string& out, std::string_view in);

}  // namespace bkf::ffi
