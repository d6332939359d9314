// Schema rows: the exact layouts, the round trip of every column shape, and
// every malformed row with its error kind and message.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "catalog/defs.h"
#include "catalog/schema_state.h"
#include "record/record.h"

namespace bkf {
namespace {

using Row = std::vector<Value>;

Value T(const char* s) { return Value::text(s); }
Value I(std::int64_t v) { return Value::integer(v); }
Value N() { return Value::null(); }

TEST(SchemaRowTest, TableRowLayout) {
  TableDef def;
  def.name = "t";
  def.root = 7;
  def.schema_rowid = 3;
  def.rowid_alias = 1;
  def.columns = {{"a", "TEXT", true, false, std::nullopt}, {"id", "INTEGER", false, true, Value::integer(5)}};
  const Row row = def.to_row();
  const Row want = {T("table"), T("t"), I(7), I(1), I(2), T("a"), T("TEXT"), I(1), N(),
                    T("id"),    T("INTEGER"), I(6), I(5)};
  ASSERT_EQ(row.size(), want.size());
  for (std::size_t i = 0; i < row.size(); ++i) EXPECT_TRUE(row[i].identical(want[i])) << "field " << i;

  def.rowid_alias.reset();
  EXPECT_TRUE(def.to_row()[3].identical(I(-1)));
}

TEST(SchemaRowTest, IndexRowLayout) {
  IndexDef def{"ix", "T", {"B", "a"}, {1, 0}, 9, 12, true};
  const Row row = def.to_row();
  const Row want = {T("index"), T("ix"), I(12), T("T"), I(1), I(2), T("B"), T("a")};
  ASSERT_EQ(row.size(), want.size());
  for (std::size_t i = 0; i < row.size(); ++i) EXPECT_TRUE(row[i].identical(want[i])) << "field " << i;
  def.unique = false;
  EXPECT_TRUE(def.to_row()[4].identical(I(0)));
}

// Every combination of the three flags with every kind of default, one
// column each, in one table; the row reads back to the same definition.
TEST(SchemaRowTest, TableRoundTripEveryFlagAndDefaultKind) {
  const std::optional<Value> defaults[] = {
      std::nullopt,    Value::null(),   Value::integer(-1), Value::integer(INT64_MIN),
      Value::real(-0.0), Value::real(2.5), Value::text(""),   Value::text(std::string_view("x\0y", 3)),
      Value::blob(std::string("\0\1", 2))};
  TableDef def;
  def.name = "every shape";
  def.root = 0xFFFFFFFFu;
  def.schema_rowid = -4;
  for (int nn = 0; nn < 2; ++nn) {
    for (int uq = 0; uq < 2; ++uq) {
      for (const auto& d : defaults) {
        def.columns.push_back({"c" + std::to_string(def.columns.size()), nn ? "INT" : "", nn == 1, uq == 1, d});
      }
    }
  }
  for (std::optional<std::size_t> alias : {std::optional<std::size_t>{}, std::optional<std::size_t>{0},
                                           std::optional<std::size_t>{def.columns.size() - 1}}) {
    def.rowid_alias = alias;
    // Through the record format, as the schema tree stores it.
    auto row = decode_record(encode_record(def.to_row()));
    ASSERT_TRUE(row.ok());
    auto back = TableDef::from_row(def.schema_rowid, *row);
    ASSERT_TRUE(back.ok()) << back.error().to_string();
    EXPECT_EQ(*back, def);
  }
  // A NaN default survives bit for bit.
  def.rowid_alias.reset();
  def.columns = {{"n", "REAL", false, false, Value::real(std::nan(""))}};
  auto back = TableDef::from_row(1, def.to_row());
  ASSERT_TRUE(back.ok());
  EXPECT_TRUE(std::isnan(back->columns[0].default_value->real_value()));
}

TEST(SchemaRowTest, IndexRoundTrip) {
  for (bool unique : {false, true}) {
    IndexDef def{"i", "tab", {"x", "Y", "x"}, {}, 44, 2, unique};
    auto row = decode_record(encode_record(def.to_row()));
    ASSERT_TRUE(row.ok());
    auto back = IndexDef::from_row(44, *row);
    ASSERT_TRUE(back.ok()) << back.error().to_string();
    EXPECT_EQ(*back, def);
  }
}

TEST(SchemaRowTest, DefaultFieldReadOnlyWhenFlagged) {
  // Flag 4 clear: the default field is not looked at, not even required.
  auto t = TableDef::from_row(1, Row{T("table"), T("t"), I(2), I(-1), I(1), T("a"), T(""), I(3)});
  ASSERT_TRUE(t.ok()) << t.error().to_string();
  EXPECT_TRUE(t->columns[0].not_null && t->columns[0].unique && !t->columns[0].default_value);
  // Flag 4 set with a Null: a present default that is Null. Other bits ignored.
  t = TableDef::from_row(1, Row{T("table"), T("t"), I(2), I(-9), I(1), T("a"), T(""), I(4 | 64), N()});
  ASSERT_TRUE(t.ok());
  ASSERT_TRUE(t->columns[0].default_value.has_value());
  EXPECT_TRUE(t->columns[0].default_value->is_null());
  EXPECT_FALSE(t->columns[0].not_null || t->columns[0].unique);
  EXPECT_FALSE(t->rowid_alias.has_value());
  // Fields after the last column are ignored; field 0 is never examined.
  t = TableDef::from_row(1, Row{I(0), T("t"), I(2), I(0), I(1), T("a"), T(""), I(0), N(), T("extra")});
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->rowid_alias, std::optional<std::size_t>(0));
  // An index's UNIQUE flag is any nonzero number.
  auto ix = IndexDef::from_row(1, Row{T("index"), T("i"), I(2), T("t"), I(-3), I(1), T("a"), T("extra")});
  ASSERT_TRUE(ix.ok());
  EXPECT_TRUE(ix->unique);
}

struct BadRow {
  const char* what;
  Row row;
  ErrorKind kind;
  const char* message;
};

TEST(SchemaRowTest, MalformedTableRows) {
  const BadRow cases[] = {
      {"empty row", {}, ErrorKind::Schema, "schema row: expected text at field 1"},
      {"name missing", {T("table")}, ErrorKind::Schema, "schema row: expected text at field 1"},
      {"name not text", {T("table"), Value::blob("t")}, ErrorKind::Schema, "schema row: expected text at field 1"},
      {"root missing", {T("table"), T("t")}, ErrorKind::Schema, "schema row: expected integer at field 2"},
      {"root real", {T("table"), T("t"), Value::real(2.0)}, ErrorKind::Schema,
       "schema row: expected integer at field 2"},
      {"alias missing", {T("table"), T("t"), I(2)}, ErrorKind::Schema, "schema row: expected integer at field 3"},
      {"count text", {T("table"), T("t"), I(2), I(-1), T("1")}, ErrorKind::Schema,
       "schema row: expected integer at field 4"},
      {"five fields, count 1: flags read first", {T("table"), T("t"), I(2), I(-1), I(1)}, ErrorKind::Schema,
       "schema row: expected integer at field 7"},
      {"count far beyond the row", {T("table"), T("t"), I(2), I(-1), I(INT64_MAX)}, ErrorKind::Schema,
       "schema row: expected integer at field 7"},
      {"column name not text", {T("table"), T("t"), I(2), I(-1), I(1), I(5), T(""), I(0), N()}, ErrorKind::Schema,
       "schema row: expected text at field 5"},
      {"type missing", {T("table"), T("t"), I(2), I(-1), I(2), T("a"), T(""), I(0), N(), T("b"), N(), I(0)},
       ErrorKind::Schema, "schema row: expected text at field 10"},
      {"flags null", {T("table"), T("t"), I(2), I(-1), I(1), T("a"), T(""), N(), N()}, ErrorKind::Schema,
       "schema row: expected integer at field 7"},
      {"second column short", {T("table"), T("t"), I(2), I(-1), I(2), T("a"), T(""), I(0), N(), T("b"), T("")},
       ErrorKind::Schema, "schema row: expected integer at field 11"},
      {"negative count reads until a field is missing",
       {T("table"), T("t"), I(2), I(-1), I(-1), T("a"), T(""), I(0), N()}, ErrorKind::Schema,
       "schema row: expected integer at field 11"},
      {"negative count, empty column list", {T("table"), T("t"), I(2), I(-1), I(INT64_MIN)}, ErrorKind::Schema,
       "schema row: expected integer at field 7"},
      {"default announced past the end", {T("table"), T("t"), I(2), I(-1), I(1), T("a"), T(""), I(4)},
       ErrorKind::Corrupt, "schema row 1: default of column 0 missing at field 8"},
      {"root 0", {T("table"), T("t"), I(0), I(-1), I(0)}, ErrorKind::Corrupt, "schema row 1: root page 0 out of range"},
      {"root 1 (header page)", {T("table"), T("t"), I(1), I(-1), I(0)}, ErrorKind::Corrupt,
       "schema row 1: root page 1 out of range"},
      {"root negative", {T("table"), T("t"), I(-5), I(-1), I(0)}, ErrorKind::Corrupt,
       "schema row 1: root page -5 out of range"},
      {"root beyond 32 bits", {T("table"), T("t"), I(0x100000002), I(-1), I(0)}, ErrorKind::Corrupt,
       "schema row 1: root page 4294967298 out of range"},
      {"alias past the columns", {T("table"), T("t"), I(2), I(1), I(1), T("a"), T(""), I(0), N()}, ErrorKind::Corrupt,
       "schema row 1: row-id alias 1 outside its 1 columns"},
      {"alias on a table of no columns", {T("table"), T("t"), I(2), I(0), I(0)}, ErrorKind::Corrupt,
       "schema row 1: row-id alias 0 outside its 0 columns"},
      // Layout errors come before content errors.
      {"bad root and a missing field", {T("table"), T("t"), I(0), I(-1), I(1)}, ErrorKind::Schema,
       "schema row: expected integer at field 7"},
  };
  for (const BadRow& c : cases) {
    auto r = TableDef::from_row(1, c.row);
    ASSERT_FALSE(r.ok()) << c.what;
    EXPECT_EQ(r.error().kind(), c.kind) << c.what;
    EXPECT_EQ(r.error().message(), c.message) << c.what;
  }
}

TEST(SchemaRowTest, MalformedIndexRows) {
  const BadRow cases[] = {
      {"name missing", {T("index")}, ErrorKind::Schema, "schema row: expected text at field 1"},
      {"root text", {T("index"), T("i"), T("2")}, ErrorKind::Schema, "schema row: expected integer at field 2"},
      {"table missing", {T("index"), T("i"), I(2)}, ErrorKind::Schema, "schema row: expected text at field 3"},
      {"unique real", {T("index"), T("i"), I(2), T("t"), Value::real(1)}, ErrorKind::Schema,
       "schema row: expected integer at field 4"},
      {"count missing", {T("index"), T("i"), I(2), T("t"), I(0)}, ErrorKind::Schema,
       "schema row: expected integer at field 5"},
      {"count beyond the row", {T("index"), T("i"), I(2), T("t"), I(0), I(2), T("a")}, ErrorKind::Schema,
       "schema row: expected text at field 7"},
      {"column name blob", {T("index"), T("i"), I(2), T("t"), I(0), I(1), Value::blob("a")}, ErrorKind::Schema,
       "schema row: expected text at field 6"},
      {"negative count reads until a field is missing", {T("index"), T("i"), I(2), T("t"), I(0), I(-2), T("a"), T("b")},
       ErrorKind::Schema, "schema row: expected text at field 8"},
      {"no columns", {T("index"), T("i"), I(2), T("t"), I(0), I(0)}, ErrorKind::Corrupt,
       "schema row 1: index i has no columns"},
      {"root 0", {T("index"), T("i"), I(0), T("t"), I(0), I(1), T("a")}, ErrorKind::Corrupt,
       "schema row 1: root page 0 out of range"},
      {"root 2^32", {T("index"), T("i"), I(0x100000000), T("t"), I(0), I(1), T("a")}, ErrorKind::Corrupt,
       "schema row 1: root page 4294967296 out of range"},
  };
  for (const BadRow& c : cases) {
    auto r = IndexDef::from_row(1, c.row);
    ASSERT_FALSE(r.ok()) << c.what;
    EXPECT_EQ(r.error().kind(), c.kind) << c.what;
    EXPECT_EQ(r.error().message(), c.message) << c.what;
  }
}

// Random rows built from fragments of valid ones: loading either succeeds
// or fails with Schema or Corrupt, and never reads outside the row.
TEST(SchemaRowTest, RandomRowsNeverCrash) {
  std::mt19937_64 rng(12345);
  const Value pool[] = {T("table"), T("index"), T("Index"), T(""), T("a"), I(0), I(1), I(2), I(4), I(5),
                        I(7), I(-1), I(-2), I(INT64_MAX), I(INT64_MIN), I(0xFFFFFFFF), N(), Value::real(1.0),
                        Value::blob("b")};
  for (int iter = 0; iter < 20000; ++iter) {
    Row row;
    const std::size_t len = rng() % 16;
    for (std::size_t i = 0; i < len; ++i) row.push_back(pool[rng() % std::size(pool)]);
    catalog::SchemaState st;
    Status s = st.load_row(static_cast<std::int64_t>(rng() % 5) - 2, row);
    if (s.ok()) s = st.finish_load();
    if (!s.ok()) {
      EXPECT_TRUE(s.error().is(ErrorKind::Schema) || s.error().is(ErrorKind::Corrupt)) << s.error().debug();
    }
  }
}

}  // namespace
}  // namespace bkf

