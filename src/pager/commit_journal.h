// The rollback journal on disk, from the pager's side: the journal that a
// journal-mode commit writes, keeps open and removes at its commit point
// (CommitJournal), and the recovery of a journal found at its name
// (recover_journal).
//
// The rule every undo keeps. While the database file may hold any part of
// a failed transaction, another connection may lock it only when a journal
// at its name ("{database path}-journal") describes that transaction:
// whoever locks the database finds the journal there and replays it before
// reading anything. So nobody reads a page of a half-undone transaction,
// and nobody builds on one that is about to be undone.
//
//   - A commit writes its journal at its name, durably, before the
//     database file receives anything. A commit that fails after that is
//     undone at once by its connection (CommitJournal::undo), which has
//     held the database's exclusive lock since begin, through the
//     journal's open file and its image in memory.
//   - The commit point is the removal of the journal's name. A removal
//     that reports a failure may have taken the name all the same (EIO
//     after the unlink) while the file lives on under another link (a
//     backup tool's hard link), where no opener of the database looks. So
//     before an undo writes anything into the database, it makes sure the
//     journal is at its name: at the one it was made at, or beside the
//     database where that is now (a folder renamed with both in it). If it
//     is at neither, the undo puts the image back beside the database,
//     durably. A kill during the undo then leaves a hot journal that the
//     next opener replays, never a torn file. If that cannot be done (a
//     look-up fails, or the database file has no name), the undo writes
//     nothing.
//   - An undo that fails while its journal is at its name lets the lock go
//     (the owner unlocks): whoever comes next finds the journal and replays
//     it. One that fails without its journal at its name keeps the
//     database's exclusive lock (keeps_lock()): the owner tries it again
//     first thing at its next statement, and at its close. Nobody can have
//     read the file meanwhile, so the retried undo judges nothing: it puts
//     the journal back and writes the image back. At close, when it fails
//     once more, the lock goes all the same: such an undo wrote nothing
//     into the database, and the failed transaction stands whole (or is
//     undone by the next opener, where the journal did get back to its
//     name).
//   - Whoever replays a journal found by its name (recover_journal: at
//     open, begin and a journal-mode read), once the database file durably
//     holds the journal's pages, cuts the journal to nothing through the
//     descriptor it replayed from and syncs that, and only then removes its
//     name. An undo left pending with the lock given up judges by what its
//     own descriptor shows, which no other name or link of the file can
//     fake:
//       - cut to nothing: someone has undone it, and may have committed
//         since: the pending undo is dropped;
//       - whole, and at its name: nobody has undone it, and nobody can
//         commit without undoing it first, since whoever locks the
//         database finds it there: the image is written back;
//       - whole, and at no name beside the database: somebody took its
//         name without replaying it (by hand), and others may have built
//         on the file since: the transaction stands, since undoing it now
//         could lose their commits.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/byte_buffer.h"
#include "base/result.h"
#include "pager/vfs.h"

namespace bkf {

// The journal of this connection's journal-mode commit, from its creation
// until the commit point, or until the undo of a failed commit is done;
// an undo that fails stays pending, and the owner calls undo() again
// before anything is read (see the file comment).
class CommitJournal {
 public:
  // For the database at `db_path` (its resolved name): the journal is
  // "{db_path}-journal".
  CommitJournal(Vfs& vfs, const std::string& db_path);
  CommitJournal(const CommitJournal&) = delete;
  CommitJournal& operator=(const CommitJournal&) = delete;

  const std::string& path() const { return path_; }

  // The buffer the commit lays the journal out in (journal::Image), kept
  // from one commit to the next up to a bound (base/kept_buffer.h): a
  // larger one is given back once the journal is done with.
  ByteBuffer& image() { return image_; }

