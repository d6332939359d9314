// Session: one open database file, its schema in memory, and the lock and
// transaction protocol every statement runs under.
//
// The session owns the pager and the catalog and keeps them in step; it
// runs no statement itself. Every statement that reads or writes the
// database's tables or schema goes through one of its two frames:
//
//   session.with_read_lock(work)   a query: under a shared lock, or inside
//                                  the open write transaction
//   session.autocommit(work)       anything that writes: inside the open
//                                  write transaction, or in one begun for
//                                  it, committed on success and rolled back
//                                  on failure
//
// The discipline behind them:
//
//  * Nothing reads a page without a lock. Both frames bring the catalog up
//    to date (Catalog::refresh) right after the lock is taken and before
//    anything is folded or compiled, so a schema change committed by
//    another connection is always seen.
//  * The catalog follows the pager: every commit discards the catalog's
//    snapshot, every rollback restores it. A commit that fails is followed
//    by a rollback, so no failure leaves a transaction (or its lock) open.
//  * A failed statement inside BEGIN keeps its finished rows in the open
//    transaction, but one that failed in the storage layer (I/O, a short
//    read, corrupt or invalid pages) may have left pages half changed, or
//    met files that no longer agree with what the connection holds in
//    memory: whatever the statement (a write, a query, a pragma, a
//    checkpoint), it spoils the transaction (note_failure), and every later
//    statement but ROLLBACK fails with kTxSpoiled until the transaction
//    ends, so nothing of it can be committed. The one storage error that
//    spoils nothing is an interrupted lock wait, which changed nothing.
//  * Every failure ends a frame as a returned error does, an exception
//    included (running out of memory throws std::bad_alloc anywhere below):
//    the frames end what they began on every way out, and the exception
//    then goes on to the caller. Outside BEGIN the statement's transaction
//    is rolled back, or its shared lock released; inside BEGIN an exception
//    from a statement that writes spoils the transaction like a storage
//    error, since it may have stopped a B-tree half-way. (A query inside
//    BEGIN changes no page, so its failure spoils nothing.)
//
// Identity. A statement compiled in a session is bound to the file and the
// schema it was compiled against. identity() names the session for that
// purpose: a compiled statement keeps it as a weak reference and asks
// is_identity() before reusing its program. Unlike the session's address,
// which the next session opened may reuse, the identity stays unique for as
// long as anything keeps a reference to it.
#pragma once

#include <cerrno>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "base/on_exit.h"
#include "base/result.h"
#include "catalog/catalog.h"
#include "pager/os_vfs.h"
#include "pager/pager.h"

namespace bkf::engine {

class Session {
 public:
  // What identity() refers to; it holds nothing.
  struct Identity {};

  // vfs null: the session's own operating-system layer. open() must follow
  // before anything else is called.
  explicit Session(Vfs* vfs) : vfs_(vfs ? vfs : &os_vfs_) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Opens the database file at path, or creates one (4096-byte pages) when
  // the path has no file, and loads its schema. On failure nothing stays
  // open or locked.
  Status open(const std::string& path);
  // Rolls back an open transaction (as abandon_write), checkpoints the log
  // of a file that gained a name while open (Pager::save_log_if_linked)
  // and unlocks every file (Pager::release_all), ahead of the destruction,
  // which only closes the files. Only for the process that opened the session; failures are
  // dropped.
  void close() noexcept;

  Pager& pager() noexcept { return *pager_; }
  Catalog& catalog() noexcept { return *catalog_; }
  const Catalog& catalog() const noexcept { return *catalog_; }
  // A write transaction is open (begun by BEGIN, or by a frame still
  // running).
  bool in_transaction() const noexcept { return pager_->in_transaction(); }

  std::weak_ptr<const Identity> identity() const noexcept { return identity_; }
  // The reference names this session (not merely one at the same address).
  bool is_identity(const std::weak_ptr<const Identity>& id) const noexcept {
    return !id.owner_before(identity_) && !identity_.owner_before(id);
  }

