#include "meeting/MeetingRun.h"

#include <utility>
#include <vector>

#include "base/Settings.h"
#include "meeting/AudioCapture.h"
#include "meeting/MeetingCaptureError.h"
#include "meeting/MeetingSession.h"
#include "platform/Platform.h"
#include "platform/SpeechRecognizer.h"

namespace pagemate {

// What one meeting runs on. The capture's buffer callback holds the session strongly as
// well, so that blocks in flight still find it, and the recorder weakly: the recorder
// ends with the run (its destructor waits for a mixdown under way), never after the
// services it uses.
struct MeetingRun::Meeting {
    std::shared_ptr<AudioCapture> capture;
    std::shared_ptr<MeetingSession> session;
    std::shared_ptr<MeetingRecorder> recorder;
    // Of the transcript's end and the recording's, how many are still to come.
    int endingsLeft = 0;
};

MeetingRun::Parts MeetingRun::Parts::standard() {
    Parts parts;
    parts.microphoneStatus = &AudioCapture::microphoneStatus;
    parts.capture = [] { return AudioCapture::make(); };
    parts.recorder = []() -> std::shared_ptr<MeetingRecorder> {
        return Settings::shared().recordMeetingAudio() ? MeetingRecorder::startedNow() : nullptr;
    };
    parts.upload = &MeetingRecorder::uploadAudio;
    return parts;
}

std::shared_ptr<MeetingRun> MeetingRun::make() {
    return make(Parts::standard());
}

std::shared_ptr<MeetingRun> MeetingRun::make(Parts parts) {
    return std::make_shared<MeetingRun>(Key{}, std::move(parts));
}

MeetingRun::MeetingRun(Key /*unused*/, Parts parts)
    : parts_(std::move(parts)),
      queue_(Platform::current().serialQueues->make("pagemate-meeting")) {}

MeetingRun::~MeetingRun() = default;

// --- Starting --------------------------------------------------------------------

void MeetingRun::start() {
    if (state_ != MeetingState::idle || checking_) {
        return;
    }
    // Both questions may block (the model store, the sound server): asked off the
    // main thread, while a second "start" is held off by `checking_` and a "stop"
    // sets `stopPending_`.
    checking_ = true;
    stopPending_ = false;
    const std::weak_ptr<MeetingRun> weakSelf = weak_from_this();
    queue_->post([weakSelf, transcribe = parts_.transcribe, asked = parts_.microphoneStatus] {
        const bool model = !transcribe || Platform::current().speech->availability() ==
                                              SpeechRecognizer::Availability::available;
        const int microphone = asked();
        Platform::current().mainQueue->post([weakSelf, model, microphone] {
            if (const auto self = weakSelf.lock()) {
                self->afterChecks(model, microphone);
            }
        });
    });
}

void MeetingRun::afterChecks(bool modelInstalled, int microphone) {
    if (std::exchange(stopPending_, false) || state_ != MeetingState::idle) {
        checking_ = false;  // stopped meanwhile: the owner has seen it end
        return;
    }
    if (!modelInstalled) {
        checking_ = false;
        fail(std::string(MeetingSession::noModelMessage));
        return;
    }
    if (microphone != SoundServer::authorized) {
        // Asked once more, off the main thread too; still checking meanwhile.
        const std::weak_ptr<MeetingRun> weakSelf = weak_from_this();
        AudioCapture::requestMicrophone([weakSelf](bool granted) {
            const auto self = weakSelf.lock();
            if (!self) {
                return;
            }
            self->checking_ = false;
            if (std::exchange(self->stopPending_, false)) {
                return;
            }
            if (granted) {
                self->start();
            } else {
                self->fail(std::string(microphoneMessage));
            }
        });
        return;
    }
    checking_ = false;
    beginStart();
}

void MeetingRun::beginStart() {
    setState(MeetingState::starting);
    stopPending_ = false;
    auto meeting = std::make_shared<Meeting>();
    meeting->capture = parts_.capture();
    meeting->recorder = parts_.recorder();
    const std::weak_ptr<MeetingRun> weakSelf = weak_from_this();
    if (parts_.transcribe) {
        setUpSession(*meeting);
    }
    meeting->capture->onLevels = [weakSelf, weakSession = std::weak_ptr(meeting->session)](
                                     float microphone, float system) {
        const auto self = weakSelf.lock();
        if (!self || !self->events.levels) {
            return;
        }
        const auto session = weakSession.lock();
        self->events.levels(microphone, system, session ? session->backlogSeconds() : 0);
    };
    meeting->capture->onFailure = [weakSelf](const std::string& message) {
        // Any thread: the capture's start executor or one of its capture threads.
        Platform::current().mainQueue->post([weakSelf, message] {
            if (const auto self = weakSelf.lock()) {
                self->fail(message);
            }
        });
    };
    // Each block to the recorder and to its source's channel, side by side.
    meeting->capture->onBuffer = [session = meeting->session,
                                  recorder = std::weak_ptr(meeting->recorder)](
                                     CaptureSource source, const AudioBlockPtr& block) {
        if (const auto held = recorder.lock(); held && block) {
            held->append(source, *block);
        }
        if (session) {
            session->feed(source, block);
        }
    };
    if (!meeting->session) {
        startCapture(meeting);
        return;
    }
    meeting->session->start([weakSelf, meeting](std::optional<MeetingCaptureError> error) {
        const auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        if (error) {
            self->startFailed(meeting, error->description());
        } else {
            self->startCapture(meeting);
        }
    });
}

void MeetingRun::setUpSession(Meeting& meeting) {
    meeting.session = MeetingSession::make(TranscriptionEngine::local);
    const std::weak_ptr<MeetingRun> weakSelf = weak_from_this();
    meeting.session->onSegment = [weakSelf](const MeetingSegment& segment) {
        if (const auto self = weakSelf.lock(); self && self->events.segment) {
            self->events.segment(segment);
        }
    };
    meeting.session->onError = [weakSelf](const std::string& message) {
        if (const auto self = weakSelf.lock()) {
            self->fail(message);
        }
    };
}

void MeetingRun::startCapture(const std::shared_ptr<Meeting>& meeting) {
    const std::weak_ptr<MeetingRun> weakSelf = weak_from_this();
    queue_->post([weakSelf, meeting] {
        std::optional<MeetingCaptureError> error = meeting->capture->start();
        Platform::current().mainQueue->post([weakSelf, meeting, error = std::move(error)] {
            if (const auto self = weakSelf.lock()) {
                if (error) {
                    self->startFailed(meeting, error->description());
                } else {
                    self->startSucceeded(meeting);
                }
            }
        });
    });
}

void MeetingRun::startFailed(const std::shared_ptr<Meeting>& meeting,
                             const std::string& description) {
    // Nothing of a meeting that never began is kept.
    if (meeting->recorder) {
        meeting->recorder->discard();
    }
    if (meeting->session) {
        // Ends the channels a started session may already run (they hold it); what
        // they still say belongs to no meeting.
        meeting->session->onSegment = nullptr;
        meeting->session->onError = nullptr;
        meeting->session->finish([](const std::vector<MeetingSegment>&) {});
    }
    meeting->capture.reset();
    meeting->session.reset();
    meeting->recorder.reset();
    setState(MeetingState::idle);
    fail("启动失败：" + description);
    if (std::exchange(stopPending_, false)) {
        audioReady(std::nullopt);
    }
}

void MeetingRun::startSucceeded(const std::shared_ptr<Meeting>& meeting) {
    meeting_ = meeting;
    if (std::exchange(stopPending_, false)) {
        // Asked to stop while starting: "stopping" is already shown.
        runStop(meeting);
        return;
    }
    startedAt_ = std::chrono::system_clock::now();
    setState(MeetingState::recording);
    status("正在记录会议");
}

// --- Stopping --------------------------------------------------------------------

void MeetingRun::stop() {
    if (state_ == MeetingState::idle && checking_ && !stopPending_) {
        // The start's checks are still under way: they end without starting anything,
        // and the owner sees the meeting over at once.
        stopPending_ = true;
        setState(MeetingState::idle);
        audioReady(std::nullopt);
        status("会议记录已结束");
        return;
    }
    if (state_ != MeetingState::recording && state_ != MeetingState::starting) {
        return;
    }
    const bool starting = state_ == MeetingState::starting;
    setState(MeetingState::stopping);
    status("正在整理会议记录…");
    if (starting) {
        stopPending_ = true;  // the start chain ends it when it completes
        return;
    }
    runStop(meeting_);
}

void MeetingRun::runStop(const std::shared_ptr<Meeting>& meeting) {
    if (!meeting || !meeting->capture) {
        finishMeeting(meeting);
        return;
    }
    const std::weak_ptr<MeetingRun> weakSelf = weak_from_this();
    queue_->post([weakSelf, meeting] {
        meeting->capture->stop();
        Platform::current().mainQueue->post([weakSelf, meeting] {
            if (const auto self = weakSelf.lock()) {
                self->finishMeeting(meeting);
            }
        });
    });
}

void MeetingRun::finishMeeting(const std::shared_ptr<Meeting>& meeting) {
    if (!meeting) {
        meeting_.reset();
        audioReady(std::nullopt);
        endMeeting();
        return;
    }
    // The transcript's last results and the recording end side by side: the recording
    // is saved and uploaded while a decoder still works through its backlog.
    meeting->endingsLeft = 2;
    const std::weak_ptr<MeetingRun> weakSelf = weak_from_this();
    if (meeting->session) {
        meeting->session->finish([weakSelf, meeting](std::vector<MeetingSegment> segments) {
            const auto self = weakSelf.lock();
            if (!self) {
                return;
            }
            if (self->events.transcribed) {
                self->events.transcribed({std::move(segments), meeting->session->resultsReceived(),
                                          meeting->session->droppedSilentSegments()});
            }
            self->endingDone(meeting);
        });
    } else {
        endingDone(meeting);
    }
    finishRecorder(meeting);
}

void MeetingRun::finishRecorder(const std::shared_ptr<Meeting>& meeting) {
    finishing_ = std::move(meeting->recorder);
    if (!finishing_) {
        audioReady(std::nullopt);
        endingDone(meeting);
        return;
    }
    status("正在保存录音…");
    const std::weak_ptr<MeetingRun> weakSelf = weak_from_this();
    finishing_->finish([weakSelf, meeting](std::optional<std::filesystem::path> saved) {
        const auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        self->finishing_.reset();  // its mixdown is over
        if (!saved || !self->parts_.upload) {
            self->audioReady(std::nullopt);
            self->endingDone(meeting);
            return;
        }
        self->parts_.upload(
            *saved, [weakSelf, meeting](std::optional<MeetingRecorder::UploadAnswer> answer) {
                if (const auto run = weakSelf.lock()) {
                    run->audioReady(std::move(answer));
                    run->endingDone(meeting);
                }
            });
    });
}

void MeetingRun::endingDone(const std::shared_ptr<Meeting>& meeting) {
    if (--meeting->endingsLeft > 0) {
        return;
    }
    // Their teardown joins decoder threads and frees models: not on the main thread.
    queue_->post(
        [capture = std::move(meeting->capture), session = std::move(meeting->session)]() mutable {
            session.reset();
            capture.reset();
        });
    if (meeting_ == meeting) {
        meeting_.reset();
    }
    endMeeting();
}

void MeetingRun::endMeeting() {
    startedAt_.reset();
    setState(MeetingState::idle);
    status("会议记录已结束");
}

// --- Telling the owner -----------------------------------------------------------

void MeetingRun::setState(MeetingState state) {
    state_ = state;
    if (events.stateChanged) {
        events.stateChanged(state);
    }
}

void MeetingRun::fail(const std::string& message) const {
    if (events.failed) {
        events.failed(message);
    }
}

void MeetingRun::audioReady(std::optional<MeetingRecorder::UploadAnswer> answer) const {
    if (events.audioReady) {
        events.audioReady(std::move(answer));
    }
}

void MeetingRun::status(const std::string& text) const {
    if (events.status) {
        events.status(text);
    }
}

}  // namespace pagemate
