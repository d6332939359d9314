#include "catalog/decl_type.h"

#include <span>
#include <string>

#include "base/ascii.h"

namespace bkf::catalog {

namespace {

constexpr std::string_view kIntegerWords[] = {"INT"};
constexpr std::string_view kTextWords[] = {"CHAR", "CLOB", "TEXT", "BLOB", "DATE", "TIME"};
constexpr std::string_view kRealWords[] = {"REAL", "FLOA", "DOUB", "DEC", "NUM"};

bool has_any(std::string_view upper_type, std::span<const std::string_view> words) {
  for (std::string_view w : words) {
    if (upper_type.find(w) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

Affinity value_affinity(std::string_view decl_type) {
  const std::string t = ascii_upper(decl_type);
  if (has_any(t, kIntegerWords)) return Affinity::Integer;
  if (has_any(t, kTextWords)) return Affinity::None;
  if (has_any(t, kRealWords)) return Affinity::Real;
  return Affinity::None;
}

Affinity default_affinity(std::string_view decl_type) {
  const std::string t = ascii_upper(decl_type);
  if (has_any(t, kIntegerWords)) return Affinity::Integer;
  if (has_any(t, kRealWords)) return Affinity::Real;
  return Affinity::None;
}

}  // namespace bkf::catalog
