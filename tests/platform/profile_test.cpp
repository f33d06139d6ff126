#include "platform/profile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class ProfileFile {
  public:
    explicit ProfileFile(const std::string& content) {
        char pattern[] = "/tmp/profile_testXXXXXX";
        int fd = mkstemp(pattern);
        EXPECT_GE(fd, 0);
        close(fd);
        path_ = pattern;
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~ProfileFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

struct ValueCase {
    const char* name;
    std::string content;
    const char* section;
    const char* key;
    const char* defaultValue;
    std::string expected;
};

class ProfileValue : public testing::TestWithParam<ValueCase> {};

TEST_P(ProfileValue, ReadsAsWindowsWould) {
    const ValueCase& c = GetParam();
    ProfileFile file(c.content);
    EXPECT_EQ(platform::profileString(c.section, c.key, file.path(), c.defaultValue), c.expected);
}

const std::string kCp1252 = "[S]\r\nTexte=Vérifier \xE9t\xE9\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileValue,
    testing::Values(
        ValueCase{"plain", "[S]\nK=v\n", "S", "K", "", "v"},
        ValueCase{"crlf", "[S]\r\nK=v\r\nL=w\r\n", "S", "L", "", "w"},
        ValueCase{"names_ignore_case", "[Load_Param]\nTitre=t\n", "LOAD_PARAM", "TITRE", "", "t"},
        ValueCase{"blanks_dropped", "[S]\n  K  =   a b  \t\n", "S", "K", "", "a b"},
        ValueCase{"blank_section_header", "  [ S ]  \nK=v\n", "S", "K", "", "v"},
        ValueCase{"double_quotes_removed", "[S]\nK= \"a b\" \n", "S", "K", "", "a b"},
        ValueCase{"single_quotes_removed", "[S]\nK='x'\n", "S", "K", "", "x"},
        ValueCase{"one_pair_only", "[S]\nK=\"\"x\"\"\n", "S", "K", "", "\"x\""},
        ValueCase{"unbalanced_quotes_kept", "[S]\nK=\"x'\n", "S", "K", "", "\"x'"},
        ValueCase{"lone_quote_kept", "[S]\nK=\"\n", "S", "K", "", "\""},
        ValueCase{"first_key_wins", "[S]\nK=1\nk=2\n", "S", "K", "", "1"},
        ValueCase{"first_section_wins", "[S]\nA=1\n[s]\nA=2\nB=3\n", "S", "B", "d", "d"},
        ValueCase{"value_keeps_equals", "[S]\nK=a=b\n", "S", "K", "", "a=b"},
        ValueCase{"value_keeps_semicolon", "[S]\nK=a ; b\n", "S", "K", "", "a ; b"},
        ValueCase{"comment_line", "[S]\n;K=c\nK=v\n", "S", "K", "", "v"},
        ValueCase{"line_without_equals_is_empty_key", "[S]\nK\nK=v\n", "S", "K", "d", ""},
        ValueCase{"empty_value_is_not_default", "[S]\nK=\n", "S", "K", "d", ""},
        ValueCase{"missing_key", "[S]\nK=v\n", "S", "X", "def", "def"},
        ValueCase{"missing_section", "[S]\nK=v\n", "T", "K", "def", "def"},
        ValueCase{"key_before_any_section", "K=v\n[S]\n", "S", "K", "def", "def"},
        ValueCase{"default_trailing_blanks", "[S]\n", "S", "K", "a b  ", "a b"},
        ValueCase{"null_default", "[S]\n", "S", "K", nullptr, ""},
        ValueCase{"no_line_end_at_eof", "[S]\nK=v", "S", "K", "", "v"},
        ValueCase{"bytes_kept", kCp1252, "S", "Texte", "", "Vérifier \xE9t\xE9"},
        ValueCase{"header_without_close", "[S\nK=v\n", "S", "K", "", "v"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Profile, MissingFileGivesDefault) {
    EXPECT_EQ(platform::profileString("S", "K", "/nonexistent/dir/x.ini", "def"), "def");
    char buffer[8] = "xxxxxxx";
    EXPECT_EQ(platform::getPrivateProfileSectionNames(buffer, sizeof buffer, "/nonexistent/x.ini"),
              0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '\0');
}

TEST(Profile, ValueIsCutAtTheBufferSize) {
    std::string longValue(3000, 'a');
    longValue[2046] = 'y';
    longValue[2047] = 'z';
    ProfileFile file("[S]\nK=" + longValue + "\n");
    std::vector<char> buffer(platform::kProfileBufferSize, 'x');
    std::uint32_t n = platform::getPrivateProfileString("S", "K", "", buffer.data(),
                                                        platform::kProfileBufferSize, file.path());
    EXPECT_EQ(n, 2047u);
    EXPECT_EQ(buffer[2046], 'y');
    EXPECT_EQ(buffer[2047], '\0');

    char small[4];
    EXPECT_EQ(platform::getPrivateProfileString("S", "Missing", "default", small, sizeof small,
                                                file.path()),
              3u);
    EXPECT_STREQ(small, "def");
    EXPECT_EQ(platform::getPrivateProfileString("S", "K", "", small, 0, file.path()), 0u);
}

TEST(Profile, SectionNamesAreZeroSeparated) {
    ProfileFile file("[PRODUCT_TYPE]\nA=1\n[load1]\n[]\n[LOAD1]\nB=2\n");
    char buffer[64];
    std::uint32_t n = platform::getPrivateProfileSectionNames(buffer, sizeof buffer, file.path());
    EXPECT_EQ(std::string(buffer, n + 1), std::string("PRODUCT_TYPE\0load1\0LOAD1\0\0", 26));

    // Too small: the last name that does not fit is cut, two zeros close the list.
    char small[10];
    n = platform::getPrivateProfileSectionNames(small, sizeof small, file.path());
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(std::string(small, sizeof small), std::string("PRODUCT_\0\0", 10));
}

}  // namespace
