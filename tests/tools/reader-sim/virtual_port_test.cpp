// The virtual port's time model, beyond what the serial link's tests show:
// partial reads at the time-out, answers in pieces, the wire model, purges,
// exclusivity and a vanishing device.

#include "platform/virtual_com_port.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "platform/clock.h"

namespace platform {
namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

// A peer that records what reaches it and answers each write with the
// answer queued for it, `delayUs` after the last byte arrived.
class ScriptedPeer : public VirtualPeer {
  public:
    void onEvent(VirtualLine& line, const LineEvent& event) override {
        events.push_back(event);
        if (event.kind != LineEvent::Kind::Bytes || answers.empty()) return;
        const std::uint64_t last = event.timing.arrivalUs(event.bytes.size() - 1);
        line.send(answers.front(), last + delayUs);
        answers.erase(answers.begin());
    }
    std::vector<LineEvent> events;
    std::vector<Bytes> answers;
    std::uint64_t delayUs = 0;
};

class VirtualPortTest : public ::testing::Test {
  protected:
    std::unique_ptr<ComPort> open(std::uint32_t constantMs, std::uint32_t multiplier = 1) {
        std::uint32_t error = 0;
        auto port = bus.open(1, error);
        EXPECT_NE(port, nullptr);
        LineSettings settings;
        settings.baudRate = 57600;
        EXPECT_TRUE(port->setLineSettings(settings));
        EXPECT_TRUE(port->setTimeouts(Timeouts{kMaxTimeout, multiplier, constantMs, 0, 0}));
        return port;
    }
    Bytes write(ComPort& port, const Bytes& bytes) {
        std::uint32_t written = 0;
        EXPECT_TRUE(port.write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), written));
        EXPECT_EQ(written, bytes.size());
        return bytes;
    }
    Bytes read(ComPort& port, std::uint32_t size) {
        Bytes buffer(size);
        std::uint32_t got = 0;
        EXPECT_TRUE(port.read(buffer.data(), size, got));
        buffer.resize(got);
        return buffer;
    }

    VirtualClock clock;
    ScopedThreadClock useClock{clock};
    VirtualComBus bus;
    ScriptedPeer peer;
    VirtualLine& line = bus.attach(1, peer);
};

