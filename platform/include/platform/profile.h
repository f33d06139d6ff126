#pragma once

#include <cstdint>
#include <string>

#include "platform/export.h"

namespace platform {

// Private-profile (INI) files read with the Windows semantics:
// - section and key names match without regard to case (ASCII letters);
// - the first matching section, and in it the first matching key, wins;
// - blanks around names and values are dropped, and one pair of enclosing
//   quotation marks (double or single) is removed from a value;
// - lines end with CR LF or LF; lines starting with ';' are comments; a line
//   without '=' is a key with an empty value;
// - values are bytes, never converted (plans are Windows-1252 text);
// - a missing file, section or key gives the default value.

// Size of the value buffer the system reads with: at most 2047 bytes seen.
inline constexpr std::uint32_t kProfileBufferSize = 2048;

// GetPrivateProfileStringA: copies the value (or `defaultValue`, with its
// trailing blanks dropped; nullptr means empty) into `buffer`, cut to size - 1
// bytes and zero-terminated. Returns the number of bytes copied, without the
// terminating zero. A `size` of 0 copies nothing and returns 0. Both names
// must be given (a null one gives the default; listing is not supported).
PLATFORM_API std::uint32_t getPrivateProfileString(const char* section, const char* key,
                                                   const char* defaultValue, char* buffer,
                                                   std::uint32_t size, const std::string& path);

// GetPrivateProfileSectionNamesA: the section names in file order, each
// followed by a zero, the list closed by a second zero. Returns the number of
// bytes written without the final zero. When the names do not fit, the last
// one is cut, the buffer ends with two zeros and size - 2 is returned.
PLATFORM_API std::uint32_t getPrivateProfileSectionNames(char* buffer, std::uint32_t size,
                                                         const std::string& path);

// The value as a string, read through a buffer of `size` bytes.
PLATFORM_API std::string profileString(const char* section, const char* key,
                                       const std::string& path, const char* defaultValue = "",
                                       std::uint32_t size = kProfileBufferSize);

}  // namespace platform
