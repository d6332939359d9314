// A fresh temporary directory for one test, removed with its contents when
// the object goes out of scope.
#pragma once

#include <string>

namespace bkf::testing {

class TempDir {
 public:
  // Under $TMPDIR, else /tmp.
  TempDir();
  // Under `base`.
  explicit TempDir(const std::string& base);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path()/name
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace bkf::testing
