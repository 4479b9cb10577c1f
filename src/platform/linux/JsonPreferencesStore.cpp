#include "platform/linux/JsonPreferencesStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <system_error>

#include "platform/PlatformNotice.h"
#include "platform/PreferencesFile.h"
#include "support/FileDescriptor.h"

namespace pagemate::linux_backend {

namespace {

enum class ReadResult { missing, read, unreadable };

ReadResult readWholeFile(const std::filesystem::path& file, std::string& contents,
                         PreferencesFileUnusable& problem) {
    const FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) {
        if (errno == ENOENT) {
            return ReadResult::missing;
        }
        problem.detail = std::generic_category().message(errno);
        return ReadResult::unreadable;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        problem.why = PreferencesFileUnusable::Why::notRegularFile;
        return ReadResult::unreadable;
    }
    std::array<char, 8192> buffer{};
    for (;;) {
        const ssize_t count = ::read(fd.get(), buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            problem.detail = std::generic_category().message(errno);
            return ReadResult::unreadable;
        }
        if (count == 0) {
            return ReadResult::read;
        }
        contents.append(buffer.data(), static_cast<std::size_t>(count));
    }
}

std::string timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::localtime_r(&now, &parts);
    std::array<char, 32> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y%m%d-%H%M%S", &parts);
    return {text.data(), length};
}

}  // namespace

JsonPreferencesStore::JsonPreferencesStore(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path JsonPreferencesStore::defaultPath() {
    std::filesystem::path base;
    // Relative values are to be ignored, as the XDG base directory rules say.
    if (const char* config = std::getenv("XDG_CONFIG_HOME");
        config != nullptr && config[0] == '/') {
        base = config;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        base = std::filesystem::path(home) / ".config";
    } else {
        base = "/tmp";
    }
    return base / "pagemate" / "preferences.json";
}

void JsonPreferencesStore::loadOnce() const {
    if (loaded_) {
        return;
    }
    loaded_ = true;
    std::string contents;
    PreferencesFileUnusable problem;
    problem.file = file_.string();
    const ReadResult result = readWholeFile(file_, contents, problem);
    if (result == ReadResult::missing) {
        return;
    }
    if (result == ReadResult::read) {
        auto parsed = PreferencesFile::parse(contents);
        if (auto* object = std::get_if<nlohmann::json>(&parsed)) {
            values_ = std::move(*object);
            return;
        }
        problem.why = std::get<PreferencesFileUnusable::Why>(parsed);
    }
    // Keep the damaged file for the user instead of overwriting it at the next change.
    std::filesystem::path aside = file_;
    aside += ".corrupt-" + timestamp();
    std::error_code error;
    std::filesystem::rename(file_, aside, error);
    if (error) {
        readOnly_ = true;
        problem.moveError = error.message();
    } else {
        problem.movedTo = aside.string();
    }
    reportPlatformNotice(problem);
}

std::optional<PreferenceValue> JsonPreferencesStore::value(std::string_view key) const {
    const std::lock_guard lock(mutex_);
    loadOnce();
    const auto found = values_.find(key);
    if (found == values_.end()) {
        return std::nullopt;
    }
    return PreferencesFile::valueOf(*found);
}

void JsonPreferencesStore::setValue(std::string_view key, PreferenceValue value) {
    const std::lock_guard lock(mutex_);
    loadOnce();
    std::optional<nlohmann::json> stored = PreferencesFile::jsonOf(value);
    if (!stored) {
        return;  // nothing usable to store
    }
    values_[std::string(key)] = std::move(*stored);
    save();
}

void JsonPreferencesStore::removeValue(std::string_view key) {
    const std::lock_guard lock(mutex_);
    loadOnce();
    if (values_.erase(std::string(key)) > 0) {
        save();
    }
}

void JsonPreferencesStore::save() {
    if (readOnly_) {
        return;
    }
    std::string whyNot;
    const std::optional<std::string> serialized = PreferencesFile::serialize(values_, &whyNot);
    if (!serialized) {
        // Only text that is not UTF-8 gets here; the previous file stays as it was.
        reportPlatformNotice(PreferencesNotSaved{"", whyNot});
        return;
    }
    const std::filesystem::path directory = file_.parent_path();
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    std::filesystem::path temporary = file_;
    temporary += ".tmp-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    bool written = false;
    {
        const FileDescriptor fd(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        written = fd.get() >= 0 && writeAll(fd.get(), *serialized) && ::fsync(fd.get()) == 0;
    }
    if (!written || ::rename(temporary.c_str(), file_.c_str()) != 0) {
        const std::string reason = std::generic_category().message(errno);
        ::unlink(temporary.c_str());
        reportPlatformNotice(PreferencesNotSaved{file_.string(), reason});
        return;
    }
    // The rename itself must reach the disk before the change counts as made.
    const FileDescriptor directoryFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directoryFd.get() >= 0) {
        ::fsync(directoryFd.get());
    }
}

}  // namespace pagemate::linux_backend
