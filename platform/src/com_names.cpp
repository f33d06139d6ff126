#include "platform/com_names.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string_view>

namespace platform {

namespace {

struct TableRange {
    int firstCom;
    const char* prefix;
};
constexpr int kTableRangeSize = 32;
constexpr std::array<TableRange, 3> kDefaultTable = {{
    {1, "/dev/ttyS"},
    {33, "/dev/ttyUSB"},
    {65, "/dev/ttyACM"},
}};

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::string homeDirectory() {
    if (auto home = environment("HOME"); home && !home->empty()) return *home;
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr)
        return entry->pw_dir;
    return {};
}

std::string wineDosDevices() {
    if (auto prefix = environment("WINEPREFIX"); prefix && !prefix->empty())
        return *prefix + "/dosdevices";
    const std::string home = homeDirectory();
    if (home.empty()) return {};
    return home + "/.wine/dosdevices";
}

std::string entryName(int comNumber) {
    return "com" + std::to_string(comNumber);
}

bool entryExists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;  // a dangling link still names the port
}

std::string defaultTableDevice(int comNumber) {
    for (const TableRange& range : kDefaultTable) {
        if (comNumber >= range.firstCom && comNumber < range.firstCom + kTableRangeSize)
            return range.prefix + std::to_string(comNumber - range.firstCom);
    }
    return {};
}

// The number in "<prefix><digits>", or -1.
int numberAfter(std::string_view text, std::string_view prefix) {
    if (text.size() <= prefix.size() || text.substr(0, prefix.size()) != prefix) return -1;
    std::string_view digits = text.substr(prefix.size());
    if (digits.size() > 4 || (digits.size() > 1 && digits[0] == '0')) return -1;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The path with every link resolved. A link to a device that is not there
// (unplugged) is followed as text, so it still compares with the device name.
std::string canonical(const std::string& path, int depth = 8) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) return resolved;
    const ssize_t length = readlink(path.c_str(), resolved, sizeof resolved - 1);
    if (length <= 0 || depth == 0) return std::filesystem::path(path).lexically_normal().string();
    std::filesystem::path target(std::string(resolved, static_cast<std::size_t>(length)));
    if (target.is_relative()) target = std::filesystem::path(path).parent_path() / target;
    return canonical(target.string(), depth - 1);
}

// The lowest N whose entry "comN" in `folder` leads to `target`, or 0.
int lowestEntryLeadingTo(const std::string& folder, const std::string& target) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return 0;
    int best = 0;
    while (const dirent* entry = readdir(dir)) {
        const int number = numberAfter(entry->d_name, "com");
        if (number < 1 || (best != 0 && number >= best)) continue;
        if (canonical(folder + "/" + entry->d_name) == target) best = number;
    }
    closedir(dir);
    return best;
}

}  // namespace

std::string comDevicePath(int comNumber) {
    if (comNumber < 1) return {};
    if (auto folder = environment("TALVEX_COM_DIR")) return *folder + "/" + entryName(comNumber);
    if (const std::string dosDevices = wineDosDevices(); !dosDevices.empty()) {
        const std::string entry = dosDevices + "/" + entryName(comNumber);
        if (entryExists(entry)) return entry;
    }
    return defaultTableDevice(comNumber);
}

int comNumberOfDevice(const std::string& device) {
    if (device.empty()) return 0;
    const std::string target = canonical(device);
    if (auto folder = environment("TALVEX_COM_DIR")) return lowestEntryLeadingTo(*folder, target);

    const std::string dosDevices = wineDosDevices();
    int best = dosDevices.empty() ? 0 : lowestEntryLeadingTo(dosDevices, target);
    // A table number counts only when Wine names no other device for it.
    for (const TableRange& range : kDefaultTable) {
        const int index = numberAfter(target, range.prefix);
        if (index < 0 || index >= kTableRangeSize) continue;
        const int number = range.firstCom + index;
        const bool wineNamesIt =
            !dosDevices.empty() && entryExists(dosDevices + "/" + entryName(number));
        if (!wineNamesIt && (best == 0 || number < best)) best = number;
    }
    return best;
}

}  // namespace platform
