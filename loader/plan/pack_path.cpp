#include "plan/pack_path.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "plan/plan_text.h"

namespace {

bool exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// Simple case folding over the letters Windows-1252 holds.
char32_t fold(char32_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
    switch (c) {
        case 0x0160:
            return 0x0161;
        case 0x0152:
            return 0x0153;
        case 0x017D:
            return 0x017E;
        case 0x0178:
            return 0x00FF;
        default:
            return c;
    }
}

// Decodes UTF-8; false when `bytes` is not valid UTF-8.
bool decodeUtf8(std::string_view bytes, std::u32string& out) {
    out.clear();
    for (std::size_t i = 0; i < bytes.size();) {
        unsigned char lead = static_cast<unsigned char>(bytes[i]);
        int extra = lead < 0x80           ? 0
                    : (lead >> 5) == 0x6  ? 1
                    : (lead >> 4) == 0xE  ? 2
                    : (lead >> 3) == 0x1E ? 3
                                          : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= bytes.size()) return false;
        char32_t c = extra == 0 ? lead : (lead & (0x3F >> extra));
        for (int k = 1; k <= extra; ++k) {
            unsigned char next = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
            if ((next & 0xC0) != 0x80) return false;
            c = (c << 6) | (next & 0x3F);
        }
        out += fold(c);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

std::u32string foldCp1252(std::string_view bytes) {
    std::u32string out;
    for (char b : bytes) out += fold(Cp1252CodePoint(static_cast<unsigned char>(b)));
    return out;
}

// Whether a directory entry is the component written in the plan.
bool sameName(std::string_view entry, std::string_view component) {
    std::u32string wanted = foldCp1252(component);
    std::u32string onDisk;
    if (decodeUtf8(entry, onDisk) && onDisk == wanted) return true;
    return foldCp1252(entry) == wanted;
}

// The entry of `directory` matching `component`; the smallest name when
// several differ only in case.
std::optional<std::string> findEntry(const std::string& directory, std::string_view component) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return std::nullopt;
    std::optional<std::string> found;
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (sameName(name, component) && (!found || name < *found)) found = std::string(name);
    }
    ::closedir(dir);
    return found;
}

}  // namespace

std::string CurrentDirectory() {
    std::vector<char> buffer(256);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return ".";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

std::optional<std::string> FindPackFile(const std::string& directory, std::string_view name) {
    std::string relative(name);
    for (char& c : relative)
        if (c == '\\') c = '/';
    std::string exact = directory + "/" + relative;
    if (exists(exact)) return exact;

    std::string current = directory;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        std::string_view component = std::string_view(relative).substr(start, end - start);
        start = end + 1;
        std::string candidate = current + "/" + std::string(component);
        if (component.empty() || component == "." || component == ".." || exists(candidate)) {
            current = std::move(candidate);
            continue;
        }
        std::optional<std::string> entry = findEntry(current, component);
        if (!entry) return std::nullopt;
        current += "/" + *entry;
    }
    if (!exists(current)) return std::nullopt;
    return current;
}
