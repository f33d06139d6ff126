#pragma once

// The reader's side of an update package ('2'). Every control message is 8
// bytes, two 32-bit little-endian fields. Package information (0, length) →
// ACK, then the reader's decision byte (0 accepts); the library acknowledges
// the decision. Accepted: initial packet (0, 0) → ACK after the reader has
// prepared; then per packet a header (number, size) → ACK and its data → ACK;
// the closure (0xFFFFFFFF, 0) → ACK once the reader has finished.

#include <cstdint>
#include <string_view>
#include <vector>

#include "reader_sim/reader.h"

namespace readersim {

// Answer points.
inline constexpr std::string_view kPackageInfo = "package info";      // ACK to the information
inline constexpr std::string_view kDecision = "package decision";     // the status byte
inline constexpr std::string_view kInitialPacket = "initial packet";  // ACK
inline constexpr std::string_view kPacketHeader = "packet header";    // ACK
inline constexpr std::string_view kPacketData = "packet data";        // ACK
inline constexpr std::string_view kClosure = "closure";               // ACK

struct PackageHeader {
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    bool operator==(const PackageHeader&) const = default;
};

class UpdateDialogue final : public Dialogue {
  public:
    // The status byte the reader answers to the package information.
    void setDecision(std::uint8_t status) { decision_ = status; }
    // Time the reader takes before acknowledging the initial packet and the closure.
    void setPrepareTimeMs(std::uint64_t ms) { prepareUs_ = ms * 1000; }
    void setFinishTimeMs(std::uint64_t ms) { finishUs_ = ms * 1000; }

    // What the last transfer carried: every 8-byte control message in order,
    // the package bytes, and whether it ended with an acknowledged closure.
    const std::vector<PackageHeader>& headers() const { return headers_; }
    const std::vector<std::uint8_t>& package() const { return package_; }
    // The decision byte was acknowledged by the library.
    bool decisionAcknowledged() const { return decisionAcked_; }
    bool closed() const { return closed_; }

    void start(Reader& reader, std::uint8_t command, std::uint64_t atUs) override;
    std::size_t onBytes(Reader& reader, std::span<const std::uint8_t> bytes,
                        const platform::ByteTiming& timing) override;

  private:
    enum class Stage : std::uint8_t { Info, DecisionAck, Initial, Header, Data, Done };
    void onHeader(Reader& reader, const PackageHeader& header, std::uint64_t atUs);
    void finish(Reader& reader);

    std::uint8_t decision_ = 0;
    std::uint64_t prepareUs_ = 0;
    std::uint64_t finishUs_ = 0;
    Stage stage_ = Stage::Done;
    std::vector<std::uint8_t> incoming_;
    std::uint32_t packetLeft_ = 0;
    std::vector<PackageHeader> headers_;
    std::vector<std::uint8_t> package_;
    bool decisionAcked_ = false;
    bool closed_ = false;
};

}  // namespace readersim
