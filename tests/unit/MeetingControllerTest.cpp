// The meeting window's controller on fakes: a scripted sound server and recogniser, the
// capture's and recorder's serial queues run by hand, a recording web view, the
// virtual clock.

#include <gtest/gtest.h>

#include <filesystem>

#include "base/Settings.h"
#include "harness/MeetingFolders.h"
#include "harness/TestSupport.h"
#include "meeting/MeetingSession.h"
#include "platform/fake/FakePlatform.h"
#include "web/HostBridge.h"
#include "web/MeetingController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const std::string kEventPrefix =
    "window.PGM_MEETING_BRIDGE && window.PGM_MEETING_BRIDGE.onEvent && "
    "window.PGM_MEETING_BRIDGE.onEvent(";
const std::string kSegmentPrefix =
    "window.PGM_MEETING_BRIDGE && window.PGM_MEETING_BRIDGE.onSegment && "
    "window.PGM_MEETING_BRIDGE.onSegment(";
const std::string kLevelPrefix =
    "window.PGM_MEETING_BRIDGE && window.PGM_MEETING_BRIDGE.onLevel && "
    "window.PGM_MEETING_BRIDGE.onLevel(";
const std::string kAudioPrefix = "window.meetingAudioReady && window.meetingAudioReady(";

// The arguments of the page calls that begin with `prefix`, in order.
std::vector<json> callsOf(const std::vector<std::string>& scripts, const std::string& prefix) {
    std::vector<json> found;
    for (const std::string& script : scripts) {
        if (script.starts_with(prefix) && script.ends_with(");")) {
            found.push_back(
                json::parse(script.substr(prefix.size(), script.size() - prefix.size() - 2)));
        }
    }
    return found;
}

class MeetingControllerTest : public ::testing::Test {
  protected:
    MeetingControllerTest() {
        Settings::shared().setRuntimeBaseURL("http://127.0.0.1:8787/");
        platform.windows.screenList = {Screen{{0, 0, 1440, 900}, {0, 0, 1440, 875}}};
        controller = MeetingController::create();
        window = platform.windows.panels.at(0);
        controller->onStatusChange = [this](const std::string& text) { statuses.push_back(text); };
        platform.http.respondWith([this](const HttpRequest& request) {
            uploads.push_back(request.url);
            return HttpResponse{200, R"({"id":"file-7","filename":"会议录音.m4a"})", std::nullopt};
        });
    }
    ~MeetingControllerTest() override {
        // A meeting still running stops its capture threads before the fakes go.
        if (controller->state() == MeetingState::recording) {
            post({{"action", "stop"}});
            (void)pump([this] { return controller->state() == MeetingState::idle; });
        }
        // A session finished after a failed start completes on the recogniser's
        // thread, which posts to the main queue: the queue must outlive that thread,
        // which ends when the channel lets its recogniser go.
        (void)pump([this] {
            for (std::size_t index = 0; index < platform.speech.channelsMade(); ++index) {
                fake::FakeSpeechChannel& channel = platform.speech.channel(index);
                if (channel.finalizeCalled() && !channel.destroyed()) {
                    return false;
                }
            }
            return true;
        });
        controller.reset();
        platform.queue.runUntilIdle();
    }

    void post(const json& message) { window->view.delegate->didReceiveMessage(message); }

    // Runs the main queue and the hand-run serial queues until `done`.
    bool pump(const std::function<bool()>& done) {
        return platform.queue.runUntil(
            [&] {
                for (const auto& tasks : platform.serialQueues.made()) {
                    tasks->runAll();
                }
                return done();
            },
            10s);
    }

    [[nodiscard]] std::vector<json> events() const {
        return callsOf(window->view.evaluated, kEventPrefix);
    }
    [[nodiscard]] std::vector<json> stateEvents() const {
        std::vector<json> found;
        for (const json& event : events()) {
            if (event["type"] == "state") {
                found.push_back(event);
            }
        }
        return found;
    }
    [[nodiscard]] std::vector<std::string> states() const {
        std::vector<std::string> found;
        for (const json& event : stateEvents()) {
            found.push_back(event["state"]);
        }
        return found;
    }
    [[nodiscard]] std::vector<std::string> errors() const {
        std::vector<std::string> found;
        for (const json& event : events()) {
            if (event["type"] == "error") {
                found.push_back(event["message"]);
            }
        }
        return found;
    }
    [[nodiscard]] std::vector<json> audioReady() const {
        return callsOf(window->view.evaluated, kAudioPrefix);
    }

