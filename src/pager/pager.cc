#include "pager/pager.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <thread>

#include "base/bytes.h"
#include "base/on_exit.h"
#include "base/kept_buffer.h"
#include "pager/journal.h"

namespace bkf {

#ifndef NDEBUG
// Pager operations never nest; a nested call is a programming error.
class PagerOpScope {
 public:
  explicit PagerOpScope(Pager& p) : p_(p) {
    assert(!p_.busy_ && "pager operations must not nest");
    p_.busy_ = true;
  }
  ~PagerOpScope() { p_.busy_ = false; }

 private:
  Pager& p_;
};
#define BKF_PAGER_OP() PagerOpScope bkf_pager_op_scope_(*this)
#else
#define BKF_PAGER_OP() ((void)0)
#endif

namespace {

// The journal and the log are found by the database's name, and a file
// with several names (hard links) would have one of each per name: commits
// made through one name would be lost to a checkpoint or a journal replay
// through another. Such a file is neither opened nor written; `look` is of
// the open file, under its exclusive lock, and `name` its resolved path.
Status refuse_several_names(const std::string& name, const FileLook& look) {
  if (!look.links || *look.links <= 1) return {};
  return Error::io_failure("database file " + name + " has " + std::to_string(*look.links) +
                           " names (hard links): its journal and log could not be found from each of them");
}

// A lock taken on `file` for the length of a scope: given up on every way
// out (an error return, an exception) unless kept. Where the scope undoes a
// failed commit, the database file's lock is also kept while `journal`
// says that the undo must keep it (CommitJournal::keeps_lock).
class HeldLock {
 public:
  explicit HeldLock(VfsFile& file, const CommitJournal* journal = nullptr) noexcept
      : file_(&file), journal_(journal) {}
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  ~HeldLock() {
    if (file_ != nullptr && (journal_ == nullptr || !journal_->keeps_lock())) unlock_quietly(*file_);
  }
  // The lock outlives the scope.
  void keep() noexcept { file_ = nullptr; }

