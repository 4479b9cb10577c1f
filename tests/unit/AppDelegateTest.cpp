// The program's start-up on the fakes and the virtual clock: the status menu's commands,
// the accessibility watch, its time-outs and delays as configured (nothing injected).

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>

#include "app/AppDelegate.h"
#include "app/HistoryCommands.h"
#include "base/Settings.h"
#include "harness/MeetingFolders.h"
#include "harness/TestSupport.h"
#include "notion/NotionContextReader.h"
#include "platform/fake/FakePlatform.h"
#include "web/PanelController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

class StartupTest : public ::testing::Test {
  protected:
    // A normal start, nothing listening (port 1), once resolution and health check end.
    std::shared_ptr<AppDelegate> launch() {
        auto app = AppDelegate::create({"/usr/bin/pagemate"});
        app->panelResolverConfig.primaryBase = [] { return std::string("http://127.0.0.1:1"); };
        app->panelResolverConfig.localBase = "http://127.0.0.1:1";
        app->applicationDidFinishLaunching();
        EXPECT_TRUE(platform.queue.runUntil(
            [&] { return platform.statusBar.items.back()->statusRows.size() >= 3; }, 5s));
        return app;
    }
    std::size_t count(const std::string& prefix) const {
        return static_cast<std::size_t>(std::ranges::count_if(
            log.messages(), [&](const std::string& line) { return line.starts_with(prefix); }));
    }
    // Permission events the panel's page was sent.
    std::size_t permissionEvents() const {
        return static_cast<std::size_t>(std::ranges::count_if(
            platform.windows.panels.at(0)->view.evaluated, [](const std::string& s) {
                return s.find(R"(onEvent({"trusted":true,"type":"permission"}))") !=
                       std::string::npos;
            }));
    }

    const testing::ScopedEnvironment noServer{"PGM_SERVER_URL", nullptr};
    fake::FakePlatform platform;
    testing::LogCapture log;
};

using ConfiguredTimings = StartupTest;
using AccessibilityWatchTest = StartupTest;
using StatusMenuTest = StartupTest;

// Resolution (the primary refused, then the local service), its health check, then the
// history commands: each request's time-out.
TEST_F(ConfiguredTimings, RequestTimeouts) {
    Settings::shared().setRuntimeBaseURL("");
    const auto panel = PanelController::create();
    bool checked = false;
    panel->resolveServer(
        [&](const std::string&) { panel->checkHealth([&](bool) { checked = true; }); });
    ASSERT_TRUE(platform.queue.runUntil([&] { return checked; }, 5s));
    HistoryCommands::openHistory();
    HistoryCommands::syncHistoryNow({});
    ASSERT_TRUE(platform.queue.runUntil([&] { return platform.http.requests().size() == 5; }, 5s));
    std::vector<std::chrono::milliseconds> timeouts;
    for (const HttpRequest& request : platform.http.requests()) {
        timeouts.push_back(request.timeout);
    }
    EXPECT_EQ(timeouts, (std::vector<std::chrono::milliseconds>{6s, 2s, 4s, 20s, 300s}));
}

// The run modes' start-up delays. They write the program's fixed report and log paths'
// neighbours: they run under the program-log lock (see tests/CMakeLists.txt).
TEST_F(ConfiguredTimings, ProgramModesStartAfterTheirDelays) {
    using Started = std::function<bool(fake::FakePanelWindow & panel, fake::FakePanelWindow & bar)>;
    const std::vector<std::tuple<const char*, std::chrono::milliseconds, Started>> cases = {
        {"--show-panel", 1s, [](auto& panel, auto&) { return panel.visible; }},
        {"--quicktest", 2s, [](auto&, auto& bar) { return bar.visible; }},
        // The panel's web self-test starts by installing the page's error capture.
        {"--paneltest", 500ms,
         [](auto& panel, auto&) {
             return std::ranges::any_of(panel.view.scripts, [](const std::string& script) {
                 return script.find("__PGM_ERRORS") != std::string::npos;
             });
         }},
    };
    for (const auto& [flag, delay, started] : cases) {
        const std::size_t panels = platform.windows.panels.size();
        const std::size_t bars = platform.windows.quickBars.size();
        const auto app = AppDelegate::create({"/usr/bin/pagemate", flag});
        app->applicationDidFinishLaunching();
        auto& panel = *platform.windows.panels.at(panels);
        auto& bar = *platform.windows.quickBars.at(bars);
        platform.queue.advance(delay - 1ms);
        EXPECT_FALSE(started(panel, bar)) << flag;
        platform.queue.advance(1ms);
        EXPECT_TRUE(started(panel, bar)) << flag;
    }
}

