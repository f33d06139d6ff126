// UploadData_, DownloadData_ and testMode_ against the simulated reader: the
// bytes each side sent, the record handed back, notifications, traces and the
// waits in virtual time.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dialogue_fixture.h"
#include "reader_sim/file_dialogue.h"
#include "reader_sim/test_mode_dialogue.h"

namespace dialoguetest {
namespace {

using readersim::ACK;
using readersim::Reply;
using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

class FileTransferTest : public DialogueTest {
  protected:
    FileTransferTest() {
        reader.addDialogue(readersim::CMD_READ_FILE, files);
        reader.addDialogue(readersim::CMD_WRITE_FILE, files);
    }
    // When the library wrote `byte` on its own (the first such write).
    std::uint64_t writeTimeOf(std::uint8_t byte) const {
        for (const platform::LineEvent& event : reader.events())
            if (event.kind == platform::LineEvent::Kind::Bytes && event.bytes == Bytes{byte})
                return event.timeUs;
        ADD_FAILURE() << "no write of " << int(byte);
        return 0;
    }

    std::shared_ptr<readersim::FileDialogue> files = std::make_shared<readersim::FileDialogue>();
};

TEST_F(FileTransferTest, UploadReadsTheFileWithThirteenNotifications) {
    const Bytes content = patternImage(300);
    files->setFile('F', content);
    Bytes buffer(512, 0xEE);
    // None of the thirteen is gated: a raised threshold thins out nothing.
    progress.raiseThresholdTo = 1000000;

    EXPECT_EQ(UploadData_(buffer.data(), 'F', 512, kCom, &NoteRecorder::callback), -300);

    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 300), content);
    EXPECT_EQ(buffer[300], 0xEE);
    // '6', the identifier, then one ACK for the length and one for the data.
    EXPECT_THAT(reader.writes(), ElementsAre(Bytes{'6'}, Bytes{'F'}, Bytes{ACK}, Bytes{ACK}));
    EXPECT_THAT(reader.answerPoints(),
                ElementsAre("wake", "command", "file id", "record length", "record"));
    // The port opens only after the two-second wait.
    EXPECT_EQ(reader.openTimesUs(), std::vector<std::uint64_t>{2000000});
    expectOpenedAndClosedOnce();

    ASSERT_EQ(progress.notes.size(), 13u);
    for (std::size_t i = 0; i < 13; ++i) {
        EXPECT_EQ(progress.notes[i].done, 20 * (i + 1));
        EXPECT_EQ(progress.notes[i].remaining, 260u);
        EXPECT_EQ(progress.notes[i].text, "UploadData\n");
        EXPECT_EQ(progress.notes[i].threadId, threadId);
    }
    EXPECT_THAT(trace.pieces(),
                ElementsAre("UploadData ", " - OpenPort 3 Start", " - R", "CheckACK Start\n",
                            "CheckACK Start\n", "CheckACK Start\n", "UploadData ClosePort OK\n"));
}

TEST_F(FileTransferTest, UploadOfAnEmptyRecordReturnsZeroAfterBothAcknowledgements) {
    files->setFile('A', {});
    Bytes buffer(16, 0xEE);

    EXPECT_EQ(UploadData_(buffer.data(), 'A', 16, kCom, nullptr), 0);

    EXPECT_THAT(reader.writes(), ElementsAre(Bytes{'6'}, Bytes{'A'}, Bytes{ACK}, Bytes{ACK}));
    EXPECT_EQ(buffer, Bytes(16, 0xEE));
    EXPECT_TRUE(files->finished());
    expectOpenedAndClosedOnce();
}

