#include "pager/free_list.h"

#include <string>

#include "base/bytes.h"

namespace bkf {

Status walk_free_list(Pager& pager, const std::function<bool(PageId, bool)>& visit) {
  const std::uint32_t count = pager.page_count();
  const std::uint32_t max_leaves = (pager.page_size() - 8) / 4;
  auto in_range = [&](PageId p) { return p >= 2 && p <= count; };
  auto bad = [](const std::string& what) { return Error::corrupt("free list: " + what); };
  std::uint32_t trunks = 0;
  for (PageId trunk = pager.header().freelist_head; trunk != 0;) {
    if (!in_range(trunk)) return bad("trunk page " + std::to_string(trunk) + " is out of range");
    if (++trunks > count) return bad("its trunks form a loop");
    if (!visit(trunk, true)) return {};
    PageRef page = BKF_TRY(pager.get_page(trunk));
    const std::uint8_t* d = page.data();
    const std::uint32_t leaves = load_be32(d + 4);
    if (leaves > max_leaves) {
      return bad("trunk " + std::to_string(trunk) + " claims " + std::to_string(leaves) + " leaves");
    }
    for (std::uint32_t i = 0; i < leaves; ++i) {
      const PageId leaf = load_be32(d + 8 + 4 * i);
      if (!in_range(leaf)) return bad("leaf page " + std::to_string(leaf) + " is out of range");
      if (!visit(leaf, false)) return {};
    }
    trunk = load_be32(d);
  }
  return {};
}

}  // namespace bkf
