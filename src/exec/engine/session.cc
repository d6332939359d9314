#include "exec/engine/session.h"

#include "base/on_exit.h"

namespace bkf::engine {

Status Session::open(const std::string& path) {
  if (vfs_->exists(path)) {
    pager_ = BKF_TRY(Pager::open(*vfs_, path));
  } else {
    pager_ = BKF_TRY(Pager::create(*vfs_, path, Pager::kDefaultPageSize));
  }
  // On failure (an exception too) the session, and with it the pager and
  // its file, goes away; whatever loading the schema left locked or open is
  // released first.
  OnExit release([this] { pager_->release_all(); });
  catalog_.emplace(BKF_TRY(Catalog::open(*pager_)));
  release.dismiss();
  return {};
}

Status Session::begin_write() {
  BKF_TRY(pager_->begin());
  OnExit abandon([this] { abandon_write(); });
  BKF_TRY(catalog_->refresh(*pager_));
  abandon.dismiss();
  return {};
}

Status Session::commit_write() {
  Status st;
  try {
    st = pager_->commit();
  } catch (...) {
    // Out of memory before the commit point: the transaction is still
    // open, and is undone as after a failed commit.
    abandon_write();
    throw;
  }
  if (st) {
    catalog_->discard();
    return st;
  }
  if (pager_->in_transaction()) {
    // A signal that ended the commit's wait for a lock, before anything
    // was written, spoils nothing, as every interrupted lock wait: the
    // transaction stays open, and a later COMMIT commits it.
    if (pager_->commit_wrote_nothing() && is_interrupted_wait(st.error())) return st;
    // The changes did not become durable: undo them, so that the failure
    // leaves neither the transaction nor its exclusive lock behind.
    (void)rollback_write();
  } else {
    // The commit went through and only a step after its commit point (the
    // unlock) failed: the schema in memory is the committed one.
    catalog_->discard();
  }
  return st;
}

Status Session::rollback_write() {
  // The pager's rollback ends the transaction however it fails (an
  // exception included), and the catalog goes back with it.
  const OnExit restore([this] { catalog_->restore(); });
  return pager_->rollback();
}

void Session::close() noexcept {
  if (!pager_) return;
  if (pager_->in_transaction()) abandon_write();
  pager_->save_log_if_linked();
  pager_->release_all();
}

void Session::abandon_write() noexcept {
  try {
    (void)rollback_write();
  } catch (...) {
    // What the rollback could not undo in the files is undone by the next
    // begin, read or open (see Pager::rollback).
  }
}

Status Session::read_begin() {
  BKF_TRY(pager_->read_lock());
  OnExit unlock([this] { read_end(); });
  BKF_TRY(catalog_->refresh(*pager_));
  unlock.dismiss();
  return {};
}

void Session::read_end() noexcept {
  try {
    (void)pager_->read_unlock();
  } catch (...) {
    // No memory to describe an unlock that failed; close() unlocks again
    // at the latest.
  }
}

}  // namespace bkf::engine
