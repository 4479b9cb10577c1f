#include "web/MeetingController.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/AppLog.h"
#include "base/NetworkErrorText.h"
#include "base/Settings.h"
#include "platform/Platform.h"
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
      run_(MeetingRun::make()) {
    // The run lives as long as the controller: its events may name the controller.
    run_->events.stateChanged = [this](MeetingState) { pushState(); };
    run_->events.segment = [this](const MeetingSegment& segment) {
        sendBridge("onSegment", segment.jsonObject());
    };
    run_->events.levels = [this](float microphone, float system, double backlog) {
        // How far the transcript runs behind the sound, for a page that shows it.
        sendBridge(
            "onLevel",
            {{"mic", microphone}, {"system", system}, {"backlog", std::round(backlog * 10) / 10}});
    };
    run_->events.failed = [this](const std::string& message) { fail(message); };
    run_->events.audioReady = [this](const std::optional<MeetingRecorder::UploadAnswer>& answer) {
        audioReady(answer);
    };
    run_->events.status = [this](const std::string& text) { status(text); };
    page_.events.finished = [this] { pageFinished(); };
    page_.events.failedProvisional = [this](const NetworkError& error) {
        fail("无法打开会议界面：" + networkErrorText(error) + "。请确认助手服务已启动。");
    };
    page_.on("start", [this](const HostBridge::Message&) { run_->start(); });
    page_.on("stop", [this](const HostBridge::Message&) { run_->stop(); });
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

// --- The page --------------------------------------------------------------------

void MeetingController::pushState() {
    const MeetingState state = run_->state();
    nlohmann::json payload = {{"type", "state"}, {"state", meetingStateName(state)}};
    // Kept until the meeting is over, but shown only while it records.
    if (const auto startedAt = run_->startedAt(); startedAt && state == MeetingState::recording) {
        payload["startedAt"] =
            std::chrono::duration<double, std::milli>(startedAt->time_since_epoch()).count();
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

void MeetingController::audioReady(const std::optional<MeetingRecorder::UploadAnswer>& answer) {
    const nlohmann::json payload =
        answer ? nlohmann::json{{"id", answer->id}, {"filename", answer->filename}}
               : nlohmann::json(nullptr);
    std::string text;
    try {
        text = payload.dump();
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
