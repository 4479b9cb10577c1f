#include "web/MeetingController.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/AppLog.h"
#include "base/NetworkErrorText.h"
#include "base/Settings.h"
#include "meeting/AudioCapture.h"
#include "meeting/MeetingCaptureError.h"
#include "meeting/MeetingRecorder.h"
#include "meeting/MeetingSession.h"
#include "platform/Platform.h"
#include "platform/SpeechRecognizer.h"
#include "support/Url.h"
#include "web/HostBridge.h"
#include "web/ServiceResolver.h"

namespace pagemate {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kPageTimeout{20000};
constexpr milliseconds kSelfTestLimit{10000};
constexpr milliseconds kSelfTestSettle{1200};
constexpr double kScreenMargin = 80;
constexpr double kMinResizeRequest = 200;
constexpr double kResizeTolerance = 12;

// Samples the page for the self-test, as JSON text.
constexpr const char* kProbeScript = R"JS((function () {
  var body = document.body ? document.body.innerText || "" : "";
  return JSON.stringify({
    title: document.title,
    hasStartButton: !!document.querySelector("#start, [data-action=start], button"),
    bridge: typeof window.PGM_MEETING_BRIDGE,
    host: typeof window.PGM_HOST,
    bootstrap: typeof window.__PGM_BOOTSTRAP__,
    errors: window.__PGM_ERRORS || [],
    bodyText: body.slice(0, 300)
  });
})())JS";

constexpr const char* kConfigProbe = R"JS(
const boot = window.__PGM_BOOTSTRAP__ || {};
const response = await fetch("/api/config", { headers: { "x-app-password": boot.password || "" } });
return { status: response.status };
)JS";

}  // namespace

// What one meeting runs on. The session is held strongly by the capture's buffer
// callback as well, so that blocks in flight still find it.
struct MeetingController::Meeting {
    std::shared_ptr<AudioCapture> capture;
    std::shared_ptr<MeetingSession> session;
    std::shared_ptr<MeetingRecorder> recorder;
    // Of the transcript's end and the recording's, how many are still to come.
    int endingsLeft = 0;
};

namespace {

std::unique_ptr<PanelWindow> makeMeetingWindow() {
    PanelOptions options;
    options.title = "会议记录";
    options.contentRect =
        Rect{0, 0, MeetingController::initialWidth, MeetingController::initialHeight};
    options.minWidth = MeetingController::minWidth;
    options.minHeight = MeetingController::minHeight;
    options.floating = true;
    options.webDataName = "webdata";
    return Platform::current().windows->createPanel(options);
}

}  // namespace

MeetingController::MeetingController()
    : page_(makeMeetingWindow(), HostBridge::Host::meeting, true),
      selfTest_({kProbeScript, kConfigProbe, "无法读取页面"}),
      queue_(Platform::current().serialQueues->make("pagemate-meeting")) {
    page_.events.finished = [this] { pageFinished(); };
    page_.events.failedProvisional = [this](const NetworkError& error) {
        fail("无法打开会议界面：" + networkErrorText(error) + "。请确认助手服务已启动。");
    };
    page_.on("start", [this](const HostBridge::Message&) { startRecording(); });
    page_.on("stop", [this](const HostBridge::Message&) { stopRecording(); });
    page_.on("hide", [this](const HostBridge::Message&) { hide(); });
    page_.on("copyText", [](const HostBridge::Message& message) {
        Pasteboard& pasteboard = *Platform::current().pasteboard;
        pasteboard.clearContents();
        pasteboard.setString(message.string("text"));
    });
    page_.on("openUrl",
             [this](const HostBridge::Message& message) { openURL(message.string("url")); });
    page_.on("resize", [this](const HostBridge::Message& message) { resize(message.height()); });
}

void MeetingController::toggle() {
    if (window().isVisible()) {
        hide();
    } else {
        show();
    }
}

