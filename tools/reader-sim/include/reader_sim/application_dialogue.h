#pragma once

// The reader's side of an application download ('1'): it takes the image as
// it comes, acknowledges it on the schedule of the sending variant and, after
// the last acknowledgement, answers the signature check.
//
// The image carries no length on the line; like a real reader, which reads it
// from the image's own header, the simulated one is told what to expect.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reader_sim/reader.h"

namespace readersim {

// Answer points.
inline constexpr std::string_view kEarlyAck = "early ack";  // after the 2nd/4th (4th/8th) block
inline constexpr std::string_view k64KAck = "64 KB ack";    // after each further 64 KB
inline constexpr std::string_view kLastBlockAck = "last block ack";  // the end, unless a 64 KB ack
inline constexpr std::string_view kSignature = "signature";          // the signature verdict

// The block pattern of one sending variant, as the reader counts it.
struct ApplicationBlocks {
    std::uint32_t blockSize;
    std::uint32_t earlyAck1;
    std::uint32_t earlyAck2;
    std::uint32_t blocksPer64K;
};
inline constexpr ApplicationBlocks kFastBlocks{128, 2, 4, 512};
inline constexpr ApplicationBlocks kSlowBlocks{64, 4, 8, 1024};

// One acknowledgement the reader was asked for: where in the image, and when.
struct ImageAck {
    std::string point;
    std::uint64_t afterBytes = 0;
    std::uint64_t atUs = 0;  // when the last byte before it arrived
    bool operator==(const ImageAck& other) const {
        return point == other.point && afterBytes == other.afterBytes;
    }
};

class ApplicationDialogue final : public Dialogue {
  public:
    explicit ApplicationDialogue(ApplicationBlocks blocks = kFastBlocks) : blocks_(blocks) {}

    // The image length the next download will have.
    void expect(std::uint64_t length) { expected_ = length; }
    void setBlocks(ApplicationBlocks blocks) { blocks_ = blocks; }
    // Time the reader takes to check the signature and install the image.
    void setCheckTimeMs(std::uint64_t ms) { checkTimeUs_ = ms * 1000; }

    // What the last download delivered, and the acknowledgements it asked for
    // (in the order the reader sent them).
    const std::vector<std::uint8_t>& image() const { return image_; }
    const std::vector<ImageAck>& acks() const { return acks_; }
    // When the first image byte arrived (0 when none did).
    std::uint64_t firstByteUs() const { return firstByteUs_; }
    bool finished() const { return finished_; }

    // Where the acknowledgements fall for an image of `length` bytes.
    static std::vector<ImageAck> schedule(const ApplicationBlocks& blocks, std::uint64_t length);

    void start(Reader& reader, std::uint8_t command, std::uint64_t atUs) override;
    std::size_t onBytes(Reader& reader, std::span<const std::uint8_t> bytes,
                        const platform::ByteTiming& timing) override;

  private:
    void acknowledge(Reader& reader, std::uint64_t atUs);
    void checkSignature(Reader& reader, std::uint64_t atUs);

    ApplicationBlocks blocks_;
    std::uint64_t expected_ = 0;
    std::uint64_t checkTimeUs_ = 0;
    std::vector<ImageAck> plan_;
    std::size_t nextAck_ = 0;
    std::vector<std::uint8_t> image_;
    std::vector<ImageAck> acks_;
    std::uint64_t firstByteUs_ = 0;
    bool finished_ = false;
};

}  // namespace readersim
