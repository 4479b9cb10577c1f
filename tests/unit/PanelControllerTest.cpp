// The assistant panel's window arithmetic and message handling on fake screens and a
// recording web view, on the virtual clock.

#include <gtest/gtest.h>

#include "base/Settings.h"
#include "harness/TestSupport.h"
#include "notion/NotionContextReader.h"
#include "notion/TextInsertion.h"
#include "platform/fake/FakePlatform.h"
#include "web/PanelController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class PanelControllerTest : public ::testing::Test {
  protected:
    PanelControllerTest()
        : panel(PanelController::create()), window(*platform.windows.panels.at(0)) {}

    // Whether the page was sent an event containing this text, since `from`.
    bool sent(const std::string& text, std::size_t from = 0) const {
        const auto& evaluated = window.view.evaluated;
        return std::any_of(
            evaluated.begin() + static_cast<std::ptrdiff_t>(from), evaluated.end(),
            [&](const std::string& script) { return script.find(text) != std::string::npos; });
    }

    testing::ScopedEnvironment server{"PGM_SERVER_URL", "http://127.0.0.1:9/"};
    fake::FakePlatform platform;
    testing::LogCapture log;
    std::shared_ptr<PanelController> panel;
    fake::FakePanelWindow& window;
};

TEST_F(PanelControllerTest, PlacementFloorsCapsAndSitsBelowTheTop) {
    const Rect tall{0, 0, 1440, 1000};
    EXPECT_EQ(PanelController::placement(tall, 200), (Rect{510, 1000 - 320 - 80, 420, 320}));
    EXPECT_EQ(PanelController::placement(tall, 600).maxY(), 1000 - 80);
    const Rect medium{100, 50, 1000, 900};
    EXPECT_EQ(PanelController::placement(medium, 2000).height, 820);
    const Rect low{0, 0, 800, 400};
    EXPECT_EQ(PanelController::placement(low, 320), (Rect{190, 40, 420, 320}));

    // show() places the panel on the screen under the mouse, else on the main screen.
    platform.windows.screenList = {Screen{{0, 0, 1440, 900}, {0, 0, 1440, 875}},
                                   Screen{{1440, 0, 1920, 1200}, {1440, 0, 1920, 1200}}};
    Settings::shared().setPanelHeight(500);
    platform.windows.mouse = {2000, 600};
    panel->show();
    EXPECT_EQ(window.frame(), (Rect{1440 + 960 - 210, 1200 - 500 - 96, 420, 500}));
    EXPECT_TRUE(window.visible);
    EXPECT_EQ(platform.windows.activations, 1);
    platform.windows.mouse = {-50, -50};
    panel->show();
    EXPECT_EQ(window.frame(), PanelController::placement({0, 0, 1440, 875}, 500));

    // No screen at all: the frame stays as it was, the panel still shows.
    const Rect before = window.frame();
    platform.windows.screenList.clear();
    panel->show();
    EXPECT_EQ(window.frame(), before);
    EXPECT_EQ(window.frontCount, 3);
    // Each show loads the page from the trimmed base with a 15 s time-out.
    EXPECT_EQ(window.view.loads, std::vector<std::string>(3, "http://127.0.0.1:9/panel"));
    EXPECT_EQ(window.view.lastTimeout, 15s);
}

TEST_F(PanelControllerTest, ResizeMessagesKeepTheTopEdgeAndStoreTheHeight) {
    window.visibleFrame = Rect{0, 0, 1440, 1000};
    window.currentFrame = Rect{500, 300, 420, 320};
    window.visible = true;
    Settings::shared().setPanelHeight(320);
    const auto resize = [&](const json& height) {
        panel->handleMessage({{"action", "resize"}, {"height", height}});
    };

    resize(100);
    resize(330);    // within 12 points of 320
    resize("600");  // not a number: 0
    EXPECT_EQ(window.currentFrame, (Rect{500, 300, 420, 320}));
    EXPECT_EQ(Settings::shared().panelHeight(), 320);

    resize(333);
    EXPECT_EQ(window.currentFrame, (Rect{500, 287, 420, 333}));
    EXPECT_EQ(Settings::shared().panelHeight(), 333);

    // Capped by the screen (visible height − 100) and by 900.
    resize(5000);
    EXPECT_EQ(window.currentFrame, (Rect{500, 620 - 900, 420, 900}));
    window.visibleFrame = Rect{0, 0, 1440, 600};
    resize(5000);
    EXPECT_EQ(window.currentFrame.height, 500);
    EXPECT_EQ(window.currentFrame.maxY(), 620);

    // Without a screen of its own the main screen counts; hidden panels do not resize.
    window.visibleFrame.reset();
    platform.windows.screenList = {Screen{{0, 0, 1440, 800}, {0, 0, 1440, 780}}};
    resize(700);
    EXPECT_EQ(window.currentFrame.height, 680);
    // No screen at all: nothing to size by, the panel and the stored height stay.
    platform.windows.screenList.clear();
    resize(400);
    EXPECT_EQ(window.currentFrame.height, 680);
    EXPECT_EQ(Settings::shared().panelHeight(), 680);
    window.visible = false;
    platform.windows.screenList = {Screen{{0, 0, 1440, 800}, {0, 0, 1440, 780}}};
    resize(400);
    EXPECT_EQ(window.currentFrame.height, 680);
    EXPECT_EQ(Settings::shared().panelHeight(), 680);
}

