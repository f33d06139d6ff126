#include "app/messages.h"

int VorlaneMessageBox(const std::string& text, unsigned type) {
    constexpr unsigned kIconMask = 0xF0;
    if ((type & kIconMask) == 0) type |= platform::MB_ICONWARNING;
    return platform::messageBox(text, kProgramName, type);
}
