#include "pager/wal.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "base/bytes.h"
#include "base/kept_buffer.h"
#include "base/on_exit.h"

namespace bkf {

namespace {

// Offset of the change counter inside a header page image.
constexpr std::size_t kCounterOffset = 30;
// Bytes read per frame during a scan: the frame header and the header-image
// prefix up to and including the change counter.
constexpr std::size_t kScanPrefix = Wal::kFrameHeaderSize + kCounterOffset + 4;

// A writer waiting for the log's exclusive lock behind statements in
// progress (lock_exclusive()) makes readers queue behind it for a window,
// then lets them go on for as long as that window lasted and the first
// window more (the open span), then opens the next window, twice as long.
//   - The first window outlasts any short statement, even one whose
//     process the scheduler keeps waiting for a few time slices, so behind
//     short statements the writer gets the lock in it.
//   - Windows double without a cap: a window succeeds once every statement
//     in progress at its start ends inside it, and statements that run back
//     to back in several processes leave the writer no other moment (an
//     open span needs one in which no process holds the lock). So the
//     writer gets the lock in the first window that outlasts the longest
//     statement in progress: the windows that failed, each shorter than
//     it, add up to less than twice its length, the open spans to as much
//     again, and the whole wait stays under five times its length (most
//     often well under three).
//   - Beside one long statement that was running when the writer began to
//     wait, a window of W ms opens only after windows and open spans of
//     about 2 W ms: it fails only when the statement runs longer than
//     3 W ms. So a reader that comes meanwhile waits at most a third of
//     that statement's length (or the first windows' length, however short
//     the statement is), and readers keep about half of the time.
constexpr std::chrono::milliseconds kFirstFairWindow{50};

// The length remove() gives a log before removing it: a mark that the one
// call look() makes on the open file can see. A log in use has it only
// after an append whose first write stopped after one byte.
constexpr std::uint64_t kRemovedLength = 1;

}  // namespace

Result<std::unique_ptr<Wal>> Wal::open(Vfs& vfs, const std::string& db_path, std::uint32_t page_size) {
  std::string path = wal_path(db_path);
  bool existed = vfs.exists(path);
  std::unique_ptr<VfsFile> file = BKF_TRY(vfs.open(path, true));
  if (!existed) BKF_TRY(vfs.sync_dir(path));
  FileId id = BKF_TRY(file->id());
  std::unique_ptr<Wal> wal(new Wal(std::move(path), std::move(file), page_size, id));
  BKF_TRY(wal->rescan(true));
  return wal;
}

void Wal::reset_index() {
  index_.clear();
  end_ = 0;
  db_pages_ = 0;
  last_counter_ = 0;
  scanned_ = 0;
}

Result<bool> Wal::last_commit_in_place(std::uint32_t counter) {
  std::uint8_t head[kScanPrefix];
  BKF_TRY(file_->read_exact_at(head, sizeof head, end_ - frame_size()));
  return load_be32(head) == 1 && load_be32(head + 4) == db_pages_ &&
         load_be32(head + kFrameHeaderSize + kCounterOffset) == counter;
}

Result<bool> Wal::rescan(bool wait) {
  const std::uint64_t fs = frame_size();
  // An empty log has nothing to read, nor to wait for.
  if (BKF_TRY(file_->size()) == 0) {
    reset_index();
    return true;
  }
  // An append in progress holds the side lock until its frames are
  // published or taken back out: its commit is read only once it stands.
  if (wait) {
    BKF_TRY(file_->side_lock(false));
  } else if (!BKF_TRY(file_->try_side_lock(false))) {
    return false;
  }
  const OnExit unlock([&] { side_unlock_quietly(*file_); });
  const std::uint64_t size = BKF_TRY(file_->size());
  std::uint8_t head[kScanPrefix];

  // Keep what is indexed when the last commit frame we know is still there;
  // commit counters only grow, so a log that was emptied and refilled cannot
  // show the same counter at the same place.
  const bool keep = end_ != 0 && size >= end_ && BKF_TRY(last_commit_in_place(last_counter_));
  if (!keep) reset_index();

  pending_.clear();
  std::uint64_t pos = end_;
  // No commit holds more frames than the scan reads.
  if (size > pos) reserve_kept(pending_, static_cast<std::size_t>((size - pos) / fs));
  for (; pos + fs <= size; pos += fs) {
    BKF_TRY(file_->read_exact_at(head, sizeof head, pos));
    PageId page = load_be32(head);
    std::uint32_t commit = load_be32(head + 4);
    // Page 0 cannot be read or checkpointed; a frame for it is skipped.
    if (page != 0) pending_.emplace_back(page, pos + kFrameHeaderSize);
    if (commit != 0) {
      for (auto& [p, off] : pending_) index_.put(p, off);
      pending_.clear();
      end_ = pos + fs;
      db_pages_ = commit;
      last_counter_ = load_be32(head + kFrameHeaderSize + kCounterOffset);
    }
  }
  pending_.clear();
  release_if_large(pending_);
  scanned_ = size;
  return true;
}

Result<bool> Wal::unchanged(std::uint32_t change_counter, std::uint64_t size) {
  if (end_ < frame_size() || size != scanned_) return false;
  return last_commit_in_place(change_counter);
}

Result<Wal::Look> Wal::look(Vfs& vfs) {
  const FileLook file = BKF_TRY(file_->look());
  // The engine never renames or links a log, and cuts one to the removed
  // length before it removes it (remove()); nothing writes to it after
  // that, since every writer looks first, under the database's lock, which
  // the removal held. So a log with one name and another length has that
  // name at path(), and one without a name was removed. Only a log with
  // several names, or with the removed length, may have kept a name that
  // another program gave it: its path is looked up.
  if (file.links && (*file.links == 0 || (*file.links == 1 && file.size != kRemovedLength))) {
    return Look{*file.links == 1, file.size};
  }
  Result<FileId> id = vfs.file_id(path_);
  if (!id.ok()) {
    if (id.error().is(ErrorKind::NotFound)) return Look{false, file.size};
    return std::move(id).error();
  }
  return Look{*id == id_, file.size};
}

Result<bool> Wal::read_page(PageId page, std::uint8_t* buf) {
  const std::uint64_t* off = index_.find(page);
  if (off == nullptr) return false;
  BKF_TRY(file_->read_exact_at(buf, page_size_, *off));
  return true;
}

void Wal::prepare_frames(std::size_t n) { frames_.resize(n * frame_size()); }

std::uint8_t* Wal::frame(std::size_t i, PageId page, std::uint32_t commit_field) {
  std::uint8_t* p = frames_.data() + i * frame_size();
  store_be32(p, page);
  store_be32(p + 4, commit_field);
  return p + kFrameHeaderSize;
}

Status Wal::append(std::size_t n, bool sync) {
  const std::uint64_t fs = frame_size();
  const std::size_t len = static_cast<std::size_t>(n * fs);
  wrote_nothing_ = true;
  // Publishing below must not fail once the frames are in the file.
  index_.reserve(n);
  if (cut_unsynced_) {
    BKF_TRY(file_->sync());
    cut_unsynced_ = false;
  }
  // The one wait of an append, before anything is written.
  BKF_TRY(file_->side_lock(true));
  const OnExit unlock([&] { side_unlock_quietly(*file_); });
  wrote_nothing_ = false;
  const std::uint64_t at = BKF_TRY(past_tail());
  Status st;
  try {
    st = file_->write_all_at(frames_.data(), len, at);
    if (st.ok() && sync) st = file_->sync();
  } catch (...) {
    take_back(at, n);
    throw;
  }
  if (!st.ok()) {
    take_back(at, n);
    return st;
  }
  // Publish.
  const std::uint8_t* last = frames_.data() + (n - 1) * fs;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* f = frames_.data() + i * fs;
    PageId page = load_be32(f);
    if (page != 0) index_.put(page, at + i * fs + kFrameHeaderSize);
  }
  end_ = at + len;
  scanned_ = end_;
  db_pages_ = load_be32(last + 4);
  last_counter_ = load_be32(last + kFrameHeaderSize + kCounterOffset);
  return {};
}

