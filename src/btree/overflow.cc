#include "btree/overflow.h"

#include <algorithm>
#include <vector>

namespace bkf::overflow {

Result<PageId> write_chain(Pager& pager, std::string_view rest) {
  const std::size_t per = pager.page_size() - 4;
  PageId first = BKF_TRY(pager.alloc_page());
  PageId cur = first;
  std::size_t at = 0;
  while (at < rest.size()) {
    std::size_t take = std::min(per, rest.size() - at);
    PageId next = 0;
    if (at + take < rest.size()) next = BKF_TRY(pager.alloc_page());
    PageRef page = BKF_TRY(pager.get_page(cur));
    std::uint8_t* p = page.mutable_data();
    cell::put_u32(p, next);
    std::copy_n(rest.data() + at, take, reinterpret_cast<char*>(p) + 4);
    at += take;
    cur = next;
  }
  return first;
}

Status append_payload(Pager& pager, std::uint64_t total, std::string_view local, PageId first, std::string& out) {
  if (total > local.size()) {
    // Reserve what the payload claims, but never more than the file could
    // hold: a damaged length must not allocate gigabytes.
    const std::uint64_t file_bound =
        static_cast<std::uint64_t>(pager.page_count()) * (pager.page_size() - 4) + local.size();
    out.reserve(out.size() + static_cast<std::size_t>(std::min(total, file_bound)));
  }
  out.append(local);
  return visit_chain(pager, total, local.size(), first, [&](PageId, std::string_view bytes) -> Status {
    out.append(bytes);
    return {};
  });
}

Status free_chain(Pager& pager, std::uint64_t total, std::uint64_t local, PageId first, PageIdSet* freed) {
  if (total <= local) return visit_chain(pager, total, local, first, [](PageId, std::string_view) -> Status { return {}; });
  std::vector<PageId> ids;
  BKF_TRY(visit_chain(pager, total, local, first, [&](PageId id, std::string_view) -> Status {
    if (freed && freed->contains(id)) return Error::corrupt("overflow page is used twice");
    ids.push_back(id);
    return {};
  }));
  for (PageId id : ids) {
    if (freed) freed->insert(id);
    BKF_TRY(pager.free_page(id));
  }
  return {};
}

}  // namespace bkf::overflow