    [[nodiscard]] bool logStartsWith(const std::string& prefix) const {
        const auto messages = log.messages();
        return std::any_of(messages.begin(), messages.end(),
                           [&](const std::string& line) { return line.starts_with(prefix); });
    }

    void startMeeting() {
        post({{"action", "start"}});
        ASSERT_TRUE(pump([this] { return controller->state() == MeetingState::recording; }));
    }
    void stopMeeting() {
        post({{"action", "stop"}});
        ASSERT_TRUE(pump([this] { return controller->state() == MeetingState::idle; }));
    }
    // `seconds` of sound on the microphone, handed over by its stream's thread.
    void speak(double seconds) {
        const auto stream = platform.sound.stream(SoundDeviceKind::defaultInput);
        ASSERT_TRUE(stream);
        const AudioFormat format = stream->request().format;
        auto frames = static_cast<std::uint32_t>(seconds * format.sampleRate);
        while (frames > 0) {
            const std::uint32_t part = std::min<std::uint32_t>(frames, 4096);
            stream->deliver(fake::sineFragment(format, part, 440, 0.3F));
            frames -= part;
        }
        stream->flush();
        (void)pump([] { return true; });
    }

    testing::MeetingFolders folders;
    fake::FakePlatform platform;
    testing::LogCapture log;
    std::shared_ptr<MeetingController> controller;
    fake::FakePanelWindow* window = nullptr;
    std::vector<std::string> statuses;
    std::vector<std::string> uploads;
};

TEST_F(MeetingControllerTest, WindowAndBootstrap) {
    const PanelOptions& options = platform.windows.lastOptions;
    EXPECT_EQ(std::tie(options.title, options.contentRect.width, options.contentRect.height,
                       options.minWidth, options.minHeight, options.maxWidth, options.maxHeight,
                       options.floating, options.webDataName),
              std::tuple("会议记录", 600, 640, 480, 400, 0, 0, true, "webdata"));
    EXPECT_TRUE(window->view.loads.empty());  // nothing before the first show

    window->currentFrame = Rect{0, 0, 600, 640};
    controller->show();
    ASSERT_EQ(window->view.loads, std::vector<std::string>{"http://127.0.0.1:8787/meeting"});
    EXPECT_EQ(window->view.lastTimeout, 20000ms);
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(platform.windows.activations, 1);
    EXPECT_EQ(window->currentFrame.x, 420);  // centred on the visible frame
    EXPECT_EQ(window->currentFrame.y, 117.5);
    ASSERT_EQ(window->view.scripts.size(), 3U);
    EXPECT_EQ(window->view.scripts[0], HostBridge::hostObjectScript(HostBridge::Host::meeting));
    EXPECT_EQ(window->view.scripts[1], HostBridge::errorCaptureScript(HostBridge::Host::meeting));
    const std::string& bootstrap = window->view.scripts[2];
    const std::string prefix = "window.__PGM_BOOTSTRAP__ = ";
    ASSERT_TRUE(bootstrap.starts_with(prefix));
    EXPECT_EQ(json::parse(bootstrap.substr(prefix.size(), bootstrap.size() - prefix.size() - 1)),
              json({{"serverUrl", "http://127.0.0.1:8787"},
                    {"password", Settings::shared().password()},
                    {"model", Settings::shared().model()},
                    {"meetingTitle", ""},
                    {"pageId", ""},
                    {"pageTitle", ""}}));

    // Toggling hides; showing again does not load again.
    controller->toggle();
    EXPECT_FALSE(window->visible);
    controller->toggle();
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(window->view.loads.size(), 1U);
    EXPECT_EQ(window->view.reloads, 0);
    post({{"action", "hide"}});
    EXPECT_FALSE(window->visible);

    // A finished load pushes the state.
    window->view.delegate->didFinish();
    EXPECT_TRUE(log.contains("会议窗口：页面加载完成"));
    EXPECT_EQ(states(), std::vector<std::string>{"idle"});
}