void Wal::release_large_buffers() noexcept {
  release_if_large(frames_);
  release_if_large(pending_);
}

Result<std::uint64_t> Wal::past_tail() {
  const std::uint64_t fs = frame_size();
  const std::uint64_t size = BKF_TRY(file_->size());
  // Only a checkpoint shortens the log, and it takes the database's lock,
  // which the caller holds: the file has what the caller scanned, at least.
  if (size < end_) return Error::corrupt("write-ahead log is shorter than its last commit");
  if (size == end_) return end_;
  // A tail. Scans would count its frames as part of the commit that follows
  // them, so it is zeroed first (frames of page 0, which scans skip; a
  // cut-off last frame too, which the frames after it complete), and that
  // is made durable before anything follows it, whatever the sync level:
  // no power cut may leave the new commit behind frames that name pages.
  BKF_TRY(file_->zero_range(end_, size - end_));
  BKF_TRY(file_->sync());
  return end_ + (size - end_ + fs - 1) / fs * fs;
}

void Wal::take_back(std::uint64_t at, std::size_t n) noexcept {
  // Only this append's own bytes are cut: no scan has seen them (the side
  // lock is held), and no reader's index or check reaches past end(), which
  // is at most `at`.
  try {
    if (file_->truncate(at).ok()) return;
    // Zeros over the commit frame leave frames after the last commit, which
    // scans ignore, whatever part of the frames had reached the file (a
    // write that stops half-way still clears the frame header, which comes
    // first).
    const std::uint64_t fs = frame_size();
    std::uint8_t* commit = frames_.data() + (n - 1) * fs;
    std::memset(commit, 0, fs);
    (void)file_->write_all_at(commit, fs, at + (n - 1) * fs);
  } catch (...) {
  }
  // When the disk refuses both, whatever reached the file stands, for every
  // connection alike: this one takes it in at its next rescan.
}