TEST_F(FileTransferTest, UploadTakesARecordInTwoPiecesButWaitsForNoThird) {
    // The first read of 300 bytes gives up after 10 000 + 300 ms; the second,
    // for what is missing, waits as long again.
    struct Case {
        std::uint64_t gapMs;
        int status;
    };
    const std::vector<Case> cases = {
        {50, -300},              // both pieces within the first read
        {15000, -300},           // the second piece for the second read
        {25000, TIMEOUT_ERROR},  // too late for the second read too
    };
    const Bytes content = patternImage(300);
    files->setFile('F', content);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gapMs);
        trace.clear();
        reader.on(readersim::kRecord, Reply::asDefault().splitAt(100, c.gapMs));
        Bytes buffer(300, 0);

        EXPECT_EQ(UploadData_(buffer.data(), 'F', 300, kCom, nullptr), c.status);

        if (c.status < 0) {
            EXPECT_EQ(buffer, content);
            EXPECT_EQ(trace.lines().back(), "UploadData ClosePort OK\n");
        } else {
            EXPECT_EQ(trace.lines().back(), "UploadData ClosePort TIMEOUT_ERROR 3\n");
        }
        EXPECT_FALSE(bus.isOpen(kCom));
    }
}

TEST_F(FileTransferTest, UploadOfARecordLargerThanTheBufferAcknowledgesItAndLeavesTheBuffer) {
    files->setFile('F', patternImage(300));
    Bytes buffer(299, 0xEE);

    EXPECT_EQ(UploadData_(buffer.data(), 'F', 299, kCom, &NoteRecorder::callback), DATA_SIZE_ERROR);

    EXPECT_EQ(buffer, Bytes(299, 0xEE));
    EXPECT_THAT(reader.writes(), ElementsAre(Bytes{'6'}, Bytes{'F'}, Bytes{ACK}, Bytes{ACK}));
    EXPECT_TRUE(files->finished());
    EXPECT_EQ(progress.notes.size(), 12u);
    EXPECT_EQ(trace.lines().back(), "UploadData ClosePort DATA_SIZE_ERROR\n");
    expectOpenedAndClosedOnce();
}

TEST_F(FileTransferTest, SomeFilesGetTwentySecondsToBeAcknowledged) {
    struct Case {
        char id;
        std::uint64_t lateMs;
        int status;
    };
    // The reader acknowledges the identifier `lateMs` after it arrived.
    const std::vector<Case> cases = {
        {'M', 15000, -4}, {'M', 25000, TIMEOUT_ERROR}, {'J', 19000, -4}, {'R', 19000, -4},
        {'F', 9000, -4},  {'F', 15000, TIMEOUT_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(1, c.id) + " " + std::to_string(c.lateMs));
        reader.clearRecords();
        files->setFile(c.id, {1, 2, 3, 4});
        reader.on(readersim::kFileId, Reply::asDefault().after(c.lateMs));
        Bytes buffer(4, 0);

        EXPECT_EQ(UploadData_(buffer.data(), c.id, 4, kCom, nullptr), c.status);

        if (c.status == TIMEOUT_ERROR) {
            // Given up 10 or 20 s (plus 1 ms for the byte asked) after the identifier.
            const std::uint64_t waitMs = c.id == 'F' ? 10000 : 20000;
            EXPECT_EQ(reader.closeTimesUs().at(0) - writeTimeOf(c.id), (waitMs + 1) * 1000);
        }
        EXPECT_FALSE(bus.isOpen(kCom));
    }
}

TEST_F(FileTransferTest, UploadWithoutABufferReturnsAtOnce) {
    EXPECT_EQ(UploadData_(nullptr, 'F', 16, kCom, &NoteRecorder::callback), NULL_BUFFER);
    EXPECT_EQ(clock.nowUs(), 0u);
    EXPECT_TRUE(reader.openTimesUs().empty());
    EXPECT_TRUE(progress.notes.empty());
}