TEST_F(MeetingControllerTest, AMeetingFromStartToEnd) {
    controller->show();
    startMeeting();
    const std::vector<std::string> started{"starting", "recording"};
    EXPECT_EQ(states(), started);
    std::vector<json> pushed = stateEvents();
    EXPECT_FALSE(pushed[0].contains("startedAt"));
    ASSERT_TRUE(pushed[1].contains("startedAt"));
    EXPECT_TRUE(pushed[1]["startedAt"].is_number_float());
    EXPECT_GT(pushed[1]["startedAt"].get<double>(), 1.7e12);
    EXPECT_EQ(statuses, std::vector<std::string>{"正在记录会议"});

    // While recording: the page sees the state again after a load, "start" changes
    // nothing, segments and levels reach the page.
    window->view.delegate->didFinish();
    ASSERT_EQ(stateEvents().size(), 3U);
    EXPECT_TRUE(stateEvents()[2].contains("startedAt"));
    post({{"action", "start"}});
    (void)pump([] { return true; });
    EXPECT_EQ(states().size(), 3U);

    speak(1.5);
    platform.speech.channel(0).deliver(SpeechResult{"hello there", 0.5, 1, true});
    ASSERT_TRUE(pump([this] {
        return !callsOf(window->view.evaluated, kSegmentPrefix).empty() &&
               !callsOf(window->view.evaluated, kLevelPrefix).empty();
    }));
    const json segment = callsOf(window->view.evaluated, kSegmentPrefix).back();
    EXPECT_EQ(segment["speaker"], "现场");
    EXPECT_EQ(segment["text"], "hello there");
    const json level = callsOf(window->view.evaluated, kLevelPrefix).back();
    EXPECT_TRUE(level.contains("mic"));
    EXPECT_TRUE(level.contains("system"));
    EXPECT_GT(level["mic"].get<double>(), 0);

    // Hidden, the meeting goes on; shown again, the page is the same.
    controller->hide();
    speak(0.5);
    EXPECT_EQ(controller->state(), MeetingState::recording);
    controller->show();
    EXPECT_EQ(window->view.loads.size(), 1U);
    EXPECT_EQ(window->view.reloads, 0);

    stopMeeting();
    const std::vector<std::string> all{"starting", "recording", "recording", "stopping", "idle"};
    EXPECT_EQ(states(), all);
    for (const json& event : stateEvents()) {
        EXPECT_EQ(event.contains("startedAt"), event["state"] == "recording") << event.dump();
    }
    const std::vector<std::string> texts{"正在记录会议", "正在整理会议记录…", "正在保存录音…",
                                         "会议记录已结束"};
    EXPECT_EQ(statuses, texts);
    ASSERT_EQ(audioReady().size(), 1U);
    EXPECT_EQ(audioReady()[0], json({{"id", "file-7"}, {"filename", "会议录音.m4a"}}));
    ASSERT_EQ(uploads.size(), 1U);
    EXPECT_NE(uploads[0].find("/api/meeting/audio?"), std::string::npos) << uploads[0];
    EXPECT_EQ(folders.savedFiles().size(), 1U);
    EXPECT_TRUE(folders.meetingFolders().empty());

    // "stop" when idle changes nothing.
    post({{"action", "stop"}});
    (void)pump([] { return true; });
    EXPECT_EQ(states().size(), all.size());
}

