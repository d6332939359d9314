// Grouping: the group of each row's key (AggStart), and the walk over the
// groups in key order that emits them (AggRewind, AggNext).
#include <algorithm>

#include "btree/keyenc.h"
#include "exec/vm/vm.h"

namespace bkf::vm {

Status Vm::agg_start(std::uint32_t key_start, std::uint32_t key_count) {
  // Without grouping keys every row belongs to the one group with the empty
  // key.
  if (key_count == 0 && has_group_ && groups_[current_group_]->key.empty()) return {};
  if (key_count == 1 && regs_[key_start].is_int()) {
    const std::int64_t k = regs_[key_start].int_value();
    if (const auto* slot = int_group_map_.find(k)) {
      current_group_ = slot->group;
      cur_accs_ = slot->accs;
      has_group_ = true;
      return {};
    }
    enter_group(key_start, key_count);
    int_group_map_.insert(k, current_group_, cur_accs_);
    return {};
  }
  enter_group(key_start, key_count);
  return {};
}

// The group of the key registers by their identity key, made when new.
void Vm::enter_group(std::uint32_t key_start, std::uint32_t key_count) {
  keyenc::encode_identity_key_into(key_scratch_, std::span<const Value>(regs_.data() + key_start, key_count));
  // Input that arrives grouped stays on its group without a map lookup.
  if (has_group_ && GroupIndex::same(groups_[current_group_]->key, key_scratch_)) return;
  auto key_of = [this](std::uint32_t g) { return std::string_view(groups_[g]->key); };
  const std::uint64_t h = GroupIndex::hash(key_scratch_);
  const std::uint32_t found = group_map_.find(key_scratch_, h, key_of);
  if (found != GroupIndex::kNone) {
    current_group_ = found;
    cur_accs_ = groups_[current_group_]->accs.data();
    has_group_ = true;
    return;
  }
  Group& g = *groups_.emplace_back(std::make_unique<Group>());
  g.key = key_scratch_;
  g.key_values.assign(regs_.begin() + key_start, regs_.begin() + key_start + key_count);
  g.accs.reserve(agg_specs_->size());
  for (const AggSpec& spec : *agg_specs_) g.accs.emplace_back(spec);
  current_group_ = static_cast<std::uint32_t>(groups_.size() - 1);
  cur_accs_ = g.accs.data();
  group_map_.insert(h, current_group_);
  has_group_ = true;
}

Status Vm::agg_rewind(const Op& op, std::size_t& pc) {
  if (groups_.empty() && op.flag == 0) {
    // Aggregates without GROUP BY yield one row even over no input.
    Group& g = *groups_.emplace_back(std::make_unique<Group>());
    for (const AggSpec& spec : *agg_specs_) g.accs.emplace_back(spec);
  }
  group_order_.resize(groups_.size());
  for (std::uint32_t i = 0; i < group_order_.size(); ++i) group_order_[i] = i;
  // Keys are unique, so the order is total; identity keys sort as values do.
  std::sort(group_order_.begin(), group_order_.end(),
            [this](std::uint32_t a, std::uint32_t b) { return groups_[a]->key < groups_[b]->key; });
  group_pos_ = 0;
  if (group_order_.empty()) {
    pc = op.a;
    return {};
  }
  load_group_key(op.b, op.c);
  return {};
}

void Vm::load_group_key(std::uint32_t dest, std::uint32_t count) {
  const Group& g = *groups_[group_order_[group_pos_]];
  for (std::uint32_t i = 0; i < count; ++i) {
    if (i < g.key_values.size()) regs_[dest + i].assign(g.key_values[i]);
    else regs_[dest + i].set_null();
  }
}

}  // namespace bkf::vm
