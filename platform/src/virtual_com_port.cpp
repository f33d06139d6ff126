#include "platform/virtual_com_port.h"

#include <algorithm>

#include "platform/clock.h"

namespace platform {

namespace {

constexpr std::uint64_t kNever = UINT64_MAX;
constexpr std::uint64_t kBitsTimesUs = 10'000'000;  // 10 bits a byte, in µs × baud

// Microseconds for `bytes` bytes to cross the line at `baud`, rounded up.
std::uint64_t wireUs(std::uint64_t bytes, std::uint32_t baud) {
    const unsigned __int128 product = static_cast<unsigned __int128>(bytes) * kBitsTimesUs;
    return static_cast<std::uint64_t>((product + baud - 1) / baud);
}

// Bytes that have completely crossed the line `elapsedUs` after the wire
// became busy.
std::uint64_t bytesCrossed(std::uint64_t elapsedUs, std::uint32_t baud) {
    const unsigned __int128 product = static_cast<unsigned __int128>(elapsedUs) * baud;
    return static_cast<std::uint64_t>(product / kBitsTimesUs);
}

// Microseconds of a total time-out; kNever when there is none.
std::uint64_t totalTimeoutUs(std::uint32_t multiplier, std::uint32_t constant,
                             std::uint32_t bytes) {
    if (multiplier == 0 && constant == 0) return kNever;
    const unsigned __int128 us =
        (static_cast<unsigned __int128>(multiplier) * bytes + constant) * 1000;
    constexpr std::uint64_t kForever = std::uint64_t{1} << 62;
    return us > kForever ? kForever : static_cast<std::uint64_t>(us);
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return b > kNever - a ? kNever : a + b;
}

}  // namespace

std::uint64_t ByteTiming::arrivalUs(std::uint64_t i) const {
    if (baudRate == 0) return startUs;
    return startUs + wireUs(index + i + 1, baudRate);
}

ByteTiming ByteTiming::skip(std::uint64_t count) const {
    ByteTiming rest = *this;
    if (baudRate != 0) rest.index += count;
    return rest;
}

// ---------------------------------------------------------------------------
// The port as its user sees it.

class VirtualComPort final : public ComPort {
  public:
    explicit VirtualComPort(std::shared_ptr<VirtualLine> line) : line_(std::move(line)) {}
    ~VirtualComPort() override {
        if (!closed_) close();
    }

    bool getLineSettings(LineSettings& settings) override;
    bool setLineSettings(const LineSettings& settings) override;
    bool getTimeouts(Timeouts& timeouts) override;
    bool setTimeouts(const Timeouts& timeouts) override;
    bool read(void* buffer, std::uint32_t size, std::uint32_t& got) override;
    bool write(const void* data, std::uint32_t size, std::uint32_t& written) override;
    bool setBreak() override { return breakRequest(true); }
    bool clearBreak() override { return breakRequest(false); }
    bool purge(unsigned flags) override;
    bool close() override;
    std::uint32_t lastError() const override { return lastError_; }

  private:
    // Under the line's lock: whether the call may go on (sets lastError_ when not).
    bool admit(PortCall call, std::uint64_t now) {
        if (closed_) return fail(ERROR_INVALID_HANDLE);
        std::uint32_t error = ERROR_SUCCESS;
        if (!line_->admitLocked(call, now, error)) return fail(error);
        return true;
    }
    bool succeed() {
        lastError_ = ERROR_SUCCESS;
        return true;
    }
    bool fail(std::uint32_t error) {
        lastError_ = error;
        return false;
    }
    bool breakRequest(bool on);

