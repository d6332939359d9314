#include "c_test_util.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace bkf_ctest {

ScratchDir::ScratchDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "bkf_ffi_XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string last_error(BkfDb* db) {
  const char* e = bkf_last_error(db);
  return e != nullptr ? e : "";
}

std::string str(BkfDb* db, size_t row, size_t col) {
  const char* s = bkf_get_str(db, row, col);
  return s != nullptr ? s : "<null>";
}

}  // namespace bkf_ctest
