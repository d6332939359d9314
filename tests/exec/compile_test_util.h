// Shared fixture of the statement compiler's tests: a fresh database in a
// temporary directory, run through SqlHarness.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "sql_harness.h"
#include "support/temp_dir.h"

namespace bkf::testing {

class CompileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto h = SqlHarness::open(dir_.file("t.db"));
    ASSERT_TRUE(h.ok()) << h.error().to_string();
    db_ = std::move(*h);
  }

  // Runs SQL that must succeed.
  QueryResult ok(const std::string& sql, std::vector<Value> binds = {}) {
    return must(db_->exec(sql, binds), sql);
  }
  // The rows of a query as text ("a|b;c|d"), sorted when the order is not defined.
  std::string rows(const std::string& sql, std::vector<Value> binds = {}) { return rows_text(ok(sql, binds).rows); }
  std::string sorted_rows(const std::string& sql, std::vector<Value> binds = {}) {
    std::vector<std::string> parts;
    for (Row& r : ok(sql, binds).rows) parts.push_back(rows_text({std::move(r)}));
    std::sort(parts.begin(), parts.end());
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? ";" : "") + parts[i];
    return out;
  }
  // The display text of the error SQL must fail with, when run and when
  // only compiled.
  std::string err(const std::string& sql, std::vector<Value> binds = {}) {
    Result<QueryResult> r = db_->exec(sql, binds);
    return r.ok() ? "(no error)" : r.error().to_string();
  }
  std::string compile_err(const std::string& sql) {
    Result<vm::Program> p = db_->compile(sql);
    return p.ok() ? "(no error)" : p.error().to_string();
  }
  vm::Program program(const std::string& sql) { return must(db_->compile(sql), sql); }
  // A compiled program run once, with what the machine counted.
  QueryResult run(const std::string& sql, bool writes = false, std::vector<Value> binds = {}) {
    return must(db_->run(program(sql), writes, binds), sql);
  }

  template <class T>
  T must(Result<T> r, const std::string& sql) {
    EXPECT_TRUE(r.ok()) << sql << "\n  -> " << (r.ok() ? "" : r.error().to_string());
    return r.ok() ? std::move(*r) : T{};
  }

  TempDir dir_;
  std::unique_ptr<SqlHarness> db_;
};

// Whether a program (not counting its sub-programs) holds an instruction of a kind.
inline bool has_op(const vm::Program& p, vm::OpKind k) {
  return std::any_of(p.ops.begin(), p.ops.end(), [&](const vm::Op& op) { return op.kind == k; });
}

}  // namespace bkf::testing
