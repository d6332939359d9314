// Journals and logs left beside a database: a hot rollback journal left by
// a commit that died right before removing it, or a write-ahead log holding
// several commits and the torn start of another (by the first byte), with
// the rest of the input applied as patches to that file. The database is
// then opened (which recovers from the file), checked, queried, written to
// and opened again: an Error is fine, a crash or a hang is not.

#include "fuzz/fuzz_common.h"
#include "support/fault_vfs.h"

namespace bkf::fuzz {

namespace {

// Runs `setup` on the template, then `sql` through a file layer that dies
// at the first selected operation of `ops` from `nth` on, and returns the
// files as the dead process left them.
Image crashed(const std::string& setup, const std::string& sql, testing::FaultOp op, std::uint64_t nth, bool torn) {
  const Image base = build_image(512, template_sql(40) + setup);
  testing::MemVfs mem;
  install(mem, base);
  {
    testing::FaultVfs fault(mem);
    auto db = Database::open(fault, kPath);
    if (!db) fail("the template does not open");
    fault.arm(
        {.ops = static_cast<unsigned>(op), .nth = nth, .action = testing::FaultPlan::Action::Crash, .torn = torn});
    run(*db, sql);
    if (!fault.crashed()) fail("the template's commit did not reach its crash point");
  }
  Image out;
  out.db = mem.bytes(kPath);
  if ((out.has_journal = mem.exists(kPath + "-journal"))) out.journal = mem.bytes(kPath + "-journal");
  if ((out.has_wal = mem.exists(kPath + "-wal"))) out.wal = mem.bytes(kPath + "-wal");
  return out;
}

const char* const kChange =
    "BEGIN; UPDATE t SET body = concat(name, body) WHERE id % 3 = 0; DELETE FROM u WHERE x > 6; "
    "INSERT INTO t (name, v) VALUES ('crash', 99); CREATE INDEX t_vn ON t (v, name); COMMIT";

}  // namespace

int logs_input(const std::uint8_t* data, std::size_t size) {
  // The journal is complete and the database file already overwritten.
  static const Image hot_journal = crashed("", kChange, testing::FaultOp::Unlink, 1, false);
  // Two commits in the log, the third torn in its only write.
  static const Image wal = crashed("PRAGMA journal_mode = wal; UPDATE t SET v = v + 1; DELETE FROM t WHERE v = 3",
                                   kChange, testing::FaultOp::Write, 1, true);
  if (size == 0) return 0;
  Image image = data[0] & 1 ? wal : hot_journal;
  apply_patches(data[0] & 1 ? image.wal : image.journal, data + 1, size - 1);
  open_twice(image);
  return 0;
}

}  // namespace bkf::fuzz

#ifdef BKF_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return bkf::fuzz::logs_input(data, size);
}
#endif
