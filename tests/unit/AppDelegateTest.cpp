// The program's start-up on the fakes and the virtual clock: its run modes, the status
// menu and its commands, the accessibility watch, and its own time-outs and delays read
// off what it does with its standard configuration (no value injected by the test).

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>

#include "app/AppDelegate.h"
#include "app/HistoryCommands.h"
#include "app/RunModes.h"
#include "harness/MeetingFolders.h"
#include "harness/TestSupport.h"
#include "notion/NotionContextReader.h"
#include "platform/UnavailableWindowSystem.h"
#include "platform/fake/FakePlatform.h"
#include "web/PanelController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> args(std::initializer_list<const char*> rest) {
    std::vector<std::string> result{"/usr/bin/pagemate"};
    result.insert(result.end(), rest.begin(), rest.end());
    return result;
}

class StartupTest : public ::testing::Test {
  protected:
    // A delegate for which nothing listens on the service's addresses (port 1):
    // resolution ends without touching the network.
    std::shared_ptr<AppDelegate> delegate(std::vector<std::string> arguments,
                                          LaunchModes modes = {}) {
        auto created = AppDelegate::create(std::move(arguments), std::move(modes));
        created->panelResolverConfig.primaryBase = [] { return std::string("http://127.0.0.1:1"); };
        created->panelResolverConfig.localBase = "http://127.0.0.1:1";
        return created;
    }
    // A normal start, once service resolution and its health check have ended (their
    // status rows rebuild the menu, which reads the permission too).
    std::shared_ptr<AppDelegate> launch() {
        auto app = delegate(args({}));
        app->applicationDidFinishLaunching();
        EXPECT_TRUE(platform.queue.runUntil(
            [&] { return platform.statusBar.items.back()->statusRows.size() >= 3; }, 5s));
        return app;
    }
    std::size_t count(const std::string& prefix) const {
        return static_cast<std::size_t>(std::ranges::count_if(
            log.messages(), [&](const std::string& line) { return line.starts_with(prefix); }));
    }

    const testing::ScopedEnvironment noServer{"PGM_SERVER_URL", nullptr};
    fake::FakePlatform platform;
    testing::LogCapture log;
};

class ConfiguredTimings : public StartupTest {
  protected:
    // The time-out of every request sent so far, in order.
    std::vector<std::chrono::milliseconds> timeouts() const {
        std::vector<std::chrono::milliseconds> result;
        for (const HttpRequest& request : platform.http.requests()) {
            result.push_back(request.timeout);
        }
        return result;
    }
};

class AccessibilityWatchTest : public StartupTest {
  protected:
    // Permission events the panel's page was sent.
    std::size_t permissionEvents() const {
        const auto& scripts = platform.windows.panels.at(0)->view.evaluated;
        return static_cast<std::size_t>(std::ranges::count_if(scripts, [](const std::string& s) {
            return s.find(R"(onEvent({"trusted":true,"type":"permission"}))") != std::string::npos;
        }));
    }
};

class StatusMenuTest : public StartupTest {
  protected:
    StatusMenuTest() {
        app->applicationDidFinishLaunching();
        item = platform.statusBar.items.at(0);
    }

    // Chooses the item with this title, as the tray does: the action runs later.
    void choose(const std::string& title) {
        const MenuItem* entry = item->item(title);
        ASSERT_NE(entry, nullptr) << title;
        ASSERT_TRUE(entry->enabled && entry->action) << title;
        entry->action();
    }

    std::shared_ptr<AppDelegate> app = delegate(args({}));
    fake::RecordingStatusItem* item = nullptr;
};

TEST(RunModes, LongRecordMinutes) {
    const std::pair<const char*, std::int64_t> given[] = {{"5", 5},
                                                          {"+5", 5},
                                                          {"-3", -3},
                                                          {"007", 7},
                                                          {"9223372036854775807", INT64_MAX},
                                                          {"-9223372036854775808", INT64_MIN}};
    for (const auto& [argument, minutes] : given) {
        EXPECT_EQ(longRecordMinutes(args({"--longrecordtest", argument})), minutes) << argument;
    }
    for (const char* bad : {"9223372036854775808", "five", "5m", " 5", "5 ", "", "+", "-", "+-5",
                            "++5", "0x10", "1e3", "2.5", "--ttstest"}) {
        EXPECT_EQ(longRecordMinutes(args({"--longrecordtest", bad})), 60) << bad;
    }
    EXPECT_EQ(longRecordMinutes(args({"--longrecordtest"})), 60);
    // The argument after the first occurrence counts.
    EXPECT_EQ(longRecordMinutes(args({"--longrecordtest", "9", "--longrecordtest", "3"})), 9);
    EXPECT_EQ(longRecordMinutes(args({"5"})), 60);
}

