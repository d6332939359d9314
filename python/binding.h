// Code shared by the whole Python module: owned references, the module
// state, the layouts of the Connection and Cursor objects, and the helpers
// every entry point uses (exception containment, interpreter-lock release,
// use flags).
//
// Built against the stable ABI of CPython 3.10 (Py_LIMITED_API), so one
// binary serves every interpreter from 3.10 on.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "exec/engine/database.h"
#include "record/value.h"

namespace bkf::py {

// An owned (strong) reference, released when it goes out of scope.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = other.release();
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// Per-module state: the objects the module makes once when it is executed.
struct ModuleState {
  PyObject* error = nullptr;             // brackenford.Error
  PyObject* internal_failure = nullptr;  // misuse the module cannot recover from (BaseException)
  PyTypeObject* connection_type = nullptr;
  PyTypeObject* cursor_type = nullptr;
};

inline ModuleState* state_of_module(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}
inline ModuleState* state_of(PyObject* obj) {
  return static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(obj)));
}

// A use flag: 0 free, n > 0 held by n shared uses, -1 held by one exclusive
// use. Only the creating thread touches an object's flags (in a forked
// child, any thread: errors.h), always with the interpreter lock held.
class Use {
 public:
  Use() noexcept = default;
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  ~Use() { release(); }

  bool take_shared(int& flag) noexcept {
    if (flag < 0) return false;
    ++flag;
    flag_ = &flag;
    exclusive_ = false;
    return true;
  }
  bool take_exclusive(int& flag) noexcept {
    if (flag != 0) return false;
    flag = -1;
    flag_ = &flag;
    exclusive_ = true;
    return true;
  }
  void release() noexcept {
    if (flag_ == nullptr) return;
    if (exclusive_) *flag_ = 0;
    else --*flag_;
    flag_ = nullptr;
  }

 private:
  int* flag_ = nullptr;
  bool exclusive_ = false;
};

struct ConnectionData {
  std::thread::id owner = std::this_thread::get_id();
  // Shared uses: prepared executions (execute with params, executemany);
  // exclusive use: running a whole text.
  int uses = 0;
  std::optional<Database> db;
  // Statements that execute() with parameters prepared, by their text, the
  // most recently used last; a text run again reuses its statement (and the
  // statement its machine) instead of being parsed and compiled again.
  std::vector<std::pair<std::string, Prepared>> statements;
};

struct ConnectionObject {
  PyObject_HEAD
  ConnectionData d;
};

struct CursorData {
  std::thread::id owner = std::this_thread::get_id();
  // Exclusive for the methods that change the cursor, shared for the rest.
  int uses = 0;
  std::vector<std::string> columns;
  std::vector<std::vector<Value>> rows;
  ConnectionObject* conn = nullptr;  // strong reference
  std::uint64_t pos = 0;
  std::int64_t rowcount = -1;
  std::int64_t lastrowid = 0;
};

struct CursorObject {
  PyObject_HEAD
  CursorData d;
};

// A new reference to None / False, for returning.
inline PyObject* new_none() {
  Py_INCREF(Py_None);
  return Py_None;
}
inline PyObject* new_false() {
  Py_INCREF(Py_False);
  return Py_False;
}

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a method table
// holds.
#define BKF_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

inline constexpr const char* kConnectionName = "brackenford::Connection";
inline constexpr const char* kCursorName = "brackenford::Cursor";

// Runs an entry point's body: a C++ exception (only running out of memory
// can raise one) becomes a Python exception instead of unwinding into the
// interpreter. The unwinding that ends a thread must pass through.
template <class Body>
PyObject* entry(Body&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "brackenford: unexpected internal exception");
    return nullptr;
  }
}

// Runs f (an engine call) with the interpreter lock released, so that other
// Python threads run while it works or waits for a file lock, and takes the
// lock back before anything else happens, also when f throws.
template <class F>
auto without_gil(F&& f) -> decltype(f()) {
  std::optional<decltype(f())> out;
  std::exception_ptr failure;
  PyThreadState* saved = PyEval_SaveThread();
  try {
    out.emplace(f());
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(saved);
  if (failure) std::rethrow_exception(failure);
  return std::move(*out);
}

}  // namespace bkf::py
