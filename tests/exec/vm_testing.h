// A database for virtual machine tests: one file in a temporary
// directory, a write transaction open, tables and indexes made directly
// through the B-tree layer, and programs run on a fresh machine each time.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "btree/index.h"
#include "exec/vm/builder.h"
#include "exec/vm/vm.h"
#include "pager/os_vfs.h"
#include "pager/pager.h"
#include "record/record.h"
#include "support/temp_dir.h"
#include "support/values.h"

namespace bkf::vm::testing {

using ::bkf::testing::B;
using ::bkf::testing::I;
using ::bkf::testing::N;
using ::bkf::testing::R;
using ::bkf::testing::T;

// Rows in the debug form: "(Int(1), Text(\"a\"))(Null)".
inline std::string dump(const std::vector<Row>& rows) {
  std::string out;
  for (const Row& r : rows) {
    out += '(';
    for (std::size_t i = 0; i < r.size(); ++i) {
      if (i) out += ", ";
      out += value_debug(r[i]);
    }
    out += ')';
  }
  return out;
}

struct RunResult {
  Status status;
  std::vector<Row> rows;
  std::uint64_t changes = 0;
  std::int64_t last_rowid = 0;

  std::string error() const { return status.ok() ? "" : status.error().to_string(); }
};

class VmFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    auto p = Pager::create(vfs_, dir_.file("t.db"), 4096);
    ASSERT_TRUE(p.ok()) << p.error().to_string();
    pager_ = std::move(p).value();
    ASSERT_TRUE(pager_->begin().ok());
  }

  Pager& pager() { return *pager_; }
  std::uint32_t new_table() { return BTree::create(*pager_).value().root(); }
  std::uint32_t new_index() { return IndexBTree::create(*pager_).value().root(); }

  RunResult run(const Program& p, const std::vector<Value>& binds = {}) {
    Vm vm(*pager_, binds);
    RunResult r;
    r.status = vm.run(p);
    r.changes = vm.changes();
    r.last_rowid = vm.last_rowid();
    r.rows = vm.take_rows();
    return r;
  }
  // Runs a program that must succeed and returns its rows in debug form.
  std::string rows_of(const Program& p, const std::vector<Value>& binds = {}) {
    RunResult r = run(p, binds);
    EXPECT_TRUE(r.status.ok()) << r.error() << "\n" << p.debug();
    return dump(r.rows);
  }

 private:
  ::bkf::testing::TempDir dir_;
  OsVfs vfs_;
  std::unique_ptr<Pager> pager_;
};

}  // namespace bkf::vm::testing
