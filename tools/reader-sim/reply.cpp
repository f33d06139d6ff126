#include "reader_sim/reply.h"

#include <algorithm>

namespace readersim {

Reply Reply::bytes(std::vector<std::uint8_t> values) {
    Reply reply(Kind::Bytes);
    reply.bytes_ = std::move(values);
    return reply;
}

Reply Reply::partial(std::size_t keep) {
    Reply reply(Kind::Partial);
    reply.keep_ = keep;
    return reply;
}

Reply Reply::after(std::uint64_t ms) const {
    return afterUs(ms * 1000);
}

Reply Reply::afterUs(std::uint64_t us) const {
    Reply later = *this;
    later.delayUs_ += us;
    return later;
}

Reply Reply::splitAt(std::size_t at, std::uint64_t gapMs) const {
    Reply split = *this;
    split.splitAt_ = at;
    split.splitGapUs_ = gapMs * 1000;
    return split;
}

std::vector<std::uint8_t> Reply::resolve(const std::vector<std::uint8_t>& defaultBytes) const {
    switch (kind_) {
        case Kind::AsDefault:
            return defaultBytes;
        case Kind::Bytes:
            return bytes_;
        case Kind::Partial:
            return {defaultBytes.begin(),
                    defaultBytes.begin() +
                        static_cast<std::ptrdiff_t>(std::min(keep_, defaultBytes.size()))};
        case Kind::Silence:
        case Kind::Vanish:
            break;
    }
    return {};
}

}  // namespace readersim