    std::shared_ptr<VirtualLine> line_;
    bool closed_ = false;
    std::uint32_t lastError_ = ERROR_SUCCESS;
};

bool VirtualComPort::getLineSettings(LineSettings& settings) {
    std::lock_guard<std::mutex> lock(line_->mutex_);
    if (!admit(PortCall::GetLineSettings, VirtualLine::nowUs())) return false;
    settings = line_->settings_;
    return succeed();
}

bool VirtualComPort::setLineSettings(const LineSettings& settings) {
    LineEvent event;
    {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        const std::uint64_t now = VirtualLine::nowUs();
        if (!admit(PortCall::SetLineSettings, now)) return false;
        if (settings.baudRate == 0 || settings.byteSize < 5 || settings.byteSize > 8)
            return fail(ERROR_INVALID_PARAMETER);
        line_->settings_ = settings;
        event.kind = LineEvent::Kind::LineSettings;
        event.timeUs = now;
        event.settings = settings;
    }
    line_->deliver(event);
    return succeed();
}

bool VirtualComPort::getTimeouts(Timeouts& timeouts) {
    std::lock_guard<std::mutex> lock(line_->mutex_);
    if (!admit(PortCall::GetTimeouts, VirtualLine::nowUs())) return false;
    timeouts = line_->timeouts_;
    return succeed();
}

bool VirtualComPort::setTimeouts(const Timeouts& timeouts) {
    LineEvent event;
    {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        const std::uint64_t now = VirtualLine::nowUs();
        if (!admit(PortCall::SetTimeouts, now)) return false;
        line_->timeouts_ = timeouts;
        event.kind = LineEvent::Kind::Timeouts;
        event.timeUs = now;
        event.timeouts = timeouts;
    }
    line_->deliver(event);
    return succeed();
}

bool VirtualComPort::read(void* buffer, std::uint32_t size, std::uint32_t& got) {
    got = 0;
    Clock& clock = platform::clock();
    const std::uint64_t now = clock.nowUs();
    std::uint64_t end = now;
    bool ok = true;
    {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        if (!admit(PortCall::Read, now)) return false;
        VirtualLine& line = *line_;
        const Timeouts t = line.timeouts_;
        const bool immediate =
            t.readInterval == kMaxTimeout && t.readTotalMultiplier == 0 && t.readTotalConstant == 0;
        // Interval "maximum" with multiplier "maximum": back with the first byte.
        const bool firstByteEnds = t.readInterval == kMaxTimeout &&
                                   t.readTotalMultiplier == kMaxTimeout &&
                                   t.readTotalConstant != 0 && t.readTotalConstant != kMaxTimeout;
        const std::uint64_t total =
            firstByteEnds ? std::uint64_t{t.readTotalConstant} * 1000
                          : totalTimeoutUs(t.readTotalMultiplier, t.readTotalConstant, size);
        const std::uint64_t deadline = immediate ? now : saturatingAdd(now, total);
        const std::uint64_t interval = t.readInterval != 0 && t.readInterval != kMaxTimeout
                                           ? std::uint64_t{t.readInterval} * 1000
                                           : kNever;

        std::uint32_t count = 0;
        std::uint64_t lastAt = now;
        bool cutByInterval = false;
        for (std::size_t k = line.inputRead_; k < line.input_.size() && count < size; ++k) {
            const std::uint64_t at = std::max(line.input_[k].atUs, now);
            if (at > deadline) break;
            if (count > 0 && interval != kNever && at - lastAt > interval) {
                cutByInterval = true;
                break;
            }
            if (firstByteEnds && count > 0 && at > lastAt) break;
            ++count;
            lastAt = at;
        }
        if (count == size || (firstByteEnds && count > 0)) {
            end = lastAt;
        } else if (cutByInterval) {
            end = std::min(lastAt + interval, deadline);
        } else if (deadline != kNever) {
            end = deadline;
        } else {
            // No time-out at all: nothing more will ever come, so the read
            // ends when the last byte that will come has come.
            end = lastAt;
        }

        if (line.vanishAtUs_ <= end) {
            end = std::max(now, line.vanishAtUs_);
            ok = fail(ERROR_DEVICE_REMOVED);
        } else {
            auto* bytes = static_cast<std::uint8_t*>(buffer);
            for (std::uint32_t i = 0; i < count; ++i)
                bytes[i] = line.input_[line.inputRead_ + i].value;
            line.inputRead_ += count;
            if (line.inputRead_ == line.input_.size()) {
                line.input_.clear();
                line.inputRead_ = 0;
            }
            got = count;
            lastError_ = count == size ? ERROR_SUCCESS : line.timeoutError_;
        }
    }
    if (end > now) clock.sleepUs(end - now);
    return ok;
}

bool VirtualComPort::write(const void* data, std::uint32_t size, std::uint32_t& written) {
    written = 0;
    Clock& clock = platform::clock();
    const std::uint64_t now = clock.nowUs();
    std::uint64_t returnAt = now;
    LineEvent event;
    {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        if (!admit(PortCall::Write, now)) return false;
        VirtualLine& line = *line_;
        std::uint32_t taken = std::min(size, line.writeLimit_);
        line.writeLimit_ = UINT32_MAX;

        event.kind = LineEvent::Kind::Bytes;
        event.timeUs = now;
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        event.bytes.assign(bytes, bytes + taken);
        event.timing.startUs = now;
        if (line.wire_) {
            const std::uint32_t baud = line.settings_.baudRate;
            const std::uint64_t busyUntil =
                line.txBaud_ != 0 ? line.txStartUs_ + wireUs(line.txBytes_, line.txBaud_) : 0;
            if (busyUntil <= now) {
                line.txStartUs_ = now;
                line.txBytes_ = 0;
            } else if (line.txBaud_ != baud) {
                line.txStartUs_ = busyUntil;
                line.txBytes_ = 0;
            }
            line.txBaud_ = baud;
            event.timing = ByteTiming{line.txStartUs_, line.txBytes_, baud};
            // The driver takes the bytes as its buffer makes room for them.
            const std::uint64_t sent =
                std::min(line.txBytes_, bytesCrossed(now - std::min(now, line.txStartUs_), baud));
            const std::uint64_t queued = line.txBytes_ - sent + taken;
            if (queued > kTransmitBufferSize) {
                const std::uint64_t mustHaveCrossed = line.txBytes_ + taken - kTransmitBufferSize;
                returnAt = line.txStartUs_ + wireUs(mustHaveCrossed, baud);
            }
            line.txBytes_ += taken;
        }
        written = taken;
    }
    if (!event.bytes.empty()) line_->deliver(event);
    if (returnAt > now) clock.sleepUs(returnAt - now);
    return succeed();
}

bool VirtualComPort::breakRequest(bool on) {
    LineEvent event;
    {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        const std::uint64_t now = VirtualLine::nowUs();
        if (!admit(on ? PortCall::SetBreak : PortCall::ClearBreak, now)) return false;
        line_->breakOn_ = on;
        event.kind = on ? LineEvent::Kind::BreakOn : LineEvent::Kind::BreakOff;
        event.timeUs = now;
    }
    line_->deliver(event);
    return succeed();
}

bool VirtualComPort::purge(unsigned flags) {
    LineEvent event;
    {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        const std::uint64_t now = VirtualLine::nowUs();
        if (!admit(PortCall::Purge, now)) return false;
        VirtualLine& line = *line_;
        if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) {
            // What has arrived is dropped; what is still on its way comes.
            std::size_t k = line.inputRead_;
            while (k < line.input_.size() && line.input_[k].atUs <= now) ++k;
            line.inputRead_ = k;
        }
        if ((flags & (PURGE_TXABORT | PURGE_TXCLEAR)) && line.wire_ && line.txBaud_ != 0 &&
            now >= line.txStartUs_) {
            const std::uint64_t sent =
                std::min(line.txBytes_, bytesCrossed(now - line.txStartUs_, line.txBaud_));
            event.droppedBytes = line.txBytes_ - sent;
            line.txBytes_ = sent;
        }
        event.kind = LineEvent::Kind::Purge;
        event.timeUs = now;
        event.purgeFlags = flags;
    }
    line_->deliver(event);
    return succeed();
}

