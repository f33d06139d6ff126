#include "reader_sim/file_dialogue.h"

#include <algorithm>

namespace readersim {

void FileDialogue::start(Reader& /*reader*/, std::uint8_t command, std::uint64_t /*atUs*/) {
    writing_ = command == CMD_WRITE_FILE;
    stage_ = Stage::Identifier;
    incoming_.clear();
    expected_ = 0;
}

std::size_t FileDialogue::onBytes(Reader& reader, std::span<const std::uint8_t> bytes,
                                  const platform::ByteTiming& timing) {
    std::size_t i = 0;
    while (i < bytes.size() && stage_ != Stage::Done) {
        if (stage_ == Stage::WriteData) {
            // The data comes in one write: take it whole.
            const std::size_t take = std::min(expected_ - incoming_.size(), bytes.size() - i);
            incoming_.insert(incoming_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i),
                             bytes.begin() + static_cast<std::ptrdiff_t>(i + take));
            i += take;
            if (incoming_.size() == expected_) {
                files_[id_] = incoming_;
                reader.answer(kRecord, {ACK}, timing.arrivalUs(i - 1));
                finish(reader);
            }
            continue;
        }
        onByte(reader, bytes[i], timing.arrivalUs(i));
        ++i;
    }
    return i;
}

void FileDialogue::onByte(Reader& reader, std::uint8_t byte, std::uint64_t atUs) {
    switch (stage_) {
        case Stage::Identifier: {
            id_ = static_cast<char>(byte);
            requests_.push_back(id_);
            const bool known = writing_ || hasFile(id_);
            const AnswerResult ack = reader.answer(kFileId, {known ? ACK : NAK}, atUs + prepareUs_);
            if (!known) {
                finish(reader);
                return;
            }
            if (writing_) {
                stage_ = Stage::WriteLength;
                return;
            }
            // The length follows the acknowledgement at once.
            const std::vector<std::uint8_t>& content = files_[id_];
            const auto size = static_cast<std::uint16_t>(content.size());
            reader.answer(
                kRecordLength,
                {static_cast<std::uint8_t>(size & 0xFF), static_cast<std::uint8_t>(size >> 8)},
                ack.atUs);
            stage_ = Stage::ReadLengthAck;
            return;
        }
        case Stage::ReadLengthAck: {
            if (byte != ACK) return;
            // An empty file has no data, but the library acknowledges twice all the same.
            const std::vector<std::uint8_t>& content = files_[id_];
            if (!content.empty()) reader.answer(kRecord, content, atUs);
            stage_ = Stage::ReadDataAck;
            return;
        }
        case Stage::ReadDataAck:
            if (byte == ACK) finish(reader);
            return;
        case Stage::WriteLength:
            incoming_.push_back(byte);
            if (incoming_.size() < 2) return;
            expected_ = static_cast<std::size_t>(incoming_[0] | (incoming_[1] << 8));
            incoming_.clear();
            reader.answer(kRecordLength, {ACK}, atUs);
            if (expected_ == 0) {
                // Nothing follows: the empty file is acknowledged at once.
                files_[id_] = {};
                reader.answer(kRecord, {ACK}, atUs);
                finish(reader);
                return;
            }
            stage_ = Stage::WriteData;
            return;
        case Stage::WriteData:
        case Stage::Done:
            return;
    }
}

void FileDialogue::finish(Reader& reader) {
    stage_ = Stage::Done;
    reader.endDialogue();
}

}  // namespace readersim
