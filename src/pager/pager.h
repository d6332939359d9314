// Pager: the page store of one open database.
//
// It owns the database file, the write-ahead log when the database is in
// that mode, the page cache and the live header, and runs write
// transactions through either the rollback journal or the log.
//
// Usage (one thread at a time; calls never nest):
//
//   auto pager = BKF_TRY(Pager::open(vfs, path));     // or Pager::create
//   BKF_TRY(pager->begin());                           // exclusive file lock
//   PageId id = BKF_TRY(pager->alloc_page());
//   PageRef page = BKF_TRY(pager->get_page(id));
//   page.mutable_data()[0] = 42;                       // marks it dirty
//   Status st = pager->commit();
//   if (!st.ok()) (void)pager->rollback();             // always safe
//
//   BKF_TRY(pager->read_lock());                       // reads outside a
//   ... get_page ...                                   // transaction
//   (void)pager->read_unlock();
//
// Locking: a writer holds the exclusive lock on the database file from
// begin() to the end of commit() or rollback(). A reader outside a
// transaction holds a shared lock from read_lock() to read_unlock(): on the
// database file in journal mode (readers and the writer exclude each other),
// on the log file in WAL mode (readers exclude only checkpoints). A
// checkpoint holds the database's exclusive lock and then the log's; locks
// are always taken in that order. It waits for the log's lock behind the
// statements in progress: readers that come meanwhile wait behind it, for
// a window at a time, which grows with the wait, so that a long statement
// holds them off for a fraction of its length only, and statements run back
// to back hold the checkpoint off for a few times the longest one only
// (Wal::lock_exclusive). A commit's append to the log holds the log's side
// lock from its first write until its sync has returned, and a connection
// that reads the log anew shares it meanwhile (wal.h): it waits for that
// sync, never for a transaction. Nothing waits for the side lock while
// holding the log's lock: a reader that finds it taken gives its shared
// lock up, waits for it, and starts again holding it, so that the next
// append cannot make it wait once more. Whoever holds the log's lock
// exclusively never waits for the side lock. All waits are unbounded, but
// a signal can end one (VfsFile::lock): the call then fails with that Io
// error and, as after any failure, holds no lock it took (an open
// transaction keeps its own; a commit whose wait for the side lock is
// ended so has written nothing, and may be committed again, see
// commit()). The automatic checkpoint after a commit fails unseen: the
// commit stands, and a later commit checkpoints.
//
// Other connections' commits (and journal-mode switches) are noticed at
// begin() and read_lock(), through the header's change counter; the cache is
// then emptied and data_version() goes up. A rollback journal or a partial
// commit left by a crashed writer is recovered at open, begin() and
// journal-mode read_lock(), before anything is read.
//
// Failure: a commit() that fails leaves the transaction open; the caller
// then calls rollback(), which restores the file and the header as they were
// at begin(). Once commit() has passed its commit point it reports success.
// A journal-mode commit keeps its journal open until it is done, and judges
// its commit point, the journal's removal, by that open file (its link
// count) rather than by the journal's name, which a rename of the folder
// or a failing look-up could fool; rollback() undoes a failed commit
// through the open file too, from the journal's image in memory, and cuts
// the journal to nothing wherever it is linked; so does whoever replays a
// journal found by its name, before removing it, which is how an undo left
// pending by a failure learns that another connection did it first
// (commit_journal.h). Before such an undo writes into the database file,
// the journal is at its name; an undo that fails while it is not keeps the
// database's exclusive lock, and every later call that takes a lock tries
// it again first (failing as it fails), until it succeeds or the
// connection closes: others wait for that lock as for any writer's. A
// look-up of a journal's or a log's name that fails for another reason
// than the file's absence is an error, never taken for "no file".
//
// Closing: release_all() ends an open transaction and unlocks every file;
// the owner calls it before destroying the pager. The destructor only
// closes the files, so that a pager inherited by a forked child can be
// dropped there without touching its parent's locks, transaction, journal
// or log. Locks are never left to a close: a copy of the descriptor (a
// child's) would keep the open file, and its lock, alive. (A transaction
// abandoned by a close alone is safe all the same: nothing of it reached
// the file before its commit point.)
//
// Running out of memory: any operation may throw std::bad_alloc, and it is
// then a failure like a returned error: no lock the operation took is kept
// (an open transaction keeps its own), the cache and the log index stay
// usable, commit() leaves the transaction open for rollback() (it never
// throws past its commit point), and rollback() always ends the transaction
// and releases its lock, even when it throws, but for an undo that must
// keep it (above): what it could not undo in the files (a journal) is
// undone by the next begin, read or open before anything is read, and a
// log tail by the next commit.
#pragma once