void MeetingController::show() {
    injectBootstrap();
    (void)page_.loadOnce(baseURL() + "/meeting", kPageTimeout);
    centre();
    window().orderFront();
    Platform::current().windows->activateSelf();
}

void MeetingController::hide() {
    window().orderOut();
}

void MeetingController::injectBootstrap() {
    const Settings& settings = Settings::shared();
    HostBridge::MeetingBootstrap values;
    values.serverUrl = baseURL();
    values.password = settings.password();
    values.model = settings.model();
    // It takes effect at the next load.
    (void)page_.setBootstrap(HostBridge::meetingBootstrapObject(values));
}

void MeetingController::centre() {
    const std::optional<Screen> screen = Platform::current().windows->mainScreen();
    if (!screen) {
        return;
    }
    const Rect visible = screen->visibleFrame;
    const Rect frame = window().frame();
    window().setFrame(Rect{visible.x + (visible.width - frame.width) / 2,
                           visible.y + (visible.height - frame.height) / 2, frame.width,
                           frame.height});
}

void MeetingController::resize(double height) {
    if (height <= kMinResizeRequest || !window().isVisible()) {
        return;
    }
    const std::optional<Rect> visible = page_.visibleFrame();
    const double limit = (visible ? visible->height : 0) - kScreenMargin;
    const double target = std::min(std::max(height, minHeight), limit);
    if (std::fabs(target - window().frame().height) <= kResizeTolerance) {
        return;
    }
    page_.setHeightKeepingTop(target);
}

void MeetingController::openURL(const std::string& url) {
    // Web pages and Notion's links only: a page must not have the desktop open a file,
    // a network share or another program's handler.
    const std::optional<std::string> scheme = urlScheme(url);
    if (isAbsoluteURL(url) && scheme && isOpenableScheme(*scheme)) {
        Platform::current().workspace->openURL(url);
    }
}

// --- Starting --------------------------------------------------------------------

void MeetingController::startRecording() {
    if (state_ != "idle" || checking_) {
        return;
    }
    // Both questions may block (the model store, the sound server): asked off the
    // main thread, while a second "start" is held off by `checking_` and a "stop"
    // sets `stopPending_`.
    checking_ = true;
    stopPending_ = false;
    const std::weak_ptr<MeetingController> weakSelf = weak_from_this();
    queue_->post([weakSelf] {
        const bool model =
            Platform::current().speech->availability() == SpeechRecognizer::Availability::available;
        const int microphone = AudioCapture::microphoneStatus();
        Platform::current().mainQueue->post([weakSelf, model, microphone] {
            if (const auto self = weakSelf.lock()) {
                self->afterChecks(model, microphone);
            }
        });
    });
}

void MeetingController::afterChecks(bool modelInstalled, int microphone) {
    if (std::exchange(stopPending_, false) || state_ != "idle") {
        checking_ = false;  // stopped meanwhile: the page has seen it end
        return;
    }
    if (!modelInstalled) {
        checking_ = false;
        fail(std::string(MeetingSession::noModelMessage));
        return;
    }
    if (microphone != SoundServer::authorized) {
        // Asked once more, off the main thread too; still checking meanwhile.
        const std::weak_ptr<MeetingController> weakSelf = weak_from_this();
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
                self->startRecording();
            } else {
                self->fail(std::string(microphoneMessage));
            }
        });
        return;
    }
    checking_ = false;
    beginStart();
}

