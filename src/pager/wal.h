// Wal: the write-ahead log "{db path}-wal" and its in-memory index.
//
// The log is a sequence of frames from offset 0, each page size + 8 bytes:
//   0  4  page number (big-endian)
//   4  4  commit field: 0 for an ordinary frame; otherwise the frame ends a
//         transaction and holds the database's page count after it
//   8     the page's full content
// Every transaction ends with a commit frame for page 1 whose content is the
// header page image (encoded DbHeader, then zeros). There is no file header
// and no checksum: frames after the last commit frame, and a cut-off last
// frame, belong to no transaction and are ignored.
//
// The index maps every page of a committed frame to the file offset of its
// newest committed content. Rescans are incremental: when the last commit
// frame this Wal knows is still in place, only the frames after it are read.
//
// Locks on the log file (a connection's Wal has the file open once):
//   - the lock (VfsFile::lock): a reader outside a transaction holds it
//     shared for a whole statement, and whatever cuts the file (a
//     checkpoint) holds it exclusively. So no file offset a reader's index
//     points to changes under it: writers only ever write beyond the
//     committed end, where no index points. A writer waits for that lock
//     behind the statements in progress, and not behind readers that come
//     after it, unless one of those statements runs long
//     (lock_exclusive()).
//   - the side lock (VfsFile::side_lock): an append holds it exclusively
//     from its first byte written until its frames are published (its sync
//     returned) or taken back out; a scan holds it shared while it reads,
//     and a writer waiting for the exclusive lock holds it exclusively.
//     So no connection ever takes in the frames of a commit whose sync then
//     fails: a scan waits for that sync at most, never for a transaction.
//     Since every commit a connection takes in is one that the next writer
//     builds on, change counters only grow along the log.
//
// A tail: bytes after the last commit frame, left by an append that failed
// and could not be cut back, or by a writer that died while appending. A
// tail is never cut (only a checkpoint empties the log) and never written
// over: the next append first zeroes it (frames of page 0, which scans
// skip), makes that durable, and then writes its frames after it, at the
// end of the file. So between two checkpoints the log only grows, and
// whatever a connection once scanned stays as it was, or zeroed. That is
// what lets a connection skip the scan while the log keeps the length it
// scanned (unchanged()), tail and all:
//   - an append always makes the log longer;
//   - a checkpoint empties it, and whatever refills it cannot show the
//     connection's last commit frame (page 1, its page count and its change
//     counter) at the same place, since counters only grow;
//   - a log without a commit holds nothing the database file lacks, and a
//     checkpoint of any later commit changes the database file's header
//     (the pager compares its change counter instead).
// The only bytes ever cut without the exclusive lock are an append's own,
// which no scan has seen (the side lock is held); lock_exclusive() briefly
// makes the log longer under the side lock, and puts the length back.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/byte_buffer.h"
#include "base/result.h"
#include "pager/header.h"
#include "pager/page_map.h"
#include "pager/vfs.h"

namespace bkf {

class Wal {
 public:
  static constexpr std::size_t kFrameHeaderSize = 8;

  static std::string wal_path(const std::string& db_path) { return db_path + "-wal"; }

  // Opens "{db_path}-wal", creating it when absent (and then making its
  // directory entry durable), and scans it.
  static Result<std::unique_ptr<Wal>> open(Vfs& vfs, const std::string& db_path, std::uint32_t page_size);

  const std::string& path() const { return path_; }
  VfsFile& file() { return *file_; }
  std::uint32_t page_size() const { return page_size_; }
  std::uint64_t frame_size() const { return std::uint64_t{page_size_} + kFrameHeaderSize; }

  // True when the log holds at least one committed transaction.
  bool has_commit() const { return end_ != 0; }
  // File offset just past the last committed frame.
  std::uint64_t end() const { return end_; }
  // Page count recorded by the last commit frame (0 without a commit).
  std::uint32_t db_pages() const { return db_pages_; }
  // Distinct pages in committed frames, and frames up to the last commit
  // (zeroed ones included).
  std::size_t distinct_pages() const { return index_.size(); }
  std::uint64_t frame_count() const { return end_ / frame_size(); }
  // The file's length when the index was last brought up to date (a scan,
  // this connection's append or checkpoint).
  std::uint64_t scanned_size() const { return scanned_; }

  // Rebuilds the index from the file after another connection appended or
  // checkpointed, under the side lock (shared): with `wait`, waits for an
  // append whose sync has not returned, or for a writer waiting for the
  // exclusive lock. Without it, for a reader holding the lock (shared):
  // false, having read nothing, when the side lock is held exclusively.
  // Such a reader must not wait for it while holding the lock (the writer
  // holding it may be waiting for the lock), so it gives the lock up, waits
  // for the side lock (shared), and takes the lock again while holding it
  // (file().side_lock(), which the rescan then finds held by its own
  // handle, and releases).
  Result<bool> rescan(bool wait);
  // Whether the file, `size` bytes long by a look() made under the same
  // lock, still has the length it was scanned at and its last commit frame
  // is still in place, carrying `change_counter`: then nothing has been
  // committed or checkpointed since. False for a log without a commit (see
  // the file comment).
  Result<bool> unchanged(std::uint32_t change_counter, std::uint64_t size);
  // One look at the log: whether the file at path() is still the one this
  // Wal has open (another connection may have removed the log and made a
  // new one, and another program may have linked the removed log to a name
  // of its own), and the open file's length. One call on the open file;
  // the path is looked up as well only when the log has other names than
  // one, or the length remove() marks a removed log with (or when the file
  // layer cannot count names): only such a log can be a removed one that
  // kept a name elsewhere.
  struct Look {
    bool current = false;
    std::uint64_t size = 0;
  };
  Result<Look> look(Vfs& vfs);