namespace bkf {
namespace {

// Valid schema records with bytes flipped, cut or appended: loading gives a
// definition or a Schema/Corrupt error, never a crash (run under ASan/UBSan).
TEST(SchemaRowTest, DamagedRecordsNeverCrash) {
  TableDef t;
  t.name = "t";
  t.root = 2;
  t.rowid_alias = 0;
  t.columns = {{"id", "INTEGER", true, true, Value::integer(3)}, {"s", "TEXT", false, false, Value::text("abc")}};
  IndexDef ix{"ix", "t", {"s", "id"}, {}, 2, 3, true};
  const std::string records[] = {encode_record(t.to_row()), encode_record(ix.to_row())};
  std::mt19937_64 rng(99);
  std::vector<Value> scratch;
  for (int iter = 0; iter < 20000; ++iter) {
    std::string rec = records[iter % 2];
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      switch (rng() % 3) {
        case 0: rec[rng() % rec.size()] = static_cast<char>(rng()); break;
        case 1: rec.resize(rng() % (rec.size() + 1)); break;
        default: rec.push_back(static_cast<char>(rng())); break;
      }
      if (rec.empty()) rec.push_back(static_cast<char>(rng()));
    }
    catalog::SchemaState st;
    Status s = st.load_record(1, rec, scratch);
    if (s.ok()) s = st.finish_load();
    if (!s.ok()) {
      EXPECT_TRUE(s.error().is(ErrorKind::Schema) || s.error().is(ErrorKind::Corrupt)) << s.error().debug();
    }
  }
}

}  // namespace
}  // namespace bkf