#include <cassert>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/byte_buffer.h"
#include "base/result.h"
#include "pager/commit_journal.h"
#include "pager/header.h"
#include "pager/page_cache.h"
#include "pager/vfs.h"
#include "pager/wal.h"

namespace bkf {

class Pager {
 public:
  // The log checkpoints itself at commit once it holds this many distinct
  // pages, or this many frames.
  static constexpr std::size_t kWalAutoCheckpoint = 1000;
  // Page size of a database made by open() over an empty file.
  static constexpr std::uint32_t kDefaultPageSize = 4096;

  // Opens an existing database file: NotFound when it is missing. Recovers a
  // hot rollback journal, reads the header and picks up a write-ahead log.
  // A zero-length file is initialised as a new database of 4096-byte pages
  // (a creator that crashed, or lost the race to another opener).
  //
  // The journal and the log are named after the file's resolved path
  // (Vfs::resolve) plus "-journal" and "-wal", whatever path it was opened
  // by, so that connections through symbolic links or relative paths share
  // them. Io EAGAIN when the path was pointed at another file while opening.
  // A file with several names (hard links), whose names would each find a
  // journal and a log of their own, is refused with an Io error naming it
  // (before its journal or log is looked at), and so is writing to one that
  // gained a name while open: begin() and the journal-mode switches fail
  // before writing anything (a transaction begun before the link goes on
  // and may commit). Reads go on (and a journal-mode reader still recovers
  // the hot journal of the name it was opened by), and so do checkpoints,
  // which copy the log, found by this name only, into the database file,
  // which both names share: wal_checkpoint(), and save_log_if_linked() at
  // close.
  static Result<std::unique_ptr<Pager>> open(Vfs& vfs, std::string path);
  // Creates a database of `page_size`-byte pages; never destroys one: when
  // the file exists and is not empty, it is opened as an existing database.
  // Stale "-journal" and "-wal" files beside a new database are removed.
  // Named as open() names it; a dangling symbolic link makes its target.
  static Result<std::unique_ptr<Pager>> create(Vfs& vfs, std::string path, std::uint32_t page_size);

  // Closes the files and nothing else (see Closing above).
  ~Pager();
  Pager(const Pager&) = delete;
  Pager& operator=(const Pager&) = delete;

  // ---- pages ----
  // Page `id`, from the cache, the log or the file; InvalidPage outside
  // 2..page_count() (page 1 is the header and never handed out).
  Result<PageRef> get_page(PageId id);
  // A hint that page `id` will be read soon: when it is cached, its bytes
  // are requested into the processor's caches. Reads nothing from the file,
  // changes nothing, never fails.
  void prefetch(PageId id);
  // A zero-filled dirty page, reused from the free list (the page freed last
  // comes first) or appended; fetch it with get_page(). Inside a transaction.
  Result<PageId> alloc_page();
  // Puts a page on the free list. InvalidPage outside 2..page_count().
  // Inside a transaction.
  Status free_page(PageId id);