  // Creates the journal and writes image() into it durably: the file, then
  // its directory entry. From the creation on (a failed open may have made
  // the file), the journal is this connection's to remove or undo.
  Status write();
  // The database file is about to receive the transaction's pages (write()
  // has succeeded, so the journal is durably at its name): from here on,
  // an undo writes the image back.
  void database_touched() { state_ = State::InDatabase; }
  // The commit point: the journal's name goes. A removal that reports a
  // failure is judged by the open file (its link count): gone, it is a
  // success; still linked anywhere, the failure stands, and the owner
  // undoes the commit, which first makes sure the journal is at its name.
  // On success the journal is done with.
  Status commit_point();

  // Whether a failed commit left its journal to undo.
  bool pending() const { return state_ != State::None; }
  // Whether the database file may hold part of a failed transaction that
  // no journal confirmed at its name describes: the owner then keeps the
  // database's exclusive lock until undo() succeeds (or the connection
  // closes, see give_up()).
  bool keeps_lock() const { return state_ == State::InDatabaseUnnamed; }

  // Undoes a failed commit: when `db` may hold part of the transaction,
  // makes sure the journal is at its name and writes the image back into
  // `db`, synced; then cuts the journal to nothing and removes it. An undo
  // that follows one whose failure let the lock go judges the journal
  // first (see the file comment). On failure the undo stays pending, and
  // the owner gives up the database's lock exactly when keeps_lock() is
  // false. `page_size` and `scratch` serve a journal whose open failed,
  // which is recovered by its name. The caller holds the database's
  // exclusive lock.
  Status undo(VfsFile& db, std::uint32_t page_size, ByteBuffer& scratch);
  // The connection closes while its undo keeps the lock: the undo is given
  // up, leaving the files as they are. Such an undo wrote nothing into the
  // database, so the failed transaction stands whole, unless the journal
  // did get back to its name (its sync failed, say): then the next opener
  // replays it.
  void give_up() noexcept { done(); }

 private:
  enum class State : std::uint8_t {
    None,
    // The journal was created (or an open that may have made it was
    // tried); the database file holds nothing of the transaction.
    Created,
    // The database file may hold part of the transaction, and the
    // journal is durably at its name.
    InDatabase,
    // The same, but the journal is not known to be at its name (its
    // removal may have taken the name): an undo that fails here keeps the
    // lock.
    InDatabaseUnnamed,
  };
  // How a pending undo whose failure let the lock go finds its journal.
  enum class Found : std::uint8_t {
    Undone,     // cut to nothing: somebody replayed it
    Stands,     // whole, but nobody opening the database finds it
    AtItsName,  // whole, beside the database: nobody has passed it by
  };
  Result<Found> judge(VfsFile& db);
  // The journal's name beside the database file `db` where that is now
  // (VfsFile::current_path, looked up): an error when that cannot be told.
  Result<std::string> name_beside(VfsFile& db);
  // Where the journal must be put back for openers of the database to find
  // it: nothing when it is at the name it was made at, or at the one
  // beside the database where that is now.
  Result<std::optional<std::string>> missing_name(VfsFile& db);
  // Makes sure the journal is at its name before the undo writes into
  // `db`: looks, and puts the image back beside the database when it is
  // not there (see the file comment). Moves to InDatabase.
  Status put_back_at_name(VfsFile& db);
  // The journal is done with: closed, and a large image given back.
  void done() noexcept;

  Vfs& vfs_;
  std::string path_;
  State state_ = State::None;
  // In InDatabase: an earlier undo failed with the journal at its name,
  // and the owner gave up the lock: others may have found the journal.
  bool lock_went_ = false;
  std::unique_ptr<VfsFile> file_;      // open from creation until done
  ByteBuffer image_;                   // the journal's bytes
};

// Recovers a rollback journal found at `journal_path`, beside the database
// open as `db`, left by a commit that did not finish: replays it when it is
// a complete journal (then cuts it to nothing, as the file comment says),
// and removes it either way. Nothing there: nothing to do. A journal that
// fails the replay checks is kept and Corrupt returned, having written
// nothing. `db_page_size` is 0 when the database header cannot be read.
// The caller holds the database's exclusive lock.
Status recover_journal(Vfs& vfs, const std::string& journal_path, VfsFile& db, std::uint32_t db_page_size,
                       ByteBuffer& scratch);

}  // namespace bkf
