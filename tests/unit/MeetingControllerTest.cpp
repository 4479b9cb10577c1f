// A meeting as the meeting window's page and its owner see it, on fakes and the virtual
// clock. The real page's is MeetingWebTest's.

#include <gtest/gtest.h>

#include "base/Settings.h"
#include "harness/MeetingFolders.h"
#include "harness/TestSupport.h"
#include "meeting/MeetingRun.h"
#include "meeting/MeetingSession.h"
#include "platform/fake/FakePlatform.h"
#include "web/MeetingController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Events = std::vector<std::string>;

// The argument of a call of the page function `function` in `script`, if it is one.
std::optional<json> argumentOf(const std::string& script, const std::string& function) {
    const std::string head = function + " && " + function + "(";
    const std::size_t at = script.find(head);
    if (at == std::string::npos || !script.ends_with(");")) {
        return std::nullopt;
    }
    return json::parse(script.substr(at + head.size(), script.size() - at - head.size() - 2));
}

// A page call in short: "state recording", "error …", "segment 现场 text", "audio id
// name" or "audio none"; levels and other calls as "".
std::string describe(const std::string& script) {
    if (const auto event = argumentOf(script, "window.PGM_MEETING_BRIDGE.onEvent")) {
        return event->value("type", "") + " " + event->value("state", event->value("message", ""));
    }
    if (const auto segment = argumentOf(script, "window.PGM_MEETING_BRIDGE.onSegment")) {
        return "segment " + segment->value("speaker", "") + " " + segment->value("text", "");
    }
    if (const auto audio = argumentOf(script, "window.meetingAudioReady")) {
        return audio->is_null()
                   ? "audio none"
                   : "audio " + audio->value("id", "") + " " + audio->value("filename", "");
    }
    return "";
}

class MeetingControllerTest : public ::testing::Test {
  public:
    MeetingControllerTest() {
        Settings::shared().setRuntimeBaseURL("http://127.0.0.1:8787/");
        platform.windows.screenList = {Screen{{0, 0, 1440, 900}, {0, 0, 1440, 875}}};
        platform.http.respondWith([](const HttpRequest&) {
            return HttpResponse{200, R"({"id":"file-7","filename":"会议录音.m4a"})", std::nullopt};
        });
        controller->onStatusChange = [this](const std::string& text) {
            (void)told();
            heard.push_back("status " + text);
        };
    }
    ~MeetingControllerTest() override {
        if (controller->state() == MeetingState::recording) {
            stop();
        }
        // A session finished after a failed start posts from the recogniser's thread.
        (void)pump([this] {
            for (std::size_t index = 0; index < platform.speech.channelsMade(); ++index) {
                auto& channel = platform.speech.channel(index);
                if (channel.finalizeCalled() && !channel.destroyed()) {
                    return false;
                }
            }
            return controller->state() == MeetingState::idle;
        });
        controller.reset();
        platform.queue.runUntilIdle();
    }

    void post(const json& message) { window->view.delegate->didReceiveMessage(message); }
    void start() { post({{"action", "start"}}); }
    void stop() { post({{"action", "stop"}}); }
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
    bool until(MeetingState state) {
        return pump([&] { return controller->state() == state; });
    }
    // `seconds` of a tone on the microphone, handed over by its stream's thread.
    void speak(double seconds) {
        const auto stream = platform.sound.stream(SoundDeviceKind::defaultInput);
        ASSERT_TRUE(stream);
        const AudioFormat format = stream->request().format;
        for (auto frames = static_cast<std::uint32_t>(seconds * format.sampleRate); frames > 0;) {
            const std::uint32_t part = std::min<std::uint32_t>(frames, 4096);
            stream->deliver(fake::sineFragment(format, part, 440, 0.3F));
            frames -= part;
        }
        stream->flush();
        (void)pump([] { return true; });
    }
    void end() {
        stop();
        ASSERT_TRUE(until(MeetingState::idle));
    }
    // What the page and the owner were told so far, in order; levels left out.
    const Events& told() {
        for (; seen < window->view.evaluated.size(); ++seen) {
            if (std::string line = describe(window->view.evaluated[seen]); !line.empty()) {
                heard.push_back(std::move(line));
            }
        }
        return heard;
    }
    [[nodiscard]] std::vector<json> calls(const std::string& function) const {
        std::vector<json> found;
        for (const std::string& script : window->view.evaluated) {
            if (auto argument = argumentOf(script, "window.PGM_MEETING_BRIDGE." + function)) {
                found.push_back(std::move(*argument));
            }
        }
        return found;
    }

