// Global hot keys on a real X server (Xvfb): the X11 backend's grabs, pressed through
// XTest from a connection of the test's own as a user's keyboard would, with the
// manager's actions on GLib's main queue; and the desktop notification about taken
// combinations, received by a stand-in notification server on the test's session bus.

// GoogleTest before Xlib, whose None macro its names would meet.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <array>

#include "app/HotKeyManager.h"
#include "app/StandardHotKeys.h"
#include "fixtures/Desktop.h"
#include "fixtures/NotificationService.h"
#include "platform/linux/GDBusNotifications.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/X11HotKeys.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using testing::XConnection;

const std::string kTakenNotice =
    "Alt+Space 已被其他程序占用，请改用状态栏图标菜单里的「快速输入（就地改写）」。";
const std::vector<std::vector<KeySym>> kCombinations = {
    {XK_Alt_L, XK_space},
    {XK_Alt_L, XK_Shift_L, XK_space},
    {XK_Alt_L, XK_Shift_L, XK_m},
    {XK_Alt_L, XK_Shift_L, XK_c},
};

// Whether another client holds Alt+Space with these modifiers: a grab of it from
// `client` is refused.
bool altSpaceTaken(const XConnection& client, unsigned int modifiers = Mod1Mask) {
    static int refused = 0;
    refused = 0;
    XSync(client.display, False);
    const XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent* error) {
        refused = error->error_code;
        return 0;
    });
    const Window root = DefaultRootWindow(client.display);
    const KeyCode space = XKeysymToKeycode(client.display, XK_space);
    XGrabKey(client.display, space, modifiers, root, False, GrabModeAsync, GrabModeAsync);
    XSync(client.display, False);
    XUngrabKey(client.display, space, modifiers, root);
    XSync(client.display, False);
    XSetErrorHandler(previous);
    return refused == BadAccess;
}

class HotKeysDesktopTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
    }

    HotKeysDesktopTest() { Platform::install(linux_backend::makeLinuxPlatform(true)); }
    ~HotKeysDesktopTest() override {
        setLocks(0);
        Platform::uninstall();
    }

    // Each action counts its runs and notes whether the keyboard was free as it ran: the
    // keystrokes an action sends reach the application only then.
    StandardHotKeyActions countingActions() {
        const auto action = [this](std::size_t index) {
            return [this, index] {
                ++runs.at(index);
                const int grabbed =
                    XGrabKeyboard(observer.display, DefaultRootWindow(observer.display), False,
                                  GrabModeAsync, GrabModeAsync, CurrentTime);
                XUngrabKeyboard(observer.display, CurrentTime);
                XSync(observer.display, False);
                keyboardFreeAtRun.push_back(grabbed == GrabSuccess);
            };
        };
        return StandardHotKeyActions{action(0), action(1), action(2), action(3)};
    }
    // Presses and releases the keys through XTest, in order, releasing in reverse.
    void press(const std::vector<KeySym>& keys) const {
        const testing::HeldKeys held(keyboard.display, keys);
    }
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

    // An X11 session, whatever the machine running the tests is.
    testing::ScopedEnvironment x11Session{"XDG_SESSION_TYPE", "x11"};
    testing::ScopedEnvironment noWayland{"WAYLAND_DISPLAY", nullptr};
    testing::ScopedEnvironment config{"XDG_CONFIG_HOME", "/nonexistent/pagemate-test"};
    testing::LogCapture log;
    XConnection keyboard;
    XConnection observer;
    std::array<int, 4> runs{};
    std::vector<bool> keyboardFreeAtRun;
};

TEST_F(HotKeysDesktopTest, EachCombinationRunsItsActionOncePressedAsAPersonWhateverTheLocks) {
    ASSERT_FALSE(altSpaceTaken(keyboard)) << "another client (a window manager?) holds Alt+Space";
    const testing::NotificationService notifications;
    registerStandardHotKeys(countingActions());
    EXPECT_TRUE(altSpaceTaken(keyboard)) << "Alt+Space is not grabbed";

    // Each combination reaches its own action and no other, with no lock, Num Lock, and
    // Num Lock and Caps Lock on; plain keys and other mixes are not hot keys.
    for (const unsigned int locks : std::array<unsigned int, 3>{0, Mod2Mask, Mod2Mask | LockMask}) {
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
        press({XK_Shift_L, XK_m});
        press({XK_Control_L, XK_Alt_L, XK_space});
    }
    setLocks(0);

    // As people press them, the last key held 0 to 400 ms, or held on past the bound while
    // the key repeats (after 20 ms, every 10 ms): one run each, and only once the keyboard
    // is free again.
    keyboardFreeAtRun.clear();
    std::vector<testing::PersonTiming> timings = testing::personTimings();
    timings.push_back({1500ms, false});
    unsigned int repeatDelay = 660;
    unsigned int repeatInterval = 40;
    XkbGetAutoRepeatRate(keyboard.display, XkbUseCoreKbd, &repeatDelay, &repeatInterval);
    XkbSetAutoRepeatRate(keyboard.display, XkbUseCoreKbd, 20, 10);
    for (const testing::PersonTiming& timing : timings) {
        SCOPED_TRACE(testing::describe(timing));
        const int before = runs[2];
        auto typed = testing::typeInBackground([&timing](Display* display) {
            return testing::pressAsPerson(display, kCombinations[2], timing);
        });
        EXPECT_TRUE(ran(3, before + 1));
        ASSERT_TRUE(testing::pumpUntil(
            [&] { return typed.wait_for(0ms) == std::future_status::ready; }, 5s));
        testing::pumpUntil([] { return false; }, 100ms);
        EXPECT_EQ(runs[2], before + 1);
    }
    XkbSetAutoRepeatRate(keyboard.display, XkbUseCoreKbd, repeatDelay, repeatInterval);
    EXPECT_EQ(keyboardFreeAtRun, std::vector<bool>(timings.size(), true));
    // The next press shows the loop has seen everything sent before it.
    press(kCombinations[0]);
    EXPECT_TRUE(ran(1, 4));
    EXPECT_EQ(runs, (std::array<int, 4>{4, 3, 3 + static_cast<int>(timings.size()), 3}));

    EXPECT_TRUE(notifications.received().empty()) << "a notification although all four work";
    EXPECT_TRUE(log.messages().empty());
}

