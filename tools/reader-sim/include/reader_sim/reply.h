#pragma once

// One answer of the simulated reader, as a script gives it: what the reader
// would send anyway, or a fault in its place.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace readersim {

constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t NAK = 0x15;

class Reply {
  public:
    enum class Kind : std::uint8_t {
        AsDefault,  // what the reader would send anyway
        Bytes,      // these bytes instead
        Partial,    // only the first `keep` bytes of the default answer
        Silence,    // nothing at all
        Vanish,     // the device disappears instead of answering
    };

    static Reply asDefault() { return Reply(Kind::AsDefault); }
    static Reply ack() { return bytes({ACK}); }
    static Reply nak() { return bytes({NAK}); }
    static Reply byte(std::uint8_t value) { return bytes({value}); }
    static Reply bytes(std::vector<std::uint8_t> values);
    static Reply partial(std::size_t keep);
    static Reply silence() { return Reply(Kind::Silence); }
    static Reply vanish() { return Reply(Kind::Vanish); }

    // The same answer, `ms` later than the reader would give it.
    Reply after(std::uint64_t ms) const;
    Reply afterUs(std::uint64_t us) const;
    // The answer in two pieces: the bytes from `at` on follow `gapMs` later.
    Reply splitAt(std::size_t at, std::uint64_t gapMs) const;

    Kind kind() const { return kind_; }
    std::uint64_t delayUs() const { return delayUs_; }
    // The bytes this reply sends in place of `defaultBytes`.
    std::vector<std::uint8_t> resolve(const std::vector<std::uint8_t>& defaultBytes) const;
    // Where the second piece starts (SIZE_MAX: one piece) and how much later it follows.
    std::size_t splitPosition() const { return splitAt_; }
    std::uint64_t splitGapUs() const { return splitGapUs_; }

  private:
    explicit Reply(Kind kind) : kind_(kind) {}
    Kind kind_;
    std::vector<std::uint8_t> bytes_;
    std::size_t keep_ = 0;
    std::uint64_t delayUs_ = 0;
    std::size_t splitAt_ = SIZE_MAX;
    std::uint64_t splitGapUs_ = 0;
};

}  // namespace readersim
