#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/export.h"

namespace platform {

// The system debug output: each call writes its text exactly as given, so a
// line written in pieces stays in pieces. The sink is chosen once from
// TALVEX_DEBUG_OUTPUT: unset or empty for none, "stderr", or a file path
// (appended to). A DebugCapture, while it lives, receives every piece instead.
PLATFORM_API void debugOutput(std::string_view text);

// printf-style formatting into debugOutput.
PLATFORM_API void debugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Collects the debug output of every thread while it lives (for tests).
class PLATFORM_API DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    // The pieces as written.
    std::vector<std::string> pieces() const;
    // Everything written, concatenated.
    std::string text() const;
    // The text cut after each line feed (a trailing piece without one is a line too).
    std::vector<std::string> lines() const;
    void clear();

private:
    DebugCapture* previous_;
};

}  // namespace platform