TEST_F(PanelControllerTest, InsertionFailuresComeBackAfterAFifthOfASecond) {
    window.visible = true;
    panel->handleMessage({{"action", "insertText"}, {"text", ""}});
    EXPECT_TRUE(log.messages().empty());

    // Notion is not running. The count is of characters as the user sees them.
    panel->handleMessage({{"action", "insertText"}, {"text", "结论👍🏽"}});
    EXPECT_EQ(log.messages(), std::vector<std::string>{"收到插入请求：3 字"});
    const int fronts = window.frontCount;
    platform.queue.advance(199ms);
    EXPECT_FALSE(sent("insertFailed"));
    EXPECT_EQ(window.frontCount, fronts);
    platform.queue.advance(1ms);
    EXPECT_TRUE(sent("\"type\":\"insertFailed\""));
    EXPECT_TRUE(sent("没有找到 Notion，请先打开 Notion 桌面版"));
    EXPECT_EQ(window.frontCount, fronts + 1);
    EXPECT_EQ(platform.windows.activations, 1);

    // Notion runs but the permission is missing: the panel hides, then comes back.
    const RunningApplication notion{42, "notion.id", "Notion"};
    platform.workspace.running = {RunningApplication{7, "org.other", "Other"}, notion};
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    const std::size_t mark = window.view.evaluated.size();
    panel->handleMessage({{"action", "insertText"}, {"text", "结论"}});
    EXPECT_FALSE(window.visible);
    EXPECT_TRUE(sent("\"type\":\"blur\"", mark));
    platform.queue.advance(200ms);
    EXPECT_TRUE(window.visible);
    EXPECT_TRUE(sent("缺少「辅助功能」权限", mark));
    EXPECT_TRUE(log.contains("插入失败：" + std::string(TextInsertion::permissionMessage)));

    // Trusted and in front: pasted, and the panel stays hidden.
    platform.accessibility.status = {};
    platform.workspace.frontmost = notion;
    const std::size_t pasted = window.view.evaluated.size();
    panel->handleMessage({{"action", "insertText"}, {"text", "结论"}});
    EXPECT_TRUE(sent("已插入到 Notion 光标处（粘贴）", pasted));
    EXPECT_EQ(platform.pasteboard.string(), "结论");
    platform.queue.advance(1s);
    EXPECT_FALSE(window.visible);
    EXPECT_TRUE(log.contains("插入成功（粘贴）"));
}

TEST_F(PanelControllerTest, PageActions) {
    std::vector<std::string> statuses;
    panel->onStatusChange = [&](const std::string& text) { statuses.push_back(text); };
    int settings = 0;
    panel->onOpenSettings = [&] { ++settings; };

    panel->handleMessage({{"action", "status"}, {"text", "思考中"}});
    panel->handleMessage({{"action", "status"}});
    panel->handleMessage({{"action", "Status"}, {"text", "ignored"}});
    panel->handleMessage({{"action", 3}});
    panel->handleMessage({{"action", "openSettings"}});
    EXPECT_EQ(statuses, (std::vector<std::string>{"思考中", ""}));
    EXPECT_EQ(settings, 1);

    panel->handleMessage({{"action", "copyText"}, {"text", "摘要"}});
    EXPECT_EQ(platform.pasteboard.string(), "摘要");
    EXPECT_TRUE(sent("\"type\":\"copied\""));

    panel->handleMessage({{"action", "openAccessibility"}});
    EXPECT_EQ(platform.accessibility.permissionRequests, 1);
    EXPECT_EQ(platform.accessibility.settingsOpened, 1);

    // "openWeb" opens the resolved base in the browser.
    panel->refreshBootstrap();
    panel->handleMessage({{"action", "openWeb"}});
    EXPECT_EQ(platform.workspace.opened(), std::vector<std::string>{"http://127.0.0.1:9"});

    window.visible = true;
    panel->handleMessage({{"action", "hide"}});
    EXPECT_FALSE(window.visible);
    panel->handleMessage({{"action", "refreshContext"}});
    EXPECT_EQ(statuses.back(), "未识别到 Notion 页面");
}

