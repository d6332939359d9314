// What the fuzz targets share: in-memory databases built once from SQL and
// copied for every input, damage applied to files as a list of patches, and
// the checks run on whatever opens.
//
// Each target is a function `int NAME_input(const uint8_t*, size_t)`. Built
// with libFuzzer (BKF_LIBFUZZER), each file also defines the fuzzer's entry
// point; in the normal build the replay test calls the functions on the
// seed corpora and on every input a fuzzer ever found failing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "exec/engine/database.h"
#include "support/mem_vfs.h"

namespace bkf::fuzz {

int sql_input(const std::uint8_t* data, std::size_t size);
int dbfile_input(const std::uint8_t* data, std::size_t size);
int logs_input(const std::uint8_t* data, std::size_t size);
int record_input(const std::uint8_t* data, std::size_t size);

// A bug the fuzzer must report even though nothing crashed: prints and
// aborts.
[[noreturn]] void fail(const std::string& what);

// Files of a database kept in memory, by the name beside the database
// ("" for the database itself, "-journal", "-wal").
struct Image {
  std::vector<std::uint8_t> db, journal, wal;
  bool has_journal = false, has_wal = false;
};

inline const std::string kPath = "/fuzz.db";

// The SQL of the database the targets start from: tables t (`rows` rows)
// and u with unique, plain and two-column indexes, rows spilling onto
// overflow pages, free pages, an added column.
std::string template_sql(int rows);

// Runs `setup` against a new database of `page_size`-byte pages and returns
// its files after the connection is closed.
Image build_image(std::uint32_t page_size, std::string_view setup);
// Puts an image's files into a fresh file layer.
void install(testing::MemVfs& vfs, const Image& image);

// Applies patches to bytes. Every 4 input bytes are one patch: a 16-bit
// big-endian offset (taken modulo the length), a byte, and an action
// (low two bits: 0 store the byte, 1 xor it in, 2 add it, 3 cut the file
// at the offset).
void apply_patches(std::vector<std::uint8_t>& bytes, const std::uint8_t* data, std::size_t size);

// Runs SQL and ignores the outcome.
void run(Database& db, std::string_view sql);
// integrity_check, queries over every table of the images, and a few
// writes; outcomes are ignored, only crashes, hangs and leaks count.
void exercise(Database& db);
// integrity_check and a query, for a second look after a reopen.
void check(Database& db);
// Puts the image into a fresh file layer, opens it, exercises it, closes it,
// then opens it again and checks it.
void open_twice(const Image& image);

}  // namespace bkf::fuzz
