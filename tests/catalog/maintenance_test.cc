// reindex and integrity_check: failures that leave the catalog alone, every kind of mismatch and of damaged or
// misused page with its exact messages.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <limits>

#include "btree/cell.h"
#include "btree/index.h"
#include "btree/keyenc.h"
#include "catalog_test_util.h"

namespace bkf::testing {
namespace {

class MaintenanceTest : public CatalogTest {
 protected:
  void SetUp() override {
    db = Db::open(vfs, dir.file("db"));
    // t(a, b) with rows 1..10 holding a = 10*i, b = "v{i % 3}".
    must(db.tx([&]() -> Status {
      root = BKF_TRY(db.c().create_table(db.p(), "t", cols({"a", "b"}), {})).root;
      for (int i = 1; i <= 10; ++i) {
        db.put_row(root, i, {Value::integer(10 * i), Value::text("v" + std::to_string(i % 3))});
      }
      BKF_TRY(db.c().create_index(db.p(), "ia", "t", {"a"}, true));
      BKF_TRY(db.c().create_index(db.p(), "ib", "t", {"b", "a"}, false));
      BKF_TRY(db.c().create_table(db.p(), "empty", cols({"x"}), {}));
      return {};
    }));
  }

  Db db;
  std::uint32_t root = 0;
};

TEST_F(MaintenanceTest, FailedReindexKeepsEveryOldRoot) {
  std::uint32_t u_root = 0;
  must(db.tx([&]() -> Status {
    u_root = BKF_TRY(db.c().create_table(db.p(), "u", cols({"x"}), {})).root;
    BKF_TRY(db.c().create_index(db.p(), "u1", "u", {"x"}, false));
    BKF_TRY(db.c().create_index(db.p(), "u2", "u", {"x"}, true));
    // Two equal values written behind the indexes' back.
    db.put_row(u_root, 1, {Value::text("same")});
    db.put_row(u_root, 2, {Value::text("same")});
    return {};
  }));
  auto roots = [&] {
    std::vector<std::uint32_t> r;
    for (const char* n : {"ia", "ib", "u1", "u2"}) r.push_back(db.c().get_index(n)->root);
    return r;
  };
  const std::vector<std::uint32_t> before = roots();
  for (std::optional<std::string_view> which : {std::optional<std::string_view>("u"),
                                                std::optional<std::string_view>()}) {
    must(db.p().begin());
    auto r = db.c().reindex(db.p(), which);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), "constraint violation: UNIQUE constraint failed: duplicate value rebuilding u2");
    EXPECT_EQ(roots(), before);
    must(db.p().rollback());
    db.c().restore();
    EXPECT_EQ(roots(), before);
    EXPECT_FALSE(db.c().is_stale(db.p()));
  }
  // The old trees are intact after the rollback.
  EXPECT_EQ(db.check(), (std::vector<std::string>{"index u1: 0 entries but table u has 2 rows",
                                                  "index u2: 0 entries but table u has 2 rows"}));

  // Inside a transaction that goes on, the schema row already rewritten for
  // u1 is read back at the next refresh, and a commit keeps both in step.
  must(db.p().begin());
  ASSERT_FALSE(db.c().reindex(db.p(), std::string_view("u")).ok());
  EXPECT_TRUE(db.c().is_stale(db.p()));
  must(db.c().refresh(db.p()));
  EXPECT_NE(db.c().get_index("u1")->root, before[2]);
  EXPECT_EQ(db.c().get_index("u2")->root, before[3]);
  must(db.p().commit());
  db.c().discard();
  Db again = Db::open(vfs, dir.file("db"));
  expect_same_schema(db.c(), again.c());
  EXPECT_EQ(again.check(), std::vector<std::string>{"index u2: 0 entries but table u has 2 rows"});
}

TEST_F(MaintenanceTest, OrphanedEntriesAreCappedAtEightPerIndex) {
  must(db.tx([&]() -> Status {
    BKF_TRY(BTree(db.p(), root).truncate_from(std::numeric_limits<std::int64_t>::min()));
    return {};
  }));
  std::vector<std::string> want;
  for (int r = 1; r <= 8; ++r) want.push_back("index ia: orphaned entry for missing rowid " + std::to_string(r));
  want.push_back("index ia: 10 entries but table t has 0 rows");
  // ib orders by b ("v0" rows 3, 6, 9; "v1" rows 1, 4, 7, 10; "v2" ...).
  for (int r : {3, 6, 9, 1, 4, 7, 10, 2}) {
    want.push_back("index ib: orphaned entry for missing rowid " + std::to_string(r));
  }
  want.push_back("index ib: 10 entries but table t has 0 rows");
  EXPECT_EQ(db.check(), want);

  // reindex repairs what the check found.
  must(db.tx([&] { return status_of(db.c().reindex(db.p(), std::nullopt)); }));
  EXPECT_TRUE(db.check().empty());
}