    testing::MeetingFolders folders;
    fake::FakePlatform platform;
    testing::LogCapture log;
    std::shared_ptr<MeetingController> controller = MeetingController::create();
    fake::FakePanelWindow* window = platform.windows.panels.at(0);
    Events heard;
    std::size_t seen = 0;
};

const Events kRecording{"state starting", "state recording", "status 正在记录会议"};
const Events kEnding{"state stopping", "status 正在整理会议记录…", "status 正在保存录音…"};
const Events kEnded{"state idle", "status 会议记录已结束"};

Events concat(std::initializer_list<Events> parts) {
    Events all;
    for (const Events& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}
const Events kNothingKept = concat({kRecording, kEnding, {"audio none"}, kEnded});

struct Sequence {
    const char* name;
    std::function<void(MeetingControllerTest&)> script;
    Events told;
    friend void PrintTo(const Sequence& sequence, std::ostream* out) { *out << sequence.name; }
};

void meeting(MeetingControllerTest& test, double seconds) {
    test.start();
    ASSERT_TRUE(test.until(MeetingState::recording));
    test.speak(seconds);
    test.end();
}

// Starts with the microphone refused at the first check.
void startRefused(MeetingControllerTest& test) {
    test.platform.sound.setMicrophoneAccess(SoundServer::denied);
    test.start();
    test.platform.serialQueues.latest("pagemate-meeting")->runAll();  // the checks
}

const std::string kFailed = "status 会议记录出错";

const std::vector<Sequence> kSequences{
    {"UnderASecondKeepsNothing", [](MeetingControllerTest& t) { meeting(t, 0.5); }, kNothingKept},
    {"WithoutKeepingRecordingsNothingIsWritten",
     [](MeetingControllerTest& t) {
         Settings::shared().setRecordMeetingAudio(false);
         meeting(t, 1.5);
     },
     concat({kRecording, {"state stopping", "status 正在整理会议记录…", "audio none"}, kEnded})},
    {"StartAndStopWhileStoppingChangeNothing",
     [](MeetingControllerTest& t) {
         t.start();
         ASSERT_TRUE(t.until(MeetingState::recording));
         t.stop();
         EXPECT_EQ(t.controller->state(), MeetingState::stopping);  // at once
         t.start();
         t.end();
         t.stop();
         (void)t.pump([] { return true; });
     },
     kNothingKept},
    {"ASessionThatCannotStartDiscardsTheRecorder",
     [](MeetingControllerTest& t) {
         t.platform.speech.channelFailure =
             SpeechError{SpeechError::Kind::modelUnusable, "decoder"};
         t.start();
         ASSERT_TRUE(t.pump([&] { return t.told().size() == 4; }));
         EXPECT_TRUE(t.log.contains("会议录音：会议没有开始，已丢弃"));
     },
     {"state starting", "state idle", "error 启动失败：语音模型无法加载（decoder）", kFailed}},
    {"StopWhileStartingEndsTheMeetingOnceStarted",
     [](MeetingControllerTest& t) {
         t.start();
         ASSERT_TRUE(t.until(MeetingState::starting));
         t.end();
         EXPECT_TRUE(t.platform.speech.channel(0).finalizeCalled());
         EXPECT_EQ(std::ranges::count(t.platform.sound.journal(), std::string("stop")), 2);
     },
     concat({{"state starting"}, kEnding, {"audio none"}, kEnded})},
    {"ARefusedMicrophoneIsAskedOnceMore",
     [](MeetingControllerTest& t) {
         startRefused(t);
         ASSERT_TRUE(t.pump([&] { return !t.told().empty(); }));
     },
     {"error " + std::string(MeetingRun::microphoneMessage), kFailed}},
    {"AccessGrantedWhenAskedAgainStarts",
     [](MeetingControllerTest& t) {
         startRefused(t);
         t.platform.sound.setMicrophoneAccess(SoundServer::authorized);
         ASSERT_TRUE(t.until(MeetingState::recording));
         t.end();
     },
     kNothingKept},
};

class MeetingRunSequence : public MeetingControllerTest,
                           public ::testing::WithParamInterface<Sequence> {};

TEST_P(MeetingRunSequence, ToldInOrder) {
    controller->show();
    GetParam().script(*this);
    EXPECT_EQ(told(), GetParam().told);
    EXPECT_TRUE(folders.savedFiles().empty());
    EXPECT_TRUE(folders.meetingFolders().empty());
}

INSTANTIATE_TEST_SUITE_P(Sequences, MeetingRunSequence, ::testing::ValuesIn(kSequences),
                         [](const auto& sequence) { return std::string(sequence.param.name); });

// Segments, levels and the start moment (only while recording), shown again by a reload,
// going on hidden; each block reaches its source's channel; the recording is uploaded.
TEST_F(MeetingControllerTest, WhileRecording) {
    controller->show();
    start();
    ASSERT_TRUE(until(MeetingState::recording));
    speak(1.5);
    window->view.delegate->didFinish();  // a load while recording shows it again
    controller->hide();                  // hidden, the meeting goes on
    platform.speech.channel(0).deliver(SpeechResult{"hello there", 0.5, 1, true});
    ASSERT_TRUE(pump([this] { return told().back() == "segment 现场 hello there"; }));
    ASSERT_FALSE(calls("onLevel").empty());
    EXPECT_GT(calls("onLevel").back()["mic"].get<double>(), 0);
    EXPECT_FALSE(platform.speech.channel(0).inputs().empty());
    EXPECT_TRUE(platform.speech.channel(1).inputs().empty());  // nothing on the system side
    end();
    EXPECT_EQ(told(), concat({kRecording,
                              {"state recording", "segment 现场 hello there"},
                              kEnding,
                              {"audio file-7 会议录音.m4a"},
                              kEnded}));
    for (const json& event : calls("onEvent")) {
        EXPECT_EQ(event.contains("startedAt"), event["state"] == "recording") << event.dump();
    }
    EXPECT_GT(calls("onEvent")[1]["startedAt"].get<double>(), 1.7e12);
    ASSERT_EQ(platform.audioCodecs.files().size(), 1U);
    EXPECT_GE(platform.audioCodecs.files()[0].samples.size(), 16000U);
}

TEST_F(MeetingControllerTest, PageMessagesWindowAndBootstrap) {
    post({{"action", "copyText"}, {"text", "纪要"}});
    EXPECT_EQ(platform.pasteboard.string(), std::optional<std::string>("纪要"));

    // openUrl: web pages and Notion's links only, no file, share or other handler.
    for (const json& url :
         {json(5), json("not a url"), json("https://example.com/a"), json("file:///etc/passwd"),
          json("javascript:alert(1)"), json("notion://www.notion.so/abc")}) {
        post({{"action", "openUrl"}, {"url", url}});
    }
    EXPECT_EQ(platform.workspace.opened(),
              (std::vector<std::string>{"https://example.com/a", "notion://www.notion.so/abc"}));

    // Anything else is ignored.
    post(json::array({"start"}));
    post({{"action", 3}});
    post({{"action", "Start"}});
    platform.queue.runUntilIdle();
    EXPECT_EQ(controller->state(), MeetingState::idle);
    EXPECT_TRUE(told().empty());
    EXPECT_TRUE(window->view.loads.empty());  // nothing before the first show

    // The self-test shows the window; with no page, its report is the time-out at 10 s.
    window->currentFrame = Rect{0, 0, 600, 640};
    std::optional<json> report;
    controller->runWebSelfTest([&](json result) { report = std::move(result); });
    ASSERT_EQ(window->view.loads, std::vector<std::string>{"http://127.0.0.1:8787/meeting"});
    EXPECT_EQ(window->view.lastTimeout, 20000ms);
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(platform.windows.activations, 1);
    EXPECT_EQ(window->currentFrame.x, 420);  // centred on the visible frame
    EXPECT_EQ(window->currentFrame.y, 117.5);
    ASSERT_EQ(window->view.scripts.size(), 3U);
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

    platform.queue.advance(9999ms);
    EXPECT_FALSE(report);
    platform.queue.advance(1ms);
    EXPECT_EQ(report, json({{"error", "超时：会议界面没有在 10 秒内加载完成"}}));

    // Toggling hides; showing again does not load again.
    controller->toggle();
    EXPECT_FALSE(window->visible);
    controller->toggle();
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(window->view.loads.size(), 1U);
    post({{"action", "hide"}});
    EXPECT_FALSE(window->visible);

    // A page that cannot load: told on the page, in the log and the status; no retry.
    window->view.delegate->didFailProvisional(
        NetworkError{NetworkError::Kind::cannotConnect, "Connection refused"});
    ASSERT_EQ(told().size(), 2U);
    EXPECT_TRUE(told()[0].starts_with("error 无法打开会议界面：未能连接到服务器")) << told()[0];
    EXPECT_TRUE(log.contains("会议记录：" + told()[0].substr(6)));
    EXPECT_EQ(told()[1], "status 会议记录出错");
    EXPECT_EQ(window->view.loads.size(), 1U);
}

}  // namespace
}  // namespace pagemate