bool VirtualComPort::close() {
    if (closed_) return fail(ERROR_INVALID_HANDLE);
    LineEvent event;
    std::uint32_t error = ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        const std::uint64_t now = VirtualLine::nowUs();
        // A removed device still lets its handle go; only an injected fault refuses.
        auto fault = line_->faults_.find(PortCall::Close);
        if (fault != line_->faults_.end() && fault->second.count > 0) {
            error = fault->second.error;
            if (fault->second.count != VirtualLine::kAlways) --fault->second.count;
        }
        VirtualLine& line = *line_;
        line.open_ = false;
        line.breakOn_ = false;
        line.input_.clear();
        line.inputRead_ = 0;
        line.txBytes_ = 0;
        line.txBaud_ = 0;
        line.rxBytes_ = 0;
        line.rxBaud_ = 0;
        event.kind = LineEvent::Kind::Close;
        event.timeUs = now;
    }
    closed_ = true;
    line_->deliver(event);
    return error == ERROR_SUCCESS ? succeed() : fail(error);
}

// ---------------------------------------------------------------------------
// The line.

std::uint64_t VirtualLine::nowUs() {
    return platform::clock().nowUs();
}

bool VirtualLine::admitLocked(PortCall call, std::uint64_t now, std::uint32_t& error) {
    if (goneLocked(now)) {
        error = ERROR_DEVICE_REMOVED;
        return false;
    }
    auto fault = faults_.find(call);
    if (fault != faults_.end() && fault->second.count > 0) {
        error = fault->second.error;
        if (fault->second.count != kAlways) --fault->second.count;
        return false;
    }
    return true;
}

