#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "meeting/MeetingRecorder.h"
#include "meeting/MeetingSegment.h"
#include "meeting/MeetingState.h"
#include "platform/SerialQueue.h"

namespace pagemate {

class AudioCapture;
class MeetingSession;

// One meeting from the user's "start" to the end of its upload: the capability checks,
// then the capture of the microphone and the system audio, each captured block going to
// the recorder (when the user keeps recordings) and to its transcription channel side
// by side; at the end the transcript's last results and the recording's save and
// upload run side by side, and the run is idle again. Every change is told through
// `events`; the run keeps no page and no window.
//
// Main thread only. Starting and stopping are chains of steps: every step that waits
// (the checks, the session's start and finish, the capture's blocking start and stop on
// the run's serial queue "pagemate-meeting", the recorder's finish, the upload) runs
// off the main thread and continues on the main queue, so a "start" or "stop" can
// arrive between the steps. The chains hold the run weakly: a run let go ends them.
class MeetingRun : public std::enable_shared_from_this<MeetingRun> {
  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    static constexpr std::string_view microphoneMessage =
        "需要「麦克风」权限才能录到你的声音：请确认声音服务器（PulseAudio 或 PipeWire）"
        "正在运行且有可用的输入设备，然后重新开始记录。";

    // What a meeting runs on: by default (standard()) the sound server's microphone and
    // system audio, a recorder when the user keeps recordings, and the upload to the
    // assistant service. A self-test gives its own: prepared sound played as a capture,
    // and what becomes of its recording instead of an upload.
    struct Parts {
        // The microphone permission (SoundServer::MicrophoneAccess); asked off the main
        // thread.
        std::function<int()> microphoneStatus;
        // The capture of one meeting, made at its start.
        std::function<std::shared_ptr<AudioCapture>()> capture;
        // A started recorder when the meeting is recorded, else none; at its start.
        std::function<std::shared_ptr<MeetingRecorder>()> recorder;
        // Transcribed (then the speech model is checked and needed) or not.
        bool transcribe = true;
        // The saved recording's upload; absent: the recording is only kept.
        std::function<void(const std::filesystem::path&, MeetingRecorder::UploadCompletion)> upload;
        static Parts standard();
    };

    // The transcript at the end of a meeting, with how many results the recogniser gave
    // (partial ones too) and how many segments were dropped as silence.
    struct Transcript {
        std::vector<MeetingSegment> segments;
        std::int64_t resultsReceived = 0;
        std::int64_t droppedSilentSegments = 0;
    };

    // What the run tells its owner, on the main thread.
    struct Events {
        std::function<void(MeetingState)> stateChanged;
        std::function<void(const MeetingSegment&)> segment;
        // The sources' levels (0 to 1) and how far the transcript runs behind the
        // sound, in seconds.
        std::function<void(float microphone, float system, double backlogSeconds)> levels;
        // A failure to show the user; the run may go on (a lost system audio) or be
        // idle again (a failed start).
        std::function<void(const std::string& message)> failed;
        // Once per meeting that got under way (or was stopped while checking): the
        // service's answer to the recording's upload, or nothing (no recording, under
        // a second, a failed save or upload).
        std::function<void(std::optional<MeetingRecorder::UploadAnswer>)> audioReady;
        // A short text for the status item.
        std::function<void(const std::string& text)> status;
        // Once per transcribed meeting that got under way, before it is over.
        std::function<void(const Transcript&)> transcribed;
    };

    static std::shared_ptr<MeetingRun> make();
    static std::shared_ptr<MeetingRun> make(Parts parts);
    MeetingRun(Key /*made by make()*/, Parts parts);
    MeetingRun(const MeetingRun&) = delete;
    MeetingRun& operator=(const MeetingRun&) = delete;
    ~MeetingRun();

    // Checks the speech model and the microphone, then starts; ignored unless idle and
    // not already checking.
    void start();
    // Ends the meeting: at once while the checks run, after the start while starting,
    // otherwise stops the capture and finishes. Ignored when idle or stopping.
    void stop();

    [[nodiscard]] MeetingState state() const { return state_; }
    // When the meeting began recording; kept until it is over.
    [[nodiscard]] std::optional<std::chrono::system_clock::time_point> startedAt() const {
        return startedAt_;
    }

    Events events;

  private:
    struct Meeting;

    void afterChecks(bool modelInstalled, int microphone);
    void beginStart();
    void setUpSession(Meeting& meeting);
    void startCapture(const std::shared_ptr<Meeting>& meeting);
    void startFailed(const std::shared_ptr<Meeting>& meeting, const std::string& description);
    void startSucceeded(const std::shared_ptr<Meeting>& meeting);
    void runStop(const std::shared_ptr<Meeting>& meeting);
    void finishMeeting(const std::shared_ptr<Meeting>& meeting);
    void finishRecorder(const std::shared_ptr<Meeting>& meeting);
    void endingDone(const std::shared_ptr<Meeting>& meeting);
    void endMeeting();

    void setState(MeetingState state);
    void fail(const std::string& message) const;
    void audioReady(std::optional<MeetingRecorder::UploadAnswer> answer) const;
    void status(const std::string& text) const;

    const Parts parts_;
    MeetingState state_ = MeetingState::idle;
    std::optional<std::chrono::system_clock::time_point> startedAt_;
    // The running meeting, once its start has come through.
    std::shared_ptr<Meeting> meeting_;
    // The capability checks are under way (the state is still idle).
    bool checking_ = false;
    // A "stop" came while checking or starting: the checks start nothing, the start,
    // when it completes, ends the meeting.
    bool stopPending_ = false;
    // The capture's blocking start and stop, the capability checks and the teardown.
    std::unique_ptr<SerialQueue> queue_;
    // The recorder whose finish is under way: owned here only, so that a run let go
    // waits for its mixdown (first among the members) instead of leaving it running.
    std::shared_ptr<MeetingRecorder> finishing_;
};

}  // namespace pagemate
