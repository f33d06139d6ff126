#pragma once

// Ends a dialogue at a step that the dialogue itself found failed (a write not
// taken whole, a read cut short, a record that does not fit): the port is
// closed first, then the step's trace line is written.

#include "platform/debug_output.h"
#include "serial/serial_link.h"

namespace talvex {

// Returns `status`, for the export to return.
inline int closeWithTrace(PortHandle& handle, const char* trace, int status) {
    ClosePort(handle);
    platform::debugOutput(trace);
    return status;
}

}  // namespace talvex
