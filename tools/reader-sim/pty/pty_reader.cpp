#include "pty_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace readersim {

namespace {
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kApplicationCommand = '1';

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}
}  // namespace

std::vector<std::uint64_t> applicationAckPoints(std::uint64_t length,
                                                const ApplicationBlocks& blocks) {
    std::vector<std::uint64_t> points;
    for (const ImageAck& ack : ApplicationDialogue::schedule(blocks, length))
        points.push_back(ack.afterBytes);
    return points;
}

std::uint32_t PtyReader::checksum(const unsigned char* data, std::size_t size,
                                  std::uint32_t start) {
    std::uint32_t hash = start;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

PtyReader::PtyReader() {
    try {
        open();
    } catch (...) {
        closeDescriptors();
        throw;
    }
    thread_ = std::thread([this] { run(); });
}

void PtyReader::open() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) throwErrno("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) throwErrno("unlockpt");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) throwErrno("ptsname_r");
    slavePath_ = name;
    int packet = 1;
    if (ioctl(master_, TIOCPKT, &packet) != 0) throwErrno("TIOCPKT");
    const int flags = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, flags | O_NONBLOCK);
    slaveHold_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveHold_ < 0) throwErrno("open slave");
    termios raw{};
    if (tcgetattr(slaveHold_, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(slaveHold_, TCSANOW, &raw);
    }
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    if (stopFd_ < 0) throwErrno("eventfd");
}

void PtyReader::closeDescriptors() {
    for (int* fd : {&stopFd_, &slaveHold_, &master_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

PtyReader::~PtyReader() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    closeDescriptors();
}

void PtyReader::expectApplication(std::uint64_t length, const ApplicationBlocks& blocks) {
    std::lock_guard lock(mutex_);
    sinking_ = false;
    length_ = length;
    blocks_ = blocks;
    stats_ = {};
}

void PtyReader::sink() {
    std::lock_guard lock(mutex_);
    sinking_ = true;
    stats_ = {};
}

PtyReader::Stats PtyReader::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

void PtyReader::waitForBytes(std::uint64_t bytes) {
    std::unique_lock lock(mutex_);
    progressed_.wait(lock, [&] { return stats_.bytes >= bytes; });
}

void PtyReader::answer(std::uint8_t byte, int count) {
    std::uint8_t bytes[4] = {byte, byte, byte, byte};
    std::size_t left = static_cast<std::size_t>(count);
    while (left > 0) {
        const ssize_t n = ::write(master_, bytes, std::min(left, sizeof bytes));
        if (n > 0) {
            left -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd entry{master_, POLLOUT, 0};
            poll(&entry, 1, -1);
        } else if (n < 0 && errno != EINTR) {
            return;
        }
    }
}

void PtyReader::onFlush() {
    std::lock_guard lock(mutex_);
    if (sinking_) return;
    // A new exchange: whatever the last one left half done is forgotten.
    step_ = Step::Command;
    exchangeLength_ = length_;
    ackPoints_ = applicationAckPoints(length_, blocks_);
    nextAck_ = 0;
    received_ = 0;
    runningChecksum_ = checksum(nullptr, 0);
    answer(kAck);  // the double break
}

void PtyReader::onData(const unsigned char* data, std::size_t size) {
    std::lock_guard lock(mutex_);
    if (sinking_) {
        stats_.bytes += size;
        progressed_.notify_all();
        return;
    }
    while (size > 0) {
        if (step_ == Step::Command) {
            const bool isCommand = data[0] == kApplicationCommand;
            ++data;
            --size;
            if (!isCommand) {
                ++stats_.strayBytes;
                answer(kNak);
                continue;
            }
            answer(kAck);
            step_ = Step::Image;
        } else if (step_ == Step::Image && received_ < exchangeLength_) {
            const std::uint64_t nextPoint =
                nextAck_ < ackPoints_.size() ? ackPoints_[nextAck_] : exchangeLength_;
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(size, nextPoint - received_));
            runningChecksum_ = checksum(data, take, runningChecksum_);
            received_ += take;
            stats_.bytes += take;
            data += take;
            size -= take;
        } else {
            stats_.strayBytes += size;
            return;
        }
        if (step_ != Step::Image) continue;
        int acks = 0;
        while (nextAck_ < ackPoints_.size() && ackPoints_[nextAck_] <= received_) {
            ++nextAck_;
            ++acks;
        }
        if (received_ == exchangeLength_) {
            ++acks;  // the signature is good
            step_ = Step::Idle;
            ++stats_.exchanges;
            stats_.imageChecksum = runningChecksum_;
            progressed_.notify_all();
        }
        if (acks > 0) answer(kAck, acks);
    }
}

void PtyReader::run() {
    std::vector<unsigned char> buffer(65536 + 1);
    pollfd entries[2] = {{master_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    for (;;) {
        if (poll(entries, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (entries[1].revents != 0) return;
        const ssize_t n = ::read(master_, buffer.data(), buffer.size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return;
        // Packet mode: a leading 0 carries data, anything else is an event.
        if (buffer[0] == TIOCPKT_DATA) {
            onData(buffer.data() + 1, static_cast<std::size_t>(n - 1));
        } else if (buffer[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) {
            onFlush();
        }
    }
}

}  // namespace readersim
