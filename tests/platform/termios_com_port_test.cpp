#include "platform/termios_com_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/com_names.h"
#include "platform/com_port.h"

namespace {

namespace fs = std::filesystem;
using platform::ComPort;

// A pseudo-terminal pair whose slave is COM7 through TALVEX_COM_DIR. The test
// plays the far end on the master side.
class TermiosComPort : public testing::Test {
  protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slave_ = ptsname(master_);
        std::string pattern = (fs::temp_directory_path() / "com-dir-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::create_symlink(slave_, dir_ / "com7");
        if (const char* old = getenv("TALVEX_COM_DIR")) previousDir_ = old;
        setenv("TALVEX_COM_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        if (previousDir_)
            setenv("TALVEX_COM_DIR", previousDir_->c_str(), 1);
        else
            unsetenv("TALVEX_COM_DIR");
        fs::remove_all(dir_);
        if (master_ >= 0) ::close(master_);
    }

    std::unique_ptr<ComPort> open(int number = 7) {
        std::uint32_t error = 0xdead;
        auto port = platform::openComPort(number, error);
        EXPECT_NE(port, nullptr) << "error " << error;
        EXPECT_EQ(error, platform::ERROR_SUCCESS);
        return port;
    }

    // The line settings the serial link writes.
    static platform::LineSettings linkSettings(std::uint32_t baud) {
        platform::LineSettings s;
        s.baudRate = baud;
        s.dtrControl = platform::LineControl::Enable;
        s.rtsControl = platform::LineControl::Enable;
        return s;
    }

    // Everything the master can read within `ms` after the last byte.
    std::vector<unsigned char> drainMaster(int ms = 100) {
        std::vector<unsigned char> bytes;
        pollfd entry{master_, POLLIN, 0};
        while (poll(&entry, 1, ms) > 0) {
            unsigned char chunk[512];
            const ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n <= 0) break;
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
        return bytes;
    }

    // Descriptors open in this process: a refused open must not leave one.
    static std::size_t openDescriptors() {
        std::size_t count = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
        return count;
    }

    void masterWrite(const std::vector<unsigned char>& bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    int master_ = -1;
    std::string slave_;
    fs::path dir_;
    std::optional<std::string> previousDir_;
};

TEST_F(TermiosComPort, ComNumberOpensThePtyRaw8N1AtTheRequestedRate) {
    struct Case {
        std::uint32_t baud;
        speed_t speed;
    };
    for (const Case& c : {Case{57600, B57600}, Case{9600, B9600}, Case{115200, B115200}}) {
        SCOPED_TRACE(c.baud);
        auto port = open();
        ASSERT_NE(port, nullptr);
        ASSERT_TRUE(port->setLineSettings(linkSettings(c.baud)));

        termios t{};  // the master reports the slave's terminal settings
        ASSERT_EQ(tcgetattr(master_, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(cfgetispeed(&t), c.speed);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL), tcflag_t{CS8});
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);

        platform::LineSettings back;
        ASSERT_TRUE(port->getLineSettings(back));
        EXPECT_EQ(back, linkSettings(c.baud));
        EXPECT_TRUE(port->close());
    }
}

TEST_F(TermiosComPort, OpenTakesTheSettingsInForceAndMakesTheLineRaw) {
    termios t{};
    ASSERT_EQ(tcgetattr(master_, &t), 0);
    cfsetospeed(&t, B19200);
    cfsetispeed(&t, B19200);
    t.c_lflag |= ICANON | ECHO;
    t.c_cflag |= HUPCL;
    ASSERT_EQ(tcsetattr(master_, TCSANOW, &t), 0);

    auto port = open();
    ASSERT_NE(port, nullptr);
    platform::LineSettings settings;
    ASSERT_TRUE(port->getLineSettings(settings));
    EXPECT_EQ(settings.baudRate, 19200u);
    EXPECT_EQ(settings.byteSize, 8);
    EXPECT_EQ(settings.parity, platform::NOPARITY);
    ASSERT_EQ(tcgetattr(master_, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(t.c_cflag & HUPCL, 0u);  // closing keeps DTR and RTS
}

TEST_F(TermiosComPort, UnsupportedSettingsAreRefusedAndTheOldOnesKept) {
    auto port = open();
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(port->setLineSettings(linkSettings(57600)));
    for (auto change : std::vector<void (*)(platform::LineSettings&)>{
             [](platform::LineSettings& s) { s.baudRate = 12345; },
             [](platform::LineSettings& s) { s.byteSize = 9; },
             [](platform::LineSettings& s) { s.parity = platform::Parity(3); },
         }) {
        platform::LineSettings wrong = linkSettings(9600);
        change(wrong);
        EXPECT_FALSE(port->setLineSettings(wrong));
        EXPECT_EQ(port->lastError(), platform::ERROR_INVALID_PARAMETER);
        platform::LineSettings back;
        ASSERT_TRUE(port->getLineSettings(back));
        EXPECT_EQ(back, linkSettings(57600));
    }
}

TEST_F(TermiosComPort, SecondOpenFailsAtOnceWhileTheFirstIsOpen) {
    // Another process holding the device open (as a peer would) must not keep
    // the port exclusive once it is closed.
    const int bystander = ::open(slave_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(bystander, 0);
    for (int round = 0; round < 2; ++round) {
        auto first = open();
        ASSERT_NE(first, nullptr);
        const std::size_t descriptors = openDescriptors();
        std::uint32_t error = 0;
        EXPECT_EQ(platform::openComPort(7, error), nullptr);
        EXPECT_EQ(error, platform::ERROR_ACCESS_DENIED);
        EXPECT_EQ(platform::openTermiosDevice(slave_, error), nullptr);  // same device, other name
        EXPECT_EQ(error, platform::ERROR_ACCESS_DENIED);
        EXPECT_EQ(openDescriptors(), descriptors);
        EXPECT_TRUE(first->close());
    }
    ::close(bystander);
}

TEST_F(TermiosComPort, ADeviceAnotherProgramHoldsExclusivelyIsRefusedToRootToo) {
    // Another program opened the device with TIOCEXCL but took no lock.
    const int other = ::open(slave_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
    const std::size_t descriptors = openDescriptors();
    std::uint32_t error = 0;
    EXPECT_EQ(platform::openComPort(7, error), nullptr);
    EXPECT_EQ(error, platform::ERROR_ACCESS_DENIED);
    EXPECT_EQ(openDescriptors(), descriptors);

    ASSERT_EQ(ioctl(other, TIOCNXCL), 0);  // it gives the device up
    auto port = open();
    EXPECT_NE(port, nullptr);
    ::close(other);
}

TEST_F(TermiosComPort, MissingOrNonTerminalDevicesAreNotFound) {
    const std::size_t descriptors = openDescriptors();
    std::uint32_t error = 0;
    EXPECT_EQ(platform::openComPort(8, error), nullptr);  // no com8 entry
    EXPECT_EQ(error, platform::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(platform::openComPort(0, error), nullptr);
    EXPECT_EQ(error, platform::ERROR_FILE_NOT_FOUND);
    std::ofstream(dir_ / "plain") << "x";
    fs::create_symlink(dir_ / "plain", dir_ / "com9");
    EXPECT_EQ(platform::openComPort(9, error), nullptr);
    EXPECT_EQ(error, platform::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(openDescriptors(), descriptors);
}

TEST_F(TermiosComPort, BytesPassBothWaysUnchanged) {
    auto port = open();
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(port->setLineSettings(linkSettings(57600)));
    std::vector<unsigned char> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);  // controls included

    std::uint32_t written = 0;
    ASSERT_TRUE(port->write(all.data(), 256, written));
    EXPECT_EQ(written, 256u);
    EXPECT_EQ(drainMaster(), all);

    ASSERT_TRUE(port->setTimeouts({platform::kMaxTimeout, 1, 2000, 0, 0}));
    masterWrite(all);
    std::vector<unsigned char> got(256);
    std::uint32_t count = 0;
    ASSERT_TRUE(port->read(got.data(), 256, count));
    EXPECT_EQ(count, 256u);
    EXPECT_EQ(got, all);
    EXPECT_TRUE(drainMaster(50).empty());  // nothing echoed back
}

TEST_F(TermiosComPort, ReadWaitsForAllRequestedBytes) {
    auto port = open();
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(port->setTimeouts({platform::kMaxTimeout, 1, 5000, 0, 0}));
    masterWrite({1, 2});
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        masterWrite({3, 4});
    });
    unsigned char got[4] = {};
    std::uint32_t count = 0;
    EXPECT_TRUE(port->read(got, 4, count));
    late.join();
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::vector<unsigned char>(got, got + 4), (std::vector<unsigned char>{1, 2, 3, 4}));
}

TEST_F(TermiosComPort, ReadReturnsAfterConstantPlusMultiplierWithWhatCame) {
    auto port = open();
    ASSERT_NE(port, nullptr);
    // 150 ms + 10 ms per byte for 10 bytes: 250 ms.
    ASSERT_TRUE(port->setTimeouts({platform::kMaxTimeout, 10, 150, 0, 0}));
    masterWrite({0x06, 0x15, 0x41});
    unsigned char got[10] = {};
    std::uint32_t count = 0;
    const std::uint64_t start = platform::clock().nowUs();
    EXPECT_TRUE(port->read(got, 10, count));
    const std::uint64_t elapsedUs = platform::clock().nowUs() - start;
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::vector<unsigned char>(got, got + 3),
              (std::vector<unsigned char>{0x06, 0x15, 0x41}));
    EXPECT_GE(elapsedUs, 250000u);
    EXPECT_EQ(port->lastError(), platform::ERROR_SUCCESS);
}

TEST_F(TermiosComPort, ReadTimeoutModes) {
    auto port = open();
    ASSERT_NE(port, nullptr);
    unsigned char got[10] = {};
    std::uint32_t count = 99;

    // Interval maximum, no totals: only what is already there.
    ASSERT_TRUE(port->setTimeouts({platform::kMaxTimeout, 0, 0, 0, 0}));
    EXPECT_TRUE(port->read(got, 10, count));
    EXPECT_EQ(count, 0u);

    // Interval and multiplier maximum: back with the first bytes, waiting for them.
    ASSERT_TRUE(port->setTimeouts({platform::kMaxTimeout, platform::kMaxTimeout, 5000, 0, 0}));
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        masterWrite({7, 8});
    });
    EXPECT_TRUE(port->read(got, 10, count));
    late.join();
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(got[1], 8);
}

TEST_F(TermiosComPort, PurgeDropsPendingInput) {
    auto port = open();
    ASSERT_NE(port, nullptr);
    masterWrite({1, 2, 3});
    ASSERT_TRUE(port->setTimeouts({platform::kMaxTimeout, 0, 0, 0, 0}));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(port->purge(platform::PURGE_TXABORT | platform::PURGE_RXABORT |
                            platform::PURGE_TXCLEAR | platform::PURGE_RXCLEAR));
    unsigned char got[3];
    std::uint32_t count = 99;
    EXPECT_TRUE(port->read(got, 3, count));
    EXPECT_EQ(count, 0u);
}

TEST_F(TermiosComPort, BreaksAndModemLinesAreAcceptedOnAPty) {
    auto port = open();
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(port->setBreak());
    EXPECT_TRUE(port->clearBreak());
    platform::LineSettings dropped = linkSettings(57600);
    dropped.dtrControl = platform::LineControl::Disable;
    EXPECT_TRUE(port->setLineSettings(dropped));
    EXPECT_EQ(port->lastError(), platform::ERROR_SUCCESS);
}

TEST_F(TermiosComPort, VanishedFarEndAndClosedPortFail) {
    auto port = open();
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(port->setTimeouts({platform::kMaxTimeout, 1, 1000, 0, 0}));
    ::close(master_);
    master_ = -1;
    unsigned char byte;
    std::uint32_t count = 0;
    EXPECT_FALSE(port->read(&byte, 1, count));
    EXPECT_EQ(port->lastError(), platform::ERROR_DEVICE_REMOVED);

    EXPECT_TRUE(port->close());
    EXPECT_FALSE(port->close());
    EXPECT_EQ(port->lastError(), platform::ERROR_INVALID_HANDLE);
    EXPECT_FALSE(port->write(&byte, 1, count));
    EXPECT_EQ(port->lastError(), platform::ERROR_INVALID_HANDLE);
}

}  // namespace