  // ---- header and settings ----
  std::uint32_t page_size() const { return header_.page_size; }
  std::uint32_t page_count() const { return header_.page_count; }
  PageId schema_root() const { return header_.schema_root; }
  // Reaches the file with the next commit; rollback restores the old value.
  void set_schema_root(PageId root) { header_.schema_root = root; }
  bool in_transaction() const { return in_tx_; }
  bool is_wal() const { return header_.wal_mode == 1; }
  // Durability in WAL mode: 2 syncs the log at every commit, 1 only at
  // checkpoints, 0 never (except the log's truncation). Journal mode always
  // syncs. The caller passes only 0, 1 or 2.
  std::uint8_t synchronous() const { return synchronous_; }
  void set_synchronous(std::uint8_t level) { synchronous_ = level; }
  // Goes up every time this pager adopts another connection's commit or
  // journal-mode switch (its cache was emptied then): whoever keeps state
  // derived from pages, such as a schema, reloads it when this changes.
  std::uint64_t data_version() const { return data_version_; }
  // The live header (a copy), for diagnostics and tests.
  DbHeader header() const { return header_; }

  // ---- transactions and locks ----
  // Takes the database file's exclusive lock, recovers a hot journal, takes
  // over other connections' commits and opens a write transaction. Tx error
  // when one is open; Io error when the file has several names (see open()).
  // On failure no lock is held.
  Status begin();
  // Makes every changed page durable and ends the transaction. With nothing
  // changed nothing is written. On failure the transaction stays open (call
  // rollback()). When the failure came before anything was written (a
  // signal ended the wait for the log's side lock), commit_wrote_nothing()
  // says so: the transaction is whole, and commit() may be called again.
  Status commit();
  bool commit_wrote_nothing() const { return wal_ != nullptr && wal_->wrote_nothing(); }
  // Discards the transaction's changes, undoing whatever a failed commit
  // wrote, restores the header as it was at begin() and releases the lock.
  // The transaction ends even when undoing fails: the next begin, read,
  // checkpoint or mode switch finishes the undo first, and the lock is
  // kept until then when the journal is not at its name (see Failure).
  Status rollback();
  // Shared lock for reading outside a transaction (no-ops inside one). A
  // failed read_lock holds no lock. Do not call begin() between the two; if
  // it happens, begin() releases the shared lock first.
  Status read_lock();
  Status read_unlock();
  // Ends an open transaction as rollback() does and gives up every lock
  // this pager holds (a read lock, the database file's, the log's), by
  // unlocking. An undo that keeps the database's lock is tried once more
  // first; failing, it is given up, and its failed transaction stands whole
  // (CommitJournal::give_up). Failures are dropped, running out of memory
  // included. The pager stays usable.
  void release_all() noexcept;

  // For a connection about to close: when the database file has gained a
  // name while open, checkpoints in WAL mode (see open()), so that removing
  // either name afterwards loses no commit. That needs the database's lock
  // and then the log's, both exclusive: it waits for them a second at most
  // in all, trying again after pauses of 1 ms doubling up to 32 ms, and
  // gives up when they are still held then. The wait is for locks held
  // for a moment: by an opener of either name, which holds the database's
  // lock for a few system calls inside open() before it is refused (and so
  // never copies the log itself), by another connection's refused begin()
  // or its own close, or by a statement about to end; a second covers such
  // a holder even on a machine too busy to run it at once. Whoever holds a
  // lock longer is, but for an opener stopped that long in its open, a
  // connection at work (only connections read the log or keep a
  // transaction), and it does the copy at its own close. Bounded
  // and never blocking in the lock itself, since the holder may be unable
  // to let go meanwhile: another connection of the same thread, in a
  // transaction or in the middle of a statement, costs this close the
  // second and no more. A signal does not cut the wait short. Failures are
  // dropped. Outside a transaction.
  void save_log_if_linked() noexcept;

  // ---- journal mode and checkpoints ----
  // Switch the database to write-ahead-log or rollback-journal mode, for
  // every connection: the header on disk records the mode and its change
  // counter goes up, so others follow at their next begin()/read_lock().
  // Tx error inside a transaction.
  Status set_journal_mode_wal();
  Status set_journal_mode_delete();
  // Copies the log's committed pages into the database file and empties the
  // log; nothing without a log, and nothing, at once, when the log holds no
  // commit (it waits for no reader then). Allowed inside and outside a
  // transaction.
  Status wal_checkpoint();

