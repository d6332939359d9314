// Observing file locks from a test without sleeping.
//
// lock_would_block asks, through a descriptor of its own, whether a lock of
// the given kind could be granted right now (flock with LOCK_NB); the probe
// lock, if granted, is dropped at once. wait_for_lock_waiter spins until the
// kernel lists a blocked request on the file (/proc/locks), of the lock or
// the side lock (VfsFile), proving
// that some thread or process is waiting for it (`waiters` of them, at
// least); it gives up (returning false) after `max_spins` looks.
#pragma once

#include <string>

namespace bkf::testing {

bool lock_would_block(const std::string& path, bool exclusive);
bool wait_for_lock_waiter(const std::string& path, long max_spins = 2'000'000, int waiters = 1);
// Spins until the kernel lists the side lock (VfsFile) of the file as held
// exclusively: on a log, by an append, or by a writer waiting for the log's
// exclusive lock in a window that makes readers queue behind it. Gives up
// (false) after `max_spins` looks.
bool wait_for_side_lock_holder(const std::string& path, long max_spins = 2'000'000);

}  // namespace bkf::testing
