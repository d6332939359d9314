// The two handles behind the C interface's opaque pointers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "exec/engine/database.h"
#include "record/value.h"

// One open database with the buffered result of its last statement run.
struct BkfDb {
  explicit BkfDb(bkf::Database database, std::uint64_t serial_number)
      : db(std::move(database)), serial(serial_number) {}

  bkf::Database db;
  // Identifies this handle among every handle the process ever opened;
  // statements carry the serial of the handle that prepared them. Addresses
  // cannot serve: a closed handle's address is reused by the next one.
  std::uint64_t serial;

  // The message of the latest failure that recorded one.
  std::string last_error;
  bool has_error = false;

  // The buffered result: column names and rows of the last row-returning
  // statement of the latest bkf_exec / bkf_exec_prepared.
  std::vector<std::string> columns;
  std::vector<std::vector<bkf::Value>> rows;

  // The strings most recently handed out by bkf_get_str / bkf_get_text and by
  // bkf_col_name. Each is one buffer reused from call to call.
  std::string text_buf;
  std::string name_buf;

  std::int64_t last_insert_id = 0;

  // Records a failure's message; a message holding a NUL byte cannot be
  // handed out as a C string and leaves none.
  void set_err(std::string_view message) {
    has_error = message.find('\0') == std::string_view::npos;
    if (has_error) last_error.assign(message);
    else last_error.clear();
  }

  void clear_buffer() noexcept {
    columns.clear();
    rows.clear();
  }
};

// One compiled statement and its parameter slots.
struct BkfStmt {
  BkfStmt(bkf::Prepared p, std::uint64_t serial) : prepared(std::move(p)), db_serial(serial) {}

  bkf::Prepared prepared;
  // The serial of the BkfDb that prepared it (see BkfDb::serial).
  std::uint64_t db_serial;
  // Slot i holds the value of the i-th `?`.
  std::vector<bkf::Value> binds;
  // bad_text[i]: slot i was last given text that is not UTF-8 (it holds
  // Null); every run fails until the slot is bound again or cleared, so that
  // the statement never writes Null where the caller gave a value.
  std::vector<bool> bad_text;
};
