// The Connection type: owns one open database.
#pragma once

#include "binding.h"

namespace bkf::py {

extern PyType_Spec connection_spec;

// The module function connect(path).
PyObject* connect(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace bkf::py
