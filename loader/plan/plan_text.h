#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Text helpers of the load plan. Plan values are Windows-1252 bytes; they are
// kept as bytes and converted to UTF-8 only where they are shown.

// The longest leading decimal form of `text`, as atoi reads it: optional
// blanks, an optional sign, then digits up to the first other character; no
// digit gives 0. Values beyond the 32-bit range give INT32_MAX or INT32_MIN.
std::int32_t LeadingInt(const char* text);

// Every two-character sequence backslash, 'n' becomes one line feed.
std::string DecodeLineBreaks(std::string_view text);

// Copies `text` into a zero-terminated field of `fieldSize` bytes, cut to
// fieldSize - 1 bytes when longer.
void CopyToField(char* field, std::size_t fieldSize, std::string_view text);

template <std::size_t N>
void CopyToField(char (&field)[N], std::string_view text) {
    CopyToField(field, N, text);
}

// Windows-1252 bytes as UTF-8 text.
std::string Cp1252ToUtf8(std::string_view text);

// The Unicode code point of one Windows-1252 byte (the five unassigned bytes
// map to the control code points of the same value).
char32_t Cp1252CodePoint(unsigned char byte);
