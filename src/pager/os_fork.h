// What fork() does to the operating-system file layer, and the process id.
//
// A child made by fork() gets copies of its parent's descriptors, and a copy
// keeps the open file description alive, flock() locks included (os_vfs.h):
// a parent that gives a file up by closing it, or dies, would leave the
// file's lock to an idle child until the child exits. So every descriptor
// the layer has open is listed here, and a fork handler puts /dev/null over
// each of them in the child (dup3, keeping close-on-exec). The numbers stay
// valid and stay with the child's objects, which close them as usual, but
// the child no longer holds any file of its parent: the parent's locks end
// with the parent's own unlock, close or death, whatever children it has. A
// child cannot use the connections it inherits anyway (database.h).
//
// The same handler keeps current_process_id() right in children, so that
// the process check before every statement is one atomic load.
//
// Set-up: the handlers are registered (pthread_atfork) once per process
// image, by the first open or current_process_id(), before anything is
// opened. The set-up is an atomic state, never a lock or a guarded static
// that a fork could leave taken by a thread the child does not have: a child
// forked while another thread of its parent was registering registers
// itself. The list is guarded by a mutex that the fork's prepare handler
// takes, and that is held from an ::open until its descriptor is listed and
// from a descriptor's removal until its ::close: no fork sees a descriptor
// open but unlisted, or listed but closed (its number possibly reused by
// other code, which the child would then clobber).
//
// Not covered: a child made by a raw clone system call runs no fork handler,
// so it keeps its copies (and sees its parent's id); one made by vfork may
// only exec or exit. When /dev/null cannot be opened in the child, or the
// registration failed, children keep their copies as well.
#pragma once

#include <sys/types.h>

#include "base/result.h"

namespace bkf {

// The id of the calling process. Safe from any thread; an atomic load once
// the fork handlers are registered (getpid() until then).
pid_t current_process_id() noexcept;

// ::open(path, flags | O_CLOEXEC, mode), retried when interrupted, with the
// descriptor listed; Io errno when it fails. May throw std::bad_alloc, and
// then has opened nothing.
Result<int> open_listed(const char* path, int flags, mode_t mode);

// Removes the descriptor from the list and closes it (a descriptor that is
// not listed is closed all the same).
void close_listed(int fd) noexcept;

}  // namespace bkf
