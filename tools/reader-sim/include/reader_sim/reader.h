#pragma once

// A health-card reader as seen from its serial line, behind a virtual COM
// port, in virtual time.
//
// Out of the box it acknowledges the double break (two break pulses since the
// port was opened or since its last wake-up) and then answers each command
// byte with ACK. A Dialogue registered for a command takes the line over once
// that command is acknowledged, until it ends or the port closes. Every
// answer goes through one of the reader's answer points ("wake", "command",
// and those the dialogues add); a script replaces the answer of a chosen
// occurrence of a point with a fault: silence, NAK, another byte, a late or
// partial answer, an answer in two pieces, or a vanished device.
//
// Everything received is recorded with its virtual time stamp, and so is
// everything the reader answered.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/virtual_com_port.h"
#include "reader_sim/reply.h"

namespace readersim {

// The core's answer points.
inline constexpr std::string_view kWake = "wake";        // ACK to the double break
inline constexpr std::string_view kCommand = "command";  // ACK to a command byte
// Matches every answer point in a script rule.
inline constexpr std::string_view kAnyPoint = "*";

// Command bytes the reader knows.
constexpr std::uint8_t CMD_FIRMWARE = '0';
constexpr std::uint8_t CMD_APPLICATION = '1';
constexpr std::uint8_t CMD_UPDATE_PACKAGE = '2';
constexpr std::uint8_t CMD_WRITE_FILE = '5';
constexpr std::uint8_t CMD_READ_FILE = '6';
constexpr std::uint8_t CMD_TEST_MODE = 'T';
bool isCommand(std::uint8_t byte);

class Reader;

// The reader's side of one dialogue (an application download, a file read,
// ...). One object may serve several commands and keep state between
// exchanges (files, descriptors); what belongs to one exchange is reset in
// start().
class Dialogue {
  public:
    virtual ~Dialogue() = default;
    // The command byte was acknowledged; the ACK leaves at `atUs`.
    virtual void start(Reader& reader, std::uint8_t command, std::uint64_t atUs) = 0;
    // Bytes from the port while the dialogue runs: bytes[i] arrived at
    // timing.arrivalUs(i). Returns how many it consumed; it consumes all of
    // them unless it ended (Reader::endDialogue) part-way, and the rest then
    // goes to the reader's command handling.
    virtual std::size_t onBytes(Reader& reader, std::span<const std::uint8_t> bytes,
                                const platform::ByteTiming& timing) = 0;
    // Any other line event while it runs (break, purge, line settings, ...).
    virtual void onLineEvent(Reader& /*reader*/, const platform::LineEvent& /*event*/) {}
    // The port closed or the line went down while it ran.
    virtual void stop(Reader& /*reader*/) {}
};

// What the reader sent at one answer point.
struct Answer {
    std::string point;
    std::vector<std::uint8_t> bytes;  // empty for silence or a vanishing
    std::uint64_t atUs = 0;           // when the first byte left (or would have)
    Reply::Kind kind = Reply::Kind::AsDefault;
};

// What an answer point did, for the dialogue that asked.
struct AnswerResult {
    bool asDefault = true;  // the reader sent what it would send anyway
    std::vector<std::uint8_t> bytes;
    std::uint64_t atUs = 0;
};

struct BreakPulse {
    std::uint64_t onUs = 0;
    std::uint64_t offUs = 0;
};

class Reader final : public platform::VirtualPeer {
  public:
    Reader() = default;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Puts the reader behind COM `comNumber` of `bus`; returns its line (for
    // port faults: failNext, limitNextWrite, ...).
    platform::VirtualLine& plugInto(platform::VirtualComBus& bus, int comNumber);
    // The line it is plugged into (nullptr before).
    platform::VirtualLine* line() const { return line_; }

    // --- Behaviour -------------------------------------------------------

    // Hands the line to `dialogue` once `command` is acknowledged.
    void addDialogue(std::uint8_t command, std::shared_ptr<Dialogue> dialogue);
    // Time the reader takes before each answer (0 unless set).
    void setAnswerDelayUs(std::uint64_t us);

    // Script: the `occurrence`-th time (1 = the next) the reader reaches
    // `point` from now on, it gives `reply` instead. Rules for the same point
    // and occurrence apply one after the other: on(p, a); on(p, b) answers the
    // next p with a and the one after with b.
    Reader& on(std::string_view point, Reply reply, std::uint32_t occurrence = 1);
    // Rules not used yet.
    std::size_t pendingRules() const;

    // --- For dialogues -----------------------------------------------------

    // Answers at `point`: `defaultBytes` at `atUs` (plus the answer delay),
    // unless a script rule replaces them.
    AnswerResult answer(std::string_view point, const std::vector<std::uint8_t>& defaultBytes,
                        std::uint64_t atUs);
    // The running dialogue is over; the reader waits for a new double break.
    void endDialogue();
    // Whether the reader has acknowledged a double break and waits for a command.
    bool awake() const;

    // --- Records -----------------------------------------------------------

    std::vector<platform::LineEvent> events() const;
    // Every byte received, in order.
    std::vector<std::uint8_t> received() const;
    // The bytes of each write, in order.
    std::vector<std::vector<std::uint8_t>> writes() const;
    std::vector<BreakPulse> breakPulses() const;
    std::vector<std::uint64_t> openTimesUs() const;
    std::vector<std::uint64_t> closeTimesUs() const;
    std::vector<platform::LineSettings> lineSettings() const;
    std::vector<platform::Timeouts> timeoutChanges() const;
    std::vector<unsigned> purges() const;
    std::vector<Answer> answers() const;
    // The answer points reached, in order.
    std::vector<std::string> answerPoints() const;
    void clearRecords();

    void onEvent(platform::VirtualLine& line, const platform::LineEvent& event) override;

  private:
    struct Rule {
        std::string point;
        std::uint32_t skip;
        Reply reply;
    };
    enum class State : std::uint8_t { Asleep, Awake, InDialogue };

    Reply takeReply(std::string_view point);
    void onBytes(const platform::LineEvent& event);
    void stopDialogue();

    mutable std::mutex mutex_;  // guards the records and the rules
    platform::VirtualLine* line_ = nullptr;
    std::map<std::uint8_t, std::shared_ptr<Dialogue>> dialogues_;
    std::shared_ptr<Dialogue> running_;
    State state_ = State::Asleep;
    int pulses_ = 0;
    std::uint64_t answerDelayUs_ = 0;
    std::vector<Rule> rules_;
    std::vector<platform::LineEvent> events_;
    std::vector<Answer> answers_;
};

}  // namespace readersim
