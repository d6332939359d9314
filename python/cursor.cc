#include "cursor.h"

#include <algorithm>

#include "args.h"
#include "convert.h"
#include "errors.h"

namespace bkf::py {

namespace {

CursorObject* as_cursor(PyObject* self) { return reinterpret_cast<CursorObject*>(self); }

// What one execution leaves in the cursor.
struct Outcome {
  std::vector<std::string> columns;
  std::vector<std::vector<Value>> rows;
  std::int64_t rowcount = -1;
  std::int64_t lastrowid = 0;
};

// Rows give their columns, rows and row count; a change its count and no
// rows; a statement without result no rows and -1.
Outcome outcome_of(ExecResult&& r) {
  Outcome o;
  if (r.is_rows()) {
    o.rowcount = static_cast<std::int64_t>(r.rows.size());
    o.columns = std::move(r.columns);
    o.rows = std::move(r.rows);
  } else if (r.is_affected()) {
    o.rowcount = static_cast<std::int64_t>(r.affected);
  }
  return o;
}

// How many prepared statements a connection keeps for execute().
constexpr std::size_t kKeptStatements = 16;

// The connection's kept statement for sql, made the most recently used; null
// when there is none.
Prepared* kept_statement(ConnectionData& conn, std::string_view sql) {
  auto& kept = conn.statements;
  for (std::size_t i = kept.size(); i-- > 0;) {
    if (kept[i].first != sql) continue;
    std::rotate(kept.begin() + static_cast<std::ptrdiff_t>(i), kept.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                kept.end());
    return &kept.back().second;
  }
  return nullptr;
}

// Prepares sql, or takes the connection's kept statement for it, and runs
// it once with values. A statement prepared here is kept unless it holds
// subqueries (preparing one evaluates them, which reusing it would skip).
// Called without the interpreter lock: touches no Python object.
Result<Outcome> run_prepared(ConnectionData& conn, std::string_view sql, const std::vector<Value>& values) {
  Database& db = *conn.db;
  Prepared* stmt = kept_statement(conn, sql);
  std::optional<Prepared> fresh;
  if (stmt == nullptr) {
    auto prepared = db.prepare(sql);
    if (!prepared) return std::move(prepared).error();
    stmt = &fresh.emplace(std::move(*prepared));
  }
  auto result = db.execute_prepared(*stmt, std::span<const Value>(values));
  if (fresh && !fresh->has_subqueries()) {
    // Keeping it only saves work later: without memory for it, the
    // statement's outcome still stands.
    try {
      if (conn.statements.size() == kKeptStatements) conn.statements.erase(conn.statements.begin());
      conn.statements.emplace_back(std::string(sql), std::move(*fresh));
    } catch (const std::bad_alloc&) {
    }
  }
  if (!result) return std::move(result).error();
  Outcome o = outcome_of(std::move(*result));
  o.lastrowid = db.last_insert_id();
  return o;
}

// Runs every statement of sql; the last result counts. Called without the
// interpreter lock.
Result<Outcome> run_text(Database& db, std::string_view sql) {
  auto results = db.execute(sql);
  if (!results) return std::move(results).error();
  Outcome o;
  if (!results->empty()) o = outcome_of(std::move(results->back()));
  o.lastrowid = db.last_insert_id();
  return o;
}

void keep(CursorObject* cur, Outcome&& o) {
  cur->d.columns = std::move(o.columns);
  cur->d.rows = std::move(o.rows);
  cur->d.pos = 0;
  cur->d.rowcount = o.rowcount;
  cur->d.lastrowid = o.lastrowid;
}

// Takes the connection's database for one prepared run (shared) or one whole
// text (exclusive). Only Python code run in the middle of an executemany on
// this connection (its iteration or parameter conversion) can find it taken.
bool use_database(ModuleState* st, ConnectionObject* conn, Use& use, bool exclusive) {
  if (exclusive ? use.take_exclusive(conn->d.uses) : use.take_shared(conn->d.uses)) return true;
  raise_internal_failure(st, exclusive ? "Already borrowed: the connection is in use by a call that has not returned"
                                       : "Already mutably borrowed: the connection is in use by a call that "
                                         "has not returned");
  return false;
}

// --- methods ---------------------------------------------------------------

PyObject* cursor_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    static const char* const names[] = {"sql", "params"};
    static const Signature sig{"Cursor.execute()", names, 2, 1};
    Use use;
    if (!enter_cursor_exclusive(as_cursor(self), use)) return nullptr;
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view sql;
    if (!arg_str("sql", a[0], sql)) return nullptr;
    if (!cursor_execute_step(as_cursor(self), sql, a[1])) return nullptr;
    return new_none();
  });
}

