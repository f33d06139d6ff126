#include "platform/profile.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace platform {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    return true;
}

struct Entry {
    std::string key;
    std::string value;
};

struct Section {
    std::string name;
    std::vector<Entry> entries;
};

// The sections of the file in file order; empty when it cannot be read.
// Lines before the first section header belong to no section.
std::vector<Section> loadProfile(const std::string& path) {
    std::vector<Section> sections;
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr) return sections;
    std::string content;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
    std::fclose(file);

    std::string_view rest(content);
    while (!rest.empty()) {
        std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);

        line = trim(line);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            std::string_view name = line.substr(1);
            std::size_t close = name.rfind(']');
            if (close != std::string_view::npos) name = name.substr(0, close);
            sections.push_back({std::string(trim(name)), {}});
            continue;
        }
        if (sections.empty()) continue;
        std::size_t equals = line.find('=');
        std::string_view key = trim(line.substr(0, equals));
        std::string_view value =
            equals == std::string_view::npos ? std::string_view{} : trim(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        sections.back().entries.push_back({std::string(key), std::string(value)});
    }
    return sections;
}

// The value of the first matching key of the first matching section.
const std::string* findValue(const std::vector<Section>& sections, std::string_view section,
                             std::string_view key) {
    section = trim(section);
    key = trim(key);
    for (const Section& candidate : sections) {
        if (!equalNoCase(candidate.name, section)) continue;
        for (const Entry& entry : candidate.entries)
            if (equalNoCase(entry.key, key)) return &entry.value;
        return nullptr;
    }
    return nullptr;
}

std::uint32_t copyCut(std::string_view text, char* buffer, std::uint32_t size) {
    if (size == 0) return 0;
    std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<std::uint32_t>(n);
}

}  // namespace

std::uint32_t getPrivateProfileString(const char* section, const char* key,
                                      const char* defaultValue, char* buffer, std::uint32_t size,
                                      const std::string& path) {
    if (section != nullptr && key != nullptr) {
        std::vector<Section> sections = loadProfile(path);
        if (const std::string* value = findValue(sections, section, key))
            return copyCut(*value, buffer, size);
    }
    std::string_view fallback = defaultValue != nullptr ? defaultValue : "";
    while (!fallback.empty() && isBlank(fallback.back())) fallback.remove_suffix(1);
    return copyCut(fallback, buffer, size);
}

std::uint32_t getPrivateProfileSectionNames(char* buffer, std::uint32_t size,
                                            const std::string& path) {
    if (size == 0) return 0;
    std::string list;  // every name followed by its zero
    for (const Section& section : loadProfile(path)) {
        if (section.name.empty()) continue;
        list += section.name;
        list += '\0';
    }
    if (list.size() + 1 <= size) {
        std::memcpy(buffer, list.data(), list.size());
        buffer[list.size()] = '\0';
        if (list.empty() && size >= 2) buffer[1] = '\0';
        return static_cast<std::uint32_t>(list.size());
    }
    if (size < 2) {
        buffer[0] = '\0';
        return 0;
    }
    std::memcpy(buffer, list.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    return size - 2;
}

std::string profileString(const char* section, const char* key, const std::string& path,
                          const char* defaultValue, std::uint32_t size) {
    std::vector<char> buffer(size == 0 ? 1 : size);
    std::uint32_t n =
        getPrivateProfileString(section, key, defaultValue, buffer.data(), size, path);
    return std::string(buffer.data(), n);
}

}  // namespace platform