void MeetingController::beginStart() {
    setState("starting");
    stopPending_ = false;
    auto meeting = std::make_shared<Meeting>();
    meeting->capture = AudioCapture::make();
    meeting->session = MeetingSession::make(TranscriptionEngine::local);

    const std::weak_ptr<MeetingController> weakSelf = weak_from_this();
    meeting->session->onSegment = [weakSelf](const MeetingSegment& segment) {
        if (const auto self = weakSelf.lock()) {
            self->sendBridge("onSegment", segment.jsonObject());
        }
    };
    meeting->session->onError = [weakSelf](const std::string& message) {
        if (const auto self = weakSelf.lock()) {
            self->fail(message);
        }
    };
    meeting->capture->onLevels = [weakSelf, weakSession = std::weak_ptr(meeting->session)](
                                     float microphone, float system) {
        if (const auto self = weakSelf.lock()) {
            // How far the transcript runs behind the sound, for a page that shows it.
            const auto session = weakSession.lock();
            const double backlog = session ? session->backlogSeconds() : 0;
            self->sendBridge("onLevel", {{"mic", microphone},
                                         {"system", system},
                                         {"backlog", std::round(backlog * 10) / 10}});
        }
    };
    meeting->capture->onFailure = [weakSelf](const std::string& message) {
        // Any thread: the capture's start executor or one of its capture threads.
        Platform::current().mainQueue->post([weakSelf, message] {
            if (const auto self = weakSelf.lock()) {
                self->fail(message);
            }
        });
    };
    meeting->capture->onBuffer = [session = meeting->session](CaptureSource source,
                                                              const AudioBlockPtr& block) {
        session->feed(source, block);
    };

    if (Settings::shared().recordMeetingAudio()) {
        auto recorder = std::make_shared<MeetingRecorder>();
        recorder->start();
        if (recorder->isRunning()) {
            meeting->session->setRecorder(recorder);
            meeting->recorder = std::move(recorder);
        }
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

void MeetingController::startCapture(const std::shared_ptr<Meeting>& meeting) {
    const std::weak_ptr<MeetingController> weakSelf = weak_from_this();
    queue_->post([weakSelf, meeting] {
        std::optional<std::string> error;
        try {
            meeting->capture->start();
        } catch (const MeetingCaptureError& failure) {
            error = failure.description();
        }
        Platform::current().mainQueue->post([weakSelf, meeting, error] {
            if (const auto self = weakSelf.lock()) {
                if (error) {
                    self->startFailed(meeting, *error);
                } else {
                    self->startSucceeded(meeting);
                }
            }
        });
    });
}

void MeetingController::startFailed(const std::shared_ptr<Meeting>& meeting,
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
    setState("idle");
    fail("启动失败：" + description);
    if (std::exchange(stopPending_, false)) {
        audioReady(nullptr);
    }
}

void MeetingController::startSucceeded(const std::shared_ptr<Meeting>& meeting) {
    meeting_ = meeting;
    if (std::exchange(stopPending_, false)) {
        // Asked to stop while starting: "stopping" is already shown.
        runStop(meeting);
        return;
    }
    startedAt_ = std::chrono::system_clock::now();
    setState("recording");
    status("正在记录会议");
}

// --- Stopping --------------------------------------------------------------------

void MeetingController::stopRecording() {
    if (state_ == "idle" && checking_ && !stopPending_) {
        // The start's checks are still under way: they end without starting anything,
        // and the page sees the meeting over at once.
        stopPending_ = true;
        setState("idle");
        audioReady(nullptr);
        status("会议记录已结束");
        return;
    }
    if (state_ != "recording" && state_ != "starting") {
        return;
    }
    const bool starting = state_ == "starting";
    setState("stopping");
    status("正在整理会议记录…");
    if (starting) {
        stopPending_ = true;  // the start chain ends it when it completes
        return;
    }
    runStop(meeting_);
}

void MeetingController::runStop(const std::shared_ptr<Meeting>& meeting) {
    if (!meeting || !meeting->capture) {
        finishMeeting(meeting);
        return;
    }
    const std::weak_ptr<MeetingController> weakSelf = weak_from_this();
    queue_->post([weakSelf, meeting] {
        meeting->capture->stop();
        Platform::current().mainQueue->post([weakSelf, meeting] {
            if (const auto self = weakSelf.lock()) {
                self->finishMeeting(meeting);
            }
        });
    });
}

void MeetingController::finishMeeting(const std::shared_ptr<Meeting>& meeting) {
    if (!meeting) {
        meeting_.reset();
        audioReady(nullptr);
        endMeeting();
        return;
    }
    // The transcript's last results and the recording end side by side: the recording
    // is saved and uploaded while a decoder still works through its backlog.
    meeting->endingsLeft = 2;
    const std::weak_ptr<MeetingController> weakSelf = weak_from_this();
    if (meeting->session) {
        meeting->session->finish([weakSelf, meeting](const std::vector<MeetingSegment>&) {
            if (const auto self = weakSelf.lock()) {
                self->endingDone(meeting);
            }
        });
    } else {
        endingDone(meeting);
    }
    finishRecorder(meeting);
}

void MeetingController::finishRecorder(const std::shared_ptr<Meeting>& meeting) {
    std::shared_ptr<MeetingRecorder> recorder = std::move(meeting->recorder);
    if (!recorder) {
        audioReady(nullptr);
        endingDone(meeting);
        return;
    }
    status("正在保存录音…");
    const std::weak_ptr<MeetingController> weakSelf = weak_from_this();
    recorder->finish(
        [weakSelf, meeting, recorder](std::optional<std::filesystem::path> saved) mutable {
            recorder.reset();
            const auto self = weakSelf.lock();
            if (!self) {
                return;
            }
            if (!saved) {
                self->audioReady(nullptr);
                self->endingDone(meeting);
                return;
            }
            MeetingRecorder::uploadAudio(
                *saved, [weakSelf, meeting](std::optional<MeetingRecorder::UploadAnswer> answer) {
                    const auto controller = weakSelf.lock();
                    if (!controller) {
                        return;
                    }
                    controller->audioReady(
                        answer ? nlohmann::json{{"id", answer->id}, {"filename", answer->filename}}
                               : nlohmann::json(nullptr));
                    controller->endingDone(meeting);
                });
        });
}

void MeetingController::endingDone(const std::shared_ptr<Meeting>& meeting) {
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

void MeetingController::endMeeting() {
    startedAt_.reset();
    setState("idle");
    status("会议记录已结束");
}

// --- The page --------------------------------------------------------------------

void MeetingController::setState(std::string state) {
    state_ = std::move(state);
    pushState();
}

void MeetingController::pushState() {
    nlohmann::json payload = {{"type", "state"}, {"state", state_}};
    // Kept until the meeting is over, but shown only while it records.
    if (startedAt_ && state_ == "recording") {
        payload["startedAt"] =
            std::chrono::duration<double, std::milli>(startedAt_->time_since_epoch()).count();
    }
    sendBridge("onEvent", payload);
}

void MeetingController::fail(const std::string& message) {
    AppLog::write("会议记录：" + message);
    sendBridge("onEvent", {{"type", "error"}, {"message", message}});
    status("会议记录出错");
}

void MeetingController::sendBridge(std::string_view function, const nlohmann::json& payload) {
    page_.call(function, payload);
}

void MeetingController::audioReady(const nlohmann::json& answer) {
    std::string text;
    try {
        text = answer.dump();
    } catch (const nlohmann::json::exception&) {
        text = "null";
    }
    page_.view().evaluate("window.meetingAudioReady && window.meetingAudioReady(" + text + ");");
}

void MeetingController::status(const std::string& text) {
    if (onStatusChange) {
        onStatusChange(text);
    }
}

void MeetingController::pageFinished() {
    AppLog::write("会议窗口：页面加载完成");
    pushState();
    selfTest_.pageLoaded(page_.view(), kSelfTestSettle);
}

// --- The self-test ---------------------------------------------------------------

void MeetingController::runWebSelfTest(std::function<void(nlohmann::json)> completion) {
    selfTest_.begin(std::move(completion), kSelfTestLimit,
                    {{"error", "超时：会议界面没有在 10 秒内加载完成"}});
    show();
}

}  // namespace pagemate
