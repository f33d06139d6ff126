#pragma once

// The exported interface of libtalvex.so, the download library. Each export
// performs one complete exchange with a reader on one COM port: it opens the
// port, runs its dialogue, closes the port and returns a status code.

#include <cstdint>

#define TALVEX_API __attribute__((visibility("default")))

// Status codes. 0 is success; UploadData_ and testMode_ return a negative
// byte count on success.
enum TalvexStatus : int {
    TALVEX_OK = 0,
    OPEN_COM_PORT = 1,
    COM_ERROR = 2,
    FILE_ERROR = 3,
    SIGNATURE_ERROR = 5,
    TIMEOUT_ERROR = 6,
    WRITE_ERROR = 7,
    NACK_ERROR = 8,
    IMAGE_ERROR = 10,
    DATA_SIZE_ERROR = 11,
    NULL_BUFFER = 12,
    OTHER_ERROR = 18,
};

// The record handed to the progress callback; valid only during the call.
struct ProgressInfo {
    std::uint32_t done;        // units done so far
    std::uint32_t remaining;   // units still to do (or a fixed total)
    std::uint32_t* threshold;  // gated notifications come only while done >= *threshold
    const char* text;          // the current phase text (static)
    std::uint32_t threadId;    // the thread that called the export
};

// Receives a pointer to a ProgressInfo.
typedef void (*ProgressCallback)(void* info);

// Five values with an exported assignment; nothing in the library uses them.
struct TALVEX_API Param {
    std::int32_t nValue1;
    std::int32_t nValue2;
    std::int32_t nValue3;
    std::int32_t nValue4;
    std::int32_t nValue5;
    Param& operator=(const Param& other);
};

extern "C" {

// Reads the whole file at `path` into a buffer the library allocates; give it
// back with FreeBuffer_. Returns 0 or FILE_ERROR (outputs untouched when the
// file cannot be opened).
TALVEX_API int LoadBuffer_(char* path, unsigned char** buffer, unsigned long* length,
                           ProgressCallback progress);
// Releases a buffer of LoadBuffer_ (null allowed); returns 0.
TALVEX_API int FreeBuffer_(unsigned char* buffer);

// Writes "0123456789" into `output` (11 bytes); no port is opened.
TALVEX_API int GetSerialNumber_(unsigned char port, char* output);
TALVEX_API int OpenSession_();
TALVEX_API int CloseSession_();

// Sends an application image and waits for the reader's signature check
// (blocks of 128 bytes; the _Lent_ variant paces 64-byte blocks). 0 or a status.
TALVEX_API int ApplicationDL_(unsigned char* image, unsigned long length, unsigned char port,
                              int checkHeader, ProgressCallback progress);
TALVEX_API int ApplicationDL_Lent_(unsigned char* image, unsigned long length, unsigned char port,
                                   int checkHeader, ProgressCallback progress);
// Reads the reader's file `fileId` into `buffer`: minus the bytes received, or a status.
TALVEX_API int UploadData_(unsigned char* buffer, char fileId, int bufferSize, unsigned char port,
                           ProgressCallback progress);
// Writes `length` bytes as the reader's file `fileId`. 0 or a status.
TALVEX_API int DownloadData_(unsigned char* data, int length, char fileId, unsigned char port);
// Test-mode request: status byte, 16-bit length and data into `output`;
// minus (3 + data length), or a status.
TALVEX_API int testMode_(char testCode, unsigned char* output, int outputSize, unsigned char port);
// Sends an update package in packets of 8 KB. 0, a status, or when the reader
// refuses, 0xFF000000 | its status byte (negative).
TALVEX_API int ThirdPartyUpdate_(unsigned char* package, unsigned long length, int unused1,
                                 unsigned char port, int unused2, ProgressCallback progress);

}  // extern "C"
