#include "platform/debug_output.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

namespace {

using ::testing::ElementsAre;

TEST(DebugOutput, CaptureKeepsPiecesAndCutsLines) {
    platform::DebugCapture capture;
    platform::debugOutput(" - OpenPort 3 Start");
    platform::debugOutput(" - R");
    platform::debugPrintf("CheckACK ClosePort %d\n", 3);
    platform::debugOutput("tail");
    EXPECT_THAT(capture.pieces(),
                ElementsAre(" - OpenPort 3 Start", " - R", "CheckACK ClosePort 3\n", "tail"));
    EXPECT_THAT(capture.lines(), ElementsAre(" - OpenPort 3 Start - RCheckACK ClosePort 3\n", "tail"));
    capture.clear();
    EXPECT_TRUE(capture.pieces().empty());
}

TEST(DebugOutput, NestedCaptureTakesOverAndGivesBack) {
    platform::DebugCapture outer;
    {
        platform::DebugCapture inner;
        platform::debugOutput("inner\n");
        EXPECT_EQ(inner.text(), "inner\n");
    }
    platform::debugOutput("outer\n");
    EXPECT_EQ(outer.text(), "outer\n");
}

TEST(DebugOutput, PiecesFromThreadsAreKeptWhole) {
    platform::DebugCapture capture;
    auto writer = [] {
        for (int i = 0; i < 200; ++i) platform::debugOutput("abcdefgh\n");
    };
    std::thread a(writer), b(writer);
    a.join();
    b.join();
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 400u);
    for (const auto& line : lines) EXPECT_EQ(line, "abcdefgh\n");
}

}  // namespace
