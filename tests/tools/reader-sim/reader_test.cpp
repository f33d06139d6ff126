// The simulated reader's own rules: when it wakes, how scripted answers are
// matched to the points they replace, and how a dialogue takes the line over.

#include "reader_sim/reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "platform/clock.h"

namespace readersim {
namespace {

using platform::ComPort;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Bytes = std::vector<std::uint8_t>;

// How long `bytes` bytes sent back to back take to cross the line at
// 57 600 Bd: 10 bits each, rounded up to the µs.
constexpr std::uint64_t wireUs(std::uint64_t bytes) {
    return (bytes * 10'000'000 + 57'599) / 57'600;
}
constexpr std::uint64_t kByteUs = wireUs(1);
static_assert(kByteUs == 174 && wireUs(3) == 521);

class ReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::uint32_t error = 0;
        port = bus.open(1, error);
        ASSERT_NE(port, nullptr);
        platform::LineSettings settings;
        settings.baudRate = 57600;
        ASSERT_TRUE(port->setLineSettings(settings));
        ASSERT_TRUE(port->setTimeouts(platform::Timeouts{platform::kMaxTimeout, 1, 1000, 0, 0}));
    }
    void TearDown() override { port.reset(); }

    void pulse(std::uint64_t ms) {
        port->setBreak();
        clock.sleepMs(ms);
        port->clearBreak();
    }
    void doubleBreak() {
        pulse(5);
        clock.sleepMs(100);
        pulse(5);
    }
    void write(const Bytes& bytes) {
        std::uint32_t written = 0;
        ASSERT_TRUE(port->write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), written));
    }
    Bytes read(std::uint32_t size) {
        Bytes buffer(size);
        std::uint32_t got = 0;
        EXPECT_TRUE(port->read(buffer.data(), size, got));
        buffer.resize(got);
        return buffer;
    }

    platform::VirtualClock clock;
    platform::ScopedThreadClock useClock{clock};
    platform::VirtualComBus bus;
    Reader reader;
    platform::VirtualLine& line = reader.plugInto(bus, 1);
    std::unique_ptr<ComPort> port;
};

TEST_F(ReaderTest, WakesOnTheSecondBreakPulseAndOnlyThenAnswersCommands) {
    write({CMD_APPLICATION});  // asleep: ignored
    pulse(5);
    EXPECT_THAT(reader.answers(), IsEmpty());
    clock.sleepMs(100);
    reader.setAnswerDelayUs(2000);
    pulse(5);
    EXPECT_TRUE(reader.awake());
    write({0x00, CMD_TEST_MODE});  // not a command, then a command

    EXPECT_THAT(read(2), ElementsAre(ACK, ACK));
    const auto answers = reader.answers();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].point, kWake);
    EXPECT_EQ(answers[0].atUs, 112'000u);  // end of the second pulse + the delay
    EXPECT_EQ(answers[1].point, kCommand);
    // The command reached the reader two byte times after the pulse ended.
    EXPECT_EQ(answers[1].atUs, 110'000u + 2 * kByteUs + 2'000u);
    EXPECT_EQ(clock.nowUs(), answers[1].atUs + kByteUs);
}

