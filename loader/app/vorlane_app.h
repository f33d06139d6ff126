#pragma once

#include <functional>
#include <memory>
#include <string>

#include "plan/load_plan.h"

// What the command line asked for: whether start-up may go on, and the port
// number of the "-nPort" option (0 when there was none).
struct CommandLineResult {
    bool accepted = true;
    int port = 0;
};

// Checks the command line (the text after the program name). A non-empty
// line must hold "-nPort" (exact case) followed by one character and a
// non-zero number; otherwise the matching message is shown (OK button) and
// the result is refused.
CommandLineResult CheckCommandLine(const std::string& commandLine);

// The command line as one text: the arguments after the program name joined
// with single blanks.
std::string CommandLineFromArguments(int argc, const char* const* argv);

// The program's version as the four-part text "1.2.3.4" from the file version
// written "1, 2, 3, 4"; "0.0.0.0" when there is none.
std::string VersionTextFromFileVersion(const char* fileVersion);

// The application object's start-up work, without any window: the main
// dialog is made and run by the front end through the two hooks.
class CVorlaneApp {
  public:
    CVorlaneApp();

    // Command line, main dialog, plan path, modal run, freeing of the load
    // records. `createDialog` receives the port of the command line (0 when
    // none) and returns the main dialog; `runModal` runs it until it closes.
    // Always false, as the framework's start hook returns when no message
    // loop follows.
    bool InitInstance(const std::string& commandLine,
                      const std::function<std::unique_ptr<CVorlanePlan>(int port)>& createDialog,
                      const std::function<void(CVorlanePlan& dialog)>& runModal);

    // The build's version, "0.0.0.0" when the build gave none.
    std::string GetProgramVersion() const;

    // Full path of the load plan: the current directory at start-up and
    // "/Vorlane.ini" (any length).
    std::string m_szIniPath;
    // Never Windows 98 here.
    unsigned char m_bNotWindows98;
};

// The plan path for the current directory.
std::string BuildIniPath();
