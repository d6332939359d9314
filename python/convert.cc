#include "convert.h"

#include "errors.h"

namespace bkf::py {

namespace {

constexpr const char* kUnsupported = "unsupported parameter type (want None/int/float/str/bytes)";

bool text_value(PyObject* item, Value& out) {
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(item, &len);
  if (s == nullptr) {
    PyErr_Clear();  // a lone surrogate cannot be encoded
    return false;
  }
  out.set_text(std::string_view(s, static_cast<std::size_t>(len)));
  return true;
}

bool bytes_value(PyObject* item, Value& out) {
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(item, &data, &len) < 0) {
    PyErr_Clear();
    return false;
  }
  out.set_blob(std::string_view(data, static_cast<std::size_t>(len)));
  return true;
}

// The conversion rules in order. Exact int, float, str and bytes objects take
// a direct road to the rule that the general order would reach for them
// anyway (a str has neither __index__ nor __float__, a float no __index__),
// so the common cases raise and discard no exceptions.
bool item_to_value(ModuleState* st, PyObject* item, Value& out) {
  if (item == Py_None) {
    out.set_null();
    return true;
  }
  if (PyBool_Check(item)) {
    out.set_int(item == Py_True ? 1 : 0);
    return true;
  }
  if (PyUnicode_CheckExact(item)) {
    if (text_value(item, out)) return true;
    raise_error(st, kUnsupported);
    return false;
  }
  if (PyBytes_CheckExact(item)) {
    if (bytes_value(item, out)) return true;
    raise_error(st, kUnsupported);
    return false;
  }
  if (!PyFloat_CheckExact(item)) {
    const long long i = PyLong_AsLongLong(item);  // ints, and __index__ of anything else
    if (!(i == -1 && PyErr_Occurred())) {
      out.set_int(i);
      return true;
    }
    PyErr_Clear();
  }
  const double d = PyFloat_AsDouble(item);  // __float__, or __index__ (an int beyond 64 bits)
  if (!(d == -1.0 && PyErr_Occurred())) {
    out.set_real(d);
    return true;
  }
  PyErr_Clear();
  if (PyBytes_Check(item) && bytes_value(item, out)) return true;
  if (PyUnicode_Check(item) && text_value(item, out)) return true;
  raise_error(st, kUnsupported);
  return false;
}

}  // namespace

bool params_to_values(ModuleState* st, PyObject* params, std::vector<Value>& out) {
  out.clear();
  // Lists and tuples are walked by index, which is what their iterators do.
  if (PyTuple_CheckExact(params)) {
    const Py_ssize_t n = PyTuple_Size(params);
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!item_to_value(st, PyTuple_GetItem(params, i), out[static_cast<std::size_t>(i)])) return false;
    }
    return true;
  }
  if (PyList_CheckExact(params)) {
    // Conversion can run Python code (__index__, __float__) that changes the
    // list, so its length is read at every step and each item held.
    for (Py_ssize_t i = 0; i < PyList_Size(params); ++i) {
      PyObject* borrowed = PyList_GetItem(params, i);
      Py_INCREF(borrowed);
      Ref item(borrowed);
      out.emplace_back();
      if (!item_to_value(st, item.get(), out.back())) return false;
    }
    return true;
  }
  Ref iter(PyObject_GetIter(params));
  if (!iter) return false;
  while (Ref item{PyIter_Next(iter.get())}) {
    out.emplace_back();
    if (!item_to_value(st, item.get(), out.back())) return false;
  }
  return !PyErr_Occurred();
}

PyObject* text_to_py(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* value_to_py(const Value& v) {
  switch (v.kind()) {
    case ValueKind::Null:
      Py_INCREF(Py_None);
      return Py_None;
    case ValueKind::Int:
      return PyLong_FromLongLong(v.int_value());
    case ValueKind::Real:
      return PyFloat_FromDouble(v.real_value());
    case ValueKind::Text:
      return text_to_py(v.bytes());
    case ValueKind::Blob:
      return PyBytes_FromStringAndSize(v.bytes().data(), static_cast<Py_ssize_t>(v.bytes().size()));
  }
  Py_INCREF(Py_None);
  return Py_None;
}

PyObject* row_to_tuple(const std::vector<Value>& row) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(row.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < row.size(); ++i) {
    PyObject* item = value_to_py(row[i]);
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return tuple.release();
}

}  // namespace bkf::py