TEST_F(VirtualPortTest, AReadEndsWithTheLastRequestedByteOrAtItsTimeoutWithWhatCame) {
    auto port = open(1000);
    peer.delayUs = 40'000;
    peer.answers = {{1, 2, 3}};
    write(*port, {'6'});

    // Five requested, three come: the read lasts 1000 + 5 × 1 ms.
    EXPECT_THAT(read(*port, 5), ElementsAre(1, 2, 3));
    EXPECT_EQ(clock.nowUs(), 1'005'000u);
    EXPECT_EQ(port->lastError(), ERROR_SUCCESS);

    peer.answers = {{4, 5}};
    write(*port, {'6'});
    EXPECT_THAT(read(*port, 2), ElementsAre(4, 5));
    // With the second byte, not at the time-out: the request crossed the
    // line, the peer waited 40 ms, and the two bytes crossed back.
    EXPECT_EQ(clock.nowUs(), 1'005'000u + 174u + 40'000u + 2 * 174u);
}

TEST_F(VirtualPortTest, BytesThatCameEarlierAreReadAtOnceAndLaterOnesInOrder) {
    auto port = open(1000);
    line.send({7}, 2'000'000);
    line.send({8, 9}, 0);  // queued later: arrives after the 7 nonetheless
    clock.sleepMs(3000);
    EXPECT_THAT(read(*port, 3), ElementsAre(7, 8, 9));
    EXPECT_EQ(clock.nowUs(), 3'000'000u);
}

TEST_F(VirtualPortTest, TheWireModelTimesEachByteAndTheTransmitBuffer) {
    EXPECT_TRUE(line.wireModel());  // every line models the wire unless told otherwise
    auto port = open(1000);

    // 128 bytes at 57 600 Bd: back at once, the last byte there after 22.2 ms.
    write(*port, Bytes(128, 0x55));
    EXPECT_EQ(clock.nowUs(), 0u);
    const ByteTiming first = peer.events.back().timing;
    EXPECT_EQ(first.arrivalUs(0), 174u);
    EXPECT_EQ(first.arrivalUs(127), 22'223u);

    // 5 000 more do not fit in the 4 096-byte buffer: the write returns when
    // 1 032 bytes (5 128 - 4 096) have crossed.
    write(*port, Bytes(5000, 0xAA));
    const ByteTiming second = peer.events.back().timing;
    EXPECT_EQ(second.arrivalUs(0), 22'396u);  // right behind the first write
    EXPECT_EQ(clock.nowUs(), 179'167u);
    EXPECT_EQ(second.arrivalUs(4999), 890'278u);  // 5 128 bytes of 10 bits

    // The command goes out behind them; the answer crosses the line too.
    peer.answers = {{0x06}};
    write(*port, {'1'});
    EXPECT_EQ(peer.events.back().timing.arrivalUs(0), 890'452u);
    EXPECT_THAT(read(*port, 1), ElementsAre(0x06));
    EXPECT_EQ(clock.nowUs(), 890'452u + 174u);
}

TEST_F(VirtualPortTest, WithoutTheWireModelBytesArriveWhenWrittenOrQueued) {
    line.setWireModel(false);
    auto port = open(1000);
    write(*port, Bytes(5000, 0xAA));
    EXPECT_EQ(clock.nowUs(), 0u);  // no transmit buffer to wait for
    EXPECT_EQ(peer.events.back().timing.arrivalUs(4999), 0u);

    line.send({1, 2}, 300);
    EXPECT_THAT(read(*port, 2), ElementsAre(1, 2));
    EXPECT_EQ(clock.nowUs(), 300u);
}

TEST_F(VirtualPortTest, APurgeDropsWhatHasArrivedButNotWhatIsOnItsWay) {
    auto port = open(1000);
    line.send({1}, 0);
    line.send({2}, 500'000);
    clock.sleepMs(1);  // the first byte has crossed the line, the second not
    ASSERT_TRUE(port->purge(PURGE_RXABORT | PURGE_RXCLEAR));
    EXPECT_THAT(read(*port, 2), ElementsAre(2));
    EXPECT_EQ(peer.events.back().purgeFlags, unsigned{PURGE_RXABORT | PURGE_RXCLEAR});
}

TEST_F(VirtualPortTest, ATransmitPurgeDropsWhatHasNotCrossedYet) {
    auto port = open(1000);
    // The write comes back once 904 bytes (5 000 - 4 096) have crossed.
    write(*port, Bytes(5000, 0xAA));
    EXPECT_EQ(clock.nowUs(), 156'945u);
    ASSERT_TRUE(port->purge(PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(peer.events.back().droppedBytes, 4096u);
    // The line is free at once for what follows.
    write(*port, {'1'});
    EXPECT_EQ(peer.events.back().timing.arrivalUs(0), 156'945u + 174u);
}

TEST_F(VirtualPortTest, OpeningIsExclusiveAndAClosedPortIsDead) {
    auto port = open(1000);
    std::uint32_t error = 0;
    EXPECT_EQ(bus.open(1, error), nullptr);
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);

    EXPECT_TRUE(port->close());
    Bytes buffer(1);
    std::uint32_t got = 0;
    EXPECT_FALSE(port->read(buffer.data(), 1, got));
    EXPECT_EQ(port->lastError(), ERROR_INVALID_HANDLE);
    EXPECT_NE(bus.open(1, error), nullptr);
}

TEST_F(VirtualPortTest, AVanishedDeviceFailsEveryCallAndHearsNothingMore) {
    auto port = open(5000);
    line.vanishAt(2'000'000);
    Bytes buffer(1);
    std::uint32_t got = 0;
    // The read waits until the device goes, then fails.
    EXPECT_FALSE(port->read(buffer.data(), 1, got));
    EXPECT_EQ(port->lastError(), ERROR_DEVICE_REMOVED);
    EXPECT_EQ(clock.nowUs(), 2'000'000u);

    const std::size_t heard = peer.events.size();
    EXPECT_FALSE(port->setBreak());
    EXPECT_EQ(port->lastError(), ERROR_DEVICE_REMOVED);
    EXPECT_TRUE(port->close());  // the handle still goes
    EXPECT_EQ(peer.events.size(), heard);

    std::uint32_t error = 0;
    EXPECT_EQ(bus.open(1, error), nullptr);
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace platform
