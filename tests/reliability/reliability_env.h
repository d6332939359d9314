// Settings of the reliability tests, read from the environment so that a
// longer run can be asked for by hand (see README.md), and the fork helpers
// they share.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace bkf::reliability {

// The variable as a number, or `fallback` when it is unset or not a number.
inline std::uint64_t env_number(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  const unsigned long long n = std::strtoull(v, &end, 10);
  return *end == '\0' ? n : fallback;
}

// Sanitized builds run a few times slower: they get a smaller default.
inline std::uint64_t env_count(const char* name, std::uint64_t plain, std::uint64_t sanitized) {
#ifdef BKF_SANITIZED
  (void)plain;
  return env_number(name, sanitized);
#else
  (void)sanitized;
  return env_number(name, plain);
#endif
}

// The seed of the random choices: BKF_RELIABILITY_SEED, else fixed.
inline std::uint64_t env_seed() { return env_number("BKF_RELIABILITY_SEED", 20240611); }

// How a child ended, as text for a failure message.
inline std::string exit_text(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace bkf::reliability
