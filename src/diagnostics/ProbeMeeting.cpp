#include "diagnostics/ProbeMeeting.h"

#include "meeting/AudioCapture.h"
#include "platform/Platform.h"

namespace pagemate {

std::shared_ptr<ProbeMeeting> ProbeMeeting::make(Sound sound, bool record, bool transcribe) {
    auto probe = std::make_shared<ProbeMeeting>(Key{});
    const std::weak_ptr<ProbeMeeting> weak = probe;
    MeetingRun::Parts parts;
    parts.microphoneStatus = [] { return static_cast<int>(SoundServer::authorized); };
    parts.transcribe = transcribe;
    parts.capture = [weak, sound = std::move(sound)] {
        // Each sound's end told on the main queue, where the run is stopped.
        const auto played = [weak] {
            Platform::current().mainQueue->post([weak] {
                if (const auto held = weak.lock(); held && --held->soundsLeft_ == 0) {
                    held->stopWhenDone();
                }
            });
        };
        return AudioCapture::make(
            {[sound, played] {
                 return std::make_shared<PlayedStream>(sound.microphone, sound.pause, played);
             },
             [sound, played] {
                 return std::make_shared<PlayedStream>(sound.system, sound.pause, played);
             }});
    };
    parts.recorder = [weak, record]() -> std::shared_ptr<MeetingRecorder> {
        if (!record) {
            return nullptr;
        }
        auto recorder = MeetingRecorder::startedNow();
        if (recorder) {
            return recorder;
        }
        if (const auto self = weak.lock()) {
            self->recorderFailed = true;
        }
        return nullptr;
    };
    parts.upload = [weak](const std::filesystem::path& file,
                          const MeetingRecorder::UploadCompletion& completion) {
        if (const auto self = weak.lock(); self && self->saved) {
            self->saved(file);
        }
        completion(std::nullopt);
    };
    probe->run = MeetingRun::make(std::move(parts));
    return probe;
}

ProbeMeeting::ProbeMeeting(Key /*unused*/) {}

void ProbeMeeting::start() {
    keep_ = shared_from_this();
    const std::weak_ptr<ProbeMeeting> weak = keep_;
    run->events.stateChanged = [weak](MeetingState state) {
        if (const auto self = weak.lock()) {
            self->stateChanged(state);
        }
    };
    run->events.failed = [weak](const std::string& message) {
        const auto self = weak.lock();
        if (!self) {
            return;
        }
        self->lastError_ = message;
        if (self->failed) {
            self->failed(message);
        }
        if (!self->starting_ && self->over) {
            // Refused by the checks: the run never started.
            self->over(message);
            Platform::current().mainQueue->post([keep = std::move(self->keep_)] {});
        }
    };
    run->start();
}

void ProbeMeeting::stateChanged(MeetingState state) {
    if (state == MeetingState::starting) {
        starting_ = true;
    } else if (state == MeetingState::recording) {
        recording_ = true;
        if (recording) {
            recording();
        }
        // The sounds may have ended while it started; stopped after this turn.
        Platform::current().mainQueue->post([weak = weak_from_this()] {
            if (const auto self = weak.lock()) {
                self->stopWhenDone();
            }
        });
    } else if (state == MeetingState::idle) {
        // After this turn, so that a failed start's message is in; the probe is let go
        // after `over`, outside the run's own calls.
        Platform::current().mainQueue->post([self = std::move(keep_)] {
            if (self && self->over) {
                self->over(self->recording_ ? std::nullopt : std::optional(self->lastError_));
            }
        });
    }
}

void ProbeMeeting::stopWhenDone() {
    if (soundsLeft_ == 0 && recording_ && run->state() == MeetingState::recording) {
        if (played) {
            played();
        }
        run->stop();
    }
}

}  // namespace pagemate
