// Global hot keys on recorded hot keys and the virtual clock's main queue; a Wayland
// session with and without the portal or XWayland: tests/integration/WaylandSessionTest.

#include <gtest/gtest.h>

#include <array>

#include "app/HotKeyManager.h"
#include "app/StandardHotKeys.h"
#include "harness/TestSupport.h"
#include "platform/DesktopSession.h"
#include "platform/UnavailableHotKeys.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using Outcome = HotKeyRegistration::Outcome;

HotKeyIdentifier ours(std::uint32_t id) {
    return HotKeyIdentifier{HotKeyManager::signature, id};
}

class HotKeyManagerTest : public ::testing::Test {
  protected:
    fake::FakePlatform platform;
    testing::LogCapture log;
    HotKeyManager& manager = HotKeyManager::shared();
};

TEST_F(HotKeyManagerTest, OurPressesRunTheLatestActionLaterOnTheMainQueue) {
    int earlier = 0;
    int latest = 0;
    manager.registerHotKey(HotKeyCode::space, HotKeyModifier::option, 1, [&] { ++earlier; });
    manager.registerHotKey(HotKeyCode::space, HotKeyModifier::option, 1, [&] { ++latest; });
    platform.hotKeys.press({0x41424344, 1});  // another program's signature, our id
    EXPECT_EQ(platform.queue.pendingCount(), 0U);
    platform.hotKeys.press(ours(1));
    EXPECT_EQ(latest, 0) << "the action ran inside the press handler";
    platform.queue.runUntilIdle();
    EXPECT_EQ(std::make_pair(earlier, latest), std::make_pair(0, 1));
}

TEST_F(HotKeyManagerTest, AFailureIsLoggedAndLeavesNoRegistrationButKeepsTheAction) {
    // A backend that reports a failure with the combination's ref all the same.
    platform.hotKeys.failures[{HotKeyCode::space, HotKeyModifier::option}] = HotKeyRegistration{
        Outcome::taken, 10, {}, HotKeyRef{HotKeyCode::space, HotKeyModifier::option, ours(1)}};
    int runs = 0;
    manager.registerHotKey(HotKeyCode::space, HotKeyModifier::option, 1, [&] { ++runs; });
    EXPECT_EQ(manager.registrations(), std::vector<std::optional<HotKeyRef>>{std::nullopt});
    EXPECT_EQ(log.messages().size(), 1U);  // its words: the test on the X server
    platform.hotKeys.press(ours(1));
    platform.queue.runUntilIdle();
    EXPECT_EQ(runs, 1);
}

using StandardHotKeysTest = HotKeyManagerTest;

// One notification names every combination that does not work and the menu item that
// reaches its feature instead. (Each combination pressed: tests/integration/HotKeysDesktopTest.)
TEST_F(StandardHotKeysTest, CombinationsThatDoNotWorkAreNamedInOneNotification) {
    const StandardHotKeyActions actions{[] {}, [] {}, [] {}, [] {}};
    platform.hotKeys.fail(HotKeyCode::space, HotKeyModifier::option, Outcome::taken, 10);
    platform.hotKeys.fail(HotKeyCode::c, kOptionShift, Outcome::refused, 2, "BadValue");
    registerStandardHotKeys(actions);
    ASSERT_EQ(platform.notifications.sent.size(), 1U);
    EXPECT_EQ(platform.notifications.sent[0].appName, "页伴");
    EXPECT_EQ(platform.notifications.sent[0].summary, "页伴：部分快捷键无法使用");
    EXPECT_EQ(platform.notifications.sent[0].body,
              "Alt+Space 已被其他程序占用，请改用状态栏图标菜单里的「快速输入（就地改写）」。\n"
              "Alt+Shift+C 无法注册（错误 "
              "2），请改用状态栏图标菜单里的「打开大窗口（对话建页面）」。");

    // A desktop without global hot keys refuses all four.
    Platform::current().hotKeys = std::make_unique<UnavailableHotKeys>(
        HotKeys::Availability::waylandSession, "WAYLAND_DISPLAY=wayland-0");
    registerStandardHotKeys(actions);
    ASSERT_EQ(platform.notifications.sent.size(), 2U);
    // Each line says why, and what is there instead.
    EXPECT_TRUE(platform.notifications.sent[1].body.starts_with(
        "Alt+Space 在此桌面不可用（Wayland "
        "会话），请改用状态栏图标菜单里的「快速输入（就地改写）」。\n"
        "Alt+Shift+Space 在此桌面不可用"));
}

TEST(DesktopSession, HotKeysComeFromX11GrabsThePortalOrNothing) {
    struct Case {
        const char *sessionType, *waylandDisplay, *display;  // null: unset
        bool displayOpened;
        std::optional<std::uint32_t> portalVersion;
        HotKeyBackend expected;
        std::optional<std::string> wayland;
    };
    const Case cases[] = {
        {"x11", "", ":0", true, 1U, HotKeyBackend::x11Grabs, {}},
        {nullptr, nullptr, nullptr, false, std::nullopt, HotKeyBackend::none, {}},
        {"Wayland", "wayland-1", ":1", true, 1U, HotKeyBackend::shortcutsPortal,
         "XDG_SESSION_TYPE=Wayland"},
        {nullptr, "wayland-0", ":0", true, 2U, HotKeyBackend::shortcutsPortal,
         "WAYLAND_DISPLAY=wayland-0"},
    };
    for (const Case& given : cases) {
        const testing::ScopedEnvironment type{"XDG_SESSION_TYPE", given.sessionType};
        const testing::ScopedEnvironment wayland{"WAYLAND_DISPLAY", given.waylandDisplay};
        const testing::ScopedEnvironment display{"DISPLAY", given.display};
        const DesktopSession session = DesktopSession::fromEnvironment();
        SCOPED_TRACE(session.wayland.value_or("X11") + ", " + session.xDisplay.value_or("-"));
        EXPECT_EQ(session.wayland, given.wayland);
        EXPECT_EQ(chooseHotKeyBackend(session, given.displayOpened, given.portalVersion),
                  given.expected);
    }
}

}  // namespace
}  // namespace pagemate
