#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "plan/load_plan.h"
#include "plan_fixture.h"

namespace {

// A plan that reads without error when fw.bin and sub/app.bin exist.
const std::string kPlan =
    "[PRODUCT_TYPE]\r\n"
    "CommercialName=Lecteur KV-30\r\n"
    "ReaderImagePng=kv30.png\r\n"
    "MaxRegistryName=2\r\n"
    "RegistryName1=KV30 USB\r\n"
    "RegistryName2=KV30 CDC\r\n"
    "EnableSerialPorts=1\r\n"
    "[LOAD_PARAM]\r\n"
    "Titre=Mise \xE0 jour\r\n"
    "Copyright=\"(C) Kerlin\"\r\n"
    "[LOAD1]\r\n"
    "Libelle=Charge\\nment\r\n"
    "DescriptionDetaillee=Ligne 1\\nLigne 2\r\n"
    "EraseDF=007\r\n"
    "QuestionErasseDF=Effacer ?\\nOui\r\n"
    "MsgErrVersion=Version\\nincorrecte\r\n"
    "PackMaxNumber=2\r\n"
    "Pack1=fw.bin\r\n"
    "PackAttribut1=0\r\n"
    "Delay1=abc\r\n"
    "Pack2=Sub\\App.BIN\r\n"
    "PackAttribut2=1\r\n"
    "PackVerifierVersion2=3\r\n"
    "Delay2=500\r\n";

// kPlan with texts replaced, in order (a replacement by "" removes the text).
std::string edited(std::initializer_list<std::pair<std::string, std::string>> edits) {
    std::string text = kPlan;
    for (const auto& [from, to] : edits) {
        std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) text.replace(at, from.size(), to);
    }
    return text;
}

std::string edited(const std::string& from, const std::string& to) {
    return edited({{from, to}});
}

class PlanReader : public testing::Test {
  protected:
    void SetUp() override {
        dir_.write("fw.bin", std::string(600, 'f'));
        dir_.write("sub/app.bin", std::string(600, 'a'));
    }
    std::string read(const std::string& text) {
        plan_.SetIniPath(dir_.write("Vorlane.ini", text));
        return plan_.ReadIniFile();
    }
    TempWorkDir dir_;
    CVorlanePlan plan_;
};

TEST_F(PlanReader, ReadsEveryMember) {
    ASSERT_EQ(read(kPlan), "");
    EXPECT_STREQ(plan_.m_szCommercialName, "Lecteur KV-30");
    EXPECT_STREQ(plan_.m_szReaderImagePng, "kv30.png");
    EXPECT_EQ(plan_.m_nMaxRegistryName, 2);
    EXPECT_STREQ(plan_.m_szRegistryName[0], "KV30 USB");
    EXPECT_STREQ(plan_.m_szRegistryName[1], "KV30 CDC");
    EXPECT_EQ(plan_.m_bEnableSerialPorts, 1);
    EXPECT_EQ(plan_.m_strCopyright, "(C) Kerlin");
    ASSERT_EQ(plan_.m_nPackMaxNumber, 2);
    EXPECT_EQ(plan_.m_packs[0].strPath, dir_.path() + "/fw.bin");
    EXPECT_EQ(plan_.m_packs[0].nAttribut, 0);
    EXPECT_EQ(plan_.m_packs[0].nVerifierVersion, 0);
    EXPECT_EQ(plan_.m_packs[0].nDelay, 0);                              // "abc"
    EXPECT_EQ(plan_.m_packs[1].strPath, dir_.path() + "/sub/app.bin");  // found without case
    EXPECT_EQ(plan_.m_packs[1].nAttribut, 1);
    EXPECT_EQ(plan_.m_packs[1].nVerifierVersion, 3);
    EXPECT_EQ(plan_.m_packs[1].nDelay, 500);

    LoadRecord* load = plan_.CurrentLoad();
    ASSERT_NE(load, nullptr);
    EXPECT_EQ(plan_.m_pLoads[0], load);
    EXPECT_EQ(load->nNumber, 1);
    EXPECT_STREQ(load->szLibelle, "Charge\\nment");  // not decoded
    EXPECT_STREQ(load->szDescriptionDetaillee, "Ligne 1\nLigne 2");
    EXPECT_EQ(load->nEraseDF, 7);
    EXPECT_STREQ(load->szQuestionErasseDF, "Effacer ?\nOui");
    EXPECT_STREQ(load->szMessageAvantChargement, "");
    EXPECT_STREQ(load->szMsgErrVersion, "Version\nincorrecte");
    EXPECT_STREQ(load->szFichierTexte, "");
}

