#include "meeting/MeetingRecorder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

#include "base/AppLog.h"
#include "meeting/MeetingMix.h"
#include "meeting/RecordingFiles.h"
#include "platform/Platform.h"
#include "platform/ThreadSerialQueue.h"
#include "support/FileDescriptor.h"

namespace pagemate {

namespace fs = std::filesystem;

struct MeetingRecorder::State {
    // Set by start() before the queue sees a write; cleared by finish() and the
    // destructor. Read by append() on the capture threads.
    std::atomic<bool> running{false};

    // The recorder's queue owns these while recording.
    FileDescriptor mic;
    FileDescriptor system;
    bool closed = false;  // the close task has run: later writes are dropped
    std::int64_t micFrames = 0;
    std::int64_t systemFrames = 0;

    // Written by start() on the main thread, read by the finisher once it runs.
    std::string stamp;
    fs::path directory;
    FileDescriptor lock;  // held until the folder is gone
};

namespace {

constexpr const char* kQueueName = "pagemate-recorder";
constexpr const char* kFinisherName = "pagemate-mixdown";

std::string errorText(int number, const fs::path& path) {
    return std::generic_category().message(number) + "（" + path.string() + "）";
}

// A fresh folder under the temporary directory, named by the stamp; when two
// recorders start within the same second the later one gets "-2", "-3", ...
std::optional<fs::path> makeFolder(const std::string& stamp, std::string& error) {
    std::error_code created;
    fs::create_directories(RecordingFiles::temporaryDirectory(), created);
    constexpr int kAttempts = 100;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        fs::path folder = RecordingFiles::meetingTemporaryFolder(stamp);
        if (attempt > 1) {
            folder += "-" + std::to_string(attempt);
        }
        if (::mkdir(folder.c_str(), 0700) == 0) {
            return folder;
        }
        if (errno != EEXIST) {
            error = errorText(errno, folder);
            return std::nullopt;
        }
    }
    error = errorText(EEXIST, RecordingFiles::meetingTemporaryFolder(stamp));
    return std::nullopt;
}

FileDescriptor openNew(const fs::path& path, int flags) {
    return FileDescriptor(::open(path.c_str(), flags | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
}

// Removes the folder, then lets go of its lock: until the folder is gone no other
// process may take it for an interrupted meeting.
void removeFolder(MeetingRecorder::State& state) {
    if (!state.directory.empty()) {
        std::error_code ignored;
        fs::remove_all(state.directory, ignored);
        state.directory.clear();
    }
    state.lock = FileDescriptor();
}

std::string secondsText(std::int64_t frames) {
    std::array<char, 32> text{};
    static_cast<void>(std::snprintf(text.data(), text.size(), "%.0f",
                                    static_cast<double>(frames) / RecordingFiles::sampleRate));
    return text.data();
}

}  // namespace

MeetingRecorder::MeetingRecorder() : MeetingRecorder(std::chrono::system_clock::now()) {}

MeetingRecorder::MeetingRecorder(std::chrono::system_clock::time_point startedAt)
    : startedAt_(startedAt),
      state_(std::make_shared<State>()),
      queue_(Platform::current().serialQueues->make(kQueueName)) {}

MeetingRecorder::~MeetingRecorder() {
    state_->running = false;
    if (finisher_.joinable()) {
        finisher_.join();
    }
    // The queue goes next (the members' order): what it still holds is written, and
    // the lock is let go with the state, leaving the folder to the next recovery.
}

fs::path MeetingRecorder::outputDirectory() {
    return RecordingFiles::outputDirectory();
}

bool MeetingRecorder::isRunning() const {
    return state_->running;
}

std::shared_ptr<MeetingRecorder> MeetingRecorder::startedNow() {
    auto recorder = std::make_shared<MeetingRecorder>();
    recorder->start();
    return recorder->isRunning() ? recorder : nullptr;
}

void MeetingRecorder::start() {
    if (state_->running || finisher_.joinable()) {
        return;  // running, or over: a recorder serves one meeting
    }
    State& state = *state_;
    state.stamp = RecordingFiles::timeStamp(startedAt_);
    std::string error;
    const std::optional<fs::path> folder = makeFolder(state.stamp, error);
    if (folder) {
        state.directory = *folder;
        const fs::path lockPath = *folder / RecordingFiles::lockFileName;
        state.lock = openNew(lockPath, O_RDWR);
        if (!state.lock.valid() || ::flock(state.lock.get(), LOCK_EX | LOCK_NB) != 0) {
            error = errorText(errno, lockPath);
        } else {
            const fs::path micPath = *folder / RecordingFiles::micFileName;
            const fs::path systemPath = *folder / RecordingFiles::systemFileName;
            state.mic = openNew(micPath, O_WRONLY | O_TRUNC | O_APPEND);
            if (!state.mic.valid()) {
                error = errorText(errno, micPath);
            } else {
                state.system = openNew(systemPath, O_WRONLY | O_TRUNC | O_APPEND);
                if (!state.system.valid()) {
                    error = errorText(errno, systemPath);
                }
            }
        }
    }
    if (!error.empty()) {
        AppLog::write("会议录音：无法开始 —— " + error);
        state.mic = FileDescriptor();
        state.system = FileDescriptor();
        removeFolder(state);
        return;
    }
    state.running = true;
    AppLog::write("会议录音：已开始（原始音频写在 " + state.directory.string() + "）");
}

void MeetingRecorder::append(CaptureSource source, const AudioBlock& block) {
    if (!state_->running) {
        return;
    }
    const std::span<const float> samples = block.floats(0);
    if (samples.empty() || block.frameLength() == 0) {
        return;
    }
    std::string bytes;
    const std::uint32_t channels = block.format().interleaved ? block.format().channels : 1;
    if (channels > 1) {
        // The first channel of interleaved frames.
        std::vector<float> first(block.frameLength());
        for (std::size_t frame = 0; frame < first.size(); ++frame) {
            first[frame] = samples[frame * channels];
        }
        bytes = RecordingFiles::toStoredBytes(first);
    } else {
        bytes = RecordingFiles::toStoredBytes(samples);
    }
    queue_->post([state = state_, bytes = std::move(bytes), source,
                  frames = static_cast<std::int64_t>(block.frameLength())] {
        if (state->closed) {
            return;  // passed the check just as finish() began
        }
        const bool mic = source == CaptureSource::microphone;
        const FileDescriptor& file = mic ? state->mic : state->system;
        if (file.valid()) {
            (void)writeAll(file.get(), bytes);  // write failures are not detected
        }
        (mic ? state->micFrames : state->systemFrames) += frames;
    });
}

void MeetingRecorder::finish(Completion completion) {
    Platform& platform = Platform::current();
    MainQueue& main = *platform.mainQueue;
    if (!state_->running) {
        main.post([completion = std::move(completion)] { completion(std::nullopt); });
        return;
    }
    state_->running = false;
    // Behind every write already queued: once it has run, all accepted blocks are on disk.
    queue_->post([state = state_] {
        state->closed = true;
        state->mic = FileDescriptor();
        state->system = FileDescriptor();
    });
    AudioCodecs& codecs = *platform.audioCodecs;
    finisher_ = std::thread([state = state_, queue = queue_.get(), &codecs, &main,
                             completion = std::move(completion)]() mutable {
        nameCurrentThread(kFinisherName);
        queue->waitForQueued();
        AppLog::write("会议录音：结束，麦克风 " + secondsText(state->micFrames) +
                      " 秒 / 系统声音 " + secondsText(state->systemFrames) + " 秒");
        std::optional<fs::path> saved =
            MeetingMix::save(codecs, state->directory / RecordingFiles::micFileName,
                             state->directory / RecordingFiles::systemFileName, state->micFrames,
                             state->systemFrames, state->stamp);
        if (saved) {
            AppLog::write("会议录音：已保存到 " + saved->string());
        }
        removeFolder(*state);
        main.post(
            [completion = std::move(completion), saved = std::move(saved)] { completion(saved); });
    });
}

void MeetingRecorder::discard() {
    if (!state_->running) {
        return;
    }
    state_->running = false;
    queue_->post([state = state_] {
        state->closed = true;
        state->mic = FileDescriptor();
        state->system = FileDescriptor();
    });
    removeFolder(*state_);
    AppLog::write("会议录音：会议没有开始，已丢弃");
}

std::unique_ptr<SerialQueue> MeetingRecorder::recoverInterruptedInBackground() {
    std::unique_ptr<SerialQueue> queue =
        Platform::current().serialQueues->make("pagemate-recovery");
    queue->post([] { (void)recoverInterrupted(); });
    return queue;
}

}  // namespace pagemate
