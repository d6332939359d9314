// Helpers of the catalog tests: opening a database with its catalog, running
// a write transaction the way the database engine does, writing rows behind
// the catalog's back, and comparing whole schemas.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "catalog/catalog.h"
#include "pager/os_vfs.h"
#include "pager/pager.h"
#include "record/record.h"
#include "support/temp_dir.h"

namespace bkf::testing {

template <class T>
T must(Result<T> r) {
  if (!r.ok()) throw std::runtime_error(r.error().to_string());
  return std::move(*r);
}
inline void must(Status s) {
  if (!s.ok()) throw std::runtime_error(s.error().to_string());
}

// The error of a result, or success.
template <class T>
Status status_of(Result<T> r) {
  if (r.ok()) return {};
  return std::move(r).error();
}

// One open database: its pager and catalog.
struct Db {
  std::unique_ptr<Pager> pager;
  std::optional<Catalog> cat;

  static Db open(Vfs& vfs, const std::string& path, std::uint32_t page_size = 4096) {
    Db db;
    db.pager = must(Pager::create(vfs, path, page_size));
    db.cat.emplace(must(Catalog::open(*db.pager)));
    return db;
  }

  Catalog& c() { return *cat; }
  Pager& p() { return *pager; }

  // A write transaction as the engine runs it: begin, refresh, the work,
  // commit and discard; on failure rollback and restore.
  template <class F>
  Status tx(F&& work) {
    BKF_TRY(pager->begin());
    Status st = cat->refresh(*pager);
    if (st.ok()) st = work();
    if (st.ok()) st = pager->commit();
    if (st.ok()) {
      cat->discard();
      return {};
    }
    (void)pager->rollback();
    cat->restore();
    return st;
  }

  // Writes a row straight into a table B-tree (no index maintenance).
  void put_row(std::uint32_t root, std::int64_t rowid, const std::vector<Value>& values) {
    must(BTree(*pager, root).insert(rowid, encode_record(values)));
  }

  std::vector<std::string> check() {
    must(pager->read_lock());
    auto r = cat->integrity_check(*pager);
    must(pager->read_unlock());
    return must(std::move(r));
  }
};

// A scratch directory with a database path in it.
class CatalogTest : public ::testing::Test {
 protected:
  TempDir dir;
  OsVfs vfs;
  std::string path = dir.file("db");
};

inline Column col(std::string name, std::string type = "") {
  return Column{std::move(name), std::move(type), false, false, std::nullopt};
}

inline std::vector<Column> cols(std::initializer_list<const char*> names) {
  std::vector<Column> out;
  for (const char* n : names) out.push_back(col(n));
  return out;
}

inline std::vector<std::string> index_names(const std::vector<const IndexDef*>& defs) {
  std::vector<std::string> out;
  for (const IndexDef* d : defs) out.push_back(d->name);
  return out;
}

// Two catalogs hold the same definitions and index lists (and next key,
// unless a reopen after drops lowered it legitimately).
inline void expect_same_schema(const Catalog& a, const Catalog& b, bool same_next_key = true) {
  const auto& x = a.state();
  const auto& y = b.state();
  EXPECT_EQ(x.tables.size(), y.tables.size());
  for (const auto& [name, def] : x.tables) {
    const TableDef* other = b.get(name);
    ASSERT_NE(other, nullptr) << name;
    EXPECT_TRUE(*other == def) << name;
    EXPECT_EQ(index_names(a.indexes_for(name)), index_names(b.indexes_for(name))) << name;
  }
  EXPECT_EQ(x.indexes.size(), y.indexes.size());
  for (const auto& [name, def] : x.indexes) {
    const IndexDef* other = b.get_index(name);
    ASSERT_NE(other, nullptr) << name;
    EXPECT_TRUE(*other == def) << name;
  }
  if (same_next_key) {
    EXPECT_EQ(x.next_schema_rowid, y.next_schema_rowid);
  }
  EXPECT_EQ(x.schema_root, y.schema_root);
}

}  // namespace bkf::testing
