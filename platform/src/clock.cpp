#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace platform {

std::uint64_t RealClock::nowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void RealClock::sleepUs(std::uint64_t us) {
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

void VirtualClock::advanceToUs(std::uint64_t us) {
    std::uint64_t current = now_.load();
    while (current < us && !now_.compare_exchange_weak(current, us)) {
    }
}

namespace {
RealClock g_realClock;
std::atomic<Clock*> g_processClock{&g_realClock};
thread_local Clock* t_threadClock = nullptr;
}  // namespace

Clock& clock() {
    if (t_threadClock != nullptr) return *t_threadClock;
    return *g_processClock.load();
}

void setProcessClock(Clock* clock) { g_processClock.store(clock != nullptr ? clock : &g_realClock); }

ScopedThreadClock::ScopedThreadClock(Clock& clock) : previous_(t_threadClock) {
    t_threadClock = &clock;
}

ScopedThreadClock::~ScopedThreadClock() { t_threadClock = previous_; }

}  // namespace platform
