// LoadBuffer_ and FreeBuffer_ on real files.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "talvex.h"

namespace {
// Run by the allocation of the next file buffer, once (see below).
void (*g_beforeNextBuffer)() = nullptr;
}  // namespace

// LoadBuffer_ allocates its buffer with the non-throwing array new, after it
// has taken the file's size and before it reads. Replacing that allocation
// here lets a test change the file in between, as another program could.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (void (*hook)() = g_beforeNextBuffer) {
        g_beforeNextBuffer = nullptr;
        hook();
    }
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

namespace fs = std::filesystem;

int g_notifications = 0;
void countNotification(void*) {
    ++g_notifications;
}

class LoadBufferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "loadbuffer-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        g_notifications = 0;
    }
    void TearDown() override { fs::remove_all(folder); }

    std::string writeFile(const std::string& name, const std::vector<unsigned char>& bytes) {
        const fs::path path = folder / name;
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    fs::path folder;
    // Values the call must not touch when it fails before reading.
    unsigned char sentinel = 0;
    unsigned char* buffer = &sentinel;
    unsigned long length = 12345;
};

TEST_F(LoadBufferTest, ReadsTheWholeFileAsRawBytes) {
    // Every byte value, line ends and a zero included: nothing is translated.
    std::vector<unsigned char> bytes(200);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 37);
    bytes[10] = '\r';
    bytes[11] = '\n';
    bytes[12] = 0x1A;
    std::string path = writeFile("pack.bin", bytes);

    ASSERT_EQ(LoadBuffer_(path.data(), &buffer, &length, countNotification), 0);
    ASSERT_EQ(length, 200u);
    EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + length), bytes);
    EXPECT_EQ(g_notifications, 0);  // the callback is accepted, never called
    EXPECT_EQ(FreeBuffer_(buffer), 0);
}

TEST_F(LoadBufferTest, AnEmptyFileGivesLengthZeroAndABufferToFree) {
    std::string path = writeFile("empty.bin", {});
    ASSERT_EQ(LoadBuffer_(path.data(), &buffer, &length, nullptr), 0);
    EXPECT_EQ(length, 0u);
    EXPECT_NE(buffer, nullptr);
    EXPECT_NE(buffer, &sentinel);
    EXPECT_EQ(FreeBuffer_(buffer), 0);
}

TEST_F(LoadBufferTest, WhatCannotBeOpenedAsAFileLeavesTheOutputsUntouched) {
    for (std::string path : {(folder / "missing.bin").string(), folder.string()}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(LoadBuffer_(path.data(), &buffer, &length, nullptr), FILE_ERROR);
        EXPECT_EQ(buffer, &sentinel);
        EXPECT_EQ(length, 12345u);
    }
}

// A kernel attribute file announces a size of a page but reads as a few bytes.
std::optional<std::string> fileShorterThanItsSize() {
    for (const char* candidate :
         {"/sys/kernel/uevent_seqnum", "/sys/kernel/profiling", "/sys/kernel/rcu_expedited",
          "/sys/kernel/cpu_byteorder", "/sys/power/state"}) {
        const int fd = ::open(candidate, O_RDONLY);
        if (fd < 0) continue;
        const off_t size = ::lseek(fd, 0, SEEK_END);
        ::lseek(fd, 0, SEEK_SET);
        std::vector<char> content(size > 0 ? static_cast<std::size_t>(size) : 1);
        const ssize_t got = ::read(fd, content.data(), content.size());
        ::close(fd);
        if (size > 0 && got >= 0 && got < size) return candidate;
    }
    return std::nullopt;
}

TEST_F(LoadBufferTest, AKernelAttributeFileThatReadsShorterThanItsSizeIsRefused) {
    std::optional<std::string> path = fileShorterThanItsSize();
    // Every Linux system with sysfs mounted has such files.
    if (!path && !fs::exists("/sys/kernel")) GTEST_SKIP() << "no sysfs mounted here";
    ASSERT_TRUE(path) << "no kernel attribute file reads shorter than its size";
    EXPECT_EQ(LoadBuffer_(path->data(), &buffer, &length, nullptr), FILE_ERROR);
    EXPECT_EQ(buffer, nullptr);  // freed, never handed out half-filled
}

std::string g_shrinkingFile;

TEST_F(LoadBufferTest, AFileCutShortWhileBeingLoadedIsRefused) {
    g_shrinkingFile = writeFile("pack.bin", std::vector<unsigned char>(300, 0x5A));
    // Another program cuts the file to 100 bytes once its size has been taken.
    g_beforeNextBuffer = [] { fs::resize_file(g_shrinkingFile, 100); };
    EXPECT_EQ(LoadBuffer_(g_shrinkingFile.data(), &buffer, &length, nullptr), FILE_ERROR);
    EXPECT_EQ(g_beforeNextBuffer, nullptr);  // the file did change in between
    EXPECT_EQ(fs::file_size(g_shrinkingFile), 100u);
    EXPECT_EQ(buffer, nullptr);  // freed, never handed out half-filled
}

TEST(FreeBuffer, AcceptsNull) {
    EXPECT_EQ(FreeBuffer_(nullptr), 0);
}

}  // namespace
