// Every export, made to fail at each of its steps: the status, the last trace
// line, and the port closed behind it (the reader sees the close).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "dialogue_fixture.h"
#include "reader_sim/application_dialogue.h"
#include "reader_sim/file_dialogue.h"
#include "reader_sim/test_mode_dialogue.h"
#include "reader_sim/update_dialogue.h"

namespace dialoguetest {
namespace {

using platform::PortCall;
using readersim::Reply;
using Bytes = std::vector<std::uint8_t>;

// Passes the line to a dialogue and, once the dialogue has taken `afterBytes`
// bytes since its command, arms a fault for the library's next port call.
class FaultAfter final : public readersim::Dialogue {
  public:
    FaultAfter(std::shared_ptr<readersim::Dialogue> inner, std::size_t afterBytes,
               std::function<void(platform::VirtualLine&)> arm)
        : inner_(std::move(inner)), afterBytes_(afterBytes), arm_(std::move(arm)) {}

    void start(readersim::Reader& reader, std::uint8_t command, std::uint64_t atUs) override {
        seen_ = 0;
        armed_ = false;
        inner_->start(reader, command, atUs);
        check(reader);
    }
    std::size_t onBytes(readersim::Reader& reader, std::span<const std::uint8_t> bytes,
                        const platform::ByteTiming& timing) override {
        const std::size_t used = inner_->onBytes(reader, bytes, timing);
        seen_ += used;
        check(reader);
        return used;
    }
    void stop(readersim::Reader& reader) override { inner_->stop(reader); }

  private:
    void check(readersim::Reader& reader) {
        if (!armed_ && seen_ >= afterBytes_) {
            armed_ = true;
            arm_(*reader.line());
        }
    }
    std::shared_ptr<readersim::Dialogue> inner_;
    std::size_t afterBytes_;
    std::function<void(platform::VirtualLine&)> arm_;
    std::size_t seen_ = 0;
    bool armed_ = false;
};

// A reader with every dialogue of this family set up for the exchanges below.
struct Stage {
    readersim::Reader reader;
    std::shared_ptr<readersim::ApplicationDialogue> application =
        std::make_shared<readersim::ApplicationDialogue>();
    std::shared_ptr<readersim::FileDialogue> files = std::make_shared<readersim::FileDialogue>();
    std::shared_ptr<readersim::TestModeDialogue> tester =
        std::make_shared<readersim::TestModeDialogue>();
    std::shared_ptr<readersim::UpdateDialogue> updater =
        std::make_shared<readersim::UpdateDialogue>();
    platform::VirtualLine* line = nullptr;

    explicit Stage(platform::VirtualComBus& bus) {
        line = &reader.plugInto(bus, kCom);
        line->setWireModel(true);
        application->expect(kImage);
        files->setFile('F', patternImage(40));
        tester->setAnswer(0, {1, 2, 3});
        use(application, readersim::CMD_APPLICATION);
        use(files, readersim::CMD_READ_FILE);
        use(files, readersim::CMD_WRITE_FILE);
        use(tester, readersim::CMD_TEST_MODE);
        use(updater, readersim::CMD_UPDATE_PACKAGE);
    }
    void use(std::shared_ptr<readersim::Dialogue> dialogue, std::uint8_t command) {
        reader.addDialogue(command, std::move(dialogue));
    }
    // Makes the dialogue of `command` arm a fault after `afterBytes` bytes.
    void faultAfter(std::uint8_t command, std::shared_ptr<readersim::Dialogue> dialogue,
                    std::size_t afterBytes, std::function<void(platform::VirtualLine&)> arm) {
        use(std::make_shared<FaultAfter>(std::move(dialogue), afterBytes, std::move(arm)), command);
    }

    static constexpr std::size_t kImage = 66148;
};

void failWrite(platform::VirtualLine& line) {
    line.failNext(PortCall::Write);
}
void shortWrite(platform::VirtualLine& line) {
    line.limitNextWrite(1);
}

struct FailureCase {
    const char* name;
    std::function<void(Stage&)> script;
    int status;
    const char* lastTrace;
};

class FailurePathsTest : public ::testing::Test {
  protected:
    void runCases(const std::vector<FailureCase>& cases, const std::function<int()>& call) {
        for (const FailureCase& c : cases) {
            SCOPED_TRACE(c.name);
            platform::VirtualClock clock;
            platform::ScopedThreadClock useClock(clock);
            Stage stage(bus);
            c.script(stage);
            platform::DebugCapture trace;

            EXPECT_EQ(call(), c.status);

            EXPECT_FALSE(bus.isOpen(kCom));
            // A device that is gone hears nothing more, its close included.
            if (!stage.line->vanished()) {
                EXPECT_EQ(stage.reader.closeTimesUs().size(), stage.reader.openTimesUs().size());
            }
            EXPECT_EQ(stage.reader.pendingRules(), 0u);
            ASSERT_FALSE(trace.lines().empty());
            EXPECT_EQ(trace.lines().back(), c.lastTrace);
        }
    }

