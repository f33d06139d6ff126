#pragma once

// The system's message text for a last-error code, as shown to the user when
// a port cannot be closed.

#include <cstdint>
#include <string>

namespace talvex {

std::string systemMessage(std::uint32_t errorCode);

}  // namespace talvex