PyObject* cursor_executemany(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    static const char* const names[] = {"sql", "seq"};
    static const Signature sig{"Cursor.executemany()", names, 2, 2};
    CursorObject* cur = as_cursor(self);
    ModuleState* st = state_of(self);
    Use use;
    if (!enter_cursor_exclusive(cur, use)) return nullptr;
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::string_view sql;
    if (!arg_str("sql", a[0], sql)) return nullptr;
    ConnectionObject* conn = cur->d.conn;
    if (!check_process(st, conn) || !check_owner(st, conn->d.owner, conn, kConnectionName)) return nullptr;
    Use db_use;
    if (!use_database(st, conn, db_use, false)) return nullptr;
    Database& db = *conn->d.db;

    auto prepared = without_gil([&] { return db.prepare(sql); });
    if (!prepared) {
      raise_engine_error(st, prepared.error());
      return nullptr;
    }
    Ref iter(PyObject_GetIter(a[1]));
    if (!iter) return nullptr;
    std::vector<Value> values;
    std::int64_t total = 0;
    while (true) {
      Ref item(PyIter_Next(iter.get()));
      if (!item) {
        if (PyErr_Occurred()) return nullptr;
        break;
      }
      if (!params_to_values(st, item.get(), values)) return nullptr;
      auto result = without_gil([&] { return db.execute_prepared(*prepared, std::span<const Value>(values)); });
      if (!result) {
        raise_engine_error(st, result.error());
        return nullptr;
      }
      if (result->is_affected()) total += static_cast<std::int64_t>(result->affected);
    }
    Outcome o;
    o.rowcount = total;
    o.lastrowid = db.last_insert_id();
    keep(cur, std::move(o));
    return new_none();
  });
}

PyObject* cursor_fetchone(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    CursorObject* cur = as_cursor(self);
    Use use;
    if (!enter_cursor_exclusive(cur, use)) return nullptr;
    if (cur->d.pos >= cur->d.rows.size()) return new_none();
    PyObject* row = row_to_tuple(cur->d.rows[cur->d.pos]);
    if (row != nullptr) ++cur->d.pos;
    return row;
  });
}

// The rows from pos up to end as a list of tuples; pos advances with each
// tuple added.
PyObject* fetch_until(CursorObject* cur, std::size_t end) {
  const std::size_t start = static_cast<std::size_t>(cur->d.pos);
  Ref list(PyList_New(static_cast<Py_ssize_t>(end - start)));
  if (!list) return nullptr;
  for (std::size_t i = start; i < end; ++i) {
    PyObject* row = row_to_tuple(cur->d.rows[i]);
    if (row == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i - start), row);  // steals row
    cur->d.pos = i + 1;
  }
  return list.release();
}

PyObject* cursor_fetchmany(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    static const char* const names[] = {"size"};
    static const Signature sig{"Cursor.fetchmany()", names, 1, 0};
    CursorObject* cur = as_cursor(self);
    Use use;
    if (!enter_cursor_exclusive(cur, use)) return nullptr;
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::uint64_t size = 1;
    if (a[0] != nullptr && !arg_u64("size", a[0], size)) return nullptr;
    const std::size_t n = cur->d.rows.size();
    const std::size_t pos = std::min<std::size_t>(cur->d.pos, n);
    const std::size_t end = size >= n - pos ? n : pos + static_cast<std::size_t>(size);
    return fetch_until(cur, end);
  });
}

PyObject* cursor_fetchall(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    CursorObject* cur = as_cursor(self);
    Use use;
    if (!enter_cursor_exclusive(cur, use)) return nullptr;
    if (cur->d.pos >= cur->d.rows.size()) return PyList_New(0);
    return fetch_until(cur, cur->d.rows.size());
  });
}

PyObject* cursor_close(PyObject* self, PyObject*) {
  return entry([&]() -> PyObject* {
    Use use;
    if (!enter_cursor_shared(as_cursor(self), use)) return nullptr;
    return new_none();
  });
}

PyObject* cursor_enter(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

PyObject* cursor_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    static const char* const names[] = {"_t", "_v", "_b"};
    static const Signature sig{"Cursor.__exit__()", names, 3, 3};
    Use use;
    if (!enter_cursor_shared(as_cursor(self), use)) return nullptr;
    PyObject* a[3];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    return new_false();
  });
}

// --- properties ------------------------------------------------------------

