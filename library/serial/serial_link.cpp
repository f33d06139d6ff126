#include "serial/serial_link.h"

#include <mutex>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/message_box.h"
#include "serial/system_message.h"
#include "talvex.h"

namespace talvex {

namespace {

constexpr int kOpenAttempts = 1000;
constexpr std::uint64_t kOpenRetryMs = 10;
constexpr std::uint64_t kAfterCloseMs = 1000;
constexpr std::uint64_t kBreakPulseMs = 5;
constexpr std::uint64_t kBetweenBreaksMs = 100;

// The one process-wide lock, taken only while a handle is being closed. The
// first opening creates it; a function-local static makes that creation safe
// even when the first two openings race.
std::mutex& closingLock() {
    static std::mutex lock;
    return lock;
}

// The complete line settings of every dialogue: 8N1, raw, no flow control,
// DTR and RTS asserted.
platform::LineSettings dialogueLineSettings(std::uint32_t baudRate) {
    platform::LineSettings settings;
    settings.baudRate = baudRate;
    settings.binary = true;
    settings.parityCheck = false;
    settings.outxCtsFlow = false;
    settings.outxDsrFlow = false;
    settings.dtrControl = platform::LineControl::Enable;
    settings.dsrSensitivity = false;
    settings.txContinueOnXoff = false;
    settings.outX = false;
    settings.inX = false;
    settings.errorCharReplace = false;
    settings.nullStrip = false;
    settings.rtsControl = platform::LineControl::Enable;
    settings.abortOnError = false;
    settings.xonLim = 0;
    settings.xoffLim = 0;
    settings.byteSize = 8;
    settings.parity = platform::NOPARITY;
    settings.stopBits = platform::ONESTOPBIT;
    settings.xonChar = 0;
    settings.xoffChar = 0;
    settings.errorChar = 0;
    settings.eofChar = 0;
    settings.evtChar = 0;
    return settings;
}

// The last-error code of the handle's port (an absent port is an invalid handle).
std::uint32_t lastErrorOf(const PortHandle& handle) {
    return handle.port() != nullptr ? handle.port()->lastError() : platform::ERROR_INVALID_HANDLE;
}

bool readLineSettings(PortHandle& handle, platform::LineSettings& settings) {
    return handle.port() != nullptr && handle.port()->getLineSettings(settings);
}

bool applyLineSettings(PortHandle& handle, const platform::LineSettings& settings) {
    return handle.port() != nullptr && handle.port()->setLineSettings(settings);
}

bool readTimeouts(PortHandle& handle, platform::Timeouts& timeouts) {
    return handle.port() != nullptr && handle.port()->getTimeouts(timeouts);
}

// Sets the read triple: no interval time-out, 1 ms per byte, `ms` constant.
bool applyReadTimeout(PortHandle& handle, platform::Timeouts timeouts, std::uint32_t ms) {
    timeouts.readInterval = platform::kMaxTimeout;
    timeouts.readTotalMultiplier = 1;
    timeouts.readTotalConstant = ms;
    return handle.port()->setTimeouts(timeouts);
}

int closeAndTrace(PortHandle& handle, const char* trace, int status) {
    ClosePort(handle);
    platform::debugOutput(trace);
    return status;
}

bool setModemLine(PortHandle& handle, platform::LineControl platform::LineSettings::*field,
                  int level) {
    platform::LineSettings settings;
    if (!readLineSettings(handle, settings)) return false;
    settings.*field = level != 0 ? platform::LineControl::Enable : platform::LineControl::Disable;
    return applyLineSettings(handle, settings);
}

}  // namespace

bool PortHandle::writeAll(const void* data, std::uint32_t size) {
    std::uint32_t written = 0;
    return port_ != nullptr && port_->write(data, size, written) && written == size;
}

bool PortHandle::read(void* buffer, std::uint32_t size, std::uint32_t& got) {
    got = 0;
    return port_ != nullptr && port_->read(buffer, size, got);
}

int OpenPort(int portNumber, PortHandle& handle, std::uint32_t baudRate) {
    closingLock();
    if (portNumber < 1 || portNumber > 256) return OPEN_COM_PORT;

    platform::debugPrintf(" - OpenPort %d Start", portNumber);
    platform::debugOutput(" - R");

    handle.port_.reset();
    handle.invalid_ = false;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        std::uint32_t error = platform::ERROR_SUCCESS;
        handle.port_ = platform::openComPort(portNumber, error);
        if (handle.port_ != nullptr) break;
        platform::clock().sleepMs(kOpenRetryMs);
    }
    if (handle.port_ == nullptr) {
        handle.invalid_ = true;
        return OPEN_COM_PORT;
    }

    handle.port_->purge(platform::PURGE_TXABORT | platform::PURGE_RXABORT |
                        platform::PURGE_TXCLEAR | platform::PURGE_RXCLEAR);
    return ConfigureSerialPort(handle, baudRate);
}

