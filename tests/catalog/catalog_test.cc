// Catalog::open, the schema operations and the restore after a rollback,
// against real files.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <limits>

#include "catalog_test_util.h"
#include "support/fault_vfs.h"

namespace bkf::testing {
namespace {

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(CatalogTest, FreshOpenCreatesTheSchemaTreeAndReopenWritesNothing) {
  {
    Db db = Db::open(vfs, path);
    EXPECT_EQ(db.c().schema_root(), 2u);
    EXPECT_EQ(db.p().schema_root(), 2u);
    EXPECT_TRUE(db.c().state().tables.empty() && db.c().state().indexes.empty());
    EXPECT_EQ(db.c().next_schema_rowid(), 1);
    // A second connection that opened the fresh file meanwhile finds the
    // tree instead of making another.
    auto other = must(Pager::open(vfs, path));
    EXPECT_EQ(must(Catalog::open(*other)).schema_root(), 2u);
    EXPECT_EQ(other->page_count(), 2u);
  }
  const std::string before = file_bytes(path);
  FaultVfs counting(vfs);
  Db db = Db::open(counting, path);
  EXPECT_EQ(counting.count(), 0u) << "a second open wrote, synced or removed something";
  EXPECT_EQ(file_bytes(path), before);

  // A creation whose commit fails is rolled back and can be tried again.
  FaultVfs faults(vfs);
  auto pager = must(Pager::create(faults, dir.file("fresh"), 4096));
  faults.arm(FaultPlan{.ops = static_cast<unsigned>(FaultOp::Write), .nth = 1});
  auto failed = Catalog::open(*pager);
  ASSERT_FALSE(failed.ok());
  EXPECT_FALSE(pager->in_transaction());
  faults.disarm();
  EXPECT_EQ(must(Catalog::open(*pager)).schema_root(), 2u);
}

TEST_F(CatalogTest, DefinitionsPersistInCreationOrderWithExactNames) {
  Db db = Db::open(vfs, path);
  must(db.tx([&]() -> Status {
    std::vector<Column> c = {{"Id", "INTEGER", true, true, std::nullopt},
                             {"name", "TEXT", false, false, Value::text("x")},
                             {"score", "", false, false, Value::null()}};
    BKF_TRY(db.c().create_table(db.p(), "t", c, 0));
    BKF_TRY(db.c().create_table(db.p(), "T", cols({"x"}), std::nullopt));  // a second table
    IndexDef i = BKF_TRY(db.c().create_index(db.p(), "by_score", "t", {"SCORE", "id"}, false));
    EXPECT_EQ(i.column_positions, (std::vector<std::size_t>{2, 0}));
    EXPECT_EQ(i.columns, (std::vector<std::string>{"SCORE", "id"}));
    BKF_TRY(db.c().create_index(db.p(), "T", "T", {"X"}, true));  // an index named like a table
    BKF_TRY(db.c().create_index(db.p(), "a_first", "t", {"name"}, true));
    return db.c().add_column(db.p(), "t", Column{"late", "REAL", true, false, Value::real(0.5)});
  }));
  EXPECT_EQ(index_names(db.c().indexes_for("t")), (std::vector<std::string>{"by_score", "a_first"}));
  EXPECT_EQ(db.c().get("users"), nullptr);
  EXPECT_EQ(db.c().get_index("t"), nullptr);
  Db again = Db::open(vfs, path);
  expect_same_schema(db.c(), again.c());
  EXPECT_EQ(index_names(again.c().indexes_for("t")), (std::vector<std::string>{"by_score", "a_first"}));
}

TEST_F(CatalogTest, SchemaKeys) {
  Db db = Db::open(vfs, path);
  must(db.tx([&]() -> Status {
    for (int i = 1; i <= 4; ++i) BKF_TRY(db.c().create_table(db.p(), "t" + std::to_string(i), cols({"a"}), {}));
    EXPECT_EQ(BKF_TRY(db.c().create_index(db.p(), "i5", "t2", {"a"}, false)).schema_rowid, 5);
    EXPECT_TRUE(BKF_TRY(db.c().drop_index(db.p(), "i5")));
    return {};
  }));
  EXPECT_EQ(db.c().next_schema_rowid(), 6);  // not given back while open
  db = Db{};
  Db again = Db::open(vfs, path);
  EXPECT_EQ(again.c().next_schema_rowid(), 5);  // but after a reopen
  must(again.tx([&]() -> Status {
    EXPECT_EQ(BKF_TRY(again.c().create_table(again.p(), "t5", cols({"a"}), {})).schema_rowid, 5);
    // A row this catalog has never seen (another writer's) is not
    // overwritten: keys pass the largest key in the tree.
    TableDef stray{{}, "stray", {}, 0, again.c().get("t1")->root};
    BKF_TRY(BTree(again.p(), again.c().schema_root()).insert(40, encode_record(stray.to_row())));
    EXPECT_EQ(BKF_TRY(again.c().create_table(again.p(), "t41", cols({"a"}), {})).schema_rowid, 41);
    return {};
  }));
}

TEST_F(CatalogTest, FailedSchemaChangesChangeNothing) {
  Db db = Db::open(vfs, path);
  must(db.tx([&]() -> Status {
    BKF_TRY(db.c().create_table(db.p(), "t", cols({"a", "B"}), {}));
    return status_of(db.c().create_index(db.p(), "i", "t", {"a"}, false));
  }));
  struct Case {
    std::function<Status(Db&)> op;
    const char* message;  // all Schema errors
  };
  const Case cases[] = {
      {[](Db& d) { return status_of(d.c().create_table(d.p(), "t", cols({"x"}), {})); }, "table \"t\" already exists"},
      {[](Db& d) { return status_of(d.c().create_index(d.p(), "i", "t", {"B"}, false)); },
       "index \"i\" already exists"},
      {[](Db& d) { return status_of(d.c().create_index(d.p(), "j", "T", {"a"}, false)); }, "no such table: T"},
      {[](Db& d) { return status_of(d.c().create_index(d.p(), "j", "t", {"b", "cc", "d"}, false)); },
       "no such column: cc"},
      {[](Db& d) { return status_of(d.c().create_index(d.p(), "j", "t", {}, false)); }, "index \"j\" has no columns"},
      {[](Db& d) { return d.c().add_column(d.p(), "x", col("c")); }, "no such table: x"},
      {[](Db& d) { return d.c().add_column(d.p(), "t", col("b")); }, "duplicate column name: b"},
      {[](Db& d) { return status_of(d.c().create_table(d.p(), "u", cols({"x", "y", "X"}), {})); },
       "duplicate column name: X"},
  };
  for (const Case& c : cases) {
    const std::uint64_t gen = db.c().generation();
    const std::uint32_t pages = db.p().page_count();
    Status st = db.tx([&] { return c.op(db); });
    ASSERT_FALSE(st.ok()) << c.message;
    EXPECT_EQ(st.error().to_string(), std::string("schema error: ") + c.message);
    EXPECT_EQ(db.c().generation(), gen) << c.message;
    EXPECT_EQ(db.p().page_count(), pages) << c.message << ": a tree was made before the checks";
  }
  must(db.tx([&]() -> Status {
    EXPECT_FALSE(BKF_TRY(db.c().drop_table(db.p(), "T")));
    EXPECT_FALSE(BKF_TRY(db.c().drop_index(db.p(), "t")));
    return {};
  }));
  EXPECT_EQ(db.c().get("t")->columns.size(), 2u);
  EXPECT_EQ(index_names(db.c().indexes_for("t")), std::vector<std::string>{"i"});
}

// The scenario of a rolled-back schema transaction: without restore the
// catalog would keep naming pages that the next allocation hands out again.
TEST_F(CatalogTest, RestoreAfterRollbackLetsTheNextTableReuseThePages) {
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

// Dropped tables and indexes and the trees a rebuild replaces give their pages back in the same transaction, so that
// twenty rounds of each, one schema change per transaction, need no more of the file than the first round did.
TEST_F(CatalogTest, DroppedAndRebuiltTreesGiveTheirPagesBack) {
  Db db = Db::open(vfs, path);
  auto fill = [&](std::uint32_t root) {
    for (int i = 1; i <= 5000; ++i) {
      db.put_row(root, i, {Value::integer(i), Value::text(std::string(i % 100 == 0 ? 9000 : 40, 'f'))});
    }
  };
  must(db.tx([&]() -> Status {
    fill(BKF_TRY(db.c().create_table(db.p(), "t", cols({"a", "b"}), {})).root);
    return status_of(db.c().create_index(db.p(), "ta", "t", {"a"}, true));
  }));
  const std::function<Status()> steps[] = {
      [&] { return status_of(db.c().create_index(db.p(), "tb", "t", {"a"}, false)); },
      [&] { return status_of(db.c().drop_index(db.p(), "tb")); },
      [&]() -> Status {
        fill(BKF_TRY(db.c().create_table(db.p(), "u", cols({"a", "b"}), {})).root);
        return {};
      },
      [&] { return status_of(db.c().create_index(db.p(), "ua", "u", {"a"}, false)); },
      [&] { return status_of(db.c().drop_table(db.p(), "u")); },
      [&] { return status_of(db.c().reindex(db.p(), std::nullopt)); },
  };
  std::uint32_t pages = 0;
  for (int round = 0; round < 20; ++round) {
    for (const auto& step : steps) must(db.tx(step));
    if (round == 0) pages = db.p().page_count();
    EXPECT_EQ(db.p().page_count(), pages) << "round " << round;
  }
  EXPECT_TRUE(db.check().empty());
  EXPECT_GT(db.p().header().freelist_count, 200u);
}

TEST_F(CatalogTest, IndexFill) {
  Db db = Db::open(vfs, path);
  std::uint32_t root = 0;
  must(db.tx([&]() -> Status {
    root = BKF_TRY(db.c().create_table(db.p(), "t", cols({"a"}), {})).root;
    db.put_row(root, 1, {Value::integer(1)});
    db.put_row(root, 2, {Value::real(1.0)});
    return db.c().add_column(db.p(), "t", col("added"));
  }));
  // Rows stored before the column existed are short: the index reads Null.
  must(db.tx([&] { return status_of(db.c().create_index(db.p(), "by_added", "t", {"ADDED"}, false)); }));
  EXPECT_TRUE(db.check().empty());

  // UNIQUE: Null equals Null, and the integer 1 equals the real 1.0.
  for (const char* column : {"added", "a"}) {
    const std::uint64_t gen = db.c().generation();
    Status st = db.tx([&] { return status_of(db.c().create_index(db.p(), "u", "t", {column}, true)); });
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().to_string(), "constraint violation: UNIQUE constraint failed: duplicate value in u");
    EXPECT_EQ(db.c().get_index("u"), nullptr);
    EXPECT_EQ(db.c().generation(), gen);
    EXPECT_EQ(db.c().next_schema_rowid(), 3);
    EXPECT_EQ(index_names(db.c().indexes_for("t")), std::vector<std::string>{"by_added"});
  }

  must(db.tx([&]() -> Status {
    db.put_row(root, 3, {Value::integer(2), Value::text(std::string(2100, 'x'))});
    return {};
  }));
  Status st = db.tx([&] { return status_of(db.c().create_index(db.p(), "big", "t", {"added"}, false)); });
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().to_string(), "execution error: index key too large (2111 bytes)");
}

TEST_F(CatalogTest, MalformedSchemaRowsFailTheOpen) {
  struct Case {
    std::int64_t key;
    std::vector<Value> row;
    const char* error;
  };
  const Case cases[] = {
      {1, {Value::text("table"), Value::text("t"), Value::integer(2), Value::integer(-1), Value::integer(1)},
       "schema error: schema row: expected integer at field 7"},
      {std::numeric_limits<std::int64_t>::max(), TableDef{{}, "t", {}, 0, 2}.to_row(),
       "corrupt data: schema row key 9223372036854775807 leaves no key for a new definition"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string p = dir.file("bad" + std::to_string(n++));
    {
      Db db = Db::open(vfs, p);
      must(db.tx([&] { return BTree(db.p(), db.c().schema_root()).insert(c.key, encode_record(c.row)); }));
    }
    auto pager = must(Pager::open(vfs, p));
    auto cat = Catalog::open(*pager);
    ASSERT_FALSE(cat.ok());
    EXPECT_EQ(cat.error().to_string(), c.error);
  }
}

}  // namespace
}  // namespace bkf::testing