TEST_F(AccessibilityWatchTest, GrantNoticedAtTheNextCheckAndToldToThePageOnce) {
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    const auto app = launch();
    // The prompt comes 1.5 s after start.
    platform.queue.advance(1499ms);
    EXPECT_EQ(platform.accessibility.permissionRequests, 0);
    platform.queue.advance(1ms);
    EXPECT_EQ(platform.accessibility.permissionRequests, 1);
    // Granted at 5 s: the checks at 2 s and 4 s miss it, the one at 6 s sees it.
    platform.queue.advance(3500ms);
    platform.accessibility.status = {};
    platform.queue.advance(999ms);
    EXPECT_EQ(permissionEvents(), 0u);
    platform.queue.advance(1ms);
    EXPECT_TRUE(log.contains("辅助功能权限：已生效，无需重启"));
    // The menu follows at once: a tray has no moment of its own to ask.
    EXPECT_NE(platform.statusBar.items.at(0)->item("✓ 辅助功能权限已授权"), nullptr);
    // And the watch has ended.
    platform.queue.advance(200s);
    EXPECT_EQ(count("辅助功能权限："), 1u);
    EXPECT_EQ(permissionEvents(), 1u);
}

TEST_F(AccessibilityWatchTest, NeverGrantedGivesUpOnceAfterNinetySeconds) {
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    const auto app = launch();
    const int queriesAtLaunch = platform.accessibility.statusQueries;
    platform.queue.advance(89999ms);
    EXPECT_EQ(platform.accessibility.statusQueries - queriesAtLaunch, 44);  // every 2 s
    EXPECT_EQ(count("辅助功能权限：等待 "), 0u);
    platform.queue.advance(1ms);
    EXPECT_TRUE(log.contains(
        "辅助功能权限：等待 90 "
        "秒仍未生效。若桌面设置里的辅助功能（无障碍）开关已经打开，请确认辅助功能总线"
        "（at-spi2-core）正在运行，再重新启动 Notion：它只在启动时连上辅助功能总线。"));
    // No checks after: granting now is not noticed.
    const int queries = platform.accessibility.statusQueries;
    platform.accessibility.status = {};
    platform.queue.advance(60s);
    EXPECT_EQ(platform.accessibility.statusQueries, queries);
}

// The menu's entries as a tray host reads them: tests/program/tray.sh; here, what they do.
TEST_F(StatusMenuTest, EachCommandDoesWhatItSays) {
    const auto app = launch();
    fake::RecordingStatusItem& item = *platform.statusBar.items.at(0);
    // Without the permission, the permission row asks for it; the rebuild comes with the
    // next change.
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    app->rebuildMenu();
    const auto choose = [&](const std::string& title) {
        const MenuItem* entry = item.item(title);
        ASSERT_TRUE(entry != nullptr && entry->enabled && entry->action) << title;
        entry->action();
    };
    choose("⚠️ 授予辅助功能权限（插入/读取页面需要）…");
    EXPECT_EQ(platform.accessibility.permissionRequests, 1);
    choose("打开权限设置…");
    EXPECT_EQ(platform.accessibility.settingsOpened, 2);

    fake::FakePanelWindow& panel = *platform.windows.panels.at(0);
    fake::RecordingSettingsWindow& settings = *platform.windows.settingsWindows.at(0);
    const testing::MeetingFolders folders;
    platform.accessibility.status = {};  // granted
    platform.workspace.frontmost = RunningApplication{42, "notion.id", "Notion"};
    platform.keys.strokes.clear();
    const std::vector<std::pair<std::string, std::function<bool()>>> commands = {
        // With the panel hidden it shows it, then asks for the selection too (Ctrl-L, Ctrl-C).
        {"读取当前 Notion 页面",
         [&] {
             return panel.visible && platform.keys.strokes.at(4).key == NotionContextReader::keyC;
         }},
        {"打开大窗口（对话建页面）",
         [&] { return platform.windows.documentWindows.at(0)->visible; }},
        {"会议记录（本地转写）", [&] { return platform.windows.panels.at(1)->visible; }},
        {"快速输入（就地改写）", [&] { return platform.windows.quickBars.at(0)->visible; }},
        {"设置…", [&] { return settings.visible; }},
        {"打开网页工作台",
         [&] { return platform.workspace.opened().back() == "http://127.0.0.1:4310"; }},
        {"打开录音文件夹",
         [&] { return platform.workspace.openedFiles().back() == folders.recordings(); }},
        {"退出", [&] { return platform.application.terminateCount == 1; }},
    };
    for (const auto& [title, done] : commands) {
        choose(title);
        EXPECT_TRUE(done()) << title;
    }
    // The page's status text shows in the status row; saving the settings makes the panel
    // resolve again and reload, the row saying so.
    app->panelController()->handleMessage({{"action", "status"}, {"text", "思考中"}});
    EXPECT_EQ(item.menu[7].title, "状态：思考中");
    const std::size_t loads = panel.view.loads.size();
    settings.clickSave();
    EXPECT_EQ(std::ranges::count(item.statusRows, "状态：设置已更新"), 1);
    EXPECT_TRUE(platform.queue.runUntil([&] { return panel.view.loads.size() > loads; }, 5s));
}

}  // namespace
}  // namespace pagemate