 private:
  VfsFile* file_;
  const CommitJournal* journal_;
};

Result<DbHeader> read_header(VfsFile& file) {
  std::uint8_t buf[kHeaderSize];
  BKF_TRY(file.read_exact_at(buf, sizeof buf, 0));
  return DbHeader::decode(buf, sizeof buf);
}

}  // namespace

Pager::Pager(Vfs& vfs, std::string path, std::unique_ptr<VfsFile> file, const DbHeader& header,
             std::unique_ptr<Wal> wal)
    : vfs_(vfs),
      path_(std::move(path)),
      file_(std::move(file)),
      wal_(std::move(wal)),
      cache_(header.page_size),
      header_(header),
      saved_header_(header),
      journal_(vfs, path_) {}

Pager::~Pager() = default;

void Pager::release_all() noexcept {
  if (in_tx_) {
    try {
      (void)rollback();
    } catch (...) {
      // The transaction has ended all the same (see rollback()).
    }
  }
  if (journal_.keeps_lock()) {
    // A last try of the undo that keeps the database's lock; failing, it
    // is given up and the lock goes below (CommitJournal::give_up).
    try {
      (void)finish_kept_undo();
    } catch (...) {
    }
    journal_.give_up();
  }
  // Unlocking what is not locked does nothing, so every file is unlocked:
  // nothing a failure path may have left behind outlives this.
  read_lock_ = ReadLock::None;
  unlock_quietly(*file_);
  if (wal_) {
    unlock_quietly(wal_->file());
    side_unlock_quietly(wal_->file());
  }
}

// ---------------------------------------------------------------- opening

namespace {

// The name a database goes by: the resolved path of the file just opened at
// `path`. The journal's and the log's names are made from it, so that every
// path to one file (through symbolic links, relative or absolute) finds the
// same journal and log. When the path was pointed at another file between
// the open and the resolution, the name would be that file's: refused.
Result<std::string> resolved_name(Vfs& vfs, const std::string& path, VfsFile& file) {
  std::string name = BKF_TRY(vfs.resolve(path));
  const FileId opened = BKF_TRY(file.id());
  Result<FileId> named = vfs.file_id(name);
  if (!named.ok() && !named.error().is(ErrorKind::NotFound)) return std::move(named).error();
  if (!named.ok() || *named != opened) return Error::io(EAGAIN);
  return name;
}

}  // namespace

Result<std::unique_ptr<Pager>> Pager::open(Vfs& vfs, std::string path) {
  std::unique_ptr<VfsFile> file = BKF_TRY(vfs.open(path, false));
  std::string name = BKF_TRY(resolved_name(vfs, path, *file));
  return open_file(vfs, std::move(name), std::move(file), kDefaultPageSize);
}

Result<std::unique_ptr<Pager>> Pager::create(Vfs& vfs, std::string path, std::uint32_t page_size) {
  BKF_TRY(validate_page_size(page_size));
  bool existed = vfs.exists(path);
  // Through a dangling symbolic link this makes the file the link names.
  std::unique_ptr<VfsFile> file = BKF_TRY(vfs.open(path, true));
  std::string name = BKF_TRY(resolved_name(vfs, path, *file));
  if (!existed) BKF_TRY(vfs.sync_dir(name));
  return open_file(vfs, std::move(name), std::move(file), page_size);
}

// The exclusive lock taken here is given up on every way out, before `file`
// (or the pager owning it) is dropped on an error: closing alone would leave
// it to any other descriptor sharing the open file.
Result<std::unique_ptr<Pager>> Pager::open_file(Vfs& vfs, std::string path, std::unique_ptr<VfsFile> file,
                                                std::uint32_t new_page_size) {
  BKF_TRY(file->lock(true));
  std::unique_ptr<Pager> pager;  // declared before `held`, so destroyed after it
  HeldLock held(*file);
  // Before the journal or the log is looked for: either may be another
  // name's.
  const FileLook look = BKF_TRY(file->look());
  BKF_TRY(refuse_several_names(path, look));
  const std::uint64_t size = look.size;
  const std::string jpath = journal::journal_path(path);
  const std::string wpath = Wal::wal_path(path);
  ByteBuffer scratch;
  DbHeader header;
  if (size == 0) {
    // A new database (or one whose creator never wrote its first page): no
    // journal or log beside it can belong to it.
    header = BKF_TRY(DbHeader::make(new_page_size));
    bool removed = false;
    for (const std::string* stale : {&jpath, &wpath}) {
      if (BKF_TRY(vfs.present(*stale))) {
        BKF_TRY(vfs.delete_file(*stale));
        removed = true;
      }
    }
    if (removed) BKF_TRY(vfs.sync_dir(path));
    scratch.resize(header.page_size);
    std::memset(scratch.data(), 0, scratch.size());
    header.encode(scratch.data());
    BKF_TRY(file->write_all_at(scratch.data(), scratch.size(), 0));
    BKF_TRY(file->sync());
  } else {
    Result<DbHeader> before = read_header(*file);
    BKF_TRY(recover_journal(vfs, jpath, *file, before.ok() ? before->page_size : 0, scratch));
    header = BKF_TRY(read_header(*file));
  }
  if (header.page_count == 0) return Error::corrupt("database header records 0 pages");

  pager.reset(new Pager(vfs, std::move(path), std::move(file), header, nullptr));
  if (header.wal_mode == 1 || BKF_TRY(vfs.present(wpath))) {
    BKF_TRY(pager->open_log());
    if (pager->wal_->has_commit()) {
      // The log's newest header page is newer than the file's.
      DbHeader from_log = BKF_TRY(pager->header_from_log());
      if (from_log.page_size != header.page_size) {
        return Error::corrupt("write-ahead log page size differs from the database's");
      }
      if (from_log.page_count == 0) return Error::corrupt("database header records 0 pages");
      pager->header_ = from_log;
    }
    if (pager->header_.wal_mode != 1) {
      // A log left over from write-ahead-log mode that has since been left.
      BKF_TRY(pager->wal_->remove(vfs));
      pager->wal_.reset();
    }
  }
  pager->saved_header_ = pager->header_;
  return pager;  // `held` unlocks the file on the way out
}

Status Pager::open_log() {
  wal_ = BKF_TRY(Wal::open(vfs_, path_, header_.page_size));
  return {};
}

// ------------------------------------------------------ reading the disk

Result<DbHeader> Pager::read_file_header() { return read_header(*file_); }

Result<DbHeader> Pager::header_from_log() {
  if (wal_ && wal_->has_commit()) {
    io_buf_.resize(wal_->page_size());
    bool found = BKF_TRY(wal_->read_page(1, io_buf_.data()));
    if (found) return DbHeader::decode(io_buf_.data(), io_buf_.size());
  }
  return read_file_header();
}

Status Pager::refuse_if_several_names() {
  const FileLook look = BKF_TRY(file_->look());
  return refuse_several_names(path_, look);
}

Status Pager::finish_kept_undo() {
  // The lock held since the commit failed is given up on every way out but
  // one: an undo that fails again without its journal at its name.
  HeldLock held(*file_, &journal_);
  return journal_.undo(*file_, header_.page_size, io_buf_);
}

Status Pager::recover_hot_journal() {
  // An undo left pending here gave the lock up when it failed (its journal
  // was at its name), and however it fails again, it lets the lock go
  // (CommitJournal::undo): only rollback() and finish_kept_undo() keep it.
  assert(!journal_.keeps_lock() && "an undo that keeps the lock is finished first");
  if (journal_.pending()) BKF_TRY(journal_.undo(*file_, header_.page_size, io_buf_));
  // Asked at every begin: the look-up builds no error unless it fails.
  const Vfs::Presence hot = vfs_.look_up(journal_.path());
  if (hot.os_errno != 0) return Error::io(hot.os_errno);
  if (!hot.present) return {};
  return recover_journal(vfs_, journal_.path(), *file_, header_.page_size, io_buf_);
}

bool Pager::drop_log() {
  const bool had_read_lock = read_lock_ == ReadLock::Wal;
  if (had_read_lock) {
    read_lock_ = ReadLock::None;
    unlock_quietly(wal_->file());
  }
  // A reader may hold the side lock as well (read_lock()).
  side_unlock_quietly(wal_->file());
  wal_.reset();
  return had_read_lock;
}

Status Pager::sync_from_disk() {
  BKF_TRY(sync_from_disk(true));
  return {};
}

Result<bool> Pager::sync_from_disk(bool wait) {
  // A log that another connection removed (switching to journal mode) or
  // replaced is closed, never unlinked; what the disk says decides below.
  // A reader whose only lock was on that log holds nothing now, so it reads
  // nothing more and starts over (read_lock).
  std::uint64_t wal_size = 0;
  if (wal_) {
    const Wal::Look look = BKF_TRY(wal_->look(vfs_));
    wal_size = look.size;
    if (!look.current && drop_log()) return true;
  }
  DbHeader disk;
  bool fresh_log = false;
  if (!wal_) {
    disk = BKF_TRY(read_file_header());
    if (disk.wal_mode == 1) {
      BKF_TRY(open_log());
      fresh_log = true;
    }
  }
  if (wal_) {
    if (!fresh_log) {
      if (wal_->has_commit()) {
        if (BKF_TRY(wal_->unchanged(header_.change_counter, wal_size))) return true;
      } else if (wal_size == wal_->scanned_size()) {
        // No commit in the log when it was scanned, and it has the same
        // length: had anything been committed since, a checkpoint would
        // have emptied the log, and changed the database file's header.
        disk = BKF_TRY(read_file_header());
        if (disk.change_counter == header_.change_counter && disk.wal_mode == header_.wal_mode) return true;
      }
      if (!BKF_TRY(wal_->rescan(wait))) return false;
    }
    disk = BKF_TRY(header_from_log());
    if (disk.wal_mode != 1 && drop_log()) return true;
  }
  if (disk.page_size != header_.page_size) {
    return Error::corrupt("database page size changed from " + std::to_string(header_.page_size) + " to " +
                          std::to_string(disk.page_size));
  }
  if (disk.page_count == 0) return Error::corrupt("database header records 0 pages");
  if (disk.change_counter != header_.change_counter || disk.wal_mode != header_.wal_mode) {
    cache_.clear();
    header_ = disk;
    ++data_version_;
  }
  return true;
}

// ------------------------------------------------------------------ pages

Result<PageRef> Pager::get_page(PageId id) {
  BKF_PAGER_OP();
  if (id < 2 || id > header_.page_count) return Error::invalid_page(id);
  PageRef hit = cache_.lookup(id);
  if (hit) return hit;
  return load(id);
}

void Pager::prefetch(PageId id) {
  if (id < 2 || id > header_.page_count) return;
  const std::uint8_t* p = cache_.peek(id);
  if (p == nullptr) return;
  for (std::size_t off = 0; off < header_.page_size; off += 64) __builtin_prefetch(p + off);
}

Result<PageRef> Pager::load(PageId id) {
  PageRef hit = cache_.lookup(id);
  if (hit) return hit;
  cache_.evict_if_needed();
  // The frame goes back to the pool on every way out but the insert: a
  // failed read, or no memory to describe the failure.
  PageFrame* f = cache_.take_frame(id);
  OnExit give_back([&] { cache_.give_back(f); });
  bool found = false;
  if (wal_) found = BKF_TRY(wal_->read_page(id, f->data));
  if (!found) BKF_TRY(file_->read_exact_at(f->data, f->size, std::uint64_t{id - 1} * header_.page_size));
  give_back.dismiss();
  return cache_.insert(f, false);
}

namespace {

Error bad_free_list(const std::string& what) { return Error::corrupt("free list: " + what); }

}  // namespace

Result<PageId> Pager::alloc_page() {
  BKF_PAGER_OP();
  assert(in_tx_ && "alloc_page outside a transaction");
  const std::uint32_t ps = header_.page_size;
  auto in_range = [&](PageId p) { return p >= 2 && p <= header_.page_count; };

  if (header_.freelist_head != 0) {
    const PageId head = header_.freelist_head;
    if (!in_range(head)) return bad_free_list("head page " + std::to_string(head) + " is out of range");
    if (header_.freelist_count == 0) return bad_free_list("count is 0 but the list has a head");
    PageRef trunk = BKF_TRY(load(head));
    const PageId next = load_be32(trunk.data());
    const std::uint32_t leaves = load_be32(trunk.data() + 4);
    if (leaves > (ps - 8) / 4) {
      return bad_free_list("trunk " + std::to_string(head) + " claims " + std::to_string(leaves) + " leaves");
    }
    PageId result;
    if (leaves > 0) {
      result = load_be32(trunk.data() + 8 + 4 * (leaves - 1));
      if (!in_range(result) || result == head) {
        return bad_free_list("leaf page " + std::to_string(result) + " is out of range");
      }
    } else {
      if (next != 0 && (!in_range(next) || next == head)) {
        return bad_free_list("next trunk page " + std::to_string(next) + " is out of range");
      }
      result = head;
    }
    // The page is handed out zero-filled, so its old content is not read.
    // It is made before the list changes: when that fails, nothing has.
    PageRef page = cache_.lookup(result);
    if (page) std::memset(page.mutable_data(), 0, ps);
    else cache_.insert_zeroed(result);
    if (leaves > 0) store_be32(trunk.mutable_data() + 4, leaves - 1);
    else header_.freelist_head = next;
    --header_.freelist_count;
    return result;
  }

  if (header_.page_count == std::numeric_limits<std::uint32_t>::max()) {
    return Error::corrupt("page count " + std::to_string(header_.page_count) + " cannot grow");
  }
  const PageId id = header_.page_count + 1;
  cache_.insert_zeroed(id);
  header_.page_count = id;
  return id;
}

Status Pager::free_page(PageId id) {
  BKF_PAGER_OP();
  assert(in_tx_ && "free_page outside a transaction");
  if (id < 2 || id > header_.page_count) return Error::invalid_page(id);
  const std::uint32_t ps = header_.page_size;
  const PageId head = header_.freelist_head;
  if (header_.freelist_count >= header_.page_count - 1) {
    return bad_free_list("count " + std::to_string(header_.freelist_count) + " leaves no page in use");
  }
  if (head != 0) {
    if (head < 2 || head > header_.page_count) {
      return bad_free_list("head page " + std::to_string(head) + " is out of range");
    }
    if (header_.freelist_count == 0) return bad_free_list("count is 0 but the list has a head");
    if (id == head) return bad_free_list("page " + std::to_string(id) + " is already its head");
    PageRef trunk = BKF_TRY(load(head));
    const std::uint32_t leaves = load_be32(trunk.data() + 4);
    const std::uint32_t max_leaves = (ps - 8) / 4;
    if (leaves > max_leaves) {
      return bad_free_list("trunk " + std::to_string(head) + " claims " + std::to_string(leaves) + " leaves");
    }
    if (leaves < max_leaves) {
      std::uint8_t* d = trunk.mutable_data();
      store_be32(d + 8 + 4 * leaves, id);
      store_be32(d + 4, leaves + 1);
      ++header_.freelist_count;
      return {};
    }
  }
  // The freed page becomes the new head trunk.
  PageRef page = BKF_TRY(load(id));
  std::uint8_t* d = page.mutable_data();
  store_be32(d, head);
  store_be32(d + 4, 0);
  header_.freelist_head = id;
  ++header_.freelist_count;
  return {};
}

// ------------------------------------------------------------ transactions

Status Pager::release_read_lock() {
  ReadLock held = read_lock_;
  read_lock_ = ReadLock::None;
  if (held == ReadLock::Db) return file_->unlock();
  if (held == ReadLock::Wal && wal_) return wal_->file().unlock();
  return {};
}

void Pager::release_read_lock_quietly() noexcept {
  const ReadLock held = read_lock_;
  read_lock_ = ReadLock::None;
  if (held == ReadLock::Db) unlock_quietly(*file_);
  if (held == ReadLock::Wal && wal_) unlock_quietly(wal_->file());
}

Status Pager::begin() {
  BKF_PAGER_OP();
  if (in_tx_) return Error::tx(kTxAlreadyActive);
  if (journal_.keeps_lock()) [[unlikely]] BKF_TRY(finish_kept_undo());
  release_read_lock_quietly();
  BKF_TRY(file_->lock(true));
  HeldLock held(*file_);
  BKF_TRY(refuse_if_several_names());
  BKF_TRY(recover_hot_journal());
  BKF_TRY(sync_from_disk());
  held.keep();
  in_tx_ = true;
  saved_header_ = header_;
  cache_.set_writable(true);
  return {};
}

void Pager::end_transaction() noexcept {
  in_tx_ = false;
  cache_.set_writable(false);
}

void Pager::release_large_buffers() noexcept {
  // io_buf_ and run_buf_ hold a run of pages at most (kMaxRunBytes), so
  // their growth keeps them within what is kept: they are kept.
  release_if_large(dirty_scratch_);
  release_if_large(journal_pages_);
  if (wal_) wal_->release_large_buffers();
}

Status Pager::commit() {
  BKF_PAGER_OP();
  if (!in_tx_) return Error::tx(kTxNoneToCommit);
  if (cache_.dirty_count() == 0 && header_ == saved_header_) {
    end_transaction();
    return file_->unlock();
  }
  // A failure (an exception too) before the commit point leaves the
  // transaction open for rollback(), which undoes whatever reached the
  // files.
  BKF_TRY(wal_ ? commit_wal() : commit_journal());
  // Past the commit point: the transaction is durable whatever happens now,
  // so nothing below may fail the commit. The checkpoint a commit starts by
  // itself fails unseen, out of memory included: it leaves the log intact
  // and the next commit retries.
  cache_.mark_all_clean();
  end_transaction();
  if (wal_ && (wal_->distinct_pages() >= kWalAutoCheckpoint || wal_->frame_count() >= kWalAutoCheckpoint)) {
    try {
      (void)checkpoint_locked();
    } catch (const std::bad_alloc&) {
    }
  }
  // Only a commit of this many pages grows the buffers it used beyond what
  // is kept (its journal's image or its frames are the largest, a page and
  // a few bytes for each); a checkpoint gives back its own.
  if ((dirty_scratch_.size() + 1) * (std::size_t{header_.page_size} + Wal::kFrameHeaderSize) > kKeptBufferBytes) {
    release_large_buffers();
  }
  unlock_quietly(*file_);
  return {};
}

void Pager::sorted_dirty_pages() {
  dirty_scratch_.clear();
  reserve_kept(dirty_scratch_, cache_.dirty_count());
  cache_.for_each_dirty([&](PageFrame& f) { dirty_scratch_.push_back(&f); });
  std::sort(dirty_scratch_.begin(), dirty_scratch_.end(),
            [](const PageFrame* a, const PageFrame* b) { return a->id < b->id; });
}

Status Pager::commit_journal() {
  const std::uint32_t ps = header_.page_size;
  const std::uint32_t old_count = saved_header_.page_count;
  sorted_dirty_pages();

  // 1. The journal: page 1 and every changed page that existed at begin,
  //    as the file holds them now (the last committed content), read with
  //    one read per run of consecutive pages.
  reserve_kept(journal_pages_, dirty_scratch_.size() + 1);
  journal_pages_.assign(1, 1);
  for (PageFrame* f : dirty_scratch_) {
    if (f->id <= old_count && f->id != 1) journal_pages_.push_back(f->id);
  }
  const auto records = static_cast<std::uint32_t>(journal_pages_.size());
  {
    journal::Image image(journal_.image(), ps, old_count, records);
    // Page 1 is the header and zeros. A database whose first write was cut
    // short (its creation failed) may hold less than the whole page, so it
    // is read on its own.
    std::uint8_t* first = image.record(0, 1);
    if (Status st = file_->read_exact_at(first, ps, 0); !st.ok()) {
      if (!st.error().is(ErrorKind::ShortRead) || st.error().got() < kHeaderSize) return st;
      std::memset(first + st.error().got(), 0, ps - st.error().got());
    }
    const std::size_t max_run = std::max<std::size_t>(1, kMaxRunBytes / ps);
    for (std::size_t i = 1; i < records;) {
      std::size_t j = i + 1;
      while (j < records && j - i < max_run && journal_pages_[j] == journal_pages_[j - 1] + 1) ++j;
      const std::uint64_t offset = std::uint64_t{journal_pages_[i] - 1} * ps;
      if (j - i == 1) {
        BKF_TRY(file_->read_exact_at(image.record(static_cast<std::uint32_t>(i), journal_pages_[i]), ps, offset));
      } else {
        run_buf_.resize((j - i) * ps);
        BKF_TRY(file_->read_exact_at(run_buf_.data(), run_buf_.size(), offset));
        for (std::size_t k = i; k < j; ++k) {
          std::memcpy(image.record(static_cast<std::uint32_t>(k), journal_pages_[k]), run_buf_.data() + (k - i) * ps,
                      ps);
        }
      }
      i = j;
    }
    BKF_TRY(journal_.write());
  }
  // From here on the database file may change; a rollback writes the
  // journal's image back (CommitJournal::undo).

  // 2. The pages and the header.
  journal_.database_touched();
  BKF_TRY(write_dirty_pages());
  ++header_.change_counter;
  BKF_TRY(write_header_to_file());
  BKF_TRY(file_->sync());

  // 3. The commit point: the journal disappears, as its open file tells.
  // When it keeps a name, here or wherever its folder went, the commit
  // fails, and rollback() undoes it through the open file.
  return journal_.commit_point();
}

Status Pager::write_dirty_pages() {
  const std::size_t ps = header_.page_size;
  const std::size_t max_run = std::max<std::size_t>(1, kMaxRunBytes / ps);
  std::size_t i = 0;
  while (i < dirty_scratch_.size()) {
    std::size_t j = i + 1;
    while (j < dirty_scratch_.size() && j - i < max_run && dirty_scratch_[j]->id == dirty_scratch_[j - 1]->id + 1) {
      ++j;
    }
    const std::uint64_t offset = std::uint64_t{dirty_scratch_[i]->id - 1} * ps;
    if (j - i == 1) {
      BKF_TRY(file_->write_all_at(dirty_scratch_[i]->data, ps, offset));
    } else {
      run_buf_.resize((j - i) * ps);
      for (std::size_t k = i; k < j; ++k) std::memcpy(run_buf_.data() + (k - i) * ps, dirty_scratch_[k]->data, ps);
      BKF_TRY(file_->write_all_at(run_buf_.data(), run_buf_.size(), offset));
    }
    i = j;
  }
  return {};
}

Status Pager::write_header_to_file() {
  std::uint8_t buf[kHeaderSize];
  header_.encode(buf);
  return file_->write_all_at(buf, sizeof buf, 0);
}

Status Pager::commit_wal() {
  const std::uint32_t ps = header_.page_size;
  sorted_dirty_pages();
  const std::size_t n = dirty_scratch_.size() + 1;
  wal_->prepare_frames(n);
  for (std::size_t i = 0; i + 1 < n; ++i) {
    std::memcpy(wal_->frame(i, dirty_scratch_[i]->id, 0), dirty_scratch_[i]->data, ps);
  }
  ++header_.change_counter;
  std::uint8_t* image = wal_->frame(n - 1, 1, header_.page_count);
  std::memset(image, 0, ps);
  header_.encode(image);
  Status st = wal_->append(n, synchronous_ == 2);
  // The transaction is whole: it may be committed again, with this counter.
  if (!st.ok() && wal_->wrote_nothing()) --header_.change_counter;
  return st;
}

Status Pager::rollback() {
  BKF_PAGER_OP();
  if (!in_tx_) return Error::tx(kTxNoneToRollBack);
  // However the undo below ends (an error, or no memory for it), the
  // transaction ends and its lock goes: a journal or a log tail left behind
  // is found and undone by the next begin, read or open, before anything
  // reads the pages it touched.
  const OnExit end([&] {
    header_ = saved_header_;
    end_transaction();
    release_large_buffers();
  });
  HeldLock held(*file_, &journal_);
  cache_.drop_dirty();
  // Undo what a failed commit may have written: write its journal's image
  // back and make the journal worthless, through the journal's own open
  // file, which its name may no longer lead to (CommitJournal::undo). A
  // failed log append has taken its frames back out itself; what it may
  // have left beyond the log's end holds no commit (a tail, which the next
  // append zeroes). An undo that fails is finished by the next begin or
  // read of this connection, before anything is read, unless whoever
  // finds the journal at its name first has undone it; one whose journal
  // is not at its name keeps the lock until then (CommitJournal).
  BKF_TRY(journal_.undo(*file_, header_.page_size, io_buf_));
  held.keep();
  return file_->unlock();
}

Status Pager::read_lock() {
  BKF_PAGER_OP();
  if (in_tx_) return {};
  assert(read_lock_ == ReadLock::None && "read_lock without read_unlock");
  if (journal_.keeps_lock()) [[unlikely]] BKF_TRY(finish_kept_undo());
  release_read_lock_quietly();
  // Whatever ends an attempt short of success (an error, or no memory)
  // gives up the lock it holds.
  bool hold_side = false;
  for (;;) {
    OnExit attempt([&] { release_read_lock_quietly(); });
    const bool on_wal = wal_ != nullptr;
    // A reader that an append in progress sent away (below) waits for the
    // append's sync with the log's side lock shared, and keeps it until it
    // has taken the log in: the next append, which waits for it, cannot
    // come in between and make it wait for that one's sync as well. It
    // waits for the lock meanwhile, which is safe: whoever holds the lock
    // exclusively (a checkpoint, a switch of journal mode) never waits for
    // the side lock.
    bool side_held = false;
    OnExit side_release([&] {
      if (side_held && wal_) side_unlock_quietly(wal_->file());
    });
    if (hold_side && on_wal) {
      BKF_TRY(wal_->file().side_lock(false));
      side_held = true;
    }
    BKF_TRY(on_wal ? wal_->file().lock(false) : file_->lock(false));
    read_lock_ = on_wal ? ReadLock::Wal : ReadLock::Db;
    if (!on_wal) {
      // A crashed writer's journal (or this connection's own undo, left
      // pending): recover it under the exclusive lock before reading
      // anything, then start over. Taking the shared lock back is not
      // atomic, and another writer may crash in between: the check for a
      // journal must be made under the lock that is then kept. Asked
      // before every read, the look-up builds no error unless it fails.
      const Vfs::Presence hot = journal_.pending() ? Vfs::Presence{true, 0} : vfs_.look_up(journal_.path());
      if (hot.os_errno != 0) return Error::io(hot.os_errno);
      if (hot.present) {
        BKF_TRY(file_->lock(true));
        BKF_TRY(recover_hot_journal());
        continue;
      }
    }
    // A reader holding the log's shared lock never waits for its side lock:
    // the writer holding that may be waiting for the shared lock to go
    // (Wal::lock_exclusive). It gives the lock up and waits without it.
    if (!BKF_TRY(sync_from_disk(!on_wal))) {
      release_read_lock_quietly();
      hold_side = true;
      continue;
    }
    // The refresh may have opened or closed the log: the shared lock must
    // be on the file this connection now reads through.
    if (read_lock_ != ReadLock::None && (wal_ != nullptr) == on_wal) {
      attempt.dismiss();
      return {};
    }
  }
}

Status Pager::read_unlock() {
  BKF_PAGER_OP();
  if (in_tx_) return {};
  return release_read_lock();
}

// --------------------------------------------------- modes and checkpoints

Status Pager::checkpoint_locked() {
  // A log that holds no commit, as this connection sees it under the
  // database's lock (every caller has brought its view up to date under
  // it, and no other connection can append meanwhile), has nothing to copy:
  // done at once. Waiting for the log's readers would hold every writer
  // off, behind the database's lock, for nothing.
  if (!wal_ || !wal_->has_commit()) return {};
  BKF_TRY(wal_->lock_exclusive());
  HeldLock held(wal_->file());
  Status st = wal_->checkpoint(*file_, synchronous_ != 0, io_buf_);
  release_large_buffers();
  return st;
}

Status Pager::wal_checkpoint() {
  BKF_PAGER_OP();
  if (in_tx_) return checkpoint_locked();
  if (journal_.keeps_lock()) [[unlikely]] BKF_TRY(finish_kept_undo());
  release_read_lock_quietly();
  // The database lock keeps writers from appending while the log is copied
  // and emptied; the refresh makes this connection's index current. A file
  // that has gained a name is checkpointed all the same: its log is found
  // by one name only, the database file by both.
  BKF_TRY(file_->lock(true));
  HeldLock held(*file_);
  BKF_TRY(recover_hot_journal());
  BKF_TRY(sync_from_disk());
  return checkpoint_locked();
}

namespace {

// The close of a file that gained a name waits this long in all for the
// database's lock and the log's (see save_log_if_linked() in pager.h),
// trying again after pauses that double from the first to the longest.
constexpr std::chrono::milliseconds kLinkedCloseWait{1000};
constexpr std::chrono::milliseconds kFirstLockPause{1};
constexpr std::chrono::milliseconds kLongestLockPause{32};

// VfsFile::try_lock, tried again after a pause for as long as another
// handle holds a lock that excludes it, until `deadline`: true once
// granted, false when the deadline comes first. It never waits in the lock
// itself, so a holder that cannot let go while this waits (another
// connection of the same thread) costs it the wait and no more.
Result<bool> try_lock_until(VfsFile& file, bool exclusive, std::chrono::steady_clock::time_point deadline) {
  std::chrono::steady_clock::duration pause = kFirstLockPause;
  for (;;) {
    if (BKF_TRY(file.try_lock(exclusive))) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min(pause, deadline - now));
    pause = std::min<std::chrono::steady_clock::duration>(pause * 2, kLongestLockPause);
  }
}

}  // namespace

