#pragma once

// The application download shared by ApplicationDL_ and ApplicationDL_Lent_:
// the image goes on the line as it is, in fixed blocks, with the reader's
// acknowledgements after 256 and 512 bytes, after every further 64 KB and at
// the end, then the reader checks the signature and installs the image.

#include <cstdint>

#include "talvex.h"

namespace talvex {

struct ApplicationPacing {
    std::uint32_t blockSize;         // bytes per write
    std::uint32_t pauseMs;           // pause before every `pauseEveryBlocks`-th block, 0 for none
    std::uint32_t pauseEveryBlocks;  // counted from the first block
    std::uint32_t earlyAck1;         // blocks after which the reader acknowledges early
    std::uint32_t earlyAck2;
    std::uint32_t blocksPer64K;  // blocks between two 64 KB acknowledgements
    std::uint32_t signatureWaitMs;
};

inline constexpr ApplicationPacing kApplicationFast{128, 0, 0, 2, 4, 512, 180000};
inline constexpr ApplicationPacing kApplicationSlow{64, 1, 16, 4, 8, 1024, 60000};

int downloadApplication(const ApplicationPacing& pacing, const unsigned char* image,
                        unsigned long length, unsigned char port, int checkHeader,
                        ProgressCallback progress);

}  // namespace talvex
