#include "exec/compile/conflict_probe.h"

#include <cstdint>
#include <optional>

#include "base/ascii.h"
#include "catalog/decl_type.h"
#include "exec/compile/gen.h"

namespace bkf::compile {

namespace {

struct KeyColumn {
  std::uint32_t position;  // in the insert column list: the parameter's ordinal
  catalog::Affinity affinity;
};

// The first entry of names equal to name ignoring ASCII case.
std::optional<std::size_t> find_name(const std::vector<std::string>& names, std::string_view name) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (ascii_iequal(names[i], name)) return i;
  }
  return std::nullopt;
}

// Loads a key value: the parameter with the column's affinity applied.
void load_key_value(Gen& g, const KeyColumn& k, std::uint32_t dest) {
  g.emit(Op::bind(k.position, dest));
  if (k.affinity != catalog::Affinity::None) g.emit(Op::affinity(dest, k.affinity == catalog::Affinity::Real));
}

}  // namespace

Result<ConflictProbe> compile_conflict_probe(std::string_view table, const std::vector<std::string>& columns,
                                             const Catalog& catalog, bool first_only) {
  const TableDef* t = catalog.get(table);
  if (!t) return Error::exec("no such table: " + std::string(table));

  std::optional<KeyColumn> alias_key;
  if (t->rowid_alias && *t->rowid_alias < t->columns.size()) {
    const Column& alias = t->columns[*t->rowid_alias];
    if (auto pos = find_name(columns, alias.name)) {
      alias_key = KeyColumn{static_cast<std::uint32_t>(*pos), catalog::value_affinity(alias.decl_type)};
    }
  }
  struct IndexKey {
    const IndexDef* index;
    std::vector<KeyColumn> columns;
  };
  std::vector<IndexKey> index_keys;
  for (const IndexDef* idx : catalog.indexes_for(t->name)) {
    if (!idx->unique || idx->columns.empty()) continue;
    IndexKey k{idx, {}};
    bool covered = true;
    for (const std::string& name : idx->columns) {
      auto pos = find_name(columns, name);
      auto col = t->column_index(name);
      if (!pos || !col) {
        covered = false;
        break;
      }
      k.columns.push_back(KeyColumn{static_cast<std::uint32_t>(*pos), catalog::value_affinity(t->columns[*col].decl_type)});
    }
    if (covered) index_keys.push_back(std::move(k));
  }

  Gen g;
  g.start();
  // After a row found: the next key, or the end when only the first counts.
  auto found = [&](std::uint32_t rowid_reg) {
    g.emit(Op::result_row(rowid_reg, 1));
    if (first_only) g.emit(Op::halt());
  };

  if (alias_key) {
    const std::uint32_t cur = g.cursor();
    const std::uint32_t value = g.reg();
    g.emit(Op::open_read(cur, t->root));
    load_key_value(g, *alias_key, value);
    // Only an integer names a row: NULL and other values find none.
    const std::uint32_t exists = g.emit(Op::rowid_exists_jump(cur, value, 0));
    const std::uint32_t missing = g.emit(Op::goto_(0));
    g.patch_here(exists);
    found(value);
    g.patch_here(missing);
  }
  for (const IndexKey& k : index_keys) {
    const std::uint32_t cur = g.index_cursor();
    const auto n = static_cast<std::uint32_t>(k.columns.size());
    const std::uint32_t values = g.regs(n);
    const std::uint32_t is_null = g.reg();
    const std::uint32_t rowid = g.reg();
    const std::uint32_t spec = g.unique_spec(k.index->name, {t->root, k.index->column_positions, t->rowid_alias});
    Label none;
    g.emit(Op::open_index(cur, k.index->root));
    for (std::uint32_t i = 0; i < n; ++i) {
      load_key_value(g, k.columns[i], values + i);
      g.emit(Op::is_null(values + i, false, is_null));
      none.add(g.emit(Op::if_true(is_null, 0)));
    }
    // Every conflicting row in turn: distinct values may share a key, and a
    // real may equal several integers that share one.
    g.emit(Op::idx_next_conflict(cur, rowid, values, n, spec, true));
    const std::uint32_t top = g.here();
    g.emit(Op::is_null(rowid, false, is_null));
    none.add(g.emit(Op::if_true(is_null, 0)));
    found(rowid);
    if (!first_only) {
      g.emit(Op::idx_next_conflict(cur, rowid, values, n, spec, false));
      g.emit(Op::goto_(top));
    }
    none.resolve_here(g);
  }

  ConflictProbe out;
  out.keys = index_keys.size() + (alias_key ? 1 : 0);
  g.program().columns = {"rowid"};
  g.program().visible = 1;
  out.program = BKF_TRY(g.finish());
  return out;
}

}  // namespace bkf::compile
