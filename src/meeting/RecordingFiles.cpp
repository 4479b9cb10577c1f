#include "meeting/RecordingFiles.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <system_error>

#include "support/FileDescriptor.h"

namespace pagemate::RecordingFiles {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> environmentPath(const char* name) {
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read only
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return fs::path(value);
}

fs::path homeDirectory() {
    if (auto home = environmentPath("HOME")) {
        return *home;
    }
    std::array<char, 4096> buffer{};
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return temporaryDirectory();
}

// Creates the folder with its parents and writes a one-byte test file into it.
bool writable(const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder, error)) {
        return false;
    }
    const fs::path probe = folder / ".write-test";
    {
        const FileDescriptor file(
            ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!file.valid() || !writeAll(file.get(), std::string_view("\0", 1))) {
            return false;
        }
    }
    fs::remove(probe, error);  // an error here does not matter
    return true;
}

}  // namespace

std::string timeStamp(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    std::array<char, 32> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%d %H-%M-%S", &local);
    return {text.data(), length};
}

fs::path temporaryDirectory() {
    return environmentPath("TMPDIR").value_or("/tmp");
}

fs::path meetingTemporaryFolder(std::string_view stamp) {
    return temporaryDirectory() / (std::string(temporaryPrefix) + std::string(stamp));
}

fs::path outputDirectory() {
    fs::path data;
    if (auto configured = environmentPath("XDG_DATA_HOME");
        configured && configured->is_absolute()) {
        data = *configured;
    } else {
        data = homeDirectory() / ".local" / "share";
    }
    return data / "Pagemate 助手" / "会议录音";
}

fs::path writableOutputDirectory() {
    for (const fs::path& candidate : {outputDirectory(), homeDirectory() / "Pagemate 会议录音",
                                      temporaryDirectory() / "Pagemate 会议录音"}) {
        if (writable(candidate)) {
            return candidate;
        }
    }
    return temporaryDirectory();
}

std::string recordingFileName(std::string_view stamp, int copy) {
    std::string name = "会议录音 " + std::string(stamp);
    if (copy > 1) {
        name += " (" + std::to_string(copy) + ")";
    }
    return name + ".m4a";
}

std::optional<fs::path> reserveRecordingFile(const fs::path& folder, std::string_view stamp) {
    // Far more than two meetings can start within one second.
    constexpr int kCopies = 1000;
    for (int copy = 1; copy <= kCopies; ++copy) {
        fs::path candidate = folder / recordingFileName(stamp, copy);
        const FileDescriptor file(
            ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (file.valid()) {
            return candidate;
        }
        if (errno != EEXIST) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::int16_t toStoredSample(float sample) {
    if (std::isnan(sample)) {
        return 0;
    }
    if (sample > 1.0F) {
        return 32767;
    }
    return static_cast<std::int16_t>(std::max(sample, -1.0F) * 32767.0F);
}

std::string toStoredBytes(std::span<const float> samples) {
    std::string bytes(samples.size() * 2, '\0');
    for (std::size_t index = 0; index < samples.size(); ++index) {
        const auto value = static_cast<std::uint16_t>(toStoredSample(samples[index]));
        bytes[2 * index] = static_cast<char>(value & 0xFFU);
        bytes[(2 * index) + 1] = static_cast<char>(value >> 8U);
    }
    return bytes;
}

}  // namespace pagemate::RecordingFiles
