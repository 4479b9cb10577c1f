// The assistant panel's window arithmetic and message handling on fake screens and a
// recording web view, on the virtual clock.

#include <gtest/gtest.h>

#include "base/Settings.h"
#include "harness/ScriptedNotion.h"
#include "notion/TextInsertion.h"
#include "web/PanelController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class PanelControllerTest : public testing::ScriptedNotionTest {
  protected:
    PanelControllerTest()
        : panel(PanelController::create()), window(*platform.windows.panels.at(0)) {}

    // The scripts sent to the page since `from` that contain this text.
    [[nodiscard]] std::size_t sent(const std::string& text, std::size_t from = 0) const {
        const auto& evaluated = window.view.evaluated;
        return static_cast<std::size_t>(std::count_if(
            evaluated.begin() + static_cast<std::ptrdiff_t>(from), evaluated.end(),
            [&](const std::string& script) { return script.find(text) != std::string::npos; }));
    }
    [[nodiscard]] std::size_t mark() const { return window.view.evaluated.size(); }

    std::shared_ptr<PanelController> panel;
    fake::FakePanelWindow& window;
};

TEST_F(PanelControllerTest, PlacementUnderTheMouseFloorsCapsAndSitsBelowTheTop) {
    const struct {
        Rect visible;
        double stored;
        Rect placed;
    } cases[] = {
        {{0, 0, 1440, 1000}, 200, {510, 600, 420, 320}},    // at least 320, 8 % below the top
        {{100, 50, 1000, 900}, 2000, {390, 58, 420, 820}},  // at most the screen less 80
        {{0, 0, 800, 400}, 320, {190, 40, 420, 320}},       // at least 40 below the top
    };
    for (const auto& [visible, stored, placed] : cases) {
        EXPECT_EQ(PanelController::placement(visible, stored), placed) << stored;
    }
    // show() places it on the screen under the mouse and loads with a 15 s time-out.
    platform.windows.screenList = {Screen{{0, 0, 1440, 900}, {0, 0, 1440, 875}},
                                   Screen{{1440, 0, 1920, 1200}, {1440, 0, 1920, 1200}}};
    Settings::shared().setPanelHeight(500);
    platform.windows.mouse = {2000, 600};
    panel->show();
    EXPECT_EQ(window.frame(), (Rect{1440 + 960 - 210, 1200 - 500 - 96, 420, 500}));
    EXPECT_EQ(window.view.loads, std::vector<std::string>{"http://127.0.0.1:9/panel"});
    EXPECT_EQ(window.view.lastTimeout, 15s);
}

TEST_F(PanelControllerTest, ResizeMessagesKeepTheTopEdgeAndStoreTheHeight) {
    window.currentFrame = Rect{500, 300, 420, 320};
    window.visible = true;
    Settings::shared().setPanelHeight(320);
    const std::vector<Screen> main{Screen{{0, 0, 1440, 800}, {0, 0, 1440, 780}}};
    const Rect tall{0, 0, 1440, 1200};
    const struct {
        std::optional<Rect> visible;  // the panel's screen
        std::vector<Screen> screens;
        json height;
        double shown;
    } cases[] = {
        {tall, main, 100, 320},                    // not below 320
        {tall, main, 330, 320},                    // within 12 points
        {tall, main, "600", 320},                  // not a number: 0
        {tall, main, 5000, 900},                   // at most 900
        {Rect{0, 0, 1440, 600}, main, 5000, 500},  // at most the screen less 100
        {std::nullopt, main, 700, 680},            // the main screen without one of its own
        {std::nullopt, {}, 400, 680},              // no screen at all: nothing to size by
    };
    for (const auto& [visible, screens, height, shown] : cases) {
        window.visibleFrame = visible;
        platform.windows.screenList = screens;
        panel->handleMessage({{"action", "resize"}, {"height", height}});
        EXPECT_EQ(window.currentFrame, (Rect{500, 620 - shown, 420, shown})) << height;
        EXPECT_EQ(Settings::shared().panelHeight(), shown) << height;
    }
}

