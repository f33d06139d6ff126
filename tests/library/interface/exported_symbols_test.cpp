// libtalvex.so exports exactly its interface: every name below and nothing
// else (the library builds with hidden visibility).

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// The exports built so far. A dialogue's export joins this table once it works.
const std::set<std::string> kExpectedExports = {
    // Buffers and the minor exports.
    "LoadBuffer_",
    "FreeBuffer_",
    "GetSerialNumber_",
    "OpenSession_",
    "CloseSession_",
    "_ZN5ParamaSERKS_",  // Param::operator=(const Param&)
    // Application download.
    "ApplicationDL_",
    "ApplicationDL_Lent_",
    // File read and write, test mode.
    "UploadData_",
    "DownloadData_",
    "testMode_",
    // Update package.
    "ThirdPartyUpdate_",
};

// The names the shared object defines in its dynamic symbol table.
std::set<std::string> definedDynamicSymbols(const char* path) {
    std::set<std::string> names;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return names;
    struct stat status {};
    ::fstat(fd, &status);
    const auto size = static_cast<std::size_t>(status.st_size);
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (mapped == MAP_FAILED) return names;

    const auto* base = static_cast<const unsigned char*>(mapped);
    const auto* header = reinterpret_cast<const Elf64_Ehdr*>(base);
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(base + header->e_shoff);
    for (int i = 0; i < header->e_shnum; ++i) {
        if (sections[i].sh_type != SHT_DYNSYM) continue;
        const Elf64_Shdr& strings = sections[sections[i].sh_link];
        const auto* symbols = reinterpret_cast<const Elf64_Sym*>(base + sections[i].sh_offset);
        const std::size_t count = sections[i].sh_size / sizeof(Elf64_Sym);
        for (std::size_t k = 1; k < count; ++k) {
            const Elf64_Sym& symbol = symbols[k];
            const int binding = ELF64_ST_BIND(symbol.st_info);
            if (symbol.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK))
                continue;
            std::string name(
                reinterpret_cast<const char*>(base + strings.sh_offset + symbol.st_name));
            // The start-up and sanitizer hooks the toolchain adds to every
            // object, and the type data of the platform's classes that an
            // instrumented build copies into each of their users.
            if (name == "_init" || name == "_fini" || name.rfind("__", 0) == 0 ||
                name.rfind("_ZTIN8platform", 0) == 0 || name.rfind("_ZTSN8platform", 0) == 0)
                continue;
            names.insert(name);
        }
    }
    ::munmap(mapped, size);
    return names;
}

TEST(ExportedSymbols, TheLibraryExportsExactlyItsInterface) {
    EXPECT_EQ(definedDynamicSymbols(TALVEX_LIBRARY_FILE), kExpectedExports);
}

}  // namespace