// An upload that the service refuses, or that times out, ends the meeting like a good
// one: the page hears null, the recording stays in the recordings folder.
TEST_F(MeetingControllerTest, AFailedUploadKeepsTheRecordingAndTellsThePageNull) {
    for (const HttpResponse& answer :
         {HttpResponse{500, R"({"error":"disk full"})", std::nullopt},
          HttpResponse{std::nullopt, std::nullopt,
                       NetworkError{NetworkError::Kind::timedOut, "no answer"}}}) {
        platform.http.respondWith([answer](const HttpRequest&) { return answer; });
        const std::size_t savedBefore = folders.savedFiles().size();
        const std::size_t readyBefore = audioReady().size();
        startMeeting();
        speak(1.5);
        stopMeeting();
        ASSERT_EQ(audioReady().size(), readyBefore + 1);
        EXPECT_TRUE(audioReady().back().is_null());
        EXPECT_EQ(statuses.back(), "会议记录已结束");
        EXPECT_EQ(folders.savedFiles().size(), savedBefore + 1);
        EXPECT_TRUE(folders.meetingFolders().empty());
    }
    // The service is given five minutes for a long recording.
    const std::vector<HttpRequest> sent = platform.http.requests();
    ASSERT_EQ(sent.size(), 2U);
    EXPECT_EQ(sent.back().timeout, std::chrono::seconds(300));
}

TEST_F(MeetingControllerTest, StartAndStopWhileStoppingOrShort) {
    startMeeting();
    post({{"action", "stop"}});
    EXPECT_EQ(controller->state(), MeetingState::stopping);  // at once
    post({{"action", "start"}});
    ASSERT_TRUE(pump([this] { return controller->state() == MeetingState::idle; }));
    const std::vector<std::string> all{"starting", "recording", "stopping", "idle"};
    EXPECT_EQ(states(), all);
    // Less than a second: the recorder keeps nothing, the page gets null.
    ASSERT_EQ(audioReady().size(), 1U);
    EXPECT_TRUE(audioReady()[0].is_null());
    EXPECT_TRUE(uploads.empty());
    EXPECT_TRUE(folders.savedFiles().empty());
    EXPECT_TRUE(folders.meetingFolders().empty());
}

TEST_F(MeetingControllerTest, WithoutRecordingTheAudioNothingIsWritten) {
    Settings::shared().setRecordMeetingAudio(false);
    startMeeting();
    EXPECT_TRUE(folders.meetingFolders().empty());
    speak(1.5);
    stopMeeting();
    ASSERT_EQ(audioReady().size(), 1U);
    EXPECT_TRUE(audioReady()[0].is_null());
    EXPECT_TRUE(folders.savedFiles().empty());
    EXPECT_TRUE(uploads.empty());
    const std::vector<std::string> texts{"正在记录会议", "正在整理会议记录…", "会议记录已结束"};
    EXPECT_EQ(statuses, texts);
}

TEST_F(MeetingControllerTest, FailedStartsReturnToIdleAndDiscardTheRecorder) {
    // The session cannot start: the recorder started for it leaves nothing behind.
    platform.speech.channelFailure = SpeechError{SpeechError::Kind::modelUnusable, "decoder"};
    post({{"action", "start"}});
    ASSERT_TRUE(pump([this] { return states().size() == 2; }));
    EXPECT_EQ(states(), (std::vector<std::string>{"starting", "idle"}));
    for (const json& event : stateEvents()) {
        EXPECT_FALSE(event.contains("startedAt"));
    }
    ASSERT_EQ(errors().size(), 1U);
    EXPECT_TRUE(errors()[0].starts_with("启动失败：")) << errors()[0];
    EXPECT_EQ(statuses, std::vector<std::string>{"会议记录出错"});
    EXPECT_TRUE(log.contains("会议记录：" + errors()[0]));
    EXPECT_TRUE(logStartsWith("会议录音：已开始"));
    EXPECT_TRUE(log.contains("会议录音：会议没有开始，已丢弃"));
    EXPECT_TRUE(folders.meetingFolders().empty());
    EXPECT_TRUE(audioReady().empty());

    // The capture cannot start (no microphone stream): the same.
    platform.speech.channelFailure.reset();
    platform.sound.failAt(SoundDeviceKind::defaultInput, 1, {6, "Connection refused"});
    post({{"action", "start"}});
    ASSERT_TRUE(pump([this] { return states().size() == 4; }));
    EXPECT_EQ(states(), (std::vector<std::string>{"starting", "idle", "starting", "idle"}));
    ASSERT_EQ(errors().size(), 2U);
    EXPECT_TRUE(errors()[1].starts_with("启动失败：")) << errors()[1];
    EXPECT_EQ(statuses, (std::vector<std::string>{"会议记录出错", "会议记录出错"}));
    EXPECT_TRUE(folders.meetingFolders().empty());
    EXPECT_TRUE(folders.savedFiles().empty());
}