TEST_F(PlanReader, OptionalKeysMayBeMissing) {
    ASSERT_EQ(read(edited({{"ReaderImagePng=kv30.png", ""},
                           {"MaxRegistryName=2", ""},
                           {"Copyright=\"(C) Kerlin\"", ""},
                           {"PackMaxNumber=2", ""},
                           {"QuestionErasseDF=Effacer ?\\nOui", ""}})),
              "");
    EXPECT_STREQ(plan_.m_szReaderImagePng, "");
    EXPECT_EQ(plan_.m_nMaxRegistryName, 0);
    EXPECT_EQ(plan_.m_strCopyright, kDefaultCopyright);
    EXPECT_EQ(plan_.m_nPackMaxNumber, 0);
    EXPECT_STREQ(plan_.CurrentLoad()->szQuestionErasseDF, "");
}

TEST_F(PlanReader, EnableSerialPortsOnlyForExactlyOne) {
    for (auto [value, expected] :
         {std::pair{"1", 1}, {" \"1\" ", 1}, {"01", 0}, {"yes", 0}, {"true", 0}, {"", 0}}) {
        ASSERT_EQ(read(edited("EnableSerialPorts=1", std::string("EnableSerialPorts=") + value)),
                  "");
        EXPECT_EQ(plan_.m_bEnableSerialPorts, expected) << value;
    }
}

TEST_F(PlanReader, IntegersReadAsAtoiDoes) {
    struct Case {
        const char* text;
        int value;
    };
    for (const Case& c : {Case{"500", 500}, Case{"+12ms", 12}, Case{"-5", -5}, Case{"abc", 0},
                          Case{"99999999999", 2147483647}, Case{"-99999999999", -2147483647 - 1}}) {
        ASSERT_EQ(read(edited("Delay2=500", std::string("Delay2=") + c.text)), "") << c.text;
        EXPECT_EQ(plan_.m_packs[1].nDelay, c.value) << c.text;
    }
    // EraseDF takes digits only and keeps the 32-bit wrap-around of value * 10 + digit.
    ASSERT_EQ(read(edited("EraseDF=007", "EraseDF=4294967303")), "");
    EXPECT_EQ(plan_.CurrentLoad()->nEraseDF, 7);
}

TEST_F(PlanReader, LongValuesAreCutToTheirField) {
    std::string name(700, 'N');
    std::string message(700, 'M');
    ASSERT_EQ(read(edited({{"Lecteur KV-30", name}, {"Version\\nincorrecte", message}})), "");
    EXPECT_EQ(std::string(plan_.m_szCommercialName), name.substr(0, 511));
    EXPECT_EQ(std::string(plan_.CurrentLoad()->szMsgErrVersion), message.substr(0, 515));
}

TEST_F(PlanReader, PackPathsLongerThan256BytesAndAccentedNames) {
    std::string deep(120, 'd');
    dir_.write(deep + "/" + deep + "/long.bin", "x");
    dir_.write("pr\xC3\xA9.bin", "x");  // a UTF-8 name on disk
    ASSERT_EQ(read(edited({{"Pack1=fw.bin", "Pack1=" + deep + "\\" + deep + "\\LONG.bin"},
                           {"Pack2=Sub\\App.BIN", "Pack2=PR\xC9.BIN"}})),  // Windows-1252
              "");
    EXPECT_GT(plan_.m_packs[0].strPath.size(), 256u);
    EXPECT_EQ(plan_.m_packs[0].strPath, dir_.path() + "/" + deep + "/" + deep + "/long.bin");
    EXPECT_EQ(plan_.m_packs[1].strPath, dir_.path() + "/pr\xC3\xA9.bin");
}

TEST_F(PlanReader, PacksAreLookedForInTheCurrentDirectory) {
    std::string planDir = dir_.path() + "/elsewhere";
    std::filesystem::create_directories(planDir);
    plan_.SetIniPath(dir_.write("elsewhere/Vorlane.ini", kPlan));
    dir_.write("elsewhere/fw.bin", "x");
    std::filesystem::remove(dir_.path() + "/fw.bin");
    EXPECT_EQ(plan_.ReadIniFile(),
              "Impossible de trouver le fichier fw.bin dans le répertoire courant.");
}

struct FailureCase {
    const char* name;
    std::string plan;
    std::string message;
};

class PlanReaderFailure : public PlanReader, public testing::WithParamInterface<FailureCase> {};

