#pragma once

// Virtual COM ports: a bus of COM numbers, each leading to a simulated peer
// (a reader) in virtual time.
//
// Time model. Every port call takes the time of the calling thread's clock
// (platform::clock(), a VirtualClock in tests). What the port's user does
// reaches the peer at once, as a LineEvent delivered on the calling thread:
// bytes written, break on and off, line settings (baud rate, DTR, RTS),
// time-out changes, purges, open and close. The peer answers by queueing
// bytes on the line with the virtual time at which they become readable. A
// blocking read advances the clock to the arrival of the last requested byte,
// or to its time-out (constant + multiplier × requested bytes) with the bytes
// that had arrived by then. Nothing happens on the line while nobody calls the
// port: a peer only reacts to events, so everything it will ever send in reply
// is queued before the next read looks.
//
// Wire model (on for every line unless switched off with setWireModel(false)):
// a byte takes 10 bits at the port's baud rate to cross the line in either
// direction, and the driver's transmit buffer holds kTransmitBufferSize
// bytes: a write returns at once while there is room, else when there is, so
// durations in virtual time are those of a real line. Bytes of one write
// follow each other on the wire without gaps, so one ByteTiming describes the
// arrival of each of them. Without the wire model every byte arrives at the
// moment it was written or queued.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com_port.h"
#include "platform/export.h"

namespace platform {

constexpr std::uint32_t kTransmitBufferSize = 4096;

// When each byte of a run reaches the other end. Without the wire model all
// bytes of a run arrive at `startUs`; with it byte i arrives when its 10 bits
// have crossed the line after the `index + i` bytes sent before it since the
// wire last became busy at `startUs`.
struct PLATFORM_API ByteTiming {
    std::uint64_t startUs = 0;
    std::uint64_t index = 0;     // bytes already on the wire since startUs
    std::uint32_t baudRate = 0;  // 0: no wire model, every byte arrives at startUs

    std::uint64_t arrivalUs(std::uint64_t i) const;
    // The timing of the same run without its first `count` bytes.
    ByteTiming skip(std::uint64_t count) const;
};

// The port calls a fault can be injected into.
enum class PortCall : std::uint8_t {
    Open,
    GetLineSettings,
    SetLineSettings,
    GetTimeouts,
    SetTimeouts,
    Read,
    Write,
    SetBreak,
    ClearBreak,
    Purge,
    Close,
};

// What reaches the peer, with the virtual time it happened at.
struct PLATFORM_API LineEvent {
    enum class Kind : std::uint8_t {
        Open,
        Close,
        Bytes,  // bytes, timing
        BreakOn,
        BreakOff,
        LineSettings,  // settings (baud rate, DTR, RTS, ...)
        Timeouts,      // timeouts: seen at the port, not on the wire
        Purge,         // purgeFlags; droppedBytes written but not yet sent
    };
    Kind kind = Kind::Open;
    std::uint64_t timeUs = 0;  // for Bytes: when the write was made
    std::vector<std::uint8_t> bytes;
    ByteTiming timing;
    LineSettings settings;
    Timeouts timeouts;
    unsigned purgeFlags = 0;
    std::uint64_t droppedBytes = 0;
};

class VirtualLine;

// The far end of a virtual port. Events arrive on the thread that called the
// port, in the order of the calls, never while the line's lock is held, so the
// peer may answer from inside onEvent.
class PLATFORM_API VirtualPeer {
  public:
    virtual ~VirtualPeer() = default;
    virtual void onEvent(VirtualLine& line, const LineEvent& event) = 0;
};

// The line between one COM number and its peer; it outlives the opens and
// closes of its port. The peer answers through it, and tests inject faults.
class PLATFORM_API VirtualLine {
  public:
    static constexpr std::uint32_t kAlways = 0xFFFFFFFFu;

    explicit VirtualLine(VirtualPeer* peer) : peer_(peer) {}
    VirtualLine(const VirtualLine&) = delete;
    VirtualLine& operator=(const VirtualLine&) = delete;

    // The time of the calling thread's clock.
    static std::uint64_t nowUs();

    // Queues bytes for the port: the first becomes readable at `atUs` (with
    // the wire model, once its 10 bits have crossed after `atUs`). Bytes keep
    // their order: none arrives before one queued earlier. Dropped while the
    // port is closed or the line is gone.
    void send(const std::vector<std::uint8_t>& bytes, std::uint64_t atUs);

