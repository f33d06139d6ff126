#include "platform/com_names.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Sets or clears an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = getenv(name)) previous_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (previous_)
            setenv(name_, previous_->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> previous_;
};

// A scratch folder with a few "devices" (plain files) and link folders; the
// environment starts with neither TALVEX_COM_DIR nor a Wine prefix, and HOME
// points at an empty folder so the machine's own ~/.wine never counts.
class ComNames : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "com-names-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        fs::create_directories(root_ / "home");
        fs::create_directories(root_ / "dev");
        for (const char* name : {"reader", "modem", "other"}) std::ofstream(root_ / "dev" / name);
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string device(const char* name) const { return (root_ / "dev" / name).string(); }

    // A folder of comN links: {N, target}.
    std::string linkFolder(const char* name,
                           const std::vector<std::pair<int, std::string>>& links) {
        const fs::path folder = root_ / name;
        fs::create_directories(folder);
        for (const auto& [number, target] : links)
            fs::create_symlink(target, folder / ("com" + std::to_string(number)));
        return folder.string();
    }

    fs::path root_;
    ScopedEnv comDir_{"TALVEX_COM_DIR", std::nullopt};
    ScopedEnv winePrefix_{"WINEPREFIX", std::nullopt};
    std::optional<ScopedEnv> home_;

  public:
    void useHome() { home_.emplace("HOME", (root_ / "home").string()); }
};

TEST_F(ComNames, DefaultTableAtItsBoundaries) {
    useHome();
    const std::vector<std::pair<int, std::string>> table = {
        {1, "/dev/ttyS0"},
        {32, "/dev/ttyS31"},
        {33, "/dev/ttyUSB0"},
        {64, "/dev/ttyUSB31"},
        {65, "/dev/ttyACM0"},
        {96, "/dev/ttyACM31"},
        {97, ""},
        {256, ""},
        {0, ""},
        {-3, ""},
    };
    for (const auto& [number, path] : table) {
        EXPECT_EQ(platform::comDevicePath(number), path) << "COM" << number;
        if (!path.empty()) {
            EXPECT_EQ(platform::comNumberOfDevice(path), number) << path;
        }
    }
    for (const char* stranger : {"/dev/ttyS32", "/dev/ttyUSB32", "/dev/ttyACM", "/dev/ttyS01",
                                 "/dev/ttyS1x", "/dev/ttyAMA0", "", "/dev/null"})
        EXPECT_EQ(platform::comNumberOfDevice(stranger), 0) << stranger;
}

TEST_F(ComNames, ComDirIsConsultedAloneWhenSet) {
    useHome();
    const std::string wine = linkFolder("wine/dosdevices", {{5, device("modem")}});
    const std::string dir = linkFolder("coms", {{12, device("reader")}, {4, device("reader")}});
    ScopedEnv prefix("WINEPREFIX", (root_ / "wine").string());
    ScopedEnv comDir("TALVEX_COM_DIR", dir);

    EXPECT_EQ(platform::comDevicePath(12), dir + "/com12");
    EXPECT_EQ(platform::comDevicePath(5), dir + "/com5");    // not Wine's, even though absent here
    EXPECT_EQ(platform::comDevicePath(40), dir + "/com40");  // nor the default table
    EXPECT_EQ(platform::comNumberOfDevice(device("reader")), 4);  // the lowest of two links
    EXPECT_EQ(platform::comNumberOfDevice(dir + "/com12"), 4);    // same device behind it
    EXPECT_EQ(platform::comNumberOfDevice(device("modem")), 0);
    EXPECT_EQ(platform::comNumberOfDevice("/dev/ttyS0"), 0);
}

TEST_F(ComNames, WineDosDevicesComeBeforeTheDefaultTable) {
    useHome();
    const std::string dos = linkFolder(
        "prefix/dosdevices", {{3, device("reader")}, {40, "/dev/ttyS9"}, {7, "/nowhere"}});
    ScopedEnv prefix("WINEPREFIX", (root_ / "prefix").string());

    EXPECT_EQ(platform::comDevicePath(3), dos + "/com3");
    EXPECT_EQ(platform::comDevicePath(7), dos + "/com7");  // a dangling link still names COM7
    EXPECT_EQ(platform::comDevicePath(4), "/dev/ttyS3");   // Wine has no com4
    EXPECT_EQ(platform::comNumberOfDevice(device("reader")), 3);
    EXPECT_EQ(platform::comNumberOfDevice("/dev/ttyS5"), 6);
    // COM3 leads elsewhere under Wine, so ttyS2 has no number; ttyS9 is COM40 there.
    EXPECT_EQ(platform::comNumberOfDevice("/dev/ttyS2"), 0);
    EXPECT_EQ(platform::comNumberOfDevice("/dev/ttyS9"), 10);
    EXPECT_EQ(platform::comNumberOfDevice(device("other")), 0);
}

TEST_F(ComNames, WinePrefixDefaultsToDotWineInHome) {
    useHome();
    const std::string dos = linkFolder("home/.wine/dosdevices", {{2, device("reader")}});
    EXPECT_EQ(platform::comDevicePath(2), dos + "/com2");
    EXPECT_EQ(platform::comNumberOfDevice(device("reader")), 2);
    EXPECT_EQ(platform::comDevicePath(1), "/dev/ttyS0");
}

}  // namespace
