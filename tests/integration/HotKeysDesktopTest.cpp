// Global hot keys on a real X server (Xvfb): the X11 backend's grabs, pressed through
// XTest from a connection of the test's own as a user's keyboard would, with the
// manager's actions on GLib's main queue; and the desktop notification about taken
// combinations, received by a stand-in notification server on the test's session bus.

// GoogleTest before Xlib, whose None macro its names would meet.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
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

const std::string kTakenNotice =
    "Alt+Space 已被其他程序占用，请改用状态栏图标菜单里的「快速输入（就地改写）」。";

std::size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// A connection of the test's own: another X client, or the user's keyboard.
struct Connection {
    Connection() : display(XOpenDisplay(nullptr)) {
        if (display == nullptr) {
            throw std::runtime_error("no X display: run under xvfb-run");
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { XCloseDisplay(display); }
    [[nodiscard]] KeyCode key(KeySym keysym) const { return XKeysymToKeycode(display, keysym); }
    Display* display;
};

// Whether another client holds Alt+Space with these modifiers: a grab of it from
// `client` is refused.
bool altSpaceTaken(const Connection& client, unsigned int modifiers = Mod1Mask) {
    static int refused = 0;
    refused = 0;
    XSync(client.display, False);
    const XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent* error) {
        refused = error->error_code;
        return 0;
    });
    const Window root = DefaultRootWindow(client.display);
    XGrabKey(client.display, client.key(XK_space), modifiers, root, False, GrabModeAsync,
             GrabModeAsync);
    XSync(client.display, False);
    XUngrabKey(client.display, client.key(XK_space), modifiers, root);
    XSync(client.display, False);
    XSetErrorHandler(previous);
    return refused == BadAccess;
}

// The error handler Xlib has now.
XErrorHandler currentErrorHandler() {
    const XErrorHandler current = XSetErrorHandler(nullptr);
    XSetErrorHandler(current);
    return current;
}

// Turns a lock (Num Lock, Caps Lock) on for the scope, as its key does.
class LockOn {
  public:
    LockOn(const Connection& keyboard, KeySym keysym, unsigned int mask)
        : keyboard_(keyboard), key_(keyboard.key(keysym)), mask_(mask) {
        if (key_ == 0 || locked()) {
            throw std::runtime_error("no such lock key, or it is on already");
        }
        toggle();
    }
    LockOn(const LockOn&) = delete;
    LockOn& operator=(const LockOn&) = delete;
    ~LockOn() {
        if (locked()) {
            toggle();
        }
    }
    [[nodiscard]] bool locked() const {
        XkbStateRec state{};
        XkbGetState(keyboard_.display, XkbUseCoreKbd, &state);
        return (state.locked_mods & mask_) != 0;
    }

  private:
    void toggle() const {
        XTestFakeKeyEvent(keyboard_.display, key_, True, CurrentTime);
        XTestFakeKeyEvent(keyboard_.display, key_, False, CurrentTime);
        XSync(keyboard_.display, False);
    }
    const Connection& keyboard_;
    KeyCode key_;
    unsigned int mask_;
};

// The server's key repeat starts after 20 ms and repeats every 10 ms for the scope.
class QuickRepeat {
  public:
    explicit QuickRepeat(const Connection& keyboard) : keyboard_(keyboard) {
        XkbGetAutoRepeatRate(keyboard_.display, XkbUseCoreKbd, &delay_, &interval_);
        XkbSetAutoRepeatRate(keyboard_.display, XkbUseCoreKbd, 20, 10);
        XSync(keyboard_.display, False);
    }
    QuickRepeat(const QuickRepeat&) = delete;
    QuickRepeat& operator=(const QuickRepeat&) = delete;
    ~QuickRepeat() {
        XkbSetAutoRepeatRate(keyboard_.display, XkbUseCoreKbd, delay_, interval_);
        XSync(keyboard_.display, False);
    }

  private:
    const Connection& keyboard_;
    unsigned int delay_ = 660;
    unsigned int interval_ = 40;
};

class HotKeysDesktopTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
    }

    HotKeysDesktopTest() { Platform::install(linux_backend::makeLinuxPlatform(true)); }
    ~HotKeysDesktopTest() override { Platform::uninstall(); }

    // Each action counts its runs and notes whether the keyboard was free as it ran: the
    // keystrokes an action sends reach the application only then.
    StandardHotKeyActions countingActions() {
        const auto action = [this](std::size_t index) {
            return [this, index] {
                ++runs.at(index);
                keyboardFreeAtRun.push_back(keyboardFree());
            };
        };
        return StandardHotKeyActions{action(0), action(1), action(2), action(3)};
    }
    // No client holds an active grab of the keyboard: another one can take it.
    [[nodiscard]] bool keyboardFree() const {
        const int result = XGrabKeyboard(observer.display, DefaultRootWindow(observer.display),
                                         False, GrabModeAsync, GrabModeAsync, CurrentTime);
        if (result == GrabSuccess) {
            XUngrabKeyboard(observer.display, CurrentTime);
        }
        XSync(observer.display, False);
        return result == GrabSuccess;
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

    // An X11 session, whatever the machine running the tests is.
    testing::ScopedEnvironment x11Session{"XDG_SESSION_TYPE", "x11"};
    testing::ScopedEnvironment noWayland{"WAYLAND_DISPLAY", nullptr};
    testing::ScopedEnvironment config{"XDG_CONFIG_HOME", "/nonexistent/pagemate-test"};
    testing::LogCapture log;
    Connection keyboard;
    Connection observer;
    std::array<int, 4> runs{};
    std::vector<bool> keyboardFreeAtRun;
};

const std::vector<std::vector<KeySym>> kCombinations = {
    {XK_Alt_L, XK_space},
    {XK_Alt_L, XK_Shift_L, XK_space},
    {XK_Alt_L, XK_Shift_L, XK_m},
    {XK_Alt_L, XK_Shift_L, XK_c},
};

TEST_F(HotKeysDesktopTest, EachCombinationRunsItsActionOnceWhateverTheLocks) {
    ASSERT_FALSE(altSpaceTaken(keyboard)) << "another client (a window manager?) holds Alt+Space";
    const testing::NotificationService notifications;
    ASSERT_EQ(Platform::current().hotKeys->availability(), HotKeys::Availability::available);

    registerStandardHotKeys(countingActions());
    for (const auto& registration : HotKeyManager::shared().registrations()) {
        EXPECT_TRUE(registration.has_value());
    }
    EXPECT_TRUE(log.messages().empty());
    EXPECT_TRUE(altSpaceTaken(keyboard)) << "Alt+Space is not grabbed";

    // Each combination reaches its own action and no other.
    for (std::size_t id = 1; id <= 4; ++id) {
        SCOPED_TRACE(id);
        press(kCombinations[id - 1]);
        EXPECT_TRUE(ran(id, 1));
        std::array<int, 4> expected{};
        std::fill_n(expected.begin(), id, 1);
        EXPECT_EQ(runs, expected);
    }
    // Plain keys and other mixes are not hot keys.
    press({XK_space});
    press({XK_Shift_L, XK_m});
    press({XK_Control_L, XK_Alt_L, XK_space});

    // With Num Lock on, then Caps Lock too, the same presses still arrive.
    {
        const LockOn numLock(keyboard, XK_Num_Lock, Mod2Mask);
        ASSERT_TRUE(numLock.locked());
        for (std::size_t id = 1; id <= 4; ++id) {
            SCOPED_TRACE("Num Lock, id " + std::to_string(id));
            press(kCombinations[id - 1]);
            EXPECT_TRUE(ran(id, 2));
        }
        const LockOn capsLock(keyboard, XK_Caps_Lock, LockMask);
        press(kCombinations[0]);
        EXPECT_TRUE(ran(1, 3));
        press(kCombinations[3]);
        EXPECT_TRUE(ran(4, 3));
    }
    EXPECT_EQ(runs, (std::array<int, 4>{3, 2, 2, 3}));

    // As people press them, the last key held 0 to 400 ms, or held on past the bound while
    // the key repeats: one run each, and only once the keyboard is free again.
    keyboardFreeAtRun.clear();
    std::vector<testing::PersonTiming> timings = testing::personTimings();
    timings.push_back({std::chrono::milliseconds(1500), false});
    {
        const QuickRepeat repeat(keyboard);
        for (const testing::PersonTiming& timing : timings) {
            SCOPED_TRACE(testing::describe(timing));
            const int before = runs[2];
            auto typed = testing::typeInBackground([&timing](Display* display) {
                return testing::pressAsPerson(display, {XK_Alt_L, XK_Shift_L, XK_m}, timing);
            });
            EXPECT_TRUE(ran(3, before + 1));
            ASSERT_TRUE(testing::pumpUntil(
                [&] { return typed.wait_for(0ms) == std::future_status::ready; }, 5s));
            testing::pumpUntil([] { return false; }, 100ms);
            EXPECT_EQ(runs[2], before + 1);
        }
    }
    EXPECT_EQ(keyboardFreeAtRun, std::vector<bool>(timings.size(), true));
    // The next press shows the loop has seen everything sent before it.
    press(kCombinations[0]);
    EXPECT_TRUE(ran(1, 4));
    EXPECT_EQ(runs, (std::array<int, 4>{4, 2, 2 + static_cast<int>(timings.size()), 3}));

    EXPECT_TRUE(notifications.received().empty()) << "a notification although all four work";
    EXPECT_TRUE(log.messages().empty());
}

