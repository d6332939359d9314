// Damaged database files: the template database (journal mode, or WAL mode
// with its log checkpointed, by the first byte) with the rest of the input
// applied as patches, then opened, checked, queried and written to.
// Whatever the damage, the result is a database or an Error, never a crash
// or a hang.

#include "fuzz/fuzz_common.h"

namespace bkf::fuzz {

int dbfile_input(const std::uint8_t* data, std::size_t size) {
  static const Image journal_mode = build_image(512, template_sql(40));
  static const Image wal_mode = build_image(512, template_sql(40) + "PRAGMA journal_mode = wal; PRAGMA wal_checkpoint");
  if (size == 0) return 0;
  Image image = data[0] & 1 ? wal_mode : journal_mode;
  apply_patches(image.db, data + 1, size - 1);
  open_twice(image);
  return 0;
}

}  // namespace bkf::fuzz

#ifdef BKF_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return bkf::fuzz::dbfile_input(data, size);
}
#endif
