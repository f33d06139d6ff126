// LoadBuffer_ and FreeBuffer_: a whole file read into a buffer that the
// library allocates and the caller hands back.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>

#include "talvex.h"

namespace {

// Reads until `size` bytes are in or the file ends; the count actually read.
std::uint64_t readUpTo(int fd, unsigned char* buffer, std::uint64_t size) {
    std::uint64_t total = 0;
    while (total < size) {
        ssize_t got = ::read(fd, buffer + total, size - total);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        total += static_cast<std::uint64_t>(got);
    }
    return total;
}

}  // namespace

extern "C" {

TALVEX_API int LoadBuffer_(char* path, unsigned char** buffer, unsigned long* length,
                           ProgressCallback /*progress*/) {
    if (path == nullptr) return FILE_ERROR;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FILE_ERROR;
    // A folder opens here but is no file to read: refused like a failed open.
    struct stat status {};
    if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        ::close(fd);
        return FILE_ERROR;
    }

    off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
        ::close(fd);
        *buffer = nullptr;
        return FILE_ERROR;
    }
    std::uint64_t size = static_cast<std::uint64_t>(end);
    *length = static_cast<unsigned long>(size);

    // An empty file still gets a valid (zero-length) allocation.
    unsigned char* data = new (std::nothrow) unsigned char[size];
    if (data == nullptr) {
        ::close(fd);
        *buffer = nullptr;
        return FILE_ERROR;
    }
    // A file that gives fewer bytes than its size announced would leave part
    // of the buffer uninitialised: refuse it instead of sending that.
    std::uint64_t got = readUpTo(fd, data, size);
    ::close(fd);
    if (got != size) {
        delete[] data;
        *buffer = nullptr;
        return FILE_ERROR;
    }
    *buffer = data;
    return TALVEX_OK;
}

TALVEX_API int FreeBuffer_(unsigned char* buffer) {
    delete[] buffer;
    return TALVEX_OK;
}

}  // extern "C"
