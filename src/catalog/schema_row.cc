// Conversion between definitions and schema rows (layouts in defs.h).
#include <string>

#include "catalog/defs.h"

namespace bkf {
namespace {

constexpr std::int64_t kFlagNotNull = 1;
constexpr std::int64_t kFlagUnique = 2;
constexpr std::int64_t kFlagDefault = 4;

// Root pages are ordinary pages: page 1 is the header page and page numbers
// are 32 bits wide.
constexpr std::int64_t kMinRoot = 2;
constexpr std::int64_t kMaxRoot = 0xFFFFFFFFll;

Error expected_text(std::size_t field) {
  return Error::schema("schema row: expected text at field " + std::to_string(field));
}

Error expected_integer(std::size_t field) {
  return Error::schema("schema row: expected integer at field " + std::to_string(field));
}

Result<std::string_view> text_at(std::span<const Value> row, std::size_t field) {
  if (field >= row.size() || !row[field].is_text()) return expected_text(field);
  return row[field].bytes();
}

Result<std::int64_t> int_at(std::span<const Value> row, std::size_t field) {
  if (field >= row.size() || !row[field].is_int()) return expected_integer(field);
  return row[field].int_value();
}

std::string row_prefix(std::int64_t key) { return "schema row " + std::to_string(key) + ": "; }

Result<std::uint32_t> checked_root(std::int64_t key, std::int64_t root) {
  if (root < kMinRoot || root > kMaxRoot) {
    return Error::corrupt(row_prefix(key) + "root page " + std::to_string(root) + " out of range");
  }
  return static_cast<std::uint32_t>(root);
}

// Room for the columns a row can hold at most, whatever count it claims.
std::size_t fitting(std::int64_t count, std::size_t available) {
  if (count <= 0) return 0;
  return static_cast<std::uint64_t>(count) < available ? static_cast<std::size_t>(count) : available;
}

}  // namespace

std::vector<Value> TableDef::to_row() const {
  std::vector<Value> row;
  row.reserve(5 + 4 * columns.size());
  row.push_back(Value::text("table"));
  row.push_back(Value::text(name));
  row.push_back(Value::integer(root));
  row.push_back(Value::integer(rowid_alias ? static_cast<std::int64_t>(*rowid_alias) : -1));
  row.push_back(Value::integer(static_cast<std::int64_t>(columns.size())));
  for (const Column& c : columns) {
    std::int64_t flags = (c.not_null ? kFlagNotNull : 0) | (c.unique ? kFlagUnique : 0) |
                         (c.default_value ? kFlagDefault : 0);
    row.push_back(Value::text(c.name));
    row.push_back(Value::text(c.decl_type));
    row.push_back(Value::integer(flags));
    row.push_back(c.default_value ? *c.default_value : Value::null());
  }
  return row;
}

Result<TableDef> TableDef::from_row(std::int64_t key, std::span<const Value> row) {
  TableDef def;
  def.schema_rowid = key;
  def.name = std::string(BKF_TRY(text_at(row, 1)));
  const std::int64_t root = BKF_TRY(int_at(row, 2));
  const std::int64_t alias = BKF_TRY(int_at(row, 3));
  const std::int64_t count = BKF_TRY(int_at(row, 4));

  // A negative count has no end of its own: columns are read until a field
  // is missing, which a finite row always reaches.
  def.columns.reserve(fitting(count, row.size() > 5 ? (row.size() - 5) / 4 : 0));
  for (std::size_t k = 0; count < 0 || k < static_cast<std::uint64_t>(count); ++k) {
    const std::size_t base = 5 + 4 * k;
    const std::int64_t flags = BKF_TRY(int_at(row, base + 2));
    Column col;
    if (flags & kFlagDefault) {
      if (base + 3 >= row.size()) {
        return Error::corrupt(row_prefix(key) + "default of column " + std::to_string(k) + " missing at field " +
                              std::to_string(base + 3));
      }
      col.default_value = row[base + 3];
    }
    col.name = std::string(BKF_TRY(text_at(row, base)));
    col.decl_type = std::string(BKF_TRY(text_at(row, base + 1)));
    col.not_null = (flags & kFlagNotNull) != 0;
    col.unique = (flags & kFlagUnique) != 0;
    def.columns.push_back(std::move(col));
  }

  def.root = BKF_TRY(checked_root(key, root));
  if (alias >= 0) {
    if (static_cast<std::uint64_t>(alias) >= def.columns.size()) {
      return Error::corrupt(row_prefix(key) + "row-id alias " + std::to_string(alias) + " outside its " +
                            std::to_string(def.columns.size()) + " columns");
    }
    def.rowid_alias = static_cast<std::size_t>(alias);
  }
  return def;
}

std::vector<Value> IndexDef::to_row() const {
  std::vector<Value> row;
  row.reserve(6 + columns.size());
  row.push_back(Value::text("index"));
  row.push_back(Value::text(name));
  row.push_back(Value::integer(root));
  row.push_back(Value::text(table));
  row.push_back(Value::integer(unique ? 1 : 0));
  row.push_back(Value::integer(static_cast<std::int64_t>(columns.size())));
  for (const std::string& c : columns) row.push_back(Value::text(c));
  return row;
}

Result<IndexDef> IndexDef::from_row(std::int64_t key, std::span<const Value> row) {
  IndexDef def;
  def.schema_rowid = key;
  def.name = std::string(BKF_TRY(text_at(row, 1)));
  const std::int64_t root = BKF_TRY(int_at(row, 2));
  def.table = std::string(BKF_TRY(text_at(row, 3)));
  def.unique = BKF_TRY(int_at(row, 4)) != 0;
  const std::int64_t count = BKF_TRY(int_at(row, 5));

  def.columns.reserve(fitting(count, row.size() > 6 ? row.size() - 6 : 0));
  for (std::size_t k = 0; count < 0 || k < static_cast<std::uint64_t>(count); ++k) {
    def.columns.emplace_back(BKF_TRY(text_at(row, 6 + k)));
  }

  def.root = BKF_TRY(checked_root(key, root));
  if (def.columns.empty()) return Error::corrupt(row_prefix(key) + "index " + def.name + " has no columns");
  return def;
}

}  // namespace bkf
