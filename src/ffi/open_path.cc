#include "ffi/open_path.h"

#include <cerrno>
#include <string>

namespace bkf {

Result<Database> open_database_at(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return Error::io(EINVAL);
  return Database::open(std::string(path));
}

}  // namespace bkf
