// The quick bar's self-test: its time limit and its sample of the page.

#include "app/AppDelegate.h"
#include "unit/QuickBarFixture.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::QuickBarTest;

TEST_F(QuickBarTest, SelfTestEndsAtTenSecondsOrSamplesOneAndAFifthAfterTheLoad) {
    std::vector<json> reports;
    const auto record = [&](json report) { reports.push_back(std::move(report)); };
    WebViewDelegate& engine = *window->view.delegate;

    // A page that never finishes.
    bar->runWebSelfTest(record);
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(window->view.loads, std::vector<std::string>{"http://127.0.0.1:9/quick"});
    platform.queue.advance(9999ms);
    EXPECT_TRUE(reports.empty());
    platform.queue.advance(1ms);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], json({{"error", "超时：页面没有在 10 秒内加载完成"},
                                {"selection", ""},
                                {"pageTitle", ""},
                                {"pageId", ""},
                                {"accessibilityTrusted", true}}));

    // A finished load is sampled 1.2 s later: the probe, then the configuration fetch.
    window->view.answer = [](const std::string& script) {
        if (script.find("PGM_QUICK_BRIDGE") != std::string::npos) {
            return fake::RecordingWebView::ScriptAnswer{
                json(R"({"title":"Quick","hasInput":true,"bridge":"object"})"), ""};
        }
        if (script.find("/api/config") != std::string::npos) {
            return fake::RecordingWebView::ScriptAnswer{json({{"status", 200}}), ""};
        }
        return fake::RecordingWebView::ScriptAnswer{std::nullopt, "unexpected script"};
    };
    notionInFront("Weekly Plan \u2013 Notion");
    selection = "字";
    bar->runWebSelfTest(record);
    platform.queue.advance(3s);
    engine.didFinish();
    platform.queue.advance(1199ms);
    EXPECT_TRUE(window->view.asyncCalls.empty());
    EXPECT_EQ(reports.size(), 1u);
    platform.queue.advance(1ms);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1], json({{"title", "Quick"},
                                {"hasInput", true},
                                {"bridge", "object"},
                                {"api", {{"status", 200}}},
                                {"selection", "字"},
                                {"pageTitle", "Weekly Plan"},
                                {"pageId", ""},
                                {"accessibilityTrusted", true}}));
    EXPECT_NE(window->view.asyncCalls.at(0).find("x-app-password"), std::string::npos);
    platform.queue.advance(20s);  // its 10 s check finds it done
    EXPECT_EQ(reports.size(), 2u);

    // An engine that cannot run the probe: its error; no "api" without a map.
    window->view.answer = [](const std::string&) {
        return fake::RecordingWebView::ScriptAnswer{std::nullopt, "no engine"};
    };
    bar->runWebSelfTest(record);
    engine.didFinish();
    platform.queue.advance(1200ms);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[2]["error"], "no engine");
    EXPECT_FALSE(reports[2].contains("api"));

    // A value that is no JSON text, without an error.
    window->view.answer = [](const std::string&) {
        return fake::RecordingWebView::ScriptAnswer{json(5), ""};
    };
    bar->runWebSelfTest(record);
    engine.didFinish();
    platform.queue.advance(1200ms);
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[3]["error"], "无法读取页面状态");

    // A load outside the self-test samples nothing.
    engine.didFinish();
    platform.queue.advance(20s);
    EXPECT_EQ(reports.size(), 4u);
}

// What start-up gives the quick bar: the panel for its drafts, the status line, the
// clicks, and the menu's and hot key's toggle.
TEST(QuickBarStartup, StartUpWiresTheBarToThePanelAndTheStatusLine) {
    const testing::ScopedEnvironment noServer("PGM_SERVER_URL", nullptr);
    fake::FakePlatform platform;
    const testing::LogCapture log;
    platform.windows.screenList = {Screen{{0, 0, 1440, 900}, {0, 0, 1440, 875}}};
    const auto app = AppDelegate::create({"/usr/bin/pagemate"}, {});
    app->panelResolverConfig.primaryBase = [] { return std::string("http://127.0.0.1:1"); };
    app->panelResolverConfig.localBase = "http://127.0.0.1:1";
    app->applicationDidFinishLaunching();
    QuickBarController* bar = app->quickBar();
    ASSERT_NE(bar, nullptr);
    fake::FakePanelWindow& window = *platform.windows.quickBars.at(0);
    EXPECT_EQ(platform.windows.mouseUpObserverSets, 1);

    app->toggleQuickBar();
    EXPECT_TRUE(window.visible);
    EXPECT_EQ(window.currentFrame, (Rect{868, 805, 560, 58}));  // no status-item frame
    app->toggleQuickBar();
    EXPECT_FALSE(window.visible);

    // Once the tray host has said where the icon is, the bar hangs under it.
    platform.statusBar.items.at(0)->frame = Rect{700, 876, 24, 24};
    app->toggleQuickBar();
    EXPECT_EQ(window.currentFrame, (Rect{432, 812, 560, 58}));
    app->toggleQuickBar();

    bar->handleMessage({{"action", "status"}, {"text", "改写中"}});
    EXPECT_EQ(app->statusLine(), "改写中");

    bar->handleMessage({{"action", "expand"}, {"draft", {{"draft", "写到一半"}}}});
    EXPECT_TRUE(log.contains("快速条 → 展开完整面板"));
    EXPECT_TRUE(app->panelController()->window().isVisible());
    EXPECT_EQ(app->panelController()->pendingDraft(), "写到一半");
}

}  // namespace
}  // namespace pagemate
