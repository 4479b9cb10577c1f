// Which hot keys a session gets (what a Wayland session is told: the Wayland session's
// test on weston), and the stand-in for a platform without a session bus.

#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "platform/DesktopSession.h"
#include "platform/UnavailableNotifications.h"
#include "platform/fake/VirtualClockQueue.h"

namespace pagemate {
namespace {

using Variable = const char*;
constexpr Variable kUnset = nullptr;

TEST(DesktopSession, HotKeysComeFromX11GrabsThePortalOrNothing) {
    struct Case {
        Variable sessionType, waylandDisplay, display;
        bool displayOpened;
        std::optional<std::uint32_t> portalVersion;
        HotKeyBackend expected;
        std::optional<std::string> wayland;
        std::optional<std::string_view> toolkit;
    };
    const Case cases[] = {
        {"x11", kUnset, ":0", true, std::nullopt, HotKeyBackend::x11Grabs, {}, {}},
        {"x11", "", ":0", true, 1U, HotKeyBackend::x11Grabs, {}, {}},
        {kUnset, kUnset, kUnset, false, std::nullopt, HotKeyBackend::none, {}, {}},
        {"Wayland", "wayland-1", ":1", true, 1U, HotKeyBackend::shortcutsPortal,
         "XDG_SESSION_TYPE=Wayland", "x11"},
        {kUnset, "wayland-0", ":0", true, 2U, HotKeyBackend::shortcutsPortal,
         "WAYLAND_DISPLAY=wayland-0", "x11"},
        // No portal, or one without the interface: no grabs that would only see keys
        // typed into X11 windows.
        {"wayland", "wayland-0", ":0", true, std::nullopt, HotKeyBackend::none,
         "XDG_SESSION_TYPE=wayland", "x11"},
        {"wayland", "wayland-0", ":0", true, 0U, HotKeyBackend::none, "XDG_SESSION_TYPE=wayland",
         "x11"},
        // Without XWayland the toolkit takes the compositor's display.
        {"wayland",
         "wayland-0",
         kUnset,
         true,
         1U,
         HotKeyBackend::shortcutsPortal,
         "XDG_SESSION_TYPE=wayland",
         {}},
    };
    for (const Case& given : cases) {
        const testing::ScopedEnvironment type{"XDG_SESSION_TYPE", given.sessionType};
        const testing::ScopedEnvironment wayland{"WAYLAND_DISPLAY", given.waylandDisplay};
        const testing::ScopedEnvironment display{"DISPLAY", given.display};
        const DesktopSession session = DesktopSession::fromEnvironment();
        SCOPED_TRACE(session.wayland.value_or("X11") + ", " + session.xDisplay.value_or("-"));
        EXPECT_EQ(session.wayland, given.wayland);
        EXPECT_EQ(session.toolkitBackend(), given.toolkit);
        EXPECT_EQ(chooseHotKeyBackend(session, given.displayOpened, given.portalVersion),
                  given.expected);
    }
}

TEST(UnavailableNotifications, AnswerNotShownLaterAndNeverAfterTheyAreGone) {
    fake::VirtualClockQueue queue;
    std::vector<Notifications::Result> answers;
    {
        UnavailableNotifications notifications(queue, Notifications::Availability::noSessionBus,
                                               "DBUS_SESSION_BUS_ADDRESS is not set");
        EXPECT_EQ(notifications.availability(), Notifications::Availability::noSessionBus);
        const auto record = [&answers](const Notifications::Result& result) {
            answers.push_back(result);
        };
        notifications.notify(Notification{"页伴", "", "summary", "body"}, record);
        EXPECT_TRUE(answers.empty()) << "answered inside notify()";
        queue.runUntilIdle();
        ASSERT_EQ(answers.size(), 1U);
        EXPECT_FALSE(answers[0].shown);
        EXPECT_EQ(answers[0].detail, "DBUS_SESSION_BUS_ADDRESS is not set");

        notifications.notify(Notification{"页伴", "", "summary", "body"}, record);
        notifications.notify(Notification{"页伴", "", "summary", "body"}, {});
    }
    queue.runUntilIdle();
    EXPECT_EQ(answers.size(), 1U) << "answered after it was gone";
}

}  // namespace
}  // namespace pagemate