// Another X client grabbed Alt+Space first: that registration fails with X's BadAccess,
// logged once; the other three work, and the user is told once, by a notification.
TEST_F(HotKeysDesktopTest, ACombinationAnotherClientHoldsFailsAndTheUserIsToldOnce) {
    const Connection other;
    XGrabKey(other.display, other.key(XK_space), Mod1Mask, DefaultRootWindow(other.display), False,
             GrabModeAsync, GrabModeAsync);
    XSync(other.display, False);
    const testing::NotificationService notifications;

    const XErrorHandler before = currentErrorHandler();
    registerStandardHotKeys(countingActions());
    EXPECT_EQ(currentErrorHandler(), before) << "the error handler was not put back";

    const std::vector<std::string> expected = {"注册全局热键失败（id=1）：" +
                                               std::to_string(BadAccess)};
    EXPECT_EQ(log.messages(), expected);
    EXPECT_EQ(BadAccess, 10);
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
    press(kCombinations[0]);  // the other client's now
    press(kCombinations[1]);
    EXPECT_TRUE(ran(2, 2));
    EXPECT_EQ(runs, (std::array<int, 4>{0, 2, 1, 1}));

    EXPECT_EQ(notifications.received().size(), 1U);
    EXPECT_EQ(countOf(log.messages(), expected[0]), 1U);

    // The failed registration left no grab behind: with the other client's grab gone,
    // Alt+Space is free whatever the locks.
    XUngrabKey(other.display, other.key(XK_space), Mod1Mask, DefaultRootWindow(other.display));
    XSync(other.display, False);
    for (const unsigned int locks :
         std::array<unsigned int, 4>{0, LockMask, Mod2Mask, LockMask | Mod2Mask}) {
        EXPECT_FALSE(altSpaceTaken(keyboard, Mod1Mask | locks)) << "locks " << locks;
    }
}

