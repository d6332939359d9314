#include "exec/value_set.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "exec/numeric_text.h"

namespace bkf {

namespace {

template <class T>
void sort_unique(std::vector<T>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

template <class T, class K>
bool contains(const std::vector<T>& v, const K& key) noexcept {
  auto it = std::lower_bound(v.begin(), v.end(), key);
  return it != v.end() && *it == key;
}

}  // namespace

void ValueSet::add(const Value& v) {
  ++count_;
  switch (v.kind()) {
    case ValueKind::Null: null_ = true; return;
    case ValueKind::Int:
      kinds_ |= kFromInt;
      ints_.push_back(v.int_value());
      nums_.push_back(Num{static_cast<double>(v.int_value()), kFromInt});
      return;
    case ValueKind::Real:
      kinds_ |= kFromReal;
      if (std::isnan(v.real_value())) real_nan_ = true;
      else nums_.push_back(Num{v.real_value(), kFromReal});
      return;
    case ValueKind::Text: {
      kinds_ |= kFromText;
      texts_.emplace_back(v.bytes());
      const double d = num_from_text(v.bytes());
      if (std::isnan(d)) text_nan_ = true;
      else nums_.push_back(Num{d, kFromText});
      return;
    }
    case ValueKind::Blob: blobs_.emplace_back(v.bytes()); return;
  }
}

void ValueSet::finish() {
  sort_unique(ints_);
  sort_unique(texts_);
  sort_unique(blobs_);
  // One entry per number, with the kinds of every item that reads as it.
  std::sort(nums_.begin(), nums_.end(), [](const Num& a, const Num& b) { return a.d < b.d; });
  std::size_t out = 0;
  for (std::size_t i = 0; i < nums_.size(); ++i) {
    if (out > 0 && nums_[out - 1].d == nums_[i].d) nums_[out - 1].from |= nums_[i].from;
    else nums_[out++] = nums_[i];
  }
  nums_.resize(out);
}

void ValueSet::clear() noexcept {
  ints_.clear();
  nums_.clear();
  texts_.clear();
  blobs_.clear();
  count_ = 0;
  kinds_ = 0;
  null_ = real_nan_ = text_nan_ = false;
}

bool ValueSet::has_number(double d, std::uint8_t from) const noexcept {
  auto it = std::lower_bound(nums_.begin(), nums_.end(), d, [](const Num& n, double x) { return n.d < x; });
  return it != nums_.end() && it->d == d && (it->from & from) != 0;
}

Truth ValueSet::test(const Value& x) const noexcept {
  if (count_ == 0) return Truth::False;
  bool found = false;
  switch (x.kind()) {
    case ValueKind::Null: return Truth::Unknown;
    case ValueKind::Int: {
      // An integer item compares exactly; real and text items as doubles.
      const std::int64_t i = x.int_value();
      found = contains(ints_, i) || real_nan_ || text_nan_ ||
              ((kinds_ & (kFromReal | kFromText)) != 0 &&
               has_number(static_cast<double>(i), kFromReal | kFromText));
      break;
    }
    case ValueKind::Real: {
      const double r = x.real_value();
      if (std::isnan(r)) found = (kinds_ & (kFromInt | kFromReal | kFromText)) != 0;
      else found = real_nan_ || text_nan_ || has_number(r, kFromInt | kFromReal | kFromText);
      break;
    }
    case ValueKind::Text: {
      // Text items compare as bytes; number items with the text's number.
      found = contains(texts_, x.bytes());
      if (!found && (kinds_ & (kFromInt | kFromReal)) != 0) {
        const double d = num_from_text(x.bytes());
        found = std::isnan(d) || real_nan_ || has_number(d, kFromInt | kFromReal);
      }
      break;
    }
    case ValueKind::Blob: found = contains(blobs_, x.bytes()); break;
  }
  if (found) return Truth::True;
  return null_ ? Truth::Unknown : Truth::False;
}

}  // namespace bkf