TEST_F(FileTransferTest, DownloadWritesTheRecordStepByStep) {
    Bytes data = patternImage(300);

    EXPECT_EQ(DownloadData_(data.data(), 300, 'Y', kCom), 0);

    EXPECT_THAT(reader.writes(), ElementsAre(Bytes{'5'}, Bytes{'Y'}, Bytes{0x2C, 0x01}, data));
    EXPECT_THAT(reader.answerPoints(),
                ElementsAre("wake", "command", "file id", "record length", "record"));
    EXPECT_EQ(files->file('Y'), data);
    EXPECT_THAT(trace.pieces(),
                ElementsAre(" - OpenPort 3 Start", " - R", "DownloadData OpenPort \n",
                            "CheckACK Start\n", "CheckACK Start\n", "CheckACK Start\n",
                            "CheckACK Start\n", "CheckACK Start\n", "DownloadData ClosePort \n"));
    expectOpenedAndClosedOnce();
}

TEST_F(FileTransferTest, DownloadOfNothingSendsALengthOfZero) {
    EXPECT_EQ(DownloadData_(nullptr, 0, 'Y', kCom), 0);
    EXPECT_THAT(reader.writes(), ElementsAre(Bytes{'5'}, Bytes{'Y'}, Bytes{0, 0}));
    EXPECT_TRUE(files->hasFile('Y'));
    EXPECT_TRUE(files->file('Y').empty());
}

