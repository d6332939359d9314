// Helpers of the C interface's tests: a scratch directory and a database
// handle in it that closes itself.
#pragma once

#include <string>

#include "brackenford.h"

namespace bkf_ctest {

// A fresh directory, removed with its contents at destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// An open handle (bkf_close at destruction).
class Db {
 public:
  explicit Db(const std::string& path) : db_(bkf_open(path.c_str())) {}
  ~Db() { bkf_close(db_); }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;
  BkfDb* get() const { return db_; }
  operator BkfDb*() const { return db_; }

 private:
  BkfDb* db_;
};

// A prepared statement (bkf_finalize at destruction).
class Stmt {
 public:
  Stmt(BkfDb* db, const char* sql) : stmt_(bkf_prepare(db, sql)) {}
  ~Stmt() { bkf_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  BkfStmt* get() const { return stmt_; }
  operator BkfStmt*() const { return stmt_; }

 private:
  BkfStmt* stmt_;
};

// bkf_last_error as a string ("" when there is none).
std::string last_error(BkfDb* db);
// bkf_get_str as a string, "<null>" for NULL.
std::string str(BkfDb* db, size_t row, size_t col);

}  // namespace bkf_ctest
