// Reading a file of the reader (UploadData_), writing one (DownloadData_) and
// the test-mode request (testMode_): each transfers one record, a 16-bit
// little-endian length followed by that many bytes.

#include <cstdint>
#include <cstring>
#include <vector>

#include "close_with_trace.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "progress.h"
#include "serial/serial_link.h"
#include "talvex.h"

namespace talvex {

namespace {

constexpr std::uint32_t kUploadSteps = 260;
constexpr std::uint32_t kUploadStep = 20;

// Files the reader needs longer to prepare before it acknowledges their identifier.
bool slowToPrepare(char fileId) {
    switch (fileId) {
        case 'R':
        case 'C':
        case 'E':
        case 'M':
        case 'J':
            return true;
        default:
            return false;
    }
}

// Reads exactly `size` bytes in one read; false when the read failed or was short.
bool readWhole(PortHandle& handle, void* buffer, std::uint32_t size) {
    std::uint32_t got = 0;
    return handle.read(buffer, size, got) && got == size;
}

std::uint16_t littleEndian16(const std::uint8_t (&bytes)[2]) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

// The UploadData_ progress: 13 ungated notes, `done` 20, 40, ... 260 of 260.
class UploadSteps {
  public:
    explicit UploadSteps(ProgressCallback callback) : notes_(callback, 0, kUploadSteps) {}
    void next() {
        notes_.setDone(notes_.done() + kUploadStep);
        notes_.notify("UploadData\n");
    }

