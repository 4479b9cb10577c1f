#pragma once

// What every fuzz target shares: reading the fuzzer's bytes as a few choices followed by
// text, and a log of the program's own that goes to a scratch file emptied after every
// input, so that millions of inputs neither fill a disk nor touch /tmp/pagemate-app.log.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/AppLog.h"

namespace pagemate::fuzz {

// The input, front to back: single bytes for choices, then text.
class ByteReader {
  public:
    ByteReader(const std::uint8_t* data, std::size_t size)
        : text_(reinterpret_cast<const char*>(data), size) {}

    // The next byte; 0 once the input is used up.
    std::uint8_t byte() {
        if (text_.empty()) {
            return 0;
        }
        const auto value = static_cast<std::uint8_t>(text_.front());
        text_.remove_prefix(1);
        return value;
    }
    // Up to the next new line (taken off), or the rest.
    std::string_view line() {
        const std::size_t end = text_.find('\n');
        const std::string_view found = text_.substr(0, end);
        text_.remove_prefix(end == std::string_view::npos ? text_.size() : end + 1);
        return found;
    }
    // Up to the next NUL byte (taken off), or the rest.
    std::string_view field() {
        const std::size_t end = text_.find('\0');
        const std::string_view found = text_.substr(0, end);
        text_.remove_prefix(end == std::string_view::npos ? text_.size() : end + 1);
        return found;
    }
    [[nodiscard]] std::string_view rest() const { return text_; }
    [[nodiscard]] bool empty() const { return text_.empty(); }

  private:
    std::string_view text_;
};

// A scratch folder for the whole run (the log, the program's data folders), removed at
// exit. The program's environment points into it.
class Scratch {
  public:
    Scratch() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base == '/' ? base : "/tmp") + "/pagemate-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = pattern;
        ::setenv("XDG_DATA_HOME", (path_ / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (path_ / "config").c_str(), 1);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

class QuietLog {
  public:
    explicit QuietLog(const std::filesystem::path& folder)
        : writer_(folder / "log", &std::chrono::system_clock::now, -1), redirect_(writer_) {}
    // Empties the log file: called after every input.
    void clear() {
        std::error_code ignored;
        std::filesystem::resize_file(writer_.path(), 0, ignored);
    }

  private:
    LogWriter writer_;
    AppLog::ScopedRedirect redirect_;
};

// The process-wide scratch folder and log of a fuzz target.
inline QuietLog& quietLog() {
    static Scratch scratch;
    static QuietLog log(scratch.path());
    return log;
}

}  // namespace pagemate::fuzz
