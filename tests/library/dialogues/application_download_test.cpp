// ApplicationDL_ and ApplicationDL_Lent_ against the simulated reader: the
// blocks on the line, the acknowledgements the reader is asked for, the
// signature phase, progress notifications, trace and virtual durations.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

#include "dialogue_fixture.h"
#include "reader_sim/application_dialogue.h"

namespace dialoguetest {
namespace {

using readersim::ImageAck;
using readersim::Reply;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

using Download = int (*)(unsigned char*, unsigned long, unsigned char, int, ProgressCallback);

struct Variant {
    const char* name;
    Download download;
    readersim::ApplicationBlocks blocks;
    std::uint32_t blockSize;
    std::uint64_t signatureWaitMs;
};
const Variant kFast{"fast", ApplicationDL_, readersim::kFastBlocks, 128, 180000};
const Variant kSlow{"slow", ApplicationDL_Lent_, readersim::kSlowBlocks, 64, 60000};

class ApplicationDownloadTest : public DialogueTest {
  protected:
    void plug(const Variant& variant, std::uint64_t length) {
        receiver->setBlocks(variant.blocks);
        receiver->expect(length);
        reader.addDialogue(readersim::CMD_APPLICATION, receiver);
    }
    int run(const Variant& variant, std::vector<std::uint8_t>& image, int checkHeader = 0) {
        plug(variant, image.size());
        return variant.download(image.empty() ? nullptr : image.data(), image.size(), kCom,
                                checkHeader, &NoteRecorder::callback);
    }

