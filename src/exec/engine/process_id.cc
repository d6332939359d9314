#include "exec/engine/process_id.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace bkf::engine {

namespace {

// The calling process's id, once the fork handler keeping it current is
// registered; 0 until then, and for good when the registration failed.
std::atomic<pid_t> cached_id{0};

// Also the fork handler run in every child: in a child the parent's id is
// in the cache until it runs. getpid and an atomic store are all it does,
// which is safe in the child of a process with several threads.
void refresh() noexcept { cached_id.store(::getpid(), std::memory_order_relaxed); }

// The first call (in a child forked before any call, the first there too):
// registers the handler once per process image and fills the cache.
pid_t first_look() noexcept {
  static const bool kept_current = ::pthread_atfork(nullptr, nullptr, refresh) == 0;
  if (kept_current) refresh();
  return ::getpid();
}

}  // namespace

pid_t current_process_id() noexcept {
  const pid_t id = cached_id.load(std::memory_order_relaxed);
  return id != 0 ? id : first_look();
}

}  // namespace bkf::engine
