#include "exec/engine/session.h"

namespace bkf::engine {

Status Session::open(const std::string& path) {
  if (vfs_->exists(path)) {
    pager_ = BKF_TRY(Pager::open(*vfs_, path));
  } else {
    pager_ = BKF_TRY(Pager::create(*vfs_, path, Pager::kDefaultPageSize));
  }
  // On failure the session, and with it the pager and its file, goes away.
  catalog_.emplace(BKF_TRY(Catalog::open(*pager_)));
  return {};
}

Status Session::begin_write() {
  BKF_TRY(pager_->begin());
  if (Status st = catalog_->refresh(*pager_); !st) {
    (void)rollback_write();
    return st;
  }
  return {};
}

Status Session::commit_write() {
  Status st = pager_->commit();
  if (st) {
    catalog_->discard();
    return st;
  }
  if (pager_->in_transaction()) {
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
  Status st = pager_->rollback();
  catalog_->restore();
  return st;
}

Status Session::read_begin() {
  BKF_TRY(pager_->read_lock());
  if (Status st = catalog_->refresh(*pager_); !st) {
    read_end();
    return st;
  }
  return {};
}

void Session::read_end() { (void)pager_->read_unlock(); }

}  // namespace bkf::engine
