#include "args.h"

#include <string>

namespace bkf::py {

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) out += " and ";
      else if (i + 1 == names.size()) out += ", and ";
      else out += ", ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

void raise_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

// The type name of obj, for messages.
std::string type_name(PyObject* obj) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (name) {
    Py_ssize_t len = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), &len)) return std::string(s, len);
  }
  PyErr_Clear();
  return "object";
}

// Turns a pending TypeError into "argument '<name>': <its message>".
void wrap_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t(type), v(value), trace(tb);
  std::string message = std::string("argument '") + name + "': ";
  Ref text(v ? PyObject_Str(v.get()) : nullptr);
  Py_ssize_t len = 0;
  const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &len) : nullptr;
  if (s != nullptr) message.append(s, len);
  PyErr_Clear();
  raise_type_error(message);
}

}  // namespace

bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
  for (int i = 0; i < sig.count; ++i) out[i] = nullptr;

  if (nargs > sig.count) {
    const char* verb = nargs == 1 ? "was" : "were";
    std::string message = std::string(sig.qualname) + " takes ";
    if (sig.required == sig.count) {
      message += std::to_string(sig.count);
    } else {
      message += "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
    }
    message += " positional arguments but " + std::to_string(nargs) + " " + verb + " given";
    raise_type_error(message);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    int index = -1;
    for (int i = 0; i < sig.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
        index = i;
        break;
      }
    }
    if (index < 0) {
      Py_ssize_t len = 0;
      const char* s = PyUnicode_AsUTF8AndSize(key, &len);
      if (s == nullptr) return false;
      raise_type_error(std::string(sig.qualname) + " got an unexpected keyword argument '" +
                       std::string(s, len) + "'");
      return false;
    }
    if (out[index] != nullptr) {
      raise_type_error(std::string(sig.qualname) + " got multiple values for argument '" + sig.names[index] +
                       "'");
      return false;
    }
    out[index] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (int i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.names[i]);
  }
  if (!missing.empty()) {
    raise_type_error(std::string(sig.qualname) + " missing " + std::to_string(missing.size()) +
                     " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                     quoted_list(missing));
    return false;
  }
  return true;
}

bool arg_str(const char* name, PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_type_error(std::string("argument '") + name + "': '" + type_name(obj) +
                     "' object cannot be converted to 'str'");
    return false;
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (s == nullptr) return false;  // a lone surrogate: UnicodeEncodeError, unchanged
  out = std::string_view(s, static_cast<std::size_t>(len));
  return true;
}

bool arg_u64(const char* name, PyObject* obj, std::uint64_t& out) {
  Ref index(PyNumber_Index(obj));
  if (!index) {
    wrap_type_error(name);
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    wrap_type_error(name);  // a negative or too large value: OverflowError, unchanged
    return false;
  }
  out = v;
  return true;
}

}  // namespace bkf::py
