// Shared by the translation units of the virtual machine.
#pragma once

#include <string_view>

#include "base/error.h"

namespace bkf::vm {

// A fault of the program or of the machine's use that no SQL input can
// cause (the compiler never emits such a program): reported as an Exec
// error whose text starts with "internal error: ", never as a crash.
Error internal_error(std::string_view what);

}  // namespace bkf::vm
