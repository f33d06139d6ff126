#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/com_port.h"
#include "platform/termios_com_port.h"
#include "pty_reader.h"

namespace {

using readersim::PtyReader;

TEST(ApplicationAckPoints, FollowTheBlocksOfEachVariant) {
    struct Case {
        std::uint64_t length;
        readersim::ApplicationBlocks blocks;
        std::vector<std::uint64_t> points;
    };
    const Case cases[] = {
        {0, readersim::kFastBlocks, {}},
        {100, readersim::kFastBlocks, {100}},
        {200, readersim::kFastBlocks, {200, 200}},  // early and last block in one
        {512, readersim::kFastBlocks, {256, 512, 512}},
        {1000, readersim::kFastBlocks, {256, 512, 1000}},
        {66048, readersim::kFastBlocks, {256, 512, 66048}},  // the 64 KB one ends it
        {66049, readersim::kFastBlocks, {256, 512, 66048, 66049}},
        {131584, readersim::kFastBlocks, {256, 512, 66048, 131584}},
        {200, readersim::kSlowBlocks, {200, 200}},
        {66048, readersim::kSlowBlocks, {256, 512, 66048}},
        {66100, readersim::kSlowBlocks, {256, 512, 66048, 66100}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(readersim::applicationAckPoints(c.length, c.blocks), c.points)
            << c.length << " bytes in blocks of " << c.blocks.blockSize;
    }
}

// Plays the library's side of an application download through the termios
// port, block by block, and checks every answer.
class PtyReaderExchange : public testing::Test {
  protected:
    void SetUp() override {
        std::uint32_t error = 0;
        port_ = platform::openTermiosDevice(reader_.slavePath(), error);
        ASSERT_NE(port_, nullptr) << error;
        platform::LineSettings settings;
        settings.baudRate = 57600;
        ASSERT_TRUE(port_->setLineSettings(settings));
        ASSERT_TRUE(port_->setTimeouts({platform::kMaxTimeout, 1, 2000, 0, 0}));
    }

    int readByte() {
        std::uint8_t byte = 0;
        std::uint32_t got = 0;
        if (!port_->read(&byte, 1, got) || got != 1) return -1;
        return byte;
    }

    void write(const std::uint8_t* data, std::uint32_t size) {
        std::uint32_t written = 0;
        ASSERT_TRUE(port_->write(data, size, written));
        ASSERT_EQ(written, size);
    }

    void openExchange() {
        ASSERT_TRUE(port_->purge(platform::PURGE_TXABORT | platform::PURGE_RXABORT |
                                 platform::PURGE_TXCLEAR | platform::PURGE_RXCLEAR));
        EXPECT_EQ(readByte(), 0x06);  // the double break
        const std::uint8_t command = '1';
        write(&command, 1);
        EXPECT_EQ(readByte(), 0x06);
    }

    // Nothing more comes once the exchange is over.
    void expectSilence() {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(port_->setTimeouts({platform::kMaxTimeout, 0, 0, 0, 0}));
        std::uint8_t rest[8];
        std::uint32_t got = 0;
        EXPECT_TRUE(port_->read(rest, sizeof rest, got));
        EXPECT_EQ(got, 0u);
    }

    PtyReader reader_;
    std::unique_ptr<platform::ComPort> port_;
};

TEST_F(PtyReaderExchange, AcknowledgesTheBreakCommandBlocksAndSignature) {
    std::vector<std::uint8_t> image(66048 + 200);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7);
    reader_.expectApplication(image.size());
    for (int round = 0; round < 2; ++round) {  // the same reader serves the next exchange
        openExchange();
        const std::uint32_t blocks = static_cast<std::uint32_t>((image.size() + 127) / 128);
        std::uint32_t sinceGroup = 0;
        for (std::uint32_t block = 1; block <= blocks; ++block) {
            const std::size_t offset = (block - 1) * 128u;
            write(image.data() + offset,
                  static_cast<std::uint32_t>(std::min<std::size_t>(128, image.size() - offset)));
            ++sinceGroup;
            if (block == 2 || block == 4) {
                ASSERT_EQ(readByte(), 0x06) << "block " << block;
                sinceGroup = 0;
            }
            if (sinceGroup == 512 || block == blocks) {
                ASSERT_EQ(readByte(), 0x06) << "block " << block;
                sinceGroup = 0;
            }
        }
        EXPECT_EQ(readByte(), 0x06);  // signature
        const PtyReader::Stats stats = reader_.stats();
        EXPECT_EQ(stats.exchanges, round + 1u);
        EXPECT_EQ(stats.strayBytes, 0u);
        EXPECT_EQ(stats.imageChecksum, PtyReader::checksum(image.data(), image.size()));
    }
    expectSilence();
}

TEST_F(PtyReaderExchange, EmptyImageGoesStraightToTheSignatureAndOtherCommandsAreRefused) {
    reader_.expectApplication(0);
    ASSERT_TRUE(port_->purge(platform::PURGE_RXCLEAR | platform::PURGE_TXCLEAR));
    EXPECT_EQ(readByte(), 0x06);
    const std::uint8_t wrong = '6';
    write(&wrong, 1);
    EXPECT_EQ(readByte(), 0x15);
    const std::uint8_t command = '1';
    write(&command, 1);
    EXPECT_EQ(readByte(), 0x06);
    EXPECT_EQ(readByte(), 0x06);
    EXPECT_EQ(reader_.stats().exchanges, 1u);
    EXPECT_EQ(reader_.stats().strayBytes, 1u);
    expectSilence();
}

TEST(PtyReaderSink, CountsEverythingWritten) {
    PtyReader reader;
    std::uint32_t error = 0;
    auto port = platform::openTermiosDevice(reader.slavePath(), error);
    ASSERT_NE(port, nullptr);
    std::vector<std::uint8_t> block(128, 0x5a);
    for (int i = 0; i < 100; ++i) {
        std::uint32_t written = 0;
        ASSERT_TRUE(port->write(block.data(), 128, written));
    }
    reader.waitForBytes(12800);
    EXPECT_EQ(reader.stats().bytes, 12800u);
}

}  // namespace
