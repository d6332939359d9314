// Loading the in-memory schema from rows, name matching, and the in-memory
// effect of schema changes.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "catalog/schema_state.h"

namespace bkf {
namespace {

using catalog::SchemaState;

std::vector<Value> table_row(const std::string& name, std::uint32_t root, std::vector<std::string> cols) {
  TableDef def;
  def.name = name;
  def.root = root;
  for (auto& c : cols) def.columns.push_back({c, "", false, false, std::nullopt});
  return def.to_row();
}

std::vector<Value> index_row(const std::string& name, const std::string& table, std::vector<std::string> cols) {
  IndexDef def;
  def.name = name;
  def.table = table;
  def.root = 3;
  def.columns = std::move(cols);
  return def.to_row();
}

std::vector<std::string> names(const std::vector<const IndexDef*>& defs) {
  std::vector<std::string> out;
  for (auto* d : defs) out.push_back(d->name);
  return out;
}

TEST(SchemaStateTest, ColumnNamesMatchIgnoringAsciiCaseOnly) {
  TableDef t;
  t.columns = {{"Name", "", false, false, {}}, {"NAME", "", false, false, {}}, {"\xC3\x91o", "", false, false, {}}};
  EXPECT_EQ(t.column_index("Name"), 0u);
  EXPECT_EQ(t.column_index("NAME"), 0u);  // the first of two equal names
  EXPECT_EQ(t.column_index("nAmE"), 0u);
  EXPECT_EQ(t.column_index("Nam"), std::nullopt);
  EXPECT_EQ(t.column_index("Names"), std::nullopt);
  EXPECT_EQ(t.column_index("\xC3\x91O"), 2u);       // ASCII o folds
  EXPECT_EQ(t.column_index("\xC3\xB1o"), std::nullopt);  // N-tilde does not
  EXPECT_EQ(t.column_index(""), std::nullopt);
}

TEST(SchemaStateTest, LoadsInKeyOrderWithExactNames) {
  SchemaState st;
  ASSERT_TRUE(st.load_row(1, table_row("Users", 2, {"Id", "Mail"})).ok());
  ASSERT_TRUE(st.load_row(2, table_row("users", 4, {"x"})).ok());
  ASSERT_TRUE(st.load_row(3, index_row("by_mail", "Users", {"MAIL"})).ok());
  ASSERT_TRUE(st.load_row(4, index_row("Users", "Users", {"mail", "nope", "id"})).ok());
  ASSERT_TRUE(st.load_row(7, index_row("by_x", "users", {"X"})).ok());
  ASSERT_TRUE(st.finish_load().ok());

  EXPECT_EQ(st.tables.size(), 2u);
  EXPECT_EQ(st.tables.at("Users").root, 2u);
  EXPECT_EQ(st.tables.at("users").root, 4u);
  EXPECT_EQ(st.tables.count("USERS"), 0u);
  // A table and an index may share a name.
  EXPECT_EQ(st.indexes.at("Users").table, "Users");
  EXPECT_EQ(names(st.indexes_of("Users")), (std::vector<std::string>{"by_mail", "Users"}));
  EXPECT_EQ(names(st.indexes_of("users")), (std::vector<std::string>{"by_x"}));
  EXPECT_TRUE(st.indexes_of("nobody").empty());
  // Positions resolve ignoring case and leave out unknown names.
  EXPECT_EQ(st.indexes.at("Users").column_positions, (std::vector<std::size_t>{1, 0}));
  EXPECT_EQ(st.indexes.at("Users").columns, (std::vector<std::string>{"mail", "nope", "id"}));
  EXPECT_EQ(st.next_schema_rowid, 8);
}

TEST(SchemaStateTest, RowKindIsDecidedByExactIndexText) {
  SchemaState st;
  // "Index" and an integer first value make table rows.
  auto r = table_row("a", 2, {"c"});
  r[0] = Value::text("Index");
  ASSERT_TRUE(st.load_row(1, r).ok());
  r = table_row("b", 2, {"c"});
  r[0] = Value::integer(1);
  ASSERT_TRUE(st.load_row(2, r).ok());
  ASSERT_TRUE(st.finish_load().ok());
  EXPECT_EQ(st.tables.size(), 2u);
  EXPECT_TRUE(st.indexes.empty());
}

TEST(SchemaStateTest, DamagedSchemasLoadSafely) {
  SchemaState st;
  ASSERT_TRUE(st.load_row(1, table_row("t", 2, {"a"})).ok());
  ASSERT_TRUE(st.load_row(2, index_row("i", "t", {"a"})).ok());
  // The same index name stored again: the later row wins and is listed once.
  auto again = index_row("i", "t", {"a"});
  again[2] = Value::integer(9);
  ASSERT_TRUE(st.load_row(5, again).ok());
  // An index of a table that has no row: kept, listed nowhere, no positions.
  ASSERT_TRUE(st.load_row(6, index_row("lost", "gone", {"a"})).ok());
  // The same table name stored twice: the later row wins.
  ASSERT_TRUE(st.load_row(8, table_row("u", 2, {"a"})).ok());
  ASSERT_TRUE(st.load_row(9, table_row("u", 5, {"a", "b"})).ok());
  ASSERT_TRUE(st.finish_load().ok());

  EXPECT_EQ(names(st.indexes_of("t")), std::vector<std::string>{"i"});
  EXPECT_EQ(st.indexes.at("i").root, 9u);
  EXPECT_EQ(st.indexes.at("i").schema_rowid, 5);
  ASSERT_EQ(st.indexes.count("lost"), 1u);
  EXPECT_TRUE(st.indexes.at("lost").column_positions.empty());
  EXPECT_EQ(st.table_indexes.count("gone"), 0u);
  EXPECT_EQ(st.tables.at("u").columns.size(), 2u);
  // An index row before its table's row (possible only in a damaged file)
  // still attaches by key order.
  SchemaState st2;
  ASSERT_TRUE(st2.load_row(1, index_row("early", "t", {"a"})).ok());
  ASSERT_TRUE(st2.load_row(2, table_row("t", 2, {"a"})).ok());
  ASSERT_TRUE(st2.finish_load().ok());
  EXPECT_EQ(names(st2.indexes_of("t")), std::vector<std::string>{"early"});

  // Removing the orphan touches no list.
  st.remove_index("lost");
  EXPECT_EQ(st.indexes.count("lost"), 0u);
}

TEST(SchemaStateTest, NextKeyFollowsTheLargestKey) {
  // Keys handed out start at 1 even when every stored key is negative.
  SchemaState negative;
  ASSERT_TRUE(negative.load_row(-10, table_row("t", 2, {})).ok());
  ASSERT_TRUE(negative.finish_load().ok());
  EXPECT_EQ(negative.next_schema_rowid, 1);

  SchemaState top;
  ASSERT_TRUE(top.load_row(std::numeric_limits<std::int64_t>::max() - 1, table_row("t", 2, {})).ok());
  ASSERT_TRUE(top.finish_load().ok());
  EXPECT_EQ(top.next_schema_rowid, std::numeric_limits<std::int64_t>::max());
}

}  // namespace
}  // namespace bkf