// Openbox, as configured by default, binds Alt+Space to its window menu, as GNOME's window
// manager does: that registration fails with X's BadAccess, logged once; the other three
// work, the user is told once by a notification, and no grab is left behind.
TEST_F(HotKeysDesktopTest, ACombinationTheWindowManagerHoldsFailsAndTheUserIsToldOnce) {
    auto openbox = std::make_unique<testing::ChildProcess>(
        std::vector<std::string>{"openbox", "--sm-disable"});
    ASSERT_TRUE(testing::pumpUntil([&] { return altSpaceTaken(keyboard); }, 10s))
        << "openbox did not take Alt+Space";
    const testing::NotificationService notifications;

    const XErrorHandler before = XSetErrorHandler(nullptr);
    XSetErrorHandler(before);
    registerStandardHotKeys(countingActions());
    EXPECT_EQ(XSetErrorHandler(before), before) << "the error handler was not put back";
    EXPECT_EQ(log.messages(), std::vector<std::string>{"注册全局热键失败（id=1）：10"});
    const auto registrations = HotKeyManager::shared().registrations();
    ASSERT_EQ(registrations.size(), 4U);
    EXPECT_FALSE(registrations[0].has_value());
    ASSERT_TRUE(testing::pumpUntil([&] { return !notifications.received().empty(); }, 10s))
        << "no notification";
    const testing::NotificationService::Notice& notice = notifications.received()[0];
    EXPECT_EQ(notice.appName, "页伴");
    EXPECT_EQ(notice.summary, "页伴：部分快捷键无法使用");
    EXPECT_EQ(notice.body, kTakenNotice);

    for (std::size_t id = 2; id <= 4; ++id) {
        SCOPED_TRACE(id);
        press(kCombinations[id - 1]);
        EXPECT_TRUE(ran(id, 1));
    }
    EXPECT_EQ(runs[0], 0);
    EXPECT_EQ(notifications.received().size(), 1U);
    EXPECT_EQ(log.messages().size(), 1U);

    // With the window manager gone, Alt+Space is free whatever the locks.
    openbox.reset();
    ASSERT_TRUE(testing::pumpUntil([&] { return !altSpaceTaken(keyboard); }, 10s));
    for (const unsigned int locks :
         std::array<unsigned int, 4>{0, LockMask, Mod2Mask, LockMask | Mod2Mask}) {
        EXPECT_FALSE(altSpaceTaken(keyboard, Mod1Mask | locks)) << "locks " << locks;
    }
}

// Without a display the X11 hot keys say why; notifications answer "not shown" without a
// session bus, and through one once, later, on the main loop, never to a sender that is
// gone by then.
TEST_F(HotKeysDesktopTest, HotKeysWithoutADisplayAndNotificationsWithAndWithoutABus) {
    {
        const testing::ScopedEnvironment noDisplay{"DISPLAY", ":4711"};
        const auto hotKeys = linux_backend::X11HotKeys::connect();
        EXPECT_EQ(hotKeys->availability(), HotKeys::Availability::noDisplay);
        EXPECT_EQ(hotKeys->availabilityDetail(), "cannot open display :4711");
    }
    const Notification notice{"页伴", "input-keyboard", "页伴：部分快捷键无法使用", kTakenNotice};
    std::vector<Notifications::Result> answers;
    const auto answer = [&answers](const Notifications::Result& result) {
        answers.push_back(result);
    };
    {
        const testing::ScopedEnvironment noBus{"DBUS_SESSION_BUS_ADDRESS", nullptr};
        const auto platform = linux_backend::makeLinuxPlatform(true);
        platform->notifications->notify(notice, answer);
        EXPECT_TRUE(answers.empty()) << "answered inside notify()";
        ASSERT_TRUE(testing::pumpUntil([&] { return !answers.empty(); }, 5s));
        EXPECT_FALSE(answers[0].shown);
        EXPECT_EQ(answers[0].detail, "DBUS_SESSION_BUS_ADDRESS is not set");
    }

    const testing::NotificationService server;
    answers.clear();
    Platform::current().notifications->notify(notice, answer);
    EXPECT_TRUE(answers.empty()) << "answered inside notify()";
    ASSERT_TRUE(testing::pumpUntil([&] { return !answers.empty(); }, 10s));
    EXPECT_TRUE(answers[0].shown) << answers[0].detail;
    ASSERT_EQ(server.received().size(), 1U);
    EXPECT_EQ(server.received()[0].iconName, "input-keyboard");

    int late = 0;
    auto gone = std::make_unique<linux_backend::GDBusNotifications>();
    gone->notify(notice, [&late](const Notifications::Result&) { ++late; });
    gone.reset();
    // One sent after it shows when the loop has had time for the first one's answer.
    Platform::current().notifications->notify(notice, answer);
    ASSERT_TRUE(testing::pumpUntil([&] { return answers.size() == 2; }, 10s));
    EXPECT_EQ(late, 0);
}

}  // namespace
}  // namespace pagemate
