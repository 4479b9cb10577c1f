// The meeting window's controller on fakes: what the real page's meeting (MeetingWebTest)
// and the program's page self-test (PageSelfTestModeTest) do not show. The run's
// sequence is MeetingRunTest's.

#include <gtest/gtest.h>

#include "base/Settings.h"
#include "harness/MeetingFolders.h"
#include "harness/TestSupport.h"
#include "meeting/MeetingSession.h"
#include "platform/fake/FakePlatform.h"
#include "web/MeetingController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// The arguments of the page calls of the bridge function `function`, in order.
std::vector<json> callsOf(const std::vector<std::string>& scripts, const std::string& function) {
    const std::string prefix = "window.PGM_MEETING_BRIDGE && window.PGM_MEETING_BRIDGE." +
                               function + " && window.PGM_MEETING_BRIDGE." + function + "(";
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
        controller->onStatusChange = [this](const std::string& text) { statuses.push_back(text); };
    }
    ~MeetingControllerTest() override {
        controller.reset();
        platform.queue.runUntilIdle();
    }

    void post(const json& message) { window->view.delegate->didReceiveMessage(message); }
    // Runs the main queue and the hand-run serial queues until the meeting is `state`.
    bool until(MeetingState state) {
        return platform.queue.runUntil(
            [&] {
                for (const auto& tasks : platform.serialQueues.made()) {
                    tasks->runAll();
                }
                return controller->state() == state;
            },
            10s);
    }
    [[nodiscard]] std::vector<json> calls(const std::string& function) const {
        return callsOf(window->view.evaluated, function);
    }
    [[nodiscard]] std::vector<json> events(const std::string& type) const {
        std::vector<json> found;
        for (const json& event : calls("onEvent")) {
            if (event["type"] == type) {
                found.push_back(event);
            }
        }
        return found;
    }

    testing::MeetingFolders folders;
    fake::FakePlatform platform;
    testing::LogCapture log;
    std::shared_ptr<MeetingController> controller = MeetingController::create();
    fake::FakePanelWindow* window = platform.windows.panels.at(0);
    std::vector<std::string> statuses;
};

// The start moment only while recording, a reload while recording, a meeting going on
// hidden, and failures (of the run, of the page's load) in the log, on the page and in
// the status.
TEST_F(MeetingControllerTest, TheRunAsThePageSeesIt) {
    controller->show();
    post({{"action", "start"}});
    ASSERT_TRUE(until(MeetingState::recording));
    window->view.delegate->didFinish();  // a load while recording shows it again
    controller->hide();                  // hidden, the meeting goes on
    post({{"action", "stop"}});
    ASSERT_TRUE(until(MeetingState::idle));

    std::vector<std::string> states;
    for (const json& event : events("state")) {
        states.push_back(event["state"]);
        EXPECT_EQ(event.contains("startedAt"), event["state"] == "recording") << event.dump();
    }
    EXPECT_EQ(states,
              (std::vector<std::string>{"starting", "recording", "recording", "stopping", "idle"}));
    EXPECT_GT(events("state")[1]["startedAt"].get<double>(), 1.7e12);

    platform.speech.availabilityState = SpeechRecognizer::Availability::noModel;
    post({{"action", "start"}});
    ASSERT_TRUE(platform.queue.runUntil(
        [&] {
            platform.serialQueues.latest("pagemate-meeting")->runAll();
            return !events("error").empty();
        },
        10s));
    EXPECT_EQ(events("error")[0]["message"], std::string(MeetingSession::noModelMessage));
    EXPECT_TRUE(log.contains("会议记录：" + std::string(MeetingSession::noModelMessage)));
    EXPECT_EQ(statuses.back(), "会议记录出错");

    statuses.clear();
    window->view.delegate->didFailProvisional(
        NetworkError{NetworkError::Kind::cannotConnect, "Connection refused"});
    ASSERT_EQ(events("error").size(), 2U);
    const std::string message = events("error")[1]["message"];
    EXPECT_TRUE(message.starts_with("无法打开会议界面：未能连接到服务器")) << message;
    EXPECT_TRUE(log.contains("会议记录：" + message));
    EXPECT_EQ(statuses, std::vector<std::string>{"会议记录出错"});
    EXPECT_EQ(window->view.loads.size(), 1U);  // no retry
}

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
    post({{"action", "hide"}});
    EXPECT_FALSE(window->visible);
}

TEST_F(MeetingControllerTest, PageMessages) {
    // resize: only above 200 and while visible, at least 400, at most the screen's
    // visible height minus 80, only for a change of more than 12 points.
    window->currentFrame = Rect{100, 100, 600, 640};
    window->visibleFrame = Rect{0, 0, 1440, 875};
    post({{"action", "resize"}, {"height", 300}});
    EXPECT_EQ(window->currentFrame.height, 640);  // hidden
    window->visible = true;
    for (const auto& [asked, height] : std::vector<std::pair<json, double>>{
             {150, 640}, {300, 400}, {5000, 795}, {783, 795}, {782, 782}, {"700", 782}}) {
        post({{"action", "resize"}, {"height", asked}});
        EXPECT_EQ(window->currentFrame.height, height) << asked;
        EXPECT_EQ(window->currentFrame.maxY(), 740);  // top edge kept
    }
    // Without a screen of the window, the main screen's.
    window->visibleFrame.reset();
    post({{"action", "resize"}, {"height", 300}});
    post({{"action", "resize"}, {"height", 5000}});
    EXPECT_EQ(window->currentFrame.height, 795);

    // copyText: the pasteboard holds the text, or an empty string.
    post({{"action", "copyText"}, {"text", "纪要"}});
    EXPECT_EQ(platform.pasteboard.string(), std::optional<std::string>("纪要"));
    post({{"action", "copyText"}, {"text", 5}});
    EXPECT_EQ(platform.pasteboard.string(), std::optional<std::string>(""));

    // openUrl: only a valid address as a string.
    // Web pages and Notion's links only: no file, share or other program's handler.
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
    EXPECT_TRUE(calls("onEvent").empty());
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

    // A page: sampled 1.2 s after it loaded.
    window->view.answer = [](const std::string&) {
        return fake::RecordingWebView::ScriptAnswer{json(R"({"title":"会议"})"), ""};
    };
    report.reset();
    controller->runWebSelfTest([&](json result) { report = std::move(result); });
    window->view.delegate->didFinish();
    platform.queue.advance(1199ms);
    EXPECT_FALSE(report);
    platform.queue.advance(1ms);
    platform.queue.runUntilIdle();
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["title"], "会议");
}

}  // namespace
}  // namespace pagemate