void Pager::save_log_if_linked() noexcept {
  BKF_PAGER_OP();
  if (in_tx_ || !wal_) return;
  try {
    release_read_lock_quietly();
    const Result<FileLook> look = file_->look();
    if (!look.ok() || !look->links || *look->links <= 1) return;
    const auto deadline = std::chrono::steady_clock::now() + kLinkedCloseWait;
    const Result<bool> writers_gone = try_lock_until(*file_, true, deadline);
    if (!writers_gone.ok() || !*writers_gone) return;
    HeldLock held(*file_);
    if (!sync_from_disk().ok() || !wal_ || !wal_->has_commit()) return;
    const Result<bool> readers_gone = try_lock_until(wal_->file(), true, deadline);
    if (!readers_gone.ok() || !*readers_gone) return;
    HeldLock log_held(wal_->file());
    (void)wal_->checkpoint(*file_, synchronous_ != 0, io_buf_);
  } catch (...) {
    // Dropped, as every failure here; the log stays as it was.
  }
}

Status Pager::set_journal_mode_wal() {
  BKF_PAGER_OP();
  if (in_tx_) return Error::tx(kTxJournalModeInTx);
  if (journal_.keeps_lock()) [[unlikely]] BKF_TRY(finish_kept_undo());
  release_read_lock_quietly();
  BKF_TRY(file_->lock(true));
  HeldLock held(*file_);
  return switch_to_wal();
}

