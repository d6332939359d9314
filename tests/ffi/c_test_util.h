// Helpers of the C interface's tests: handles that release themselves, the
// strings of the accessors, and a fixture with a table.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "brackenford.h"
#include "support/temp_dir.h"

namespace bkf_ctest {

using bkf::testing::TempDir;

// An owned handle, released with Free at destruction.
template <class T, void (*Free)(T*)>
class Handle {
 public:
  explicit Handle(T* p) : p_(p) {}
  ~Handle() { Free(p_); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  T* get() const { return p_; }
  operator T*() const { return p_; }

 private:
  T* p_;
};

struct Db : Handle<BkfDb, bkf_close> {
  explicit Db(const std::string& path) : Handle(bkf_open(path.c_str())) {}
};
struct Stmt : Handle<BkfStmt, bkf_finalize> {
  Stmt(BkfDb* db, const char* sql) : Handle(bkf_prepare(db, sql)) {}
};

// bkf_last_error as a string ("" when there is none).
inline std::string last_error(BkfDb* db) {
  const char* e = bkf_last_error(db);
  return e != nullptr ? e : "";
}
// bkf_get_str as a string, "<null>" for NULL.
inline std::string str(BkfDb* db, size_t row, size_t col) {
  const char* s = bkf_get_str(db, row, col);
  return s != nullptr ? s : "<null>";
}

// A database in a scratch directory holding t (id INTEGER PRIMARY KEY, v TEXT).
class TableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(db.get(), nullptr);
    ASSERT_EQ(bkf_exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)"), 0) << last_error(db);
  }
  TempDir dir;
  Db db{dir.file("a.db")};
};

}  // namespace bkf_ctest
