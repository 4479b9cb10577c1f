#include "base/AppLog.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <set>

#include "support/FileDescriptor.h"
#include "support/SafeFile.h"

namespace pagemate {

namespace {

std::string formatTime(std::chrono::system_clock::time_point when, const char* pattern, bool utc) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm parts{};
    if (utc) {
        ::gmtime_r(&seconds, &parts);
    } else {
        ::localtime_r(&seconds, &parts);
    }
    std::array<char, 64> buffer{};
    const std::size_t length = std::strftime(buffer.data(), buffer.size(), pattern, &parts);
    return {buffer.data(), length};
}

}  // namespace

LogWriter::LogWriter(std::filesystem::path path, WallClock clock, int echoFd)
    : path_(std::move(path)), clock_(std::move(clock)), echoFd_(echoFd) {}

std::string LogWriter::formatLine(std::chrono::system_clock::time_point when,
                                  std::string_view message) {
    using namespace std::chrono;
    // Floor, not truncation toward zero, so that times before 1970 stay consistent.
    const auto sinceEpoch = when.time_since_epoch();
    const auto wholeSeconds = floor<seconds>(sinceEpoch);
    const auto millis = duration_cast<milliseconds>(sinceEpoch - wholeSeconds).count();
    std::array<char, 8> millisText{};
    (void)std::snprintf(millisText.data(), millisText.size(), ".%03d", static_cast<int>(millis));

    std::string line = "[";
    line += formatTime(system_clock::time_point(wholeSeconds), "%H:%M:%S", false);
    line += millisText.data();
    line += "] ";
    line += message;
    line += '\n';
    return line;
}

std::string LogWriter::formatHeader(std::chrono::system_clock::time_point when,
                                    std::string_view reason) {
    std::string header = "=== ";
    header += reason;
    header += " \u00B7 ";
    header += formatTime(when, "%Y-%m-%d %H:%M:%S +0000", true);
    header += " ===\n";
    return header;
}

void LogWriter::write(std::string_view message) {
    const std::lock_guard lock(mutex_);
    const std::string line = formatLine(clock_(), message);
    writeAll(echoFd_, line);  // a closed error stream loses only its copy
    if (!path_.empty()) {
        SafeFile::append(path_, line);
    }
}

void LogWriter::reset(std::string_view reason) {
    const std::lock_guard lock(mutex_);
    if (!path_.empty()) {
        SafeFile::replaceContents(path_, formatHeader(clock_(), reason));
    }
}

namespace AppLog {

namespace {
LogWriter& standardWriter() {
    static LogWriter writer{fileFor(std::filesystem::path(path))};
    return writer;
}
std::atomic<LogWriter*> redirected{nullptr};

LogWriter& activeWriter() {
    LogWriter* writer = redirected.load(std::memory_order_acquire);
    return writer != nullptr ? *writer : standardWriter();
}
}  // namespace

void write(std::string_view message) {
    activeWriter().write(message);
}

void reset(std::string_view reason) {
    activeWriter().reset(reason);
}

std::filesystem::path currentPath() {
    return activeWriter().path();
}

void keepToStandardError() {
    static LogWriter echoOnly{std::filesystem::path()};
    redirected.store(&echoOnly, std::memory_order_release);
}

std::filesystem::path fileFor(const std::filesystem::path& fixed) {
    std::filesystem::path own = SafeFile::pathForThisUser(fixed);
    if (own != fixed) {
        static std::mutex mutex;
        static std::set<std::filesystem::path> told;
        const std::lock_guard lock(mutex);
        if (told.insert(fixed).second) {
            writeAll(2, "页伴：" + fixed.string() + " 是另一个用户的文件，本次改用 " +
                            own.string() + "\n");
        }
    }
    return own;
}

ScopedRedirect::ScopedRedirect(LogWriter& writer) {
    redirected.store(&writer, std::memory_order_release);
}

ScopedRedirect::~ScopedRedirect() {
    redirected.store(nullptr, std::memory_order_release);
}

}  // namespace AppLog
}  // namespace pagemate