Status Pager::switch_to_wal() {
  BKF_TRY(refuse_if_several_names());
  BKF_TRY(recover_hot_journal());
  BKF_TRY(sync_from_disk());
  if (header_.wal_mode == 1) return {};
  const DbHeader before = header_;
  BKF_TRY(open_log());
  // Until the switch is made, every way out (an error, or no memory) closes
  // the log again and goes back to the pages and header of journal mode.
  OnExit undo([&] {
    wal_.reset();
    cache_.clear();
    header_ = before;
  });
  if (wal_->has_commit()) {
    // A log that already holds commits is newer than the file.
    const DbHeader from_log = BKF_TRY(header_from_log());
    if (from_log.page_size != header_.page_size) {
      return Error::corrupt("write-ahead log page size differs from the database's");
    }
    cache_.clear();
    header_ = from_log;
    ++data_version_;
  }
  header_.wal_mode = 1;
  ++header_.change_counter;
  Status st = write_header_to_file();
  if (st.ok()) st = file_->sync();
  if (!st.ok()) {
    header_ = before;
    restore_file_header();
    return st;
  }
  undo.dismiss();
  return {};
}

void Pager::restore_file_header() noexcept {
  // The new header may have reached the file (whole or torn) although its
  // write or sync failed: others would then follow a switch that was
  // reported as failed. Put the old one back; if even that fails (or there
  // is no memory to report it), the next switch or commit writes the header
  // again.
  try {
    if (write_header_to_file().ok()) (void)file_->sync();
  } catch (const std::bad_alloc&) {
  }
}

