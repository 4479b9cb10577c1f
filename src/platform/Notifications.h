#pragma once

#include <functional>
#include <string>

namespace pagemate {

// A desktop notification: a short message the desktop shows for a while outside the
// program's windows. Plain text.
struct Notification {
    std::string appName;
    std::string iconName;  // a themed icon name; empty for none
    std::string summary;
    std::string body;
};

// Sends desktop notifications (on Linux, org.freedesktop.Notifications on the session
// bus). Main thread only. Each completion is called once, on the main thread from the
// main loop: never inside notify(), and never after this object is gone (a notice still
// on its way then is dropped unanswered).
class Notifications {
  public:
    enum class Availability {
        available,
        noSessionBus,
    };
    struct Result {
        bool shown = false;  // the notification server took it
        std::string detail;  // the platform's words when it did not
    };
    using Completion = std::function<void(const Result&)>;

    virtual ~Notifications() = default;

    [[nodiscard]] virtual Availability availability() const = 0;
    // Sends the notification; `completion` may be empty.
    virtual void notify(const Notification& notification, Completion completion) = 0;
};

}  // namespace pagemate
