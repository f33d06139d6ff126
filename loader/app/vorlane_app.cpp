#include "app/vorlane_app.h"

#include "app/messages.h"
#include "plan/pack_path.h"
#include "plan/plan_text.h"

CommandLineResult CheckCommandLine(const std::string& commandLine) {
    CommandLineResult result;
    if (commandLine.empty()) return result;
    std::size_t at = commandLine.find("-nPort");
    if (at == std::string::npos) {
        VorlaneMessageBox(
            "Argument de la ligne de commande invalide. Option attendue: -nPort=numéro du port",
            platform::MB_OK);
        result.accepted = false;
        return result;
    }
    // The number starts after "-nPort" and the one character that follows it;
    // a bare "-nPort" has no number.
    constexpr std::size_t kSkip = 7;
    std::string number = at + kSkip <= commandLine.size() ? commandLine.substr(at + kSkip) : "";
    result.port = LeadingInt(number.c_str());
    if (result.port == 0) {
        VorlaneMessageBox("Argument de la ligne de commande invalide. Exemple: -nPort=3",
                          platform::MB_OK);
        result.accepted = false;
    }
    return result;
}

std::string CommandLineFromArguments(int argc, const char* const* argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    return line;
}

std::string VersionTextFromFileVersion(const char* fileVersion) {
    if (fileVersion == nullptr || *fileVersion == '\0') return "0.0.0.0";
    // Each ", " becomes "." (a resource value 1, 2, 3, 4 reads 1.2.3.4).
    std::string text;
    for (const char* c = fileVersion; *c != '\0'; ++c) {
        if (c[0] == ',' && c[1] == ' ') {
            text += '.';
            ++c;
        } else {
            text += *c;
        }
    }
    return text;
}

std::string BuildIniPath() {
    return CurrentDirectory() + "/Vorlane.ini";
}

CVorlaneApp::CVorlaneApp() : m_bNotWindows98(1) {}

std::string CVorlaneApp::GetProgramVersion() const {
#ifdef VORLANE_FILE_VERSION
    return VersionTextFromFileVersion(VORLANE_FILE_VERSION);
#else
    return VersionTextFromFileVersion(nullptr);
#endif
}

bool CVorlaneApp::InitInstance(
    const std::string& commandLine,
    const std::function<std::unique_ptr<CVorlanePlan>(int port)>& createDialog,
    const std::function<void(CVorlanePlan& dialog)>& runModal) {
    CommandLineResult arguments = CheckCommandLine(commandLine);
    if (!arguments.accepted) return false;

    std::unique_ptr<CVorlanePlan> dialog = createDialog(arguments.port);
    m_szIniPath = BuildIniPath();
    dialog->SetIniPath(m_szIniPath);
    runModal(*dialog);
    dialog->FreeLoadRecords();
    return false;
}
