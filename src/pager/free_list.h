// Reading the free list: every page on it, for the integrity check.
//
// The list lives in the database file as a chain of trunk pages from the
// header's freelist_head (0: empty). A trunk holds, big-endian: the next
// trunk's number (0 on the last), its leaf count L, then L leaf page
// numbers. The pager allocates from and frees onto it (pager.cc); this only
// reads it, through Pager::get_page, under the caller's read lock or write
// transaction.
#pragma once

#include <cstdint>
#include <functional>

#include "pager/pager.h"
#include "base/result.h"

namespace bkf {

// Calls visit(page, is_trunk) for each trunk, then each of its leaves in
// order, trunk after trunk; a false return stops the walk (success). The
// list is checked as it is read: a trunk or leaf number outside
// 2..page_count, a leaf count a trunk cannot hold, and more trunks than the
// file has pages (a loop) are Corrupt "free list: ...". Pager errors pass
// through. Pages met twice are the visitor's to notice.
Status walk_free_list(Pager& pager, const std::function<bool(PageId, bool)>& visit);

}  // namespace bkf
