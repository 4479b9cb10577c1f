// The quick bar on fake screens, a scripted Notion and a recording web view, on the
// virtual clock.

#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "base/Settings.h"
#include "harness/ScriptedNotion.h"
#include "notion/TextInsertion.h"
#include "web/QuickBarController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::kPageId;
namespace Reader = NotionContextReader;

class QuickBarTest : public testing::ScriptedNotionTest {
  protected:
    QuickBarTest() {
        Settings::shared().setRuntimeBaseURL("");
        platform.windows.screenList = {Screen{{0, 0, 1440, 900}, {0, 0, 1440, 875}}};
        bar = QuickBarController::create();
        window = platform.windows.quickBars.at(0);
        platform.accessibility.windowTitles[notion.pid] = "Weekly Plan \u2013 Notion";
    }

    // The bootstrap object the page gets at its next load.
    [[nodiscard]] json bootstrap() const {
        const std::string prefix = "window.__PGM_BOOTSTRAP__ = ";
        const std::string& script = window->view.scripts.back();
        EXPECT_TRUE(script.starts_with(prefix)) << script;
        return json::parse(script.substr(prefix.size(), script.size() - prefix.size() - 1));
    }
    // The arguments of the page's bridge calls of this function, since `from`.
    [[nodiscard]] std::vector<json> calls(const std::string& function, std::size_t from) const {
        const std::string call = "window.PGM_QUICK_BRIDGE." + function;
        const std::string prefix = "window.PGM_QUICK_BRIDGE && " + call + " && " + call + "(";
        std::vector<json> found;
        for (std::size_t index = from; index < window->view.evaluated.size(); ++index) {
            const std::string& script = window->view.evaluated[index];
            if (script.starts_with(prefix)) {
                found.push_back(
                    json::parse(script.substr(prefix.size(), script.size() - prefix.size() - 2)));
            }
        }
        return found;
    }
    [[nodiscard]] std::size_t mark() const { return window->view.evaluated.size(); }

    std::shared_ptr<QuickBarController> bar;
    fake::FakePanelWindow* window = nullptr;
};

TEST_F(QuickBarTest, CaptureTellsThePageTheSelectionOrElseThePage) {
    Settings::shared().setModel("deepseek-chat");
    platform.secrets.add("com.fernwick.pagemate", "app-password", "pw");
    platform.workspace.frontmost = notion;
    selection = "  结论👍🏽 \n";
    link = "https://www.notion.so/Other-" + kPageId;
    bar->show();
    EXPECT_EQ(bootstrap(),
              R"({"serverUrl": "http://127.0.0.1:9", "password": "pw", "model": "deepseek-chat",
        "selection": "结论👍🏽", "selectionChars": 3, "pageId": "", "pageTitle": "Weekly Plan",
        "pageUrl": "", "appName": "Notion"})"_json);
    // Once loaded: the bootstrap's context less the service and the address, then focus.
    const std::size_t from = mark();
    window->view.delegate->didFinish();
    EXPECT_EQ(json(calls("onContext", from)),
              R"([{"selection": "结论👍🏽", "selectionChars": 3,
        "pageId": "", "pageTitle": "Weekly Plan", "appName": "Notion"}])"_json);
    EXPECT_EQ(calls("onEvent", from), std::vector<json>{R"({"type": "focus"})"_json});

    // Without a selection Control-C waits its 0.35 s (in 20 ms polls), then the link names
    // the page; without a link, the window's title does.
    selection.reset();
    link = "https://www.notion.so/Weekly-Plan-" + kPageId + "?pvs=4";
    platform.accessibility.windowTitles[notion.pid] = "Draft \u2013 Notion";
    keyTimes.clear();
    bar->show();
    EXPECT_EQ(bootstrap()["pageId"], testing::kDashedPageId);
    EXPECT_EQ(bootstrap()["pageUrl"], *link);
    ASSERT_EQ(keyTimes.size(), 2u);
    EXPECT_EQ(keyTimes[1].first, Reader::keyL);
    EXPECT_GE(keyTimes[1].second - keyTimes[0].second, 20ms + 350ms);
    EXPECT_LT(keyTimes[1].second - keyTimes[0].second, 20ms + 350ms + 20ms);
    link.reset();
    bar->show();
    EXPECT_EQ(bootstrap()["pageTitle"], "Draft");
}