TEST_F(StartupTest, SelfTestRunsAloneBeforeAnythingIsCreated) {
    int selfTests = 0;
    int others = 0;
    LaunchModes modes;
    modes.selfTest = [&](AppDelegate&) { ++selfTests; };
    modes.modes = {RunMode{"--recordtest", [&](AppDelegate&) { ++others; }, false}};
    const auto app = delegate(args({"--recordtest", "--selftest"}), std::move(modes));
    app->applicationDidFinishLaunching();
    platform.queue.advance(300ms);
    EXPECT_EQ(std::make_pair(selfTests, others), std::make_pair(1, 0));
    EXPECT_EQ(app->panelController(), nullptr);
    EXPECT_TRUE(platform.statusBar.items.empty());
}

TEST_F(StartupTest, NormalStartSaysItIsReadyAndDispatchesOneMode) {
    std::vector<std::string> ran;
    LaunchModes modes;
    modes.modes = {RunMode{"--recordtest", [&](AppDelegate&) { ran.emplace_back("record"); }},
                   RunMode{"--ttstest", [&](AppDelegate&) { ran.emplace_back("tts"); }}};
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    const auto app = delegate(args({"--ttstest", "--recordtest"}), std::move(modes));
    app->applicationDidFinishLaunching();
    EXPECT_EQ(ran, std::vector<std::string>{"record"});
    EXPECT_TRUE(log.contains("菜单栏就绪；密码已配置：false；辅助功能权限：未授权"));
    // The status item is there with its menu, whose status row reads "未连接".
    ASSERT_EQ(platform.statusBar.items.size(), 1u);
    EXPECT_EQ(platform.statusBar.items[0]->statusRows, std::vector<std::string>{"状态：未连接"});
    // A mode that ends start-up: no permission prompt, no watch.
    platform.queue.advance(100s);
    EXPECT_EQ(platform.accessibility.permissionRequests, 0);

    // A normal start with the permission: no prompt, no watch either.
    platform.secrets.add("com.fernwick.pagemate", "app-password", "pw");
    platform.accessibility.status = {};
    const auto normal = launch();
    EXPECT_TRUE(log.contains("菜单栏就绪；密码已配置：true；辅助功能权限：已授权"));
    const int queries = platform.accessibility.statusQueries;
    platform.queue.advance(100s);
    EXPECT_EQ(platform.accessibility.statusQueries, queries);
    EXPECT_EQ(platform.accessibility.permissionRequests, 0);
}

// A meeting left by a process that ended while it recorded is saved by the next normal
// start, on a queue of its own (the saving itself: the recorder's and the program's
// tests); a self-test that ends start-up leaves it alone.
TEST_F(StartupTest, OnlyANormalStartSavesAnInterruptedMeeting) {
    const testing::MeetingFolders folders;
    LaunchModes modes;
    modes.modes = {RunMode{"--recordtest", [](AppDelegate&) {}, false}};
    delegate(args({"--recordtest"}), std::move(modes))->applicationDidFinishLaunching();
    EXPECT_EQ(platform.serialQueues.latest("pagemate-recovery"), nullptr);
    delegate(args({}))->applicationDidFinishLaunching();
    EXPECT_NE(platform.serialQueues.latest("pagemate-recovery"), nullptr);
}

TEST_F(StartupTest, WithoutADisplayEverythingRunsAndNothingShows) {
    Platform::current().windows = std::make_unique<UnavailableWindowSystem>();
    const auto app = delegate(args({}));
    app->applicationDidFinishLaunching();
    EXPECT_TRUE(log.contains("界面：没有可用的显示器，窗口和提示框不可用"));
    PanelController& panel = *app->panelController();
    panel.show();
    EXPECT_FALSE(panel.window().isVisible());
    panel.handleMessage({{"action", "insertText"}, {"text", "结论"}});
    platform.queue.advance(1s);
    EXPECT_TRUE(log.contains("收到插入请求：2 字"));
    app->toggleChatWindow();
    EXPECT_FALSE(app->chatWindow()->isVisible());
}