TEST_F(PanelControllerTest, InsertionGoesToTheNotionTheUserCameFromOrComesBackFailed) {
    window.visible = true;
    // Notion is not running: the failure is told a fifth of a second later, the panel in
    // front again. The count is of characters as the user sees them.
    panel->handleMessage({{"action", "insertText"}, {"text", "结论👍🏽"}});
    EXPECT_EQ(log.messages(), std::vector<std::string>{"收到插入请求：3 字"});
    const int fronts = window.frontCount;
    platform.queue.advance(199ms);
    EXPECT_EQ(sent("insertFailed"), 0u);
    EXPECT_EQ(window.frontCount, fronts);
    platform.queue.advance(1ms);
    EXPECT_EQ(
        sent(R"({"message":"没有找到 Notion，请先打开 Notion 桌面版","type":"insertFailed"})"), 1u);
    EXPECT_EQ(window.frontCount, fronts + 1);
    EXPECT_EQ(platform.windows.activations, 1);

    // Notion runs but the permission is missing: the panel hides, then comes back.
    platform.workspace.running = {other, notion};
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    std::size_t from = mark();
    panel->handleMessage({{"action", "insertText"}, {"text", "结论"}});
    EXPECT_FALSE(window.visible);
    EXPECT_EQ(sent(R"(onEvent({"type":"blur"}))", from), 1u);
    platform.queue.advance(200ms);
    EXPECT_EQ(sent("缺少「辅助功能」权限", from), 1u);

    // Trusted: the text goes to the Notion the panel was called from, else to the first
    // running one, and the panel stays hidden.
    const RunningApplication second{43, "notion.id", "Notion"};
    platform.accessibility.status = {};
    platform.workspace.running = {other, notion, second};
    platform.workspace.onActivate = [&](const RunningApplication& application) {
        platform.workspace.frontmost = application;
    };
    for (const auto& [calledFrom, target] : {std::pair(second, second), std::pair(other, notion)}) {
        platform.workspace.frontmost = calledFrom;
        panel->show();
        platform.workspace.frontmost = other;  // whatever took the front meanwhile
        platform.workspace.activations.clear();
        from = mark();
        panel->handleMessage({{"action", "insertText"}, {"text", "结论"}});
        EXPECT_EQ(platform.workspace.activations, std::vector<RunningApplication>{target});
        EXPECT_EQ(sent(R"({"message":"已插入到 Notion 光标处（粘贴）","type":"inserted"})", from),
                  1u);
        platform.queue.advance(1s);
        EXPECT_FALSE(window.visible);
    }
}

// (Settings and the web workbench open from the failure page's buttons in PanelWebTest.)
TEST_F(PanelControllerTest, PageActions) {
    std::vector<std::string> statuses;
    panel->onStatusChange = [&](const std::string& text) { statuses.push_back(text); };
    window.visible = true;
    for (const json& message : std::vector<json>{{{"action", "status"}, {"text", "思考中"}},
                                                 {{"action", "status"}},
                                                 {{"action", "Status"}, {"text", "ignored"}},
                                                 {{"action", "copyText"}, {"text", "摘要"}},
                                                 {{"action", "openAccessibility"}},
                                                 {{"action", "hide"}}}) {
        panel->handleMessage(message);
    }
    EXPECT_EQ(statuses, (std::vector<std::string>{"思考中", ""}));
    EXPECT_EQ(platform.pasteboard.string(), "摘要");
    EXPECT_EQ(sent(R"(onEvent({"type":"copied"}))"), 1u);
    EXPECT_EQ(platform.accessibility.permissionRequests, 1);
    EXPECT_EQ(platform.accessibility.settingsOpened, 1);
    EXPECT_FALSE(window.visible);
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

    // A finished load is sampled 1.5 s later (here every script answers with an error,
    // which the report carries); the 12 s check then finds nothing to do.
    panel->runWebSelfTest(record);
    platform.queue.advance(3s);
    engine.didFinish();
    platform.queue.advance(1499ms);
    EXPECT_EQ(reports.size(), 1u);
    platform.queue.advance(1ms);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1]["panelApi"], json({{"error", "no engine"}}));
    platform.queue.advance(20s);
    EXPECT_EQ(reports.size(), 2u);

    // A connection that cannot be made ends it at once, with no failure page.
    panel->runWebSelfTest(record);
    engine.didFailProvisional({NetworkError::Kind::cannotConnect, "Connection refused"});
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[2]["error"], "无法连接：未能连接到服务器。");
    EXPECT_TRUE(window.view.htmlLoads.empty());

    // Outside the self-test an error status or a failed load shows the failure page.
    panel->show();
    EXPECT_TRUE(engine.allowResponse(399));
    EXPECT_FALSE(engine.allowResponse(400));
    platform.queue.runUntilIdle();
    engine.didFail({NetworkError::Kind::connectionLost, "Connection terminated unexpectedly"});
    ASSERT_EQ(window.view.htmlLoads.size(), 2u);
    EXPECT_NE(window.view.htmlLoads[0].find("服务器返回 HTTP 400。"), std::string::npos);
    EXPECT_NE(window.view.htmlLoads[1].find("打开失败：网络连接已中断。"), std::string::npos);
}

// (The context reaching the page at every person timing: NotionEngineTest.)
TEST_F(PanelControllerTest, ShowReadsOnlyTheLinkAndTheToggleHides) {
    platform.workspace.frontmost = notion;
    link = "https://www.notion.so/Weekly-Plan-" + testing::kPageId;
    panel->toggle();
    EXPECT_TRUE(window.visible);
    EXPECT_EQ(sent(std::string(R"("pageId":")") + testing::kDashedPageId), 1u);
    EXPECT_EQ(platform.keys.strokes, strokesOf({NotionContextReader::keyL}));
    panel->toggle();
    EXPECT_FALSE(window.visible);

    // "refreshContext" asks for the selection too: Command-L, then Command-C.
    platform.keys.strokes.clear();
    panel->handleMessage({{"action", "refreshContext"}});
    EXPECT_EQ(platform.keys.strokes,
              strokesOf({NotionContextReader::keyL, NotionContextReader::keyC}));
}

}  // namespace
}  // namespace pagemate
