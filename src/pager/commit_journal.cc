#include "pager/commit_journal.h"

#include <cassert>
#include <new>
#include <optional>

#include "base/kept_buffer.h"
#include "pager/journal.h"

namespace bkf {

namespace {

// Judges the failed removal of the rollback journal open as `journal` by
// its name. A removal that reports a failure may have gone through all the
// same (EIO after the unlink, ENOENT for a retry of one), or its name may
// lead nowhere while the journal lives on (its folder was renamed): the
// open file tells which, by its link count, which neither a rename nor a
// failing look-up of the name can fake. Gone, it is a success; still
// named, wherever, the failure stands. Where the file layer counts no
// links, the name is looked up instead; where the look fails, the failure
// stands.
Status judge_failed_removal(Status removed, Vfs& vfs, const std::string& jpath, VfsFile& journal) {
  Result<FileLook> look = journal.look();
  if (!look.ok()) return removed;
  if (look->links) return *look->links == 0 ? Status{} : removed;
  Result<bool> present = vfs.present(jpath);
  return present.ok() && !*present ? Status{} : removed;
}

// Whether `path` leads to the file open as `file`: false when no file is
// there, or another one; an error when the look-up fails.
Result<bool> named_by(Vfs& vfs, const std::string& path, VfsFile& file) {
  Result<FileId> named = vfs.file_id(path);
  if (!named.ok()) {
    if (named.error().is(ErrorKind::NotFound)) return false;
    return std::move(named).error();
  }
  return *named == BKF_TRY(file.id());
}

}  // namespace

CommitJournal::CommitJournal(Vfs& vfs, const std::string& db_path)
    : vfs_(vfs), db_path_(db_path), path_(journal::journal_path(db_path)) {}

Status CommitJournal::write() {
  assert(state_ == State::None && "a journal of an earlier commit is still to be undone");
  // Set before the open: an open that fails (for want of memory, say) may
  // have made the file all the same, and the undo removes it.
  state_ = State::Created;
  file_ = BKF_TRY(vfs_.open(path_, true));
  BKF_TRY(file_->write_all_at(image_.data(), image_.size(), 0));
  BKF_TRY(file_->truncate(image_.size()));
  BKF_TRY(file_->sync());
  return vfs_.sync_dir(path_);
}

Status CommitJournal::commit_point() {
  if (Status removed = vfs_.delete_file(path_); !removed.ok()) {
    BKF_TRY(judge_failed_removal(std::move(removed), vfs_, path_, *file_));
  }
  done();
  try {
    (void)vfs_.sync_dir(path_);
  } catch (const std::bad_alloc&) {
    // Past the commit point; as with a failed directory sync, only power
    // loss could still bring the journal back.
  }
  return {};
}

void CommitJournal::done() noexcept {
  file_.reset();
  state_ = State::None;
  release_if_large(image_);
}

Result<bool> CommitJournal::still_to_undo(VfsFile& db) {
  const FileLook look = BKF_TRY(file_->look());
  // Cut to nothing: undone by whoever found it at its name.
  if (look.size == 0) return false;
  // Whole, with no name at all: the removal went through.
  if (look.links && *look.links == 0) return false;
  // At its name, nobody can have passed it by.
  if (BKF_TRY(named_by(vfs_, path_, *file_))) return true;
  // Linked elsewhere. Beside the database's new name, if the database has
  // left its name (a renamed folder), where its openers find it; else
  // where no opener of the database looks.
  return !BKF_TRY(named_by(vfs_, db_path_, db));
}

Status CommitJournal::undo(VfsFile& db, std::uint32_t page_size, ByteBuffer& scratch,
                           bool right_after_commit) {
  if (state_ == State::None) return {};
  if (!file_) {
    // The open failed, and may have made the file: whatever is at the name
    // is this commit's (the lock has been held since the begin, which
    // recovered any journal found there), and holds nothing to undo.
    done();
    return recover_journal(vfs_, path_, db, page_size, scratch);
  }
  if (state_ == State::InDatabase) {
    if (!right_after_commit && !BKF_TRY(still_to_undo(db))) {
      done();
      return {};
    }
    BKF_TRY(journal::replay_image(image_, db));
    state_ = State::Created;
  }
  // The database file holds what the journal holds now: the journal is made
  // worthless wherever it is linked, by cutting it to nothing through its
  // own descriptor (every opener discards a journal shorter than its
  // header, and a pending undo drops itself), and then removed by its name
  // where that still leads to it.
  BKF_TRY(file_->truncate(0));
  BKF_TRY(file_->sync());
  const Result<bool> named = named_by(vfs_, path_, *file_);
  done();
  // An empty journal left behind is removed by whoever finds it next.
  if (named.ok() && *named && vfs_.delete_file(path_).ok()) (void)vfs_.sync_dir(path_);
  return {};
}

Status recover_journal(Vfs& vfs, const std::string& journal_path, VfsFile& db, std::uint32_t db_page_size,
                       ByteBuffer& scratch) {
  if (!BKF_TRY(vfs.present(journal_path))) return {};
  Result<std::unique_ptr<VfsFile>> opened = vfs.open(journal_path, false);
  if (!opened.ok()) {
    // An open without creating says NotFound for any failed look-up: the
    // journal is gone only when a second look says so.
    if (!opened.error().is(ErrorKind::NotFound)) return std::move(opened).error();
    if (!BKF_TRY(vfs.present(journal_path))) return {};
    return Error::io_failure("rollback journal " + journal_path + " is there but could not be opened");
  }
  std::unique_ptr<VfsFile> jf = std::move(*opened);
  std::optional<journal::Info> info = BKF_TRY(journal::read_valid(*jf));
  if (info) {
    BKF_TRY(journal::check_replayable(*jf, *info, db_page_size));
    BKF_TRY(journal::replay(*jf, *info, db, scratch));
    // The database file durably holds the journal's pages (replay syncs
    // it): the journal is cut to nothing through this descriptor before its
    // name goes, so that the connection whose commit wrote it, should its
    // own undo be pending, learns that it was undone, whatever other names
    // the file has (see the file comment).
    BKF_TRY(jf->truncate(0));
    BKF_TRY(jf->sync());
  }
  if (Status removed = vfs.delete_file(journal_path); !removed.ok()) {
    BKF_TRY(judge_failed_removal(std::move(removed), vfs, journal_path, *jf));
  }
  return vfs.sync_dir(journal_path);
}

}  // namespace bkf
