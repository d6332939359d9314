// The module object: its state, its attributes and its entry point.

#include "binding.h"
#include "connection.h"
#include "cursor.h"

namespace bkf::py {

namespace {

// Adds value (a new reference, released here) under name and appends the
// name to __all__, which the first addition creates.
int add_attribute(PyObject* module, const char* name, PyObject* value) {
  Ref owned(value);
  if (!owned) return -1;
  if (PyModule_AddObjectRef(module, name, owned.get()) < 0) return -1;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
  }
  Ref text(PyUnicode_FromString(name));
  if (!text) return -1;
  return PyList_Append(all.get(), text.get());
}

PyObject* new_ref(PyObject* obj) {
  Py_XINCREF(obj);
  return obj;
}

PyMethodDef connect_def = {"connect", BKF_FASTCALL(connect), METH_FASTCALL | METH_KEYWORDS,
                           "connect(path)\n--\n\nOpen (or create) a database file."};

int module_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "brackenford: module execution was not given a module");
    return -1;
  }
  ModuleState* st = state_of_module(module);
  st->error = PyErr_NewExceptionWithDoc("brackenford.Error", "Brackenford database error.", PyExc_Exception,
                                        nullptr);
  if (st->error == nullptr) return -1;
  st->internal_failure = PyErr_NewExceptionWithDoc(
      "brackenford.InternalFailure",
      "Misuse of a brackenford object that the module cannot recover from, such as using a "
      "Connection or Cursor from a thread other than the one that created it.",
      PyExc_BaseException, nullptr);
  if (st->internal_failure == nullptr) return -1;
  st->connection_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &connection_spec, nullptr));
  if (st->connection_type == nullptr) return -1;
  st->cursor_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &cursor_spec, nullptr));
  if (st->cursor_type == nullptr) return -1;

  Ref module_name(PyUnicode_FromString("brackenford"));
  if (!module_name) return -1;
  if (add_attribute(module, "connect", PyCFunction_NewEx(&connect_def, module, module_name.get())) < 0 ||
      add_attribute(module, "Connection", new_ref(reinterpret_cast<PyObject*>(st->connection_type))) < 0 ||
      add_attribute(module, "Cursor", new_ref(reinterpret_cast<PyObject*>(st->cursor_type))) < 0 ||
      add_attribute(module, "Error", new_ref(st->error)) < 0 ||
      add_attribute(module, "apilevel", PyUnicode_FromString("2.0")) < 0 ||
      add_attribute(module, "threadsafety", PyLong_FromLong(1)) < 0 ||
      add_attribute(module, "paramstyle", PyUnicode_FromString("qmark")) < 0 ||
      add_attribute(module, "__version__", PyUnicode_FromString("0.1.2")) < 0) {
    return -1;
  }
  return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* st = state_of_module(module);
  if (st == nullptr) return 0;
  Py_VISIT(st->error);
  Py_VISIT(st->internal_failure);
  Py_VISIT(reinterpret_cast<PyObject*>(st->connection_type));
  Py_VISIT(reinterpret_cast<PyObject*>(st->cursor_type));
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState* st = state_of_module(module);
  if (st == nullptr) return 0;
  Py_CLEAR(st->error);
  Py_CLEAR(st->internal_failure);
  Py_CLEAR(st->connection_type);
  Py_CLEAR(st->cursor_type);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "brackenford",
    "Embedded SQL database engine: connect(path) opens a database file.",
    static_cast<Py_ssize_t>(sizeof(ModuleState)),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

}  // namespace bkf::py

PyMODINIT_FUNC PyInit_brackenford(void) { return PyModuleDef_Init(&bkf::py::module_def); }
