#include "app/SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace pagemate::SafeFile {

namespace {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            closeIfOpen();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~FileDescriptor() { closeIfOpen(); }
    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }

  private:
    void closeIfOpen() {
        if (fd_ >= 0) {
            ::close(fd_);  // a failed close loses nothing we could still save
        }
    }
    int fd_;
};

constexpr int kOpenFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr mode_t kPrivateMode = 0600;

// A regular file of ours: never a device, a pipe or another user's file.
bool isOwnRegularFile(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid();
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
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
