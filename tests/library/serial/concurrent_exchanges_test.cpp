// Exchanges on two COM ports at once, each on its own thread with its own
// virtual clock: neither sees the other's bytes, answers or time.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/virtual_com_port.h"
#include "reader_sim/reader.h"
#include "serial/serial_link.h"
#include "talvex.h"

namespace talvex {
namespace {

using readersim::Reply;

constexpr std::uint64_t kMs = 1000;
// One byte crossing the line at 57 600 Bd: 10 bits, rounded up to the µs.
constexpr std::uint64_t kByteUs = 174;
// The double break (110 ms), then three bytes across the line one after the
// other: the ACK to the breaks, the command and its ACK.
constexpr std::uint64_t kHandshakeUs = 110 * kMs + 3 * kByteUs;

struct Outcome {
    std::vector<int> statuses;
    std::vector<std::uint64_t> durationsUs;
};

// Runs `rounds` handshakes with `command` on COM `com`, each closed at the end.
Outcome runExchanges(int com, std::uint8_t command, int rounds) {
    platform::VirtualClock clock;
    platform::ScopedThreadClock useClock(clock);
    Outcome outcome;
    for (int round = 0; round < rounds; ++round) {
        const std::uint64_t start = clock.nowUs();
        PortHandle handle;
        int status = OpenPort(com, handle, kDialogueBaudRate);
        if (status == 0) {
            SendDoubleBreak(handle);
            status = CheckACK(handle, 10000);
        }
        if (status == 0) status = handle.writeAll(&command, 1) ? 0 : OTHER_ERROR;
        if (status == 0) status = CheckACK(handle, 10000);
        if (status == 0) status = Acknowledge(handle);
        if (status == 0) ClosePort(handle);
        outcome.statuses.push_back(status);
        outcome.durationsUs.push_back(clock.nowUs() - start);
    }
    return outcome;
}

TEST(ConcurrentExchanges, TwoPortsOnTwoThreadsDoNotInterfere) {
    constexpr int kRounds = 20;
    platform::VirtualComBus bus;
    platform::ScopedComPortProvider useBus(bus);
    readersim::Reader first;
    first.plugInto(bus, 3);
    readersim::Reader second;
    second.plugInto(bus, 4);
    // COM3's reader takes 3 s over every command; COM4's refuses every other one.
    for (int round = 0; round < kRounds; ++round) {
        first.on(readersim::kCommand, Reply::asDefault().after(3000));
        second.on(readersim::kCommand, round % 2 == 0 ? Reply::asDefault() : Reply::nak());
    }

    Outcome onFirst;
    Outcome onSecond;
    std::thread a([&] { onFirst = runExchanges(3, CMD_APPLICATION, kRounds); });
    std::thread b([&] { onSecond = runExchanges(4, CMD_TEST_MODE, kRounds); });
    a.join();
    b.join();

    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(onFirst.statuses[round], 0);
        EXPECT_EQ(onFirst.durationsUs[round], kHandshakeUs + 3000 * kMs + 1000 * kMs);
        const bool refused = round % 2 == 1;
        EXPECT_EQ(onSecond.statuses[round], refused ? NACK_ERROR : 0);
        EXPECT_EQ(onSecond.durationsUs[round], kHandshakeUs + 1000 * kMs);
    }

    // Each reader heard only its own exchanges: per round the command and,
    // when accepted, the library's ACK.
    std::vector<std::uint8_t> expectFirst;
    std::vector<std::uint8_t> expectSecond;
    for (int round = 0; round < kRounds; ++round) {
        expectFirst.insert(expectFirst.end(), {CMD_APPLICATION, ACK});
        expectSecond.push_back(CMD_TEST_MODE);
        if (round % 2 == 0) expectSecond.push_back(ACK);
    }
    EXPECT_EQ(first.received(), expectFirst);
    EXPECT_EQ(second.received(), expectSecond);
    EXPECT_EQ(first.closeTimesUs().size(), static_cast<std::size_t>(kRounds));
    EXPECT_EQ(second.closeTimesUs().size(), static_cast<std::size_t>(kRounds));
    EXPECT_FALSE(bus.isOpen(3));
    EXPECT_FALSE(bus.isOpen(4));
}

}  // namespace
}  // namespace talvex
