#include "support/lock_probe.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace bkf::testing {

bool lock_would_block(const std::string& path, bool exclusive) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("probe: cannot open " + path);
  bool blocked = false;
  if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) {
      ::close(fd);
      throw std::runtime_error("probe: flock failed");
    }
    blocked = true;
  }
  ::close(fd);
  return blocked;
}

namespace {

// Spins until at least `wanted` lines of /proc/locks about the file at
// `path` pass `match`, or `max_spins` looks have not found them.
template <typename Match>
bool wait_for_lines(const std::string& path, long max_spins, int wanted, Match match) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("probe: cannot stat " + path);
  const std::string inode = ":" + std::to_string(static_cast<unsigned long long>(st.st_ino)) + " ";
  char buf[4096];
  for (long spin = 0; spin < max_spins; ++spin) {
    FILE* f = std::fopen("/proc/locks", "r");
    if (f == nullptr) throw std::runtime_error("probe: /proc/locks is not readable");
    int seen = 0;
    while (std::fgets(buf, sizeof buf, f) != nullptr) {
      if (std::strstr(buf, inode.c_str()) != nullptr && match(buf)) ++seen;
    }
    std::fclose(f);
    if (seen >= wanted) return true;
    std::this_thread::yield();
  }
  return false;
}

}  // namespace

bool wait_for_lock_waiter(const std::string& path, long max_spins, int waiters) {
  return wait_for_lines(path, max_spins, waiters, [](const char* line) {
    const bool kind = std::strstr(line, "FLOCK") != nullptr || std::strstr(line, "OFDLCK") != nullptr;
    return kind && std::strstr(line, "->") != nullptr;
  });
}

bool wait_for_side_lock_holder(const std::string& path, long max_spins) {
  return wait_for_lines(path, max_spins, 1, [](const char* line) {
    return std::strstr(line, "OFDLCK") != nullptr && std::strstr(line, "WRITE") != nullptr &&
           std::strstr(line, "->") == nullptr;
  });
}

}  // namespace bkf::testing