TEST_F(FileTransferTest, DownloadRefusesWhatItCannotSendAsOneRecordBeforeOpeningThePort) {
    Bytes data = patternImage(10);
    EXPECT_EQ(DownloadData_(nullptr, 10, 'Y', kCom), NULL_BUFFER);
    EXPECT_EQ(DownloadData_(data.data(), -1, 'Y', kCom), DATA_SIZE_ERROR);
    Bytes tooLong = patternImage(65536);
    EXPECT_EQ(DownloadData_(tooLong.data(), 65536, 'Y', kCom), DATA_SIZE_ERROR);
    EXPECT_TRUE(reader.openTimesUs().empty());

    // The longest record the length can announce still goes.
    EXPECT_EQ(DownloadData_(tooLong.data(), 65535, 'Y', kCom), 0);
    EXPECT_EQ(reader.writes().at(2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(files->file('Y'), Bytes(tooLong.begin(), tooLong.end() - 1));
}

class TestModeTest : public DialogueTest {
  protected:
    TestModeTest() { reader.addDialogue(readersim::CMD_TEST_MODE, tester); }
    std::shared_ptr<readersim::TestModeDialogue> tester =
        std::make_shared<readersim::TestModeDialogue>();
};

TEST_F(TestModeTest, StoresStatusLengthAndData) {
    tester->setAnswer(0x00, {'A', 'B', 'C'});
    Bytes output(8, 0xEE);

    EXPECT_EQ(testMode_(0x20, output.data(), 8, kCom), -6);

    EXPECT_EQ(output, (Bytes{0x00, 3, 0, 'A', 'B', 'C', 0xEE, 0xEE}));
    EXPECT_THAT(tester->codes(), ElementsAre(0x20));
    // 'T', the code, then an ACK for the status, the length and the data.
    EXPECT_THAT(reader.writes(),
                ElementsAre(Bytes{'T'}, Bytes{0x20}, Bytes{ACK}, Bytes{ACK}, Bytes{ACK}));
    EXPECT_TRUE(tester->finished());
    EXPECT_THAT(trace.pieces(), ElementsAre(" - OpenPort 3 Start", " - R", "testMode OpenPort \n",
                                            "CheckACK Start\n", "CheckACK Start\n",
                                            "CheckACK Start\n", "testMode ClosePort no error\n"));
    expectOpenedAndClosedOnce();
}

TEST_F(TestModeTest, PausesBetweenItsStepsAndSetsEachReadsTimeOut) {
    tester->setAnswer(0x00, {'A', 'B', 'C'});
    Bytes output(8);

    ASSERT_EQ(testMode_(0x20, output.data(), 8, kCom), -6);

    // Every answer of the reader is back within a millisecond, so only the
    // library's pauses set when it writes next: 'T', the code, three ACKs.
    const std::vector<std::uint64_t> times = writeTimesUs();
    ASSERT_EQ(times.size(), 5u);
    EXPECT_EQ(times[1], times[0] + 1000);
    std::uint64_t codeAckArrival = 0;
    for (const readersim::Answer& answer : reader.answers())
        if (answer.point == readersim::kTestCode) codeAckArrival = answer.atUs + wireUs(1);
    EXPECT_EQ(times[2], codeAckArrival + 1000);
    EXPECT_EQ(times[3], times[2] + 10000);
    EXPECT_EQ(times[4], times[3] + 1000);
    EXPECT_EQ(reader.closeTimesUs().at(0), times[4] + 1000);

    // The breaks' and the code's acknowledgements, the status, then the record.
    std::vector<std::uint32_t> constants;
    for (const platform::Timeouts& t : reader.timeoutChanges())
        constants.push_back(t.readTotalConstant);
    EXPECT_THAT(constants, ElementsAre(10000, 1000, 30000, 1000));
}

TEST_F(TestModeTest, EmptyRecordGivesMinusThreeAndWritesOnlyStatusAndLength) {
    tester->setAnswer(0x07, {});
    Bytes output(8, 0xEE);

    EXPECT_EQ(testMode_(0x20, output.data(), 8, kCom), -3);

    EXPECT_EQ(output, (Bytes{0x07, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_THAT(reader.writes(), ElementsAre(Bytes{'T'}, Bytes{0x20}, Bytes{ACK}, Bytes{ACK}));
    EXPECT_TRUE(tester->finished());
}

TEST_F(TestModeTest, StatusMayTakeThirtySecondsOrNinetyForCodeFF) {
    struct Case {
        std::uint8_t code;
        std::uint64_t workMs;
        int status;
    };
    const std::vector<Case> cases = {
        {0xFF, 89000, -3},
        {0xFF, 91000, TIMEOUT_ERROR},
        {0x20, 29000, -3},
        {0x20, 31000, TIMEOUT_ERROR},
    };
    tester->setAnswer(0, {});
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " " + std::to_string(c.workMs));
        reader.clearRecords();
        trace.clear();
        tester->setWorkTimeMs(c.workMs);
        Bytes output(3, 0);

        EXPECT_EQ(testMode_(static_cast<char>(c.code), output.data(), 3, kCom), c.status);

        const std::uint32_t waitMs = c.code == 0xFF ? 90000 : 30000;
        const auto changes = reader.timeoutChanges();
        EXPECT_TRUE(std::any_of(changes.begin(), changes.end(), [&](const platform::Timeouts& t) {
            return t.readTotalConstant == waitMs;
        }));
        if (c.status == TIMEOUT_ERROR) {
            EXPECT_EQ(trace.lines().back(), "testMode ClosePort TIMEOUT_ERROR 1\n");
        }
        EXPECT_FALSE(bus.isOpen(kCom));
    }
}

TEST_F(TestModeTest, TooSmallAnOutputIsRefusedAfterTheWholeRecord) {
    tester->setAnswer(0, {1, 2, 3});
    Bytes output(5, 0xEE);

    EXPECT_EQ(testMode_(0x20, output.data(), 5, kCom), DATA_SIZE_ERROR);

    EXPECT_EQ(output, Bytes(5, 0xEE));
    EXPECT_TRUE(tester->finished());
    EXPECT_EQ(trace.lines().back(), "testMode ClosePort DATA_SIZE_ERROR\n");
    expectOpenedAndClosedOnce();
}

TEST_F(TestModeTest, NoOutputReturnsAtOnce) {
    EXPECT_EQ(testMode_(0x20, nullptr, 8, kCom), NULL_BUFFER);
    EXPECT_TRUE(reader.openTimesUs().empty());
}

}  // namespace
}  // namespace dialoguetest
