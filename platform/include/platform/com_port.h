#pragma once

#include <cstdint>
#include <memory>

#include "platform/export.h"

namespace platform {

// Error codes of the last failure, with the values the system's last-error
// code has on Windows so that the serial link branches on the same numbers.
enum ComError : std::uint32_t {
    ERROR_SUCCESS = 0,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_GEN_FAILURE = 31,
    ERROR_SHARING_VIOLATION = 32,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_IO_PENDING = 997,
    ERROR_DEVICE_REMOVED = 1617,
};

// DTR and RTS control as the device-control block has it.
enum class LineControl : std::uint8_t { Disable = 0, Enable = 1, Handshake = 2 };

enum Parity : std::uint8_t { NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2 };
enum StopBits : std::uint8_t { ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2 };

// The device-control block, as far as a serial port honours it here.
struct LineSettings {
    std::uint32_t baudRate = 9600;
    bool binary = true;
    bool parityCheck = false;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    LineControl dtrControl = LineControl::Disable;
    bool dsrSensitivity = false;
    bool txContinueOnXoff = false;
    bool outX = false;
    bool inX = false;
    bool errorCharReplace = false;
    bool nullStrip = false;
    LineControl rtsControl = LineControl::Disable;
    bool abortOnError = false;
    std::uint16_t xonLim = 0;
    std::uint16_t xoffLim = 0;
    std::uint8_t byteSize = 8;
    Parity parity = NOPARITY;
    StopBits stopBits = ONESTOPBIT;
    char xonChar = 0;
    char xoffChar = 0;
    char errorChar = 0;
    char eofChar = 0;
    char evtChar = 0;

    bool operator==(const LineSettings&) const = default;
};

// The time-out triple of reads and the pair of writes, in milliseconds.
// A read returns when all requested bytes arrived or after
// readTotalConstant + readTotalMultiplier * requested bytes; an interval of
// kMaxTimeout means no interval time-out. Zero everywhere means no time-out.
constexpr std::uint32_t kMaxTimeout = 0xFFFFFFFFu;

struct Timeouts {
    std::uint32_t readInterval = 0;
    std::uint32_t readTotalMultiplier = 0;
    std::uint32_t readTotalConstant = 0;
    std::uint32_t writeTotalMultiplier = 0;
    std::uint32_t writeTotalConstant = 0;

    bool operator==(const Timeouts&) const = default;
};

enum PurgeFlags : unsigned {
    PURGE_TXABORT = 0x1,
    PURGE_RXABORT = 0x2,
    PURGE_TXCLEAR = 0x4,
    PURGE_RXCLEAR = 0x8,
};

// An open COM port, owned by one object. Every call returns false on failure
// and leaves the reason in lastError(). Reads and writes are synchronous.
class PLATFORM_API ComPort {
public:
    virtual ~ComPort() = default;

    virtual bool getLineSettings(LineSettings& settings) = 0;
    virtual bool setLineSettings(const LineSettings& settings) = 0;
    virtual bool getTimeouts(Timeouts& timeouts) = 0;
    virtual bool setTimeouts(const Timeouts& timeouts) = 0;

    // Reads up to `size` bytes within the read time-outs; `got` says how many
    // came. A time-out is a success with fewer bytes.
    virtual bool read(void* buffer, std::uint32_t size, std::uint32_t& got) = 0;
    // Writes `size` bytes; `written` says how many the driver took.
    virtual bool write(const void* data, std::uint32_t size, std::uint32_t& written) = 0;

    virtual bool setBreak() = 0;
    virtual bool clearBreak() = 0;
    virtual bool purge(unsigned flags) = 0;

    // Releases the device; false when the system refused (the port is unusable
    // from then on either way). Destroying an open port closes it.
    virtual bool close() = 0;

    virtual std::uint32_t lastError() const = 0;
};

// Opens COM ports by number. Opening is exclusive: a second open of a port
// that is open fails at once with ERROR_ACCESS_DENIED.
class PLATFORM_API ComPortProvider {
public:
    virtual ~ComPortProvider() = default;
    // Returns the open port, or nullptr with `error` set.
    virtual std::unique_ptr<ComPort> open(int comNumber, std::uint32_t& error) = 0;
};

// Opens through the installed provider (termios devices unless replaced).
PLATFORM_API std::unique_ptr<ComPort> openComPort(int comNumber, std::uint32_t& error);

// Replaces the provider for the whole process; nullptr restores termios.
// Returns the previous provider (never nullptr).
PLATFORM_API ComPortProvider* setComPortProvider(ComPortProvider* provider);

// The termios provider for real devices.
PLATFORM_API ComPortProvider& termiosComPorts();

}  // namespace platform
