#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "diagnostics/PlayedStream.h"
#include "meeting/MeetingRun.h"

namespace pagemate {

// A self-test's meeting: the meeting run with the probe's prepared sound played as its
// microphone and its system audio (PlayedStreams under an AudioCapture), no microphone
// permission to ask and nothing uploaded. It is stopped once both sounds have been
// played and it records. Main thread; it keeps itself until `over` has run.
class ProbeMeeting : public std::enable_shared_from_this<ProbeMeeting> {
  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    struct Sound {
        PlayedStream::Next microphone;
        PlayedStream::Next system;
        std::chrono::microseconds pause{0};
    };
    // Recorded (`saved` gets the file, which stays where it was saved) or transcribed.
    static std::shared_ptr<ProbeMeeting> make(Sound sound, bool record, bool transcribe);
    explicit ProbeMeeting(Key /*made by make()*/);

    // Set before start(); `run->events` may carry more (segments, the transcript).
    std::shared_ptr<MeetingRun> run;
    // The run records: the probe's sound goes through it.
    std::function<void()> recording;
    // Each failure the run reports.
    std::function<void(const std::string&)> failed;
    // Both sounds have been played; the run is stopped next.
    std::function<void()> played;
    std::function<void(const std::filesystem::path&)> saved;
    // The run is idle again. `startError`: why it never got under way.
    std::function<void(const std::optional<std::string>& startError)> over;

    void start();

    // A recorder was asked for and could not start.
    bool recorderFailed = false;

  private:
    void stateChanged(MeetingState state);
    void stopWhenDone();

    std::shared_ptr<ProbeMeeting> keep_;
    // The run's last failure: why a start that never got under way failed.
    std::string lastError_;
    int soundsLeft_ = 2;
    bool starting_ = false;
    bool recording_ = false;
};

}  // namespace pagemate
