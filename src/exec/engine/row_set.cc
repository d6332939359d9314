#include "exec/engine/row_set.h"

#include <bit>
#include <cstdint>
#include <functional>
#include <string_view>

#include "base/open_table.h"

namespace bkf::engine {

namespace {

std::uint64_t mix(std::uint64_t h, std::uint64_t v) noexcept {
  h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
  return h;
}

std::uint64_t hash_row(const Row& row) noexcept {
  std::uint64_t h = row.size();
  for (const Value& v : row) {
    h = mix(h, static_cast<std::uint64_t>(v.kind()));
    switch (v.kind()) {
      case ValueKind::Null: break;
      case ValueKind::Int: h = mix(h, static_cast<std::uint64_t>(v.int_value())); break;
      case ValueKind::Real: h = mix(h, std::bit_cast<std::uint64_t>(v.real_value())); break;
      case ValueKind::Text:
      case ValueKind::Blob: h = mix(h, std::hash<std::string_view>{}(v.bytes())); break;
    }
  }
  // Let every input bit reach the top bits, which pick the home slot.
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 32;
  return h;
}

bool same_row(const Row& a, const Row& b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!a[i].identical(b[i])) return false;
  }
  return true;
}

// A kept row: its position, beside the top half of its hash so that most
// mismatches are rejected without comparing values. The table is given only
// that half as the hash (its home slot comes from the top bits), so a slot
// of 8 bytes holds all the table needs to place it again.
struct KeptSlot {
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  std::uint32_t tag = 0;
  std::uint32_t row = kNone;
};
struct KeptTraits {
  static bool empty(const KeptSlot& s) noexcept { return s.row == KeptSlot::kNone; }
  static std::uint64_t hash(const KeptSlot& s) noexcept { return std::uint64_t{s.tag} << 32; }
};

}  // namespace

void dedup_rows(std::vector<Row>& rows) {
  if (rows.size() < 2) return;
  // Kept rows move down to their new place before the next row is looked
  // up, so a slot's position always names a kept row.
  OpenTable<KeptSlot, KeptTraits> kept_rows;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto tag = static_cast<std::uint32_t>(hash_row(rows[i]) >> 32);
    const std::uint64_t h = std::uint64_t{tag} << 32;  // as KeptTraits::hash gives it back
    auto [slot, added] = kept_rows.find_or_add(h, [&](const KeptSlot& s) {
      return s.tag == tag && s.row != KeptSlot::kNone && same_row(rows[s.row], rows[i]);
    });
    if (!added) continue;
    if (kept != i) rows[kept] = std::move(rows[i]);
    *slot = KeptSlot{tag, static_cast<std::uint32_t>(kept)};
    ++kept;
  }
  rows.resize(kept);
}

}  // namespace bkf::engine