    platform::VirtualComBus bus;
    platform::ScopedComPortProvider useBus{bus};
};

void portBusy(Stage& s) {
    s.line->failNext(PortCall::Open, platform::ERROR_ACCESS_DENIED, platform::VirtualLine::kAlways);
}

TEST_F(FailurePathsTest, ApplicationDownload) {
    using readersim::CMD_APPLICATION;
    const std::vector<FailureCase> cases = {
        {"port busy", portBusy, OPEN_COM_PORT, " - OpenPort 3 Start - R"},
        {"no ACK to the breaks", [](Stage& s) { s.reader.on(readersim::kWake, Reply::silence()); },
         OPEN_COM_PORT, "CheckACK ClosePort 4\n"},
        {"command not written", [](Stage& s) { s.line->failNext(PortCall::Write); }, OTHER_ERROR,
         "ApplicationDL ClosePort \n"},
        {"NAK to the command", [](Stage& s) { s.reader.on(readersim::kCommand, Reply::nak()); },
         OPEN_COM_PORT, "CheckACK NACK received\n"},
        {"first block short",
         [](Stage& s) { s.faultAfter(CMD_APPLICATION, s.application, 0, shortWrite); }, NACK_ERROR,
         "ApplicationDL ClosePort \n"},
        {"third block fails",
         [](Stage& s) { s.faultAfter(CMD_APPLICATION, s.application, 256, failWrite); }, NACK_ERROR,
         "ApplicationDL ClosePort \n"},
        {"NAK to an early ACK",
         [](Stage& s) { s.reader.on(readersim::kEarlyAck, Reply::nak(), 2); }, NACK_ERROR,
         "CheckACK NACK received\n"},
        {"device gone at the 64 KB ACK",
         [](Stage& s) { s.reader.on(readersim::k64KAck, Reply::vanish()); }, TIMEOUT_ERROR,
         "CheckACK ClosePort 3\n"},
        {"other byte for the last block",
         [](Stage& s) { s.reader.on(readersim::kLastBlockAck, Reply::byte(0x41)); }, OTHER_ERROR,
         "CheckACK Unknown received\n"},
        {"no signature verdict",
         [](Stage& s) { s.reader.on(readersim::kSignature, Reply::silence()); }, SIGNATURE_ERROR,
         "CheckACK ClosePort 4\n"},
    };
    Bytes image = patternImage(Stage::kImage);
    runCases(cases, [&] { return ApplicationDL_(image.data(), image.size(), kCom, 0, nullptr); });
}

TEST_F(FailurePathsTest, UploadData) {
    using readersim::CMD_READ_FILE;
    const std::vector<FailureCase> cases = {
        {"port busy", portBusy, OPEN_COM_PORT,
         "UploadData  - OpenPort 3 Start - RUploadData ClosePort OpenPort\n"},
        {"no ACK to the breaks", [](Stage& s) { s.reader.on(readersim::kWake, Reply::silence()); },
         TIMEOUT_ERROR, "UploadData ClosePort CheckACK 1\n"},
        {"command not written", [](Stage& s) { s.line->failNext(PortCall::Write); }, TIMEOUT_ERROR,
         "UploadData ClosePort TIMEOUT_ERROR 1\n"},
        {"NAK to the command", [](Stage& s) { s.reader.on(readersim::kCommand, Reply::nak()); },
         NACK_ERROR, "UploadData ClosePort CheckACK 2\n"},
        {"identifier not written",
         [](Stage& s) { s.faultAfter(CMD_READ_FILE, s.files, 0, failWrite); }, OTHER_ERROR,
         "UploadData ClosePort OTHER_ERROR\n"},
        {"NAK to the identifier", [](Stage& s) { s.reader.on(readersim::kFileId, Reply::nak()); },
         NACK_ERROR, "UploadData ClosePort CheckACK 3\n"},
        {"half a length",
         [](Stage& s) { s.reader.on(readersim::kRecordLength, Reply::partial(1)); }, TIMEOUT_ERROR,
         "UploadData ClosePort TIMEOUT_ERROR 2\n"},
        {"first ACK not written",
         [](Stage& s) { s.faultAfter(CMD_READ_FILE, s.files, 1, failWrite); }, WRITE_ERROR,
         "UploadData ClosePort Acknowledge 1\n"},
        {"part of the record",
         [](Stage& s) { s.reader.on(readersim::kRecord, Reply::partial(30)); }, TIMEOUT_ERROR,
         "UploadData ClosePort TIMEOUT_ERROR 3\n"},
        {"second ACK not written",
         [](Stage& s) { s.faultAfter(CMD_READ_FILE, s.files, 2, failWrite); }, WRITE_ERROR,
         "UploadData ClosePort Acknowledge 2\n"},
    };
    Bytes buffer(64);
    runCases(cases, [&] { return UploadData_(buffer.data(), 'F', 64, kCom, nullptr); });
}

TEST_F(FailurePathsTest, DownloadData) {
    using readersim::CMD_WRITE_FILE;
    const std::vector<FailureCase> cases = {
        {"port busy", portBusy, OPEN_COM_PORT, " - OpenPort 3 Start - R"},
        {"NAK to the breaks", [](Stage& s) { s.reader.on(readersim::kWake, Reply::nak()); },
         NACK_ERROR, "CheckACK NACK received\n"},
        {"command not written", [](Stage& s) { s.line->failNext(PortCall::Write); }, OTHER_ERROR,
         "DownloadData ClosePort \n"},
        {"identifier not written",
         [](Stage& s) { s.faultAfter(CMD_WRITE_FILE, s.files, 0, failWrite); }, OTHER_ERROR,
         "DownloadData ClosePort \n"},
        {"no ACK to the identifier",
         [](Stage& s) { s.reader.on(readersim::kFileId, Reply::silence()); }, TIMEOUT_ERROR,
         "CheckACK ClosePort 4\n"},
        {"length not written",
         [](Stage& s) { s.faultAfter(CMD_WRITE_FILE, s.files, 1, failWrite); }, OTHER_ERROR,
         "DownloadData ClosePort \n"},
        {"NAK to the length", [](Stage& s) { s.reader.on(readersim::kRecordLength, Reply::nak()); },
         NACK_ERROR, "CheckACK NACK received\n"},
        {"data short", [](Stage& s) { s.faultAfter(CMD_WRITE_FILE, s.files, 3, shortWrite); },
         OTHER_ERROR, "DownloadData ClosePort \n"},
        {"other byte for the data",
         [](Stage& s) { s.reader.on(readersim::kRecord, Reply::byte(0x41)); }, OTHER_ERROR,
         "CheckACK Unknown received\n"},
    };
    Bytes data = patternImage(300);
    runCases(cases, [&] { return DownloadData_(data.data(), 300, 'I', kCom); });
}

TEST_F(FailurePathsTest, TestMode) {
    using readersim::CMD_TEST_MODE;
    const std::vector<FailureCase> cases = {
        {"port busy", portBusy, OPEN_COM_PORT, " - OpenPort 3 Start - R"},
        {"no ACK to the breaks", [](Stage& s) { s.reader.on(readersim::kWake, Reply::silence()); },
         TIMEOUT_ERROR, "CheckACK ClosePort 4\n"},
        {"command not written", [](Stage& s) { s.line->failNext(PortCall::Write); }, WRITE_ERROR,
         "testMode ClosePort WRITE_ERROR 1\n"},
        {"code not written", [](Stage& s) { s.faultAfter(CMD_TEST_MODE, s.tester, 0, failWrite); },
         WRITE_ERROR, "testMode ClosePort WRITE_ERROR 2\n"},
        {"NAK to the code", [](Stage& s) { s.reader.on(readersim::kTestCode, Reply::nak()); },
         NACK_ERROR, "CheckACK NACK received\n"},
        {"no status", [](Stage& s) { s.reader.on(readersim::kTestStatus, Reply::silence()); },
         TIMEOUT_ERROR, "testMode ClosePort TIMEOUT_ERROR 1\n"},
        // A failed acknowledgement closes the port; the read after it fails.
        {"status ACK not written",
         [](Stage& s) { s.faultAfter(CMD_TEST_MODE, s.tester, 1, failWrite); }, TIMEOUT_ERROR,
         "testMode ClosePort TIMEOUT_ERROR 2\n"},
        {"half a length", [](Stage& s) { s.reader.on(readersim::kTestLength, Reply::partial(1)); },
         TIMEOUT_ERROR, "testMode ClosePort TIMEOUT_ERROR 2\n"},
        {"part of the record",
         [](Stage& s) { s.reader.on(readersim::kTestRecord, Reply::partial(2)); }, TIMEOUT_ERROR,
         "testMode ClosePort TIMEOUT_ERROR 3\n"},
        // The record is complete by then: the answer stands.
        {"record ACK not written",
         [](Stage& s) { s.faultAfter(CMD_TEST_MODE, s.tester, 3, failWrite); }, -6,
         "testMode ClosePort no error\n"},
        {"output too small", [](Stage& s) { s.tester->setAnswer(0, patternImage(20)); },
         DATA_SIZE_ERROR, "testMode ClosePort DATA_SIZE_ERROR\n"},
    };
    Bytes output(16);
    runCases(cases, [&] { return testMode_(0x20, output.data(), 16, kCom); });
}

TEST_F(FailurePathsTest, UpdatePackage) {
    using readersim::CMD_UPDATE_PACKAGE;
    // With a 10-byte package the reader has taken: 8 (information), 1 (ACK of
    // the decision), 8 (initial packet), 8 (header), 10 (data).
    const std::vector<FailureCase> cases = {
        {"port busy", portBusy, OPEN_COM_PORT,
         " - OpenPort 3 Start - RThirdPartyUpdate Open Port Fail\n"},
        {"NAK to the breaks", [](Stage& s) { s.reader.on(readersim::kWake, Reply::nak()); },
         OPEN_COM_PORT, "ThirdPartyUpdate Double break ACK Error \n"},
        {"command not written", [](Stage& s) { s.line->failNext(PortCall::Write); }, OTHER_ERROR,
         "ThirdPartyUpdate ClosePort \n"},
        {"no ACK to the command",
         [](Stage& s) { s.reader.on(readersim::kCommand, Reply::silence()); }, OPEN_COM_PORT,
         "ThirdPartyUpdateSend character '2' Error \n"},
        {"information not written",
         [](Stage& s) { s.faultAfter(CMD_UPDATE_PACKAGE, s.updater, 0, failWrite); }, OTHER_ERROR,
         "ThirdPartyUpdate send package information Error \n"},
        {"NAK to the information",
         [](Stage& s) { s.reader.on(readersim::kPackageInfo, Reply::nak()); }, OPEN_COM_PORT,
         "ThirdPartyUpdateSend send package information ACK Error \n"},
        {"no decision", [](Stage& s) { s.reader.on(readersim::kDecision, Reply::silence()); },
         TIMEOUT_ERROR, "ThirdPartyUpdate check package information Error \n"},
        {"decision ACK not written",
         [](Stage& s) { s.faultAfter(CMD_UPDATE_PACKAGE, s.updater, 8, failWrite); }, OTHER_ERROR,
         "ThirdPartyUpdate ClosePort 5 \n"},
        {"initial packet not written",
         [](Stage& s) { s.faultAfter(CMD_UPDATE_PACKAGE, s.updater, 9, failWrite); }, OTHER_ERROR,
         "ThirdPartyUpdate initial Step error \n"},
        {"NAK to the initial packet",
         [](Stage& s) { s.reader.on(readersim::kInitialPacket, Reply::nak()); }, NACK_ERROR,
         "ThirdPartyUpdate initial Step ACK Error \n"},
        {"header not written",
         [](Stage& s) { s.faultAfter(CMD_UPDATE_PACKAGE, s.updater, 17, failWrite); }, OTHER_ERROR,
         "ThirdPartyUpdate sending header Error step 1\n"},
        {"NAK to the header", [](Stage& s) { s.reader.on(readersim::kPacketHeader, Reply::nak()); },
         NACK_ERROR, "ThirdPartyUpdate Send header ACK Error 1\n"},
        {"data short",
         [](Stage& s) { s.faultAfter(CMD_UPDATE_PACKAGE, s.updater, 25, shortWrite); }, OTHER_ERROR,
         "ThirdPartyUpdate sending packet Error1\n"},
        // The trace names the packet after the one that failed.
        {"NAK to the data", [](Stage& s) { s.reader.on(readersim::kPacketData, Reply::nak()); },
         NACK_ERROR, "ThirdPartyUpdate Send packet ACK Error 2\n"},
        {"closure not written",
         [](Stage& s) { s.faultAfter(CMD_UPDATE_PACKAGE, s.updater, 35, failWrite); }, OTHER_ERROR,
         "ThirdPartyUpdate end error \n"},
        {"NAK to the closure", [](Stage& s) { s.reader.on(readersim::kClosure, Reply::nak()); },
         NACK_ERROR, "ThirdPartyUpdate end ACK Error \n"},
    };
    Bytes package = patternImage(10);
    runCases(cases, [&] {
        return ThirdPartyUpdate_(package.data(), package.size(), 0, kCom, 0, nullptr);
    });
}

// When the reader answers a second too late, each wait gives up after its own
// time (plus 1 ms for the byte asked), counted from the library's last write
// and the pause that follows it: the close comes exactly that long after the
// write.
TEST_F(FailurePathsTest, EachAcknowledgementIsAwaitedForItsOwnTime) {
    Bytes image = patternImage(Stage::kImage);
    Bytes buffer(64);
    Bytes data = patternImage(300);
    Bytes output(16);
    Bytes package = patternImage(10);
    const std::function<int()> application = [&] {
        return ApplicationDL_(image.data(), image.size(), kCom, 0, nullptr);
    };
    const std::function<int()> upload = [&] {
        return UploadData_(buffer.data(), 'F', 64, kCom, nullptr);
    };
    const std::function<int()> download = [&] {
        return DownloadData_(data.data(), 300, 'I', kCom);
    };
    const std::function<int()> test = [&] { return testMode_(0x20, output.data(), 16, kCom); };
    const std::function<int()> update = [&] {
        return ThirdPartyUpdate_(package.data(), package.size(), 0, kCom, 0, nullptr);
    };
    struct WaitCase {
        const char* name;
        const std::function<int()>* call;
        std::string_view point;
        std::uint64_t pauseMs;  // between the last write and the wait
        std::uint64_t waitMs;
        int status;
    };
    const std::vector<WaitCase> cases = {
        {"application: command", &application, readersim::kCommand, 0, 10000, OPEN_COM_PORT},
        {"application: early ACK", &application, readersim::kEarlyAck, 0, 10000, TIMEOUT_ERROR},
        {"application: last block", &application, readersim::kLastBlockAck, 0, 10000,
         TIMEOUT_ERROR},
        {"upload: command", &upload, readersim::kCommand, 0, 1000, TIMEOUT_ERROR},
        {"upload: identifier", &upload, readersim::kFileId, 0, 10000, TIMEOUT_ERROR},
        {"download: command", &download, readersim::kCommand, 0, 10000, TIMEOUT_ERROR},
        {"download: identifier", &download, readersim::kFileId, 0, 1000, TIMEOUT_ERROR},
        {"download: length", &download, readersim::kRecordLength, 0, 1000, TIMEOUT_ERROR},
        {"download: data", &download, readersim::kRecord, 0, 5000, TIMEOUT_ERROR},
        {"test mode: command", &test, readersim::kCommand, 1, 10000, TIMEOUT_ERROR},
        {"test mode: code", &test, readersim::kTestCode, 0, 1000, TIMEOUT_ERROR},
        {"update: command", &update, readersim::kCommand, 0, 10000, OPEN_COM_PORT},
        {"update: information", &update, readersim::kPackageInfo, 0, 5000, OPEN_COM_PORT},
        {"update: header", &update, readersim::kPacketHeader, 0, 5000, TIMEOUT_ERROR},
        {"update: data", &update, readersim::kPacketData, 5, 5000, TIMEOUT_ERROR},
    };
    for (const WaitCase& c : cases) {
        SCOPED_TRACE(c.name);
        platform::VirtualClock clock;
        platform::ScopedThreadClock useClock(clock);
        Stage stage(bus);
        stage.reader.on(c.point, Reply::asDefault().after(c.waitMs + 1000));

        EXPECT_EQ((*c.call)(), c.status);

        std::uint64_t lastWriteUs = 0;
        for (const platform::LineEvent& event : stage.reader.events())
            if (event.kind == platform::LineEvent::Kind::Bytes) lastWriteUs = event.timeUs;
        ASSERT_EQ(stage.reader.closeTimesUs().size(), 1u);
        EXPECT_EQ(stage.reader.closeTimesUs()[0] - lastWriteUs, (c.pauseMs + c.waitMs + 1) * 1000);
        EXPECT_EQ(stage.reader.pendingRules(), 0u);
    }
}

}  // namespace
}  // namespace dialoguetest
