// Catalog::open and the schema operations against real files.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <limits>

#include "btree/index.h"
#include "btree/keyenc.h"
#include "catalog_test_util.h"
#include "support/fault_vfs.h"
#include "support/temp_dir.h"

namespace bkf::testing {
namespace {

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class CatalogTest : public ::testing::Test {
 protected:
  TempDir dir;
  OsVfs vfs;
  std::string path = dir.file("db");
};

TEST_F(CatalogTest, FreshOpenCreatesSchemaTreeAndReopenWritesNothing) {
  {
    Db db = Db::open(vfs, path);
    EXPECT_NE(db.c().schema_root(), 0u);
    EXPECT_EQ(db.p().schema_root(), db.c().schema_root());
    EXPECT_EQ(db.p().page_count(), 2u);
    EXPECT_TRUE(db.c().state().tables.empty());
    EXPECT_TRUE(db.c().state().indexes.empty());
    EXPECT_EQ(db.c().next_schema_rowid(), 1);
    EXPECT_FALSE(vfs.exists(path + "-journal"));
  }
  const std::string before = file_bytes(path);
  FaultVfs counting(vfs);
  {
    Db db = Db::open(counting, path);
    EXPECT_EQ(counting.count(), 0u) << "a second open wrote, synced or removed something";
    EXPECT_EQ(db.c().schema_root(), 2u);
    EXPECT_EQ(db.c().next_schema_rowid(), 1);
  }
  EXPECT_EQ(file_bytes(path), before);
}

TEST_F(CatalogTest, FailedCreationOfSchemaTreeLeavesTheFileUsable) {
  FaultVfs faults(vfs);
  auto pager = must(Pager::create(faults, path, 4096));
  faults.arm(FaultPlan{.ops = static_cast<unsigned>(FaultOp::Write), .nth = 1});
  auto cat = Catalog::open(*pager);
  ASSERT_FALSE(cat.ok());
  EXPECT_TRUE(cat.error().is(ErrorKind::Io)) << cat.error().to_string();
  EXPECT_FALSE(pager->in_transaction());
  faults.disarm();
  auto again = Catalog::open(*pager);
  ASSERT_TRUE(again.ok()) << again.error().to_string();
  EXPECT_NE(again->schema_root(), 0u);
}

TEST_F(CatalogTest, TwoOpenersOfAFreshFileShareOneSchemaTree) {
  auto a = must(Pager::create(vfs, path, 4096));
  auto b = must(Pager::open(vfs, path));
  Catalog ca = must(Catalog::open(*a));
  Catalog cb = must(Catalog::open(*b));
  EXPECT_EQ(ca.schema_root(), cb.schema_root());
  EXPECT_EQ(b->page_count(), 2u);
}

TEST_F(CatalogTest, DefinitionsPersistInCreationOrder) {
  Db db = Db::open(vfs, path);
  std::vector<Column> t_cols = {Column{"Id", "INTEGER", true, true, std::nullopt},
                                Column{"name", "TEXT", false, false, Value::text("anon")},
                                Column{"score", "", false, false, Value::null()}};
  must(db.tx([&]() -> Status {
    TableDef t = BKF_TRY(db.c().create_table(db.p(), "t", t_cols, 0));
    EXPECT_EQ(t.schema_rowid, 1);
    EXPECT_EQ(t.rowid_alias, std::optional<std::size_t>(0));
    BKF_TRY(db.c().create_table(db.p(), "T", cols({"x"}), std::nullopt));
    IndexDef i = BKF_TRY(db.c().create_index(db.p(), "by_score", "t", {"SCORE", "id"}, false));
    EXPECT_EQ(i.column_positions, (std::vector<std::size_t>{2, 0}));
    EXPECT_EQ(i.columns, (std::vector<std::string>{"SCORE", "id"}));
    BKF_TRY(db.c().create_index(db.p(), "T", "T", {"X"}, true));  // an index may be named like a table
    BKF_TRY(db.c().create_index(db.p(), "a_first", "t", {"name"}, true));
    BKF_TRY(db.c().add_column(db.p(), "t", Column{"late", "REAL", true, false, Value::real(0.5)}));
    return {};
  }));
  EXPECT_EQ(index_names(db.c().indexes_for("t")), (std::vector<std::string>{"by_score", "a_first"}));
  EXPECT_EQ(db.c().get("t")->columns.size(), 4u);
  EXPECT_EQ(db.c().get("users"), nullptr);
  EXPECT_EQ(db.c().get_index("t"), nullptr);
  EXPECT_NE(db.c().get("T"), nullptr);

  Db again = Db::open(vfs, dir.file("db"));
  expect_same_schema(db.c(), again.c());
  EXPECT_EQ(index_names(again.c().indexes_for("t")), (std::vector<std::string>{"by_score", "a_first"}));
  EXPECT_EQ(again.c().next_schema_rowid(), 6);
}

TEST_F(CatalogTest, SchemaKeys) {
  Db db = Db::open(vfs, path);
  must(db.tx([&]() -> Status {
    for (int i = 1; i <= 3; ++i) BKF_TRY(db.c().create_table(db.p(), "t" + std::to_string(i), cols({"a"}), {}));
    BKF_TRY(db.c().create_index(db.p(), "i4", "t1", {"a"}, false));
    IndexDef i5 = BKF_TRY(db.c().create_index(db.p(), "i5", "t2", {"a"}, false));
    EXPECT_EQ(i5.schema_rowid, 5);
    EXPECT_TRUE(BKF_TRY(db.c().drop_index(db.p(), "i5")));
    return {};
  }));
  // While open, a freed key is not handed out again.
  EXPECT_EQ(db.c().next_schema_rowid(), 6);
  db = Db{};
  Db again = Db::open(vfs, path);
  EXPECT_EQ(again.c().next_schema_rowid(), 5);
  must(again.tx([&]() -> Status {
    EXPECT_EQ(BKF_TRY(again.c().create_table(again.p(), "t5", cols({"a"}), {})).schema_rowid, 5);
    // A row this catalog has not seen (written by another writer) is never
    // overwritten: the next key passes the largest key in the tree.
    TableDef stray;
    stray.name = "stray";
    stray.root = again.c().get("t1")->root;
    BKF_TRY(BTree(again.p(), again.c().schema_root()).insert(40, encode_record(stray.to_row())));
    EXPECT_EQ(BKF_TRY(again.c().create_table(again.p(), "t41", cols({"a"}), {})).schema_rowid, 41);
    EXPECT_EQ(again.c().next_schema_rowid(), 42);
    return {};
  }));
}

struct Failure {
  const char* what;
  std::function<Status(Db&)> op;
  ErrorKind kind;
  const char* message;
};

TEST_F(CatalogTest, SchemaChangeErrorsChangeNothing) {
  Db db = Db::open(vfs, path);
  must(db.tx([&]() -> Status {
    BKF_TRY(db.c().create_table(db.p(), "t", cols({"a", "B"}), {}));
    BKF_TRY(db.c().create_index(db.p(), "i", "t", {"a"}, false));
    return {};
  }));
  const Failure cases[] = {
      {"table exists", [](Db& d) { return status_of(d.c().create_table(d.p(), "t", cols({"x"}), {})); },
       ErrorKind::Schema, "table \"t\" already exists"},
      {"index exists", [](Db& d) { return status_of(d.c().create_index(d.p(), "i", "t", {"B"}, false)); },
       ErrorKind::Schema, "index \"i\" already exists"},
      {"index on missing table", [](Db& d) { return status_of(d.c().create_index(d.p(), "j", "T", {"a"}, false)); },
       ErrorKind::Schema, "no such table: T"},
      {"first misspelt column",
       [](Db& d) { return status_of(d.c().create_index(d.p(), "j", "t", {"b", "cc", "dd"}, false)); },
       ErrorKind::Schema, "no such column: cc"},
      {"no columns", [](Db& d) { return status_of(d.c().create_index(d.p(), "j", "t", {}, false)); },
       ErrorKind::Schema, "index \"j\" has no columns"},
      {"add column to missing table", [](Db& d) { return d.c().add_column(d.p(), "x", col("c")); },
       ErrorKind::Schema, "no such table: x"},
      {"add column twice", [](Db& d) { return d.c().add_column(d.p(), "t", col("b")); },
       ErrorKind::Schema, "duplicate column name: b"},
  };
  for (const Failure& f : cases) {
    const std::uint64_t gen = db.c().generation();
    const std::uint32_t pages = db.p().page_count();
    Status st = db.tx([&] { return f.op(db); });
    ASSERT_FALSE(st.ok()) << f.what;
    EXPECT_EQ(st.error().kind(), f.kind) << f.what;
    EXPECT_EQ(st.error().message(), f.message) << f.what;
    EXPECT_EQ(db.c().generation(), gen) << f.what;
    EXPECT_EQ(db.p().page_count(), pages) << f.what << ": a tree was created before the checks";
  }
  EXPECT_EQ(db.c().get("t")->columns.size(), 2u);
  EXPECT_EQ(index_names(db.c().indexes_for("t")), std::vector<std::string>{"i"});
  must(db.tx([&]() -> Status {
    EXPECT_FALSE(BKF_TRY(db.c().drop_table(db.p(), "T")));
    EXPECT_FALSE(BKF_TRY(db.c().drop_index(db.p(), "t")));
    return {};
  }));
}

TEST_F(CatalogTest, DropsRemoveSchemaRowsAndLeavePagesAllocated) {
  Db db = Db::open(vfs, path);
  must(db.tx([&]() -> Status {
    BKF_TRY(db.c().create_table(db.p(), "keep", cols({"a"}), {}));
    BKF_TRY(db.c().create_table(db.p(), "t", cols({"a", "b"}), {}));
    BKF_TRY(db.c().create_index(db.p(), "ia", "t", {"a"}, false));
    BKF_TRY(db.c().create_index(db.p(), "ib", "t", {"b"}, true));
    BKF_TRY(db.c().create_index(db.p(), "k", "keep", {"a"}, false));
    return {};
  }));
  BTree schema(db.p(), db.c().schema_root());
  must(db.p().read_lock());
  EXPECT_EQ(must(schema.count()), 5u);
  must(db.p().read_unlock());
  const std::uint32_t pages = db.p().page_count();
  const std::uint64_t gen = db.c().generation();
  must(db.tx([&]() -> Status {
    EXPECT_TRUE(BKF_TRY(db.c().drop_table(db.p(), "t")));
    EXPECT_EQ(BKF_TRY(schema.count()), 2u);
    EXPECT_TRUE(BKF_TRY(db.c().drop_index(db.p(), "k")));
    return {};
  }));
  EXPECT_EQ(db.c().generation(), gen + 2);
  EXPECT_EQ(db.p().page_count(), pages);
  EXPECT_EQ(db.c().get_index("ia"), nullptr);
  EXPECT_TRUE(db.c().indexes_for("keep").empty());
  ASSERT_EQ(db.c().state().table_indexes.count("keep"), 1u);
  EXPECT_EQ(db.c().state().table_indexes.count("t"), 0u);
  Db again = Db::open(vfs, dir.file("db"));
  EXPECT_EQ(again.c().state().tables.size(), 1u);
  EXPECT_TRUE(again.c().state().indexes.empty());
}

TEST_F(CatalogTest, IndexFillReadsShortRowsAsNullAndTreatsNullsAsEqual) {
  Db db = Db::open(vfs, path);
  std::uint32_t root = 0;
  must(db.tx([&]() -> Status {
    root = BKF_TRY(db.c().create_table(db.p(), "t", cols({"a"}), {})).root;
    db.put_row(root, 1, {Value::integer(1)});
    db.put_row(root, 2, {Value::integer(2)});
    return {};
  }));
  must(db.tx([&] { return db.c().add_column(db.p(), "t", col("added")); }));
  // Rows stored before the column existed hold one value: the index sees Null.
  must(db.tx([&]() -> Status {
    IndexDef ix = BKF_TRY(db.c().create_index(db.p(), "by_added", "t", {"ADDED"}, false));
    IndexCursor cur(db.p(), ix.root);
    BKF_TRY(cur.seek(""));
    EXPECT_EQ(BKF_TRY(cur.next()), keyenc::encode_index_key(std::vector<Value>{Value::null()}, 1));
    EXPECT_EQ(BKF_TRY(cur.next()), keyenc::encode_index_key(std::vector<Value>{Value::null()}, 2));
    EXPECT_EQ(BKF_TRY(cur.next()), std::nullopt);
    return {};
  }));
  EXPECT_TRUE(db.check().empty());

  const std::uint64_t gen = db.c().generation();
  const std::int64_t next = db.c().next_schema_rowid();
  Status st = db.tx([&] { return status_of(db.c().create_index(db.p(), "u", "t", {"added"}, true)); });
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().to_string(), "constraint violation: UNIQUE constraint failed: duplicate value in u");
  EXPECT_TRUE(st.error().is(ErrorKind::Constraint));
  EXPECT_EQ(db.c().get_index("u"), nullptr);
  EXPECT_EQ(db.c().generation(), gen);
  EXPECT_EQ(db.c().next_schema_rowid(), next);
  EXPECT_EQ(index_names(db.c().indexes_for("t")), std::vector<std::string>{"by_added"});