PyObject* cursor_description(PyObject* self, void*) {
  return entry([&]() -> PyObject* {
    CursorObject* cur = as_cursor(self);
    Use use;
    if (!enter_cursor_shared(cur, use)) return nullptr;
    if (cur->d.columns.empty()) return new_none();
    Ref list(PyList_New(static_cast<Py_ssize_t>(cur->d.columns.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < cur->d.columns.size(); ++i) {
      Ref tuple(PyTuple_New(7));
      if (!tuple) return nullptr;
      PyObject* name = text_to_py(cur->d.columns[i]);
      if (name == nullptr) return nullptr;
      PyTuple_SetItem(tuple.get(), 0, name);
      for (Py_ssize_t k = 1; k < 7; ++k) PyTuple_SetItem(tuple.get(), k, new_none());
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
    }
    return list.release();
  });
}

PyObject* cursor_rowcount(PyObject* self, void*) {
  return entry([&]() -> PyObject* {
    Use use;
    if (!enter_cursor_shared(as_cursor(self), use)) return nullptr;
    return PyLong_FromLongLong(as_cursor(self)->d.rowcount);
  });
}

PyObject* cursor_lastrowid(PyObject* self, void*) {
  return entry([&]() -> PyObject* {
    Use use;
    if (!enter_cursor_shared(as_cursor(self), use)) return nullptr;
    return PyLong_FromLongLong(as_cursor(self)->d.lastrowid);
  });
}

// A cursor dropped on another thread is reported but still released: its
// reference keeps the connection, and so the database file and its lock,
// alive.
void cursor_dealloc(PyObject* self) {
  CursorObject* cur = as_cursor(self);
  PyTypeObject* type = Py_TYPE(self);
  if (on_foreign_thread(cur->d.owner, cur->d.conn)) report_foreign_drop(type, kCursorName);
  ConnectionObject* conn = cur->d.conn;
  cur->d.~CursorData();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_XDECREF(reinterpret_cast<PyObject*>(conn));
  Py_DECREF(type);
}

PyMethodDef cursor_methods[] = {
    {"execute", BKF_FASTCALL(cursor_execute), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, sql, params=None)\n--\n\n"
     "Execute one statement, optionally with `?` params (qmark paramstyle)."},
    {"executemany", BKF_FASTCALL(cursor_executemany), METH_FASTCALL | METH_KEYWORDS,
     "executemany($self, sql, seq)\n--\n\n"
     "Prepare once, execute for each param sequence in `seq`."},
    {"fetchone", cursor_fetchone, METH_NOARGS, "fetchone($self)\n--\n\n"},
    {"fetchmany", BKF_FASTCALL(cursor_fetchmany), METH_FASTCALL | METH_KEYWORDS,
     "fetchmany($self, size=1)\n--\n\n"},
    {"fetchall", cursor_fetchall, METH_NOARGS, "fetchall($self)\n--\n\n"},
    {"close", cursor_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", cursor_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", BKF_FASTCALL(cursor_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _t, _v, _b)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cursor_getset[] = {
    {"description", cursor_description, nullptr,
     "DB-API: 7-tuples (name, type_code, \xE2\x80\xA6), or None before any query.", nullptr},
    {"rowcount", cursor_rowcount, nullptr, nullptr, nullptr},
    {"lastrowid", cursor_lastrowid, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cursor_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(cursor_dealloc)},
    {Py_tp_methods, cursor_methods},
    {Py_tp_getset, cursor_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec cursor_spec = {
    "brackenford.Cursor",
    static_cast<int>(sizeof(CursorObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    cursor_slots,
};

PyObject* new_cursor(ModuleState* st, ConnectionObject* conn) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(st->cursor_type, Py_tp_alloc));
  PyObject* obj = alloc(st->cursor_type, 0);
  if (obj == nullptr) return nullptr;
  CursorObject* cur = as_cursor(obj);
  new (&cur->d) CursorData();
  Py_INCREF(reinterpret_cast<PyObject*>(conn));
  cur->d.conn = conn;
  return obj;
}

bool cursor_execute_step(CursorObject* cur, std::string_view sql, PyObject* params) {
  ModuleState* st = state_of(reinterpret_cast<PyObject*>(cur));
  ConnectionObject* conn = cur->d.conn;
  if (!check_process(st, conn) || !check_owner(st, conn->d.owner, conn, kConnectionName)) return false;
  Database& db = *conn->d.db;
  std::optional<Result<Outcome>> run;
  if (params != nullptr && params != Py_None) {
    std::vector<Value> values;
    if (!params_to_values(st, params, values)) return false;
    Use use;
    if (!use_database(st, conn, use, false)) return false;
    run.emplace(without_gil([&] { return run_prepared(conn->d, sql, values); }));
  } else {
    Use use;
    if (!use_database(st, conn, use, true)) return false;
    run.emplace(without_gil([&] { return run_text(db, sql); }));
  }
  if (!*run) {
    raise_engine_error(st, run->error());
    return false;
  }
  keep(cur, std::move(**run));
  return true;
}

}  // namespace bkf::py
