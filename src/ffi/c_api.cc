// The exported bkf_ functions (see brackenford.h).
//
// Every body runs inside guarded() or guarded_void(): nothing may unwind into
// a C caller, so an exception (only running out of memory can raise one)
// becomes the function's failure value, with a message on the handle when
// there is one. Once the engine has run a statement successfully, bkf_exec
// and bkf_exec_prepared only move its result into the handle, which
// allocates nothing: a call whose statement committed never returns -1.

#include "brackenford.h"

#include <atomic>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "exec/numeric_text.h"
#include "ffi/cell_text.h"
#include "ffi/handles.h"
#include "ffi/open_path.h"
#include "record/utf8.h"

namespace {

using bkf::ExecResult;
using bkf::Value;
using bkf::ValueKind;

constexpr const char* kSqlNotUtf8 = "sql is not valid UTF-8";
constexpr const char* kNullStatement = "null prepared statement";
constexpr const char* kForeignStatement = "prepared statement belongs to another database";

// Slots are allocated densely, so a stray huge index would ask for a huge
// list. An index is therefore kept only when it names one of the statement's
// own markers (as many as the statement text has, which the caller already
// holds in memory), or lies within this fixed bound, below which binding a
// value the statement does not read costs little and stays harmless.
constexpr std::int64_t kMaxBindIndex = 65535;

// Serials of database handles: unique for the life of the process, from any
// thread.
std::uint64_t next_db_serial() noexcept {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

// The message for the exception being handled (called inside a catch).
const char* current_failure_text() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (...) {
    return "internal error";
  }
}

template <class T, class Body>
T guarded(BkfDb* db, T failed, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    const char* text = current_failure_text();
    if (db != nullptr) {
      try {
        db->set_err(text);
      } catch (...) {
        db->has_error = false;
      }
    }
    return failed;
  }
}

template <class Body>
void guarded_void(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

// A C string argument as text, or nothing when it is NULL or not UTF-8.
bool utf8_arg(const char* s, std::string_view& out) noexcept {
  if (s == nullptr) return false;
  out = std::string_view(s, std::strlen(s));
  return bkf::is_valid_utf8(out);
}

// The buffered cell (row, col), or null when out of range.
const Value* cell(const BkfDb* db, std::size_t row, std::size_t col) noexcept {
  if (db == nullptr || row >= db->rows.size()) return nullptr;
  const auto& r = db->rows[row];
  return col < r.size() ? &r[col] : nullptr;
}

// Places text already built in text_buf into the holder: a text holding a NUL
// byte cannot be handed out and leaves the holder empty.
const char* hand_out_text(BkfDb* db) noexcept {
  if (std::memchr(db->text_buf.data(), '\0', db->text_buf.size()) != nullptr) {
    db->text_buf.clear();
    return nullptr;
  }
  return db->text_buf.c_str();
}

// Stores a value in a slot in place: the slot keeps its text buffer, so
// rebinding a text of similar length allocates nothing. `bad_text` marks a
// slot given text that is not UTF-8 (see BkfStmt::bad_text).
template <class SetValue>
void bind_slot(BkfStmt* stmt, std::int64_t idx, SetValue&& set, bool bad_text = false) {
  if (stmt == nullptr || idx < 0) return;
  const auto slot = static_cast<std::size_t>(idx);
  if (idx > kMaxBindIndex && slot >= stmt->prepared.parameter_count()) return;
  if (slot >= stmt->binds.size()) stmt->binds.resize(slot + 1);
  if (slot >= stmt->bad_text.size()) stmt->bad_text.resize(slot + 1);
  set(stmt->binds[slot]);
  stmt->bad_text[slot] = bad_text;
}

}  // namespace

