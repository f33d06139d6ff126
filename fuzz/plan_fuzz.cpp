// Feeds arbitrary bytes, as the load plan Vorlane.ini of the current
// directory, to the integrity check and to the plan reader.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "plan/load_plan.h"

namespace {

char g_folder[] = "/tmp/plan_fuzzXXXXXX";

void removeFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(g_folder, ignored);
}

// A folder of its own, made the current directory once (removed at exit),
// with two pack files so that plans naming them get past the pack lookup.
const char* planFolder() {
    static const bool made = [] {
        if (::mkdtemp(g_folder) == nullptr || ::chdir(g_folder) != 0) std::abort();
        std::atexit(removeFolder);
        std::ofstream("fw.bin", std::ios::binary) << std::string(600, 'f');
        std::ofstream("App.BIN", std::ios::binary) << std::string(600, 'a');
        return true;
    }();
    (void)made;
    return g_folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = std::string(planFolder()) + "/Vorlane.ini";
    {
        std::ofstream plan(path, std::ios::binary | std::ios::trunc);
        plan.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    CVorlanePlan::isIniFileCorrect(path);
    CVorlanePlan plan;
    plan.SetIniPath(path);
    plan.ReadIniFile();
    return 0;
}
