// The recovery of meetings whose process ended without finishing them (killed, crashed,
// the machine switched off): their raw files are still in the temporary directory.

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <system_error>

#include "base/AppLog.h"
#include "meeting/MeetingMix.h"
#include "meeting/MeetingRecorder.h"
#include "meeting/RecordingFiles.h"
#include "platform/Platform.h"
#include "support/FileDescriptor.h"

namespace pagemate {

namespace fs = std::filesystem;

namespace {

// "yyyy-MM-dd HH-mm-ss"
constexpr std::size_t kStampLength = 19;

std::int64_t framesIn(const fs::path& file) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    return error ? 0 : static_cast<std::int64_t>(size / 2);
}

std::vector<fs::path> meetingFolders() {
    std::vector<fs::path> folders;
    std::error_code error;
    for (fs::directory_iterator entry(RecordingFiles::temporaryDirectory(), error), end;
         !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        std::error_code kind;
        if (name.starts_with(RecordingFiles::temporaryPrefix) &&
            name.size() >= RecordingFiles::temporaryPrefix.size() + kStampLength &&
            entry->is_directory(kind) && !entry->is_symlink(kind)) {
            folders.push_back(entry->path());
        }
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

}  // namespace

std::vector<fs::path> MeetingRecorder::recoverInterrupted() {
    std::vector<fs::path> saved;
    for (const fs::path& folder : meetingFolders()) {
        // A folder without its lock file is one being made right now (or not ours).
        const FileDescriptor lock(::open((folder / RecordingFiles::lockFileName).c_str(),
                                         O_RDWR | O_CLOEXEC | O_NOFOLLOW));
        if (!lock.valid() || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
            continue;  // still recording, in this process or another
        }
        const std::string stamp =
            folder.filename().string().substr(RecordingFiles::temporaryPrefix.size(), kStampLength);
        const fs::path mic = folder / RecordingFiles::micFileName;
        const fs::path system = folder / RecordingFiles::systemFileName;
        const std::optional<fs::path> file = MeetingMix::save(
            *Platform::current().audioCodecs, mic, system, framesIn(mic), framesIn(system), stamp);
        if (file) {
            AppLog::write("会议录音：已恢复上次中断的录音 → " + file->string());
            saved.push_back(*file);
        }
        // Removed while the lock is still held, so nobody else takes it meanwhile.
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    return saved;
}

}  // namespace pagemate
