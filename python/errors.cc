#include "errors.h"

#include <string>

namespace bkf::py {

void raise_engine_error(ModuleState* st, const Error& e) {
  // Runs the handlers of the signals that arrived while the call ran (on
  // the main thread only; elsewhere this does nothing).
  if (PyErr_CheckSignals() != 0) return;
  raise_error(st, e.to_string());
}

void raise_error(ModuleState* st, std::string_view message) {
  PyObject* type = st != nullptr && st->error != nullptr ? st->error : PyExc_RuntimeError;
  // With its length: a message may hold a NUL (a parse error quoting one).
  Ref msg(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (msg) PyErr_SetObject(type, msg.get());
}

void raise_internal_failure(ModuleState* st, const std::string& message) {
  PyObject* type = st != nullptr && st->internal_failure != nullptr ? st->internal_failure : PyExc_SystemError;
  PyErr_SetString(type, message.c_str());
}

bool check_process(ModuleState* st, const ConnectionObject* conn) {
  const Status here = conn->d.db->check_process();
  if (here.ok()) return true;
  raise_error(st, here.error().to_string());
  return false;
}

bool on_foreign_thread(std::thread::id owner, const ConnectionObject* conn) {
  return owner != std::this_thread::get_id() && conn->d.db->owned_by_this_process();
}

bool check_owner(ModuleState* st, std::thread::id owner, const ConnectionObject* conn, const char* type_name) {
  if (!on_foreign_thread(owner, conn)) return true;
  raise_internal_failure(st, std::string(type_name) + " is unsendable, but sent to another thread");
  return false;
}

void report_foreign_drop(PyTypeObject* type, const char* type_name) {
  PyObject *saved_type, *saved_value, *saved_tb;
  PyErr_Fetch(&saved_type, &saved_value, &saved_tb);
  const std::string message = std::string(type_name) + " is unsendable, but is being dropped on another thread";
  PyErr_SetString(PyExc_RuntimeError, message.c_str());
  PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
  PyErr_Restore(saved_type, saved_value, saved_tb);
}

bool use_cursor_exclusive(CursorObject* cur, Use& use) {
  if (use.take_exclusive(cur->d.uses)) return true;
  PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  return false;
}

bool use_cursor_shared(CursorObject* cur, Use& use) {
  if (use.take_shared(cur->d.uses)) return true;
  PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  return false;
}

bool enter_cursor_shared(CursorObject* cur, Use& use) {
  return check_owner(state_of(reinterpret_cast<PyObject*>(cur)), cur->d.owner, cur->d.conn, kCursorName) &&
         use_cursor_shared(cur, use);
}

bool enter_cursor_exclusive(CursorObject* cur, Use& use) {
  return check_owner(state_of(reinterpret_cast<PyObject*>(cur)), cur->d.owner, cur->d.conn, kCursorName) &&
         use_cursor_exclusive(cur, use);
}

}  // namespace bkf::py
