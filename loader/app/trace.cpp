#include "app/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"

void TraceMessage(int level, const char* format, ...) {
    if ((level & 0x1F) == 0) return;
    char line[512];
    int used = std::snprintf(line, sizeof line, "VORLANE %s", level == 1 ? "   " : "");
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + used, sizeof line - static_cast<std::size_t>(used), format, args);
    va_end(args);
    platform::debugOutput(line);
}
