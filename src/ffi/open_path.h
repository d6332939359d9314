// Opening a database from a path that arrives from outside the engine (a C
// string, a Python str), shared by both front doors.
#pragma once

#include <string_view>

#include "base/result.h"
#include "exec/engine/database.h"

namespace bkf {

// Opens (or creates) the database at path. A path holding a NUL byte is
// refused with the I/O error for an invalid argument (EINVAL): the operating
// system reads a path only up to its first NUL, so it would otherwise open a
// different file than the one named.
Result<Database> open_database_at(std::string_view path);

}  // namespace bkf
