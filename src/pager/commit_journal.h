// The rollback journal on disk, from the pager's side: the journal that a
// journal-mode commit writes, keeps open and removes at its commit point
// (CommitJournal), and the recovery of a journal found at its name
// (recover_journal).
//
// Who undoes a journal, and how the others learn of it. A journal is
// undone by whoever finds it at its name (recover_journal: at open, begin
// and a journal-mode read), and by the connection whose commit wrote it,
// through its own open file, when that commit fails (CommitJournal::undo).
// The two meet when that connection's undo fails and is left pending:
// another connection may find the journal first, undo it, and commit. So
// whoever undoes a journal, once the database file durably holds the
// journal's pages, cuts the journal to nothing through the descriptor it
// undid it from and syncs that, and only then removes its name. A pending
// undo judges by what its own descriptor shows, which no other name or
// link of the file, nor a renamed folder, can fake:
//   - cut to nothing: someone has undone it, and may have committed since:
//     the pending undo is dropped;
//   - whole, and at its name: nobody has undone it, and nobody can commit
//     without undoing it first, since whoever begins finds it there: the
//     pending undo writes the image back;
//   - whole, and not at its name, while the database is still at its own
//     name (or the journal has no name at all): nobody opening the
//     database finds it, so others may have read the transaction as
//     committed and built on it. The connection's own removal went
//     through, although it reported a failure (as did every look that
//     could have told). The transaction stands: undoing it now could lose
//     other connections' commits;
//   - whole, with the database gone from its name too (its folder was
//     renamed): whoever opens the database at its new place finds the
//     journal beside it and undoes it first, cutting it; so, not cut, it
//     is undone here.
#pragma once

#include <cstdint>
#include <memory>
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
  // The database file is about to receive the transaction's pages: from
  // here on, an undo writes the image back.
  void database_touched() { state_ = State::InDatabase; }
  // The commit point: the journal's name goes. A removal that reports a
  // failure is judged by the open file (its link count): gone, it is a
  // success; still linked anywhere, the failure stands, and the owner
  // undoes the commit. On success the journal is done with.
  Status commit_point();

  // Whether a failed commit left its journal to undo.
  bool pending() const { return state_ != State::None; }
  // Undoes a failed commit: writes the image back into `db` when `db` may
  // hold part of the transaction, syncs it, cuts the journal to nothing
  // and removes it. `right_after_commit`: the caller has held the
  // database's lock without a break since the commit failed, so nobody
  // else can have seen the journal. Otherwise (a pending undo) the journal
  // is first judged as the file comment says. On failure the undo stays
  // pending. `page_size` and `scratch` serve a journal whose open failed,
  // which is recovered by its name. The caller holds the database's
  // exclusive lock.
  Status undo(VfsFile& db, std::uint32_t page_size, ByteBuffer& scratch, bool right_after_commit);

 private:
  enum class State : std::uint8_t {
    None,
    // The journal was created (or an open that may have made it was
    // tried); the database file holds nothing of the transaction.
    Created,
    // The database file may hold part of the transaction.
    InDatabase,
  };
  // For a pending undo in InDatabase: whether the image must be written
  // back (false: the journal was undone by another, or the transaction
  // stands).
  Result<bool> still_to_undo(VfsFile& db);
  // The journal is done with: closed, and a large image given back.
  void done() noexcept;

  Vfs& vfs_;
  std::string db_path_;
  std::string path_;
  State state_ = State::None;
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