TEST_P(PlanReaderFailure, FirstFailingKeyDecides) {
    EXPECT_EQ(read(GetParam().plan), GetParam().message);
    EXPECT_EQ(plan_.CurrentLoad(), nullptr);
}

const char* const kEnd = "\nL'application va se terminer.";

INSTANTIATE_TEST_SUITE_P(
    Cases, PlanReaderFailure,
    testing::Values(
        FailureCase{"no_commercial_name", edited("CommercialName=Lecteur KV-30", "CommercialName="),
                    std::string("Le champ CommercialName est absent du fichier .ini.") + kEnd},
        FailureCase{"commercial_name_after_a_zero_byte",
                    edited("CommercialName=Lecteur", std::string("CommercialName=\0Lecteur", 23)),
                    std::string("Le champ CommercialName est absent du fichier .ini.") + kEnd},
        FailureCase{"registry_name_missing", edited("RegistryName2=KV30 CDC\r\n", ""),
                    "Vérifier que le RegistryName est présent dans le fichier ini"},
        FailureCase{"too_many_registry_names", edited("MaxRegistryName=2", "MaxRegistryName=6"),
                    std::string("Trop de RegistryName dans le fichier ini (5 au maximum).") + kEnd},
        FailureCase{"no_titre_nor_libelle",
                    edited({{"Titre=Mise \xE0 jour", ""}, {"Libelle=", "Libel="}}),
                    std::string("Le champ Titre est absent du fichier .ini.") + kEnd},
        FailureCase{"lower_case_load_section", edited("[LOAD1]", "[load1]"),
                    std::string("Section LOAD1 absente.") + kEnd},
        FailureCase{"no_load_section", kPlan.substr(0, kPlan.find("[LOAD1]")),
                    std::string("Section LOAD1 absente.") + kEnd},
        FailureCase{"no_libelle", edited("Libelle=Charge\\nment", ""),
                    std::string("Libellé absent.") + kEnd},
        FailureCase{"no_description", edited("DescriptionDetaillee=", "Description="),
                    std::string("DescriptionDetaillee absent.") + kEnd},
        FailureCase{"erase_df_missing", edited("EraseDF=007", ""),
                    std::string("EraseDF absent.") + kEnd},
        FailureCase{"erase_df_7a", edited("EraseDF=007", "EraseDF=7a"),
                    std::string("EraseDF absent.") + kEnd},
        FailureCase{"erase_df_negative", edited("EraseDF=007", "EraseDF=-1"),
                    std::string("EraseDF absent.") + kEnd},
        FailureCase{"no_msg_err_version", edited("MsgErrVersion=", "MsgErr="),
                    std::string("MsgErrVersion absent.") + kEnd},
        FailureCase{"too_many_packs", edited("PackMaxNumber=2", "PackMaxNumber=51"),
                    std::string("Trop de Packs dans le fichier ini (50 au maximum).") + kEnd},
        FailureCase{"pack_key_missing", edited("Pack2=Sub\\App.BIN", ""),
                    "Vérifier que les Packs sont présents dans le fichier ini"},
        FailureCase{"pack_file_missing", edited("Pack1=fw.bin", "Pack1=app.bin"),
                    "Impossible de trouver le fichier app.bin dans le répertoire courant."},
        FailureCase{"pack_file_missing_accent", edited("Pack1=fw.bin", "Pack1=\xE9t\xE9.bin"),
                    "Impossible de trouver le fichier été.bin dans le répertoire courant."},
        FailureCase{"pack_attribute_missing", edited("PackAttribut2=1", ""),
                    "Erreur dans le PackAttribut, vérifier votre fichier ini"},
        FailureCase{"delay_missing", edited("Delay1=abc", "Delay1="),
                    "Erreur dans le Delay, vérifier votre fichier ini"},
        FailureCase{"empty_file", "",
                    std::string("Le champ CommercialName est absent du fichier .ini.") + kEnd}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PlanRecords, FreedByStartUpAndByTheDestructor) {
    CVorlanePlan plan;
    EXPECT_EQ(plan.m_nLoadSlots, 512);
    plan.m_pLoads[0] = new LoadRecord{};
    plan.m_pLoads[511] = new LoadRecord{};
    plan.FreeLoadRecords();
    EXPECT_EQ(plan.m_pLoads[0], nullptr);
    EXPECT_EQ(plan.m_pLoads[511], nullptr);
    plan.m_pLoads[3] = new LoadRecord{};  // left to the destructor (checked by the sanitizer)
}

}  // namespace
