#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace bkf::testing {

namespace {

std::string default_base() {
  const char* base = std::getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}

}  // namespace

TempDir::TempDir() : TempDir(default_base()) {}

TempDir::TempDir(const std::string& base) {
  std::string tmpl = base + "/bkf-test-XXXXXX";
  char* made = ::mkdtemp(tmpl.data());
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace bkf::testing
