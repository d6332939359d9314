// Conversion between Python objects and engine values.
#pragma once

#include <string_view>
#include <vector>

#include "binding.h"

namespace bkf::py {

// Converts every item of the iterable params to a Value, in iteration order,
// by the first rule that applies: None is Null; a bool is Int 1 or 0; what
// converts to a signed 64-bit integer (an int in range, anything with
// __index__) is Int; what converts to a float (so also an int beyond 64
// bits) is Real; bytes (or a subclass) is Blob; a str (or a subclass) that
// encodes as UTF-8 is Text. Anything else raises brackenford.Error
// "unsupported parameter type (want None/int/float/str/bytes)". An object
// that is not iterable, or whose iteration fails, raises that error
// unchanged. Returns false with an exception set on failure.
bool params_to_values(ModuleState* st, PyObject* params, std::vector<Value>& out);

// None, int, float, str or bytes for a value. Text that is not valid UTF-8
// (only a damaged file holds such) decodes with U+FFFD replacements.
PyObject* value_to_py(const Value& v);
// A str from UTF-8 bytes, invalid sequences replaced by U+FFFD.
PyObject* text_to_py(std::string_view s);
// A tuple of the converted values of one row.
PyObject* row_to_tuple(const std::vector<Value>& row);

}  // namespace bkf::py
