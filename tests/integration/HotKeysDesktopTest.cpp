// Global hot keys on Xvfb, pressed through XTest, the actions on GLib's main queue; and
// the notification about taken combinations, received by a stand-in server.

// GoogleTest before Xlib, whose None macro its names would meet.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <gtk/gtk.h>

#include <array>

#include "app/HotKeyManager.h"
#include "app/StandardHotKeys.h"
#include "fixtures/Desktop.h"
#include "fixtures/NotificationService.h"
#include "platform/linux/LinuxPlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

const std::vector<std::vector<KeySym>> kCombinations = {
    {XK_Alt_L, XK_space},
    {XK_Alt_L, XK_Shift_L, XK_space},
    {XK_Alt_L, XK_Shift_L, XK_m},
    {XK_Alt_L, XK_Shift_L, XK_c},
};

// Whether another client holds Alt+Space with these modifiers: a grab of it is refused.
bool altSpaceTaken(Display* display, unsigned int modifiers = Mod1Mask) {
    static int refused = 0;
    refused = 0;
    XSync(display, False);
    const XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent* error) {
        refused = error->error_code;
        return 0;
    });
    const KeyCode space = XKeysymToKeycode(display, XK_space);
    XGrabKey(display, space, modifiers, DefaultRootWindow(display), False, GrabModeAsync,
             GrabModeAsync);
    XSync(display, False);
    XUngrabKey(display, space, modifiers, DefaultRootWindow(display));
    XSync(display, False);
    XSetErrorHandler(previous);
    return refused == BadAccess;
}

class HotKeysDesktopTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)); }

    HotKeysDesktopTest() { Platform::install(linux_backend::makeLinuxPlatform(true)); }
    ~HotKeysDesktopTest() override {
        setLocks(0);
        Platform::uninstall();
    }

    // Each action counts its runs and notes whether the keyboard was free (for the keys
    // it sends) as it ran.
    StandardHotKeyActions countingActions() {
        const auto action = [this](std::size_t index) {
            return [this, index] {
                ++runs.at(index);
                const int grabbed =
                    XGrabKeyboard(keyboard.display, DefaultRootWindow(keyboard.display), False,
                                  GrabModeAsync, GrabModeAsync, CurrentTime);
                XUngrabKeyboard(keyboard.display, CurrentTime);
                XSync(keyboard.display, False);
                keyboardFreeAtRun.push_back(grabbed == GrabSuccess);
            };
        };
        return StandardHotKeyActions{action(0), action(1), action(2), action(3)};
    }
    void press(const std::vector<KeySym>& keys) const { testing::HeldKeys(keyboard.display, keys); }
    // Waits for the action of `id` (1 to 4) to have run `times` times in all.
    bool ran(std::size_t id, int times) {
        return testing::pumpUntil([&] { return runs.at(id - 1) >= times; }, 5s) &&
               runs.at(id - 1) == times;
    }
    // Caps Lock (LockMask) and Num Lock (Mod2Mask) on as in `mask`, off otherwise.
    void setLocks(unsigned int mask) const {
        XkbLockModifiers(keyboard.display, XkbUseCoreKbd, LockMask | Mod2Mask, mask);
        XSync(keyboard.display, False);
    }

    testing::ScopedEnvironment x11Session{"XDG_SESSION_TYPE", "x11"};
    testing::ScopedEnvironment noWayland{"WAYLAND_DISPLAY", nullptr};
    testing::ScopedEnvironment config{"XDG_CONFIG_HOME", "/nonexistent/pagemate-test"};
    testing::LogCapture log;
    testing::XConnection keyboard;
    std::array<int, 4> runs{};
    std::vector<bool> keyboardFreeAtRun;
};

