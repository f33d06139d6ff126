#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "plan/plan_crc.h"

// A fresh folder that is the current directory while the object lives.
class TempWorkDir {
  public:
    TempWorkDir() : previous_(std::filesystem::current_path()) {
        char pattern[] = "/tmp/vorlane_testXXXXXX";
        path_ = ::mkdtemp(pattern);
        std::filesystem::current_path(path_);
    }
    ~TempWorkDir() {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempWorkDir(const TempWorkDir&) = delete;
    TempWorkDir& operator=(const TempWorkDir&) = delete;

    const std::string& path() const { return path_; }

    // Writes `bytes` to `name` (relative to the folder; folders are created).
    std::string write(const std::string& name, const std::string& bytes) const {
        std::filesystem::path file = std::filesystem::path(path_) / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
        return file.string();
    }

    std::string read(const std::string& name) const {
        std::ifstream in(std::filesystem::path(path_) / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

  private:
    std::string previous_;
    std::string path_;
};

// `text` with the right check value after its first marker (the 8 bytes
// after the marker must be there).
inline std::string Signed(std::string text) {
    std::size_t at = FindCheckValue(text).value();
    text.replace(at, kCheckValueSize, kCheckValuePlaceholder);
    std::string value =
        PlanCheckValue(PlanCrc16(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
    text.replace(at, kCheckValueSize, value);
    return text;
}
