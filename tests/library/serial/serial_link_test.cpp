// The serial link against the simulated reader, in virtual time: every
// routine's result, trace lines, what reached the reader and how long it took.

#include "serial/serial_link.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/message_box.h"
#include "platform/virtual_com_port.h"
#include "reader_sim/reader.h"
#include "talvex.h"

namespace talvex {
namespace {

using platform::LineControl;
using platform::PortCall;
using readersim::Reply;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr int kCom = 3;
constexpr std::uint64_t kMs = 1000;  // virtual microseconds in a millisecond
// One byte crossing the line at 57 600 Bd: 10 bits, rounded up to the µs.
constexpr std::uint64_t kByteUs = 174;
// The double break ends 110 ms after the opening; the reader's ACK to it
// then needs one byte time to arrive.
constexpr std::uint64_t kAwakeUs = 110 * kMs + kByteUs;

// The block every dialogue writes: 8N1 raw at `baud`, DTR and RTS enabled.
platform::LineSettings dialogueSettings(std::uint32_t baud) {
    platform::LineSettings s;
    s.baudRate = baud;
    s.binary = true;
    s.dtrControl = LineControl::Enable;
    s.rtsControl = LineControl::Enable;
    s.byteSize = 8;
    s.parity = platform::NOPARITY;
    s.stopBits = platform::ONESTOPBIT;
    return s;
}

platform::Timeouts readTimeouts(std::uint32_t ms) {
    platform::Timeouts t;
    t.readInterval = platform::kMaxTimeout;
    t.readTotalMultiplier = 1;
    t.readTotalConstant = ms;
    return t;
}

class SerialLinkTest : public ::testing::Test {
  protected:
    std::uint64_t nowUs() { return clock.nowUs(); }

    // Opens COM3, wakes the reader and checks the acknowledgement of the breaks.
    void openAndWake() {
        ASSERT_EQ(OpenPort(kCom, handle, kDialogueBaudRate), 0);
        SendDoubleBreak(handle);
        ASSERT_EQ(CheckACK(handle, 10000), 0);
        trace.clear();
    }

    void sendCommand(std::uint8_t command) { ASSERT_TRUE(handle.writeAll(&command, 1)); }

    // The port was closed by the routine: the reader saw the close, the
    // handle holds the invalid value and the close took its full second.
    void expectClosedAt(std::uint64_t closeUs) {
        EXPECT_FALSE(bus.isOpen(kCom));
        EXPECT_TRUE(handle.isInvalid());
        ASSERT_FALSE(reader.closeTimesUs().empty());
        EXPECT_EQ(reader.closeTimesUs().back(), closeUs);
        EXPECT_EQ(nowUs(), closeUs + 1000 * kMs);
    }

