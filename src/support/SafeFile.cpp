#include "support/SafeFile.h"

#include "support/FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
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

std::filesystem::path pathForThisUser(const std::filesystem::path& fixed) {
    struct stat info {};
    const uid_t self = ::geteuid();
    if (::lstat(fixed.c_str(), &info) != 0 || info.st_uid == self) {
        return fixed;
    }
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
        struct stat folder {};
        if (::lstat(runtime, &folder) == 0 && S_ISDIR(folder.st_mode) && folder.st_uid == self) {
            return std::filesystem::path(runtime) / fixed.filename();
        }
    }
    return fixed.parent_path() /
           (fixed.stem().string() + "-" + std::to_string(self) + fixed.extension().string());
}

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
