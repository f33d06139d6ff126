#include "platform/clock.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(VirtualClock, SleepAndAdvanceMoveTimeOnlyForward) {
    platform::VirtualClock clock(5'000);
    clock.sleepMs(10);
    EXPECT_EQ(clock.nowUs(), 15'000u);
    clock.advanceToUs(12'000);  // already past: unchanged
    EXPECT_EQ(clock.nowMs(), 15u);
    clock.advanceToUs(40'500);
    EXPECT_EQ(clock.nowUs(), 40'500u);
    EXPECT_EQ(clock.nowMs(), 40u);
}

TEST(ThreadClock, InstalledClockIsSeenOnlyByItsThreadAndRestored) {
    platform::VirtualClock mine;
    platform::Clock* outside = &platform::clock();
    {
        platform::ScopedThreadClock scope(mine);
        EXPECT_EQ(&platform::clock(), &mine);
        platform::Clock* other = nullptr;
        std::thread([&] { other = &platform::clock(); }).join();
        EXPECT_EQ(other, outside);
        platform::clock().sleepMs(1500);  // no real wait
        EXPECT_EQ(mine.nowMs(), 1500u);
    }
    EXPECT_EQ(&platform::clock(), outside);
}

TEST(ProcessClock, ReplacedAndRestored) {
    platform::VirtualClock process;
    platform::setProcessClock(&process);
    EXPECT_EQ(&platform::clock(), &process);
    platform::setProcessClock(nullptr);
    EXPECT_NE(&platform::clock(), &process);
}

}  // namespace