    platform::VirtualClock clock;
    platform::ScopedThreadClock useClock{clock};
    platform::VirtualComBus bus;
    platform::ScopedComPortProvider useBus{bus};
    readersim::Reader reader;
    platform::VirtualLine& line = reader.plugInto(bus, kCom);
    platform::DebugCapture trace;
    platform::MessageBoxRecorder boxes;
    PortHandle handle;
};

// --- OpenPort and the line settings -----------------------------------------

TEST_F(SerialLinkTest, OpenPortPurgesAndWritesTheCompleteLineSettings) {
    EXPECT_TRUE(handle.isNull());
    ASSERT_EQ(OpenPort(kCom, handle, 57600), 0);

    EXPECT_TRUE(handle.isOpen());
    EXPECT_THAT(trace.pieces(), ElementsAre(" - OpenPort 3 Start", " - R"));
    EXPECT_THAT(reader.purges(), ElementsAre(platform::PURGE_TXABORT | platform::PURGE_RXABORT |
                                             platform::PURGE_TXCLEAR | platform::PURGE_RXCLEAR));
    EXPECT_THAT(reader.lineSettings(), ElementsAre(dialogueSettings(57600)));
    EXPECT_EQ(reader.openTimesUs(), std::vector<std::uint64_t>{0});
    EXPECT_EQ(nowUs(), 0u);
}

TEST_F(SerialLinkTest, OpenPortNamesPortsAboveNineByNumber) {
    readersim::Reader other;
    other.plugInto(bus, 12);
    PortHandle com12;
    ASSERT_EQ(OpenPort(12, com12, 57600), 0);
    EXPECT_THAT(trace.pieces(), ElementsAre(" - OpenPort 12 Start", " - R"));
    EXPECT_THAT(other.openTimesUs(), ElementsAre(0u));
}

TEST_F(SerialLinkTest, PortNumbersOutsideOneTo256AreRefusedWithoutDeviceAccess) {
    readersim::Reader atZero;
    atZero.plugInto(bus, 0);
    readersim::Reader at257;
    at257.plugInto(bus, 257);
    for (int port : {0, 257, -1}) {
        PortHandle refused;
        EXPECT_EQ(OpenPort(port, refused, 57600), OPEN_COM_PORT) << port;
        EXPECT_TRUE(refused.isNull()) << port;
    }
    EXPECT_THAT(atZero.events(), IsEmpty());
    EXPECT_THAT(at257.events(), IsEmpty());
    EXPECT_THAT(trace.pieces(), IsEmpty());
    EXPECT_EQ(nowUs(), 0u);

    readersim::Reader at256;
    at256.plugInto(bus, 256);
    PortHandle com256;
    EXPECT_EQ(OpenPort(256, com256, 57600), 0);
}

TEST_F(SerialLinkTest, APortThatCannotBeOpenedIsTriedAThousandTimesTenMillisecondsApart) {
    struct Case {
        const char* name;
        int com;
    };
    std::uint32_t error = 0;
    auto holder = bus.open(kCom, error);  // another program holds COM3
    ASSERT_NE(holder, nullptr);

    for (Case c : {Case{"held by another program", kCom}, Case{"no device", 9}}) {
        SCOPED_TRACE(c.name);
        trace.clear();
        const std::uint64_t start = nowUs();
        PortHandle busy;
        EXPECT_EQ(OpenPort(c.com, busy, 57600), OPEN_COM_PORT);
        EXPECT_EQ(nowUs() - start, 10000 * kMs);
        EXPECT_TRUE(busy.isInvalid());
        EXPECT_THAT(trace.pieces(),
                    ElementsAre(" - OpenPort " + std::to_string(c.com) + " Start", " - R"));
    }
    // The holder's port saw nothing of the attempts.
    EXPECT_THAT(reader.purges(), IsEmpty());
}

TEST_F(SerialLinkTest, OpenPortTakesThePortAsSoonAsItIsFree) {
    line.failNext(PortCall::Open, platform::ERROR_ACCESS_DENIED, 3);
    ASSERT_EQ(OpenPort(kCom, handle, 57600), 0);
    EXPECT_EQ(nowUs(), 30 * kMs);
    EXPECT_THAT(reader.openTimesUs(), ElementsAre(30 * kMs));
}

TEST_F(SerialLinkTest, RefusedLineSettingsCloseThePort) {
    struct Case {
        PortCall call;
        const char* trace;
    };
    for (Case c : {Case{PortCall::GetLineSettings, " - ConfigureSerialPort ClosePort 1\n"},
                   Case{PortCall::SetLineSettings, " - ConfigureSerialPort ClosePort 2\n"}}) {
        SCOPED_TRACE(c.trace);
        trace.clear();
        const std::uint64_t start = nowUs();
        line.failNext(c.call);
        EXPECT_EQ(OpenPort(kCom, handle, 57600), OPEN_COM_PORT);
        EXPECT_THAT(trace.pieces(), ElementsAre(" - OpenPort 3 Start", " - R", c.trace));
        expectClosedAt(start);
    }
    EXPECT_THAT(boxes.shown(), IsEmpty());
}

TEST_F(SerialLinkTest, ChangeBaudRateChangesOnlyTheRate) {
    ASSERT_EQ(OpenPort(kCom, handle, 9600), 0);
    ASSERT_TRUE(SetDTR(0, handle));
    ASSERT_EQ(ChangeBaudRate(handle, 115200), 0);

    platform::LineSettings expected = dialogueSettings(115200);
    expected.dtrControl = LineControl::Disable;
    EXPECT_EQ(reader.lineSettings().back(), expected);
    EXPECT_EQ(line.lineSettings().baudRate, 115200u);
}

TEST_F(SerialLinkTest, AFailedBaudRateChangeClosesThePort) {
    for (PortCall call : {PortCall::GetLineSettings, PortCall::SetLineSettings}) {
        ASSERT_EQ(OpenPort(kCom, handle, 9600), 0);
        trace.clear();
        const std::uint64_t start = nowUs();
        line.failNext(call);
        EXPECT_EQ(ChangeBaudRate(handle, 115200), OPEN_COM_PORT);
        EXPECT_THAT(trace.pieces(), ElementsAre(" - ChangeBaudRate ClosePort \n"));
        expectClosedAt(start);
    }
}

TEST_F(SerialLinkTest, SetDtrAndSetRtsDriveOneLineAndKeepTheRest) {
    struct Case {
        bool (*set)(int, PortHandle&);
        int level;
        LineControl dtr;
        LineControl rts;
    };
    ASSERT_EQ(OpenPort(kCom, handle, 9600), 0);
    for (Case c : {Case{SetDTR, 0, LineControl::Disable, LineControl::Enable},
                   Case{SetRTS, 0, LineControl::Disable, LineControl::Disable},
                   Case{SetDTR, 5, LineControl::Enable, LineControl::Disable},
                   Case{SetRTS, 1, LineControl::Enable, LineControl::Enable}}) {
        ASSERT_TRUE(c.set(c.level, handle));
        platform::LineSettings expected = dialogueSettings(9600);
        expected.dtrControl = c.dtr;
        expected.rtsControl = c.rts;
        EXPECT_EQ(reader.lineSettings().back(), expected);
    }
    line.failNext(PortCall::SetLineSettings);
    EXPECT_FALSE(SetDTR(1, handle));
    EXPECT_TRUE(handle.isOpen());  // the caller decides; nothing is closed
}

// --- Read time-outs ---------------------------------------------------------

TEST_F(SerialLinkTest, SetReadTimeoutWritesTheTripleOnlyWhenTheConstantChanges) {
    ASSERT_EQ(OpenPort(kCom, handle, 57600), 0);
    ASSERT_EQ(SetReadTimeout(handle, 30000), 0);
    ASSERT_EQ(SetReadTimeout(handle, 30000), 0);
    ASSERT_EQ(SetReadTimeout(handle, 1000), 0);
    EXPECT_THAT(reader.timeoutChanges(), ElementsAre(readTimeouts(30000), readTimeouts(1000)));
}

TEST_F(SerialLinkTest, AFailedReadTimeoutClosesThePort) {
    for (PortCall call : {PortCall::GetTimeouts, PortCall::SetTimeouts}) {
        ASSERT_EQ(OpenPort(kCom, handle, 57600), 0);
        trace.clear();
        const std::uint64_t start = nowUs();
        line.failNext(call);
        EXPECT_EQ(SetReadTimeout(handle, 30000), COM_ERROR);
        EXPECT_THAT(trace.pieces(), ElementsAre(" - SetReadTimeout ClosePort \n"));
        expectClosedAt(start);
    }
}

// --- The double break and the command handshake -----------------------------

TEST_F(SerialLinkTest, DoubleBreakIsTwoPulsesOfFiveMillisecondsAHundredApart) {
    ASSERT_EQ(OpenPort(kCom, handle, 57600), 0);
    SendDoubleBreak(handle);

    const auto pulses = reader.breakPulses();
    ASSERT_EQ(pulses.size(), 2u);
    EXPECT_EQ(pulses[0].onUs, 0u);
    EXPECT_EQ(pulses[0].offUs, 5 * kMs);
    EXPECT_EQ(pulses[1].onUs, 105 * kMs);
    EXPECT_EQ(pulses[1].offUs, 110 * kMs);
    EXPECT_EQ(nowUs(), 110 * kMs);  // no wait after the second pulse
}

TEST_F(SerialLinkTest, HandshakeWakesTheReaderAndHasTheCommandAcknowledged) {
    ASSERT_EQ(OpenPort(kCom, handle, 57600), 0);
    SendDoubleBreak(handle);
    ASSERT_EQ(CheckACK(handle, 10000), 0);
    EXPECT_EQ(nowUs(), kAwakeUs);  // the ACK left as the second pulse ended

    sendCommand(CMD_APPLICATION);
    ASSERT_EQ(CheckACK(handle, 10000), 0);
    EXPECT_EQ(nowUs(), kAwakeUs + 2 * kByteUs);  // the command there, the ACK back

    EXPECT_THAT(reader.received(), ElementsAre(CMD_APPLICATION));
    EXPECT_THAT(reader.answerPoints(), ElementsAre("wake", "command"));
    // The second wait had the same constant: the time-outs were written once.
    EXPECT_THAT(reader.timeoutChanges(), ElementsAre(readTimeouts(10000)));
    EXPECT_THAT(trace.pieces(),
                ElementsAre(" - OpenPort 3 Start", " - R", "CheckACK Start\n", "CheckACK Start\n"));
    EXPECT_TRUE(handle.isOpen());
}

TEST_F(SerialLinkTest, CheckAckWritesTheTimeoutWhenTheWaitChanges) {
    openAndWake();
    sendCommand(CMD_READ_FILE);
    ASSERT_EQ(CheckACK(handle, 1000), 0);
    EXPECT_THAT(reader.timeoutChanges(), ElementsAre(readTimeouts(10000), readTimeouts(1000)));
}

TEST_F(SerialLinkTest, ALateAcknowledgementWithinTheWaitIsAccepted) {
    reader.on(readersim::kCommand, Reply::asDefault().after(9000));
    openAndWake();
    sendCommand(CMD_TEST_MODE);
    EXPECT_EQ(CheckACK(handle, 10000), 0);
    EXPECT_EQ(nowUs(), kAwakeUs + kByteUs + 9000 * kMs + kByteUs);
}

// Each way an acknowledgement can fail: result, trace lines after
// "CheckACK Start\n", and how long the wait lasted before the port was closed.
TEST_F(SerialLinkTest, EveryFailedAcknowledgementClosesThePort) {
    struct Case {
        const char* name;
        void (*arrange)(readersim::Reader&, platform::VirtualLine&);
        int status;
        std::vector<std::string> lines;
        std::uint64_t waitedUs;
    };
    const std::vector<Case> cases = {
        {"NAK",
         [](readersim::Reader& r, platform::VirtualLine&) {
             r.on(readersim::kCommand, Reply::nak());
         },
         NACK_ERROR,
         {"CheckACK ClosePort 5\n", "CheckACK NACK received\n"},
         2 * kByteUs},
        {"another byte",
         [](readersim::Reader& r, platform::VirtualLine&) {
             r.on(readersim::kCommand, Reply::byte(0x41));
         },
         OTHER_ERROR,
         {"CheckACK ClosePort 5\n", "CheckACK Unknown received\n"},
         2 * kByteUs},
        {"silence",
         [](readersim::Reader& r, platform::VirtualLine&) {
             r.on(readersim::kCommand, Reply::silence());
         },
         TIMEOUT_ERROR,
         {"CheckACK ClosePort 4\n"},
         10001 * kMs},
        {"too late",
         [](readersim::Reader& r, platform::VirtualLine&) {
             r.on(readersim::kCommand, Reply::asDefault().after(10002));
         },
         TIMEOUT_ERROR,
         {"CheckACK ClosePort 4\n"},
         10001 * kMs},
        {"silence, read left I/O pending",
         [](readersim::Reader& r, platform::VirtualLine& l) {
             r.on(readersim::kCommand, Reply::silence());
             l.setTimeoutError(platform::ERROR_IO_PENDING);
         },
         TIMEOUT_ERROR,
         {"CheckACK I/O PENDING ?\n", "CheckACK ClosePort 4\n"},
         10001 * kMs},
        {"read failed, no error code",
         [](readersim::Reader&, platform::VirtualLine& l) {
             l.failNext(PortCall::Read, platform::ERROR_SUCCESS);
         },
         TIMEOUT_ERROR,
         {"CheckACK nothing read on port \n", "CheckACK ClosePort 3\n"},
         0},
        {"device vanished",
         [](readersim::Reader& r, platform::VirtualLine&) {
             r.on(readersim::kCommand, Reply::vanish().after(300));
         },
         TIMEOUT_ERROR,
         {"CheckACK ClosePort 3\n"},
         kByteUs + 300 * kMs},
        {"time-outs unreadable",
         [](readersim::Reader&, platform::VirtualLine& l) { l.failNext(PortCall::GetTimeouts); },
         COM_ERROR,
         {"CheckACK ClosePort 1\n"},
         0},
        {"time-outs refused",
         [](readersim::Reader&, platform::VirtualLine& l) { l.failNext(PortCall::SetTimeouts); },
         COM_ERROR,
         {"CheckACK ClosePort 2\n"},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        readersim::Reader fresh;
        platform::VirtualLine& freshLine = fresh.plugInto(bus, kCom);
        handle = PortHandle();
        openAndWake();
        c.arrange(fresh, freshLine);
        sendCommand(CMD_WRITE_FILE);
        const std::uint64_t start = nowUs();

        // A different wait from the wake-up's, so the time-outs are written.
        EXPECT_EQ(CheckACK(handle, 10000 + (c.status == COM_ERROR ? 1 : 0)), c.status);

        std::vector<std::string> expected = {"CheckACK Start\n"};
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(trace.pieces(), expected);
        EXPECT_FALSE(bus.isOpen(kCom));
        EXPECT_TRUE(handle.isInvalid());
        EXPECT_EQ(nowUs() - start, c.waitedUs + 1000 * kMs);
        if (!freshLine.vanished()) {
            ASSERT_EQ(fresh.closeTimesUs().size(), 1u);
            EXPECT_EQ(fresh.closeTimesUs()[0], start + c.waitedUs);
        }
    }
    EXPECT_THAT(boxes.shown(), IsEmpty());
}

TEST_F(SerialLinkTest, BytesThatArriveBetweenWaitsAreReadByTheNextWait) {
    reader.on(readersim::kCommand, Reply::bytes({ACK, NAK}));
    openAndWake();
    sendCommand(CMD_APPLICATION);
    EXPECT_EQ(CheckACK(handle, 10000), 0);
    EXPECT_EQ(CheckACK(handle, 10000), NACK_ERROR);
    // The NAK followed the ACK on the wire, then the port was closed.
    EXPECT_EQ(nowUs(), kAwakeUs + kByteUs + 2 * kByteUs + 1000 * kMs);
}

// --- Acknowledge ------------------------------------------------------------

TEST_F(SerialLinkTest, AcknowledgeSendsOneAck) {
    openAndWake();
    ASSERT_EQ(Acknowledge(handle), 0);
    EXPECT_THAT(reader.writes(), ElementsAre(ElementsAre(ACK)));
    EXPECT_THAT(trace.pieces(), IsEmpty());
    EXPECT_TRUE(handle.isOpen());
}

TEST_F(SerialLinkTest, AFailedOrShortAcknowledgementClosesThePort) {
    for (bool shortWrite : {false, true}) {
        SCOPED_TRACE(shortWrite ? "short" : "failed");
        openAndWake();
        const std::uint64_t start = nowUs();
        if (shortWrite)
            line.limitNextWrite(0);
        else
            line.failNext(PortCall::Write);
        EXPECT_EQ(Acknowledge(handle), WRITE_ERROR);
        EXPECT_THAT(trace.pieces(), ElementsAre("Acknowledge ClosePort \n"));
        expectClosedAt(start);
    }
}

// --- ClosePort --------------------------------------------------------------

TEST_F(SerialLinkTest, ClosePortReleasesThePortThenWaitsOneSecond) {
    ASSERT_EQ(OpenPort(kCom, handle, 57600), 0);
    clock.sleepMs(250);
    EXPECT_TRUE(ClosePort(handle));
    EXPECT_THAT(trace.pieces(), ElementsAre(" - OpenPort 3 Start", " - R"));
    expectClosedAt(250 * kMs);

    // The port can be opened again at once.
    PortHandle again;
    EXPECT_EQ(OpenPort(kCom, again, 57600), 0);
}

TEST_F(SerialLinkTest, ClosingAnInvalidHandleTracesAndStillWaitsOneSecond) {
    PortHandle failed;
    line.failNext(PortCall::Open, platform::ERROR_ACCESS_DENIED, platform::VirtualLine::kAlways);
    ASSERT_EQ(OpenPort(kCom, failed, 57600), OPEN_COM_PORT);
    trace.clear();
    const std::uint64_t start = nowUs();

    EXPECT_FALSE(ClosePort(failed));
    EXPECT_THAT(trace.pieces(), ElementsAre("CloseHandle NULL !!\n"));
    EXPECT_EQ(nowUs() - start, 1000 * kMs);
    EXPECT_TRUE(failed.isInvalid());
    EXPECT_THAT(boxes.shown(), IsEmpty());
}

// A variable that never held a port is closed like the null handle it
// holds: the system refuses it, and that is reported like any failed close.
TEST_F(SerialLinkTest, ClosingAVariableThatNeverHeldAPortIsRefusedAsAnInvalidHandle) {
    PortHandle never;
    EXPECT_FALSE(ClosePort(never));
    const auto shown = boxes.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "The handle is invalid.");
    EXPECT_EQ(shown[0].caption, "Error");
    EXPECT_THAT(trace.pieces(), ElementsAre("Error CloseHandle\n"));
    EXPECT_TRUE(never.isInvalid());
    EXPECT_EQ(nowUs(), 1000 * kMs);
    EXPECT_THAT(reader.events(), IsEmpty());
}

TEST_F(SerialLinkTest, AHandleThatCannotBeClosedIsReportedInAnErrorBox) {
    ASSERT_EQ(OpenPort(kCom, handle, 57600), 0);
    trace.clear();
    line.failNext(PortCall::Close, platform::ERROR_GEN_FAILURE);

    EXPECT_FALSE(ClosePort(handle));

    const auto shown = boxes.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "A device attached to the system is not functioning.");
    EXPECT_EQ(shown[0].caption, "Error");
    EXPECT_EQ(shown[0].type, platform::MB_OK | platform::MB_ICONINFORMATION);
    EXPECT_THAT(trace.pieces(), ElementsAre("Error CloseHandle\n"));
    // Treated as closed: the variable is invalid, the second still waited,
    // and the port is free again.
    expectClosedAt(0);
    PortHandle again;
    EXPECT_EQ(OpenPort(kCom, again, 57600), 0);
}

TEST_F(SerialLinkTest, AFailingRoutineAfterAFailedCloseShowsTheBoxBeforeItsTrace) {
    openAndWake();
    reader.on(readersim::kCommand, Reply::nak());
    sendCommand(CMD_APPLICATION);
    line.failNext(PortCall::Close, platform::ERROR_DEVICE_REMOVED);
    EXPECT_EQ(CheckACK(handle, 10000), NACK_ERROR);
    EXPECT_THAT(trace.pieces(), ElementsAre("CheckACK Start\n", "Error CloseHandle\n",
                                            "CheckACK ClosePort 5\n", "CheckACK NACK received\n"));
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0].text, "The device has been removed.");
}

}  // namespace
}  // namespace talvex