  private:
    ProgressNotifier notes_;
};

}  // namespace

int uploadData(unsigned char* buffer, char fileId, int bufferSize, unsigned char port,
               ProgressCallback progress) {
    if (buffer == nullptr) return NULL_BUFFER;

    UploadSteps steps(progress);
    platform::clock().sleepMs(2000);
    platform::debugOutput("UploadData ");

    PortHandle handle;
    if (int status = OpenPort(port, handle, kDialogueBaudRate); status != 0) {
        platform::debugOutput("UploadData ClosePort OpenPort\n");
        return status;
    }

    steps.next();
    SendDoubleBreak(handle);
    steps.next();
    if (int status = CheckACK(handle, 10000); status != 0) {
        platform::debugOutput("UploadData ClosePort CheckACK 1\n");
        return status;
    }

    steps.next();
    const std::uint8_t command = CMD_READ_FILE;
    if (!handle.writeAll(&command, 1)) {
        return closeWithTrace(handle, "UploadData ClosePort TIMEOUT_ERROR 1\n", TIMEOUT_ERROR);
    }
    steps.next();
    if (int status = CheckACK(handle, 1000); status != 0) {
        platform::debugOutput("UploadData ClosePort CheckACK 2\n");
        return status;
    }

    steps.next();
    if (!handle.writeAll(&fileId, 1)) {
        return closeWithTrace(handle, "UploadData ClosePort OTHER_ERROR\n", OTHER_ERROR);
    }
    steps.next();
    const std::uint32_t idWaitMs = slowToPrepare(fileId) ? 20000 : 10000;
    steps.next();
    if (int status = CheckACK(handle, idWaitMs); status != 0) {
        platform::debugOutput("UploadData ClosePort CheckACK 3\n");
        return status;
    }

    steps.next();
    std::uint8_t lengthBytes[2] = {};
    if (!readWhole(handle, lengthBytes, 2)) {
        return closeWithTrace(handle, "UploadData ClosePort TIMEOUT_ERROR 2\n", TIMEOUT_ERROR);
    }
    const std::uint16_t length = littleEndian16(lengthBytes);

    steps.next();
    if (Acknowledge(handle) != 0) {
        platform::debugOutput("UploadData ClosePort Acknowledge 1\n");
        return WRITE_ERROR;
    }

    steps.next();
    std::vector<std::uint8_t> record(length);
    if (length != 0) {
        // A record may come in two pieces; a third is not waited for.
        std::uint32_t first = 0;
        if (!handle.read(record.data(), length, first)) first = 0;
        if (first < length) {
            std::uint32_t second = 0;
            if (!handle.read(record.data() + first, length - first, second) ||
                first + second < length) {
                return closeWithTrace(handle, "UploadData ClosePort TIMEOUT_ERROR 3\n",
                                      TIMEOUT_ERROR);
            }
        }
    }

    steps.next();
    if (Acknowledge(handle) != 0) {
        platform::debugOutput("UploadData ClosePort Acknowledge 2\n");
        return WRITE_ERROR;
    }

    steps.next();
    if (static_cast<int>(length) > bufferSize) {
        return closeWithTrace(handle, "UploadData ClosePort DATA_SIZE_ERROR\n", DATA_SIZE_ERROR);
    }

    if (length != 0) std::memcpy(buffer, record.data(), length);
    steps.next();
    ClosePort(handle);
    platform::debugOutput("UploadData ClosePort OK\n");
    return -static_cast<int>(length);
}

int downloadData(const unsigned char* data, int length, char fileId, unsigned char port) {
    // Data that is not there, a negative length, or more than the 16-bit
    // length can announce cannot be sent as one record: refuse before the port
    // is touched instead of reading outside the caller's memory or leaving the
    // reader with a record cut short and the rest taken for commands.
    if (length < 0 || length > 0xFFFF) return DATA_SIZE_ERROR;
    if (data == nullptr && length != 0) return NULL_BUFFER;

    PortHandle handle;
    if (int status = OpenPort(port, handle, kDialogueBaudRate); status != 0) return status;
    platform::debugOutput("DownloadData OpenPort \n");

    SendDoubleBreak(handle);
    if (int status = CheckACK(handle, 10000); status != 0) return status;

    const auto size = static_cast<std::uint32_t>(length);
    const std::uint8_t command = CMD_WRITE_FILE;
    const std::uint8_t lengthBytes[2] = {static_cast<std::uint8_t>(size & 0xFF),
                                         static_cast<std::uint8_t>((size >> 8) & 0xFF)};
    struct Step {
        const void* bytes;
        std::uint32_t size;
        std::uint32_t ackWaitMs;
    };
    const Step steps[] = {
        {&command, 1, 10000},
        {&fileId, 1, 1000},
        {lengthBytes, 2, 1000},
        {data, size, 5000},
    };
    for (const Step& step : steps) {
        if (!handle.writeAll(step.bytes, step.size)) {
            return closeWithTrace(handle, "DownloadData ClosePort \n", OTHER_ERROR);
        }
        if (int status = CheckACK(handle, step.ackWaitMs); status != 0) return status;
    }

    ClosePort(handle);
    platform::debugOutput("DownloadData ClosePort \n");
    return 0;
}

int testMode(char testCode, unsigned char* output, int outputSize, unsigned char port) {
    if (output == nullptr) return NULL_BUFFER;

    PortHandle handle;
    if (int status = OpenPort(port, handle, kDialogueBaudRate); status != 0) return status;
    platform::debugOutput("testMode OpenPort \n");

    SendDoubleBreak(handle);
    if (int status = CheckACK(handle, 10000); status != 0) return status;

    const std::uint8_t command = CMD_TEST_MODE;
    if (!handle.writeAll(&command, 1)) {
        return closeWithTrace(handle, "testMode ClosePort WRITE_ERROR 1\n", WRITE_ERROR);
    }
    platform::clock().sleepMs(1);
    if (int status = CheckACK(handle, 10000); status != 0) return status;

    if (!handle.writeAll(&testCode, 1)) {
        return closeWithTrace(handle, "testMode ClosePort WRITE_ERROR 2\n", WRITE_ERROR);
    }
    if (int status = CheckACK(handle, 1000); status != 0) return status;
    platform::clock().sleepMs(1);

    // The results of the time-out changes and acknowledgements below are not
    // examined: a failed one closes the port, so the next read fails.
    SetReadTimeout(handle, static_cast<std::uint8_t>(testCode) == 0xFF ? 90000 : 30000);
    std::uint8_t status = 0;
    if (!readWhole(handle, &status, 1)) {
        return closeWithTrace(handle, "testMode ClosePort TIMEOUT_ERROR 1\n", TIMEOUT_ERROR);
    }

    Acknowledge(handle);
    SetReadTimeout(handle, 1000);
    platform::clock().sleepMs(10);
    std::uint8_t lengthBytes[2] = {};
    if (!readWhole(handle, lengthBytes, 2)) {
        return closeWithTrace(handle, "testMode ClosePort TIMEOUT_ERROR 2\n", TIMEOUT_ERROR);
    }
    const std::uint16_t length = littleEndian16(lengthBytes);
    Acknowledge(handle);
    platform::clock().sleepMs(1);

    std::vector<std::uint8_t> record(length);
    if (length != 0) {
        if (!readWhole(handle, record.data(), length)) {
            return closeWithTrace(handle, "testMode ClosePort TIMEOUT_ERROR 3\n", TIMEOUT_ERROR);
        }
        Acknowledge(handle);
        platform::clock().sleepMs(1);
    }

    if (outputSize < length + 3) {
        return closeWithTrace(handle, "testMode ClosePort DATA_SIZE_ERROR\n", DATA_SIZE_ERROR);
    }
    output[0] = status;
    output[1] = lengthBytes[0];
    output[2] = lengthBytes[1];
    if (length != 0) std::memcpy(output + 3, record.data(), length);
    ClosePort(handle);
    platform::debugOutput("testMode ClosePort no error\n");
    return -(length + 3);
}

}  // namespace talvex

extern "C" {

TALVEX_API int UploadData_(unsigned char* buffer, char fileId, int bufferSize, unsigned char port,
                           ProgressCallback progress) {
    return talvex::uploadData(buffer, fileId, bufferSize, port, progress);
}

TALVEX_API int DownloadData_(unsigned char* data, int length, char fileId, unsigned char port) {
    return talvex::downloadData(data, length, fileId, port);
}

TALVEX_API int testMode_(char testCode, unsigned char* output, int outputSize, unsigned char port) {
    return talvex::testMode(testCode, output, outputSize, port);
}

}  // extern "C"