extern "C" {

BkfDb* bkf_open(const char* path) {
  return guarded(nullptr, static_cast<BkfDb*>(nullptr), [&]() -> BkfDb* {
    std::string_view p;
    if (!utf8_arg(path, p)) return nullptr;
    auto db = bkf::open_database_at(p);
    if (!db) return nullptr;  // no handle to keep the message in
    return new BkfDb(std::move(*db), next_db_serial());
  });
}

void bkf_close(BkfDb* db) {
  guarded_void([&] { delete db; });
}

int64_t bkf_exec(BkfDb* db, const char* sql) {
  return guarded(db, int64_t{-1}, [&]() -> int64_t {
    if (db == nullptr) return -1;
    std::string_view text;
    if (!utf8_arg(sql, text)) {
      db->set_err(kSqlNotUtf8);
      return -1;
    }
    db->clear_buffer();
    auto results = db->db.execute(text);
    if (!results) {
      db->set_err(results.error().to_string());
      return -1;
    }
    std::int64_t total = 0;
    for (ExecResult& r : *results) {
      if (r.is_rows()) {
        total += static_cast<std::int64_t>(r.rows.size());
        db->columns = std::move(r.columns);
        db->rows = std::move(r.rows);
      } else if (r.is_affected()) {
        total += static_cast<std::int64_t>(r.affected);
      }
    }
    db->last_insert_id = db->db.last_insert_id();
    return total;
  });
}

BkfStmt* bkf_prepare(BkfDb* db, const char* sql) {
  return guarded(db, static_cast<BkfStmt*>(nullptr), [&]() -> BkfStmt* {
    if (db == nullptr) return nullptr;
    std::string_view text;
    if (!utf8_arg(sql, text)) {
      db->set_err(kSqlNotUtf8);
      return nullptr;
    }
    auto prepared = db->db.prepare(text);
    if (!prepared) {
      db->set_err(prepared.error().to_string());
      return nullptr;
    }
    return new BkfStmt(std::move(*prepared), db->serial);
  });
}

void bkf_bind_int(BkfStmt* stmt, int64_t idx, int64_t value) {
  guarded_void([&] { bind_slot(stmt, idx, [&](Value& v) { v.set_int(value); }); });
}

void bkf_bind_real(BkfStmt* stmt, int64_t idx, double value) {
  guarded_void([&] { bind_slot(stmt, idx, [&](Value& v) { v.set_real(value); }); });
}

void bkf_bind_text(BkfStmt* stmt, int64_t idx, const char* text) {
  guarded_void([&] {
    std::string_view t;
    const bool valid = utf8_arg(text, t);
    bind_slot(
        stmt, idx,
        [&](Value& v) {
          if (!valid) v.set_null();
          else if (t.size() <= v.bytes_string().capacity()) v.set_text(t);  // cannot fail
          else v = Value::text(t);  // running out of memory leaves the slot as it was
        },
        !valid && text != nullptr);
  });
}

void bkf_bind_null(BkfStmt* stmt, int64_t idx) {
  guarded_void([&] { bind_slot(stmt, idx, [](Value& v) { v.set_null(); }); });
}

void bkf_clear_binds(BkfStmt* stmt) {
  guarded_void([&] {
    if (stmt != nullptr) {
      stmt->binds.clear();
      stmt->bad_text.clear();
    }
  });
}

int64_t bkf_exec_prepared(BkfDb* db, BkfStmt* stmt) {
  return guarded(db, int64_t{-1}, [&]() -> int64_t {
    if (db == nullptr) return -1;
    if (stmt == nullptr) {
      db->set_err(kNullStatement);
      return -1;
    }
    // A statement compiled against another file's schema would read and
    // write this file with the other file's page numbers.
    if (stmt->db_serial != db->serial) {
      db->set_err(kForeignStatement);
      return -1;
    }
    for (std::size_t i = 0; i < stmt->bad_text.size(); ++i) {
      if (stmt->bad_text[i]) {
        db->set_err("bkf_bind_text: parameter " + std::to_string(i) + " is not valid UTF-8");
        return -1;
      }
    }
    db->clear_buffer();
    auto result = db->db.execute_prepared(stmt->prepared, std::span<const Value>(stmt->binds));
    if (!result) {
      db->set_err(result.error().to_string());
      return -1;
    }
    std::int64_t count = 0;
    if (result->is_rows()) {
      count = static_cast<std::int64_t>(result->rows.size());
      db->columns = std::move(result->columns);
      db->rows = std::move(result->rows);
    } else if (result->is_affected()) {
      count = static_cast<std::int64_t>(result->affected);
    }
    db->last_insert_id = db->db.last_insert_id();
    return count;
  });
}

void bkf_finalize(BkfStmt* stmt) {
  guarded_void([&] { delete stmt; });
}

size_t bkf_row_count(BkfDb* db) {
  return guarded(db, size_t{0}, [&] { return db != nullptr ? db->rows.size() : 0; });
}

size_t bkf_col_count(BkfDb* db) {
  return guarded(db, size_t{0}, [&] { return db != nullptr ? db->columns.size() : 0; });
}

const char* bkf_col_name(BkfDb* db, size_t col) {
  return guarded(db, static_cast<const char*>(nullptr), [&]() -> const char* {
    if (db == nullptr || col >= db->columns.size()) return nullptr;
    const std::string& name = db->columns[col];
    if (name.find('\0') != std::string::npos) {
      db->name_buf.clear();
      return nullptr;
    }
    db->name_buf.assign(name);
    return db->name_buf.c_str();
  });
}

int32_t bkf_get_i64(BkfDb* db, size_t row, size_t col, int64_t* out) {
  return guarded(db, int32_t{-1}, [&]() -> int32_t {
    const Value* v = cell(db, row, col);
    if (v == nullptr) return -1;
    std::int64_t result;
    if (v->kind() == ValueKind::Int) result = v->int_value();
    else if (v->kind() == ValueKind::Real) result = bkf::saturating_i64(v->real_value());
    else return 0;  // no text is parsed
    if (out != nullptr) *out = result;
    return 1;
  });
}

const char* bkf_get_str(BkfDb* db, size_t row, size_t col) {
  return guarded(db, static_cast<const char*>(nullptr), [&]() -> const char* {
    const Value* v = cell(db, row, col);
    if (v == nullptr || v->is_null()) return nullptr;
    bkf::ffi::cell_text(*v, db->text_buf);
    return hand_out_text(db);
  });
}

const char* bkf_get_text(BkfDb* db, size_t row, size_t col) {
  return guarded(db, static_cast<const char*>(nullptr), [&]() -> const char* {
    const Value* v = cell(db, row, col);
    if (v == nullptr || !v->is_text()) return nullptr;
    db->text_buf.assign(v->bytes());
    return hand_out_text(db);
  });
}

const char* bkf_last_error(BkfDb* db) {
  return guarded(db, static_cast<const char*>(nullptr), [&]() -> const char* {
    return db != nullptr && db->has_error ? db->last_error.c_str() : nullptr;
  });
}

int64_t bkf_last_insert_id(BkfDb* db) {
  return guarded(db, int64_t{0}, [&] { return db != nullptr ? db->last_insert_id : 0; });
}

}  // extern "C"
