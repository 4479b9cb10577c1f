#pragma once

#include <string_view>
#include <utility>

namespace pagemate {

// An owned POSIX file descriptor, closed when it goes.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
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
    void closeIfOpen();
    int fd_;
};

// Writes all of `bytes`, retrying after signals and short writes. False on an error.
bool writeAll(int fd, std::string_view bytes);

}  // namespace pagemate
