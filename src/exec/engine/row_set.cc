#include "exec/engine/row_set.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>

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
  // Spread the high bits into the low ones, which pick the slot.
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

}  // namespace

void dedup_rows(std::vector<Row>& rows) {
  if (rows.size() < 2) return;
  std::size_t cap = 16;
  while (cap < rows.size() * 2) cap <<= 1;
  const std::size_t mask = cap - 1;
  constexpr std::uint32_t kEmpty = ~std::uint32_t{0};
  // Slot -> position of a kept row (in its new place); hashes beside it so
  // that most mismatches are rejected without comparing values.
  std::vector<std::uint32_t> slots(cap, kEmpty);
  std::vector<std::uint64_t> hashes(rows.size());
  std::size_t kept = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::uint64_t h = hash_row(rows[i]);
    std::size_t s = static_cast<std::size_t>(h) & mask;
    bool dup = false;
    while (slots[s] != kEmpty) {
      const std::uint32_t k = slots[s];
      if (hashes[k] == h && same_row(rows[k], rows[i])) {
        dup = true;
        break;
      }
      s = (s + 1) & mask;
    }
    if (dup) continue;
    if (kept != i) rows[kept] = std::move(rows[i]);
    hashes[kept] = h;
    slots[s] = static_cast<std::uint32_t>(kept);
    ++kept;
  }
  rows.resize(kept);
}

}  // namespace bkf::engine
