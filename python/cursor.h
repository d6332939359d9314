// The Cursor type: runs SQL on its connection and keeps the last result.
#pragma once

#include <string_view>

#include "binding.h"

namespace bkf::py {

extern PyType_Spec cursor_spec;

// A new cursor on conn, owned by the calling thread.
PyObject* new_cursor(ModuleState* st, ConnectionObject* conn);

// The execute step shared by Cursor.execute and Connection.execute: checks
// the connection's process, then its thread, runs sql (prepared with params
// when params is given and not None, else every statement of the text) and
// on success replaces the cursor's result. On failure the cursor is unchanged and an
// exception is set. Nothing after the engine call can fail: the result is
// moved into the cursor, and its Python objects (rows, description,
// rowcount, lastrowid) are made only when read, so a statement that
// committed is never reported as failed (Connection.execute makes its
// cursor before running the statement).
bool cursor_execute_step(CursorObject* cur, std::string_view sql, PyObject* params);

}  // namespace bkf::py
