#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"

namespace {

const char* const kUsage =
    "Usage:\n"
    "  vorlane-plan sign FILE     write the check value into the plan FILE\n"
    "  vorlane-plan check [DIR]   check DIR/Vorlane.ini (default: the current directory)\n"
    "                             exactly as the loader does at start-up\n"
    "  vorlane-plan --help        show this text\n"
    "\n"
    "sign: the plan must hold the section header [HALVOR_OPTIONS], a carriage\n"
    "return and line feed, then CheckValue= followed by 8 characters (for\n"
    "instance KWOLPEBU); those 8 characters are replaced by the check value.\n"
    "\n"
    "check: prints the message the loader would show and exits with 1, or\n"
    "prints a summary of the plan's packs and exits with 0 when the loader\n"
    "would accept the plan. Pack files are looked for in DIR.\n";

bool isHelp(const char* arg) {
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0 ||
           std::strcmp(arg, "help") == 0;
}

int usageError(const char* why) {
    std::fprintf(stderr, "vorlane-plan: %s\n\n%s", why, kUsage);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usageError("a command is needed");
    std::string command = argv[1];
    for (int i = 1; i < argc; ++i) {
        if (isHelp(argv[i])) {
            std::fputs(kUsage, stdout);
            return kExitAccepted;
        }
    }
    if (command == "sign") {
        if (argc != 3) return usageError("sign takes one FILE");
        return SignPlan(argv[2]);
    }
    if (command == "check") {
        if (argc > 3) return usageError("check takes at most one DIR");
        return CheckPlan(argc == 3 ? argv[2] : ".");
    }
    return usageError(("unknown command: " + command).c_str());
}
