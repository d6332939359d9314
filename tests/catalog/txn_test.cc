// The catalog across transactions: restore after a rollback, discard after a
// commit, other connections' schema changes, and failing writes.
#include <gtest/gtest.h>

#include "btree/index.h"
#include "catalog_test_util.h"
#include "support/fault_vfs.h"

namespace bkf::testing {
namespace {

using TxnTest = CatalogTest;

// The scenario of a rolled-back schema transaction: without restore the
// catalog would keep naming pages that the next allocation hands out again.
TEST_F(TxnTest, RestoreAfterRollbackLetsTheNextTableReuseThePages) {
  Db db = Db::open(vfs, path);
  std::uint32_t t_root = 0;
  must(db.tx([&]() -> Status {
    t_root = BKF_TRY(db.c().create_table(db.p(), "t", cols({"a", "b"}), {})).root;
    for (int i = 1; i <= 50; ++i) {
      db.put_row(t_root, i, {Value::integer(i), Value::text(std::string(40, 'a' + i % 26))});
    }
    BKF_TRY(db.c().create_index(db.p(), "ta", "t", {"a"}, true));
    return {};
  }));
  Db before = Db::open(vfs, path);  // a second view of the committed schema
  const std::uint64_t gen = db.c().generation();

  std::uint32_t x_root = 0;
  must(db.p().begin());
  {
    x_root = must(db.c().create_table(db.p(), "x", cols({"k"}), {})).root;
    for (int i = 1; i <= 50; ++i) db.put_row(x_root, i, {Value::integer(i)});
    must(db.c().create_index(db.p(), "xk", "x", {"k"}, false));
    must(db.c().add_column(db.p(), "t", col("c")));
    must(status_of(db.c().drop_index(db.p(), "ta")));
    must(status_of(db.c().reindex(db.p(), std::nullopt)));
    EXPECT_TRUE(db.c().has_snapshot());
  }
  must(db.p().rollback());
  db.c().restore();
  EXPECT_FALSE(db.c().has_snapshot());
  EXPECT_GT(db.c().generation(), gen + 5);
  expect_same_schema(db.c(), before.c(), /*same_next_key=*/false);
  EXPECT_EQ(db.c().get("x"), nullptr);

  // The rolled-back trees' pages come back to the next table and index.
  std::uint32_t y_root = 0;
  must(db.tx([&]() -> Status {
    y_root = BKF_TRY(db.c().create_table(db.p(), "y", cols({"k"}), {})).root;
    for (int i = 1; i <= 200; ++i) db.put_row(y_root, i, {Value::integer(-i)});
    BKF_TRY(db.c().create_index(db.p(), "yk", "y", {"k"}, true));
    return {};
  }));
  EXPECT_EQ(y_root, x_root);
  EXPECT_TRUE(db.check().empty());
  Db again = Db::open(vfs, path);
  expect_same_schema(db.c(), again.c(), /*same_next_key=*/false);
  EXPECT_TRUE(again.check().empty());
  EXPECT_EQ(must(BTree(again.p(), again.c().get("t")->root).count()), 50u);
}

TEST_F(TxnTest, SnapshotRestoreDiscardAndReload) {
  Db db = Db::open(vfs, path);
  must(db.tx([&] { return status_of(db.c().create_table(db.p(), "kept", cols({"a"}), {})); }));
  EXPECT_FALSE(db.c().has_snapshot());  // dropped by the commit's discard
  const std::uint64_t gen = db.c().generation();
  // A transaction without schema writes: restore changes nothing.
  must(db.p().begin());
  must(db.p().rollback());
  db.c().restore();
  EXPECT_EQ(db.c().generation(), gen);
  // The first change's snapshot is the one restored, however many follow; a
  // reload inside the transaction sees its own rows and keeps the snapshot.
  must(db.p().begin());
  must(status_of(db.c().create_table(db.p(), "a", cols({"a"}), {})));
  must(status_of(db.c().create_table(db.p(), "b", cols({"a"}), {})));
  must(db.c().reload(db.p()));
  EXPECT_NE(db.c().get("b"), nullptr);
  EXPECT_TRUE(db.c().has_snapshot());
  EXPECT_EQ(db.c().generation(), gen + 3);
  must(db.p().rollback());
  db.c().restore();
  EXPECT_EQ(db.c().generation(), gen + 4);
  EXPECT_EQ(db.c().state().tables.size(), 1u);
  EXPECT_EQ(db.c().next_schema_rowid(), 2);
}

TEST_F(TxnTest, TwoCatalogsOnOneFileEachCreateATable) {
  Db a = Db::open(vfs, path);
  Db b = Db::open(vfs, path);
  must(a.tx([&] { return status_of(a.c().create_table(a.p(), "from_a", cols({"x"}), {})); }));
  // b has not seen a's table yet; its next begin adopts a's commit.
  EXPECT_EQ(b.c().get("from_a"), nullptr);
  const std::uint64_t gen_b = b.c().generation();
  must(b.tx([&]() -> Status {
    EXPECT_GT(b.c().generation(), gen_b);
    EXPECT_NE(b.c().get("from_a"), nullptr);
    TableDef t = BKF_TRY(b.c().create_table(b.p(), "from_b", cols({"y"}), {}));
    EXPECT_EQ(t.schema_rowid, 2);
    return {};
  }));
  // a's own schema operations refresh before they write: the index on b's
  // table is found and gets a fresh key.
  must(a.p().begin());
  IndexDef ix = must(a.c().create_index(a.p(), "iy", "from_b", {"y"}, false));
  must(a.p().commit());
  a.c().discard();
  EXPECT_EQ(ix.schema_rowid, 3);
  // b drops a's table; a then cannot index it any more.
  must(b.tx([&] { return status_of(b.c().drop_table(b.p(), "from_a")); }));
  Status st = a.tx([&] { return status_of(a.c().create_index(a.p(), "ix", "from_a", {"x"}, false)); });
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message(), "no such table: from_a");

