// The page cache: frames, the PageRef pin handle, and PageCache.
//
// A PageFrame is one page in memory: its bytes (allocated together with the
// frame), its number, a dirty flag and an intrusive, non-atomic count of the
// PageRefs that pin it. The cache's own reference is implied by the frame
// being attached (`cache != nullptr`); a frame pinned by nobody but the cache
// can be evicted. Frames removed from the cache while still pinned (when the
// cache is emptied after another connection's commit, or when rollback drops
// dirty pages) are detached: their holders keep a private copy that is freed
// with the last PageRef.
//
// Dirty pages are kept on an intrusive list, linked on the clean-to-dirty
// transition made through PageRef::mutable_data(), so commit and rollback
// touch only the pages a transaction changed.
//
// Every frame carries a version, raised by each PageRef::mutable_data(), and
// a small memo in which the layer that interprets the bytes (the B-tree
// layer) keeps facts it derived from them, stamped with the version they
// were derived at: a stamp that no longer matches means the bytes may have
// changed since, and the facts are derived again.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "pager/header.h"
#include "pager/page_map.h"

namespace bkf {

class PageCache;

// Facts derived from a page's bytes, remembered with the frame. The cache
// never reads `bytes`; it only makes the memo stale by moving the frame's
// version on (a fresh or recycled frame starts with a stamp of 0, which no
// version equals).
struct PageMemo {
  static constexpr std::size_t kSize = 24;
  std::uint64_t stamp = 0;  // the frame version `bytes` describe
  alignas(8) std::uint8_t bytes[kSize] = {};
};

struct PageFrame {
  PageCache* cache;       // owning cache, nullptr once detached
  PageFrame* next_dirty;  // dirty-list link, valid while dirty and attached
  std::uint64_t tick;     // last use, for least-recently-used eviction
  std::uint64_t version;  // raised by every mutable_data(); never 0
  PageId id;
  std::uint32_t refs;     // PageRefs currently pinning the frame
  std::uint32_t size;     // bytes at data
  bool dirty;
  std::uint8_t* data;     // `size` bytes right behind the frame
  PageMemo memo;
};

// A pinned page. Copying pins again; the page cannot be evicted while any
// PageRef to it lives. Handles are one pointer wide and must not outlive the
// pager that made them. Not thread-safe (nothing in a pager is).
class PageRef {
 public:
  PageRef() = default;
  PageRef(const PageRef& o) : f_(o.f_) {
    if (f_) ++f_->refs;
  }
  PageRef(PageRef&& o) noexcept : f_(std::exchange(o.f_, nullptr)) {}
  PageRef& operator=(const PageRef& o) {
    if (o.f_) ++o.f_->refs;
    release();
    f_ = o.f_;
    return *this;
  }
  PageRef& operator=(PageRef&& o) noexcept {
    if (this != &o) {
      release();
      f_ = std::exchange(o.f_, nullptr);
    }
    return *this;
  }
  ~PageRef() { release(); }

  explicit operator bool() const { return f_ != nullptr; }
  PageId id() const { return f_->id; }
  std::uint32_t size() const { return f_->size; }
  const std::uint8_t* data() const { return f_->data; }
  bool is_dirty() const { return f_->dirty; }
  // The bytes, for changing them. Marks the page dirty, so the next commit
  // writes it and a rollback discards it, and raises the version (call it
  // again for every change made after bytes were read through other
  // handles). Only valid inside a transaction.
  inline std::uint8_t* mutable_data();

  // Changes whenever mutable_data() is called: while the version of a
  // pinned page stays the same, nobody has taken its bytes for change.
  std::uint64_t version() const { return f_->version; }
  // False once the cache has let go of the page (another connection's
  // commit emptied it, or rollback dropped the page): the handle then holds
  // a private copy, and the cache's current copy must be fetched again.
  bool attached() const { return f_->cache != nullptr; }
  // The memo of derived facts (see PageMemo). Usable through a const handle:
  // it only remembers what the bytes already say.
  PageMemo& memo() const { return f_->memo; }

 private:
  friend class PageCache;
  explicit PageRef(PageFrame* f) : f_(f) { ++f->refs; }
  inline void release();

  PageFrame* f_ = nullptr;
};

class PageCache {
 public:
  static constexpr std::size_t kDefaultCapacity = 4000;

