#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "commands.h"
#include "plan/plan_crc.h"

namespace {

int refuse(const std::string& file, const std::string& why) {
    std::fprintf(stderr, "vorlane-plan: %s: %s; the plan was not changed.\n", file.c_str(),
                 why.c_str());
    return kExitRefused;
}

// Writes `bytes` to a temporary file beside `file`, with `file`'s owner (when
// allowed) and permissions, and renames it over `file`. On failure `file` is
// untouched.
bool replaceFile(const std::string& file, const std::string& bytes, const struct stat& info,
                 std::string& error) {
    std::string temporary = file + ".XXXXXX";
    int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        error = std::string("cannot create a temporary file beside it: ") + std::strerror(errno);
        return false;
    }
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<std::size_t>(n);
    }
    if (ok) {
        // Only root may give the file to another user: otherwise keep at least
        // the group when allowed; failing both, the file stays ours.
        const bool sameOwner = ::fchown(fd, info.st_uid, info.st_gid) == 0 ||
                               ::fchown(fd, static_cast<uid_t>(-1), info.st_gid) == 0;
        (void)sameOwner;
        ok = ::fchmod(fd, info.st_mode & 07777) == 0 && ::fsync(fd) == 0;
    }
    if (!ok) error = std::string("cannot write the temporary file: ") + std::strerror(errno);
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = std::string("cannot write the temporary file: ") + std::strerror(errno);
    }
    if (ok && ::rename(temporary.c_str(), file.c_str()) != 0) {
        ok = false;
        error = std::string("cannot replace the plan: ") + std::strerror(errno);
    }
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

}  // namespace

int SignPlan(const std::string& file) {
    // A plan reached through a symbolic link is replaced where it lies, so the
    // link stays a link.
    char* resolved = ::realpath(file.c_str(), nullptr);
    if (resolved == nullptr) return refuse(file, std::strerror(errno));
    const std::string target = resolved;
    std::free(resolved);

    struct stat info;
    if (::stat(target.c_str(), &info) != 0) return refuse(file, std::strerror(errno));
    if (!S_ISREG(info.st_mode)) return refuse(file, "not a regular file");
    if ((info.st_mode & S_IWUSR) == 0)
        return refuse(file,
                      "it is read-only, and the loader refuses a read-only plan; give its owner "
                      "the write permission first");
    std::ifstream in(target, std::ios::binary);
    if (!in) return refuse(file, std::string("cannot read it: ") + std::strerror(errno));
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return refuse(file, "cannot read it");

    std::optional<std::size_t> at = FindCheckValue(bytes);
    if (!at)
        return refuse(file,
                      "no check value marker (the section header [HALVOR_OPTIONS], carriage "
                      "return, line feed and CheckValue=, nothing between them)");
    if (*at + kCheckValueSize > bytes.size())
        return refuse(file, "the file ends before the 8 characters that follow CheckValue=");

    bytes.replace(*at, kCheckValueSize, kCheckValuePlaceholder);
    std::string value = PlanCheckValue(
        PlanCrc16(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
    bytes.replace(*at, kCheckValueSize, value);

    std::string error;
    if (!replaceFile(target, bytes, info, error)) return refuse(file, error);
    std::printf("%s: check value %s\n", file.c_str(), value.c_str());
    return kExitAccepted;
}
