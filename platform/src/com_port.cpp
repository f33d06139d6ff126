#include <atomic>

#include "platform/com_port.h"

namespace platform {

namespace {
std::atomic<ComPortProvider*> g_provider{nullptr};

ComPortProvider& currentProvider() {
    ComPortProvider* provider = g_provider.load();
    return provider != nullptr ? *provider : termiosComPorts();
}
}  // namespace

std::unique_ptr<ComPort> openComPort(int comNumber, std::uint32_t& error) {
    return currentProvider().open(comNumber, error);
}

ComPortProvider* setComPortProvider(ComPortProvider* provider) {
    ComPortProvider* previous = g_provider.exchange(provider);
    return previous != nullptr ? previous : &termiosComPorts();
}

}  // namespace platform