void VirtualLine::deliver(const LineEvent& event) {
    if (peer_ == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (goneLocked(event.timeUs)) return;
    }
    peer_->onEvent(*this, event);
}

void VirtualLine::send(const std::vector<std::uint8_t>& bytes, std::uint64_t atUs) {
    std::lock_guard<std::mutex> lock(mutex_);
    sendLocked(bytes, atUs);
}

void VirtualLine::sendLocked(const std::vector<std::uint8_t>& bytes, std::uint64_t atUs) {
    if (!open_ || bytes.empty() || atUs >= vanishAtUs_) return;
    const std::uint64_t lastQueued = input_.size() > inputRead_ ? input_.back().atUs : 0;
    if (!wire_) {
        const std::uint64_t at = std::max(atUs, lastQueued);
        for (std::uint8_t value : bytes) input_.push_back({at, value});
        return;
    }
    const std::uint32_t baud = settings_.baudRate;
    const std::uint64_t busyUntil = rxBaud_ != 0 ? rxStartUs_ + wireUs(rxBytes_, rxBaud_) : 0;
    if (busyUntil <= atUs || rxBaud_ != baud) {
        rxStartUs_ = std::max(atUs, busyUntil);
        rxBytes_ = 0;
        rxBaud_ = baud;
    }
    for (std::uint8_t value : bytes) {
        ++rxBytes_;
        input_.push_back({rxStartUs_ + wireUs(rxBytes_, baud), value});
    }
}

void VirtualLine::vanishAt(std::uint64_t atUs) {
    std::lock_guard<std::mutex> lock(mutex_);
    vanishAtUs_ = std::min(vanishAtUs_, atUs);
}

bool VirtualLine::vanished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return goneLocked(nowUs());
}

void VirtualLine::failNext(PortCall call, std::uint32_t error, std::uint32_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[call] = Fault{error, count};
}

void VirtualLine::limitNextWrite(std::uint32_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeLimit_ = bytes;
}

void VirtualLine::setTimeoutError(std::uint32_t error) {
    std::lock_guard<std::mutex> lock(mutex_);
    timeoutError_ = error;
}

void VirtualLine::setWireModel(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    wire_ = on;
}

bool VirtualLine::wireModel() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return wire_;
}

bool VirtualLine::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

LineSettings VirtualLine::lineSettings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

Timeouts VirtualLine::timeouts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeouts_;
}

std::size_t VirtualLine::pendingInput() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return input_.size() - inputRead_;
}

// ---------------------------------------------------------------------------
// The bus.

VirtualLine& VirtualComBus::attach(int comNumber, VirtualPeer& peer) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto line = std::make_shared<VirtualLine>(&peer);
    lines_[comNumber] = line;
    return *line;
}

void VirtualComBus::detach(int comNumber) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.erase(comNumber);
}

VirtualLine* VirtualComBus::line(int comNumber) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = lines_.find(comNumber);
    return found != lines_.end() ? found->second.get() : nullptr;
}

bool VirtualComBus::isOpen(int comNumber) {
    VirtualLine* found = line(comNumber);
    return found != nullptr && found->isOpen();
}

std::unique_ptr<ComPort> VirtualComBus::open(int comNumber, std::uint32_t& error) {
    std::shared_ptr<VirtualLine> line;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = lines_.find(comNumber);
        if (found == lines_.end()) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        line = found->second;
    }
    LineEvent event;
    {
        std::lock_guard<std::mutex> lock(line->mutex_);
        const std::uint64_t now = VirtualLine::nowUs();
        if (line->goneLocked(now)) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        if (!line->admitLocked(PortCall::Open, now, error)) return nullptr;
        if (line->open_) {
            error = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        line->open_ = true;
        line->timeouts_ = Timeouts{};
        line->breakOn_ = false;
        line->input_.clear();
        line->inputRead_ = 0;
        event.kind = LineEvent::Kind::Open;
        event.timeUs = now;
    }
    error = ERROR_SUCCESS;
    line->deliver(event);
    return std::make_unique<VirtualComPort>(std::move(line));
}

}  // namespace platform
