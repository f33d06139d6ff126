// The progress notifications the exports send: the record's fields, and the
// threshold a callback raises to thin out the gated ones.

#include "progress.h"

#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talvex {
namespace {

struct Seen {
    std::uint32_t done;
    std::uint32_t remaining;
    std::uint32_t threshold;
    std::string text;
    std::uint32_t threadId;
};

std::vector<Seen> g_seen;
std::uint32_t g_raiseTo = 0;

// Records the notification, raises the threshold when asked, then scribbles
// over the record as a careless callback might.
void record(void* data) {
    auto* info = static_cast<ProgressInfo*>(data);
    g_seen.push_back({info->done, info->remaining, *info->threshold, info->text, info->threadId});
    if (g_raiseTo != 0) *info->threshold = g_raiseTo;
    info->done = 999;
    info->remaining = 999;
    info->text = "scribbled";
}

class ProgressTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_seen.clear();
        g_raiseTo = 0;
    }
};

TEST_F(ProgressTest, EachNotificationCarriesTheCurrentFieldsAndTheCallersThread) {
    ProgressNotifier notes(record, 0, 300);
    notes.notify("Open Serial port");
    notes.advance(128);
    notes.notifyGated("Data transfer...");
    notes.advance(500);  // more than remains: remaining stops at 0

    notes.notify("Signature OK");
    ASSERT_EQ(g_seen.size(), 3u);
    const auto self = static_cast<std::uint32_t>(::gettid());
    EXPECT_EQ(g_seen[0].text, "Open Serial port");
    EXPECT_EQ(g_seen[0].done, 0u);
    EXPECT_EQ(g_seen[0].remaining, 300u);
    EXPECT_EQ(g_seen[1].text, "Data transfer...");
    EXPECT_EQ(g_seen[1].done, 128u);
    EXPECT_EQ(g_seen[1].remaining, 172u);
    EXPECT_EQ(g_seen[2].done, 628u);
    EXPECT_EQ(g_seen[2].remaining, 0u);
    for (const Seen& seen : g_seen) {
        EXPECT_EQ(seen.threshold, 0u);
        EXPECT_EQ(seen.threadId, self);
    }
}

TEST_F(ProgressTest, ARaisedThresholdHoldsBackOnlyGatedNotificationsUntilDoneReachesIt) {
    ProgressNotifier notes(record, 0, 1000);
    g_raiseTo = 600;
    notes.notify("Waiting ACK before sending application");  // raises to 600
    g_raiseTo = 0;
    for (int block = 0; block < 8; ++block) {
        notes.advance(100);
        notes.notifyGated("Data transfer...");
    }
    notes.notify("Signature checking and application install");

    std::vector<std::uint32_t> gatedDone;
    for (const Seen& seen : g_seen)
        if (seen.text == "Data transfer...") gatedDone.push_back(seen.done);
    EXPECT_EQ(gatedDone, (std::vector<std::uint32_t>{600, 700, 800}));
    EXPECT_EQ(g_seen.back().text, "Signature checking and application install");
    EXPECT_EQ(g_seen.back().threshold, 600u);
    EXPECT_EQ(notes.threshold(), 600u);
}

TEST_F(ProgressTest, NoCallbackMeansNoNotification) {
    ProgressNotifier notes(nullptr, 0, 10);
    notes.notify("Open Serial port");
    notes.notifyGated("Data transfer...");
    EXPECT_TRUE(g_seen.empty());
}

}  // namespace
}  // namespace talvex