TEST_F(MaintenanceTest, StaleAndMissingEntries) {
  must(db.tx([&]() -> Status {
    db.put_row(root, 3, {Value::integer(999), Value::text("v0")});
    return {};
  }));
  EXPECT_EQ(db.check(), (std::vector<std::string>{"index ia: stale entry for rowid 3",
                                                  "index ib: stale entry for rowid 3"}));
  must(db.tx([&]() -> Status {
    db.put_row(root, 3, {Value::integer(30), Value::text("v0")});
    std::vector<Value> vals{Value::integer(50)};
    EXPECT_TRUE(BKF_TRY(IndexBTree(db.p(), db.c().get_index("ia")->root).remove(keyenc::encode_index_key(vals, 5))));
    return {};
  }));
  EXPECT_EQ(db.check(), std::vector<std::string>{"index ia: 9 entries but table t has 10 rows"});

  // A key too short to carry a row id comes only from a damaged page.
  must(db.tx([&] { return IndexBTree(db.p(), db.c().get_index("ib")->root).insert(std::string("\x00\x01", 2)); }));
  must(db.p().read_lock());
  auto r = db.c().integrity_check(db.p());
  must(db.p().read_unlock());
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is(ErrorKind::Corrupt));
}

// The row-id alias column is keyed by the row id whatever its record holds
// (Null for a row inserted without it, or a default): by CREATE INDEX, by
// the check and by reindex, which rebuilds entries keyed by the stored
// value.
TEST_F(MaintenanceTest, RowidAliasIsKeyedByTheRowId) {
  std::uint32_t al = 0;
  const std::vector<Value> stored[] = {{Value::null(), Value::text("a")},
                                       {Value::null(), Value::text("a")},
                                       {Value::integer(5), Value::text("b")},
                                       {Value::text("dflt"), Value::text("a")}};
  const std::int64_t ids[] = {1, 2, 5, 7};
  must(db.tx([&]() -> Status {
    al = BKF_TRY(db.c().create_table(db.p(), "al", cols({"id", "v"}), std::size_t{0})).root;
    for (std::size_t i = 0; i < 4; ++i) db.put_row(al, ids[i], stored[i]);
    // Both UNIQUE: the row ids tell the rows apart.
    BKF_TRY(db.c().create_index(db.p(), "al_id", "al", {"id"}, true));
    BKF_TRY(db.c().create_index(db.p(), "al_v_id", "al", {"v", "id"}, true));
    BKF_TRY(db.c().create_index(db.p(), "al_id_v", "al", {"id", "v"}, false));
    return {};
  }));
  EXPECT_TRUE(db.check().empty());
  // Each index holds the keys with the row id; they are swapped for the
  // stored values behind the catalog's back.
  auto key = [](std::vector<Value> values, std::int64_t id) { return keyenc::encode_index_key(values, id); };
  must(db.tx([&]() -> Status {
    for (std::size_t i = 0; i < 4; ++i) {
      const Value id = Value::integer(ids[i]);
      const Value& kept = stored[i][0];
      IndexBTree by_id(db.p(), db.c().get_index("al_id")->root);
      EXPECT_TRUE(BKF_TRY(by_id.remove(key({id}, ids[i]))));
      BKF_TRY(by_id.insert(key({kept}, ids[i])));
      IndexBTree by_v_id(db.p(), db.c().get_index("al_v_id")->root);
      EXPECT_TRUE(BKF_TRY(by_v_id.remove(key({stored[i][1], id}, ids[i]))));
      BKF_TRY(by_v_id.insert(key({stored[i][1], kept}, ids[i])));
      EXPECT_TRUE(BKF_TRY(IndexBTree(db.p(), db.c().get_index("al_id_v")->root).remove(key({id, stored[i][1]}, ids[i]))));
    }
    return {};
  }));
  // Only row 5 stores its own id.
  EXPECT_EQ(db.check(), (std::vector<std::string>{"index al_id: stale entry for rowid 1",
                                                  "index al_id: stale entry for rowid 2",
                                                  "index al_id: stale entry for rowid 7",
                                                  "index al_v_id: stale entry for rowid 1",
                                                  "index al_v_id: stale entry for rowid 2",
                                                  "index al_v_id: stale entry for rowid 7",
                                                  "index al_id_v: 0 entries but table al has 4 rows"}));
  must(db.tx([&] { return status_of(db.c().reindex(db.p(), std::string_view("al"))); }));
  EXPECT_TRUE(db.check().empty());
  must(db.tx([&]() -> Status {
    IndexBTree by_v_id(db.p(), db.c().get_index("al_v_id")->root);
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_TRUE(BKF_TRY(by_v_id.contains_prefix(keyenc::encode_key_prefix(
          std::vector<Value>{stored[i][1], Value::integer(ids[i])}))));
    }
    return {};
  }));
}