  // ---- diagnostics ----
  std::size_t cached_pages() const { return cache_.size(); }
  bool is_cached(PageId id) { return cache_.contains(id); }

 private:
  enum class ReadLock : std::uint8_t { None, Db, Wal };

  Pager(Vfs& vfs, std::string path, std::unique_ptr<VfsFile> file, const DbHeader& header,
        std::unique_ptr<Wal> wal);
  static Result<std::unique_ptr<Pager>> open_file(Vfs& vfs, std::string path, std::unique_ptr<VfsFile> file,
                                                  std::uint32_t new_page_size);

  // Everything below runs with the database file locked as noted. The
  // first fails when the file has gained a name since the open (see
  // open()); what writes calls it before writing anything.
  Status refuse_if_several_names();  // exclusive lock held
  // Tries again an undo that keeps the database's exclusive lock
  // (CommitJournal::keeps_lock), under that lock. Afterwards the lock is
  // held only when the undo failed and still keeps it; then its error is
  // returned. Called first by every operation that takes a lock, when
  // keeps_lock() says so.
  Status finish_kept_undo();
  // Finishes (or drops) an undo of this connection's own journal left
  // pending (CommitJournal::undo), then recovers the journal at the
  // journal's name.
  Status recover_hot_journal();      // exclusive lock held
  Status sync_from_disk();           // some lock held
  // The same for a reader holding the log's shared lock when `wait` is not
  // set: false, having changed nothing, when the log's side lock is held
  // exclusively and the log must be scanned (Wal::rescan).
  Result<bool> sync_from_disk(bool wait);
  // Closes the log, unlocking first the shared lock this reader held on it,
  // if any: true then (it holds no lock now).
  bool drop_log();
  Result<DbHeader> read_file_header();
  Result<DbHeader> header_from_log();
  Status open_log();
  Status checkpoint_locked();    // database exclusive lock held
  Status switch_to_wal();        // database exclusive lock held
  Status switch_to_journal();    // database exclusive lock held
  Status commit_journal();
  Status commit_wal();
  void sorted_dirty_pages();
  Status write_dirty_pages();
  Status write_header_to_file();
  // After a failed mode switch: writes header_ (the old header) back.
  void restore_file_header() noexcept;
  void end_transaction() noexcept;
  // Gives back the reused buffers that a large transaction or checkpoint
  // grew beyond what is kept between them (base/kept_buffer.h).
  void release_large_buffers() noexcept;
  Status release_read_lock();
  // The same where its failure cannot be reported (it is dropped).
  void release_read_lock_quietly() noexcept;
  Result<PageRef> load(PageId id);

  Vfs& vfs_;
  std::string path_;
  std::unique_ptr<VfsFile> file_;
  std::unique_ptr<Wal> wal_;
  PageCache cache_;
  DbHeader header_;
  DbHeader saved_header_;       // snapshot taken by begin(), restored by rollback()
  bool in_tx_ = false;
  ReadLock read_lock_ = ReadLock::None;
  std::uint8_t synchronous_ = 2;
  std::uint64_t data_version_ = 0;
  // The journal of a journal-mode commit, from its creation until the
  // commit point or the undo of a failed commit (which outlives a failed
  // undo, until finish_kept_undo() or recover_hot_journal() finishes or
  // drops it).
  CommitJournal journal_;
  ByteBuffer io_buf_;                          // reused: a checkpoint's runs, a log page
  std::vector<PageFrame*> dirty_scratch_;      // reused: sorted dirty pages
  std::vector<PageId> journal_pages_;          // reused: pages a journal holds
  ByteBuffer run_buf_;                         // reused: a commit's runs of pages (read, written)
#ifndef NDEBUG
  bool busy_ = false;
  friend class PagerOpScope;
#endif
};

}  // namespace bkf
