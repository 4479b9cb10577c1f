// The program's four hot keys, and the one notification about those that do not work.

#include <gtest/gtest.h>

#include <array>

#include "app/HotKeyManager.h"
#include "app/StandardHotKeys.h"
#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using Outcome = HotKeyRegistration::Outcome;
constexpr std::uint32_t kOptionShift = HotKeyModifier::option | HotKeyModifier::shift;

class StandardHotKeysTest : public ::testing::Test {
  protected:
    StandardHotKeyActions actions() {
        return StandardHotKeyActions{[this] { ++runs[0]; }, [this] { ++runs[1]; },
                                     [this] { ++runs[2]; }, [this] { ++runs[3]; }};
    }
    void pressAll() {
        for (std::uint32_t id = 1; id <= 4; ++id) {
            platform.hotKeys.press(HotKeyIdentifier{HotKeyManager::signature, id});
        }
        platform.queue.runUntilIdle();
    }

    fake::FakePlatform platform;
    testing::LogCapture log;
    std::array<int, 4> runs{};
};

TEST_F(StandardHotKeysTest, TakenCombinationsAreNamedInOneNotificationWithTheirMenuItems) {
    platform.hotKeys.fail(HotKeyCode::space, HotKeyModifier::option, Outcome::taken, 10,
                          "BadAccess");
    platform.hotKeys.fail(HotKeyCode::m, kOptionShift, Outcome::taken, 10, "BadAccess");
    registerStandardHotKeys(actions());

    ASSERT_EQ(platform.notifications.sent.size(), 1U);
    const Notification& notice = platform.notifications.sent[0];
    EXPECT_EQ(notice.appName, "页伴");
    EXPECT_EQ(notice.summary, "页伴：部分快捷键无法使用");
    EXPECT_EQ(notice.body,
              "Alt+Space 已被其他程序占用，请改用状态栏图标菜单里的「快速输入（就地改写）」。\n"
              "Alt+Shift+M 已被其他程序占用，请改用状态栏图标菜单里的「会议记录（本地转写）」。");
    const std::vector<std::string> failures = {"注册全局热键失败（id=1）：10",
                                               "注册全局热键失败（id=3）：10"};
    EXPECT_EQ(log.messages(), failures);

    // The two that work still do.
    pressAll();
    EXPECT_EQ(runs, (std::array<int, 4>{1, 1, 1, 1}));  // actions are kept for all four

    // A server that does not take it leaves a line in the log; one that does, none.
    platform.notifications.answer(0, Notifications::Result{true, {}});
    EXPECT_EQ(log.messages(), failures);
    platform.notifications.answer(0, Notifications::Result{false, "no server"});
    EXPECT_TRUE(log.contains("全局热键：桌面通知没有发出（no server）"));
    EXPECT_EQ(platform.notifications.sent.size(), 1U);
}

TEST_F(StandardHotKeysTest, HotKeysTheDesktopCannotHaveAreExplained) {
    platform.hotKeys.state = HotKeys::Availability::waylandSession;
    platform.hotKeys.detail = "WAYLAND_DISPLAY=wayland-0";
    for (const StandardHotKey& key : kStandardHotKeys) {
        platform.hotKeys.fail(key.keyCode, key.modifiers, Outcome::unavailable,
                              HotKeys::unavailableStatus);
    }
    platform.hotKeys.fail(HotKeyCode::c, kOptionShift, Outcome::refused, 2, "BadValue");
    registerStandardHotKeys(actions());

    const std::vector<std::string> expected = {
        "全局热键：不可用（Wayland 会话：WAYLAND_DISPLAY=wayland-0）",
        "注册全局热键失败（id=1）：-1",
        "注册全局热键失败（id=2）：-1",
        "注册全局热键失败（id=3）：-1",
        "注册全局热键失败（id=4）：2",
    };
    EXPECT_EQ(log.messages(), expected);
    ASSERT_EQ(platform.notifications.sent.size(), 1U);
    EXPECT_EQ(platform.notifications.sent[0].body,
              "Alt+Space 在此桌面不可用（Wayland "
              "会话），请改用状态栏图标菜单里的「快速输入（就地改写）」。\n"
              "Alt+Shift+Space 在此桌面不可用（Wayland "
              "会话），请改用状态栏图标菜单里的「打开完整助手」。\n"
              "Alt+Shift+M 在此桌面不可用（Wayland "
              "会话），请改用状态栏图标菜单里的「会议记录（本地转写）」。\n"
              "Alt+Shift+C 无法注册（错误 "
              "2），请改用状态栏图标菜单里的「打开大窗口（对话建页面）」。");
}

}  // namespace
}  // namespace pagemate
