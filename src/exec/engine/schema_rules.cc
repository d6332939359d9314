#include "exec/engine/schema_rules.h"

#include <array>

#include "base/ascii.h"
#include "catalog/decl_type.h"
#include "exec/value_ops.h"

namespace bkf::engine {

namespace {

template <class T>
bool has_constraint(const ColumnDef& def) {
  for (const Constraint& c : def.constraints) {
    if (c.is<T>()) return true;
  }
  return false;
}

}  // namespace

Value coerce_affinity(std::string_view decl_type, Value v) {
  if (!v.is_text()) return v;
  const catalog::Affinity a = catalog::default_affinity(decl_type);
  if (a != catalog::Affinity::None) apply_affinity(v, a == catalog::Affinity::Real);
  return v;
}

bool is_integer_type(std::string_view decl_type) {
  static constexpr std::array<std::string_view, 9> kNames = {
      "INT", "INT2", "INT4", "INT8", "BIGINT", "INTEGER", "TINYINT", "SMALLINT", "MEDIUMINT"};
  const std::string t = ascii_upper(decl_type);
  for (std::string_view n : kNames) {
    if (t == n) return true;
  }
  return false;
}

std::optional<Value> column_default(const ColumnDef& def) {
  for (const Constraint& c : def.constraints) {
    if (const auto* d = c.get_if<Constraint::Default>()) {
      Value v;
      if (d->value) {
        switch (d->value->kind()) {
          case ExprKind::Integer: v = Value::integer(d->value->as<Expr::Integer>().value); break;
          case ExprKind::Real: v = Value::real(d->value->as<Expr::Real>().value); break;
          case ExprKind::Str: v = Value::text(d->value->as<Expr::Str>().value); break;
          default: break;
        }
      }
      return coerce_affinity(def.type_name.value_or(""), std::move(v));
    }
  }
  return std::nullopt;
}

Column plain_column(const ColumnDef& def) {
  Column c;
  c.name = def.name;
  c.decl_type = def.type_name.value_or("");
  c.not_null = has_constraint<Constraint::NotNull>(def);
  c.unique = has_constraint<Constraint::Unique>(def);
  c.default_value = column_default(def);
  return c;
}

std::string unique_column_index_name(std::string_view table, std::string_view column) {
  std::string s;
  s.reserve(table.size() + column.size() + 10);
  s.append(table).append("__").append(column).append("__unique");
  return s;
}

std::string named_key_index_name(std::string_view table, std::string_view name) {
  std::string s(table);
  s.append("__").append(name);
  return s;
}

std::string table_key_index_name(std::string_view table, const std::optional<std::string>& name,
                                 std::size_t position) {
  if (name) return named_key_index_name(table, *name);
  std::string s(table);
  s.append("__").append(table).append("__idx").append(std::to_string(position));
  return s;
}

}  // namespace bkf::engine
