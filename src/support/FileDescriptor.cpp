#include "support/FileDescriptor.h"

#include <unistd.h>

#include <cerrno>

namespace pagemate {

void FileDescriptor::closeIfOpen() {
    if (fd_ >= 0) {
        ::close(fd_);  // a failed close loses nothing we could still save
        fd_ = -1;
    }
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace pagemate
