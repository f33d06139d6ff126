// ThirdPartyUpdate_ against the simulated reader: control messages, packets
// and their writes, the reader's decision, notifications and traces.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dialogue_fixture.h"
#include "reader_sim/update_dialogue.h"

namespace dialoguetest {
namespace {

using readersim::ACK;
using readersim::PackageHeader;
using readersim::Reply;
using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

constexpr PackageHeader kInitial{0, 0};
constexpr PackageHeader kClosure{0xFFFFFFFFu, 0};

class UpdatePackageTest : public DialogueTest {
  protected:
    UpdatePackageTest() { reader.addDialogue(readersim::CMD_UPDATE_PACKAGE, updater); }
    int send(Bytes& package) {
        return ThirdPartyUpdate_(package.empty() ? nullptr : package.data(), package.size(), 7,
                                 kCom, 9, &NoteRecorder::callback);
    }
    // The sizes of the writes after the command byte.
    std::vector<std::size_t> writeSizes() const {
        std::vector<std::size_t> sizes;
        for (const Bytes& write : writesAfterCommand()) sizes.push_back(write.size());
        return sizes;
    }
    std::shared_ptr<readersim::UpdateDialogue> updater =
        std::make_shared<readersim::UpdateDialogue>();
};

TEST_F(UpdatePackageTest, PackageGoesInNumberedPacketsOfEightKilobytes) {
    Bytes package = patternImage(8193);

    EXPECT_EQ(send(package), 0);

    EXPECT_THAT(updater->headers(),
                ElementsAre(PackageHeader{0, 8193}, kInitial, PackageHeader{1, 8192},
                            PackageHeader{2, 1}, kClosure));
    EXPECT_EQ(updater->package(), package);
    EXPECT_TRUE(updater->decisionAcknowledged());
    EXPECT_TRUE(updater->closed());
    // Information, ACK of the decision, initial packet, then per packet its
    // header and its data in writes of 256 bytes, then the closure.
    std::vector<std::size_t> sizes = {8, 1, 8, 8};
    sizes.insert(sizes.end(), 32, 256);
    sizes.insert(sizes.end(), {8, 1, 8});
    EXPECT_EQ(writeSizes(), sizes);
    EXPECT_THAT(
        reader.answerPoints(),
        ElementsAre("wake", "command", "package info", "package decision", "initial packet",
                    "packet header", "packet data", "packet header", "packet data", "closure"));
    EXPECT_THAT(
        trace.pieces(),
        ElementsAre(" - OpenPort 3 Start", " - R", "ThirdPartyUpdate OpenPort \n",
                    "CheckACK Start\n", "CheckACK Start\n", "CheckACK Start\n",
                    "ThirdPartyUpdate initial Step\n", "CheckACK Start\n",
                    "ThirdPartyUpdate sending packet -", " H -", "CheckACK Start\n", " P -",
                    "CheckACK Start\n", " H -", "CheckACK Start\n", " P -", "CheckACK Start\n",
                    "\n", "CheckACK Start\n", "ThirdPartyUpdate ClosePort \n"));
    expectOpenedAndClosedOnce();

    std::vector<std::string> texts = progress.texts();
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "Waiting ACK before sending info",
                         "Waiting mode before sending datas",
                         "Sending initial packet",
                         "Data transfer...",
                         "Data transfer...",
                         "Sending closure packet",
                         "\nUpdate package transfer successful\n",
                     }));
    const auto& notes = progress.notes;
    EXPECT_EQ(notes[2].done, 0u);
    EXPECT_EQ(notes[2].remaining, 0u);
    EXPECT_EQ(notes[3].done, 8192u);
    EXPECT_EQ(notes[3].remaining, 1u);
    EXPECT_EQ(notes[4].done, 8193u);
    EXPECT_EQ(notes[4].remaining, 0u);
}

