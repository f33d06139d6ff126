#pragma once

// The reader's side of a test-mode request ('T'): the test code → ACK; after
// its work the reader sends a status byte; the library's ACK → the record's
// 16-bit little-endian length; the library's ACK → the data (when there is
// any); the library's last ACK ends it.

#include <cstdint>
#include <string_view>
#include <vector>

#include "reader_sim/reader.h"

namespace readersim {

// Answer points.
inline constexpr std::string_view kTestCode = "test code";             // ACK to the code
inline constexpr std::string_view kTestStatus = "test status";         // the status byte
inline constexpr std::string_view kTestLength = "test record length";  // the record's length
inline constexpr std::string_view kTestRecord = "test record";         // the record's data

class TestModeDialogue final : public Dialogue {
  public:
    // The answer to every test code: a status byte and a record.
    void setAnswer(std::uint8_t status, std::vector<std::uint8_t> record) {
        status_ = status;
        record_ = std::move(record);
    }
    // Time the reader works on the request before sending its status.
    void setWorkTimeMs(std::uint64_t ms) { workUs_ = ms * 1000; }

    // The test codes received, in order.
    const std::vector<std::uint8_t>& codes() const { return codes_; }
    bool finished() const { return stage_ == Stage::Done; }

    void start(Reader& reader, std::uint8_t command, std::uint64_t atUs) override;
    std::size_t onBytes(Reader& reader, std::span<const std::uint8_t> bytes,
                        const platform::ByteTiming& timing) override;

  private:
    enum class Stage : std::uint8_t { Code, StatusAck, LengthAck, RecordAck, Done };
    void onByte(Reader& reader, std::uint8_t byte, std::uint64_t atUs);
    void finish(Reader& reader);

    std::uint8_t status_ = 0;
    std::vector<std::uint8_t> record_;
    std::uint64_t workUs_ = 0;
    std::vector<std::uint8_t> codes_;
    Stage stage_ = Stage::Done;
};

}  // namespace readersim
