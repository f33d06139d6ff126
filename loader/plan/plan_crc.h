#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The plan's check value: the 8 bytes after the first marker, computed with
// the placeholder in their place.
inline constexpr std::string_view kCheckValueMarker = "[HALVOR_OPTIONS]\r\nCheckValue=";
inline constexpr std::string_view kCheckValuePlaceholder = "KWOLPEBU";
inline constexpr std::size_t kCheckValueSize = 8;

// CRC-16, reflected, polynomial 0x1021 (0x8408 reflected), initial value
// 0xA5BD, complemented at the end ("abc" gives 0x036C).
std::uint16_t PlanCrc16(const unsigned char* data, std::size_t size);

// The 8 lower-case hexadecimal digits of (crc ^ 0x6A81) << 16 | (crc ^ 0xC194).
std::string PlanCheckValue(std::uint16_t crc);

// Where the check value starts: just after the first marker, searching the
// bytes as a zero-terminated text (a zero byte ends the search).
std::optional<std::size_t> FindCheckValue(std::string_view bytes);
