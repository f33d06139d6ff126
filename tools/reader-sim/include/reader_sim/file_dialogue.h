#pragma once

// The reader's files, by one-character identifier ('F' firmware descriptor,
// 'A' application descriptor, 'I', 'Y', ...): '6' reads one out, '5' writes
// one in. A file travels as a record: a 16-bit little-endian length, then the
// data.
//
// Reading: identifier → ACK, then the record's length; the library's ACK →
// the data; the library's ACK ends it. Writing: identifier → ACK, length →
// ACK, data → ACK.

#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

#include "reader_sim/reader.h"

namespace readersim {

// Answer points.
inline constexpr std::string_view kFileId = "file id";              // ACK to the identifier
inline constexpr std::string_view kRecordLength = "record length";  // read: the length; write: ACK
inline constexpr std::string_view kRecord = "record";               // read: the data; write: ACK

class FileDialogue final : public Dialogue {
  public:
    void setFile(char id, std::vector<std::uint8_t> content) { files_[id] = std::move(content); }
    bool hasFile(char id) const { return files_.count(id) != 0; }
    const std::vector<std::uint8_t>& file(char id) const { return files_.at(id); }
    // Time the reader takes to find a file before acknowledging its identifier.
    void setPrepareTimeMs(std::uint64_t ms) { prepareUs_ = ms * 1000; }

    // The identifiers asked for, in order (reads and writes).
    const std::vector<char>& requests() const { return requests_; }
    // Whether the last exchange is over (ran to its end or was refused).
    bool finished() const { return stage_ == Stage::Done; }

    void start(Reader& reader, std::uint8_t command, std::uint64_t atUs) override;
    std::size_t onBytes(Reader& reader, std::span<const std::uint8_t> bytes,
                        const platform::ByteTiming& timing) override;

  private:
    enum class Stage : std::uint8_t {
        Identifier,
        ReadLengthAck,  // the library acknowledges the length
        ReadDataAck,    // the library acknowledges the data
        WriteLength,
        WriteData,
        Done,
    };
    void onByte(Reader& reader, std::uint8_t byte, std::uint64_t atUs);
    void finish(Reader& reader);

    std::map<char, std::vector<std::uint8_t>> files_;
    std::uint64_t prepareUs_ = 0;
    std::vector<char> requests_;
    bool writing_ = false;
    Stage stage_ = Stage::Done;
    char id_ = 0;
    std::vector<std::uint8_t> incoming_;
    std::size_t expected_ = 0;
};

}  // namespace readersim