TEST_F(ConfiguredTimings, ServiceResolutionAndHealthCheck) {
    const auto panel = PanelController::create();
    bool resolved = false;
    panel->resolveServer([&](const std::string&) { resolved = true; });
    ASSERT_TRUE(platform.queue.runUntil([&] { return resolved; }, 5s));
    // The primary, refused, then the local service.
    EXPECT_EQ(timeouts(), (std::vector<std::chrono::milliseconds>{6s, 2s}));
    bool checked = false;
    panel->checkHealth([&](bool) { checked = true; });
    ASSERT_TRUE(platform.queue.runUntil([&] { return checked; }, 5s));
    EXPECT_EQ(timeouts().back(), 4s);
    EXPECT_EQ(platform.http.requests().back().url, "http://127.0.0.1:4310/health");
}

TEST_F(ConfiguredTimings, HistoryCommands) {
    HistoryCommands::openHistory();
    HistoryCommands::syncHistoryNow({});
    ASSERT_TRUE(platform.queue.runUntil([&] { return platform.http.requests().size() == 2; }, 5s));
    const auto requests = platform.http.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].url, "http://127.0.0.1:4310/api/history");
    EXPECT_EQ(requests[0].timeout, 20s);
    EXPECT_EQ(requests[1].url, "http://127.0.0.1:4310/api/history/sync");
    EXPECT_EQ(requests[1].timeout, 300s);
}

// The run modes' start-up delays. They write the program's fixed report and log paths'
// neighbours: they run under the program-log lock (see tests/CMakeLists.txt).
TEST_F(ConfiguredTimings, ProgramModesStartAfterTheirDelays) {
    // Whether the mode has started, given the first panel and quick bar of its start.
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
    const int queriesBefore = platform.accessibility.statusQueries;
    platform.queue.advance(3500ms);
    EXPECT_EQ(platform.accessibility.statusQueries - queriesBefore, 2);
    platform.accessibility.status = {};
    platform.queue.advance(999ms);
    const fake::RecordingStatusItem& tray = *platform.statusBar.items.at(0);
    EXPECT_EQ(permissionEvents(), 0u);
    platform.queue.advance(1ms);
    EXPECT_TRUE(log.contains("辅助功能权限：已生效，无需重启"));
    EXPECT_EQ(permissionEvents(), 1u);
    // The menu follows at once: a tray has no moment of its own to ask.
    EXPECT_NE(tray.item("✓ 辅助功能权限已授权"), nullptr);
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
    EXPECT_EQ(count("辅助功能权限："), 1u);
}

TEST_F(StatusMenuTest, TwentyOneItemsInOrder) {
    EXPECT_EQ(item->options.iconName, "pagemate-symbolic");
    EXPECT_EQ(item->options.accessibleName, "页伴");
    EXPECT_EQ(item->options.toolTip, "页伴（⌥Space 唤出）");

    const std::vector<std::string> titles = {
        "快速输入（就地改写）",
        "打开大窗口（对话建页面）",
        "打开完整助手",
        "会议记录（本地转写）",
        "快捷键：Alt+Space 快速输入 · Alt+Shift+Space 面板 · Alt+Shift+C 大窗口 · Alt+Shift+M 会议",
        "读取当前 Notion 页面",
        "",
        "状态：未连接",
        "✓ 辅助功能权限已授权",
        "打开权限设置…",
        "",
        "打开网页工作台",
        "设置…",
        "查看日志",
        "打开对话历史（Notion）",
        "立即同步对话历史",
        "打开录音文件夹",
        "",
        "",
        "提意见 / 反馈问题…",
        "退出"};
    ASSERT_EQ(item->menu.size(), titles.size());
    for (std::size_t index = 0; index < titles.size(); ++index) {
        const MenuItem& entry = item->menu[index];
        EXPECT_EQ(entry.title, titles[index]) << index;
        const bool separator = titles[index].empty();
        EXPECT_EQ(entry.kind == MenuItem::Kind::separator, separator) << index;
        // Disabled: the separators, the status row, the granted permission row.
        const bool disabled = separator || index == 7 || index == 8;
        EXPECT_EQ(entry.enabled, !disabled) << index;
        // The hint row does nothing; every other enabled item has a command.
        EXPECT_EQ(static_cast<bool>(entry.action), !disabled && index != 4) << index;
        const std::string key = index == 12 ? "," : index == 20 ? "q" : "";
        EXPECT_EQ(entry.keyEquivalent, key) << index;
    }

    // Without the permission, item 9 asks for it; the rebuild comes with the next change.
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    EXPECT_EQ(item->menu[8].title, "✓ 辅助功能权限已授权");
    app->rebuildMenu();
    EXPECT_EQ(item->menu[8].title,
              "⚠️ 授予辅助功能权限（插入/读取页面需要）…");
    EXPECT_TRUE(item->menu[8].enabled);
    choose("⚠️ 授予辅助功能权限（插入/读取页面需要）…");
    EXPECT_EQ(platform.accessibility.permissionRequests, 1);
    EXPECT_EQ(platform.accessibility.settingsOpened, 1);
    choose("打开权限设置…");
    EXPECT_EQ(platform.accessibility.settingsOpened, 2);
}

