#include "support/SafeFile.h"

#include "support/FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace pagemate::SafeFile {

namespace {

constexpr int kOpenFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr mode_t kPrivateMode = 0600;

// A regular file of ours: never a device, a pipe or another user's file.
bool isOwnRegularFile(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid();
}

FileDescriptor openOwnFile(const std::filesystem::path& path, int extraFlags) {
    FileDescriptor fd(::open(path.c_str(), kOpenFlags | extraFlags));
    if (fd.valid() && !isOwnRegularFile(fd.get())) {
        return FileDescriptor(-1);
    }
    return fd;
}

}  // namespace

bool replaceContents(const std::filesystem::path& path, std::string_view bytes) {
    FileDescriptor fd = openOwnFile(path, 0);
    if (!fd.valid()) {
        // Whatever stands there (a link, someone else's file) goes; in a sticky
        // directory the system refuses that for foreign entries, and we give up.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return false;
        }
        fd = FileDescriptor(::open(path.c_str(), kOpenFlags | O_CREAT | O_EXCL, kPrivateMode));
        if (!fd.valid()) {
            return false;
        }
    }
    if (::ftruncate(fd.get(), 0) != 0) {
        return false;
    }
    ::fchmod(fd.get(), kPrivateMode);
    return writeAll(fd.get(), bytes);
}

bool append(const std::filesystem::path& path, std::string_view bytes) {
    FileDescriptor fd = openOwnFile(path, O_APPEND);
    if (!fd.valid()) {
        return replaceContents(path, bytes);
    }
    return writeAll(fd.get(), bytes);
}

}  // namespace pagemate::SafeFile
