#include "plan/plan_crc.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::array<std::uint16_t, 256> makeTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t value = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? static_cast<std::uint16_t>((value >> 1) ^ 0x8408)
                                : static_cast<std::uint16_t>(value >> 1);
        table[i] = value;
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kTable = makeTable();
static_assert(kTable[1] == 0x1189);

}  // namespace

std::uint16_t PlanCrc16(const unsigned char* data, std::size_t size) {
    std::uint16_t crc = 0xA5BD;
    for (std::size_t i = 0; i < size; ++i)
        crc = static_cast<std::uint16_t>((crc >> 8) ^ kTable[(crc ^ data[i]) & 0xFF]);
    return static_cast<std::uint16_t>(crc ^ 0xFFFF);
}

std::string PlanCheckValue(std::uint16_t crc) {
    std::uint32_t value = (static_cast<std::uint32_t>(crc ^ 0x6A81) << 16) | (crc ^ 0xC194);
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return std::string(text, 8);
}

std::optional<std::size_t> FindCheckValue(std::string_view bytes) {
    std::size_t textEnd = bytes.find('\0');
    std::string_view text = bytes.substr(0, textEnd);
    std::size_t at = text.find(kCheckValueMarker);
    if (at == std::string_view::npos) return std::nullopt;
    return at + kCheckValueMarker.size();
}
