#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace pagemate {

// One log file plus its echo on an error stream. Lines are
// "[HH:mm:ss.SSS] message\n" in local time; the header written by reset() is
// "=== reason · yyyy-MM-dd HH:mm:ss +0000 ===\n" in UTC. One lock covers formatting,
// the echo and the append, so concurrent lines reach both copies whole and in the
// same order.
class LogWriter {
  public:
    using WallClock = std::function<std::chrono::system_clock::time_point()>;

    explicit LogWriter(std::filesystem::path path,
                       WallClock clock = &std::chrono::system_clock::now, int echoFd = 2);

    void write(std::string_view message);
    void reset(std::string_view reason);
    // The file; empty for a writer that only echoes.
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

    static std::string formatLine(std::chrono::system_clock::time_point when,
                                  std::string_view message);
    static std::string formatHeader(std::chrono::system_clock::time_point when,
                                    std::string_view reason);

  private:
    std::filesystem::path path_;
    WallClock clock_;
    int echoFd_;
    std::mutex mutex_;
};

// The program's one log, at a fixed path. Every area prefixes its messages with its
// own Chinese name and a full-width colon.
namespace AppLog {

inline constexpr std::string_view path = "/tmp/pagemate-app.log";

void write(std::string_view message);
// Starts a new file holding only the header; called once per process.
void reset(std::string_view reason);

// The file the lines go to: `path`, or this user's own when another user's file holds
// that name (fileFor); empty once they go to standard error only.
std::filesystem::path currentPath();

// From now on the lines go to standard error only, the file is left as it is: the log
// of a self-test run beside the running program, whose log it is.
void keepToStandardError();

// The file this process writes for one of the program's fixed names under /tmp (the
// log, the reports): the name itself, or, when a file of another user stands there,
// this user's own (SafeFile::pathForThisUser). The first time a name is moved, one line
// on standard error says where to.
std::filesystem::path fileFor(const std::filesystem::path& fixed);

// Sends the log to another writer while it lives (tests). Not nestable.
class ScopedRedirect {
  public:
    explicit ScopedRedirect(LogWriter& writer);
    ScopedRedirect(const ScopedRedirect&) = delete;
    ScopedRedirect& operator=(const ScopedRedirect&) = delete;
    ~ScopedRedirect();
};

}  // namespace AppLog
}  // namespace pagemate
