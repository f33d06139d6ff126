#include "platform/com_port.h"

namespace platform {

namespace {
// Temporary: refuses every open until the termios port lands.
class TermiosComPorts final : public ComPortProvider {
public:
    std::unique_ptr<ComPort> open(int, std::uint32_t& error) override {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
};
}  // namespace

ComPortProvider& termiosComPorts() {
    static TermiosComPorts provider;
    return provider;
}

}  // namespace platform