TEST_F(QuickBarTest, PageMessagesAndWhatTheyDo) {
    std::vector<std::string> drafts;
    std::vector<std::string> statuses;
    bar->show();
    bar->onStatusChange = [&](const std::string& text) { statuses.push_back(text); };
    bar->onExpand = [&](const std::string& draft) { drafts.push_back(draft); };
    const json failed = R"([{"type": "applyFailed", "message": "没有可写回的内容"}])"_json;
    const struct {
        const char* message;
        json events;
        bool visible;
    } cases[] = {
        {R"({"action": "Apply"})", json::array(), true},  // not a message: ignored
        {R"({"action": "status", "text": "思考中"})", json::array(), true},
        {R"({"action": "status", "text": 7})", json::array(), true},
        {R"({"action": "apply", "text": 5})", failed, true},
        {R"({"action": "expand", "draft": "平的草稿"})", json::array(), false},
        {R"({"action": "expand", "draft": {"draft": "嵌套的草稿"}})", json::array(), false},
        {R"({"action": "hide"})", json::array(), false},
    };
    for (const auto& [message, events, visible] : cases) {
        window->visible = true;
        const std::size_t from = mark();
        bar->handleMessage(json::parse(message));
        EXPECT_EQ(json(calls("onEvent", from)), events) << message;
        EXPECT_EQ(window->visible, visible) << message;
    }
    EXPECT_EQ(statuses, (std::vector<std::string>{"思考中", ""}));
    EXPECT_EQ(drafts, (std::vector<std::string>{"平的草稿", "嵌套的草稿"}));
    EXPECT_EQ(platform.windows.activations, 1);  // none of these activated the program
}

// (Writing into the Notion it was called on, in a real editor: NotionEngineTest.)
TEST_F(QuickBarTest, ApplyComesBackFailedWithoutNotionOrThePermission) {
    const auto apply = [&] {
        const std::size_t from = mark();
        bar->handleMessage({{"action", "apply"}, {"text", "新的文字"}});
        return from;
    };
    // Notion has quit by the time of "apply": told at once, the bar stays.
    platform.workspace.frontmost = notion;
    bar->show();
    platform.workspace.running = {other};
    EXPECT_EQ(json(calls("onEvent", apply())),
              R"([{"type": "applyFailed", "message": "没有找到 Notion"}])"_json);
    EXPECT_TRUE(window->visible);

    // The permission missing: hidden, then back in front a fifth of a second later.
    platform.workspace.running = {other, notion};
    const int activations = platform.windows.activations;
    const int fronts = window->frontCount;
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    const std::size_t from = apply();
    EXPECT_FALSE(window->visible);
    platform.queue.advance(199ms);
    EXPECT_FALSE(window->visible);
    EXPECT_TRUE(calls("onEvent", from).empty());
    platform.queue.advance(1ms);
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(window->frontCount, fronts + 1);
    EXPECT_EQ(platform.windows.activations, activations);  // not activated again
    const json failed = {{"type", "applyFailed"},
                         {"message", std::string(TextInsertion::permissionMessage)}};
    EXPECT_EQ(calls("onEvent", from), std::vector<json>{failed});
    // A controller gone within the 0.2 s is left alone.
    apply();
    bar.reset();
    platform.queue.advance(1s);
}

TEST_F(QuickBarTest, RecaptureGoesBackToTheTargetOnItsTimings) {
    platform.workspace.running = {other, notion};
    platform.workspace.frontmost = notion;
    link = "https://www.notion.so/Weekly-Plan-" + kPageId;
    bar->show();

    // The bar has the focus; Notion will not come to the front. Activation waits its
    // 1.0 s, then 150 ms, then Control-C waits its 0.4 s; the page id is not refreshed.
    std::vector<bool> visibleAtKey;
    onKey = [&] { visibleAtKey.push_back(window->visible); };
    platform.workspace.frontmost = other;
    platform.accessibility.windowTitles[notion.pid] = "Renamed \u2013 Notion";
    keyTimes.clear();
    const int activations = platform.windows.activations;
    const std::size_t from = mark();
    const auto start = platform.queue.now();
    bar->handleMessage({{"action", "recapture"}});
    ASSERT_EQ(keyTimes.size(), 1u);
    EXPECT_EQ(keyTimes[0].first, Reader::keyC);
    EXPECT_EQ(keyTimes[0].second - start, 1000ms + 150ms);
    EXPECT_EQ(visibleAtKey, std::vector<bool>{false});
    EXPECT_EQ(platform.queue.now() - start, 1000ms + 150ms + 20ms + 400ms);
    EXPECT_EQ(platform.workspace.activations.back(), notion);
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(platform.windows.activations, activations + 1);
    EXPECT_EQ(json(calls("onContext", from)), R"([{"selection": "", "selectionChars": 0,
        "pageId": "01234567-89ab-cdef-0123-456789abcdef", "pageTitle": "Renamed", "appName": "Notion"}])"_json);
    EXPECT_EQ(log.messages().back(), "快速条：重新捕获，选中 0 字");
}

