// User + system CPU seconds per MiB for ApplicationDL_ through the termios COM
// port to a reader peer on a pseudo-terminal, side by side with writing the
// same 128-byte blocks to the same kind of pseudo-terminal with plain write()
// calls. Figures only; nothing is asserted.
//
// "thread" counters are the calling thread's CPU (the library's own cost);
// "process" counters add the peer thread that reads the other side.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "pty_reader.h"
#include "talvex.h"

namespace {

namespace fs = std::filesystem;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr int kComNumber = 5;
constexpr std::size_t kBlock = 128;

struct CpuSeconds {
    double user = 0;
    double system = 0;
};

CpuSeconds cpuNow(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

// CPU per MiB of each run, by kind and image size, for the closing comparison.
struct Figures {
    double thread = 0;
    double process = 0;
};
std::map<std::pair<std::string, std::int64_t>, Figures> g_figures;

class CpuMeter {
  public:
    CpuMeter() : thread_(cpuNow(RUSAGE_THREAD)), process_(cpuNow(RUSAGE_SELF)) {}

    void report(benchmark::State& state, double bytes, const std::string& key) const {
        const CpuSeconds thread = cpuNow(RUSAGE_THREAD);
        const CpuSeconds process = cpuNow(RUSAGE_SELF);
        const double mib = bytes / kMiB;
        const double threadUser = (thread.user - thread_.user) / mib;
        const double threadSystem = (thread.system - thread_.system) / mib;
        const double processTotal =
            (process.user - process_.user + process.system - process_.system) / mib;
        state.counters["thread_cpu_s_per_MiB"] = threadUser + threadSystem;
        state.counters["thread_user_s_per_MiB"] = threadUser;
        state.counters["thread_sys_s_per_MiB"] = threadSystem;
        state.counters["process_cpu_s_per_MiB"] = processTotal;
        state.counters["MiB"] = mib;
        g_figures[{key, state.range(0)}] = {threadUser + threadSystem, processTotal};
    }

  private:
    CpuSeconds thread_;
    CpuSeconds process_;
};

std::vector<unsigned char> makeImage(std::size_t size) {
    std::vector<unsigned char> image(size);
    for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<unsigned char>(i * 131 + 7);
    return image;
}

// COM5 leads to the peer's pseudo-terminal for the life of the object.
class ComDir {
  public:
    explicit ComDir(const std::string& device) {
        std::string pattern = (fs::temp_directory_path() / "cpu-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) return;
        dir_ = pattern;
        fs::create_symlink(device, dir_ / ("com" + std::to_string(kComNumber)));
        setenv("TALVEX_COM_DIR", dir_.c_str(), 1);
    }
    ~ComDir() {
        unsetenv("TALVEX_COM_DIR");
        if (!dir_.empty()) fs::remove_all(dir_);
    }

  private:
    fs::path dir_;
};

unsigned g_notifications = 0;
void countProgress(void* info) {
    if (static_cast<ProgressInfo*>(info)->text != nullptr) ++g_notifications;
}

void BM_ApplicationDL_Termios(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> image = makeImage(size);
    readersim::PtyReader reader;
    reader.expectApplication(size);
    ComDir comDir(reader.slavePath());

    std::uint64_t iterations = 0;
    const CpuMeter meter;
    for (auto _ : state) {
        const int status = ApplicationDL_(image.data(), static_cast<unsigned long>(size),
                                          kComNumber, 0, countProgress);
        if (status != 0) {
            state.SkipWithError(("ApplicationDL_ returned " + std::to_string(status)).c_str());
            return;
        }
        ++iterations;
    }
    meter.report(state, static_cast<double>(size) * iterations, "ApplicationDL_");

    const readersim::PtyReader::Stats stats = reader.stats();
    if (stats.exchanges != iterations || stats.strayBytes != 0 ||
        stats.imageChecksum != readersim::PtyReader::checksum(image.data(), image.size()))
        state.SkipWithError("the reader did not receive the image intact");
}

void BM_PlainWrite128(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> image = makeImage(size);
    readersim::PtyReader reader;  // sinks whatever comes
    const int fd = ::open(reader.slavePath().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        state.SkipWithError("cannot open the pseudo-terminal");
        return;
    }
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B57600);
    tcsetattr(fd, TCSANOW, &raw);

    std::uint64_t total = 0;
    const CpuMeter meter;
    for (auto _ : state) {
        for (std::size_t offset = 0; offset < size; offset += kBlock) {
            const std::size_t length = std::min(kBlock, size - offset);
            if (::write(fd, image.data() + offset, length) != static_cast<ssize_t>(length)) {
                state.SkipWithError("short write");
                ::close(fd);
                return;
            }
        }
        total += size;
        reader.waitForBytes(total);
    }
    meter.report(state, static_cast<double>(total), "plain write");
    ::close(fd);
}

// Each download also waits the protocol's real second at its close (no CPU).
BENCHMARK(BM_ApplicationDL_Termios)
    ->Arg(1 << 20)
    ->Arg(4 << 20)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_PlainWrite128)
    ->Arg(1 << 20)
    ->Arg(4 << 20)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const auto& [key, library] : g_figures) {
        if (key.first != "ApplicationDL_") continue;
        const auto plain = g_figures.find({"plain write", key.second});
        if (plain == g_figures.end() || plain->second.thread <= 0 || plain->second.process <= 0)
            continue;
        std::printf(
            "%lld bytes: ApplicationDL_ / plain writes, CPU per MiB: calling thread %.2f, "
            "process %.2f\n",
            static_cast<long long>(key.second), library.thread / plain->second.thread,
            library.process / plain->second.process);
    }
    return 0;
}
