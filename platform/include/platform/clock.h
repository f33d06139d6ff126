#pragma once

#include <atomic>
#include <cstdint>

#include "platform/export.h"

namespace platform {

// Every wait and every read time-out of the system goes through a clock.
// Time is counted in microseconds from an arbitrary origin.
class PLATFORM_API Clock {
public:
    virtual ~Clock() = default;
    virtual std::uint64_t nowUs() = 0;
    virtual void sleepUs(std::uint64_t us) = 0;

    std::uint64_t nowMs() { return nowUs() / 1000; }
    void sleepMs(std::uint64_t ms) { sleepUs(ms * 1000); }
};

// The machine's monotonic clock; sleeps really sleep.
class PLATFORM_API RealClock final : public Clock {
public:
    std::uint64_t nowUs() override;
    void sleepUs(std::uint64_t us) override;
};

// Time that passes only when someone waits: a sleep advances it at once, a
// blocking read on a virtual port advances it to the answer or the time-out.
class PLATFORM_API VirtualClock final : public Clock {
public:
    explicit VirtualClock(std::uint64_t startUs = 0) : now_(startUs) {}
    std::uint64_t nowUs() override { return now_.load(); }
    void sleepUs(std::uint64_t us) override { now_ += us; }
    // Moves the time forward to `us`; never backwards.
    void advanceToUs(std::uint64_t us);

private:
    std::atomic<std::uint64_t> now_;
};

// The clock of the calling thread: the one installed for this thread by a
// ScopedThreadClock, else the process clock (real unless replaced).
PLATFORM_API Clock& clock();

// Replaces the process clock; nullptr restores the real clock.
PLATFORM_API void setProcessClock(Clock* clock);

// Installs a clock for the calling thread for the life of the object.
class PLATFORM_API ScopedThreadClock {
public:
    explicit ScopedThreadClock(Clock& clock);
    ~ScopedThreadClock();
    ScopedThreadClock(const ScopedThreadClock&) = delete;
    ScopedThreadClock& operator=(const ScopedThreadClock&) = delete;

private:
    Clock* previous_;
};

}  // namespace platform
