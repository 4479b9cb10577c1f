// The stand-ins for a platform without global hot keys or without a session bus.

#include <gtest/gtest.h>

#include "platform/UnavailableHotKeys.h"
#include "platform/UnavailableNotifications.h"
#include "platform/fake/VirtualClockQueue.h"

namespace pagemate {
namespace {

TEST(UnavailableHotKeys, RefuseEveryRegistrationAndSayWhy) {
    UnavailableHotKeys hotKeys(HotKeys::Availability::waylandSession, "XDG_SESSION_TYPE=wayland");
    EXPECT_EQ(hotKeys.availability(), HotKeys::Availability::waylandSession);
    EXPECT_EQ(hotKeys.availabilityDetail(), "XDG_SESSION_TYPE=wayland");
    const HotKeyRegistration registration =
        hotKeys.registerHotKey(HotKeyCode::space, HotKeyModifier::option, HotKeyIdentifier{1, 1});
    EXPECT_EQ(registration.outcome, HotKeyRegistration::Outcome::unavailable);
    EXPECT_EQ(registration.status, HotKeys::unavailableStatus);
    EXPECT_NE(registration.status, 0);
    EXPECT_EQ(registration.detail, "XDG_SESSION_TYPE=wayland");
    EXPECT_FALSE(registration.ref.has_value());
    EXPECT_FALSE(registration.registered());
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
