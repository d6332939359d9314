#include "pager/commit_journal.h"

#include <cassert>
#include <new>
#include <optional>

#include "base/kept_buffer.h"
#include "base/on_exit.h"
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
    : vfs_(vfs), path_(journal::journal_path(db_path)) {}

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
  // The removal may take the name although it reports a failure: until it
  // is judged a success, the journal is not known to be at its name.
  state_ = State::InDatabaseUnnamed;
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
  lock_went_ = false;
  release_if_large(image_);
}

Result<std::string> CommitJournal::name_beside(VfsFile& db) {
  const std::string now = BKF_TRY(db.current_path());
  if (!BKF_TRY(named_by(vfs_, now, db))) {
    return Error::io_failure("database file of rollback journal " + path_ + " cannot be found by any name");
  }
  return journal::journal_path(now);
}

Result<std::optional<std::string>> CommitJournal::missing_name(VfsFile& db) {
  // The name it was made at: a removal that failed without taking the
  // name changed nothing.
  if (BKF_TRY(named_by(vfs_, path_, *file_))) return std::optional<std::string>();
  // Beside the database where that is now: where else, no opener of it
  // would find the journal, and an opener of whatever database is at its
  // old name would replay it into that one.
  std::string beside = BKF_TRY(name_beside(db));
  if (beside != path_ && BKF_TRY(named_by(vfs_, beside, *file_))) return std::optional<std::string>();
  return std::optional<std::string>(std::move(beside));
}

Result<CommitJournal::Found> CommitJournal::judge(VfsFile& db) {
  const FileLook look = BKF_TRY(file_->look());
  // Cut to nothing: undone by whoever found it at its name.
  if (look.size == 0) return Found::Undone;
  // Whole, with no name at all: taken by hand, without a replay.
  if (look.links && *look.links == 0) return Found::Stands;
  // Beside the database, wherever that is now (a folder may have been
  // renamed with both in it): nobody opening the database can have passed
  // it by. Anywhere else, nobody opening the database finds it.
  return BKF_TRY(missing_name(db)) ? Found::Stands : Found::AtItsName;
}

Status CommitJournal::put_back_at_name(VfsFile& db) {
  const std::optional<std::string> missing = BKF_TRY(missing_name(db));
  if (missing) {
    // Whatever is at the name is cut first: a placement cut short leaves a
    // journal shorter than the image, which every opener discards.
    std::unique_ptr<VfsFile> placed = BKF_TRY(vfs_.open(*missing, true));
    BKF_TRY(placed->truncate(0));
    BKF_TRY(placed->write_all_at(image_.data(), image_.size(), 0));
    BKF_TRY(placed->sync());
    BKF_TRY(vfs_.sync_dir(*missing));
    // The journal under its other name, if any, is left as it is: no
    // opener of this database looks there.
    file_ = std::move(placed);
  }
  state_ = State::InDatabase;
  return {};
}

Status CommitJournal::undo(VfsFile& db, std::uint32_t page_size, ByteBuffer& scratch) {
  if (state_ == State::None) return {};
  if (!file_) {
    // The open failed, and may have made the file: whatever is at the name
    // is this commit's (the lock has been held since the begin, which
    // recovered any journal found there), and holds nothing to undo.
    done();
    return recover_journal(vfs_, path_, db, page_size, scratch);
  }
  if (state_ != State::Created) {
    // However this undo fails (an error, or no memory), the owner keeps
    // the lock exactly when the journal is not at its name, and gives it
    // up otherwise, letting others find the journal.
    OnExit on_failure([&] { lock_went_ = state_ == State::InDatabase; });
    if (lock_went_) {
      if (BKF_TRY(judge(db)) != Found::AtItsName) {
        on_failure.dismiss();
        done();
        return {};
      }
      lock_went_ = false;
    } else if (state_ == State::InDatabaseUnnamed) {
      BKF_TRY(put_back_at_name(db));
    }
    BKF_TRY(journal::replay_image(image_, db));
    state_ = State::Created;
    on_failure.dismiss();
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
