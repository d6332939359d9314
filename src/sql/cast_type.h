// The target type of CAST, chosen by the parser from the written type name
// and carried unchanged into the virtual machine's Cast instruction.
#pragma once

#include <cstdint>

namespace bkf {

enum class CastType : std::uint8_t { Integer = 0, Real = 1, Text = 2 };

}  // namespace bkf