    std::shared_ptr<readersim::ApplicationDialogue> receiver =
        std::make_shared<readersim::ApplicationDialogue>();
};

ImageAck early(std::uint64_t after) {
    return {std::string(readersim::kEarlyAck), after, 0};
}
ImageAck group(std::uint64_t after) {
    return {std::string(readersim::k64KAck), after, 0};
}
ImageAck last(std::uint64_t after) {
    return {std::string(readersim::kLastBlockAck), after, 0};
}

struct ImageCase {
    const Variant* variant;
    std::size_t length;
    std::vector<ImageAck> acks;
};

TEST_F(ApplicationDownloadTest, ImagesGoOutInBlocksWithTheirAcknowledgements) {
    const std::vector<ImageCase> cases = {
        // 128 + 72: the second block is an early-acknowledgement block and the
        // last one, so the reader acknowledges twice in a row.
        {&kFast, 200, {early(200), last(200)}},
        {&kSlow, 200, {early(200), last(200)}},
        {&kFast, 100, {last(100)}},
        // 516 blocks: after blocks 2 and 4, then the 64 KB one closes the image.
        {&kFast, 66048, {early(256), early(512), group(66048)}},
        {&kSlow, 66048, {early(256), early(512), group(66048)}},
        {&kFast, 66148, {early(256), early(512), group(66048), last(66148)}},
        {&kFast, 0, {}},
        {&kSlow, 0, {}},
    };
    for (const ImageCase& c : cases) {
        SCOPED_TRACE(std::string(c.variant->name) + " " + std::to_string(c.length));
        DialogueTest::reader.clearRecords();
        std::vector<std::uint8_t> image = patternImage(c.length);

        EXPECT_EQ(run(*c.variant, image), 0);

        EXPECT_EQ(receiver->image(), image);
        EXPECT_EQ(receiver->acks(), c.acks);
        EXPECT_TRUE(receiver->finished());
        // The command byte, then the image in blocks of the variant's size.
        const auto writes = reader.writes();
        ASSERT_FALSE(writes.empty());
        EXPECT_THAT(writes.front(), ElementsAre('1'));
        const std::size_t blocks = (c.length + c.variant->blockSize - 1) / c.variant->blockSize;
        ASSERT_EQ(writes.size(), 1 + blocks);
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t expected =
                std::min<std::size_t>(c.variant->blockSize, c.length - b * c.variant->blockSize);
            ASSERT_EQ(writes[1 + b].size(), expected) << "block " << b + 1;
        }
        // Breaks, command, every data acknowledgement, then the signature.
        std::vector<std::string> points = {"wake", "command"};
        for (const ImageAck& ack : c.acks) points.push_back(ack.point);
        points.push_back(std::string(readersim::kSignature));
        EXPECT_EQ(reader.answerPoints(), points);
        expectOpenedAndClosedOnce();
        EXPECT_EQ(reader.received().size(), 1 + c.length);
    }
}

TEST_F(ApplicationDownloadTest, ShortImageTakesOnlyTheLineTimeAndTheClose) {
    std::vector<std::uint8_t> image = patternImage(200);
    EXPECT_EQ(run(kFast, image), 0);

    // Breaks (110 ms) and their ACK, '1' and its ACK, the 200 bytes back to
    // back, the two data ACKs and the signature ACK, then the second after
    // the close.
    EXPECT_EQ(clock.nowUs(), 110000 + 3 * wireUs(1) + wireUs(200) + wireUs(3) + 1000000);
    EXPECT_THAT(trace.pieces(),
                ElementsAre(" - OpenPort 3 Start", " - R", "ApplicationDL OpenPort \n",
                            "CheckACK Start\n", "CheckACK Start\n", "CheckACK Start\n",
                            "CheckACK Start\n", "CheckACK Start\n", "ApplicationDL ClosePort \n"));
}

TEST_F(ApplicationDownloadTest, ProgressFollowsTheBytesAndGatesOnlyTheDataTexts) {
    std::vector<std::uint8_t> image = patternImage(66048);
    ASSERT_EQ(run(kFast, image), 0);

    const auto& notes = progress.notes;
    ASSERT_GE(notes.size(), 2u);
    EXPECT_EQ(notes[0].text, "Open Serial port");
    EXPECT_EQ(notes[1].text, "Waiting ACK before sending application");
    EXPECT_EQ(progress.count("Data transfer..."), 516u);
    EXPECT_EQ(progress.count("Waiting for 64 Kb ACK"), 1u);
    EXPECT_EQ(progress.count("64 Kb -> OK"), 1u);
    std::uint32_t previousDone = 0;
    for (const Note& note : notes) {
        EXPECT_EQ(note.threadId, threadId);
        EXPECT_EQ(note.done + note.remaining, note.done == 0 ? 0u : 66048u) << note.text;
        EXPECT_GE(note.done, previousDone);
        previousDone = note.done;
    }
    EXPECT_EQ(notes[2].done, 128u);
    EXPECT_EQ(notes[2].remaining, 65920u);
    const std::vector<std::string> tail = {
        "Data transfer...", "Waiting for 64 Kb ACK",
        "64 Kb -> OK",      "Signature checking and application install",
        "Signature OK",     "Application transfer successful"};
    const std::vector<std::string> texts = progress.texts();
    EXPECT_EQ(std::vector<std::string>(texts.end() - 6, texts.end()), tail);
    // The signature phase keeps the final figures.
    EXPECT_EQ(notes.back().done, 66048u);
    EXPECT_EQ(notes.back().remaining, 0u);
}

TEST_F(ApplicationDownloadTest, CallbackRaisingTheThresholdStillGetsEveryPhaseText) {
    progress.raiseThresholdTo = 1000000;
    std::vector<std::uint8_t> image = patternImage(66048);
    ASSERT_EQ(run(kFast, image), 0);

    EXPECT_EQ(progress.texts(), (std::vector<std::string>{
                                    "Open Serial port",
                                    "Waiting ACK before sending application",
                                    "Signature checking and application install",
                                    "Signature OK",
                                    "Application transfer successful",
                                }));
}

TEST_F(ApplicationDownloadTest, SlowVariantPausesOneMillisecondEverySixteenBlocks) {
    // 64 blocks of 64 bytes; after the early acknowledgements (blocks 4 and 8)
    // the rest fits the transmit buffer, so every write returns at once and
    // only the pauses separate them.
    std::vector<std::uint8_t> image = patternImage(4096);
    ASSERT_EQ(run(kSlow, image), 0);

    const std::vector<std::uint64_t> times = writeTimesUs();
    ASSERT_EQ(times.size(), 1u + 64u);
    const auto acks = receiver->acks();
    ASSERT_EQ(acks.size(), 3u);
    // Block 1 waits 1 ms after the command's ACK reached the library.
    const std::uint64_t commandAckArrival = reader.answers()[1].atUs + wireUs(1);
    EXPECT_EQ(times[1], commandAckArrival + 1000);
    for (std::size_t block = 2; block <= 64; ++block) {
        SCOPED_TRACE(block);
        const std::uint64_t gap = times[block] - times[block - 1];
        if (block == 5 || block == 9) {
            // Written when the early ACK after blocks 4 and 8 came back.
            const ImageAck& ack = acks[block == 5 ? 0 : 1];
            EXPECT_EQ(times[block], ack.atUs + wireUs(1));
        } else if ((block - 1) % 16 == 0) {
            EXPECT_EQ(gap, 1000u);
        } else {
            EXPECT_EQ(gap, 0u);
        }
    }
}

TEST_F(ApplicationDownloadTest, FastVariantWritesBackToBack) {
    std::vector<std::uint8_t> image = patternImage(4096);
    ASSERT_EQ(run(kFast, image), 0);

    const std::vector<std::uint64_t> times = writeTimesUs();
    ASSERT_EQ(times.size(), 1u + 32u);
    const std::uint64_t commandAckArrival = reader.answers()[1].atUs + wireUs(1);
    EXPECT_EQ(times[1], commandAckArrival);
    for (std::size_t block = 2; block <= 32; ++block) {
        if (block == 3 || block == 5) continue;  // after the early ACKs
        EXPECT_EQ(times[block], times[block - 1]) << block;
    }
}

struct FailureCase {
    const char* name;
    const Variant* variant;
    std::string_view point;
    Reply reply;
    int status;
};

TEST_F(ApplicationDownloadTest, WrongAcknowledgementsEndTheDownloadWithTheirStatus) {
    const std::vector<FailureCase> cases = {
        {"NAK to the breaks", &kFast, readersim::kWake, Reply::nak(), OPEN_COM_PORT},
        {"silence to the command", &kFast, readersim::kCommand, Reply::silence(), OPEN_COM_PORT},
        {"NAK to an early ACK", &kFast, readersim::kEarlyAck, Reply::nak(), NACK_ERROR},
        {"other byte to an early ACK", &kSlow, readersim::kEarlyAck, Reply::byte(0x41),
         OTHER_ERROR},
        {"silence for an early ACK", &kFast, readersim::kEarlyAck, Reply::silence(), TIMEOUT_ERROR},
        {"silence for the 64 KB ACK", &kFast, readersim::k64KAck, Reply::silence(), TIMEOUT_ERROR},
        {"NAK to the last block", &kSlow, readersim::kLastBlockAck, Reply::nak(), NACK_ERROR},
        {"NAK to the signature", &kFast, readersim::kSignature, Reply::nak(), SIGNATURE_ERROR},
        {"NAK to the signature (slow)", &kSlow, readersim::kSignature, Reply::nak(),
         SIGNATURE_ERROR},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        readersim::Reader fresh;
        platform::VirtualLine& freshLine = fresh.plugInto(bus, kCom);
        freshLine.setWireModel(true);
        auto freshReceiver = std::make_shared<readersim::ApplicationDialogue>(c.variant->blocks);
        // The 64 KB acknowledgement is not the last one, so nothing follows a
        // missing one.
        freshReceiver->expect(66148);
        fresh.addDialogue(readersim::CMD_APPLICATION, freshReceiver);
        fresh.on(c.point, c.reply);
        std::vector<std::uint8_t> image = patternImage(66148);

        EXPECT_EQ(c.variant->download(image.data(), image.size(), kCom, 0, nullptr), c.status);
        EXPECT_EQ(fresh.closeTimesUs().size(), 1u);
        EXPECT_FALSE(bus.isOpen(kCom));
        EXPECT_EQ(fresh.pendingRules(), 0u);
    }
}

TEST_F(ApplicationDownloadTest, SignatureWaitIsThreeMinutesOrOneForTheSlowVariant) {
    for (const Variant* variant : {&kFast, &kSlow}) {
        SCOPED_TRACE(variant->name);
        for (bool inTime : {true, false}) {
            readersim::Reader fresh;
            fresh.plugInto(bus, kCom).setWireModel(true);
            auto freshReceiver = std::make_shared<readersim::ApplicationDialogue>(variant->blocks);
            freshReceiver->expect(300);
            // The check ends 1 ms before, or 1 ms after, the library gives up.
            freshReceiver->setCheckTimeMs(variant->signatureWaitMs + (inTime ? 0 : 2));
            fresh.addDialogue(readersim::CMD_APPLICATION, freshReceiver);
            std::vector<std::uint8_t> image = patternImage(300);

            const int status = variant->download(image.data(), image.size(), kCom, 0, nullptr);

            EXPECT_EQ(status, inTime ? 0 : SIGNATURE_ERROR);
            if (!inTime) {
                // Given up the wait plus 1 ms for the one byte asked, after the
                // last data ACK reached the library.
                const std::uint64_t lastAckArrival = freshReceiver->acks().back().atUs + wireUs(1);
                EXPECT_EQ(fresh.closeTimesUs().at(0) - lastAckArrival,
                          (variant->signatureWaitMs + 1) * 1000);
            }
        }
    }
}

TEST_F(ApplicationDownloadTest, RefusedImagesNeverTouchThePort) {
    std::vector<std::uint8_t> badMark = patternImage(300);
    badMark[136] = 0x21;
    std::vector<std::uint8_t> tooShort = patternImage(100);
    std::vector<std::uint8_t> good = patternImage(300);
    good[136] = 0x20;
    struct Case {
        const char* name;
        unsigned char* image;
        unsigned long length;
        int checkHeader;
    };
    const std::vector<Case> cases = {
        {"mark is not a space", badMark.data(), badMark.size(), 1},
        {"image shorter than its header", tooShort.data(), tooShort.size(), 1},
        {"null image, header checked", nullptr, 300, 1},
        {"null image with a length, header not checked", nullptr, 300, 0},
        {"null image of length 0, header checked", nullptr, 0, 1},
    };
    for (const Variant* variant : {&kFast, &kSlow}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(variant->name) + ": " + c.name);
            EXPECT_EQ(
                variant->download(c.image, c.length, kCom, c.checkHeader, &NoteRecorder::callback),
                IMAGE_ERROR);
        }
    }
    EXPECT_TRUE(reader.openTimesUs().empty());
    EXPECT_TRUE(progress.notes.empty());
    EXPECT_TRUE(trace.pieces().empty());

    // With the check off, the image whose mark is wrong is sent as it is; with
    // it on, a correct mark passes.
    EXPECT_EQ(run(kFast, badMark, 0), 0);
    EXPECT_EQ(receiver->image(), badMark);
    EXPECT_EQ(run(kFast, good, 1), 0);
    EXPECT_EQ(receiver->image(), good);
}

}  // namespace
}  // namespace dialoguetest
