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

bool wait_for_lock_waiter(const std::string& path, long max_spins, int waiters) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("probe: cannot stat " + path);
  const std::string inode = ":" + std::to_string(static_cast<unsigned long long>(st.st_ino)) + " ";
  std::string text;
  char buf[4096];
  for (long spin = 0; spin < max_spins; ++spin) {
    FILE* f = std::fopen("/proc/locks", "r");
    if (f == nullptr) throw std::runtime_error("probe: /proc/locks is not readable");
    int seen = 0;
    while (std::fgets(buf, sizeof buf, f) != nullptr) {
      const bool kind = std::strstr(buf, "FLOCK") != nullptr || std::strstr(buf, "OFDLCK") != nullptr;
      if (std::strstr(buf, "->") != nullptr && kind && std::strstr(buf, inode.c_str()) != nullptr) ++seen;
    }
    std::fclose(f);
    if (seen >= waiters) return true;
    std::this_thread::yield();
  }
  return false;
}

}  // namespace bkf::testing
