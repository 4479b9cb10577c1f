#pragma once

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/AppLog.h"

namespace pagemate::testing {

// A fresh directory under $TMPDIR, removed with everything in it at the end.
class TempDir {
  public:
    TempDir() {
        std::string pattern = std::filesystem::temp_directory_path() / "pagemate-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// The file's bytes; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

// Runs a shell command; its standard output, and its exit status in `status` (-1 when it
// did not exit).
inline std::string runShell(const std::string& command, int* status = nullptr) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    std::array<char, 4096> chunk{};
    for (std::size_t got = 0;
         pipe != nullptr && (got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;) {
        output.append(chunk.data(), got);
    }
    const int result = pipe == nullptr ? -1 : ::pclose(pipe);
    if (status != nullptr) {
        *status = result != -1 && WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    }
    return output;
}

// Sends the program's log to a private file while it lives.
class LogCapture {
  public:
    [[nodiscard]] std::string text() const { return readFile(writer_.path()); }
    // The messages logged, without their time stamps ("[HH:mm:ss.SSS] ", 15 bytes).
    [[nodiscard]] std::vector<std::string> messages() const {
        std::vector<std::string> result;
        std::istringstream lines(text());
        for (std::string line; std::getline(lines, line);) {
            result.push_back(line.size() >= 15 && line[0] == '[' ? line.substr(15) : line);
        }
        return result;
    }
    [[nodiscard]] bool contains(const std::string& message) const {
        return std::ranges::count(messages(), message) > 0;
    }

  private:
    TempDir directory_;
    LogWriter writer_{directory_.path() / "log", &std::chrono::system_clock::now, -1};
    AppLog::ScopedRedirect redirect_{writer_};
};

// Sets an environment variable (unsets it for a null value) for the scope, and puts the
// previous state back after.
class ScopedEnvironment {
  public:
    ScopedEnvironment(std::string name, const char* value) : name_(std::move(name)) {
        if (const char* previous = std::getenv(name_.c_str())) {
            previous_ = previous;
        }
        set(value);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment() { set(previous_ ? previous_->c_str() : nullptr); }

  private:
    void set(const char* value) const {
        value != nullptr ? ::setenv(name_.c_str(), value, 1) : ::unsetenv(name_.c_str());
    }

    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace pagemate::testing