int ConfigureSerialPort(PortHandle& handle, std::uint32_t baudRate) {
    platform::LineSettings settings;
    if (!readLineSettings(handle, settings))
        return closeAndTrace(handle, " - ConfigureSerialPort ClosePort 1\n", OPEN_COM_PORT);
    if (!applyLineSettings(handle, dialogueLineSettings(baudRate)))
        return closeAndTrace(handle, " - ConfigureSerialPort ClosePort 2\n", OPEN_COM_PORT);
    return 0;
}

int ChangeBaudRate(PortHandle& handle, std::uint32_t baudRate) {
    platform::LineSettings settings;
    bool ok = readLineSettings(handle, settings);
    if (ok) {
        settings.baudRate = baudRate;
        ok = applyLineSettings(handle, settings);
    }
    if (!ok) return closeAndTrace(handle, " - ChangeBaudRate ClosePort \n", OPEN_COM_PORT);
    return 0;
}

int SetReadTimeout(PortHandle& handle, std::uint32_t ms) {
    platform::Timeouts timeouts;
    if (!readTimeouts(handle, timeouts))
        return closeAndTrace(handle, " - SetReadTimeout ClosePort \n", COM_ERROR);
    if (timeouts.readTotalConstant == ms) return 0;
    if (!applyReadTimeout(handle, timeouts, ms))
        return closeAndTrace(handle, " - SetReadTimeout ClosePort \n", COM_ERROR);
    return 0;
}

int CheckACK(PortHandle& handle, std::uint32_t ms) {
    platform::debugOutput("CheckACK Start\n");

    platform::Timeouts timeouts;
    if (!readTimeouts(handle, timeouts))
        return closeAndTrace(handle, "CheckACK ClosePort 1\n", COM_ERROR);
    if (timeouts.readTotalConstant != ms && !applyReadTimeout(handle, timeouts, ms))
        return closeAndTrace(handle, "CheckACK ClosePort 2\n", COM_ERROR);

    std::uint8_t answer = 0;
    std::uint32_t got = 0;
    if (!handle.read(&answer, 1, got)) {
        if (lastErrorOf(handle) == platform::ERROR_SUCCESS)
            platform::debugOutput("CheckACK nothing read on port \n");
        return closeAndTrace(handle, "CheckACK ClosePort 3\n", TIMEOUT_ERROR);
    }
    if (got == 0) {
        if (lastErrorOf(handle) == platform::ERROR_IO_PENDING)
            platform::debugOutput("CheckACK I/O PENDING ?\n");
        return closeAndTrace(handle, "CheckACK ClosePort 4\n", TIMEOUT_ERROR);
    }
    if (answer == ACK) return 0;

    ClosePort(handle);
    platform::debugOutput("CheckACK ClosePort 5\n");
    if (answer == NAK) {
        platform::debugOutput("CheckACK NACK received\n");
        return NACK_ERROR;
    }
    platform::debugOutput("CheckACK Unknown received\n");
    return OTHER_ERROR;
}

int Acknowledge(PortHandle& handle) {
    const std::uint8_t ack = ACK;
    if (!handle.writeAll(&ack, 1))
        return closeAndTrace(handle, "Acknowledge ClosePort \n", WRITE_ERROR);
    return 0;
}

bool ClosePort(PortHandle& handle) {
    bool closed = false;
    {
        std::lock_guard<std::mutex> guard(closingLock());
        if (handle.invalid_) {
            platform::debugOutput("CloseHandle NULL !!\n");
        } else {
            // A variable that never held a port closes like a null handle: refused.
            std::uint32_t error = platform::ERROR_INVALID_HANDLE;
            if (handle.port_ != nullptr) {
                closed = handle.port_->close();
                error = handle.port_->lastError();
            }
            if (!closed) {
                platform::messageBox(systemMessage(error), "Error",
                                     platform::MB_OK | platform::MB_ICONINFORMATION);
                platform::debugOutput("Error CloseHandle\n");
            }
        }
        handle.port_.reset();
        handle.invalid_ = true;
    }
    platform::clock().sleepMs(kAfterCloseMs);
    return closed;
}

void SendDoubleBreak(PortHandle& handle) {
    platform::ComPort* port = handle.port();
    platform::Clock& clock = platform::clock();
    if (port != nullptr) port->setBreak();
    clock.sleepMs(kBreakPulseMs);
    if (port != nullptr) port->clearBreak();
    clock.sleepMs(kBetweenBreaksMs);
    if (port != nullptr) port->setBreak();
    clock.sleepMs(kBreakPulseMs);
    if (port != nullptr) port->clearBreak();
}

bool SetDTR(int level, PortHandle& handle) {
    return setModemLine(handle, &platform::LineSettings::dtrControl, level);
}

bool SetRTS(int level, PortHandle& handle) {
    return setModemLine(handle, &platform::LineSettings::rtsControl, level);
}

}  // namespace talvex
