#include "reader_sim/update_dialogue.h"

#include <algorithm>

namespace readersim {

namespace {

constexpr std::uint32_t kClosureMark = 0xFFFFFFFFu;

std::uint32_t littleEndian32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

void UpdateDialogue::start(Reader& /*reader*/, std::uint8_t /*command*/, std::uint64_t /*atUs*/) {
    stage_ = Stage::Info;
    incoming_.clear();
    packetLeft_ = 0;
    headers_.clear();
    package_.clear();
    decisionAcked_ = false;
    closed_ = false;
}

std::size_t UpdateDialogue::onBytes(Reader& reader, std::span<const std::uint8_t> bytes,
                                    const platform::ByteTiming& timing) {
    std::size_t i = 0;
    while (i < bytes.size() && stage_ != Stage::Done) {
        if (stage_ == Stage::DecisionAck) {
            decisionAcked_ = bytes[i] == ACK;
            ++i;
            if (decision_ != 0) {
                finish(reader);
            } else {
                stage_ = Stage::Initial;
            }
            continue;
        }
        if (stage_ == Stage::Data) {
            const std::size_t take = std::min<std::size_t>(packetLeft_, bytes.size() - i);
            package_.insert(package_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i),
                            bytes.begin() + static_cast<std::ptrdiff_t>(i + take));
            i += take;
            packetLeft_ -= static_cast<std::uint32_t>(take);
            if (packetLeft_ == 0) {
                reader.answer(kPacketData, {ACK}, timing.arrivalUs(i - 1));
                stage_ = Stage::Header;
            }
            continue;
        }
        incoming_.push_back(bytes[i]);
        ++i;
        if (incoming_.size() == 8) {
            const PackageHeader header{littleEndian32(incoming_.data()),
                                       littleEndian32(incoming_.data() + 4)};
            incoming_.clear();
            headers_.push_back(header);
            onHeader(reader, header, timing.arrivalUs(i - 1));
        }
    }
    return i;
}

void UpdateDialogue::onHeader(Reader& reader, const PackageHeader& header, std::uint64_t atUs) {
    switch (stage_) {
        case Stage::Info: {
            const AnswerResult ack = reader.answer(kPackageInfo, {ACK}, atUs);
            reader.answer(kDecision, {decision_}, ack.atUs);
            stage_ = Stage::DecisionAck;
            return;
        }
        case Stage::Initial:
            reader.answer(kInitialPacket, {ACK}, atUs + prepareUs_);
            stage_ = Stage::Header;
            return;
        case Stage::Header:
            if (header.first == kClosureMark) {
                closed_ = true;
                reader.answer(kClosure, {ACK}, atUs + finishUs_);
                finish(reader);
                return;
            }
            reader.answer(kPacketHeader, {ACK}, atUs);
            packetLeft_ = header.second;
            if (packetLeft_ > 0) stage_ = Stage::Data;
            return;
        case Stage::DecisionAck:
        case Stage::Data:
        case Stage::Done:
            return;
    }
}

void UpdateDialogue::finish(Reader& reader) {
    stage_ = Stage::Done;
    reader.endDialogue();
}

}  // namespace readersim
