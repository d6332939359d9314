#include "pager/page_cache.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace bkf {

PageCache::PageCache(std::uint32_t page_size, std::size_t capacity)
    : page_size_(page_size), capacity_(capacity) {}

PageCache::~PageCache() {
  clear();
  for (PageFrame* f : free_frames_) destroy(f);
}

void PageCache::destroy(PageFrame* f) {
  f->~PageFrame();
  ::operator delete(static_cast<void*>(f), std::align_val_t{64});
}

PageFrame* PageCache::take_frame(PageId id) {
  PageFrame* f;
  if (!free_frames_.empty()) {
    f = free_frames_.back();
    free_frames_.pop_back();
  } else {
    // Frame header and page bytes in one allocation, on a cache-line
    // boundary; the header's size is a multiple of 8, so the bytes are
    // 8-aligned.
    static_assert(sizeof(PageFrame) % 8 == 0);
    void* mem = ::operator new(sizeof(PageFrame) + page_size_, std::align_val_t{64});
    f = new (mem) PageFrame{};
    f->data = reinterpret_cast<std::uint8_t*>(f + 1);
    f->size = page_size_;
  }
  f->cache = nullptr;
  f->next_dirty = nullptr;
  f->tick = 0;
  f->version = 1;
  f->memo.stamp = 0;
  f->id = id;
  f->refs = 0;
  f->dirty = false;
  return f;
}

void PageCache::recycle(PageFrame* f) noexcept {
  if (free_frames_.size() < capacity_) {
    try {
      free_frames_.push_back(f);
      return;
    } catch (const std::bad_alloc&) {
      // No room to pool it: free it instead.
    }
  }
  destroy(f);
}

PageRef PageCache::insert(PageFrame* f, bool dirty) {
  assert(map_.find(f->id) == nullptr);
  try {
    map_.put(f->id, f);
  } catch (...) {
    recycle(f);
    throw;
  }
  f->cache = this;
  f->tick = ++tick_;
  if (dirty) {
    f->dirty = true;
    push_dirty(f);
  }
  return PageRef(f);
}

PageRef PageCache::insert_zeroed(PageId id) {
  evict_if_needed();
  PageFrame* f = take_frame(id);
  std::memset(f->data, 0, page_size_);
  return insert(f, true);
}

void PageCache::remove(PageFrame* f) noexcept {
  map_.erase(f->id);
  f->cache = nullptr;
  f->next_dirty = nullptr;
  if (f->refs == 0) recycle(f);
}

void PageCache::evict_if_needed() noexcept {
  if (map_.size() < capacity_ || map_.size() < next_scan_at_) return;
  std::size_t target = capacity_ - std::max<std::size_t>(capacity_ / 10, 1);
  std::size_t need = map_.size() - target;
  evict_scratch_.clear();
  try {
    map_.for_each([&](PageId, PageFrame* f) {
      if (f->refs == 0 && !f->dirty) evict_scratch_.emplace_back(f->tick, f);
    });
  } catch (const std::bad_alloc&) {
    // No memory to choose the pages by: nothing has been removed yet, and
    // the cache stays large until a later load tries again.
    evict_scratch_.clear();
    return;
  }
  if (evict_scratch_.size() > need) {
    // Partial selection of the `need` least recently used; ticks are unique.
    std::nth_element(evict_scratch_.begin(), evict_scratch_.begin() + static_cast<std::ptrdiff_t>(need),
                     evict_scratch_.end());
    evict_scratch_.resize(need);
  }
  for (auto& [tick, f] : evict_scratch_) remove(f);
  evict_scratch_.clear();
  next_scan_at_ = map_.size() > target ? map_.size() + std::max<std::size_t>(capacity_ / 10, 1) : 0;
}

void PageCache::mark_all_clean() noexcept {
  PageFrame* f = dirty_head_;
  while (f != nullptr) {
    PageFrame* next = f->next_dirty;
    f->dirty = false;
    f->next_dirty = nullptr;
    f = next;
  }
  dirty_head_ = nullptr;
  dirty_count_ = 0;
  next_scan_at_ = 0;
}

void PageCache::drop_dirty() noexcept {
  PageFrame* f = dirty_head_;
  dirty_head_ = nullptr;
  dirty_count_ = 0;
  next_scan_at_ = 0;
  while (f != nullptr) {
    PageFrame* next = f->next_dirty;
    remove(f);
    f = next;
  }
}

void PageCache::clear() noexcept {
  // Every frame is let go while the map is walked, and the map is emptied
  // only afterwards (erasing while walking would reorder it); the walk
  // needs no memory, so emptying the cache cannot fail.
  map_.for_each([&](PageId, PageFrame* f) {
    f->cache = nullptr;
    f->next_dirty = nullptr;
    if (f->refs == 0) recycle(f);
  });
  map_.clear();
  dirty_head_ = nullptr;
  dirty_count_ = 0;
  next_scan_at_ = 0;
}

}  // namespace bkf
