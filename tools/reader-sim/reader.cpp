#include "reader_sim/reader.h"

namespace readersim {

using platform::LineEvent;

bool isCommand(std::uint8_t byte) {
    switch (byte) {
        case CMD_FIRMWARE:
        case CMD_APPLICATION:
        case CMD_UPDATE_PACKAGE:
        case CMD_WRITE_FILE:
        case CMD_READ_FILE:
        case CMD_TEST_MODE:
            return true;
        default:
            return false;
    }
}

platform::VirtualLine& Reader::plugInto(platform::VirtualComBus& bus, int comNumber) {
    platform::VirtualLine& line = bus.attach(comNumber, *this);
    line_ = &line;
    return line;
}

void Reader::addDialogue(std::uint8_t command, std::shared_ptr<Dialogue> dialogue) {
    dialogues_[command] = std::move(dialogue);
}

void Reader::setAnswerDelayUs(std::uint64_t us) {
    answerDelayUs_ = us;
}

Reader& Reader::on(std::string_view point, Reply reply, std::uint32_t occurrence) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back(
        Rule{std::string(point), occurrence > 0 ? occurrence - 1 : 0, std::move(reply)});
    return *this;
}

std::size_t Reader::pendingRules() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rules_.size();
}

Reply Reader::takeReply(std::string_view point) {
    std::lock_guard<std::mutex> lock(mutex_);
    Reply chosen = Reply::asDefault();
    bool found = false;
    for (auto rule = rules_.begin(); rule != rules_.end();) {
        if (rule->point != point && rule->point != kAnyPoint) {
            ++rule;
            continue;
        }
        if (rule->skip > 0) {
            --rule->skip;
            ++rule;
        } else if (!found) {
            chosen = rule->reply;
            found = true;
            rule = rules_.erase(rule);
        } else {
            ++rule;
        }
    }
    return chosen;
}

AnswerResult Reader::answer(std::string_view point, const std::vector<std::uint8_t>& defaultBytes,
                            std::uint64_t atUs) {
    const Reply reply = takeReply(point);
    const std::uint64_t at = atUs + answerDelayUs_ + reply.delayUs();
    AnswerResult result;
    result.atUs = at;
    result.bytes = reply.resolve(defaultBytes);
    result.asDefault = result.bytes == defaultBytes && reply.kind() != Reply::Kind::Vanish;

    if (line_ != nullptr) {
        if (reply.kind() == Reply::Kind::Vanish) {
            line_->vanishAt(at);
        } else if (reply.splitPosition() < result.bytes.size()) {
            const auto split =
                result.bytes.begin() + static_cast<std::ptrdiff_t>(reply.splitPosition());
            line_->send({result.bytes.begin(), split}, at);
            line_->send({split, result.bytes.end()}, at + reply.splitGapUs());
        } else {
            line_->send(result.bytes, at);
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(Answer{std::string(point), result.bytes, at, reply.kind()});
    return result;
}

void Reader::endDialogue() {
    running_.reset();
    state_ = State::Asleep;
    pulses_ = 0;
}

bool Reader::awake() const {
    return state_ == State::Awake;
}

void Reader::stopDialogue() {
    if (running_ != nullptr) {
        std::shared_ptr<Dialogue> dialogue = std::move(running_);
        dialogue->stop(*this);
    }
    state_ = State::Asleep;
    pulses_ = 0;
}

void Reader::onEvent(platform::VirtualLine& line, const LineEvent& event) {
    line_ = &line;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }
    switch (event.kind) {
        case LineEvent::Kind::Open:
        case LineEvent::Kind::Close:
            stopDialogue();
            return;
        case LineEvent::Kind::Bytes:
            onBytes(event);
            return;
        case LineEvent::Kind::BreakOff:
            // A double break wakes the reader whatever it was doing.
            if (++pulses_ == 2) {
                if (running_ != nullptr) stopDialogue();
                pulses_ = 0;
                state_ = State::Awake;
                answer(kWake, {ACK}, event.timeUs);
                return;
            }
            break;
        default:
            break;
    }
    if (running_ != nullptr) running_->onLineEvent(*this, event);
}

void Reader::onBytes(const LineEvent& event) {
    std::span<const std::uint8_t> bytes(event.bytes);
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (running_ != nullptr) {
            std::shared_ptr<Dialogue> dialogue = running_;
            const std::size_t used =
                dialogue->onBytes(*this, bytes.subspan(i), event.timing.skip(i));
            i += used;
            if (used == 0 && running_ == dialogue) break;  // a dialogue that takes nothing
            continue;
        }
        const std::uint8_t byte = bytes[i];
        const std::uint64_t at = event.timing.arrivalUs(i);
        ++i;
        if (state_ != State::Awake || !isCommand(byte)) continue;
        const AnswerResult result = answer(kCommand, {ACK}, at);
        auto dialogue = dialogues_.find(byte);
        if (dialogue != dialogues_.end() && result.bytes == std::vector<std::uint8_t>{ACK}) {
            running_ = dialogue->second;
            state_ = State::InDialogue;
            running_->start(*this, byte, result.atUs);
        }
    }
}

std::vector<LineEvent> Reader::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<std::uint8_t> Reader::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::uint8_t> bytes;
    for (const LineEvent& event : events_)
        if (event.kind == LineEvent::Kind::Bytes)
            bytes.insert(bytes.end(), event.bytes.begin(), event.bytes.end());
    return bytes;
}

std::vector<std::vector<std::uint8_t>> Reader::writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::vector<std::uint8_t>> result;
    for (const LineEvent& event : events_)
        if (event.kind == LineEvent::Kind::Bytes) result.push_back(event.bytes);
    return result;
}

std::vector<BreakPulse> Reader::breakPulses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<BreakPulse> pulses;
    for (const LineEvent& event : events_) {
        if (event.kind == LineEvent::Kind::BreakOn) pulses.push_back({event.timeUs, event.timeUs});
        if (event.kind == LineEvent::Kind::BreakOff && !pulses.empty())
            pulses.back().offUs = event.timeUs;
    }
    return pulses;
}

namespace {
template <typename T, typename Pick>
std::vector<T> collect(const std::vector<LineEvent>& events, LineEvent::Kind kind, Pick pick) {
    std::vector<T> result;
    for (const LineEvent& event : events)
        if (event.kind == kind) result.push_back(pick(event));
    return result;
}
}  // namespace

std::vector<std::uint64_t> Reader::openTimesUs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return collect<std::uint64_t>(events_, LineEvent::Kind::Open,
                                  [](const LineEvent& e) { return e.timeUs; });
}

std::vector<std::uint64_t> Reader::closeTimesUs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return collect<std::uint64_t>(events_, LineEvent::Kind::Close,
                                  [](const LineEvent& e) { return e.timeUs; });
}

std::vector<platform::LineSettings> Reader::lineSettings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return collect<platform::LineSettings>(events_, LineEvent::Kind::LineSettings,
                                           [](const LineEvent& e) { return e.settings; });
}

std::vector<platform::Timeouts> Reader::timeoutChanges() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return collect<platform::Timeouts>(events_, LineEvent::Kind::Timeouts,
                                       [](const LineEvent& e) { return e.timeouts; });
}

std::vector<unsigned> Reader::purges() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return collect<unsigned>(events_, LineEvent::Kind::Purge,
                             [](const LineEvent& e) { return e.purgeFlags; });
}

std::vector<Answer> Reader::answers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_;
}

std::vector<std::string> Reader::answerPoints() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> points;
    for (const Answer& answer : answers_) points.push_back(answer.point);
    return points;
}

void Reader::clearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    answers_.clear();
}

}  // namespace readersim
