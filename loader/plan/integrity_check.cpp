#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "app/messages.h"
#include "plan/load_plan.h"
#include "plan/plan_crc.h"

namespace {

constexpr std::size_t kSpareBytes = 50;

// The file opened for reading and writing with no sharing: an exclusive lock
// that nobody else holds, and the owner's write permission (checked by hand,
// since root may write anything).
class ExclusiveFile {
  public:
    explicit ExclusiveFile(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)) {
        struct stat info;
        if (fd_ >= 0 && (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) ||
                         (info.st_mode & S_IWUSR) == 0 || ::flock(fd_, LOCK_EX | LOCK_NB) != 0)) {
            ::close(fd_);
            fd_ = -1;
        }
        if (fd_ >= 0) size_ = static_cast<std::uint32_t>(info.st_size);  // the low 32 bits
    }
    ~ExclusiveFile() {
        if (fd_ >= 0) ::close(fd_);  // releases the lock
    }
    ExclusiveFile(const ExclusiveFile&) = delete;
    ExclusiveFile& operator=(const ExclusiveFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    std::uint32_t size() const { return size_; }

    // Reads the first `size` bytes; false when fewer come.
    bool readAll(unsigned char* buffer, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            ssize_t got = ::pread(fd_, buffer + done, size - done, static_cast<off_t>(done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

  private:
    int fd_;
    std::uint32_t size_ = 0;
};

std::string checkIntegrity(const std::string& path) {
    ExclusiveFile file(path);
    if (!file.isOpen()) return "Erreur lecture du répertoire courant\n";

    const std::size_t size = file.size();
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size + kSpareBytes]);
    if (!buffer) return "Erreur d'allocation mémoire\n";
    std::memset(buffer.get() + size, 0, kSpareBytes);
    if (!file.readAll(buffer.get(), size)) return "Erreur lors de la lecture du fichier .ini\n";

    // The spare zeros end the search and hold the check value of a file that
    // ends just after the marker.
    std::string_view whole(reinterpret_cast<const char*>(buffer.get()), size + kSpareBytes);
    std::optional<std::size_t> at = FindCheckValue(whole);
    if (!at) return "Impossible de trouver le champ HALVOR_OPTIONS\ndans le fichier .ini\n";

    unsigned char* stored = buffer.get() + *at;
    char saved[kCheckValueSize];
    std::memcpy(saved, stored, kCheckValueSize);
    std::memcpy(stored, kCheckValuePlaceholder.data(), kCheckValueSize);
    std::string expected = PlanCheckValue(PlanCrc16(buffer.get(), size));
    if (std::memcmp(saved, expected.data(), kCheckValueSize) != 0) return "CRC Invalide.\n";
    return "";
}

}  // namespace

std::string CVorlanePlan::isIniFileCorrect(const std::string& path) {
    std::string result;
    // An unexpected failure is shown at once and refuses the plan, never
    // accepts it. The box that then ends the program says in French that the
    // plan could not be read, rather than repeating the first box.
    if (!RunGuardedStep("Unknown Error in isIniFileCorrect",
                        [&] { result = checkIntegrity(path); }))
        result = "Erreur lors de la lecture du fichier .ini\n";
    return result;
}