TEST_F(ReaderTest, ScriptRulesApplyInTheOrderGivenAndCountOccurrencesFromNow) {
    reader.on(kCommand, Reply::nak());
    reader.on(kCommand, Reply::byte('A'));
    reader.on(kCommand, Reply::silence(), 4);
    reader.on(kAnyPoint, Reply::asDefault().after(50), 5);
    doubleBreak();  // the wake-up is an occurrence of the last rule only
    read(1);
    for (int i = 0; i < 4; ++i) write({CMD_READ_FILE});

    EXPECT_THAT(read(4), ElementsAre(NAK, 'A', ACK));  // the fourth stays silent
    std::vector<Reply::Kind> kinds;
    for (const Answer& answer : reader.answers()) kinds.push_back(answer.kind);
    EXPECT_THAT(kinds, ElementsAre(Reply::Kind::AsDefault, Reply::Kind::Bytes, Reply::Kind::Bytes,
                                   Reply::Kind::AsDefault, Reply::Kind::Silence));
    EXPECT_EQ(reader.pendingRules(), 1u);  // the fifth point has not come yet
    write({CMD_READ_FILE});
    EXPECT_EQ(reader.answers().back().atUs, clock.nowUs() + kByteUs + 50'000);
    EXPECT_EQ(reader.pendingRules(), 0u);
}

// A file-read dialogue in miniature: the identifier byte is answered with a
// record, and the dialogue ends there.
class RecordDialogue : public Dialogue {
  public:
    void start(Reader&, std::uint8_t command, std::uint64_t atUs) override {
        started.push_back({command, atUs});
    }
    std::size_t onBytes(Reader& reader, std::span<const std::uint8_t> bytes,
                        const platform::ByteTiming& timing) override {
        reader.answer("record", {3, 0, bytes[0], bytes[0], bytes[0]}, timing.arrivalUs(0));
        reader.endDialogue();
        return 1;
    }
    void stop(Reader&) override { ++stopped; }
    std::vector<std::pair<std::uint8_t, std::uint64_t>> started;
    int stopped = 0;
};

TEST_F(ReaderTest, ADialogueTakesTheLineAfterItsCommandIsAcknowledged) {
    auto dialogue = std::make_shared<RecordDialogue>();
    reader.addDialogue(CMD_READ_FILE, dialogue);
    doubleBreak();
    // The command, the identifier and a stray command the dialogue leaves to
    // the core, which is asleep again by then.
    write({CMD_READ_FILE, 'F', CMD_READ_FILE});

    EXPECT_THAT(read(7), ElementsAre(ACK, ACK, 3, 0, 'F', 'F', 'F'));
    EXPECT_THAT(dialogue->started, ElementsAre(std::make_pair(CMD_READ_FILE, 110'000u + kByteUs)));
    EXPECT_THAT(reader.answerPoints(), ElementsAre("wake", "command", "record"));
    EXPECT_EQ(dialogue->stopped, 0);
}

TEST_F(ReaderTest, ARecordCanBeCutShortOrSentInTwoPieces) {
    reader.addDialogue(CMD_READ_FILE, std::make_shared<RecordDialogue>());
    reader.on("record", Reply::partial(3));
    reader.on("record", Reply::asDefault().splitAt(2, 500));

    doubleBreak();
    write({CMD_READ_FILE, 'F'});
    EXPECT_THAT(read(7), ElementsAre(ACK, ACK, 3, 0, 'F'));  // at the time-out
    EXPECT_EQ(clock.nowUs(), 110'000u + 1'007'000u);

    doubleBreak();
    write({CMD_READ_FILE, 'A'});
    const std::uint64_t sent = clock.nowUs();
    EXPECT_THAT(read(4), ElementsAre(ACK, ACK, 3, 0));
    EXPECT_THAT(read(3), ElementsAre('A', 'A', 'A'));
    // The identifier arrives two byte times after the write; the second
    // piece leaves 500 ms later and takes three byte times.
    EXPECT_EQ(clock.nowUs(), sent + 2 * kByteUs + 500'000u + wireUs(3));
}

TEST_F(ReaderTest, ClosingThePortStopsTheDialogueAndPutsTheReaderToSleep) {
    auto dialogue = std::make_shared<RecordDialogue>();
    reader.addDialogue(CMD_READ_FILE, dialogue);
    doubleBreak();
    write({CMD_READ_FILE});
    ASSERT_TRUE(port->close());
    EXPECT_EQ(dialogue->stopped, 1);
    EXPECT_FALSE(reader.awake());
    EXPECT_EQ(line.pendingInput(), 0u);  // what was queued went with the port
}

TEST_F(ReaderTest, AVanishingAnswerTakesTheDeviceAway) {
    reader.on(kWake, Reply::vanish().after(20));
    doubleBreak();
    Bytes buffer(1);
    std::uint32_t got = 0;
    EXPECT_FALSE(port->read(buffer.data(), 1, got));
    EXPECT_EQ(port->lastError(), platform::ERROR_DEVICE_REMOVED);
    EXPECT_EQ(clock.nowUs(), 130'000u);
    EXPECT_TRUE(line.vanished());
}

}  // namespace
}  // namespace readersim
