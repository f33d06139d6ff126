#include "platform/termios_com_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>

#include "platform/clock.h"
#include "platform/com_names.h"

namespace platform {

namespace {

struct BaudEntry {
    std::uint32_t rate;
    speed_t speed;
};
constexpr BaudEntry kBaudRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> speedOf(std::uint32_t rate) {
    for (const BaudEntry& entry : kBaudRates)
        if (entry.rate == rate) return entry.speed;
    return std::nullopt;
}

std::uint32_t rateOf(speed_t speed) {
    for (const BaudEntry& entry : kBaudRates)
        if (entry.speed == speed) return entry.rate;
    return 0;
}

// The last-error code for an errno of an open.
std::uint32_t openError(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
        case ELOOP:
        case ENAMETOOLONG:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return ERROR_ACCESS_DENIED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// The last-error code for an errno of an operation on an open port.
std::uint32_t ioError(int error) {
    switch (error) {
        case EIO:
        case ENXIO:
        case ENODEV:
            return ERROR_DEVICE_REMOVED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// Modem-line and break requests fail this way on devices without them (a
// pseudo-terminal carries neither); that is not the port's failure.
bool lacksModemLines(int error) {
    return error == ENOTTY || error == EINVAL;
}

// Microseconds of a Windows total time-out: multiplier × bytes + constant;
// nullopt when both are zero (no total time-out).
std::optional<std::uint64_t> totalTimeoutUs(std::uint32_t multiplier, std::uint32_t constant,
                                            std::uint32_t bytes) {
    if (multiplier == 0 && constant == 0) return std::nullopt;
    const unsigned __int128 us =
        (static_cast<unsigned __int128>(multiplier) * bytes + constant) * 1000;
    constexpr std::uint64_t kForever = std::uint64_t{1} << 62;  // beyond any wait that matters
    return us > kForever ? kForever : static_cast<std::uint64_t>(us);
}

class TermiosComPort final : public ComPort {
  public:
    TermiosComPort(int fd, const LineSettings& settings) : fd_(fd), settings_(settings) {}
    ~TermiosComPort() override {
        if (fd_ >= 0) close();
    }

    bool getLineSettings(LineSettings& settings) override {
        if (!checkOpen()) return false;
        settings = settings_;
        return succeed();
    }

    bool setLineSettings(const LineSettings& settings) override;

    bool getTimeouts(Timeouts& timeouts) override {
        if (!checkOpen()) return false;
        timeouts = timeouts_;
        return succeed();
    }

    bool setTimeouts(const Timeouts& timeouts) override {
        if (!checkOpen()) return false;
        timeouts_ = timeouts;
        return succeed();
    }

    bool read(void* buffer, std::uint32_t size, std::uint32_t& got) override;
    bool write(const void* data, std::uint32_t size, std::uint32_t& written) override;

    bool setBreak() override { return breakRequest(TIOCSBRK); }
    bool clearBreak() override { return breakRequest(TIOCCBRK); }

    bool purge(unsigned flags) override {
        if (!checkOpen()) return false;
        const bool input = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
        const bool output = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
        if (!input && !output) return succeed();
        const int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
        if (tcflush(fd_, queue) != 0) return fail(ioError(errno));
        return succeed();
    }

    bool close() override {
        if (!checkOpen()) return false;
        const int fd = fd_;
        fd_ = -1;
        // Give up exclusivity explicitly: another process may keep the device
        // open, and the flag would otherwise outlive this port.
        ioctl(fd, TIOCNXCL);
        flock(fd, LOCK_UN);
        if (::close(fd) != 0 && errno != EINTR) return fail(ioError(errno));
        return succeed();
    }

    std::uint32_t lastError() const override { return lastError_; }

  private:
    bool checkOpen() { return fd_ >= 0 ? true : fail(ERROR_INVALID_HANDLE); }
    bool succeed() {
        lastError_ = ERROR_SUCCESS;
        return true;
    }
    bool fail(std::uint32_t error) {
        lastError_ = error;
        return false;
    }

    bool breakRequest(unsigned long request) {
        if (!checkOpen()) return false;
        if (ioctl(fd_, request) != 0 && !lacksModemLines(errno)) return fail(ioError(errno));
        return succeed();
    }

    bool setModemLine(int line, bool asserted) {
        if (ioctl(fd_, asserted ? TIOCMBIS : TIOCMBIC, &line) != 0 && !lacksModemLines(errno))
            return fail(ioError(errno));
        return true;
    }

    // Waits until the descriptor is ready for `events` or `timeoutUs` passed
    // (forever when nullopt). 1 ready, 0 timed out, -1 failed (error set).
    int waitFor(short events, std::optional<std::uint64_t> timeoutUs);

    int fd_;
    LineSettings settings_;
    Timeouts timeouts_;
    std::uint32_t lastError_ = ERROR_SUCCESS;
};

bool TermiosComPort::setLineSettings(const LineSettings& wanted) {
    if (!checkOpen()) return false;
    const std::optional<speed_t> speed = speedOf(wanted.baudRate);
    if (!speed || wanted.byteSize < 5 || wanted.byteSize > 8 || wanted.parity > EVENPARITY ||
        wanted.stopBits > TWOSTOPBITS)
        return fail(ERROR_INVALID_PARAMETER);

    termios attributes{};
    if (tcgetattr(fd_, &attributes) != 0) return fail(ioError(errno));
    cfmakeraw(&attributes);
    attributes.c_cflag |= CLOCAL | CREAD;
    attributes.c_cflag &= ~(HUPCL | CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    attributes.c_cflag |= kSizes[wanted.byteSize - 5];
    if (wanted.parity != NOPARITY) attributes.c_cflag |= PARENB;
    if (wanted.parity == ODDPARITY) attributes.c_cflag |= PARODD;
    // 1.5 stop bits exist only with 5 data bits, where the UART makes CSTOPB so.
    if (wanted.stopBits != ONESTOPBIT) attributes.c_cflag |= CSTOPB;
    if (wanted.outxCtsFlow || wanted.rtsControl == LineControl::Handshake)
        attributes.c_cflag |= CRTSCTS;
    if (wanted.parityCheck && wanted.parity != NOPARITY) attributes.c_iflag |= INPCK;
    if (wanted.outX) attributes.c_iflag |= IXON;
    if (wanted.inX) attributes.c_iflag |= IXOFF;
    attributes.c_cc[VSTART] = static_cast<cc_t>(wanted.xonChar);
    attributes.c_cc[VSTOP] = static_cast<cc_t>(wanted.xoffChar);
    attributes.c_cc[VMIN] = 1;  // with O_NONBLOCK: EAGAIN when empty, 0 at hang-up
    attributes.c_cc[VTIME] = 0;
    cfsetispeed(&attributes, *speed);
    cfsetospeed(&attributes, *speed);
    if (tcsetattr(fd_, TCSANOW, &attributes) != 0) return fail(ioError(errno));

    // DTR handshaking has no equivalent here; the line stays asserted for it.
    if (!setModemLine(TIOCM_DTR, wanted.dtrControl != LineControl::Disable)) return false;
    if (wanted.rtsControl != LineControl::Handshake &&
        !setModemLine(TIOCM_RTS, wanted.rtsControl == LineControl::Enable))
        return false;
    settings_ = wanted;
    return succeed();
}

int TermiosComPort::waitFor(short events, std::optional<std::uint64_t> timeoutUs) {
    pollfd entry{fd_, events, 0};
    timespec limit{};
    if (timeoutUs) {
        limit.tv_sec = static_cast<time_t>(*timeoutUs / 1000000);
        limit.tv_nsec = static_cast<long>(*timeoutUs % 1000000) * 1000;
    }
    for (;;) {
        const int ready = ppoll(&entry, 1, timeoutUs ? &limit : nullptr, nullptr);
        if (ready > 0) {
            // A hang-up or error shows in the next read or write.
            return 1;
        }
        if (ready == 0) return 0;
        if (errno != EINTR) {
            fail(ioError(errno));
            return -1;
        }
    }
}

bool TermiosComPort::read(void* buffer, std::uint32_t size, std::uint32_t& got) {
    got = 0;
    if (!checkOpen()) return false;
    auto* bytes = static_cast<unsigned char*>(buffer);
    const Timeouts t = timeouts_;
    const bool immediate =
        t.readInterval == kMaxTimeout && t.readTotalMultiplier == 0 && t.readTotalConstant == 0;
    // Interval "maximum" with multiplier "maximum": back with the first byte.
    const bool firstByteEnds = t.readInterval == kMaxTimeout &&
                               t.readTotalMultiplier == kMaxTimeout && t.readTotalConstant != 0 &&
                               t.readTotalConstant != kMaxTimeout;
    const std::optional<std::uint64_t> total =
        firstByteEnds ? std::optional<std::uint64_t>(std::uint64_t{t.readTotalConstant} * 1000)
                      : totalTimeoutUs(t.readTotalMultiplier, t.readTotalConstant, size);
    const bool intervalApplies = t.readInterval != 0 && t.readInterval != kMaxTimeout;

    Clock& time = clock();
    const std::uint64_t start = time.nowUs();
    std::optional<std::uint64_t> lastByteAt;
    while (got < size) {
        const ssize_t n = ::read(fd_, bytes + got, size - got);
        if (n > 0) {
            got += static_cast<std::uint32_t>(n);
            if (firstByteEnds) break;
            if (intervalApplies) lastByteAt = time.nowUs();
            continue;
        }
        if (n == 0) {
            // End of input from a terminal in raw mode: the other side is gone.
            return fail(ERROR_DEVICE_REMOVED);
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(ioError(errno));
        if (immediate) break;

        std::optional<std::uint64_t> wait;
        const std::uint64_t now = time.nowUs();
        if (total) {
            const std::uint64_t deadline = start + *total;
            wait = deadline > now ? deadline - now : 0;
        }
        if (lastByteAt) {
            const std::uint64_t deadline = *lastByteAt + std::uint64_t{t.readInterval} * 1000;
            const std::uint64_t left = deadline > now ? deadline - now : 0;
            if (!wait || left < *wait) wait = left;
        }
        if (wait && *wait == 0) break;
        const int ready = waitFor(POLLIN, wait);
        if (ready < 0) return false;
        if (ready == 0) break;  // the time-out ran out with no further byte
    }
    return succeed();
}

bool TermiosComPort::write(const void* data, std::uint32_t size, std::uint32_t& written) {
    written = 0;
    if (!checkOpen()) return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    const std::optional<std::uint64_t> total =
        totalTimeoutUs(timeouts_.writeTotalMultiplier, timeouts_.writeTotalConstant, size);
    Clock& time = clock();
    const std::uint64_t start = time.nowUs();
    while (written < size) {
        const ssize_t n = ::write(fd_, bytes + written, size - written);
        if (n > 0) {
            written += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return fail(ioError(errno));
        std::optional<std::uint64_t> wait;
        if (total) {
            const std::uint64_t now = time.nowUs();
            const std::uint64_t deadline = start + *total;
            if (deadline <= now) break;
            wait = deadline - now;
        }
        const int ready = waitFor(POLLOUT, wait);
        if (ready < 0) return false;
        if (ready == 0) break;  // write time-out: success with fewer bytes, as the driver does
    }
    return succeed();
}

// What the device has in force when it is opened, read back into a block.
LineSettings readLineSettings(int fd, const termios& attributes) {
    LineSettings settings;
    settings.baudRate = rateOf(cfgetospeed(&attributes));
    switch (attributes.c_cflag & CSIZE) {
        case CS5:
            settings.byteSize = 5;
            break;
        case CS6:
            settings.byteSize = 6;
            break;
        case CS7:
            settings.byteSize = 7;
            break;
        default:
            settings.byteSize = 8;
            break;
    }
    if (attributes.c_cflag & PARENB)
        settings.parity = (attributes.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    settings.stopBits = (attributes.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    settings.parityCheck = (attributes.c_iflag & INPCK) != 0;
    settings.outxCtsFlow = (attributes.c_cflag & CRTSCTS) != 0;
    settings.outX = (attributes.c_iflag & IXON) != 0;
    settings.inX = (attributes.c_iflag & IXOFF) != 0;
    settings.xonChar = static_cast<char>(attributes.c_cc[VSTART]);
    settings.xoffChar = static_cast<char>(attributes.c_cc[VSTOP]);
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) == 0) {
        settings.dtrControl = (lines & TIOCM_DTR) ? LineControl::Enable : LineControl::Disable;
        settings.rtsControl = (lines & TIOCM_RTS) ? LineControl::Enable : LineControl::Disable;
    } else {
        // No modem lines to read (a pseudo-terminal): report them as an open
        // serial port has them, asserted.
        settings.dtrControl = LineControl::Enable;
        settings.rtsControl = LineControl::Enable;
    }
    if (settings.outxCtsFlow) settings.rtsControl = LineControl::Handshake;
    return settings;
}

class TermiosComPorts final : public ComPortProvider {
  public:
    std::unique_ptr<ComPort> open(int comNumber, std::uint32_t& error) override {
        const std::string path = comDevicePath(comNumber);
        if (path.empty()) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        return openTermiosDevice(path, error);
    }
};

}  // namespace

std::unique_ptr<ComPort> openTermiosDevice(const std::string& path, std::uint32_t& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = openError(errno);
        return nullptr;
    }
    auto refuse = [&](std::uint32_t code) -> std::unique_ptr<ComPort> {
        ::close(fd);
        error = code;
        return nullptr;
    };
    termios attributes{};
    if (tcgetattr(fd, &attributes) != 0) return refuse(ERROR_FILE_NOT_FOUND);  // not a terminal
    // The lock keeps out every other opener, root too (root ignores TIOCEXCL).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return refuse(openError(errno));
    // A program that took the device exclusively without the lock keeps it,
    // even from root, as it would from anyone else.
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) return refuse(ERROR_ACCESS_DENIED);
    if (ioctl(fd, TIOCEXCL) != 0) return refuse(openError(errno));

    // Raw from the start, at the rate in force; closing keeps DTR and RTS.
    cfmakeraw(&attributes);
    attributes.c_cflag |= CLOCAL | CREAD;
    attributes.c_cflag &= ~HUPCL;
    attributes.c_cc[VMIN] = 1;  // with O_NONBLOCK: EAGAIN when empty, 0 at hang-up
    attributes.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &attributes) != 0 || tcgetattr(fd, &attributes) != 0)
        return refuse(openError(errno));

    error = ERROR_SUCCESS;
    return std::make_unique<TermiosComPort>(fd, readLineSettings(fd, attributes));
}

ComPortProvider& termiosComPorts() {
    static TermiosComPorts provider;
    return provider;
}

}  // namespace platform