    // The device disappears at `atUs`: from then on every call of its port
    // fails with ERROR_DEVICE_REMOVED, the peer hears nothing more and the COM
    // number cannot be opened (ERROR_FILE_NOT_FOUND).
    void vanishAt(std::uint64_t atUs);
    bool vanished() const;

    // The next `count` calls of that kind fail with `error` (a read or write
    // transfers nothing). kAlways keeps failing them.
    void failNext(PortCall call, std::uint32_t error = ERROR_GEN_FAILURE, std::uint32_t count = 1);
    // The next write takes only `bytes` bytes (and succeeds).
    void limitNextWrite(std::uint32_t bytes);
    // The last-error code a read leaves when its time-out ran out before all
    // bytes came (ERROR_SUCCESS unless changed, as the termios port does).
    void setTimeoutError(std::uint32_t error);

    // The wire model for this line (see above); on unless switched off.
    void setWireModel(bool on);
    bool wireModel() const;

    bool isOpen() const;
    LineSettings lineSettings() const;
    Timeouts timeouts() const;
    // Bytes queued for the port that it has not read yet.
    std::size_t pendingInput() const;

  private:
    friend class VirtualComPort;
    friend class VirtualComBus;

    struct Fault {
        std::uint32_t error = ERROR_SUCCESS;
        std::uint32_t count = 0;
    };
    struct InputByte {
        std::uint64_t atUs;
        std::uint8_t value;
    };

    // Under mutex_: whether the call may go on; sets `error` when not.
    bool admitLocked(PortCall call, std::uint64_t now, std::uint32_t& error);
    bool goneLocked(std::uint64_t now) const { return now >= vanishAtUs_; }
    void deliver(const LineEvent& event);
    void sendLocked(const std::vector<std::uint8_t>& bytes, std::uint64_t atUs);

    mutable std::mutex mutex_;
    VirtualPeer* peer_;
    bool open_ = false;
    std::uint64_t vanishAtUs_ = UINT64_MAX;
    std::map<PortCall, Fault> faults_;
    std::uint32_t writeLimit_ = UINT32_MAX;
    std::uint32_t timeoutError_ = ERROR_SUCCESS;
    bool wire_ = true;
    LineSettings settings_;
    Timeouts timeouts_;
    bool breakOn_ = false;
    std::vector<InputByte> input_;
    std::size_t inputRead_ = 0;
    // The wire towards the peer: busy since txStartUs_ with txBytes_ bytes.
    std::uint64_t txStartUs_ = 0;
    std::uint64_t txBytes_ = 0;
    std::uint32_t txBaud_ = 0;
    // The wire from the peer, likewise.
    std::uint64_t rxStartUs_ = 0;
    std::uint64_t rxBytes_ = 0;
    std::uint32_t rxBaud_ = 0;
};

// COM numbers leading to simulated peers. Opening is exclusive.
class PLATFORM_API VirtualComBus final : public ComPortProvider {
  public:
    VirtualComBus() = default;
    VirtualComBus(const VirtualComBus&) = delete;
    VirtualComBus& operator=(const VirtualComBus&) = delete;

    // Places `peer` (which must outlive its line) behind COM `comNumber`,
    // replacing whatever was there; returns the new line.
    VirtualLine& attach(int comNumber, VirtualPeer& peer);
    // Removes the COM number: it cannot be opened any more.
    void detach(int comNumber);
    // The line of a COM number (nullptr when none is attached).
    VirtualLine* line(int comNumber);
    // Whether the port of that COM number is open.
    bool isOpen(int comNumber);

    std::unique_ptr<ComPort> open(int comNumber, std::uint32_t& error) override;

  private:
    std::mutex mutex_;
    std::map<int, std::shared_ptr<VirtualLine>> lines_;
};

// Installs a provider for the whole process while it lives.
class PLATFORM_API ScopedComPortProvider {
  public:
    explicit ScopedComPortProvider(ComPortProvider& provider)
        : previous_(setComPortProvider(&provider)) {}
    ~ScopedComPortProvider() { setComPortProvider(previous_); }
    ScopedComPortProvider(const ScopedComPortProvider&) = delete;
    ScopedComPortProvider& operator=(const ScopedComPortProvider&) = delete;

  private:
    ComPortProvider* previous_;
};

}  // namespace platform
