// Schema rows and loading them: the stored layout, the round trip of every
// column shape, malformed and damaged rows, name matching.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "catalog/schema_state.h"
#include "record/record.h"
#include "support/values.h"

namespace bkf {
namespace {

using Row = std::vector<Value>;
using namespace bkf::testing;

template <class T>
Status status_of(Result<T> r) {
  if (r.ok()) return {};
  return std::move(r).error();
}

// A row as the schema tree gives it back: encoded and decoded.
Row through_record(const Row& row) {
  auto r = decode_record(encode_record(row));
  EXPECT_TRUE(r.ok());
  return r.ok() ? std::move(*r) : Row{};
}

Row table_row(const std::string& name, std::vector<std::string> cols) {
  TableDef def{std::nullopt, name, {}, 0, 2};
  for (auto& c : cols) def.columns.push_back({c, "", false, false, std::nullopt});
  return def.to_row();
}
Row index_row(const std::string& name, const std::string& table, std::vector<std::string> cols) {
  return IndexDef{name, table, std::move(cols), {}, 0, 3, false}.to_row();
}

TEST(SchemaRowTest, StoredLayout) {
  TableDef t{1, "t", {{"a", "TEXT", true, false, {}}, {"id", "INT", false, true, I(5)}}, 3, 7};
  const Row want = {T("table"), T("t"), I(7), I(1),  I(2), T("a"), T("TEXT"),
                    I(1),       N(),    T("id"), T("INT"), I(6), I(5)};
  // An index row: its columns as written, no positions.
  IndexDef ix{"ix", "T", {"B", "a"}, {1, 0}, 9, 12, true};
  const Row want_ix = {T("index"), T("ix"), I(12), T("T"), I(1), I(2), T("B"), T("a")};
  for (auto [got, exp] : {std::pair{t.to_row(), want}, std::pair{ix.to_row(), want_ix}}) {
    ASSERT_EQ(got.size(), exp.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(got[i].identical(exp[i])) << "field " << i;
  }
  t.rowid_alias.reset();
  EXPECT_TRUE(t.to_row()[3].identical(I(-1)));
}

// Every flag combination with every kind of default (absent, an explicit
// Null, each value kind), through the record format as the tree stores it.
TEST(SchemaRowTest, RoundTripOfEveryColumnShape) {
  const std::optional<Value> defaults[] = {std::nullopt, N(), I(INT64_MIN), Value::real(-0.0),
                                           Value::real(std::nan("")), T(""),
                                           Value::text(std::string_view("x\0y", 3)),
                                           Value::blob(std::string("\0\1", 2))};
  TableDef def{std::nullopt, "every shape", {}, -4, 0xFFFFFFFFu};
  for (int flags = 0; flags < 4; ++flags) {
    for (const auto& d : defaults) {
      def.columns.push_back({"c" + std::to_string(def.columns.size()), flags ? "INT" : "", (flags & 1) != 0,
                             (flags & 2) != 0, d});
    }
  }
  for (auto alias : {std::optional<std::size_t>{}, std::optional<std::size_t>{def.columns.size() - 1}}) {
    def.rowid_alias = alias;
    auto back = TableDef::from_row(def.schema_rowid, through_record(def.to_row()));
    ASSERT_TRUE(back.ok()) << back.error().to_string();
    EXPECT_TRUE(*back == def);
  }
  IndexDef ix{"i", "tab", {"x", "Y", "x"}, {}, 44, 2, true};
  auto back = IndexDef::from_row(44, through_record(ix.to_row()));
  ASSERT_TRUE(back.ok());
  EXPECT_TRUE(*back == ix);
}

struct BadRow {
  Row row;
  ErrorKind kind;  // Schema for layout errors, Corrupt for impossible content
  const char* message;
};

TEST(SchemaRowTest, MalformedRows) {
  const auto S = ErrorKind::Schema, C = ErrorKind::Corrupt;
  const BadRow tables[] = {
      {{}, S, "schema row: expected text at field 1"},
      {{T("table"), T("t"), Value::real(2)}, S, "schema row: expected integer at field 2"},
      {{T("table"), T("t"), I(2), I(-1), T("1")}, S, "schema row: expected integer at field 4"},
      // Five fields with a count of 1: the flags are read before the name.
      {{T("table"), T("t"), I(2), I(-1), I(1)}, S, "schema row: expected integer at field 7"},
      {{T("table"), T("t"), I(2), I(-1), I(INT64_MAX)}, S, "schema row: expected integer at field 7"},
      {{T("table"), T("t"), I(2), I(-1), I(1), I(5), T(""), I(0), N()}, S, "schema row: expected text at field 5"},
      {{T("table"), T("t"), I(2), I(-1), I(2), T("a"), T(""), I(0), N(), T("b"), N(), I(0)}, S,
       "schema row: expected text at field 10"},
      // A negative count reads columns until a field is missing.
      {{T("table"), T("t"), I(2), I(-1), I(-1), T("a"), T(""), I(0), N()}, S,
       "schema row: expected integer at field 11"},
      // Layout errors come before content errors.
      {{T("table"), T("t"), I(0), I(-1), I(1)}, S, "schema row: expected integer at field 7"},
      {{T("table"), T("t"), I(2), I(-1), I(1), T("a"), T(""), I(4)}, C,
       "schema row 1: default of column 0 missing at field 8"},
      {{T("table"), T("t"), I(1), I(-1), I(0)}, C, "schema row 1: root page 1 out of range"},
      {{T("table"), T("t"), I(0x100000000), I(-1), I(0)}, C, "schema row 1: root page 4294967296 out of range"},
      {{T("table"), T("t"), I(2), I(1), I(1), T("a"), T(""), I(0), N()}, C,
       "schema row 1: row-id alias 1 outside its 1 columns"},
  };
  const BadRow indexes[] = {
      {{T("index")}, S, "schema row: expected text at field 1"},
      {{T("index"), T("i"), I(2)}, S, "schema row: expected text at field 3"},
      {{T("index"), T("i"), I(2), T("t"), I(0), I(2), T("a")}, S, "schema row: expected text at field 7"},
      {{T("index"), T("i"), I(2), T("t"), I(0), I(-2), T("a"), T("b")}, S, "schema row: expected text at field 8"},
      {{T("index"), T("i"), I(2), T("t"), I(0), I(0)}, C, "schema row 1: index i has no columns"},
      {{T("index"), T("i"), I(0), T("t"), I(0), I(1), T("a")}, C, "schema row 1: root page 0 out of range"},
  };
  auto check = [](const BadRow& c, const Status& st) {
    SCOPED_TRACE(c.message);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), c.kind);
    EXPECT_EQ(st.error().message(), c.message);
  };
  for (const BadRow& c : tables) check(c, status_of(TableDef::from_row(1, c.row)));
  for (const BadRow& c : indexes) check(c, status_of(IndexDef::from_row(1, c.row)));
  // Accepted oddities: no default field needed without flag 4, unknown flag
  // bits, field 0 unexamined, trailing fields, any nonzero UNIQUE.
  auto t = TableDef::from_row(1, Row{I(0), T("t"), I(2), I(-9), I(1), T("a"), T(""), I(3 | 64)});
  ASSERT_TRUE(t.ok());
  EXPECT_TRUE(t->columns[0].not_null && t->columns[0].unique && !t->columns[0].default_value && !t->rowid_alias);
  auto ix = IndexDef::from_row(1, Row{T("index"), T("i"), I(2), T("t"), I(-3), I(1), T("a"), T("extra")});
  ASSERT_TRUE(ix.ok());
  EXPECT_TRUE(ix->unique);
}

// Valid records with bytes flipped, cut or appended: a definition or a
// Schema/Corrupt error, never a crash (run under ASan and UBSan).
TEST(SchemaRowTest, DamagedRecordsNeverCrash) {
  TableDef t{0, "t", {{"id", "INTEGER", true, true, I(3)}, {"s", "TEXT", false, false, T("abc")}}, 1, 2};
  const std::string records[] = {encode_record(t.to_row()),
                                 encode_record(IndexDef{"ix", "t", {"s", "id"}, {}, 2, 3, true}.to_row())};
  std::mt19937_64 rng(99);
  std::vector<Value> scratch;
  for (int iter = 0; iter < 40000; ++iter) {
    std::string rec = records[iter % 2];
    for (int e = 1 + static_cast<int>(rng() % 4); e > 0; --e) {
      switch (rng() % 3) {
        case 0: rec[rng() % rec.size()] = static_cast<char>(rng()); break;
        case 1: rec.resize(1 + rng() % rec.size()); break;
        default: rec.push_back(static_cast<char>(rng())); break;
      }
    }
    catalog::SchemaState st;
    Status s = st.load_record(static_cast<std::int64_t>(rng() % 5) - 2, rec, scratch);
    if (s.ok()) s = st.finish_load();
    if (!s.ok()) {
      EXPECT_TRUE(s.error().is(ErrorKind::Schema) || s.error().is(ErrorKind::Corrupt)) << s.error().debug();
    }
  }
}

TEST(SchemaRowTest, ColumnNamesMatchIgnoringAsciiCaseOnly) {
  TableDef t{{}, "t", {{"Name", "", false, false, {}}, {"NAME", "", false, false, {}}}, 1, 2};
  t.columns.push_back({"\xC3\x91o", "", false, false, {}});
  EXPECT_EQ(t.column_index("nAmE"), 0u);  // the first of two equal names
  EXPECT_EQ(t.column_index("NAME"), 0u);
  EXPECT_EQ(t.column_index("Nam"), std::nullopt);
  EXPECT_EQ(t.column_index("\xC3\x91O"), 2u);            // ASCII o folds
  EXPECT_EQ(t.column_index("\xC3\xB1o"), std::nullopt);  // N with tilde does not
}

// Rows a healthy file never holds still load into a usable schema.
TEST(SchemaRowTest, DamagedSchemasLoadSafely) {
  catalog::SchemaState st;
  auto load = [&](std::int64_t key, Row row) { ASSERT_TRUE(st.load_row(key, row).ok()) << key; };
  load(1, index_row("early", "t", {"a"}));  // before its table's row
  load(2, table_row("t", {"a", "b"}));
  load(3, index_row("i", "t", {"B", "nope", "A"}));
  load(5, index_row("i", "t", {"a"}));  // the same name twice: the later wins
  load(6, index_row("lost", "gone", {"a"}));  // its table has no row
  Row capital = table_row("u", {"x"});        // "Index" is not "index"
  capital[0] = T("Index");
  load(8, capital);
  ASSERT_TRUE(st.finish_load().ok());

  std::vector<std::string> listed;
  for (const IndexDef* d : st.indexes_of("t")) listed.push_back(d->name);
  EXPECT_EQ(listed, (std::vector<std::string>{"early", "i"}));
  EXPECT_EQ(st.indexes.at("i").schema_rowid, 5);
  EXPECT_EQ(st.indexes.at("i").column_positions, std::vector<std::size_t>{0});
  EXPECT_TRUE(st.indexes.at("lost").column_positions.empty());
  EXPECT_EQ(st.table_indexes.count("gone"), 0u);
  EXPECT_EQ(st.tables.count("u"), 1u);
  EXPECT_EQ(st.next_schema_rowid, 9);

  catalog::SchemaState positions;
  ASSERT_TRUE(positions.load_row(1, table_row("t", {"a", "b"})).ok());
  ASSERT_TRUE(positions.load_row(2, index_row("i", "t", {"B", "nope", "A"})).ok());
  ASSERT_TRUE(positions.finish_load().ok());
  EXPECT_EQ(positions.indexes.at("i").column_positions, (std::vector<std::size_t>{1, 0}));

  catalog::SchemaState negative;  // keys handed out start at 1
  ASSERT_TRUE(negative.load_row(-10, table_row("t", {})).ok());
  ASSERT_TRUE(negative.finish_load().ok());
  EXPECT_EQ(negative.next_schema_rowid, 1);
}

}  // namespace
}  // namespace bkf