  // ---- transactions ----
  // Pager::begin, then the catalog brought up to date. On failure nothing
  // is held.
  Status begin_write();
  // Pager::commit; the catalog drops its snapshot. A failed commit is
  // rolled back (its error, or its exception, is the one passed on), but
  // for one whose wait for a lock a signal ended before it wrote anything:
  // that transaction stays open, to be committed or rolled back.
  Status commit_write();
  // Pager::rollback and the catalog put back; the rollback's error is
  // returned, and callers that clean up after a failure drop it. The
  // transaction ends however the rollback fails.
  Status rollback_write();
  // The same for a clean-up, where nothing can be reported: every failure
  // of the rollback is dropped.
  void abandon_write() noexcept;
  // Pager::read_lock, then the catalog brought up to date. On failure no
  // lock is held.
  Status read_begin();
  void read_end() noexcept;

  // Called with the error of every failed statement: inside a transaction
  // that is still open, a storage error spoils it (see the file comment).
  void note_failure(const Error& error) noexcept {
    if (spoiled_ != nullptr || !pager_ || !pager_->in_transaction() || !error.is_storage()) return;
    if (is_interrupted_wait(error)) return;
    spoiled_ = kTxSpoiled;
  }
  // A lock wait that a signal ended (the file layer retries every other
  // interrupted call).
  static bool is_interrupted_wait(const Error& error) noexcept {
    return error.is(ErrorKind::Io) && error.os_errno() == EINTR;
  }

  // Fails with kTxSpoiled (or kTxSpoiledOutOfMemory) while a spoiled
  // transaction is open.
  Status refuse_if_spoiled() {
    if (spoiled_ == nullptr) return {};
    // Every way out of a transaction ends the spoiling with it.
    if (!pager_->in_transaction()) {
      spoiled_ = nullptr;
      return {};
    }
    return Error::tx(spoiled_);
  }

  // ---- the two frames ----
  // Runs work() inside a write transaction: the open one, or one begun here
  // and committed on success, rolled back on failure (the work's error is
  // returned, an error of the rollback dropped; an exception is passed on
  // after the rollback). work returns a Result. Inside BEGIN, an exception
  // of work() spoils the transaction (its storage errors spoil it through
  // note_failure, as every statement's do). Nothing after the commit can
  // fail (moving work's Result out allocates nothing): what the statement
  // reports must be made inside work(), or before, and only filled in
  // afterwards without allocating.
  template <class F>
  auto autocommit(F&& work) -> std::invoke_result_t<F&> {
    if (pager_->in_transaction()) {
      // Cheap inside a transaction: only a schema operation that failed
      // after writing to the schema tree makes the catalog reload.
      if (Status st = catalog_->refresh(*pager_); !st) return std::move(st).error();
      // Left by an exception, work() may have stopped a B-tree half-way.
      const int exceptions = std::uncaught_exceptions();
      const OnExit spoil([&] {
        if (std::uncaught_exceptions() > exceptions) spoiled_ = kTxSpoiledOutOfMemory;
      });
      return work();
    }
    if (Status st = begin_write(); !st) return std::move(st).error();
    OnExit abandon([this] { abandon_write(); });
    auto r = work();
    if (!r) return r;  // rolled back on the way out
    abandon.dismiss();
    if (Status st = commit_write(); !st) {
      // Rolled back, unless the commit's lock wait was interrupted; the
      // statement then fails having written nothing.
      if (pager_->in_transaction()) abandon_write();
      return std::move(st).error();
    }
    return r;
  }

  // Runs work() under a shared lock when no write transaction is open; the
  // lock is released on every way out.
  template <class F>
  auto with_read_lock(F&& work) -> std::invoke_result_t<F&> {
    if (pager_->in_transaction()) {
      if (Status st = catalog_->refresh(*pager_); !st) return std::move(st).error();
      return work();
    }
    if (Status st = read_begin(); !st) return std::move(st).error();
    const OnExit unlock([this] { read_end(); });
    return work();
  }

 private:
  OsVfs os_vfs_;
  Vfs* vfs_;
  std::unique_ptr<Pager> pager_;
  std::optional<Catalog> catalog_;
  // Set when the open transaction saw a storage error or a write that ran
  // out of memory (see the file comment); it holds the text later
  // statements are refused with (kTxSpoiled or kTxSpoiledOutOfMemory) and
  // ends with the transaction.
  const char* spoiled_ = nullptr;
  std::shared_ptr<const Identity> identity_ = std::make_shared<const Identity>();
};

}  // namespace bkf::engine