Status Pager::set_journal_mode_delete() {
  BKF_PAGER_OP();
  if (in_tx_) return Error::tx(kTxJournalModeInTx);
  if (journal_.keeps_lock()) [[unlikely]] BKF_TRY(finish_kept_undo());
  release_read_lock_quietly();
  BKF_TRY(file_->lock(true));
  HeldLock held(*file_);
  return switch_to_journal();
}

Status Pager::switch_to_journal() {
  BKF_TRY(refuse_if_several_names());
  BKF_TRY(recover_hot_journal());
  BKF_TRY(sync_from_disk());
  if (header_.wal_mode != 1) return {};
  if (!wal_) BKF_TRY(open_log());  // (the refresh opens it in this mode)
  // The log's exclusive lock is held from the checkpoint until the log is
  // gone, and the header says journal mode before the log goes: a log
  // reader holds its shared lock either before the switch (the switch waits
  // for it) or after it, and then finds journal mode and takes the
  // database's lock instead. Were the log removed first, a reader could lock
  // the removed file or a new one while the header still said log mode, and
  // read the database file while journal-mode writers change it.
  BKF_TRY(wal_->lock_exclusive());
  HeldLock held(wal_->file());
  const DbHeader before = header_;
  BKF_TRY(wal_->checkpoint(*file_, synchronous_ != 0, io_buf_));
  header_.wal_mode = 0;
  ++header_.change_counter;
  Status st = write_header_to_file();
  if (st.ok()) st = file_->sync();
  if (!st.ok()) {
    // Still write-ahead-log mode, with every page in the file and the log
    // empty.
    header_ = before;
    restore_file_header();
    return st;
  }
  // Switched: nothing below may fail the switch. A log left behind by a
  // failed removal is harmless: it holds no commit, and the next open
  // removes it.
  try {
    if (wal_->remove(vfs_).ok()) (void)vfs_.sync_dir(path_);
  } catch (const std::bad_alloc&) {
  }
  held.keep();
  unlock_quietly(wal_->file());
  wal_.reset();
  return {};
}

}  // namespace bkf
