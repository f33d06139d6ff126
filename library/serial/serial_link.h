#pragma once

// The serial link every dialogue shares: opening and configuring the port,
// the double break that wakes the reader, one-byte acknowledgements, read
// time-outs, DTR/RTS and closing under the library's lock. Every routine that
// fails closes the port itself, so a caller that receives a status never
// closes.

#include <cstdint>
#include <memory>

#include "platform/com_port.h"

namespace talvex {

constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t NAK = 0x15;

// Command bytes.
constexpr std::uint8_t CMD_FIRMWARE = '0';
constexpr std::uint8_t CMD_APPLICATION = '1';
constexpr std::uint8_t CMD_UPDATE_PACKAGE = '2';
constexpr std::uint8_t CMD_WRITE_FILE = '5';
constexpr std::uint8_t CMD_READ_FILE = '6';
constexpr std::uint8_t CMD_TEST_MODE = 'T';
constexpr std::uint8_t ANSWER_RESETS_FIRST = 'f';

constexpr std::uint32_t kDialogueBaudRate = 57600;

// A dialogue's port handle variable: null before the port is opened, open,
// or holding the invalid-handle value (after a failed opening or a close).
class PortHandle {
  public:
    bool isOpen() const { return port_ != nullptr; }
    bool isInvalid() const { return invalid_; }
    bool isNull() const { return port_ == nullptr && !invalid_; }
    platform::ComPort* port() const { return port_.get(); }

    // Writes `size` bytes; true only when the driver took all of them.
    bool writeAll(const void* data, std::uint32_t size);
    // One read within the current time-outs; false when the call failed.
    bool read(void* buffer, std::uint32_t size, std::uint32_t& got);

  private:
    friend int OpenPort(int, PortHandle&, std::uint32_t);
    friend bool ClosePort(PortHandle&);
    std::unique_ptr<platform::ComPort> port_;
    bool invalid_ = false;
};

// Opens COM `portNumber` (1 to 256) exclusively, retrying 1000 times 10 ms
// apart, purges it and configures it. 0 or OPEN_COM_PORT.
int OpenPort(int portNumber, PortHandle& handle, std::uint32_t baudRate);
// Writes the complete line settings (8N1 raw, DTR and RTS enabled). 0 or OPEN_COM_PORT.
int ConfigureSerialPort(PortHandle& handle, std::uint32_t baudRate);
// Changes only the baud rate. 0 or OPEN_COM_PORT.
int ChangeBaudRate(PortHandle& handle, std::uint32_t baudRate);
// Sets the read time-out triple with `ms` as constant (unless already so). 0 or COM_ERROR.
int SetReadTimeout(PortHandle& handle, std::uint32_t ms);
// Waits up to `ms` for one acknowledgement. 0, COM_ERROR, TIMEOUT_ERROR,
// NACK_ERROR or OTHER_ERROR.
int CheckACK(PortHandle& handle, std::uint32_t ms);
// Sends one ACK. 0 or WRITE_ERROR.
int Acknowledge(PortHandle& handle);
// Closes under the lock, then waits one second. True when a handle was closed.
bool ClosePort(PortHandle& handle);
// Two 5 ms break pulses, 100 ms apart.
void SendDoubleBreak(PortHandle& handle);
// Asserts (non-zero) or drops (zero) the line; the system call's result.
bool SetDTR(int level, PortHandle& handle);
bool SetRTS(int level, PortHandle& handle);

}  // namespace talvex