// Integers beyond 2^53 that round to one double share their index key yet
// are distinct: CREATE INDEX, the check and reindex take them as distinct
// values, and report only rows with equal values (a real equals every
// integer of its double; Int 2 and Real 2.0 are one value).
TEST_F(MaintenanceTest, UniqueIndexesTellValuesThatShareAKeyApart) {
  constexpr std::int64_t big = std::int64_t{1} << 60;
  std::uint32_t b = 0;
  must(db.tx([&]() -> Status {
    b = BKF_TRY(db.c().create_table(db.p(), "big", cols({"x", "y", "z"}), {})).root;
    db.put_row(b, 1, {Value::integer(big), Value::text("p"), Value::integer(1)});
    db.put_row(b, 2, {Value::integer(big + 1), Value::text("p"), Value::integer(2)});
    db.put_row(b, 3, {Value::integer(big + 2), Value::text("q"), Value::integer(3)});
    db.put_row(b, 4, {Value::integer(-big - 1), Value::text("p"), Value::integer(4)});
    BKF_TRY(db.c().create_index(db.p(), "bx", "big", {"x"}, true));
    BKF_TRY(db.c().create_index(db.p(), "bxy", "big", {"x", "y"}, true));
    BKF_TRY(db.c().create_index(db.p(), "bz", "big", {"z"}, true));
    return {};
  }));
  EXPECT_TRUE(db.check().empty());
  must(db.tx([&] { return status_of(db.c().reindex(db.p(), std::string_view("big"))); }));
  EXPECT_TRUE(db.check().empty());

  // Rows 5 and 6 written with their entries behind the catalog's back: 5
  // repeats row 2; 6 holds the real 2^60, equal to rows 1 to 3 in x (but
  // to row 3 only in x and y), and repeats z = 2 as a real.
  const std::vector<Value> five{Value::integer(big + 1), Value::text("p"), Value::integer(2)};
  const std::vector<Value> six{Value::real(0x1p60), Value::text("q"), Value::real(2.0)};
  auto entry = [&](const char* index, std::vector<Value> values, std::int64_t id) {
    return IndexBTree(db.p(), db.c().get_index(index)->root).insert(keyenc::encode_index_key(values, id));
  };
  must(db.tx([&]() -> Status {
    for (const auto& [id, row] : {std::pair{5, five}, std::pair{6, six}}) {
      db.put_row(b, id, row);
      BKF_TRY(entry("bx", {row[0]}, id));
      BKF_TRY(entry("bxy", {row[0], row[1]}, id));
      BKF_TRY(entry("bz", {row[2]}, id));
    }
    return {};
  }));
  EXPECT_EQ(db.check(), (std::vector<std::string>{"index bx: rowids 2 and 5 hold equal values",
                                                  "index bx: rowids 1 and 6 hold equal values",
                                                  "index bxy: rowids 2 and 5 hold equal values",
                                                  "index bxy: rowids 3 and 6 hold equal values",
                                                  "index bz: rowids 2 and 5 hold equal values",
                                                  "index bz: rowids 2 and 6 hold equal values"}));
  must(db.p().begin());
  auto r = db.c().reindex(db.p(), std::string_view("big"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "constraint violation: UNIQUE constraint failed: duplicate value rebuilding bx");
  must(db.p().rollback());
  db.c().restore();
}

TEST_F(MaintenanceTest, IndexWithoutTableIsKeptButNotChecked) {
  IndexDef ghost{"ghost_ix", "ghost", {"a"}, {}, 0, 0, false};
  must(db.tx([&]() -> Status {
    // An index row whose table has no row, with a tree full of entries.
    ghost.root = BKF_TRY(IndexBTree::create(db.p())).root();
    IndexBTree tree(db.p(), ghost.root);
    for (int i = 0; i < 5; ++i) {
      BKF_TRY(tree.insert(keyenc::encode_index_key(std::vector<Value>{Value::integer(i)}, i)));
    }
    return BTree(db.p(), db.c().schema_root()).insert(100, encode_record(ghost.to_row()));
  }));
  Db again = Db::open(vfs, dir.file("db"));
  ASSERT_NE(again.c().get_index("ghost_ix"), nullptr);
  EXPECT_TRUE(again.c().get_index("ghost_ix")->column_positions.empty());
  EXPECT_TRUE(again.c().indexes_for("ghost").empty());
  EXPECT_TRUE(again.check().empty());
  must(again.tx([&]() -> Status {
    EXPECT_TRUE(BKF_TRY(again.c().drop_index(again.p(), "ghost_ix")));
    return {};
  }));
  Db third = Db::open(vfs, dir.file("db"));
  EXPECT_EQ(third.c().get_index("ghost_ix"), nullptr);
}

// Every page is used once: damaged overflow chains and rows, pages used by two owners or by none. Layout: t 3, ia 4,
// ib 5, empty 6, big 7 with its one row's 20,000 bytes on overflow pages 8-12.
TEST_F(MaintenanceTest, DamagedPagesAndPagesUsedTwiceOrNever) {
  must(db.tx([&]() -> Status {
    const std::uint32_t big = BKF_TRY(db.c().create_table(db.p(), "big", cols({"s"}), {})).root;
    db.put_row(big, 1, {Value::text(std::string(20000, 's'))});
    return {};
  }));
  ASSERT_EQ(db.p().page_count(), 12u);
  ASSERT_TRUE(db.check().empty());
  db = Db{};
  auto next_of = [](std::uint32_t page, std::uint32_t next) {
    return [=](Db& d) { cell::put_u32(must(d.p().get_page(page)).mutable_data(), next); };
  };
  const struct {
    const char* what;
    std::function<void(Db&)> damage;
    std::vector<std::string> want;
  } cases[] = {
      {"chain cut short", next_of(11, 0),
       {"table big: row 1: corrupt data: overflow chain ends before its payload", "page 12 is used by nothing"}},
      {"chain out of range", next_of(10, 999), {"table big: row 1: invalid page id: 999", "pages 11-12 are used by nothing"}},
      {"chain loops", next_of(10, 8),
       {"table big: row 1: corrupt data: overflow chain visits a page twice", "pages 11-12 are used by nothing"}},
      {"flipped byte", [](Db& d) { must(d.p().get_page(12)).mutable_data()[100] = 0xff; },
       {"table big: row 1: corrupt data: text body is not valid UTF-8"}},
      {"page of no one", [](Db& d) { must(d.p().alloc_page()); }, {"page 13 is used by nothing"}},
      // 12 becomes the free list's trunk (its first bytes change), 5 a leaf of it (unchanged).
      {"pages on the free list and in a tree",
       [](Db& d) {
         must(d.p().free_page(12));
         must(d.p().free_page(5));
       },
       {"page 5 is used twice: by the free list and by index ib",
        "page 12 is used twice: by the free list and by table big"}},
      {"root of two indexes",
       [](Db& d) {
         IndexDef twin{"twin", "t", {"a"}, {}, 50, d.c().get_index("ia")->root, false};
         must(BTree(d.p(), d.c().schema_root()).insert(50, encode_record(twin.to_row())));
       },
       {"page 4 is used twice: by index ia and by index twin"}},
  };
  const std::string copy = dir.file("copy");
  for (const auto& c : cases) {
    std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing);
    Db d = Db::open(vfs, copy);
    must(d.tx([&]() -> Status {
      c.damage(d);
      return {};
    }));
    Db again = Db::open(vfs, copy);
    EXPECT_EQ(again.check(), c.want) << c.what;
  }
  // Dropping the twin leaves the pages it shares with ia alone; dropping a table with a damaged chain succeeds and
  // frees nothing of it.
  Db d = Db::open(vfs, copy);
  must(d.tx([&]() -> Status {
    EXPECT_TRUE(BKF_TRY(d.c().drop_index(d.p(), "twin")));
    next_of(11, 0)(d);
    EXPECT_TRUE(BKF_TRY(d.c().drop_table(d.p(), "big")));
    return {};
  }));
  EXPECT_EQ(d.check(), std::vector<std::string>{"pages 7-12 are used by nothing"});

  // A file cut short by its last page.
  std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::resize_file(copy, 11 * 4096);
  EXPECT_EQ(Db::open(vfs, copy).check(),
            (std::vector<std::string>{"table big: row 1: short read at offset 45056: wanted 4096 bytes, got 0",
                                      "page 12 is used by nothing"}));
}

// Ranged deletes that empty leaves and interior pages, one row at a time from the end so that every page boundary is
// met: every emptied page goes back to the free list.
TEST_F(CatalogTest, RangedDeletesGiveEveryEmptiedPageBack) {
  Db db = Db::open(vfs, path, 512);
  std::uint32_t root = 0;
  must(db.tx([&]() -> Status {
    root = BKF_TRY(db.c().create_table(db.p(), "t", cols({"a"}), {})).root;
    for (int i = 1; i <= 2000; ++i) db.put_row(root, i, {Value::text(std::string(i % 7 == 0 ? 300 : 60, 'r'))});
    return {};
  }));
  for (std::int64_t from = 2000; from > 0;) {
    must(db.tx([&]() -> Status {
      for (const std::int64_t end = from - 400; from > end; --from) BKF_TRY(BTree(db.p(), root).truncate_from(from));
      return {};
    }));
    EXPECT_EQ(db.check(), std::vector<std::string>{}) << "rows below " << from;
  }
}

}  // namespace
}  // namespace bkf::testing
