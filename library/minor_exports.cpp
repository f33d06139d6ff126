// The small exports that need no reader: the serial-number stub, the session
// pair and Param's assignment.

#include <cstring>

#include "talvex.h"

extern "C" {

TALVEX_API int GetSerialNumber_(unsigned char /*port*/, char* output) {
    static const char kSerialNumber[] = "0123456789";
    std::memcpy(output, kSerialNumber, sizeof kSerialNumber);
    return TALVEX_OK;
}

TALVEX_API int OpenSession_() {
    return TALVEX_OK;
}

TALVEX_API int CloseSession_() {
    return TALVEX_OK;
}

}  // extern "C"

Param& Param::operator=(const Param& other) {
    nValue1 = other.nValue1;
    nValue2 = other.nValue2;
    nValue3 = other.nValue3;
    nValue4 = other.nValue4;
    nValue5 = other.nValue5;
    return *this;
}