Status Wal::lock_exclusive() {
  if (BKF_TRY(file_->try_lock(true))) return {};
  bool tail_inert = false;
  for (std::chrono::milliseconds window = kFirstFairWindow;; window *= 2) {
    if (BKF_TRY(wait_fairly(window, tail_inert))) return {};
    if (BKF_TRY(file_->lock_within(true, window + kFirstFairWindow))) return {};
  }
}

Result<bool> Wal::wait_fairly(std::chrono::milliseconds window, bool& tail_inert) {
  BKF_TRY(file_->side_lock(true));
  const OnExit side([&] { side_unlock_quietly(*file_); });
  const std::uint64_t size = BKF_TRY(file_->size());
  // The length readers find changed: always longer, since the log only
  // grows between checkpoints, so it is none that a connection has scanned
  // (a cut back to an earlier length, or to none, would be). A cut-off last
  // frame, which one more byte could complete, is zeroed first, durably, as
  // the next append would zero it: a power cut must not leave the longer
  // length behind the old bytes.
  const std::uint64_t partial = size % frame_size();
  if (partial != 0 && !tail_inert) {
    BKF_TRY(file_->zero_range(size - partial, partial));
    BKF_TRY(file_->sync());
  }
  tail_inert = true;
  BKF_TRY(file_->truncate(size + 1));
  const OnExit put_back([&] {
    try {
      (void)file_->truncate(size);
    } catch (...) {
      // A byte left over is a cut-off frame after the last commit: a tail.
    }
  });
  return file_->lock_within(true, window);
}

Status Wal::checkpoint(VfsFile& db, bool sync_db, ByteBuffer& scratch) {
  if (index_.empty()) return {};
  pending_.clear();
  reserve_kept(pending_, index_.size());
  index_.for_each([&](PageId p, std::uint64_t off) {
    if (p <= db_pages_) pending_.emplace_back(p, off);
  });
  std::sort(pending_.begin(), pending_.end());

  const std::size_t ps = page_size_;
  const std::size_t max_run = std::max<std::size_t>(1, kMaxRunBytes / ps);
  std::size_t i = 0;
  while (i < pending_.size()) {
    std::size_t j = i + 1;
    while (j < pending_.size() && j - i < max_run && pending_[j].first == pending_[j - 1].first + 1) ++j;
    scratch.resize((j - i) * ps);
    for (std::size_t k = i; k < j; ++k) {
      BKF_TRY(file_->read_exact_at(scratch.data() + (k - i) * ps, ps, pending_[k].second));
    }
    BKF_TRY(db.write_all_at(scratch.data(), (j - i) * ps, std::uint64_t{pending_[i].first - 1} * ps));
    i = j;
  }
  pending_.clear();
  BKF_TRY(db.truncate(std::uint64_t{db_pages_} * ps));
  if (sync_db) BKF_TRY(db.sync());
  // Every committed page is in the database file now. A length change
  // happens whole or not at all: when the cut fails and the file is not
  // empty, it holds what the index describes, and stays so (nothing cuts
  // it but a checkpoint). Once it is empty, pages come from the database
  // file, whether or not the sync below succeeds (a power cut may bring the
  // frames back, and they are copies of what the database file holds).
  if (Status st = file_->truncate(0); !st.ok()) {
    Result<std::uint64_t> now = file_->size();
    if (now.ok() && *now == 0) reset_index();
    return st;
  }
  reset_index();
  // Until the cut is durable, appends would land over frames a power cut
  // could bring back after them (append() syncs it first).
  cut_unsynced_ = true;
  BKF_TRY(file_->sync());
  cut_unsynced_ = false;
  return {};
}
Status Wal::remove(Vfs& vfs) {
  // Marked first, so that whoever still has the file open can tell it
  // from the log at path() even when another program has linked it to a
  // name of its own (look()).
  BKF_TRY(file_->truncate(kRemovedLength));
  if (vfs.exists(path_)) BKF_TRY(vfs.delete_file(path_));
  return {};
}

}  // namespace bkf
