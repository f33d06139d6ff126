#include "platform/message_box.h"

#include <gtest/gtest.h>

namespace {

TEST(MessageBox, RecorderRecordsAndAnswersInOrderThenDefaults) {
    platform::MessageBoxRecorder recorder;
    recorder.answerNext(platform::IDNO);
    EXPECT_EQ(platform::messageBox("Continuer ?", "Vorlane", platform::MB_YESNO), platform::IDNO);
    EXPECT_EQ(platform::messageBox("Encore ?", "Vorlane", platform::MB_YESNO | platform::MB_ICONQUESTION),
              platform::IDYES);
    EXPECT_EQ(platform::messageBox("Fin.", "Error", platform::MB_OK | platform::MB_ICONINFORMATION),
              platform::IDOK);
    auto shown = recorder.shown();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].text, "Continuer ?");
    EXPECT_EQ(shown[2].caption, "Error");
    EXPECT_EQ(shown[2].type, platform::MB_OK | platform::MB_ICONINFORMATION);
}

TEST(MessageBox, WithoutHandlerWritesToStandardErrorAndTakesDefault) {
    testing::internal::CaptureStderr();
    int button = platform::messageBox("Texte accentué", "Vorlane", platform::MB_OK);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(button, platform::IDOK);
    EXPECT_EQ(err, "[Vorlane] Texte accentué\n");
}

}  // namespace