TEST_F(MeetingControllerTest, StopWhileStarting) {
    // The start completes: the meeting is stopped at once, never left "recording".
    post({{"action", "start"}});
    ASSERT_TRUE(pump([this] { return controller->state() == MeetingState::starting; }));
    post({{"action", "stop"}});
    EXPECT_EQ(controller->state(), MeetingState::stopping);
    EXPECT_EQ(statuses, std::vector<std::string>{"正在整理会议记录…"});
    ASSERT_TRUE(pump([this] { return controller->state() == MeetingState::idle; }));
    EXPECT_EQ(states(), (std::vector<std::string>{"starting", "stopping", "idle"}));
    EXPECT_EQ(statuses,
              (std::vector<std::string>{"正在整理会议记录…", "正在保存录音…", "会议记录已结束"}));
    ASSERT_EQ(audioReady().size(), 1U);
    EXPECT_TRUE(audioReady()[0].is_null());
    EXPECT_TRUE(platform.speech.channel(0).finalizeCalled());
    const auto journal = platform.sound.journal();
    EXPECT_NE(std::find(journal.begin(), journal.end(), "stop"), journal.end());
    EXPECT_TRUE(folders.meetingFolders().empty());

    // The start fails: the failure ends it, and the page hears the audio is gone.
    platform.sound.failAt(SoundDeviceKind::defaultInput, 1, {6, "Connection refused"});
    post({{"action", "start"}});
    ASSERT_TRUE(pump([this] { return controller->state() == MeetingState::starting; }));
    post({{"action", "stop"}});
    ASSERT_TRUE(pump([this] { return controller->state() == MeetingState::idle; }));
    EXPECT_EQ(states(), (std::vector<std::string>{"starting", "stopping", "idle", "starting",
                                                  "stopping", "idle"}));
    ASSERT_EQ(errors().size(), 1U);
    EXPECT_TRUE(errors()[0].starts_with("启动失败："));
    ASSERT_EQ(audioReady().size(), 2U);
    EXPECT_TRUE(audioReady()[1].is_null());
    EXPECT_EQ(statuses.back(), "会议记录出错");
    EXPECT_TRUE(folders.meetingFolders().empty());
}

TEST_F(MeetingControllerTest, CaptureFailureDuringAMeetingDoesNotEndIt) {
    startMeeting();
    // A failing conversion is reported on the microphone's capture thread.
    platform.audioCodecs.failConversions(AudioError{-5, "Input/output error"});
    speak(0.2);
    ASSERT_TRUE(pump([this] { return !errors().empty(); }));
    EXPECT_EQ(errors()[0], "音频格式转换失败：Input/output error");
    EXPECT_EQ(controller->state(), MeetingState::recording);
    EXPECT_EQ(statuses.back(), "会议记录出错");
    EXPECT_TRUE(log.contains("会议记录：音频格式转换失败：Input/output error"));
    EXPECT_EQ(states().back(), "recording");
    platform.audioCodecs.failConversions(std::nullopt);
    stopMeeting();
    EXPECT_EQ(states().back(), "idle");
}