  explicit PageCache(std::uint32_t page_size, std::size_t capacity = kDefaultCapacity);
  ~PageCache();
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;

  std::uint32_t page_size() const { return page_size_; }
  std::size_t capacity() const { return capacity_; }
  std::size_t size() const { return map_.size(); }
  std::size_t dirty_count() const { return dirty_count_; }
  bool contains(PageId id) { return map_.find(id) != nullptr; }

  // The bytes of a cached page without pinning it or refreshing its last
  // use, nullptr when it is not cached; valid only until the next cache
  // operation (for hints such as prefetching).
  const std::uint8_t* peek(PageId id) {
    PageFrame** f = map_.find(id);
    return f == nullptr ? nullptr : (*f)->data;
  }

  // A cache hit: refreshes the page's last use and pins it; empty on a miss.
  PageRef lookup(PageId id) {
    PageFrame** f = map_.find(id);
    if (f == nullptr) return PageRef();
    (*f)->tick = ++tick_;
    return PageRef(*f);
  }

  // Makes room when the cache has reached its capacity: evicts the least
  // recently used clean, unpinned pages until `capacity - capacity/10`
  // remain. Pinned and dirty pages are never evicted (dirty pages would have
  // to be written, and only commit writes); if too few pages qualify the
  // cache simply stays large. Never fails. A scan that could not get the
  // cache down to its target is not repeated until the cache has grown by
  // another tenth of its capacity or the dirty set was settled, so a long
  // write transaction pays for one scan per capacity/10 loads, not one per
  // load.
  void evict_if_needed() noexcept;

  // A frame for page `id` whose bytes the caller fills, taken from the pool
  // of recycled frames when possible. It is not in the cache until insert().
  PageFrame* take_frame(PageId id);
  // Returns a frame from take_frame() that was never inserted.
  void give_back(PageFrame* f) noexcept { recycle(f); }
  // A new page of zeros for page `id` (which must not be cached), inserted
  // dirty and pinned; on failure the cache is as it was.
  PageRef insert_zeroed(PageId id);
  // Puts a filled frame into the cache (it must not be there yet), dirty or
  // clean, and pins it. When there is no memory to file it, the frame is
  // given back and std::bad_alloc thrown, with the cache as it was.
  PageRef insert(PageFrame* f, bool dirty);

  // The dirty pages, in no particular order.
  template <class F>
  void for_each_dirty(F&& fn) const {
    for (PageFrame* f = dirty_head_; f != nullptr; f = f->next_dirty) fn(*f);
  }
  // After a commit: every dirty page becomes clean.
  void mark_all_clean() noexcept;
  // After a rollback: every dirty page leaves the cache.
  void drop_dirty() noexcept;
  // Detaches every page (another connection changed the file).
  void clear() noexcept;

  // Debug aid: pages may be changed only while a write transaction is open.
  void set_writable(bool w) { writable_ = w; }

 private:
  friend class PageRef;

  void push_dirty(PageFrame* f) {
    assert(writable_ && "page changed outside a write transaction");
    f->next_dirty = dirty_head_;
    dirty_head_ = f;
    ++dirty_count_;
  }
  // Removes an attached frame from the map and either recycles it (nobody
  // pins it) or detaches it.
  void remove(PageFrame* f) noexcept;
  void recycle(PageFrame* f) noexcept;
  static void destroy(PageFrame* f);

  std::uint32_t page_size_;
  std::size_t capacity_;
  PageMap<PageFrame*> map_;
  std::uint64_t tick_ = 0;
  PageFrame* dirty_head_ = nullptr;
  std::size_t dirty_count_ = 0;
  std::vector<PageFrame*> free_frames_;                    // recycled frames
  std::vector<std::pair<std::uint64_t, PageFrame*>> evict_scratch_;  // reused
  std::size_t next_scan_at_ = 0;  // cache size before which no scan is worth it
  bool writable_ = false;
};

inline std::uint8_t* PageRef::mutable_data() {
  ++f_->version;
  if (!f_->dirty) {
    f_->dirty = true;
    if (f_->cache != nullptr) f_->cache->push_dirty(f_);
  }
  return f_->data;
}

inline void PageRef::release() {
  if (f_ != nullptr && --f_->refs == 0 && f_->cache == nullptr) PageCache::destroy(f_);
  f_ = nullptr;
}

}  // namespace bkf
