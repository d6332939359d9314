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
    Result<QueryResult> r = db_->exec(sql, binds);
    EXPECT_TRUE(r.ok()) << sql << "\n  -> " << (r.ok() ? "" : r.error().to_string());
    return r.ok() ? std::move(*r) : QueryResult{};
  }
  // The rows of a query as text ("a|b;c|d").
  std::string rows(const std::string& sql, std::vector<Value> binds = {}) { return rows_text(ok(sql, binds).rows); }
  // The same, with the rows sorted (for results whose order is not defined).
  std::string sorted_rows(const std::string& sql, std::vector<Value> binds = {}) {
    std::vector<Row> rs = ok(sql, binds).rows;
    std::vector<std::string> parts;
    for (const Row& r : rs) parts.push_back(rows_text({r}));
    std::sort(parts.begin(), parts.end());
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? ";" : "") + parts[i];
    return out;
  }
  // The display text of the error SQL must fail with.
  std::string err(const std::string& sql, std::vector<Value> binds = {}) {
    Result<QueryResult> r = db_->exec(sql, binds);
    if (r.ok()) return "(no error)";
    return r.error().to_string();
  }
  vdbe::Program program(const std::string& sql) {
    Result<vdbe::Program> p = db_->compile(sql);
    EXPECT_TRUE(p.ok()) << sql << "\n  -> " << (p.ok() ? "" : p.error().to_string());
    return p.ok() ? std::move(*p) : vdbe::Program{};
  }

  TempDir dir_;
  std::unique_ptr<SqlHarness> db_;
};

// Instructions of a kind in a program (not counting its sub-programs).
inline int count_ops(const vdbe::Program& p, vdbe::OpKind k) {
  return static_cast<int>(std::count_if(p.ops.begin(), p.ops.end(), [&](const vdbe::Op& op) { return op.kind == k; }));
}
inline bool has_op(const vdbe::Program& p, vdbe::OpKind k) { return count_ops(p, k) > 0; }

}  // namespace bkf::testing
