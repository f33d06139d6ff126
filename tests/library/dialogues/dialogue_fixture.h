#pragma once

// A reader behind COM3 on a virtual line that models the wire (10 bits a
// byte at 57 600 Bd, a 4 096-byte transmit buffer), a virtual clock for the
// test's thread, the debug output captured and the progress notifications
// recorded.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/virtual_com_port.h"
#include "reader_sim/reader.h"
#include "talvex.h"

namespace dialoguetest {

constexpr int kCom = 3;
constexpr std::uint32_t kBaud = 57600;

// Microseconds `bytes` bytes take on the wire at 57 600 Bd.
inline std::uint64_t wireUs(std::uint64_t bytes) {
    return bytes == 0 ? 0 : platform::ByteTiming{0, 0, kBaud}.arrivalUs(bytes - 1);
}

struct Note {
    std::uint32_t done;
    std::uint32_t remaining;
    std::string text;
    std::uint32_t threadId;
    std::uint64_t atUs;
};

// Records every notification of the calling thread's export calls; a test may
// also raise the threshold from inside the callback.
class NoteRecorder {
  public:
    NoteRecorder() { current() = this; }
    ~NoteRecorder() { current() = nullptr; }
    NoteRecorder(const NoteRecorder&) = delete;
    NoteRecorder& operator=(const NoteRecorder&) = delete;

    static void callback(void* raw) {
        auto* info = static_cast<ProgressInfo*>(raw);
        NoteRecorder* self = current();
        self->notes.push_back(
            {info->done, info->remaining, info->text, info->threadId, platform::clock().nowUs()});
        if (self->raiseThresholdTo != 0) *info->threshold = self->raiseThresholdTo;
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        for (const Note& note : notes) result.push_back(note.text);
        return result;
    }
    std::size_t count(const std::string& text) const {
        std::size_t n = 0;
        for (const Note& note : notes) n += note.text == text ? 1 : 0;
        return n;
    }

    std::vector<Note> notes;
    std::uint32_t raiseThresholdTo = 0;

  private:
    static NoteRecorder*& current() {
        thread_local NoteRecorder* recorder = nullptr;
        return recorder;
    }
};

class DialogueTest : public ::testing::Test {
  protected:
    DialogueTest() { line.setWireModel(true); }

    // The library's writes after its first one, the command byte.
    std::vector<std::vector<std::uint8_t>> writesAfterCommand() const {
        std::vector<std::vector<std::uint8_t>> writes = reader.writes();
        if (!writes.empty()) writes.erase(writes.begin());
        return writes;
    }
    std::vector<std::uint64_t> writeTimesUs() const {
        std::vector<std::uint64_t> times;
        for (const platform::LineEvent& event : reader.events())
            if (event.kind == platform::LineEvent::Kind::Bytes) times.push_back(event.timeUs);
        return times;
    }
    // The port was opened once and closed once (and is closed now).
    void expectOpenedAndClosedOnce() {
        EXPECT_EQ(reader.openTimesUs().size(), 1u);
        EXPECT_EQ(reader.closeTimesUs().size(), 1u);
        EXPECT_FALSE(bus.isOpen(kCom));
    }

    platform::VirtualClock clock;
    platform::ScopedThreadClock useClock{clock};
    platform::VirtualComBus bus;
    platform::ScopedComPortProvider useBus{bus};
    readersim::Reader reader;
    platform::VirtualLine& line = reader.plugInto(bus, kCom);
    platform::DebugCapture trace;
    NoteRecorder progress;
    const std::uint32_t threadId = static_cast<std::uint32_t>(gettid());
};

// Bytes 0, 1, 2, ... wrapping at 251, so that a shifted or dropped block shows.
inline std::vector<std::uint8_t> patternImage(std::size_t length) {
    std::vector<std::uint8_t> image(length);
    for (std::size_t i = 0; i < length; ++i) image[i] = static_cast<std::uint8_t>(i % 251);
    return image;
}

}  // namespace dialoguetest
