#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "plan/load_plan.h"
#include "plan/plan_crc.h"
#include "plan_fixture.h"
#include "platform/message_box.h"

namespace {

const std::string kNotOpened = "Erreur lecture du répertoire courant\n";
const std::string kNoMarker =
    "Impossible de trouver le champ HALVOR_OPTIONS\ndans le fichier .ini\n";
const std::string kBadCrc = "CRC Invalide.\n";

TEST(PlanCrc, KnownVectors) {
    auto crc = [](const char* text) {
        return PlanCrc16(reinterpret_cast<const unsigned char*>(text), std::strlen(text));
    };
    EXPECT_EQ(crc("abc"), 0x036C);
    EXPECT_EQ(crc("123456789"), 0xF5AD);
    EXPECT_EQ(crc(""), 0xA5BD ^ 0xFFFF);
    EXPECT_EQ(PlanCheckValue(0x036C), "69edc2f8");
    EXPECT_EQ(PlanCheckValue(0xF5AD), "9f2c3439");
    EXPECT_EQ(PlanCheckValue(0x6A81), "0000ab15");  // leading zeros kept
}

struct IntegrityCase {
    const char* name;
    std::string content;
    std::string expected;
};

class IntegrityCheck : public testing::TestWithParam<IntegrityCase> {};

TEST_P(IntegrityCheck, Verdict) {
    TempWorkDir dir;
    std::string path = dir.write("Vorlane.ini", GetParam().content);
    EXPECT_EQ(CVorlanePlan::isIniFileCorrect(path), GetParam().expected);
    EXPECT_EQ(dir.read("Vorlane.ini"), GetParam().content);  // never changed
}

const std::string kPlan =
    "[PRODUCT_TYPE]\r\nCommercialName=KV-30\r\n[HALVOR_OPTIONS]\r\nCheckValue=KWOLPEBU\r\n";

std::string flipped(std::string text, std::size_t at) {
    text[at] ^= 0x01;
    return text;
}

std::string upper(std::string text) {
    std::size_t at = FindCheckValue(text).value();
    for (std::size_t i = at; i < at + 8; ++i) text[i] = static_cast<char>(std::toupper(text[i]));
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntegrityCheck,
    testing::Values(
        IntegrityCase{"golden", "[HALVOR_OPTIONS]\r\nCheckValue=b3f318e6\r\n", ""},
        IntegrityCase{"signed", Signed(kPlan), ""},
        IntegrityCase{
            "signed_literal",
            "[PRODUCT_TYPE]\r\nCommercialName=KV-30\r\n[HALVOR_OPTIONS]\r\nCheckValue=e06d4b78\r\n",
            ""},
        IntegrityCase{"one_byte_changed", flipped(Signed(kPlan), 20), kBadCrc},
        IntegrityCase{"last_byte_changed", flipped(Signed(kPlan), kPlan.size() - 1), kBadCrc},
        IntegrityCase{"upper_case_value", upper(Signed(kPlan)), kBadCrc},
        IntegrityCase{"placeholder_left", kPlan, kBadCrc},
        IntegrityCase{"ends_inside_value", "[HALVOR_OPTIONS]\r\nCheckValue=b3f3", kBadCrc},
        IntegrityCase{"ends_at_marker", "[HALVOR_OPTIONS]\r\nCheckValue=", kBadCrc},
        IntegrityCase{"second_section_counts",
                      Signed(kPlan + "[HALVOR_OPTIONS]\r\nCheckValue=00000000\r\n"), ""},
        IntegrityCase{"second_section_changed",
                      Signed(kPlan + "[HALVOR_OPTIONS]\r\nCheckValue=00000000\r\n")
                          .replace(kPlan.size() + 29, 1, "1"),
                      kBadCrc},
        IntegrityCase{"line_feed_only", "[HALVOR_OPTIONS]\nCheckValue=b3f318e6\n", kNoMarker},
        IntegrityCase{"blank_before_equals", "[HALVOR_OPTIONS]\r\nCheckValue =b3f318e6\r\n",
                      kNoMarker},
        IntegrityCase{"lower_case_section", "[halvor_options]\r\nCheckValue=b3f318e6\r\n",
                      kNoMarker},
        IntegrityCase{"zero_byte_first", std::string("x\0", 2) + kPlan, kNoMarker},
        IntegrityCase{"empty", "", kNoMarker}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IntegrityCheckOpen, RefusedWhenTheFileCannotBeHadExclusively) {
    TempWorkDir dir;
    std::string plan = dir.write("Vorlane.ini", Signed(kPlan));
    ASSERT_EQ(CVorlanePlan::isIniFileCorrect(plan), "");

    EXPECT_EQ(CVorlanePlan::isIniFileCorrect(dir.path() + "/Absent.ini"), kNotOpened);
    EXPECT_EQ(CVorlanePlan::isIniFileCorrect(dir.path()), kNotOpened);  // a folder

    {  // open in another program
        int other = ::open(plan.c_str(), O_RDONLY);
        ASSERT_EQ(::flock(other, LOCK_SH), 0);
        EXPECT_EQ(CVorlanePlan::isIniFileCorrect(plan), kNotOpened);
        ::close(other);
        EXPECT_EQ(CVorlanePlan::isIniFileCorrect(plan), "");
    }

    // Read-only, even for root.
    ASSERT_EQ(::chmod(plan.c_str(), 0444), 0);
    EXPECT_EQ(CVorlanePlan::isIniFileCorrect(plan), kNotOpened);
}

TEST(IntegrityCheckOpen, LockIsReleasedAfterTheCheck) {
    TempWorkDir dir;
    std::string plan = dir.write("Vorlane.ini", "no marker");
    ASSERT_EQ(CVorlanePlan::isIniFileCorrect(plan), kNoMarker);
    int other = ::open(plan.c_str(), O_RDONLY);
    EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
}

}  // namespace