TEST_F(MeetingControllerTest, CapabilityGates) {
    platform.speech.availabilityState = SpeechRecognizer::Availability::noModel;
    post({{"action", "start"}});
    ASSERT_TRUE(pump([this] { return !errors().empty(); }));
    EXPECT_EQ(errors()[0], std::string(MeetingSession::noModelMessage));
    EXPECT_TRUE(states().empty());
    EXPECT_EQ(controller->state(), MeetingState::idle);
    EXPECT_EQ(statuses, std::vector<std::string>{"会议记录出错"});

    platform.speech.availabilityState = SpeechRecognizer::Availability::available;
    platform.sound.setMicrophoneAccess(SoundServer::denied);
    post({{"action", "start"}});
    ASSERT_TRUE(pump([this] { return errors().size() == 2; }));
    EXPECT_EQ(errors()[1],
              "需要「麦克风」权限才能录到你的声音：请确认声音服务器（PulseAudio 或 PipeWire）"
              "正在运行且有可用的输入设备，然后重新开始记录。");
    EXPECT_TRUE(states().empty());
    EXPECT_TRUE(folders.meetingFolders().empty());

    // A server hanging when asked again: a "stop" ends the start; nothing is captured.
    post({{"action", "start"}});
    platform.serialQueues.latest("pagemate-meeting")->runAll();  // the checks: refused
    platform.sound.holdMicrophoneAccess(true);
    platform.queue.runUntilIdle();  // asks again, and the main thread goes on
    post({{"action", "stop"}});
    ASSERT_TRUE(pump([this] { return audioReady().size() == 1; }));
    EXPECT_EQ(states(), std::vector<std::string>{"idle"});
    EXPECT_TRUE(audioReady()[0].is_null());
    platform.sound.setMicrophoneAccess(SoundServer::authorized);
    platform.sound.holdMicrophoneAccess(false);
    Platform::current().background.joinRunning();  // the answer is in
    platform.queue.runUntilIdle();
    EXPECT_EQ(controller->state(), MeetingState::idle);
    EXPECT_TRUE(platform.sound.journal().empty());

    // Access that comes by the time it is asked for again: the start goes on.
    platform.sound.setMicrophoneAccess(SoundServer::denied);
    post({{"action", "start"}});
    platform.serialQueues.latest("pagemate-meeting")->runAll();  // the checks: refused
    platform.sound.setMicrophoneAccess(SoundServer::authorized);
    ASSERT_TRUE(pump([this] { return controller->state() == MeetingState::recording; }));
    EXPECT_EQ(errors().size(), 2U);
    EXPECT_EQ(states(), (std::vector<std::string>{"idle", "starting", "recording"}));
}

TEST_F(MeetingControllerTest, PageMessages) {
    // resize: only above 200 and while visible, at least 400, at most the screen's
    // visible height minus 80, only for a change of more than 12 points.
    window->currentFrame = Rect{100, 100, 600, 640};
    window->visibleFrame = Rect{0, 0, 1440, 875};
    post({{"action", "resize"}, {"height", 300}});
    EXPECT_EQ(window->currentFrame.height, 640);  // hidden
    window->visible = true;
    post({{"action", "resize"}, {"height", 150}});
    EXPECT_EQ(window->currentFrame.height, 640);
    post({{"action", "resize"}, {"height", 300}});
    EXPECT_EQ(window->currentFrame.height, 400);
    EXPECT_EQ(window->currentFrame.maxY(), 740);  // top edge kept
    EXPECT_EQ(window->currentFrame.x, 100);
    EXPECT_EQ(window->currentFrame.width, 600);
    post({{"action", "resize"}, {"height", 5000}});
    EXPECT_EQ(window->currentFrame.height, 795);
    post({{"action", "resize"}, {"height", 783}});
    EXPECT_EQ(window->currentFrame.height, 795);
    post({{"action", "resize"}, {"height", 782}});
    EXPECT_EQ(window->currentFrame.height, 782);
    post({{"action", "resize"}, {"height", "700"}});
    EXPECT_EQ(window->currentFrame.height, 782);
    // Without a screen of the window, the main screen's.
    window->visibleFrame.reset();
    post({{"action", "resize"}, {"height", 5000}});
    EXPECT_EQ(window->currentFrame.height, 795);

    // copyText: the pasteboard holds the text, or an empty string.
    post({{"action", "copyText"}, {"text", "纪要"}});
    EXPECT_EQ(platform.pasteboard.string(), std::optional<std::string>("纪要"));
    post({{"action", "copyText"}});
    EXPECT_EQ(platform.pasteboard.string(), std::optional<std::string>(""));
    post({{"action", "copyText"}, {"text", 5}});
    EXPECT_EQ(platform.pasteboard.string(), std::optional<std::string>(""));

    // openUrl: only a valid address as a string.
    post({{"action", "openUrl"}, {"url", 5}});
    post({{"action", "openUrl"}});
    post({{"action", "openUrl"}, {"url", "not a url"}});
    EXPECT_TRUE(platform.workspace.opened().empty());
    post({{"action", "openUrl"}, {"url", "https://example.com/a"}});
    EXPECT_EQ(platform.workspace.opened(), std::vector<std::string>{"https://example.com/a"});
    // Web pages and Notion's links only: no file, share or other program's handler.
    for (const char* url : {"file:///etc/passwd", "smb://host/share", "javascript:alert(1)",
                            "httqs:/T/www.notion.so/0123456789abcdef0103456789abcdef"}) {
        post({{"action", "openUrl"}, {"url", url}});
    }
    post({{"action", "openUrl"}, {"url", "notion://www.notion.so/abc"}});
    EXPECT_EQ(platform.workspace.opened(),
              (std::vector<std::string>{"https://example.com/a", "notion://www.notion.so/abc"}));

    // Anything else is ignored.
    post(json::array({"start"}));
    post({{"action", 3}});
    post({{"action", "Start"}});
    (void)pump([] { return true; });
    EXPECT_EQ(controller->state(), MeetingState::idle);
    EXPECT_TRUE(events().empty());
}

