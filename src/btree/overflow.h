// Overflow chains: the tail of a table payload longer than max_local.
//
// A leaf cell keeps the first L = max_local bytes of a payload of T bytes and
// the number of the first overflow page. Each overflow page holds the number
// of the next page (bytes 0-3, 0 on the last) and the next P - 4 bytes of the
// payload from byte 4; the last page carries only what is left. A chain
// therefore has exactly ceil((T - L) / (P - 4)) pages.
//
// Chains read from a file are verified, so that damage can neither hang a
// walk nor free a page twice: T < L, T > L without a first page, a chain that
// ends before T bytes, one that goes on after them, a page met twice, or more
// pages than T needs are all Corrupt. Pager errors pass through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"
#include "btree/cell.h"
#include "btree/page_set.h"
#include "pager/pager.h"

namespace bkf::overflow {

// Pages a chain holding the bytes after the local part needs.
inline std::uint64_t pages_needed(std::uint64_t total, std::uint64_t local, std::size_t page_size) noexcept {
  if (total <= local) return 0;
  const std::uint64_t per = page_size - 4;
  return (total - local + per - 1) / per;
}

// Walks the chain of a payload of total bytes with local bytes in the cell,
// calling fn(page id, the page's payload bytes) -> Status for each page in
// order, with the checks above; an error of fn ends the walk.
template <class Fn>
Status visit_chain(Pager& pager, std::uint64_t total, std::uint64_t local, PageId first, Fn&& fn) {
  if (total < local) return Error::corrupt("cell keeps more payload than its total length");
  if (total == local) return {};
  if (first == 0) return Error::corrupt("overflowing cell has no overflow page");
  const std::size_t per = pager.page_size() - 4;
  const std::uint64_t pages = pages_needed(total, local, pager.page_size());
  // A chain cannot hold more pages than the file; anything longer loops.
  if (pages > pager.page_count()) return Error::corrupt("overflow chain longer than the file");
  PageIdSet seen;
  std::uint64_t remaining = total - local;
  PageId id = first;
  for (std::uint64_t k = 0; k < pages; ++k) {
    if (id == 0) return Error::corrupt("overflow chain ends before its payload");
    if (!seen.insert(id)) return Error::corrupt("overflow chain visits a page twice");
    PageRef page = BKF_TRY(pager.get_page(id));
    const std::size_t take = remaining < per ? static_cast<std::size_t>(remaining) : per;
    BKF_TRY(fn(id, std::string_view(reinterpret_cast<const char*>(page.data()) + 4, take)));
    remaining -= take;
    id = cell::get_u32(page.data());
  }
  if (id != 0) return Error::corrupt("overflow chain goes on after its payload");
  return {};
}

// Writes rest (the payload bytes after the local part; not empty) to a new
// chain of freshly allocated pages and returns its first page. On failure the
// pages already allocated stay allocated in the open transaction.
Result<PageId> write_chain(Pager& pager, std::string_view rest);

// Appends the payload of a cell to out: local (its L bytes), then, when
// total > L, the chain from first. Reserves no more than the file can hold
// and grows as it reads. out is not cleared.
Status append_payload(Pager& pager, std::uint64_t total, std::string_view local, PageId first, std::string& out);

// Frees the chain of a cell after walking and checking all of it, so that a
// damaged chain frees nothing. When freed is given, every page of the chain
// must be absent from it (else Corrupt, before anything is freed) and is
// added to it: walks that free many chains and tree pages share one set so
// that no page is freed twice.
Status free_chain(Pager& pager, std::uint64_t total, std::uint64_t local, PageId first, PageIdSet* freed = nullptr);

}  // namespace bkf::overflow