TEST_F(HotKeysDesktopTest, EachCombinationRunsItsActionOncePressedAsAPersonWhateverTheLocks) {
    ASSERT_FALSE(altSpaceTaken(keyboard.display)) << "another client holds Alt+Space";
    const testing::NotificationService notifications;
    registerStandardHotKeys(countingActions());

    // Each combination reaches its own action and no other, with no lock, Num Lock, and
    // both locks on; plain keys and other mixes are not hot keys.
    for (const unsigned int locks : {0U, unsigned{Mod2Mask}, unsigned{Mod2Mask | LockMask}}) {
        setLocks(locks);
        for (std::size_t id = 1; id <= 4; ++id) {
            SCOPED_TRACE("locks " + std::to_string(locks) + ", id " + std::to_string(id));
            std::array<int, 4> expected = runs;
            expected.at(id - 1) += 1;
            press(kCombinations[id - 1]);
            EXPECT_TRUE(ran(id, expected.at(id - 1)));
            EXPECT_EQ(runs, expected);
        }
        press({XK_space});
        press({XK_Control_L, XK_Alt_L, XK_space});
    }

    // Held on while it repeats: one run, with the keyboard free, as for every press above.
    unsigned int repeatDelay = 660;
    unsigned int repeatInterval = 40;
    XkbGetAutoRepeatRate(keyboard.display, XkbUseCoreKbd, &repeatDelay, &repeatInterval);
    XkbSetAutoRepeatRate(keyboard.display, XkbUseCoreKbd, 20, 10);
    auto typed = testing::typeInBackground([](Display* display) {
        return testing::pressAsPerson(display, kCombinations[2], {1500ms, false});
    });
    ASSERT_TRUE(
        testing::pumpUntil([&] { return typed.wait_for(0ms) == std::future_status::ready; }));
    testing::pumpUntil([] { return false; }, 100ms);
    EXPECT_EQ(runs[2], 4);
    XkbSetAutoRepeatRate(keyboard.display, XkbUseCoreKbd, repeatDelay, repeatInterval);
    EXPECT_EQ(keyboardFreeAtRun, std::vector<bool>(13, true));
    EXPECT_TRUE(notifications.received().empty());
    EXPECT_TRUE(log.messages().empty());
}

// Openbox binds Alt+Space to its window menu, as GNOME's window manager does: that one
// fails, logged once; the others work, the user is told once, and no grab is left.
TEST_F(HotKeysDesktopTest, ACombinationTheWindowManagerHoldsFailsAndTheUserIsToldOnce) {
    auto openbox = std::make_unique<testing::ChildProcess>(
        std::vector<std::string>{"openbox", "--sm-disable"});
    ASSERT_TRUE(testing::pumpUntil([&] { return altSpaceTaken(keyboard.display); }));
    const testing::NotificationService notifications;
    registerStandardHotKeys(countingActions());
    EXPECT_EQ(log.messages(), std::vector<std::string>{"注册全局热键失败（id=1）：10"});
    EXPECT_FALSE(HotKeyManager::shared().registrations().at(0).has_value());
    ASSERT_TRUE(testing::pumpUntil([&] { return !notifications.received().empty(); }));
    EXPECT_EQ(notifications.received()[0],
              "Alt+Space 已被其他程序占用，请改用状态栏图标菜单里的「快速输入（就地改写）」。");
    for (std::size_t id = 2; id <= 4; ++id) {
        press(kCombinations[id - 1]);
        EXPECT_TRUE(ran(id, 1)) << id;
    }
    EXPECT_EQ(runs[0], 0);
    EXPECT_EQ(notifications.received().size(), 1U);

    // With the window manager gone, Alt+Space is free whatever the locks.
    openbox.reset();
    ASSERT_TRUE(testing::pumpUntil([&] { return !altSpaceTaken(keyboard.display); }));
    for (const unsigned int locks : {0U, unsigned{LockMask}, unsigned{Mod2Mask | LockMask}}) {
        EXPECT_FALSE(altSpaceTaken(keyboard.display, Mod1Mask | locks)) << "locks " << locks;
    }
    // Without a session bus the notification's answer says why, later, on the main loop.
    const testing::ScopedEnvironment noBus{"DBUS_SESSION_BUS_ADDRESS", nullptr};
    const auto platform = linux_backend::makeLinuxPlatform(true);
    std::vector<Notifications::Result> answers;
    platform->notifications->notify(
        {}, [&answers](const Notifications::Result& result) { answers.push_back(result); });
    EXPECT_TRUE(answers.empty()) << "answered inside notify()";
    ASSERT_TRUE(testing::pumpUntil([&] { return !answers.empty(); }));
    EXPECT_FALSE(answers[0].shown);
    EXPECT_EQ(answers[0].detail, "DBUS_SESSION_BUS_ADDRESS is not set");
}

}  // namespace
}  // namespace pagemate