TEST_F(QuickBarTest, PlacementByTheLastClickOrUnderTheStatusItem) {
    // show(): clicks come from the window system once tracking has started, and only then.
    platform.windows.screenList.push_back(Screen{{1440, 0, 1920, 1200}, {1440, 40, 1920, 1160}});
    bar->statusItemFrame = [] { return std::optional(Rect{1300, 875, 24, 25}); };
    const Rect underItem{872, 811, 560, 58};
    platform.windows.mouseUp(1470, 600);
    bar->show();
    EXPECT_EQ(window->currentFrame, underItem);
    bar->startTrackingCursor();
    platform.windows.mouseUp(1470, 600);
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{1448, 532, 560, 58}));  // on the second screen
    bar->noteMouseUp(1470, 600);
    Settings::shared().setQuickBarFollowsCursor(false);
    bar->show();
    EXPECT_EQ(window->currentFrame, underItem);
    bar.reset();  // a click reported after the controller has gone reaches nothing
    platform.windows.mouseUp(10, 10);
}

TEST_F(QuickBarTest, ResizeKeepsTheTopEdgeWithinLimits) {
    window->currentFrame = Rect{100, 500, 560, 58};
    const struct {
        json height;
        double shown;  // the bar's height after the message
    } cases[] = {
        {30, 58},      // not above 30: ignored, though 54 would be a change
        {40, 54},      // at least 54
        {56, 54},      // within 2 points
        {"300", 54},   // not a number: 0
        {400, 180},    // at most 180
        {178.5, 180},  // within 2 points
        {57, 57},
    };
    for (const auto& [height, shown] : cases) {
        bar->handleMessage({{"action", "resize"}, {"height", height}});
        EXPECT_EQ(window->currentFrame, (Rect{100, 558 - shown, 560, shown})) << height;
    }
    bar->show();  // later shows place the bar at its current height
    EXPECT_EQ(window->currentFrame, (Rect{1440 - 572, 875 - 57 - 12, 560, 57}));
}

TEST_F(QuickBarTest, SelfTestEndsAtTenSecondsOrSamplesOneAndAFifthAfterTheLoad) {
    std::vector<json> reports;
    const auto record = [&](json report) { reports.push_back(std::move(report)); };
    bar->runWebSelfTest(record);  // a page that never finishes
    EXPECT_EQ(window->view.loads, std::vector<std::string>{"http://127.0.0.1:9/quick"});
    platform.queue.advance(9999ms);
    EXPECT_TRUE(reports.empty());
    platform.queue.advance(1ms);
    EXPECT_EQ(json(reports), R"([{"error": "超时：页面没有在 10 秒内加载完成", "selection": "",
        "pageTitle": "", "pageId": "", "accessibilityTrusted": true}])"_json);

    // A finished load is sampled 1.2 s later, with what the bar captured. (What the page
    // and the service give the report: PageSelfTestModeTest.)
    platform.workspace.frontmost = notion;
    selection = "字";
    bar->runWebSelfTest(record);
    platform.queue.advance(3s);
    window->view.delegate->didFinish();
    platform.queue.advance(1199ms);
    EXPECT_EQ(reports.size(), 1u);
    platform.queue.advance(1ms);
    EXPECT_EQ(reports.at(1)["selection"], "字");
    platform.queue.advance(20s);         // its 10 s check finds it done
    window->view.delegate->didFinish();  // and a load outside the self-test samples nothing
    platform.queue.advance(20s);
    EXPECT_EQ(reports.size(), 2u);
}

// What start-up gives the bar: the status item's place, the status line, the panel.
TEST_F(QuickBarTest, StartUpWiresTheBarToThePanelAndTheStatusLine) {
    const auto app = AppDelegate::create({"/usr/bin/pagemate"}, {});
    app->panelResolverConfig.primaryBase = [] { return std::string("http://127.0.0.1:1"); };
    app->panelResolverConfig.localBase = "http://127.0.0.1:1";
    app->applicationDidFinishLaunching();
    platform.statusBar.items.at(0)->frame = Rect{700, 876, 24, 24};
    app->toggleQuickBar();
    EXPECT_EQ(platform.windows.quickBars.at(1)->currentFrame, (Rect{432, 812, 560, 58}));
    app->quickBar()->handleMessage({{"action", "status"}, {"text", "改写中"}});
    EXPECT_EQ(app->statusLine(), "改写中");
    app->quickBar()->handleMessage({{"action", "expand"}, {"draft", "写到一半"}});
    EXPECT_EQ(app->panelController()->pendingDraft(), "写到一半");
}

}  // namespace
}  // namespace pagemate