TEST_F(UpdatePackageTest, CallbackRaisingTheThresholdLosesOnlyTheGatedTexts) {
    progress.raiseThresholdTo = 1000000;
    Bytes package = patternImage(8193);

    ASSERT_EQ(send(package), 0);

    // The packets' texts and the closing success text are gated.
    EXPECT_EQ(progress.texts(), (std::vector<std::string>{
                                    "Waiting ACK before sending info",
                                    "Waiting mode before sending datas",
                                    "Sending initial packet",
                                    "Sending closure packet",
                                }));
}

TEST_F(UpdatePackageTest, EmptyPackageHasNoPackets) {
    Bytes package;
    EXPECT_EQ(send(package), 0);
    EXPECT_THAT(updater->headers(), ElementsAre(PackageHeader{0, 0}, kInitial, kClosure));
    EXPECT_THAT(writeSizes(), ElementsAre(8, 1, 8, 8));
    EXPECT_EQ(progress.count("Data transfer..."), 0u);
}

TEST_F(UpdatePackageTest, PacketDataGoesInWritesOf256BytesFiveMillisecondsApart) {
    Bytes package = patternImage(600);
    ASSERT_EQ(send(package), 0);

    std::vector<std::uint64_t> times;
    std::vector<std::size_t> sizes;
    for (const platform::LineEvent& event : reader.events()) {
        if (event.kind != platform::LineEvent::Kind::Bytes || event.bytes.size() == 8 ||
            event.bytes.size() == 1)
            continue;
        times.push_back(event.timeUs);
        sizes.push_back(event.bytes.size());
    }
    EXPECT_THAT(sizes, ElementsAre(256, 256, 88));
    ASSERT_EQ(times.size(), 3u);
    EXPECT_EQ(times[1] - times[0], 5000u);
    EXPECT_EQ(times[2] - times[1], 5000u);
    EXPECT_EQ(updater->package(), package);
}

TEST_F(UpdatePackageTest, RefusalIsAcknowledgedThenReturnedAsDenial) {
    updater->setDecision(0x03);
    Bytes package = patternImage(100);

    const int result = send(package);

    EXPECT_EQ(result, -16777213);
    EXPECT_EQ(static_cast<std::uint32_t>(result), 0xFF000003u);
    EXPECT_TRUE(updater->decisionAcknowledged());
    EXPECT_THAT(updater->headers(), ElementsAre(PackageHeader{0, 100}));
    EXPECT_THAT(writeSizes(), ElementsAre(8, 1));
    EXPECT_EQ(trace.lines().back(), "ThirdPartyUpdate denial\n");
    expectOpenedAndClosedOnce();
}

TEST_F(UpdatePackageTest, ReaderHasAMinuteToPrepareAndAMinuteToFinish) {
    struct Case {
        const char* name;
        std::uint64_t prepareMs;
        std::uint64_t finishMs;
        int status;
        const char* lastTrace;
    };
    const std::vector<Case> cases = {
        {"both in time", 59000, 59000, 0, "ThirdPartyUpdate ClosePort \n"},
        {"initial packet too late", 61000, 0, TIMEOUT_ERROR,
         "ThirdPartyUpdate initial Step ACK Error \n"},
        // A closure acknowledgement that does not come closes the port twice:
        // once in the wait, once after it.
        {"closure too late", 0, 61000, TIMEOUT_ERROR, "ThirdPartyUpdate end ACK Error \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        trace.clear();
        updater->setPrepareTimeMs(c.prepareMs);
        updater->setFinishTimeMs(c.finishMs);
        Bytes package = patternImage(10);

        EXPECT_EQ(send(package), c.status);

        EXPECT_EQ(trace.lines().back(), c.lastTrace);
        EXPECT_FALSE(bus.isOpen(kCom));
    }
    const std::vector<std::string> lines = trace.lines();
    EXPECT_EQ(lines[lines.size() - 2], "CloseHandle NULL !!\n");
}

TEST_F(UpdatePackageTest, NullPackageWithALengthIsRefusedBeforeOpeningThePort) {
    EXPECT_EQ(ThirdPartyUpdate_(nullptr, 10, 0, kCom, 0, nullptr), IMAGE_ERROR);
    EXPECT_TRUE(reader.openTimesUs().empty());
}

}  // namespace
}  // namespace dialoguetest
