#pragma once

#include <cstdint>

namespace vsim {

// Text of an error code, or nullptr for a code the controller never reports.
const char* errorText(uint32_t code);

}  // namespace vsim
