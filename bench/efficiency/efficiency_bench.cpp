// Protocol efficiency of ApplicationDL_ and ApplicationDL_Lent_: the virtual
// duration of the data phase (from the command's acknowledgement reaching the
// library to the last data acknowledgement reaching it) against the time the
// image alone takes on the wire at 57 600 Bd. Printed as counters, asserted
// nowhere.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/clock.h"
#include "platform/virtual_com_port.h"
#include "reader_sim/application_dialogue.h"
#include "reader_sim/reader.h"
#include "talvex.h"

namespace {

constexpr int kCom = 3;
constexpr std::uint32_t kBaud = 57600;

using Download = int (*)(unsigned char*, unsigned long, unsigned char, int, ProgressCallback);

// When the signature phase began, on the calling thread's clock.
thread_local std::uint64_t signaturePhaseUs = 0;

void noteSignaturePhase(void* raw) {
    const auto* info = static_cast<ProgressInfo*>(raw);
    if (std::strcmp(info->text, "Signature checking and application install") == 0)
        signaturePhaseUs = platform::clock().nowUs();
}

struct Phase {
    int status = 0;
    std::uint64_t dataUs = 0;
};

Phase downloadOnce(Download download, const readersim::ApplicationBlocks& blocks,
                   std::vector<std::uint8_t>& image) {
    platform::VirtualClock clock;
    platform::ScopedThreadClock useClock(clock);
    platform::VirtualComBus bus;
    platform::ScopedComPortProvider useBus(bus);
    readersim::Reader reader;
    reader.plugInto(bus, kCom).setWireModel(true);
    auto receiver = std::make_shared<readersim::ApplicationDialogue>(blocks);
    receiver->expect(image.size());
    reader.addDialogue(readersim::CMD_APPLICATION, receiver);

    Phase phase;
    phase.status = download(image.data(), image.size(), kCom, 0, noteSignaturePhase);
    // The command's ACK left the reader at its answer time and took one byte's
    // time to reach the library.
    for (const readersim::Answer& answer : reader.answers()) {
        if (answer.point == readersim::kCommand) {
            const std::uint64_t commandAckUs =
                platform::ByteTiming{answer.atUs, 0, kBaud}.arrivalUs(0);
            phase.dataUs = signaturePhaseUs - commandAckUs;
            break;
        }
    }
    return phase;
}

void run(benchmark::State& state, Download download, readersim::ApplicationBlocks blocks) {
    const auto length = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> image(length);
    for (std::size_t i = 0; i < length; ++i) image[i] = static_cast<std::uint8_t>(i * 7);
    const double wireUs =
        static_cast<double>(platform::ByteTiming{0, 0, kBaud}.arrivalUs(length - 1));

    Phase phase;
    for (auto _ : state) {
        phase = downloadOnce(download, blocks, image);
        if (phase.status != 0) {
            state.SkipWithError("the download failed");
            return;
        }
    }
    const double dataUs = static_cast<double>(phase.dataUs);
    state.counters["wire_s"] = wireUs / 1e6;
    state.counters["data_phase_s"] = dataUs / 1e6;
    state.counters["line_busy_pct"] = 100.0 * wireUs / dataUs;
    state.counters["idle_ms"] = (dataUs - wireUs) / 1e3;
}

void ApplicationDL(benchmark::State& state) {
    run(state, ApplicationDL_, readersim::kFastBlocks);
}
void ApplicationDL_Lent(benchmark::State& state) {
    run(state, ApplicationDL_Lent_, readersim::kSlowBlocks);
}

constexpr std::int64_t kKiB = 1024;
BENCHMARK(ApplicationDL)
    ->Arg(64 * kKiB)
    ->Arg(1024 * kKiB)
    ->Arg(4096 * kKiB)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ApplicationDL_Lent)
    ->Arg(64 * kKiB)
    ->Arg(1024 * kKiB)
    ->Arg(4096 * kKiB)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
