#include "connection.h"

#include "args.h"
#include "cursor.h"
#include "errors.h"
#include "ffi/open_path.h"

namespace bkf::py {

namespace {

ConnectionObject* as_connection(PyObject* self) { return reinterpret_cast<ConnectionObject*>(self); }

PyObject* connection_cursor(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* { return new_cursor(state_of(self), as_connection(self)); });
}

PyObject* connection_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    static const char* const names[] = {"sql", "params"};
    static const Signature sig{"Connection.execute()", names, 2, 1};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view sql;
    if (!arg_str("sql", a[0], sql)) return nullptr;
    Ref cursor(new_cursor(state_of(self), as_connection(self)));
    if (!cursor) return nullptr;
    if (!cursor_execute_step(reinterpret_cast<CursorObject*>(cursor.get()), sql, a[1])) return nullptr;
    return cursor.release();
  });
}

// commit, rollback and close do nothing: transactions follow the SQL that
// runs, and the database closes when the Connection is freed.
PyObject* connection_nothing(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    ConnectionObject* conn = as_connection(self);
    if (!check_owner(state_of(self), conn->d.owner, conn, kConnectionName)) return nullptr;
    return new_none();
  });
}

PyObject* connection_enter(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

PyObject* connection_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    static const char* const names[] = {"_t", "_v", "_b"};
    static const Signature sig{"Connection.__exit__()", names, 3, 3};
    ConnectionObject* conn = as_connection(self);
    if (!check_owner(state_of(self), conn->d.owner, conn, kConnectionName)) return nullptr;
    PyObject* a[3];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    return new_false();
  });
}

// A connection dropped on another thread is reported, and its database is
// closed all the same: the file lock of an open transaction must not outlive
// the object that nobody can reach any more.
void connection_dealloc(PyObject* self) {
  ConnectionObject* conn = as_connection(self);
  PyTypeObject* type = Py_TYPE(self);
  if (on_foreign_thread(conn->d.owner, conn)) report_foreign_drop(type, kConnectionName);
  conn->d.~ConnectionData();  // rolls back, unlocks and closes the database (database.h)
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyMethodDef connection_methods[] = {
    {"cursor", connection_cursor, METH_NOARGS, "cursor($self)\n--\n\n"},
    {"execute", BKF_FASTCALL(connection_execute), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, sql, params=None)\n--\n\n"
     "Convenience: make a cursor, run one statement, return the cursor."},
    {"commit", connection_nothing, METH_NOARGS, "commit($self)\n--\n\n"},
    {"rollback", connection_nothing, METH_NOARGS, "rollback($self)\n--\n\n"},
    {"close", connection_nothing, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", connection_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", BKF_FASTCALL(connection_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _t, _v, _b)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot connection_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(connection_dealloc)},
    {Py_tp_methods, connection_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec connection_spec = {
    "brackenford.Connection",
    static_cast<int>(sizeof(ConnectionObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    connection_slots,
};

PyObject* connect(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    static const char* const names[] = {"path"};
    static const Signature sig{"connect()", names, 1, 1};
    ModuleState* st = state_of_module(module);
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view path;
    if (!arg_str("path", a[0], path)) return nullptr;
    // Opening can wait for another process's lock while it replays a journal.
    auto db = without_gil([&] { return open_database_at(path); });
    if (!db) {
      raise_engine_error(st, db.error());
      return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(st->connection_type, Py_tp_alloc));
    PyObject* obj = alloc(st->connection_type, 0);
    if (obj == nullptr) return nullptr;
    ConnectionObject* conn = as_connection(obj);
    new (&conn->d) ConnectionData();
    conn->d.db.emplace(std::move(*db));
    return obj;
  });
}

}  // namespace bkf::py