  // The integer 1 and the real 1.0 are the same key.
  must(db.tx([&]() -> Status {
    db.put_row(root, 3, {Value::real(1.0)});
    return {};
  }));
  st = db.tx([&] { return status_of(db.c().create_index(db.p(), "ua", "t", {"a"}, true)); });
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message(), "UNIQUE constraint failed: duplicate value in ua");
}

TEST_F(CatalogTest, IndexKeyTooLargeIsPassedThrough) {
  Db db = Db::open(vfs, path);
  must(db.tx([&]() -> Status {
    TableDef t = BKF_TRY(db.c().create_table(db.p(), "t", cols({"s"}), {}));
    db.put_row(t.root, 1, {Value::text(std::string(2100, 'x'))});
    return {};
  }));
  Status st = db.tx([&] { return status_of(db.c().create_index(db.p(), "big", "t", {"s"}, false)); });
  ASSERT_FALSE(st.ok());
  EXPECT_TRUE(st.error().is(ErrorKind::Exec));
  EXPECT_EQ(st.error().message(), "index key too large (2111 bytes)");
  EXPECT_EQ(db.c().get_index("big"), nullptr);
}

TEST_F(CatalogTest, MalformedSchemaRowsFailTheOpen) {
  struct Case {
    std::vector<Value> row;
    ErrorKind kind;
    const char* message;
  };
  const Case cases[] = {
      {{Value::text("table"), Value::text("t"), Value::integer(2), Value::integer(-1), Value::integer(1)},
       ErrorKind::Schema, "schema row: expected integer at field 7"},
      {{Value::text("index"), Value::text("i"), Value::integer(2), Value::text("t"), Value::integer(0),
        Value::integer(0)},
       ErrorKind::Corrupt, "schema row 1: index i has no columns"},
      {{Value::text("table"), Value::text("t"), Value::integer(1), Value::integer(-1), Value::integer(0)},
       ErrorKind::Corrupt, "schema row 1: root page 1 out of range"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string p = dir.file("bad" + std::to_string(n++));
    {
      Db db = Db::open(vfs, p);
      must(db.tx([&]() -> Status {
        return BTree(db.p(), db.c().schema_root()).insert(1, encode_record(c.row));
      }));
    }
    auto pager = must(Pager::open(vfs, p));
    auto cat = Catalog::open(*pager);
    ASSERT_FALSE(cat.ok());
    EXPECT_EQ(cat.error().kind(), c.kind);
    EXPECT_EQ(cat.error().message(), c.message);
  }
  // A key that leaves no room for the next definition.
  {
    const std::string p = dir.file("full");
    {
      Db db = Db::open(vfs, p);
      TableDef t;
      t.name = "t";
      t.root = 2;
      must(db.tx([&]() -> Status {
        return BTree(db.p(), db.c().schema_root()).insert(std::numeric_limits<std::int64_t>::max(),
                                                          encode_record(t.to_row()));
      }));
    }
    auto pager = must(Pager::open(vfs, p));
    auto cat = Catalog::open(*pager);
    ASSERT_FALSE(cat.ok());
    EXPECT_TRUE(cat.error().is(ErrorKind::Corrupt));
  }
}

}  // namespace
}  // namespace bkf::testing
