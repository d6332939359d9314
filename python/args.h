// Argument checking for the callables that take parameters, with the
// messages of the interpreter's own functions ("Cursor.execute() missing 1
// required positional argument: 'sql'").
#pragma once

#include <cstdint>
#include <string_view>

#include "binding.h"

namespace bkf::py {

// The parameters of one callable: names in order, of which the first
// `required` have no default. Every parameter is positional-or-keyword.
struct Signature {
  const char* qualname;  // "Cursor.execute()", "connect()"
  const char* const* names;
  int count;
  int required;
};

// Matches vectorcall-style arguments (args[0..nargs) positional, then one
// value per name in kwnames) to the signature. out[i] receives a borrowed
// reference to the value of parameter i, or null when it was not given.
// Raises TypeError and returns false on a bad call.
bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);

// Conversions of single arguments. A conversion that fails with a TypeError
// raises TypeError "argument '<name>': <message>"; any other failure (a str
// holding a lone surrogate, a negative size) propagates unchanged.

// A str argument as UTF-8, with its length (the view lives as long as obj).
bool arg_str(const char* name, PyObject* obj, std::string_view& out);
// An integer argument (anything with __index__) as an unsigned 64-bit value.
bool arg_u64(const char* name, PyObject* obj, std::uint64_t& out);

}  // namespace bkf::py
