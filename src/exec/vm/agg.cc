#include "exec/vm/agg.h"

#include <limits>

#include "btree/keyenc.h"
#include "exec/value_ops.h"
#include "record/compare.h"

namespace bkf::vm {

AggAcc::AggAcc(const AggSpec& spec) : kind_(spec.kind) {
  if (spec.distinct) distinct_ = std::make_unique<DistinctSet>();
}

bool AggAcc::admit(const Value& v) {
  if (!distinct_) return true;
  if (v.is_null()) return false;
  std::string& key = distinct_->scratch;
  key.clear();
  keyenc::encode_identity_value(key, v);
  if (distinct_->seen.find(std::string_view(key)) != distinct_->seen.end()) return false;
  distinct_->seen.emplace(key);
  return true;
}

void AggAcc::step_general(const Value& v) {
  if (!admit(v)) return;
  switch (kind_) {
    case AggKind::CountStar:
      ++n_;
      return;
    case AggKind::Count:
      if (!v.is_null()) ++n_;
      return;
    case AggKind::Sum:
      if (v.is_null()) return;
      seen_ = true;
      if (v.is_int()) {
        exact_ += v.int_value();
        total_ += static_cast<double>(v.int_value());
      } else {
        non_integer_ = true;
        total_ += to_number(v);  // Real as is; Text read whole (else 0.0); Blob 0.0
      }
      return;
    case AggKind::Avg:
      if (v.is_null()) return;
      total_ += to_number(v);
      ++n_;
      return;
    case AggKind::Min:
    case AggKind::Max:
      if (v.is_null()) return;
      // A value of the kept value's kind is compared here as cmp_value does
      // (ties, and NaN, keep the earlier value).
      if (seen_ && v.kind() == kept_.kind() && (v.is_int() || v.is_real() || v.is_text())) {
        int c;
        if (v.is_int()) c = v.int_value() < kept_.int_value() ? -1 : v.int_value() > kept_.int_value() ? 1 : 0;
        else if (v.is_real()) c = v.real_value() < kept_.real_value() ? -1 : v.real_value() > kept_.real_value() ? 1 : 0;
        else c = v.bytes().compare(kept_.bytes());
        if (kind_ == AggKind::Min ? c < 0 : c > 0) kept_.assign(v);
        return;
      }
      if (!seen_) {
        kept_.assign(v);
        seen_ = true;
      } else {
        Ordering want = kind_ == AggKind::Min ? Ordering::Less : Ordering::Greater;
        if (cmp_value(v, kept_) == want) kept_.assign(v);  // ties keep the earlier value
      }
      return;
    case AggKind::Any:
      if (!seen_) {
        kept_.assign(v);  // Null included
        seen_ = true;
      }
      return;
  }
}

void AggAcc::finalize(Value& out) const {
  switch (kind_) {
    case AggKind::CountStar:
    case AggKind::Count:
      out.set_int(static_cast<std::int64_t>(n_));
      return;
    case AggKind::Sum:
      if (!seen_) {
        out.set_null();
      } else if (!non_integer_ && exact_ >= std::numeric_limits<std::int64_t>::min() &&
                 exact_ <= std::numeric_limits<std::int64_t>::max()) {
        out.set_int(static_cast<std::int64_t>(exact_));
      } else {
        out.set_real(total_);
      }
      return;
    case AggKind::Avg:
      if (n_ == 0) out.set_null();
      else out.set_real(total_ / static_cast<double>(n_));
      return;
    case AggKind::Min:
    case AggKind::Max:
    case AggKind::Any:
      if (seen_) out.assign(kept_);
      else out.set_null();
      return;
  }
  out.set_null();
}

}  // namespace bkf::vm
