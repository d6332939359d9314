#include "exec/vm/op.h"

#include <iterator>

namespace bkf::vm {
namespace {

using namespace oplist;
using enum OperandType;

#define BKF_OP_INFO(name, tag, ...) OpInfo{#name, {__VA_ARGS__}},
constexpr OpInfo kInfo[] = {BKF_OP_LIST(BKF_OP_INFO)};
#undef BKF_OP_INFO
static_assert(std::size(kInfo) == kOpKindCount);

// The slot of kind k's first operand of type t, or -1.
int slot_of(OpKind k, OperandType t) noexcept {
  const OpInfo* info = op_info(k);
  if (info == nullptr) return -1;
  for (const OperandInfo& o : info->operands) {
    if (o.name != nullptr && o.type == t) return o.slot;
  }
  return -1;
}

}  // namespace

const OpInfo* op_info(OpKind k) noexcept {
  const auto i = static_cast<std::size_t>(k);
  return i < std::size(kInfo) ? &kInfo[i] : nullptr;
}

int patch_slot(OpKind k) noexcept { return slot_of(k, Target); }

int jump_slot(OpKind k) noexcept {
  const int slot = slot_of(k, Target);
  return slot >= 0 ? slot : slot_of(k, BackTarget);
}

}  // namespace bkf::vm
