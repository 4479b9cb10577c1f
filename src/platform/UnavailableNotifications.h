#pragma once

#include <memory>
#include <string>

#include "platform/MainQueue.h"
#include "platform/Notifications.h"

namespace pagemate {

// The notifications of a program without a session bus: nothing is shown, and each
// completion says why, later on the main queue.
class UnavailableNotifications final : public Notifications {
  public:
    UnavailableNotifications(MainQueue& queue, Availability reason, std::string detail)
        : queue_(queue), reason_(reason), detail_(std::move(detail)) {}

    [[nodiscard]] Availability availability() const override { return reason_; }
    void notify(const Notification& notification, Completion completion) override;

  private:
    MainQueue& queue_;
    Availability reason_;
    std::string detail_;
    // Completions still queued find it gone once this object is.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace pagemate
