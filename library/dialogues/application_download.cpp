#include "application_download.h"

#include <algorithm>

#include "close_with_trace.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "progress.h"
#include "serial/serial_link.h"

namespace talvex {

namespace {

constexpr std::uint32_t kHeaderMarkOffset = 136;
constexpr unsigned char kHeaderMark = 0x20;
constexpr std::uint32_t kAckWaitMs = 10000;
constexpr const char* kClosePortTrace = "ApplicationDL ClosePort \n";

bool headerAccepted(const unsigned char* image, unsigned long length) {
    // An image too short to hold the mark is refused rather than read past its end.
    return image != nullptr && length > kHeaderMarkOffset &&
           image[kHeaderMarkOffset] == kHeaderMark;
}

}  // namespace

int downloadApplication(const ApplicationPacing& pacing, const unsigned char* image,
                        unsigned long length, unsigned char port, int checkHeader,
                        ProgressCallback progress) {
    if (checkHeader != 0 && !headerAccepted(image, length)) return IMAGE_ERROR;
    // Without an image there is nothing to send: refuse before the port is touched.
    if (image == nullptr && length != 0) return IMAGE_ERROR;

    ProgressNotifier notes(progress, 0, 0);
    notes.notify("Open Serial port");

    PortHandle handle;
    if (int status = OpenPort(port, handle, kDialogueBaudRate); status != 0) return status;
    platform::debugOutput("ApplicationDL OpenPort \n");

    SendDoubleBreak(handle);
    if (CheckACK(handle, kAckWaitMs) != 0) return OPEN_COM_PORT;

    const std::uint8_t command = CMD_APPLICATION;
    if (!handle.writeAll(&command, 1)) return closeWithTrace(handle, kClosePortTrace, OTHER_ERROR);

    notes.notify("Waiting ACK before sending application");
    if (CheckACK(handle, kAckWaitMs) != 0) return OPEN_COM_PORT;

    unsigned long sent = 0;
    std::uint32_t blocks = 0;
    std::uint32_t blocksSince64K = 0;
    while (sent < length) {
        if (pacing.pauseMs != 0 && blocks % pacing.pauseEveryBlocks == 0) {
            platform::clock().sleepMs(pacing.pauseMs);
        }
        const auto size =
            static_cast<std::uint32_t>(std::min<unsigned long>(pacing.blockSize, length - sent));
        if (!handle.writeAll(image + sent, size)) {
            return closeWithTrace(handle, kClosePortTrace, NACK_ERROR);
        }
        sent += size;
        ++blocks;
        ++blocksSince64K;
        notes.setDone(static_cast<std::uint32_t>(sent));
        notes.setRemaining(static_cast<std::uint32_t>(length - sent));

        if (blocks == pacing.earlyAck1 || blocks == pacing.earlyAck2) {
            if (int status = CheckACK(handle, kAckWaitMs); status != 0) return status;
            blocksSince64K = 0;
        }
        notes.notifyGated("Data transfer...");

        if (blocksSince64K == pacing.blocksPer64K) {
            blocksSince64K = 0;
            notes.notifyGated("Waiting for 64 Kb ACK");
            if (int status = CheckACK(handle, kAckWaitMs); status != 0) return status;
            notes.notifyGated("64 Kb -> OK");
        } else if (sent == length) {
            // The last block is acknowledged on its own unless it closed a 64 KB group.
            if (int status = CheckACK(handle, kAckWaitMs); status != 0) return status;
        }
    }

    notes.notify("Signature checking and application install");
    if (CheckACK(handle, pacing.signatureWaitMs) != 0) return SIGNATURE_ERROR;

    notes.notify("Signature OK");
    ClosePort(handle);
    platform::debugOutput(kClosePortTrace);
    notes.notify("Application transfer successful");
    return 0;
}

}  // namespace talvex

extern "C" {

TALVEX_API int ApplicationDL_(unsigned char* image, unsigned long length, unsigned char port,
                              int checkHeader, ProgressCallback progress) {
    return talvex::downloadApplication(talvex::kApplicationFast, image, length, port, checkHeader,
                                       progress);
}

TALVEX_API int ApplicationDL_Lent_(unsigned char* image, unsigned long length, unsigned char port,
                                   int checkHeader, ProgressCallback progress) {
    return talvex::downloadApplication(talvex::kApplicationSlow, image, length, port, checkHeader,
                                       progress);
}

}  // extern "C"
