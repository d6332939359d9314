// The fuzz targets' functions over their seed corpora and over every input
// a fuzzer ever found failing (tests/fuzz/regressions/<target>/, each file
// named after what it found), so that the normal and the sanitized builds
// keep every fixed finding fixed.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/fuzz_common.h"

namespace bkf::fuzz {
namespace {

using Target = int (*)(const std::uint8_t*, std::size_t);

std::size_t replay(const std::string& target, Target fn) {
  std::size_t n = 0;
  for (const char* kind : {"corpus", "regressions"}) {
    const std::filesystem::path dir = std::filesystem::path(BKF_FUZZ_DIR) / kind / target;
    if (!std::filesystem::exists(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      SCOPED_TRACE(entry.path().string());
      fn(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++n;
    }
  }
  return n;
}

TEST(FuzzReplay, Sql) { EXPECT_GT(replay("sql", sql_input), 10u); }
TEST(FuzzReplay, DatabaseFiles) { EXPECT_GT(replay("dbfile", dbfile_input), 5u); }
TEST(FuzzReplay, JournalsAndLogs) { EXPECT_GT(replay("logs", logs_input), 5u); }
TEST(FuzzReplay, RecordsAndKeys) { EXPECT_GT(replay("record", record_input), 5u); }

}  // namespace
}  // namespace bkf::fuzz