TEST_F(PanelControllerTest, WebSelfTestFinishesOnceOnItsTimings) {
    std::vector<json> reports;
    const auto record = [&](json report) { reports.push_back(std::move(report)); };
    WebViewDelegate& engine = *window.view.delegate;

    // A page that never finishes: the 12 s check reports it.
    panel->runWebSelfTest(record);
    EXPECT_TRUE(engine.allowResponse(500));  // error statuses pass while the test runs
    platform.queue.advance(11999ms);
    EXPECT_TRUE(reports.empty());
    platform.queue.advance(1ms);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], json({{"serverURL", Settings::shared().serverURL()},
                                {"bootstrapInjected", false},
                                {"loadedURL", "http://127.0.0.1:9/panel"},
                                {"error", "超时：页面在 12 秒内没有完成加载"},
                                {"currentURL", "http://127.0.0.1:9/panel"}}));

    // A finished load is sampled 1.5 s later; the engine here answers every script with
    // an error, which the report carries. The 12 s check then finds nothing to do.
    panel->runWebSelfTest(record);
    platform.queue.advance(3s);
    engine.didFinish();
    platform.queue.advance(1499ms);
    EXPECT_EQ(reports.size(), 1u);
    platform.queue.advance(1ms);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1]["error"], "no engine");
    EXPECT_EQ(reports[1]["panelApi"], json({{"error", "no engine"}}));
    EXPECT_TRUE(log.contains("面板 API 自检失败：no engine"));
    platform.queue.advance(20s);
    EXPECT_EQ(reports.size(), 2u);

    // A connection that cannot be made ends it at once.
    panel->runWebSelfTest(record);
    engine.didFailProvisional({NetworkError::Kind::cannotConnect, "Connection refused"});
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[2]["error"], "无法连接：未能连接到服务器。");
    EXPECT_TRUE(window.view.htmlLoads.empty());  // no failure page during the test
    platform.queue.advance(20s);
    EXPECT_EQ(reports.size(), 3u);

    // Outside the test an error status is vetoed for the failure page.
    EXPECT_FALSE(engine.allowResponse(500));
    platform.queue.runUntilIdle();
    ASSERT_EQ(window.view.htmlLoads.size(), 1u);
    EXPECT_NE(window.view.htmlLoads[0].find("服务器返回 HTTP 500。"), std::string::npos);
}

// The index of the first script sent since `from` that contains the text, or npos.
std::size_t indexOf(const std::vector<std::string>& scripts, const std::string& text,
                    std::size_t from = 0) {
    for (std::size_t index = from; index < scripts.size(); ++index) {
        if (scripts[index].find(text) != std::string::npos) {
            return index;
        }
    }
    return std::string::npos;
}

