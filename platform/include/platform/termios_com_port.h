#pragma once

#include <memory>
#include <string>

#include "platform/com_port.h"
#include "platform/export.h"

namespace platform {

// Opens a terminal device as a COM port, exclusively (TIOCEXCL and a
// non-blocking flock, so a second opener fails at once with
// ERROR_ACCESS_DENIED, root included). The port is raw from the start; the
// line settings in force are kept and closing leaves DTR and RTS as they are.
// termiosComPorts() opens COM numbers through this with comDevicePath().
PLATFORM_API std::unique_ptr<ComPort> openTermiosDevice(const std::string& path,
                                                        std::uint32_t& error);

}  // namespace platform
