// The accessibility watch and the start-up prompt, on the virtual clock.

#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

class AccessibilityWatchTest : public ::testing::Test {
  protected:
    std::shared_ptr<AppDelegate> launch() {
        auto app = AppDelegate::create({"/usr/bin/pagemate"}, {});
        app->panelResolverConfig.primaryBase = [] { return std::string("http://127.0.0.1:1"); };
        app->panelResolverConfig.localBase = "http://127.0.0.1:1";
        app->applicationDidFinishLaunching();
        // Service resolution and its health check end first (their status rows rebuild
        // the menu, which reads the permission too): the clock stands still meanwhile.
        EXPECT_TRUE(platform.queue.runUntil(
            [&] { return platform.statusBar.items.at(0)->statusRows.size() >= 3; }, 5s));
        return app;
    }
    std::size_t count(const std::string& prefix) const {
        return static_cast<std::size_t>(std::ranges::count_if(
            log.messages(), [&](const std::string& line) { return line.starts_with(prefix); }));
    }
    // Permission events the panel's page was sent.
    std::size_t permissionEvents() const {
        const auto& scripts = platform.windows.panels.at(0)->view.evaluated;
        return static_cast<std::size_t>(std::ranges::count_if(scripts, [](const std::string& s) {
            return s.find(R"(onEvent({"trusted":true,"type":"permission"}))") != std::string::npos;
        }));
    }

    const testing::ScopedEnvironment noServer{"PGM_SERVER_URL", "http://127.0.0.1:1"};
    fake::FakePlatform platform;
    testing::LogCapture log;
};

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

TEST_F(AccessibilityWatchTest, AlreadyTrustedNeitherPromptsNorWatches) {
    const auto app = launch();
    const int queries = platform.accessibility.statusQueries;
    platform.queue.advance(100s);
    EXPECT_EQ(platform.accessibility.permissionRequests, 0);
    EXPECT_EQ(platform.accessibility.statusQueries, queries);
}

}  // namespace
}  // namespace pagemate
