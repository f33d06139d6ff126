#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "app/messages.h"
#include "app/trace.h"
#include "app/vorlane_app.h"
#include "plan_fixture.h"
#include "platform/debug_output.h"
#include "platform/message_box.h"

namespace {

const char* const kOptionExpected =
    "Argument de la ligne de commande invalide. Option attendue: -nPort=numéro du port";
const char* const kExample = "Argument de la ligne de commande invalide. Exemple: -nPort=3";

struct CommandLineCase {
    const char* line;
    bool accepted;
    int port;
    const char* message;  // nullptr: no message box
};

class CommandLine : public testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, CheckedAsAtStartUp) {
    const CommandLineCase& c = GetParam();
    platform::MessageBoxRecorder boxes;
    CommandLineResult result = CheckCommandLine(c.line);
    EXPECT_EQ(result.accepted, c.accepted);
    if (c.accepted) {
        EXPECT_EQ(result.port, c.port);
    }
    auto shown = boxes.shown();
    if (c.message == nullptr) {
        EXPECT_TRUE(shown.empty());
    } else {
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, c.message);
        EXPECT_EQ(shown[0].caption, "Vorlane");
        EXPECT_EQ(shown[0].type, platform::MB_OK | platform::MB_ICONWARNING);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandLine,
                         testing::Values(CommandLineCase{"", true, 0, nullptr},
                                         CommandLineCase{"-nPort=3", true, 3, nullptr},
                                         CommandLineCase{"-nPort:3", true, 3, nullptr},
                                         CommandLineCase{"-nPort=12 extra", true, 12, nullptr},
                                         CommandLineCase{"before -nPort= 7", true, 7, nullptr},
                                         CommandLineCase{"-nPort=-2", true, -2, nullptr},
                                         CommandLineCase{"-nPort=0", false, 0, kExample},
                                         CommandLineCase{"-nPort=abc", false, 0, kExample},
                                         CommandLineCase{"-nPort", false, 0, kExample},
                                         CommandLineCase{"-nPort=", false, 0, kExample},
                                         CommandLineCase{"-nport=3", false, 0, kOptionExpected},
                                         CommandLineCase{"/port=3", false, 0, kOptionExpected}));

TEST(CommandLineText, ArgumentsJoinedWithBlanks) {
    const char* argv[] = {"./vorlane", "-nPort=3", "extra"};
    EXPECT_EQ(CommandLineFromArguments(3, argv), "-nPort=3 extra");
    EXPECT_EQ(CommandLineFromArguments(1, argv), "");
}

TEST(ProgramVersion, FromTheBuildsFourPartVersion) {
    EXPECT_EQ(VersionTextFromFileVersion("1, 2, 3, 4"), "1.2.3.4");
    EXPECT_EQ(VersionTextFromFileVersion(""), "0.0.0.0");
    EXPECT_EQ(VersionTextFromFileVersion(nullptr), "0.0.0.0");
    EXPECT_EQ(CVorlaneApp().GetProgramVersion(), EXPECTED_PROGRAM_VERSION);
    EXPECT_EQ(CVorlaneApp().m_bNotWindows98, 1);
}

// A main dialog that tells what start-up did with it.
class ProbeDialog : public CVorlanePlan {
  public:
    ProbeDialog(std::string* iniPathSeen, bool* recordFreed)
        : iniPathSeen_(iniPathSeen), recordFreed_(recordFreed) {}
    ~ProbeDialog() override { *recordFreed_ = m_pLoads[0] == nullptr; }
    std::string* iniPathSeen_;
    bool* recordFreed_;
};

TEST(InitInstance, RunsTheDialogOnThePlanOfTheCurrentDirectoryAndFreesItsRecords) {
    TempWorkDir dir;
    std::string deep = dir.path() + "/" + std::string(150, 'a') + "/" + std::string(150, 'b');
    std::filesystem::create_directories(deep);
    std::filesystem::current_path(deep);

    CVorlaneApp app;
    int portGiven = -1;
    std::string iniPathSeen;
    bool recordFreed = false;
    EXPECT_FALSE(app.InitInstance(
        "-nPort=4",
        [&](int port) {
            portGiven = port;
            return std::make_unique<ProbeDialog>(&iniPathSeen, &recordFreed);
        },
        [&](CVorlanePlan& dialog) {
            iniPathSeen = dialog.IniPath();
            dialog.m_pLoads[0] = new LoadRecord{};
        }));
    EXPECT_EQ(portGiven, 4);
    EXPECT_EQ(app.m_szIniPath, deep + "/Vorlane.ini");
    EXPECT_EQ(iniPathSeen, app.m_szIniPath);
    EXPECT_TRUE(recordFreed);
}

TEST(InitInstance, RefusedCommandLineShowsNoDialog) {
    platform::MessageBoxRecorder boxes;
    CVorlaneApp app;
    bool created = false;
    EXPECT_FALSE(app.InitInstance(
        "/port=3",
        [&](int) {
            created = true;
            return std::make_unique<CVorlanePlan>();
        },
        [](CVorlanePlan&) {}));
    EXPECT_FALSE(created);
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0].text, kOptionExpected);
}

TEST(UnknownError, ShownThenTheStepFails) {
    platform::MessageBoxRecorder boxes;
    EXPECT_FALSE(RunGuardedStep("Unknown Error in isIniFileCorrect",
                                [] { throw std::runtime_error("boom"); }));
    EXPECT_TRUE(RunGuardedStep("Unknown Error in isIniFileCorrect", [] {}));
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0].text, "Unknown Error in isIniFileCorrect");
    EXPECT_EQ(boxes.shown()[0].caption, "Vorlane");
    EXPECT_EQ(boxes.shown()[0].type, platform::MB_OK | platform::MB_ICONWARNING);
}

TEST(MessageBoxIcon, WarningUnlessNamed) {
    platform::MessageBoxRecorder boxes;
    VorlaneMessageBox("a");
    VorlaneMessageBox("b", platform::MB_OK | platform::MB_ICONINFORMATION);
    ASSERT_EQ(boxes.shown().size(), 2u);
    EXPECT_EQ(boxes.shown()[0].type, platform::MB_ICONWARNING);
    EXPECT_EQ(boxes.shown()[1].type, platform::MB_ICONINFORMATION);
}

TEST(Trace, PrefixAndLevels) {
    platform::DebugCapture capture;
    TraceMessage(1, "Load32bits error %d\n", 5);
    TraceMessage(8, "Pack %s\n", "fw.bin");
    TraceMessage(0x20, "never\n");
    TraceMessage(0, "never\n");
    TraceMessage(8, "no line end");
    TraceMessage(2, "other level\n");  // written as level 8
    EXPECT_EQ(capture.pieces(),
              (std::vector<std::string>{"VORLANE    Load32bits error 5\n", "VORLANE Pack fw.bin\n",
                                        "VORLANE no line end", "VORLANE other level\n"}));
}

TEST(Trace, LineHoldsAtMost511Characters) {
    platform::DebugCapture capture;
    TraceMessage(1, "%s", std::string(600, 'x').c_str());
    ASSERT_EQ(capture.pieces().size(), 1u);
    EXPECT_EQ(capture.pieces()[0], "VORLANE    " + std::string(511 - 11, 'x'));
}

}  // namespace
