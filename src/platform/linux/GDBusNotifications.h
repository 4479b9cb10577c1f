#pragma once

#include <memory>

#include "platform/MainQueue.h"
#include "platform/Notifications.h"

namespace pagemate::linux_backend {

// Desktop notifications through org.freedesktop.Notifications (Notify) on the session
// bus, with GIO's D-Bus client. Each call finds the bus anew (GIO keeps the connection),
// so a notification server that starts later is reached; a bus or server that does not
// answer is a completion with shown false and D-Bus's words.
class GDBusNotifications final : public Notifications {
  public:
    // The session bus's notifications when $DBUS_SESSION_BUS_ADDRESS names one; the
    // unavailable ones (noSessionBus) otherwise, answering on `queue`.
    static std::unique_ptr<Notifications> connect(MainQueue& queue);

    GDBusNotifications();
    GDBusNotifications(const GDBusNotifications&) = delete;
    GDBusNotifications& operator=(const GDBusNotifications&) = delete;
    // Drops the answers still on their way.
    ~GDBusNotifications() override;

    [[nodiscard]] Availability availability() const override { return Availability::available; }
    void notify(const Notification& notification, Completion completion) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace pagemate::linux_backend