TEST_F(StatusMenuTest, CommandsDoWhatTheySay) {
    fake::FakePanelWindow& panel = *platform.windows.panels.at(0);
    fake::FakePanelWindow& meeting = *platform.windows.panels.at(1);
    fake::FakeDocumentWindow& chat = *platform.windows.documentWindows.at(0);
    fake::RecordingSettingsWindow& settings = *platform.windows.settingsWindows.at(0);
    const testing::MeetingFolders folders;
    // Reading the context with the panel hidden shows it first, then asks for the
    // selection as well (Command-L, Command-C).
    platform.workspace.frontmost = RunningApplication{42, "notion.id", "Notion"};
    platform.keys.strokes.clear();
    const std::vector<std::pair<std::string, std::function<bool()>>> commands = {
        {"读取当前 Notion 页面",
         [&] {
             return panel.visible && platform.keys.strokes.at(4).key == NotionContextReader::keyC;
         }},
        {"打开完整助手", [&] { return !panel.visible; }},
        {"打开大窗口（对话建页面）", [&] { return chat.visible; }},
        {"会议记录（本地转写）", [&] { return meeting.visible; }},
        {"快速输入（就地改写）", [&] { return platform.windows.quickBars.at(0)->visible; }},
        {"设置…", [&] { return settings.visible; }},
        {"打开网页工作台",
         [&] { return platform.workspace.opened().back() == "http://127.0.0.1:4310"; }},
        {"提意见 / 反馈问题…",
         [&] {
             return platform.workspace.opened().back() == "https://pagemate.fernwick.com/#feedback";
         }},
        // The recordings folder is made and handed to the file manager.
        {"打开录音文件夹",
         [&] {
             return std::filesystem::is_directory(folders.recordings()) &&
                    platform.workspace.openedFiles().back() == folders.recordings();
         }},
        // The file the log goes to in this run, whichever it is.
        {"查看日志",
         [&] {
             return testing::readFile(platform.workspace.openedFiles().back())
                 .ends_with("] 用户打开日志\n");
         }},
        {"退出", [&] { return platform.application.terminateCount == 1; }},
    };
    for (const auto& [title, done] : commands) {
        choose(title);
        EXPECT_TRUE(done()) << title;
    }

    // The page's status text shows in the status row; the page opens the settings too, and
    // saving them makes the panel resolve again and reload, the status row saying so.
    app->panelController()->handleMessage({{"action", "status"}, {"text", "思考中"}});
    EXPECT_EQ(item->menu[7].title, "状态：思考中");
    settings.visible = false;
    app->panelController()->handleMessage({{"action", "openSettings"}});
    EXPECT_TRUE(settings.visible);
    const std::size_t loads = panel.view.loads.size();
    settings.clickSave();
    platform.queue.runUntilIdle();
    EXPECT_EQ(item->statusRows.back(), "状态：设置已更新");
    EXPECT_TRUE(platform.queue.runUntil([&] { return panel.view.loads.size() > loads; }, 5s));
}

}  // namespace
}  // namespace pagemate
