// What the benchmarks of the C interface share: calls that fail loudly,
// where their files go, their removal, and the process's resident memory.
// Only the public header is used, as in the programs themselves.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "brackenford.h"

namespace bkf_bench {

// Prints "<program>: <what>: <the handle's last error>" and exits with 1.
[[noreturn]] inline void die(BkfDb* db, const char* what) {
  const char* msg = db != nullptr ? bkf_last_error(db) : nullptr;
  std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, what, msg != nullptr ? msg : "(no message)");
  std::exit(1);
}

inline std::int64_t exec(BkfDb* db, const char* sql) {
  const std::int64_t n = bkf_exec(db, sql);
  if (n < 0) die(db, sql);
  return n;
}

inline BkfStmt* prepare(BkfDb* db, const char* sql) {
  BkfStmt* s = bkf_prepare(db, sql);
  if (s == nullptr) die(db, sql);
  return s;
}

// $TMPDIR, or /tmp: where a program puts its files unless --dir says.
inline std::string default_dir() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

// Removes a database file and its journal and log, where they are.
inline void remove_db_files(const std::string& path) {
  for (const char* suffix : {"", "-journal", "-wal"}) ::unlink((path + suffix).c_str());
}

// Resident memory of this process, in MB (-1 when it cannot be read).
inline long rss_mb() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atol(line + 6);
  }
  std::fclose(f);
  return kb < 0 ? -1 : kb / 1024;
}

// One transaction of `rows` prepared one-row INSERTs of a `bytes`-byte
// text into t(s).
inline void insert_texts(BkfDb* db, std::int64_t rows, std::size_t bytes) {
  BkfStmt* ins = prepare(db, "INSERT INTO t (s) VALUES (?)");
  const std::string text(bytes, 'x');
  exec(db, "BEGIN");
  for (std::int64_t i = 0; i < rows; ++i) {
    bkf_bind_text(ins, 0, text.c_str());
    if (bkf_exec_prepared(db, ins) != 1) die(db, "insert");
  }
  exec(db, "COMMIT");
  bkf_finalize(ins);
}

}  // namespace bkf_bench
