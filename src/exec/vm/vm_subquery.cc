// Correlated scalar subqueries: a sub-program run on a child machine per
// distinct tuple of arguments, its value cached for the rest of the run.
#include "exec/vm/post_run.h"
#include "exec/vm/vm.h"
#include "record/record.h"

namespace bkf::vm {

Status Vm::scalar_sub(const Program& p, const Op& op) {
  const std::uint32_t sub = op.a;
  const ParamSrc* srcs = p.param_lists.data() + op.b;
  const std::uint32_t count = op.c;
  if (args_scratch_.size() < count) args_scratch_.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) BKF_TRY(param_value(srcs[i], args_scratch_[i]));
  // The key: the sub-program's number, then the record of the arguments,
  // whose bytes are equal exactly when the values are identical.
  std::string& key = sub_key_scratch_;
  key.assign(reinterpret_cast<const char*>(&sub), sizeof sub);
  encode_record_into(bytes_scratch_, std::span<const Value>(args_scratch_.data(), count));
  key += bytes_scratch_;
  auto hit = subquery_cache_.find(std::string_view(key));
  if (hit != subquery_cache_.end()) {
    ++subquery_cache_hits_;
    regs_[op.d()].assign(hit->second);
    return {};
  }

  const Program& child_program = p.subprograms[sub];
  PostRun post = PostRun::of(child_program);
  if (children_.size() <= sub) children_.resize(sub + 1);
  if (!children_[sub]) children_[sub] = std::make_unique<Vm>(pager_, binds_);
  else children_[sub]->rearm(binds_);
  Vm& child = *children_[sub];
  child.params_.assign(args_scratch_.begin(), args_scratch_.begin() + count);
  // Without sorting or DISTINCT only the first OFFSET + 1 rows can matter.
  if (child_program.order_desc.empty() && !child_program.distinct) {
    std::uint64_t skip = child_program.offset && *child_program.offset > 0
                             ? static_cast<std::uint64_t>(*child_program.offset)
                             : 0;
    if (skip < ~std::uint64_t{0}) child.row_cap_ = skip + 1;
  }
  ++subquery_runs_;
  BKF_TRY(child.run(child_program));
  std::vector<Row> rows = child.take_rows();
  apply_post_run(rows, post);
  Value result;
  if (!rows.empty() && !rows.front().empty()) result = std::move(rows.front().front());
  regs_[op.d()].assign(result);
  subquery_cache_.emplace(key, std::move(result));
  return {};
}

}  // namespace bkf::vm
