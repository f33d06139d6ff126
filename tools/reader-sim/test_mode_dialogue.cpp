#include "reader_sim/test_mode_dialogue.h"

namespace readersim {

void TestModeDialogue::start(Reader& /*reader*/, std::uint8_t /*command*/, std::uint64_t /*atUs*/) {
    stage_ = Stage::Code;
}

std::size_t TestModeDialogue::onBytes(Reader& reader, std::span<const std::uint8_t> bytes,
                                      const platform::ByteTiming& timing) {
    std::size_t i = 0;
    while (i < bytes.size() && stage_ != Stage::Done) {
        onByte(reader, bytes[i], timing.arrivalUs(i));
        ++i;
    }
    return i;
}

void TestModeDialogue::onByte(Reader& reader, std::uint8_t byte, std::uint64_t atUs) {
    switch (stage_) {
        case Stage::Code: {
            codes_.push_back(byte);
            const AnswerResult ack = reader.answer(kTestCode, {ACK}, atUs);
            reader.answer(kTestStatus, {status_}, ack.atUs + workUs_);
            stage_ = Stage::StatusAck;
            return;
        }
        case Stage::StatusAck: {
            if (byte != ACK) return;
            const auto size = static_cast<std::uint16_t>(record_.size());
            reader.answer(
                kTestLength,
                {static_cast<std::uint8_t>(size & 0xFF), static_cast<std::uint8_t>(size >> 8)},
                atUs);
            stage_ = Stage::LengthAck;
            return;
        }
        case Stage::LengthAck:
            if (byte != ACK) return;
            if (record_.empty()) {
                finish(reader);
                return;
            }
            reader.answer(kTestRecord, record_, atUs);
            stage_ = Stage::RecordAck;
            return;
        case Stage::RecordAck:
            if (byte == ACK) finish(reader);
            return;
        case Stage::Done:
            return;
    }
}

void TestModeDialogue::finish(Reader& reader) {
    stage_ = Stage::Done;
    reader.endDialogue();
}

}  // namespace readersim
