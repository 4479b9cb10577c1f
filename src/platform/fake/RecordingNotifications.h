#pragma once

#include <cstddef>
#include <vector>

#include "platform/Notifications.h"

namespace pagemate::fake {

// Notifications that keep what they are given; the test answers each one.
class RecordingNotifications final : public Notifications {
  public:
    [[nodiscard]] Availability availability() const override { return Availability::available; }
    void notify(const Notification& notification, Completion completion) override {
        sent.push_back(notification);
        completions.push_back(std::move(completion));
    }

    // What the notification server answers to the sent notification at `index`.
    void answer(std::size_t index, const Result& result) const {
        if (index < completions.size() && completions[index]) {
            completions[index](result);
        }
    }

    std::vector<Notification> sent;
    std::vector<Completion> completions;
};

}  // namespace pagemate::fake
