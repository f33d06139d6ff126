#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "app/vorlane_app.h"
#include "commands.h"
#include "plan/load_plan.h"
#include "plan/pack_path.h"
#include "plan/plan_text.h"

namespace {

int refused(const std::string& message) {
    std::printf("%s\n", message.c_str());
    return kExitRefused;
}

const char* packKind(int attribute) {
    switch (attribute) {
        case 0:
            return "firmware";
        case 1:
            return "application";
        case 2:
            return "application, first 512 bytes not sent";
        default:
            return "pause only";
    }
}

// The version block of a pack image: the printable text at the start of its
// bytes 256 to 511 (what the reader's copy is compared with).
std::string versionText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char block[256] = {};
    in.seekg(256);
    in.read(block, sizeof block);
    std::string text;
    for (std::streamsize i = 0; i < in.gcount() && block[i] >= 0x20 && block[i] < 0x7F; ++i)
        text += block[i];
    return text.empty() ? "-" : text;
}

void printSummary(const CVorlanePlan& plan) {
    std::printf("Plan accepted: %s\n", plan.IniPath().c_str());
    std::printf("  Reader model:   %s\n", Cp1252ToUtf8(plan.m_szCommercialName).c_str());
    std::printf("  Registry names:");
    for (int k = 0; k < plan.m_nMaxRegistryName; ++k)
        std::printf("%s %s", k == 0 ? "" : ",", Cp1252ToUtf8(plan.m_szRegistryName[k]).c_str());
    std::printf("%s\n", plan.m_nMaxRegistryName > 0 ? "" : " none");
    std::printf("  Serial ports:   %s\n", plan.m_bEnableSerialPorts ? "accepted" : "USB only");
    if (const LoadRecord* load = plan.CurrentLoad())
        std::printf("  Load:           %s\n", Cp1252ToUtf8(load->szLibelle).c_str());
    std::printf("  Packs:          %d\n", plan.m_nPackMaxNumber);
    const std::string prefix = CurrentDirectory() + "/";
    for (int i = 0; i < plan.m_nPackMaxNumber; ++i) {
        const PackRecord& pack = plan.m_packs[i];
        std::string shown =
            pack.strPath.rfind(prefix, 0) == 0 ? pack.strPath.substr(prefix.size()) : pack.strPath;
        std::printf("    %d. %s: attribute %d (%s), version block \"%s\", delay %d ms\n", i + 1,
                    shown.c_str(), pack.nAttribut, packKind(pack.nAttribut),
                    versionText(pack.strPath).c_str(), pack.nDelay);
    }
}

}  // namespace

int CheckPlan(const std::string& directory) {
    if (::chdir(directory.c_str()) != 0) {
        std::fprintf(stderr, "vorlane-plan: cannot enter %s: %s\n", directory.c_str(),
                     std::strerror(errno));
        return kExitUsage;
    }
    CVorlaneApp app;
    app.m_szIniPath = BuildIniPath();

    struct stat info;
    if (::stat(app.m_szIniPath.c_str(), &info) != 0)
        return refused(
            "Le fichier Vorlane.ini n'a pas été trouvé dans le répertoire courant.\n"
            "L'application va se terminer.");

    CVorlanePlan plan;
    plan.SetIniPath(app.m_szIniPath);
    plan.ClearLoadSlots();
    std::string message = CVorlanePlan::isIniFileCorrect(app.m_szIniPath);
    if (!message.empty()) return refused(message + "L'application va se terminer.");
    message = plan.ReadIniFile();
    if (!message.empty()) return refused(message);

    printSummary(plan);
    plan.FreeLoadRecords();
    return kExitAccepted;
}
