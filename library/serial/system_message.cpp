#include "serial/system_message.h"

#include <cstdio>

#include "platform/com_port.h"

namespace talvex {

std::string systemMessage(std::uint32_t errorCode) {
    switch (errorCode) {
        case platform::ERROR_SUCCESS:
            return "The operation completed successfully.";
        case platform::ERROR_FILE_NOT_FOUND:
            return "The system cannot find the file specified.";
        case platform::ERROR_ACCESS_DENIED:
            return "Access is denied.";
        case platform::ERROR_INVALID_HANDLE:
            return "The handle is invalid.";
        case platform::ERROR_GEN_FAILURE:
            return "A device attached to the system is not functioning.";
        case platform::ERROR_SHARING_VIOLATION:
            return "The process cannot access the file because it is being used by another "
                   "process.";
        case platform::ERROR_INVALID_PARAMETER:
            return "The parameter is incorrect.";
        case platform::ERROR_IO_PENDING:
            return "Overlapped I/O operation is in progress.";
        case platform::ERROR_DEVICE_REMOVED:
            return "The device has been removed.";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "Unknown error %u.", errorCode);
            return text;
        }
    }
}

}  // namespace talvex
