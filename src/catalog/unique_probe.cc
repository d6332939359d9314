#include "catalog/unique_probe.h"

#include <algorithm>
#include <cstring>

#include "btree/btree.h"
#include "btree/keyenc.h"
#include "record/compare.h"
#include "record/record.h"

namespace bkf::catalog {

void pick_values(const std::vector<Value>& row, std::int64_t rowid, std::optional<std::size_t> rowid_alias,
                 std::span<const std::size_t> positions, std::vector<Value>& out) {
  out.resize(positions.size());
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (rowid_alias && positions[i] == *rowid_alias) out[i].set_int(rowid);
    else if (positions[i] < row.size()) out[i].assign(row[positions[i]]);
    else out[i].set_null();
  }
}

bool prefix_decides(std::span<const Value> values) noexcept {
  constexpr std::int64_t kExact = std::int64_t{1} << 53;
  for (const Value& v : values) {
    if (v.is_int() && (v.int_value() >= kExact || v.int_value() <= -kExact)) return false;
  }
  return true;
}

bool unique_equal(std::span<const Value> a, std::span<const Value> b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].is_null() || b[i].is_null()) {
      if (!(a[i].is_null() && b[i].is_null())) return false;
      continue;
    }
    // `=` on two numbers, two texts or two blobs is cmp_value's order (the
    // operators compare a number with a text differently, but such a pair
    // never shares a key prefix, and is not equal here).
    if (a[i].is_number() != b[i].is_number() || cmp_value(a[i], b[i]) != Ordering::Equal) return false;
  }
  return true;
}

Status UniqueProbe::start(IndexCursor& entries, std::span<const Value> values) {
  values_ = values;
  prefix_decides_ = prefix_decides(values);
  keyenc::encode_key_prefix_into(prefix_, values);
  return entries.seek(prefix_);
}

Result<std::optional<std::int64_t>> UniqueProbe::next(IndexCursor& entries) {
  if (!BKF_TRY(entries.next_into(key_))) return std::optional<std::int64_t>();
  if (key_.size() < prefix_.size() || std::memcmp(key_.data(), prefix_.data(), prefix_.size()) != 0) {
    return std::optional<std::int64_t>();
  }
  return std::optional<std::int64_t>(BKF_TRY(keyenc::key_rowid(key_)));
}

Result<bool> UniqueProbe::conflicts(Pager& pager, const IndexedRows& rows, std::int64_t rowid,
                                    std::optional<std::string_view> record) {
  if (prefix_decides_) return true;
  if (!record) {
    if (!BKF_TRY(BTree(pager, rows.table_root).search_into(rowid, payload_))) {
      return Error::corrupt("index entry for missing row " + std::to_string(rowid));
    }
    record = payload_;
  }
  BKF_TRY(decode_record_into(*record, row_));
  pick_values(row_, rowid, rows.rowid_alias, rows.positions, stored_);
  return unique_equal(stored_, values_);
}

namespace {

bool has_loose_real(std::span<const Value> values) {
  constexpr double kExact = 9007199254740992.0;  // 2^53
  for (const Value& v : values) {
    if (v.is_real() && (v.real_value() >= kExact || v.real_value() <= -kExact)) return true;
  }
  return false;
}

}  // namespace

std::optional<std::int64_t> DuplicateFinder::add(std::string_view key, std::int64_t rowid,
                                                 std::span<const Value> values) {
  const std::string_view prefix = key.substr(0, key.size() - std::min(key.size(), keyenc::kRowidSuffixLen));
  if (!first_ || prefix != prefix_) {
    prefix_.assign(prefix);
    first_ = rowid;
    decider_.reset();
    count_ = 0;
    loose_.clear();
    by_identity_.clear();
    if (prefix_decides(values)) decider_ = rowid;
    else store(rowid, values);
    return std::nullopt;
  }
  // Every entry of the run equals an entry whose values the prefix decides.
  if (decider_) return decider_;
  if (prefix_decides(values)) {
    decider_ = rowid;
    return first_;
  }
  const bool loose = has_loose_real(values);
  if (loose) {
    for (std::size_t i = 0; i < count_; ++i) {
      if (unique_equal(stored_[i].values, values)) return stored_[i].rowid;
    }
  } else {
    for (std::size_t i : loose_) {
      if (unique_equal(stored_[i].values, values)) return stored_[i].rowid;
    }
    keyenc::encode_identity_key_into(identity_, values);
    if (auto at = by_identity_.find(identity_); at != by_identity_.end()) return at->second;
  }
  store(rowid, values);
  return std::nullopt;
}

void DuplicateFinder::store(std::int64_t rowid, std::span<const Value> values) {
  if (count_ == stored_.size()) stored_.emplace_back();
  Entry& e = stored_[count_];
  e.rowid = rowid;
  e.values.resize(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) e.values[i].assign(values[i]);
  if (has_loose_real(values)) {
    loose_.push_back(count_);
  } else {
    keyenc::encode_identity_key_into(identity_, values);
    by_identity_.emplace(identity_, rowid);
  }
  ++count_;
}

}  // namespace bkf::catalog
