#pragma once

#include <string>

#include "platform/message_box.h"

// The program's name: the caption of its message boxes.
inline constexpr const char* kProgramName = "Vorlane";

// A message box captioned with the program's name. With no icon named in
// `type` the warning icon is shown. Returns the button pressed.
int VorlaneMessageBox(const std::string& text, unsigned type = platform::MB_OK);

// Runs one larger step of the loader. Any exception raised inside it shows
// `unknownErrorText` ("Unknown error in " or "Unknown Error in " and the
// step's name) with an OK button; the step then counts as failed (false).
template <typename Step>
bool RunGuardedStep(const char* unknownErrorText, Step&& step) {
    try {
        step();
        return true;
    } catch (...) {
        VorlaneMessageBox(unknownErrorText, platform::MB_OK);
        return false;
    }
}
