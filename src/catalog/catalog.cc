#include "catalog/catalog.h"

#include <utility>

namespace bkf {

const TableDef* Catalog::get(std::string_view name) const {
  auto it = state_.tables.find(name);
  return it == state_.tables.end() ? nullptr : &it->second;
}

const IndexDef* Catalog::get_index(std::string_view name) const {
  auto it = state_.indexes.find(name);
  return it == state_.indexes.end() ? nullptr : &it->second;
}

std::vector<const IndexDef*> Catalog::indexes_for(std::string_view table) const { return state_.indexes_of(table); }

void Catalog::snapshot() {
  if (saved_) return;
  saved_ = state_;
  saved_at_ = loaded_at_;
}

void Catalog::restore() {
  if (!saved_) return;
  state_ = std::move(*saved_);
  saved_.reset();
  ++generation_;
}

void Catalog::discard() { saved_.reset(); }

}  // namespace bkf