// The backend each session gets: X11 grabs with a display; unavailable hot keys, which
// say why, without a display (Wayland sessions: wayland_tests); notifications that
// answer "not shown" without a session bus.
TEST_F(HotKeysDesktopTest, SessionsWithoutX11GrabsHaveUnavailableHotKeys) {
    const auto registerOn = [](HotKeys& hotKeys) {
        return hotKeys.registerHotKey(HotKeyCode::space, HotKeyModifier::option,
                                      HotKeyIdentifier{HotKeyManager::signature, 1});
    };
    {
        const auto platform = linux_backend::makeLinuxPlatform(false);
        EXPECT_EQ(platform->hotKeys->availability(), HotKeys::Availability::noDisplay);
        EXPECT_EQ(registerOn(*platform->hotKeys).status, HotKeys::unavailableStatus);
    }
    {
        const testing::ScopedEnvironment noDisplay{"DISPLAY", ":4711"};
        const auto hotKeys = linux_backend::X11HotKeys::connect();
        EXPECT_EQ(hotKeys->availability(), HotKeys::Availability::noDisplay);
        EXPECT_EQ(hotKeys->availabilityDetail(), "cannot open display :4711");
    }
    {
        const auto& platform = Platform::current();
        EXPECT_EQ(platform.hotKeys->availability(), HotKeys::Availability::available);
        EXPECT_EQ(platform.notifications->availability(), Notifications::Availability::available);
    }
    {
        const testing::ScopedEnvironment noBus{"DBUS_SESSION_BUS_ADDRESS", nullptr};
        const auto platform = linux_backend::makeLinuxPlatform(true);
        ASSERT_EQ(platform->notifications->availability(),
                  Notifications::Availability::noSessionBus);
        std::vector<Notifications::Result> results;
        platform->notifications->notify(
            Notification{"页伴", "", "页伴：部分快捷键无法使用", kTakenNotice},
            [&results](const Notifications::Result& result) { results.push_back(result); });
        EXPECT_TRUE(results.empty()) << "answered inside notify()";
        ASSERT_TRUE(testing::pumpUntil([&] { return !results.empty(); }, 5s));
        EXPECT_FALSE(results[0].shown);
        EXPECT_EQ(results[0].detail, "DBUS_SESSION_BUS_ADDRESS is not set");
    }
}

// The session bus's notifications: the server's answer comes back once, later, on the
// main loop; a sender that is gone by then drops it.
TEST_F(HotKeysDesktopTest, NotificationsAnswerLaterAndNotAfterTheSenderIsGone) {
    const testing::NotificationService server;
    const Notification notice{"页伴", "input-keyboard", "页伴：部分快捷键无法使用", kTakenNotice};

    std::vector<Notifications::Result> answers;
    Platform::current().notifications->notify(
        notice, [&answers](const Notifications::Result& result) { answers.push_back(result); });
    EXPECT_TRUE(answers.empty()) << "answered inside notify()";
    ASSERT_TRUE(testing::pumpUntil([&] { return !answers.empty(); }, 10s));
    EXPECT_TRUE(answers[0].shown) << answers[0].detail;
    ASSERT_EQ(server.received().size(), 1U);
    EXPECT_EQ(server.received()[0].iconName, "input-keyboard");
    EXPECT_EQ(server.received()[0].body, kTakenNotice);

    int late = 0;
    auto gone = std::make_unique<linux_backend::GDBusNotifications>();
    gone->notify(notice, [&late](const Notifications::Result&) { ++late; });
    gone.reset();
    // One sent after it shows when the loop has had time for the first one's answer.
    answers.clear();
    Platform::current().notifications->notify(
        notice, [&answers](const Notifications::Result& result) { answers.push_back(result); });
    ASSERT_TRUE(testing::pumpUntil([&] { return !answers.empty(); }, 10s));
    EXPECT_EQ(late, 0);
    EXPECT_EQ(answers.size(), 1U);
}

// Openbox, as configured by default, binds Alt+Space to its window menu, as GNOME's
// window manager does: there the first hot key fails and the other three still work.
// Last in the file: the window manager is stopped again at its end.
TEST_F(HotKeysDesktopTest, UnderOpenboxAltSpaceIsTakenAndTheOthersWork) {
    const testing::ChildProcess openbox({"openbox", "--sm-disable"});
    ASSERT_TRUE(testing::pumpUntil([&] { return altSpaceTaken(keyboard); }, 10s))
        << "openbox did not take Alt+Space";

    registerStandardHotKeys(countingActions());

    EXPECT_EQ(countOf(log.messages(), "注册全局热键失败（id=1）：10"), 1U);
    for (std::size_t id = 2; id <= 4; ++id) {
        SCOPED_TRACE(id);
        press(kCombinations[id - 1]);
        EXPECT_TRUE(ran(id, 1));
    }
    EXPECT_EQ(runs[0], 0);
}

}  // namespace
}  // namespace pagemate
