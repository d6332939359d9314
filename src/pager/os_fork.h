// What fork() does to the operating-system file layer, and who the calling
// process is.
//
// A child made by fork() gets copies of its parent's descriptors, and a copy
// keeps the open file description alive, flock() locks included (os_vfs.h):
// a parent that gives a file up by closing it, or dies, would leave the
// file's lock to an idle child until the child exits. So every descriptor
// the layer has open is listed here, and a child hands its copies back: it
// puts /dev/null over each of them (dup3, keeping close-on-exec). The
// numbers stay valid and stay with the child's objects, which close them as
// usual, but the child no longer holds any file of its parent: the parent's
// locks end with the parent's own unlock, close or death, whatever children
// it has. A child cannot use the connections it inherits anyway
// (database.h): it is told apart from its parent by this_process().
//
// Neither depends on a fork handler having run. A child may run none
// (glibc's _Fork(), a clone system call), or miss the engine's (handlers
// registered while another thread's fork runs its prepare handlers are
// skipped in that fork), or run an application's child handler, which may
// call the engine, before the engine's. So the state that says who the
// process is lives in one page marked MADV_WIPEONFORK, which every child
// made without shared memory sees zeroed: the process's identity, and the
// flag of a thread busy setting the process up. A process whose page is
// zero is set up afresh by its first call here, whoever made it: it hands
// back the listed descriptors (a process that has just been set up for the
// first time has none listed; one that shares the descriptor table of the
// process that listed them leaves them alone, see below) and takes an
// identity of its own. The engine's child handler does the same at once,
// so that a forked child that never calls the engine holds nothing of its
// parent's either; it needs no new descriptor for it (a child of a process
// at its descriptor limit could not get one): /dev/null is opened once,
// close-on-exec, when the handlers are registered, and kept.
//
// The handlers are registered (pthread_atfork) by the first call here in a
// process image. Nothing here is a lock or a guarded static that a fork
// could leave taken for a child to wait on: the set-up's busy flag is in the
// wiped page, and the descriptor list's mutex, which the prepare handler
// takes (so that no fork sees a descriptor open but unlisted, or listed but
// closed, its number possibly reused by other code, which the child would
// then clobber), is made afresh by each process's set-up, before anything
// in that process takes it. A process may find the handlers registered
// twice (a child made without handlers in the middle of its parent's
// registration registers them itself); they tolerate it.
//
// Without MADV_WIPEONFORK (a kernel older than 4.14, a page size other than
// 4096), nothing is cached: every call asks getpid(), and a process that
// got the id of a dead ancestor may be taken for it (by the set-up's busy
// flag too, which it would then wait on forever).
//
// A child made by clone() with CLONE_FILES has no copies: it shares its
// parent's descriptor table, so the listed descriptors are the parent's
// own, and putting /dev/null over them would take the parent's files and
// locks away in the middle of whatever it is doing. The set-up asks the
// kernel (kcmp with KCMP_FILES, one system call made only by a process
// setting itself up, never on a statement's path) whether the process
// shares its table with the one whose set-up it inherited, and then leaves
// the descriptors alone; the child is still refused the parent's
// connections, by its identity.
//
// Not covered: a child that runs no engine fork handler (see above) keeps
// its copies until its first call here or its exit; one made by vfork may
// only exec or exit. Descriptors being opened or closed by another thread
// when a child is made without handlers may escape the hand-back. A child
// made by clone() with CLONE_VM and without CLONE_VFORK shares the parent's
// memory, the wiped page included, so it is not told apart: its statements
// run on the parent's connections as the parent's own (they commit the
// parent's open transaction). A child made with CLONE_FILES: where kcmp is
// missing (a kernel built without it) or refused (some sandboxes), or the
// parent's main thread has ended, its first call hands the parent's own
// descriptors to /dev/null, and the parent loses its lock in the middle of
// a transaction and its connection stays broken ("short read at offset
// 0"); where kcmp tells, a child that outlives its parent holds the
// parent's files and locks until it exits; and freeing an inherited
// connection in such a child closes the parent's descriptors (its files
// close them as in any child), with the same breakage.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "base/result.h"

namespace bkf {

// A process's identity: its id, and which process image along its line of
// forks it is. Two processes never share one, even when the second reuses
// the id of a dead ancestor whose memory it inherited.
// this_process() makes them: the generation of the image in the high 32
// bits, the id in the low 32.
class ProcessTag {
 public:
  constexpr explicit ProcessTag(std::uint64_t bits) noexcept : bits_(bits) {}
  pid_t pid() const noexcept { return static_cast<pid_t>(bits_ & 0xffffffffu); }
  bool operator==(const ProcessTag&) const = default;

 private:
  std::uint64_t bits_;
};

// The calling process's identity. Safe from any thread and in a child that
// ran no fork handler; one atomic load once the process is set up.
ProcessTag this_process() noexcept;

// ::open(path, flags | O_CLOEXEC, mode), retried when interrupted, with the
// descriptor listed; Io errno when it fails. May throw std::bad_alloc, and
// then has opened nothing.
Result<int> open_listed(const char* path, int flags, mode_t mode);

// Removes the descriptor from the list and closes it (a descriptor that is
// not listed is closed all the same).
void close_listed(int fd) noexcept;

}  // namespace bkf
