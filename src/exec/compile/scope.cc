#include "exec/compile/scope.h"

namespace bkf::compile {

bool is_rowid_word(std::string_view name) noexcept { return ascii_iequal(name, "rowid"); }

Result<Resolved> Ctx::resolve(const std::optional<std::string>& qualifier, std::string_view name) const {
  // Candidate scopes: all of them, or those carrying the qualifier.
  std::vector<const TableScope*> candidates;
  candidates.reserve(scopes.size());
  for (const TableScope& s : scopes) {
    if (!qualifier || ascii_iequal(s.name, *qualifier)) candidates.push_back(&s);
  }
  if (qualifier && candidates.empty()) return Error::exec("no such table: " + *qualifier);

  if (is_rowid_word(name)) {
    if (candidates.size() != 1) return Error::exec("ambiguous rowid; qualify it with a table");
    return Resolved{candidates[0]->level, std::nullopt};
  }

  const TableScope* found = nullptr;
  std::size_t found_pos = 0;
  for (const TableScope* s : candidates) {
    std::optional<std::size_t> pos = s->table->column_index(name);
    if (!pos) continue;
    if (found) return Error::exec("ambiguous column: " + std::string(name));
    found = s;
    found_pos = *pos;
  }
  if (!found) return Error::exec("no such column: " + std::string(name));
  if (found->table->rowid_alias && *found->table->rowid_alias == found_pos) {
    return Resolved{found->level, std::nullopt};
  }
  return Resolved{found->level, static_cast<std::uint32_t>(found_pos)};
}

}  // namespace bkf::compile
