#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// Every saved input of the plan fuzz target runs through it again; a crash or
// a sanitizer report fails the test. The target leaves the current directory
// as it found it: the fuzzer reaches its corpus through relative paths.
TEST(FuzzCorpus, PlanInputsRunCleanly) {
    const std::filesystem::path startedIn = std::filesystem::current_path();
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(PLAN_CORPUS_DIR))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_FALSE(inputs.empty());
    for (const auto& input : inputs) {
        SCOPED_TRACE(input.filename().string());
        std::ifstream in(input, std::ios::binary);
        std::string bytes(std::istreambuf_iterator<char>(in), {});
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        ASSERT_EQ(std::filesystem::current_path(), startedIn);
    }
}

}  // namespace