  // Fills `buf` (page size bytes) with the newest committed copy of `page`;
  // false when the log does not hold the page.
  Result<bool> read_page(PageId page, std::uint8_t* buf);

  // Commit, in two steps. prepare_frames(n) sizes the reused frame buffer for
  // n frames, whose bytes it leaves as they were (ByteBuffer); frame(i,
  // page, commit) stores frame i's header and returns where its content
  // goes, which the caller fills, for every i below n. append(n, ...) takes the side lock, zeroes a
  // tail (see the file comment; synced whatever `sync` says), writes
  // the n frames at the end of the file in one positioned write, syncs the
  // log when `sync`, and then publishes them. When the write or the sync
  // fails, the frames are taken back out before any scan can see them: cut
  // off, or, when the cut fails, their commit frame overwritten with zeros
  // (which leaves a tail). A disk that refuses both leaves the commit in the
  // log, where every connection, this one included at its next rescan,
  // takes it as committed. The caller holds the database's exclusive lock
  // (no other append runs).
  //
  // When a signal ends the wait for the side lock, append() fails with
  // that error having written nothing, and wrote_nothing() says so (until
  // the next append): the same frames may be appended again.
  void prepare_frames(std::size_t n);
  std::uint8_t* frame(std::size_t i, PageId page, std::uint32_t commit_field);
  Status append(std::size_t n, bool sync);
  bool wrote_nothing() const { return wrote_nothing_; }
  // Gives back the frame buffer (and the scan's) when a large commit grew
  // it beyond what is kept between commits (base/kept_buffer.h).
  void release_large_buffers() noexcept;

  // Takes the lock exclusively (released with file().unlock()), waiting
  // for the statements in progress only.
  // Readers that come while it waits would otherwise be granted the shared
  // lock and could hold the writer off for ever; so a writer that has to
  // wait makes them queue behind it, for a window: it takes the side lock
  // and makes the log one byte longer (having zeroed a cut-off last frame,
  // durably, which that byte could complete). A reader that finds the
  // length changed must scan, which needs the side lock, so it gives its
  // shared lock up and waits behind the writer. The length is put back
  // before the side lock goes, so no scan ever sees it. When the window
  // ends first (a statement longer than it is in progress), the writer
  // lets readers go on for a while, waiting as they come and go, and then
  // opens the next window, twice as long; so the writer waits a few times
  // the longest statement in progress at most, and a long statement holds
  // the other readers off for a fraction of its length at most (wal.cc
  // says how much). On failure (a signal ending a wait included)
  // nothing is held and the log is as it was, but for a zeroed cut-off
  // frame. The caller holds the database's exclusive lock and no lock on
  // the log.
  Status lock_exclusive();

  // Copies every committed page into `db` (one write per run of consecutive
  // pages; pages numbered 0 or beyond the committed page count are skipped),
  // sets db's length to the committed page count, syncs db when `sync_db`,
  // then empties and syncs the log. The caller holds the log's exclusive
  // lock. A failure before the log is cut leaves the index as it was, so a
  // later checkpoint repeats the copy. A failed cut leaves the file whole
  // (a length change happens whole or not at all): the index still
  // describes it, and other connections may take it in again, which is
  // harmless, since it holds only copies of pages the database file has.
  // Once the file is empty the index is too, whether or not its sync then
  // fails; when it fails, the next append syncs the cut before it writes,
  // whatever its own sync flag. Nothing happens without a commit.
  Status checkpoint(VfsFile& db, bool sync_db, ByteBuffer& scratch);

  // Cuts the log file to one byte, which marks it as removed, and removes
  // it if it is still there. Committed frames not yet checkpointed are
  // lost with it. The caller holds the database's exclusive lock and drops
  // the Wal afterwards. A connection that still has the removed file open
  // tells it from the log at path() by its length and names (look()):
  // nothing writes to it once it is removed, since writers look before
  // they write.
  Status remove(Vfs& vfs);

 private:
  Wal(std::string path, std::unique_ptr<VfsFile> file, std::uint32_t page_size, FileId id)
      : path_(std::move(path)), file_(std::move(file)), page_size_(page_size), id_(id) {}
  // Forgets every commit, and the scanned length with them.
  void reset_index();
  // Whether the frame before end() is still the last commit frame this Wal
  // knows (page 1, its page count) and carries `counter`.
  Result<bool> last_commit_in_place(std::uint32_t counter);
  // Under the side lock, before an append: where its frames go (end(), or
  // past a tail, zeroed durably).
  Result<std::uint64_t> past_tail();
  // After a failed append of n frames at `at`, under the side lock: see
  // append().
  void take_back(std::uint64_t at, std::size_t n) noexcept;
  // One window of lock_exclusive(): true once the lock is held. A cut-off
  // last frame is zeroed unless `tail_inert` says an earlier window did,
  // and then it is set.
  Result<bool> wait_fairly(std::chrono::milliseconds window, bool& tail_inert);

  std::string path_;
  std::unique_ptr<VfsFile> file_;
  std::uint32_t page_size_;
  FileId id_;
  PageMap<std::uint64_t> index_;
  std::uint64_t end_ = 0;
  std::uint32_t db_pages_ = 0;
  std::uint32_t last_counter_ = 0;  // change counter inside the last commit frame
  std::uint64_t scanned_ = 0;       // see scanned_size()
  bool cut_unsynced_ = false;       // a checkpoint's cut whose sync failed
  bool wrote_nothing_ = false;      // see append()
  ByteBuffer frames_;                                       // reused commit buffer
  std::vector<std::pair<PageId, std::uint64_t>> pending_;   // reused by rescan
};

}  // namespace bkf