TEST_F(PanelControllerTest, ShowTellsThePageTheContextThenFocusAndToggleHidesWithBlur) {
    const RunningApplication notion{42, "notion.id", "Notion"};
    platform.workspace.frontmost = notion;
    platform.accessibility.windowTitles[42] = "Weekly Plan \u2013 Notion";
    // Notion answers Command-L with the page link.
    platform.keys.onKeyDown = [&](std::uint16_t key, std::uint64_t) {
        if (key == NotionContextReader::keyL) {
            platform.pasteboard.setString(
                "https://www.notion.so/Weekly-Plan-0123456789abcdef0123456789abcdef");
        }
    };

    panel->toggle();  // hidden: shows
    EXPECT_TRUE(window.visible);
    const auto& scripts = window.view.evaluated;
    const std::size_t context = indexOf(scripts, "PGM_HOST_BRIDGE.onContext(");
    const std::size_t focus = indexOf(scripts, R"(PGM_HOST_BRIDGE.onEvent({"type":"focus"}))");
    ASSERT_NE(context, std::string::npos);
    ASSERT_NE(focus, std::string::npos);
    EXPECT_LT(context, focus);
    EXPECT_NE(scripts[context].find(R"("pageId":"01234567-89ab-cdef-0123-456789abcdef")"),
              std::string::npos);
    EXPECT_NE(scripts[context].find(R"("selectedText":"")"), std::string::npos);
    // The show reads the link only: one Command-L, no Command-C.
    EXPECT_EQ(platform.keys.strokes,
              (std::vector<fake::ScriptedKeyEvents::Stroke>{
                  {NotionContextReader::keyL, true, KeyEvents::commandFlag},
                  {NotionContextReader::keyL, false, KeyEvents::commandFlag}}));
    EXPECT_EQ(panel->lastFrontmostApp(), notion);
    // The show reloads the page after the read: the page that loads is told it too.
    const std::size_t beforeLoad = scripts.size();
    window.view.delegate->didFinish();
    EXPECT_EQ(indexOf(scripts, scripts[context], beforeLoad), beforeLoad);

    const std::size_t beforeHide = scripts.size();
    panel->toggle();  // visible: hides
    EXPECT_FALSE(window.visible);
    EXPECT_EQ(indexOf(scripts, R"(onEvent({"type":"blur"}))", beforeHide), beforeHide);

    // The page's "hide" does the same.
    panel->show();
    const std::size_t beforeMessage = scripts.size();
    panel->handleMessage({{"action", "hide"}});
    EXPECT_FALSE(window.visible);
    EXPECT_NE(indexOf(scripts, R"(onEvent({"type":"blur"}))", beforeMessage), std::string::npos);

    // "refreshContext" asks for the selection too: Command-L, then Command-C.
    platform.keys.strokes.clear();
    panel->handleMessage({{"action", "refreshContext"}});
    ASSERT_EQ(platform.keys.strokes.size(), 4u);
    EXPECT_EQ(platform.keys.strokes[0].key, NotionContextReader::keyL);
    EXPECT_EQ(platform.keys.strokes[2].key, NotionContextReader::keyC);
}

TEST_F(PanelControllerTest, InsertionGoesToTheNotionTheUserCameFrom) {
    const RunningApplication first{42, "notion.id", "Notion"};
    const RunningApplication second{43, "notion.id", "Notion"};
    const RunningApplication other{7, "org.gnome.Terminal", "Terminal"};
    platform.workspace.running = {other, first, second};
    // Activation brings the asked application to the front.
    platform.workspace.onActivate = [&](const RunningApplication& application) {
        platform.workspace.frontmost = application;
    };

    // Called from the second Notion: the text goes there, not to the first one listed.
    platform.workspace.frontmost = second;
    panel->show();
    platform.workspace.frontmost = other;  // whatever took the front meanwhile
    panel->handleMessage({{"action", "insertText"}, {"text", "结论"}});
    ASSERT_EQ(platform.workspace.activations.size(), 1u);
    EXPECT_EQ(platform.workspace.activations[0], second);
    EXPECT_TRUE(log.contains("插入成功（粘贴）")) << log.text();

    // Called from elsewhere: the first running Notion.
    platform.workspace.frontmost = other;
    panel->show();
    platform.workspace.activations.clear();
    panel->handleMessage({{"action", "insertText"}, {"text", "结论"}});
    ASSERT_EQ(platform.workspace.activations.size(), 1u);
    EXPECT_EQ(platform.workspace.activations[0], first);
}

TEST_F(PanelControllerTest, LoadFailuresShowTheirPages) {
    WebViewDelegate& engine = *window.view.delegate;
    panel->show();
    engine.didFail({NetworkError::Kind::connectionLost, "Connection terminated unexpectedly"});
    ASSERT_EQ(window.view.htmlLoads.size(), 1u);
    EXPECT_NE(window.view.htmlLoads[0].find("打开失败：网络连接已中断。"), std::string::npos);
    EXPECT_NE(window.view.htmlLoads[0].find("http://127.0.0.1:9"), std::string::npos);

    engine.didFailProvisional({NetworkError::Kind::timedOut, "no response"});
    ASSERT_EQ(window.view.htmlLoads.size(), 2u);
    EXPECT_NE(window.view.htmlLoads[1].find("无法连接。请确认服务器已启动，或稍后重试。"),
              std::string::npos);
    EXPECT_TRUE(log.contains("页面加载失败：请求超时。"));
}

}  // namespace
}  // namespace pagemate
