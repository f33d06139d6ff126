#include "reader_sim/application_dialogue.h"

#include <algorithm>

namespace readersim {

std::vector<ImageAck> ApplicationDialogue::schedule(const ApplicationBlocks& blocks,
                                                    std::uint64_t length) {
    // Counted in blocks, as the sender writes them: early acknowledgements
    // after two fixed blocks, then one per group of blocks making 64 KB, and
    // one for the last block unless it closed such a group.
    std::vector<ImageAck> plan;
    std::uint64_t received = 0;
    std::uint32_t block = 0;
    std::uint32_t sinceGroup = 0;
    while (received < length) {
        received += std::min<std::uint64_t>(blocks.blockSize, length - received);
        ++block;
        ++sinceGroup;
        if (block == blocks.earlyAck1 || block == blocks.earlyAck2) {
            plan.push_back({std::string(kEarlyAck), received});
            sinceGroup = 0;
        }
        if (sinceGroup == blocks.blocksPer64K) {
            sinceGroup = 0;
            plan.push_back({std::string(k64KAck), received});
        } else if (received == length) {
            plan.push_back({std::string(kLastBlockAck), received});
        }
    }
    return plan;
}

void ApplicationDialogue::start(Reader& reader, std::uint8_t /*command*/, std::uint64_t atUs) {
    plan_ = schedule(blocks_, expected_);
    nextAck_ = 0;
    image_.clear();
    acks_.clear();
    firstByteUs_ = 0;
    finished_ = false;
    if (expected_ == 0) checkSignature(reader, atUs);
}

std::size_t ApplicationDialogue::onBytes(Reader& reader, std::span<const std::uint8_t> bytes,
                                         const platform::ByteTiming& timing) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        // Take everything up to the next acknowledgement in one go.
        const std::uint64_t until =
            nextAck_ < plan_.size() ? plan_[nextAck_].afterBytes : UINT64_MAX;
        const std::uint64_t room = until - image_.size();
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(room, bytes.size() - i));
        if (image_.empty() && take > 0) firstByteUs_ = timing.arrivalUs(i);
        image_.insert(image_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i),
                      bytes.begin() + static_cast<std::ptrdiff_t>(i + take));
        i += take;
        if (image_.size() == until) acknowledge(reader, timing.arrivalUs(i - 1));
        if (finished_) break;
    }
    return i;
}

void ApplicationDialogue::acknowledge(Reader& reader, std::uint64_t atUs) {
    // Two acknowledgements may fall on the same byte (the last block being an
    // early-acknowledgement block).
    while (nextAck_ < plan_.size() && plan_[nextAck_].afterBytes == image_.size()) {
        ImageAck ack = plan_[nextAck_++];
        ack.atUs = atUs;
        acks_.push_back(ack);
        reader.answer(ack.point, {ACK}, atUs);
    }
    if (nextAck_ == plan_.size()) checkSignature(reader, atUs);
}

void ApplicationDialogue::checkSignature(Reader& reader, std::uint64_t atUs) {
    finished_ = true;
    reader.answer(kSignature, {ACK}, atUs + checkTimeUs_);
    reader.endDialogue();
}

}  // namespace readersim
