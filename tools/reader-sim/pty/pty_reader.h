#pragma once

// A reader on the far side of a pseudo-terminal, for measuring the library on
// a real terminal device. It runs on its own thread on the master side in
// packet mode. A pseudo-terminal carries no break, so the purge that opens
// every exchange (seen on the master as a flush) is its wake-up: it then
// acknowledges the double break, acknowledges the application command '1',
// receives the image with the application download's acknowledgement
// schedule and acknowledges the signature.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reader_sim/application_dialogue.h"

namespace readersim {

// The byte counts after which the reader acknowledges an image of `length`
// bytes sent in `blocks`, in order; a count listed twice is acknowledged twice
// in a row. The signature acknowledgement is not listed.
std::vector<std::uint64_t> applicationAckPoints(std::uint64_t length,
                                                const ApplicationBlocks& blocks);

class PtyReader {
  public:
    // What the reader saw since it was last told what to expect.
    struct Stats {
        std::uint64_t exchanges = 0;      // exchanges completed (signature acknowledged)
        std::uint64_t bytes = 0;          // image bytes received (all bytes when sinking)
        std::uint64_t strayBytes = 0;     // bytes outside any expected step
        std::uint32_t imageChecksum = 0;  // FNV-1a of the last complete image
    };

    // Opens the pair and starts the thread, sinking until told otherwise.
    // Throws std::system_error when no pseudo-terminal can be had.
    PtyReader();
    ~PtyReader();
    PtyReader(const PtyReader&) = delete;
    PtyReader& operator=(const PtyReader&) = delete;

    // The slave device, which the library opens as its COM port.
    const std::string& slavePath() const { return slavePath_; }

    // From the next purge on, every exchange is an application download of
    // `length` bytes.
    void expectApplication(std::uint64_t length, const ApplicationBlocks& blocks = kFastBlocks);
    // Reads and counts everything, answering nothing.
    void sink();

    Stats stats() const;
    // Waits until `bytes` bytes were received in all (for a sinking reader).
    void waitForBytes(std::uint64_t bytes);

    static std::uint32_t checksum(const unsigned char* data, std::size_t size,
                                  std::uint32_t start = 2166136261u);

  private:
    enum class Step { Sink, Idle, Command, Image };

    // Opens the pair and the stop signal; throws, leaving what it opened to
    // closeDescriptors().
    void open();
    void closeDescriptors();
    void run();
    void onFlush();
    void onData(const unsigned char* data, std::size_t size);
    void answer(std::uint8_t byte, int count = 1);

    int master_ = -1;
    int slaveHold_ = -1;  // keeps the slave side open between exchanges
    int stopFd_ = -1;
    std::string slavePath_;

    mutable std::mutex mutex_;
    std::condition_variable progressed_;
    bool sinking_ = true;
    std::uint64_t length_ = 0;
    ApplicationBlocks blocks_ = kFastBlocks;
    Stats stats_;

    // Thread-only state of the exchange in progress.
    Step step_ = Step::Sink;
    std::vector<std::uint64_t> ackPoints_;
    std::size_t nextAck_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t exchangeLength_ = 0;
    std::uint32_t runningChecksum_ = 0;

    std::thread thread_;
};

}  // namespace readersim
