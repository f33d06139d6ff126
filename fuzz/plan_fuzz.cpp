// Feeds arbitrary bytes, as the load plan Vorlane.ini of the current
// directory, to the integrity check and to the plan reader.
#include <fcntl.h>
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

// A folder of its own (removed at exit), with two pack files so that plans
// naming them get past the pack lookup.
const std::string& planFolder() {
    static const std::string folder = [] {
        if (::mkdtemp(g_folder) == nullptr) std::abort();
        std::atexit(removeFolder);
        std::string made = g_folder;
        std::ofstream(made + "/fw.bin", std::ios::binary) << std::string(600, 'f');
        std::ofstream(made + "/App.BIN", std::ios::binary) << std::string(600, 'a');
        return made;
    }();
    return folder;
}

// Makes `folder` the current directory while it lives (the plan reader looks
// for packs there), then goes back: the fuzzer reads and writes its corpus
// through paths relative to the directory it was started in.
class InFolder {
  public:
    explicit InFolder(const std::string& folder)
        : previous_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (previous_ < 0 || ::chdir(folder.c_str()) != 0) std::abort();
    }
    ~InFolder() {
        if (::fchdir(previous_) != 0) std::abort();
        ::close(previous_);
    }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

  private:
    int previous_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = planFolder() + "/Vorlane.ini";
    {
        std::ofstream plan(path, std::ios::binary | std::ios::trunc);
        plan.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    InFolder inFolder(planFolder());
    CVorlanePlan::isIniFileCorrect(path);
    CVorlanePlan plan;
    plan.SetIniPath(path);
    plan.ReadIniFile();
    return 0;
}
