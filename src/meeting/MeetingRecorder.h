#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "meeting/CaptureSource.h"
#include "platform/AudioBlock.h"
#include "platform/HttpClient.h"
#include "platform/SerialQueue.h"

namespace pagemate {

// Keeps the sound of one meeting. While it records, the microphone and the system
// sound go, as 16-bit raw files, into a fresh temporary folder (RecordingFiles), held
// by a lock for as long as this process records; at the end finish() mixes them into
// one ".m4a" file in the recordings folder and removes the temporary folder. A meeting
// whose process was killed is saved at the next start by recoverInterrupted().
//
// Threads: construct, start(), finish() and destroy on the main thread; append() on
// any thread (the capture's). The raw files are written on the recorder's own serial
// queue ("pagemate-recorder"); finish() waits for it, mixes and encodes on a worker
// thread of its own ("pagemate-mixdown") and posts its completion to the main queue.
// Destroying a recorder waits for a finish() under way; a recorder destroyed while it
// records leaves its folder to the next start's recovery.
class MeetingRecorder {
  public:
    using Completion = std::function<void(std::optional<std::filesystem::path>)>;
    struct UploadAnswer {
        std::string id;
        std::string filename;
        bool operator==(const UploadAnswer&) const = default;
    };
    using UploadCompletion = std::function<void(std::optional<UploadAnswer>)>;

    // Started now, or (tests) at the given moment, which names the files.
    MeetingRecorder();
    explicit MeetingRecorder(std::chrono::system_clock::time_point startedAt);
    MeetingRecorder(const MeetingRecorder&) = delete;
    MeetingRecorder& operator=(const MeetingRecorder&) = delete;
    ~MeetingRecorder();

    // The recordings folder; not created here.
    static std::filesystem::path outputDirectory();

    [[nodiscard]] bool isRunning() const;
    [[nodiscard]] std::chrono::system_clock::time_point startedAt() const { return startedAt_; }
    // Makes the temporary folder, its lock and the two raw files; on a failure the
    // recorder stays stopped, the log says why and nothing is left behind.
    void start();
    // A recorder made and started now, or none when its start failed (the log says why).
    static std::shared_ptr<MeetingRecorder> startedNow();
    // One captured block (32-bit float, 16 000 Hz, mono; the first channel is taken):
    // converted here, written on the recorder's queue. Ignored unless recording.
    void append(CaptureSource source, const AudioBlock& block);
    // Stops recording, waits for every block accepted so far to be written, mixes and
    // saves; the completion gets the saved file, or nothing (not recording, less than
    // a second, a failed mix). The temporary folder is removed in every case.
    void finish(Completion completion);

    // Gives up a recording whose meeting never began: stops recording, removes the
    // temporary folder and lets go of its lock at once (a small folder: cheap on the
    // main thread), and closes the raw files on the recorder's queue behind the writes
    // already queued, which then land in unlinked files. Nothing is saved and nothing
    // waits. A later finish() gets nothing.
    void discard();
    // Sends a saved recording to the service (POST /api/meeting/audio, the file's
    // bytes streamed from disk). Main thread; the completion runs on the main thread
    // with the service's file id and name, or nothing (every failure is logged).
    static void uploadAudio(const std::filesystem::path& file, UploadCompletion completion);
    // What the service answered to an upload of the file named `localName`: its file id
    // and name (the local one when it names none), or nothing; the log says which.
    static std::optional<UploadAnswer> uploadAnswer(const HttpResponse& response,
                                                    const std::string& localName);

    // Saves, like a finished meeting, every meeting folder under the temporary
    // directory whose recording process has gone (its lock is free), then removes the
    // folder; nothing is uploaded. Blocks for as long as the mixes take: call it off
    // the main thread. Returns the files saved.
    static std::vector<std::filesystem::path> recoverInterrupted();
    // Runs recoverInterrupted() on a serial queue of its own ("pagemate-recovery"),
    // which it returns: keep it while the program runs; destroying it waits for the
    // recovery to end.
    [[nodiscard]] static std::unique_ptr<SerialQueue> recoverInterruptedInBackground();

    struct State;

  private:
    std::chrono::system_clock::time_point startedAt_;
    std::shared_ptr<State> state_;
    std::thread finisher_;
    // Last: destroyed first, so that no write outlives the state it writes to.
    std::unique_ptr<SerialQueue> queue_;
};

}  // namespace pagemate
