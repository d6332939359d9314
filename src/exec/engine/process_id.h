// The id of the calling process, asked before every statement: a Database
// remembers the process that opened it and refuses to work in any other
// (database.h), since a child forked from that process shares the parent's
// open files, and with them its file locks.
//
// The id is cached, because getpid() is a real system call (about 170 ns
// here) and the check runs on every statement: asking it every time cost a
// bulk insert of prepared one-row INSERTs 10-25% of its rows per second. The
// cache is kept current in children by a fork handler (pthread_atfork)
// registered on the first call. A child made by a raw clone system call,
// which runs no fork handlers, would see its parent's id; one made by vfork
// may only exec or exit, and so never asks.
#pragma once

#include <sys/types.h>

namespace bkf::engine {

// The id of the calling process. Safe from any thread.
pid_t current_process_id() noexcept;

}  // namespace bkf::engine
