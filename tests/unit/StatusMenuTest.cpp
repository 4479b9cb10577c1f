// The status menu as the program builds it, and what its commands do, on the fakes.

#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "app/StatusMenu.h"
#include "harness/MeetingFolders.h"
#include "harness/TestSupport.h"
#include "notion/NotionContextReader.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

class StatusMenuTest : public ::testing::Test {
  protected:
    StatusMenuTest() {
        app = AppDelegate::create({"/usr/bin/pagemate"}, {});
        app->panelResolverConfig.primaryBase = [] { return std::string("http://127.0.0.1:1"); };
        app->panelResolverConfig.localBase = "http://127.0.0.1:1";
        app->applicationDidFinishLaunching();
        item = platform.statusBar.items.at(0);
    }

    // Chooses the item with this title, as the tray does: the action runs later.
    void choose(const std::string& title) {
        const MenuItem* entry = item->item(title);
        ASSERT_NE(entry, nullptr) << title;
        ASSERT_TRUE(entry->enabled) << title;
        ASSERT_TRUE(entry->action) << title;
        entry->action();
    }

    const testing::ScopedEnvironment noServer{"PGM_SERVER_URL", nullptr};
    fake::FakePlatform platform;
    testing::LogCapture log;
    std::shared_ptr<AppDelegate> app;
    fake::RecordingStatusItem* item = nullptr;
};

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
        {"快速输入（就地改写）",
         [&] { return log.contains("快速条：已显示（选中 0 字，页面「」）"); }},
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

    // Addresses that do not form open nothing.
    const std::size_t opened = platform.workspace.opened().size();
    for (const char* garbage : {"/", "not an address", "http://exa mple"}) {
        const testing::ScopedEnvironment server{"PGM_SERVER_URL", garbage};
        choose("打开网页工作台");
    }
    EXPECT_EQ(platform.workspace.opened().size(), opened);
}

TEST_F(StatusMenuTest, MenuCommandsHoldTheDelegateWeakly) {
    const std::function<void()> quit = item->item("退出")->action;
    std::weak_ptr<AppDelegate> weak = app;
    // The status item belongs to the delegate; keep the menu's command alone.
    app.reset();
    EXPECT_TRUE(weak.expired());
    quit();
    EXPECT_EQ(platform.application.terminateCount, 0);
}

}  // namespace
}  // namespace pagemate