TEST_F(MeetingControllerTest, PageLoadFailure) {
    controller->show();
    window->view.delegate->didFailProvisional(
        NetworkError{NetworkError::Kind::cannotConnect, "Connection refused"});
    ASSERT_EQ(errors().size(), 1U);
    EXPECT_TRUE(errors()[0].starts_with("无法打开会议界面："));
    EXPECT_TRUE(errors()[0].ends_with("。请确认助手服务已启动。"));
    EXPECT_TRUE(logStartsWith("会议记录：无法打开会议界面："));
    EXPECT_EQ(statuses, std::vector<std::string>{"会议记录出错"});
    EXPECT_EQ(controller->state(), MeetingState::idle);
    EXPECT_EQ(window->view.loads.size(), 1U);  // no retry
}

TEST_F(MeetingControllerTest, SelfTest) {
    // No page: the report is the time-out, at 10 s.
    std::optional<json> report;
    controller->runWebSelfTest([&](json result) { report = std::move(result); });
    EXPECT_TRUE(window->visible);
    platform.queue.advance(9999ms);
    EXPECT_FALSE(report);
    platform.queue.advance(1ms);
    ASSERT_TRUE(report);
    EXPECT_EQ(*report, json({{"error", "超时：会议界面没有在 10 秒内加载完成"}}));

    // A page: sampled 1.2 s after it loaded, with the service's answer.
    window->view.answer = [](const std::string& script) {
        if (script.find("hasStartButton") != std::string::npos) {
            return fake::RecordingWebView::ScriptAnswer{
                json(R"({"title":"会议","hasStartButton":true,"bridge":"object"})"), ""};
        }
        return fake::RecordingWebView::ScriptAnswer{json({{"status", 200}}), ""};
    };
    report.reset();
    controller->runWebSelfTest([&](json result) { report = std::move(result); });
    window->view.delegate->didFinish();
    platform.queue.advance(1199ms);
    EXPECT_TRUE(window->view.asyncCalls.empty());
    EXPECT_FALSE(report);
    platform.queue.advance(1ms);
    platform.queue.runUntilIdle();
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["title"], "会议");
    EXPECT_EQ((*report)["hasStartButton"], true);
    EXPECT_EQ((*report)["api"], json({{"status", 200}}));
    ASSERT_EQ(window->view.asyncCalls.size(), 1U);
    EXPECT_NE(window->view.asyncCalls[0].find("/api/config"), std::string::npos);
    EXPECT_NE(window->view.asyncCalls[0].find("x-app-password"), std::string::npos);
    // Once only: the time-out of this run finds nothing left to answer.
    const json first = *report;
    platform.queue.advance(10s);
    EXPECT_EQ(*report, first);

    // A page that cannot be read.
    window->view.answer = [](const std::string&) {
        return fake::RecordingWebView::ScriptAnswer{std::nullopt, ""};
    };
    report.reset();
    controller->runWebSelfTest([&](json result) { report = std::move(result); });
    window->view.delegate->didFinish();
    platform.queue.advance(1200ms);
    platform.queue.runUntilIdle();
    ASSERT_TRUE(report);
    EXPECT_EQ(*report, json({{"error", "无法读取页面"}}));
}

}  // namespace
}  // namespace pagemate
