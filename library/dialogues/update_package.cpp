// ThirdPartyUpdate_: an update package sent in numbered packets of up to
// 8 KB. The reader first decides whether it takes the package; each packet is
// announced by an 8-byte header and both are acknowledged; a closure header
// ends the transfer.

#include <algorithm>
#include <cstdint>

#include "close_with_trace.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "progress.h"
#include "serial/serial_link.h"
#include "talvex.h"

namespace talvex {

namespace {

constexpr std::uint32_t kPacketSize = 8192;
constexpr std::uint32_t kWriteSize = 256;
constexpr std::uint32_t kPauseAfterWriteMs = 5;
constexpr std::uint32_t kClosureMark = 0xFFFFFFFFu;
constexpr std::uint32_t kDenialMark = 0xFF000000u;

// Two unsigned 32-bit little-endian fields.
struct Header {
    std::uint8_t bytes[8];
    Header(std::uint32_t first, std::uint32_t second) {
        for (int i = 0; i < 4; ++i) {
            bytes[i] = static_cast<std::uint8_t>(first >> (8 * i));
            bytes[4 + i] = static_cast<std::uint8_t>(second >> (8 * i));
        }
    }
};

bool writeHeader(PortHandle& handle, const Header& header) {
    return handle.writeAll(header.bytes, sizeof header.bytes);
}

}  // namespace

int sendUpdatePackage(const unsigned char* package, unsigned long length, unsigned char port,
                      ProgressCallback progress) {
    // Without a package there is nothing to send: refuse before the port is touched.
    if (package == nullptr && length != 0) return IMAGE_ERROR;
    const auto total = static_cast<std::uint32_t>(length);

    ProgressNotifier notes(progress, 0, 0);

    PortHandle handle;
    if (int status = OpenPort(port, handle, kDialogueBaudRate); status != 0) {
        platform::debugOutput("ThirdPartyUpdate Open Port Fail\n");
        return status;
    }
    platform::debugOutput("ThirdPartyUpdate OpenPort \n");

    SendDoubleBreak(handle);
    if (CheckACK(handle, 10000) != 0) {
        platform::debugOutput("ThirdPartyUpdate Double break ACK Error \n");
        return OPEN_COM_PORT;
    }

    const std::uint8_t command = CMD_UPDATE_PACKAGE;
    if (!handle.writeAll(&command, 1)) {
        return closeWithTrace(handle, "ThirdPartyUpdate ClosePort \n", OTHER_ERROR);
    }
    notes.notify("Waiting ACK before sending info");
    if (CheckACK(handle, 10000) != 0) {
        platform::debugOutput("ThirdPartyUpdateSend character '2' Error \n");
        return OPEN_COM_PORT;
    }

    if (!writeHeader(handle, Header(0, total))) {
        return closeWithTrace(handle, "ThirdPartyUpdate send package information Error \n",
                              OTHER_ERROR);
    }
    if (CheckACK(handle, 5000) != 0) {
        platform::debugOutput("ThirdPartyUpdateSend send package information ACK Error \n");
        return OPEN_COM_PORT;
    }

    // The reader's decision comes within the time-out left by the last acknowledgement.
    notes.notify("Waiting mode before sending datas");
    std::uint8_t decision = 0;
    std::uint32_t got = 0;
    if (!handle.read(&decision, 1, got) || got != 1) {
        return closeWithTrace(handle, "ThirdPartyUpdate check package information Error \n",
                              TIMEOUT_ERROR);
    }
    const std::uint8_t ack = ACK;
    if (!handle.writeAll(&ack, 1)) {
        return closeWithTrace(handle, "ThirdPartyUpdate ClosePort 5 \n", OTHER_ERROR);
    }
    if (decision != 0) {
        ClosePort(handle);
        platform::debugOutput("ThirdPartyUpdate denial\n");
        return static_cast<int>(kDenialMark | decision);
    }

    platform::debugOutput("ThirdPartyUpdate initial Step\n");
    notes.notify("Sending initial packet");
    if (!writeHeader(handle, Header(0, 0))) {
        return closeWithTrace(handle, "ThirdPartyUpdate initial Step error \n", OTHER_ERROR);
    }
    if (int status = CheckACK(handle, 60000); status != 0) {
        platform::debugOutput("ThirdPartyUpdate initial Step ACK Error \n");
        return status;
    }

    platform::debugOutput("ThirdPartyUpdate sending packet -");
    std::uint32_t sent = 0;
    for (std::uint32_t packet = 1; sent < total; ++packet) {
        const std::uint32_t size = std::min(kPacketSize, total - sent);
        platform::debugOutput(" H -");
        if (!writeHeader(handle, Header(packet, size))) {
            ClosePort(handle);
            platform::debugPrintf("\nThirdPartyUpdate sending header Error step %d\n",
                                  static_cast<int>(packet));
            return OTHER_ERROR;
        }
        if (int status = CheckACK(handle, 5000); status != 0) {
            platform::debugPrintf("\nThirdPartyUpdate Send header ACK Error %d\n",
                                  static_cast<int>(packet));
            return status;
        }

        platform::debugOutput(" P -");
        for (std::uint32_t offset = 0; offset < size; offset += kWriteSize) {
            const std::uint32_t piece = std::min(kWriteSize, size - offset);
            if (!handle.writeAll(package + sent + offset, piece)) {
                ClosePort(handle);
                platform::debugPrintf("\nThirdPartyUpdate sending packet Error%d\n",
                                      static_cast<int>(packet));
                return OTHER_ERROR;
            }
            platform::clock().sleepMs(kPauseAfterWriteMs);
        }
        sent += size;
        notes.setDone(sent);
        notes.setRemaining(total - sent);
        notes.notifyGated("Data transfer...");

        if (int status = CheckACK(handle, 5000); status != 0) {
            // The packet number printed here is one ahead, as the trace always had it.
            platform::debugPrintf("\nThirdPartyUpdate Send packet ACK Error %d\n",
                                  static_cast<int>(packet + 1));
            return status;
        }
    }

    platform::debugOutput("\n");
    notes.notify("Sending closure packet");
    if (!writeHeader(handle, Header(kClosureMark, 0))) {
        return closeWithTrace(handle, "ThirdPartyUpdate end error \n", OTHER_ERROR);
    }
    const int closure = CheckACK(handle, 60000);
    ClosePort(handle);
    if (closure != 0) {
        platform::debugOutput("ThirdPartyUpdate end ACK Error \n");
        return closure;
    }
    platform::debugOutput("ThirdPartyUpdate ClosePort \n");
    notes.notifyGated("\nUpdate package transfer successful\n");
    return 0;
}

}  // namespace talvex

extern "C" {

// The two integers are accepted for the callers' sake and have no effect.
TALVEX_API int ThirdPartyUpdate_(unsigned char* package, unsigned long length, int /*unused1*/,
                                 unsigned char port, int /*unused2*/, ProgressCallback progress) {
    return talvex::sendUpdatePackage(package, length, port, progress);
}

}  // extern "C"