  a = Db{};
  b = Db{};
  Db c = Db::open(vfs, path);
  EXPECT_EQ(c.c().get("from_a"), nullptr);
  ASSERT_NE(c.c().get("from_b"), nullptr);
  EXPECT_EQ(index_names(c.c().indexes_for("from_b")), std::vector<std::string>{"iy"});
  EXPECT_TRUE(c.check().empty());
}

// A commit whose file operations (writes, syncs, truncations, unlinks) fail
// at each one in turn: a commit reported as failed leaves the catalog as it
// was before the transaction, one reported as done (a failure after the
// commit point is not reported) shows the new schema, and either way the
// next schema change works and a reopen agrees with memory.
TEST_F(TxnTest, CommitFailingAtEveryFileOperation) {
  int failed = 0;
  for (std::uint64_t nth = 1;; ++nth) {
    TempDir d;
    FaultVfs faults(vfs);
    Db db = Db::open(faults, d.file("db"));
    must(db.tx([&]() -> Status {
      const std::uint32_t root = BKF_TRY(db.c().create_table(db.p(), "base", cols({"a"}), {})).root;
      for (int i = 1; i <= 30; ++i) db.put_row(root, i, {Value::integer(i % 7)});
      return {};
    }));
    Db committed = Db::open(vfs, d.file("db"));
    faults.arm(FaultPlan{.ops = kAllFaultOps, .nth = nth});
    Status st = db.tx([&]() -> Status {
      BKF_TRY(db.c().create_index(db.p(), "ia", "base", {"a"}, false));
      BKF_TRY(db.c().add_column(db.p(), "base", col("b")));
      TableDef t = BKF_TRY(db.c().create_table(db.p(), "more", cols({"z"}), {}));
      for (int i = 1; i <= 30; ++i) db.put_row(t.root, i, {Value::text(std::string(300, 'z'))});
      return {};
    });
    const bool fired = faults.fired();
    faults.disarm();
    EXPECT_FALSE(db.c().has_snapshot());
    if (st.ok()) {
      ASSERT_NE(db.c().get("more"), nullptr) << "operation " << nth;
    } else {
      ++failed;
      expect_same_schema(db.c(), committed.c());
      must(db.tx([&] { return status_of(db.c().create_index(db.p(), "ia", "base", {"a"}, false)); }));
    }
    EXPECT_TRUE(db.check().empty()) << "operation " << nth;
    Db again = Db::open(vfs, d.file("db"));
    expect_same_schema(db.c(), again.c());
    EXPECT_TRUE(again.check().empty()) << "operation " << nth;
    if (!fired) break;
  }
  EXPECT_GE(failed, 4);
}

}  // namespace
}  // namespace bkf::testing
