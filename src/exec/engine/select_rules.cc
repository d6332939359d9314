#include "exec/engine/select_rules.h"

#include "base/ascii.h"
#include "exec/numeric_text.h"
#include "exec/unicode.h"

namespace bkf::engine {

std::optional<std::string> found_rows_query(const SelectStmt& s) {
  if (!s.from.empty() || s.items.size() != 1) return std::nullopt;
  const auto* item = s.items[0].get_if<SelectItem::Expr>();
  if (!item) return std::nullopt;
  const auto* f = item->expr->get_if<Expr::Function>();
  if (!f || !f->args.empty() || !ascii_iequal(f->name, "found_rows")) return std::nullopt;
  if (item->alias) return *item->alias;
  return std::string("FOUND_ROWS()");
}

Result<std::size_t> resolve_union_order_col(const Expr& e, std::span<const std::string> names) {
  if (const auto* n = e.get_if<Expr::Integer>()) {
    if (n->value >= 1 && static_cast<std::uint64_t>(n->value) <= names.size()) {
      return static_cast<std::size_t>(n->value - 1);
    }
  } else if (const auto* c = e.get_if<Expr::Column>()) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (ascii_iequal(names[i], c->name)) return i;
    }
    return Error::exec("ORDER BY " + c->name + ": no such output column in UNION");
  }
  return Error::exec("UNION ORDER BY must reference an output column by name or position");
}

std::int64_t val_to_i64(const Value& v) {
  switch (v.kind()) {
    case ValueKind::Int: return v.int_value();
    case ValueKind::Real: return saturating_i64(v.real_value());
    case ValueKind::Text: return parse_i64(trim_white_space(v.bytes())).value_or(0);
    default: return 0;
  }
}

}  // namespace bkf::engine
